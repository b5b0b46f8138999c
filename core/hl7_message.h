// HL7Message: the values of one inbound message, zeroed at the start of each
// processing tick, filled by the reader and the event handlers, and passed by
// reference to the database procedures (which may set InternalID). All texts
// are Windows-1252, cut from the message by character position.
#ifndef NORV_CORE_HL7_MESSAGE_H_
#define NORV_CORE_HL7_MESSAGE_H_

#include <cstdint>
#include <string>

namespace norv {

struct HL7Message {
  std::int32_t InternalID = 0;         // the patient's PATID (set by the database)
  std::string PatientID;               // PID-3, see the reader
  std::string PatientID2;              // never filled; stored as PATID2
  std::string LastName;                // PID-5.1
  std::string FirstName;               // PID-5.2
  std::string MiddleName;              // PID-5.3
  std::string NameDegree;              // PID-5.6
  std::string Sex;                     // PID-8, or "O"
  std::string BirthDate;               // PID-7 as YYYY-MM-DD
  std::string AccessionNumber;         // OBR-21
  std::string AppointmentDate;         // ORC-7.4 as YYYY-MM-DD
  std::string AppointmentTime;         // ORC-7.4 as HH:MM
  std::string OrderStatus;             // ORC-5
  std::string ModalityLocation;        // chosen by the ModalityLocation setting
  std::string Modality;                // OBR-24
  std::string OrderControl;            // ORC-1
  std::string ProcedureCode;           // OBR-4.1
  std::string ProcedureText;           // OBR-4.2
  std::string ReferringPhysicianName;  // ORC-12.2
  std::string ReferringPhysicianID;    // ORC-12.1
  std::string StudyInstanceUID;        // ZDS-1
  std::string PatientLocation;         // PV1-3.2 (or .1)
};

}  // namespace norv

#endif  // NORV_CORE_HL7_MESSAGE_H_
