// The frame every database procedure runs in: where its connection comes
// from, and the one boundary that catches and logs its errors.
#ifndef NORV_DB_PROCEDURE_H_
#define NORV_DB_PROCEDURE_H_

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/context.h"
#include "core/error.h"
#include "db/database.h"

namespace norv {

// How one procedure call ended, for ConnectionSource::Release.
enum class CallEnd {
  kDone,       // its body returned (true or false): its work stands
  kFailed,     // it raised an error: its own statements are undone
  kTransient,  // the database could not be reached or a wait ran out
               // (Error::transient()): the message's whole work is undone,
               // so that the message can be tried again later
};

// Hands out the connection a procedure call works on. Every source makes a
// procedure call's statements one piece: a call that raised an error leaves
// nothing of its own behind, while what earlier calls did stands.
class ConnectionSource {
 public:
  virtual ~ConnectionSource() = default;
  // An open connection for a new procedure call; throws Error when the
  // database cannot be opened.
  virtual Connection& Acquire() = 0;
  // The call is done with the connection. With kDone a failure to finish it
  // cleanly (a commit, a close) is thrown; otherwise nothing is thrown.
  virtual void Release(CallEnd end) = 0;

  // The database work of one message runs between BeginMessage() and
  // EndMessage() (see RunMessage). A source may gather it into one
  // transaction, which EndMessage(true) commits (a failed commit is thrown
  // as Error) and EndMessage(false) rolls back (never throws). By default
  // every call is stored when it ends and both do nothing.
  virtual void BeginMessage() {}
  virtual void EndMessage(bool keep) { (void)keep; }
};

// A new connection for every procedure call, on the DBServer setting as it
// is when the call opens it, closed when the call ends. The call's
// statements are one transaction: committed when it ends well, rolled back
// when it raised an error.
class ConnectionPerCall final : public ConnectionSource {
 public:
  ConnectionPerCall(const Settings& settings, std::string program_dir)
      : settings_(settings), program_dir_(std::move(program_dir)) {}
  Connection& Acquire() override;
  void Release(CallEnd end) override;

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
// message costs one commit. Each later procedure starts at a savepoint: one
// that raises an error is rolled back to it, so only its own statements are
// undone and the procedures before it keep their work, which the message's
// commit stores (a first procedure that fails takes the transaction with it,
// which held its work alone). A savepoint costs one statement; a commit
// after each procedure instead would cost a commit each (on SQLite a sync
// of its log) and could not undo a whole message. A transient error rolls
// back the whole message; the rest of the message then cannot reach the
// database (Acquire throws a transient Error) and EndMessage(true) throws
// one rather than report the work as stored. Where the database kept no
// savepoint (a driver that releases it), the message's work is rolled back
// with the failing procedure's and the message ends in an Error that is not
// transient. Outside a message every statement takes effect on its own.
// The setting is compared only between transactions.
class ReusedConnection final : public ConnectionSource {
 public:
  ReusedConnection(const Settings& settings, std::string program_dir,
                   std::chrono::milliseconds idle_check = std::chrono::seconds(1))
      : settings_(settings), program_dir_(std::move(program_dir)), idle_check_(idle_check) {}
  Connection& Acquire() override;
  void Release(CallEnd end) override;
  void BeginMessage() override;
  void EndMessage(bool keep) override;

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
  bool call_savepoint_ = false;  // the current call began at a savepoint
  // Why the message's earlier work was rolled back, when it was: the rest
  // of the message is refused with it.
  std::optional<Error> lost_;
};

// Runs the database work of one message: `work` calls the procedures and
// returns the message's result, which is returned. Whatever the result, and
// also when `work` throws, each procedure that did not raise an error keeps
// its work (stored by one commit at the end where the source gathers the
// message into a transaction); a procedure that raised one has its own
// statements undone (RunProcedure). A transient error (Error::transient())
// thrown by `work` undoes the whole message and is thrown on: the message is
// to be retried whole. A failed commit is thrown; it is transient when the
// database could not be reached, and the work is then not stored.
template <typename Work>
auto RunMessage(ConnectionSource& source, Work&& work) {
  source.BeginMessage();
  decltype(work()) result{};
  try {
    result = work();
  } catch (...) {
    if (DescribeCurrentException().transient) {
      source.EndMessage(false);
      throw;
    }
    // An error of the message's own handling: the procedures before it
    // stand. Only a commit that could not reach the database replaces it.
    try {
      source.EndMessage(true);
    } catch (const Error& e) {
      if (e.transient()) throw;
    } catch (...) {
    }
    throw;
  }
  source.EndMessage(true);
  return result;
}

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
