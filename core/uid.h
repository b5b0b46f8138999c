// New DICOM UIDs. Without a registered organisation root the UIDs are of the
// standard UUID-derived form "2.25.<128-bit random UUID as decimal>" (at most
// 44 characters), unique without coordination. Made from the system's
// entropy source; no imaging library is needed.
#ifndef NORV_CORE_UID_H_
#define NORV_CORE_UID_H_

#include <string>

namespace norv {

// A new, unique, non-empty UID. Throws Error when none can be made.
std::string NewUID();

}  // namespace norv

#endif  // NORV_CORE_UID_H_
