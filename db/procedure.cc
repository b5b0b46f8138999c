#include "db/procedure.h"

namespace norv {

Connection& ConnectionPerCall::Acquire() {
  if (!open_) open_ = std::make_unique<Connection>(settings_.DBServer, program_dir_);
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
    db.log.LogCaughtError(source);
    try {
      if (con.opened()) db.connections.Release(false);
    } catch (...) {
    }
    return false;
  }
}

}  // namespace norv
