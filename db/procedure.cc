#include "db/procedure.h"

#include "core/error.h"

namespace norv {
namespace {

constexpr char kMessageLost[] =
    "The message's database work was rolled back after an error of one of its procedures";

}  // namespace

Connection& ConnectionPerCall::Acquire() {
  if (!open_) {
    open_ = std::make_unique<Connection>(settings_.DBServer, program_dir_, settings_.DBTimeout);
  }
  return *open_;
}

void ConnectionPerCall::Release(bool ok) {
  // After a failure the connection is dropped (its destructor closes it
  // quietly); after success a failing close is the call's error.
  std::unique_ptr<Connection> con = std::move(open_);
  if (ok && con) con->Close();
}

Connection& ReusedConnection::Acquire() {
  if (message_failed_) throw Error(kErrDatabase, kMessageLost);
  if (open_ && open_->in_transaction()) return *open_;
  if (open_ && (settings_.DBServer != opened_with_ ||
                (std::chrono::steady_clock::now() - last_used_ >= idle_check_ && !open_->Alive()))) {
    open_.reset();
  }
  if (!open_) {
    open_ = std::make_unique<Connection>(settings_.DBServer, program_dir_);
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

void ReusedConnection::Release(bool ok) {
  last_used_ = std::chrono::steady_clock::now();
  if (ok || !open_) return;
  // The procedure ended in an error: the message's transaction ends here
  // without its work, and the connection is kept only when it still
  // answers. Most errors (a value that is no date, a file that could not be
  // written) leave it sound, and opening a new one costs a server more than
  // a whole message.
  try {
    if (open_->in_transaction()) {
      message_failed_ = true;
      open_->Rollback();
    } else if (!open_->Alive()) {
      open_.reset();
    }
  } catch (...) {
    open_.reset();
  }
}

void ReusedConnection::BeginMessage() {
  in_message_ = true;
  message_failed_ = false;
}

void ReusedConnection::EndMessage(bool commit) {
  const bool failed = message_failed_;
  in_message_ = false;
  message_failed_ = false;
  if (!open_ || !open_->in_transaction()) {
    if (commit && failed) throw Error(kErrDatabase, kMessageLost);
    return;
  }
  try {
    if (commit) {
      open_->Commit();
    } else {
      open_->Rollback();
    }
  } catch (...) {
    // The connection's state is unknown: the next use opens a new one.
    open_.reset();
    if (commit) throw;
  }
}

bool RunProcedure(const DbContext& db, std::string_view source,
                  const std::function<bool(ProcedureConnection&)>& body) {
  ProcedureConnection con(db.connections);
  try {
    bool result = body(con);
    if (con.opened()) db.connections.Release(true);
    return result;
  } catch (...) {
    const bool transient = DescribeCurrentException().transient;
    try {
      if (con.opened()) db.connections.Release(false);
    } catch (...) {
    }
    // The database could not be reached: the caller holds the message and
    // reports the outage once, rather than every procedure failing it.
    if (transient) throw;
    db.log.LogCaughtError(source);
    return false;
  }
}

}  // namespace norv
