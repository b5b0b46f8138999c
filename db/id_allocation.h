// Allocation of table keys from the counter table tblLetzteID (one row per
// counted table: Tabellenname, LetzteID = the last key handed out). Runs on
// the caller's connection and thread.
#ifndef NORV_DB_ID_ALLOCATION_H_
#define NORV_DB_ID_ALLOCATION_H_

#include <cstdint>
#include <string>

#include "db/database.h"
#include "db/procedure.h"

namespace norv {

// Raises the counter of `sTableName` by one and returns the new value, in one
// atomic step, so two clients never receive the same key. An attempt that
// fails (no row, a null counter, a counter that would reach 0 or pass the
// 32-bit range, a database error) writes one error-log line with the source
// "GetLetzteIDPlus1" and is retried after a 500 ms pause, up to 11 attempts
// in all (the pause is db.pause). Returns 0 when every attempt failed; a
// stored counter is never set to 0. Throws only a transient Error (the
// database could not be reached or stayed locked), at once.
std::int32_t GetLetzteIDPlus1(const DbContext& db, Connection& con,
                              const std::string& sTableName);

// Locks the counter row of `table` until the connection's transaction ends,
// without changing it, so that clients which first look for a row and add
// it when missing (with a key of that counter) take turns: the second looks
// again only after the first has committed. Outside a transaction the lock
// ends with the statement. Throws Error on a database error.
void LockLetzteID(Connection& con, const std::string& table);

}  // namespace norv

#endif  // NORV_DB_ID_ALLOCATION_H_
