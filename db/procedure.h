// The frame every database procedure runs in: where its connection comes
// from, and the one boundary that catches and logs its errors.
#ifndef NORV_DB_PROCEDURE_H_
#define NORV_DB_PROCEDURE_H_

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "core/context.h"
#include "db/database.h"

namespace norv {

// Hands out the connection a procedure call works on.
class ConnectionSource {
 public:
  virtual ~ConnectionSource() = default;
  // An open connection; throws Error when the database cannot be opened.
  virtual Connection& Acquire() = 0;
  // The call is done with the connection. With `ok` (the call succeeded) a
  // failure to finish it cleanly is thrown; with `ok` false (it ended in an
  // error) nothing is thrown.
  virtual void Release(bool ok) = 0;
};

// A new connection for every procedure call, on the DBServer setting as it
// is when the call opens it, closed when the call ends.
class ConnectionPerCall final : public ConnectionSource {
 public:
  ConnectionPerCall(const Settings& settings, std::string program_dir)
      : settings_(settings), program_dir_(std::move(program_dir)) {}
  Connection& Acquire() override;
  void Release(bool ok) override;

 private:
  const Settings& settings_;
  std::string program_dir_;
  std::unique_ptr<Connection> open_;
};

// The context of the database procedures: the program's, plus where their
// connections come from and how they pause between retries.
struct DbContext : Context {
  ConnectionSource& connections;
  std::function<void(int ms)> pause = SleepMilliseconds;
};

// The connection of one procedure call, opened on its first use.
class ProcedureConnection {
 public:
  explicit ProcedureConnection(ConnectionSource& source) : source_(source) {}
  Connection& get() {
    if (con_ == nullptr) con_ = &source_.Acquire();
    return *con_;
  }
  bool opened() const { return con_ != nullptr; }

 private:
  ConnectionSource& source_;
  Connection* con_ = nullptr;
};

// Runs `body` as one database procedure and returns its result; an error it
// raises is logged once with `source` as the procedure's name and makes the
// result false. A transient error (Error::transient(): the database could
// not be reached, a lock or busy time-out) is not logged but thrown on, so
// the caller can hold the message and retry it later. The connection (if
// the body opened one) is released on every path.
bool RunProcedure(const DbContext& db, std::string_view source,
                  const std::function<bool(ProcedureConnection&)>& body);

}  // namespace norv

#endif  // NORV_DB_PROCEDURE_H_
