#include "imaging/uid.h"

#include <dcmtk/ofstd/ofuuid.h>

#include <sstream>

#include "app/error.h"

namespace norv {

std::string NewUID() {
  OFUUID uuid;  // random (version 4)
  std::ostringstream out;
  out << "2.25.";
  uuid.print(out, OFUUID::ER_RepresentationInteger);
  std::string uid = out.str();
  if (uid.size() <= 5) throw Error(kErrDatabase, "NewUID: no UID could be made");
  return uid;
}

}  // namespace norv
