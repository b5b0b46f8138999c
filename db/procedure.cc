#include "db/procedure.h"

#include <utility>

#include "core/error.h"

namespace norv {
namespace {

constexpr char kMessageLost[] =
    "The message's database work was rolled back: the database could not be reached";
constexpr char kNoSavepoint[] =
    "The message's database work was rolled back: a procedure's own work could not be "
    "undone alone: ";

}  // namespace

Connection& ConnectionPerCall::Acquire() {
  if (!open_) {
    auto con = std::make_unique<Connection>(settings_.DBServer, program_dir_, settings_.DBTimeout);
    con->Begin();
    open_ = std::move(con);
  }
  return *open_;
}

void ConnectionPerCall::Release(CallEnd end) {
  // After a failure the connection is dropped (closing it quietly rolls its
  // transaction back); after success a failing commit or close is the
  // call's error.
  std::unique_ptr<Connection> con = std::move(open_);
  if (!con) return;
  if (end != CallEnd::kDone) {
    try {
      con->Rollback();
    } catch (...) {
    }
    return;
  }
  con->Commit();
  con->Close();
}

Connection& ReusedConnection::Acquire() {
  if (lost_) throw *lost_;
  call_savepoint_ = false;
  if (open_ && open_->in_transaction()) {
    // A later procedure of the message: its statements can be undone
    // without the work of the procedures before it.
    open_->Savepoint();
    call_savepoint_ = true;
    return *open_;
  }
  if (open_ && (settings_.DBServer != opened_with_ ||
                (std::chrono::steady_clock::now() - last_used_ >= idle_check_ && !open_->Alive()))) {
    open_.reset();
  }
  if (!open_) {
    open_ = std::make_unique<Connection>(settings_.DBServer, program_dir_, settings_.DBTimeout);
    opened_with_ = settings_.DBServer;
    ++opened_;
  }
  if (in_message_) {
    try {
      open_->Begin();
    } catch (...) {
      open_.reset();
      throw;
    }
  }
  return *open_;
}

void ReusedConnection::Release(CallEnd end) {
  last_used_ = std::chrono::steady_clock::now();
  const bool savepoint = std::exchange(call_savepoint_, false);
  if (end == CallEnd::kDone || !open_) return;
  // The connection is kept only when it still answers. Most errors (a value
  // that is no date, a file that could not be written) leave it sound, and
  // opening a new one costs a server more than a whole message.
  try {
    if (!open_->in_transaction()) {
      if (!open_->Alive()) open_.reset();
    } else if (end == CallEnd::kFailed && savepoint) {
      try {
        open_->RollbackToSavepoint();
      } catch (const Error& e) {
        if (e.transient()) throw;
        lost_ = Error(kErrDatabase, kNoSavepoint + std::string(e.what()));
        open_->Rollback();
      }
    } else {
      // An outage undoes the whole message; a first procedure's error undoes
      // the transaction, which held its work alone.
      if (end == CallEnd::kTransient) lost_ = Error(kErrDatabase, kMessageLost, true);
      open_->Rollback();
    }
  } catch (...) {
    // The connection's state is unknown, and with it the earlier work of
    // the message: it is tried again whole.
    if (savepoint || end == CallEnd::kTransient) lost_ = Error(kErrDatabase, kMessageLost, true);
    open_.reset();
  }
}

void ReusedConnection::BeginMessage() {
  in_message_ = true;
  lost_.reset();
  call_savepoint_ = false;
}

void ReusedConnection::EndMessage(bool keep) {
  std::optional<Error> lost = std::move(lost_);
  lost_.reset();
  in_message_ = false;
  call_savepoint_ = false;
  if (!open_ || !open_->in_transaction()) {
    if (keep && lost) throw *lost;
    return;
  }
  try {
    if (keep) {
      open_->Commit();
    } else {
      open_->Rollback();
    }
  } catch (...) {
    // The connection's state is unknown: the next use opens a new one.
    open_.reset();
    if (keep) throw;
  }
}

bool RunProcedure(const DbContext& db, std::string_view source,
                  const std::function<bool(ProcedureConnection&)>& body) {
  ProcedureConnection con(db.connections);
  const std::size_t noted = db.log.NotedChanges();
  try {
    bool result = body(con);
    if (con.opened()) db.connections.Release(CallEnd::kDone);
    return result;
  } catch (...) {
    const bool transient = DescribeCurrentException().transient;
    try {
      if (con.opened()) db.connections.Release(transient ? CallEnd::kTransient : CallEnd::kFailed);
    } catch (...) {
    }
    // The database could not be reached: the caller holds the message and
    // reports the outage once, rather than every procedure failing it.
    if (transient) throw;
    // Its statements were undone; files it wrote (rename orders) stay.
    db.log.MarkChangesUndone(noted);
    db.log.LogCaughtError(source);
    return false;
  }
}

}  // namespace norv
