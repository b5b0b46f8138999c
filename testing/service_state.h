// Test helpers for the service's loop and records: a bounded loop run and a
// patient record.
#ifndef NORV_TESTING_SERVICE_STATE_H_
#define NORV_TESTING_SERVICE_STATE_H_

#include <chrono>
#include <string>

#include "core/hl7_message.h"
#include "platform/event_loop.h"

namespace norv::testing {

// Runs the loop until a handler calls Stop(), at most `limit`. False when the
// limit ended it.
inline bool RunUntilStopped(EventLoop& loop,
                            std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
  bool expired = false;
  EventLoop::TimerId guard = loop.AddTimer(limit, [&] {
    expired = true;
    loop.Stop();
  });
  loop.Run();
  loop.RemoveTimer(guard);
  return !expired;
}

// A message record with the patient values the database procedures store.
inline HL7Message PatientRecord(const std::string& id, const std::string& last = "Doe",
                                const std::string& first = "John",
                                const std::string& middle = "",
                                const std::string& birth = "1970-01-02",
                                const std::string& sex = "M") {
  HL7Message m;
  m.PatientID = id;
  m.LastName = last;
  m.FirstName = first;
  m.MiddleName = middle;
  m.BirthDate = birth;
  m.Sex = sex;
  return m;
}

}  // namespace norv::testing

#endif  // NORV_TESTING_SERVICE_STATE_H_
