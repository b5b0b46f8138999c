#include "db/procedure.h"

#include "core/error.h"

namespace norv {

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
