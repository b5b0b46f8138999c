#include "db/sqlite_backend.h"

#include <soci/soci.h>
#include <soci/sqlite3/soci-sqlite3.h>

namespace norv {

void SkipCheckpointOnClose(soci::session& session) {
  auto* backend = static_cast<soci::sqlite3_session_backend*>(session.get_backend());
  // Best effort: an SQLite without the option simply keeps checkpointing.
  sqlite_api::sqlite3_db_config(backend->conn_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
}

}  // namespace norv
