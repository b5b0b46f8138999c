// The frame every database procedure runs in: where its connection comes
// from, and the one boundary that catches and logs its errors.
#ifndef NORV_DB_PROCEDURE_H_
#define NORV_DB_PROCEDURE_H_

#include <chrono>
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

  // The database work of one message runs between BeginMessage() and
  // EndMessage(). A source may gather it into one transaction, which
  // EndMessage(true) commits (a failed commit is thrown as Error) and
  // EndMessage(false) rolls back (never throws). By default every statement
  // takes effect on its own and both do nothing. See MessageTransaction.
  virtual void BeginMessage() {}
  virtual void EndMessage(bool commit) { (void)commit; }
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

// One connection kept open across procedure calls and ticks, opened on the
// DBServer setting at the first Acquire and opened again when the setting's
// text has changed, when a procedure ended in an error and the connection
// then fails to roll back or to pass Connection::Alive(), and when it has
// been idle for `idle_check` and no longer passes Connection::Alive() (a
// restarted server, a replaced SQLite file).
//
// Between BeginMessage() and EndMessage() the first Acquire begins a
// transaction that every later procedure of the message joins, so the
// message costs one commit and a failed one leaves nothing behind. A
// procedure that ends in an error rolls the transaction back with the
// message's earlier work; the rest of the message then cannot reach the
// database (Acquire throws) and EndMessage(true) throws rather than report
// half of the work as stored. Outside a message every statement takes effect
// on its own. The setting is compared only between transactions.
class ReusedConnection final : public ConnectionSource {
 public:
  ReusedConnection(const Settings& settings, std::string program_dir,
                   std::chrono::milliseconds idle_check = std::chrono::seconds(1))
      : settings_(settings), program_dir_(std::move(program_dir)), idle_check_(idle_check) {}
  Connection& Acquire() override;
  void Release(bool ok) override;
  void BeginMessage() override;
  void EndMessage(bool commit) override;

  // How many connections this source has opened so far.
  int opened() const { return opened_; }

 private:
  const Settings& settings_;
  std::string program_dir_;
  std::chrono::milliseconds idle_check_;
  std::unique_ptr<Connection> open_;
  std::string opened_with_;  // the DBServer text `open_` was opened on
  std::chrono::steady_clock::time_point last_used_;
  int opened_ = 0;
  bool in_message_ = false;
  bool message_failed_ = false;  // a procedure of the message ended in an error
};

// The database work of one message, for the inbound cycle:
//
//   MessageTransaction transaction(ctx.connections);
//   bool processed = ...;            // the procedures of the message
//   transaction.End(processed);      // commit, or roll back
//
// Leaving the scope without End() (an exception) rolls back.
class MessageTransaction {
 public:
  explicit MessageTransaction(ConnectionSource& source) : source_(source) {
    source_.BeginMessage();
  }
  ~MessageTransaction() {
    if (!open_) return;
    try {
      source_.EndMessage(false);
    } catch (...) {
    }
  }
  MessageTransaction(const MessageTransaction&) = delete;
  MessageTransaction& operator=(const MessageTransaction&) = delete;

  // Commits the message's work when `processed`, else rolls it back. Throws
  // Error when the commit fails; the work is then not stored.
  void End(bool processed) {
    open_ = false;
    source_.EndMessage(processed);
  }

 private:
  ConnectionSource& source_;
  bool open_ = true;
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
