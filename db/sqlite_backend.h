// The one thing the database layer sets inside SOCI's SQLite back end. Kept
// apart, like odbc_backend.h, because SOCI's back-end classes carry no
// exported type information (this file is built without the vptr check).
#ifndef NORV_DB_SQLITE_BACKEND_H_
#define NORV_DB_SQLITE_BACKEND_H_

namespace soci {
class session;
}  // namespace soci

namespace norv {

// Every database procedure opens and closes its own connection. By default
// SQLite checkpoints the write-ahead log whenever the last connection to a
// file closes, which costs two disk syncs per procedure; this leaves the
// checkpoints to SQLite's automatic ones during commits. Commits stay
// durable (the log is synced at each commit). `session` must be an open
// SQLite session.
void SkipCheckpointOnClose(soci::session& session);

}  // namespace norv

#endif  // NORV_DB_SQLITE_BACKEND_H_
