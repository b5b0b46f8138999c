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

}  // namespace norv

#endif  // NORV_DB_ID_ALLOCATION_H_
