// Whether an installation database has what the program reads and writes:
// the tables and views with the columns the database procedures name. For
// the configuration check; reads nothing but empty results, changes nothing.
#ifndef NORV_DB_SCHEMA_CHECK_H_
#define NORV_DB_SCHEMA_CHECK_H_

#include <string>
#include <vector>

#include "db/database.h"

namespace norv {

struct MissingObject {
  std::string object;       // table or view, e.g. "tblPatienten"
  std::string description;  // the driver's message
};

// One entry per table or view that is missing or lacks a column the program
// uses; empty when everything is in place.
std::vector<MissingObject> FindMissingDatabaseObjects(Connection& con);

}  // namespace norv

#endif  // NORV_DB_SCHEMA_CHECK_H_
