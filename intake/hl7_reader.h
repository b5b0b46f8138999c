// The HL7 message reader: splits a message text into segments (carriage
// return only; fields "|", components "^"; nothing else is interpreted) and
// reads the values of HL7Message by fixed rules. Shortfalls the cycle treats
// as errors are thrown as norv::Error; the caller (the inbound cycle) logs
// them with the source "MainForm TimerProgress".
//
// Element numbering: a segment split at "|" gives elements 0, 1, 2, ...;
// element 0 is the segment name, element n is field n, except in MSH where
// element n is field n+1 (MSH-9 is element 8).
#ifndef NORV_INTAKE_HL7_READER_H_
#define NORV_INTAKE_HL7_READER_H_

#include <string>
#include <string_view>
#include <vector>

#include "core/hl7_message.h"
#include "core/log.h"

namespace norv {

struct StandardContext;  // intake/hl7_standard.h

// For each known segment type, the elements of the last such segment of the
// message. Every list starts as one empty string, so a missing segment reads
// as one element. EVN, SCH and AIL are kept but never read.
struct SegmentFields {
  std::vector<std::string> MSH{""}, PID{""}, EVN{""}, PV1{""}, MRG{""}, ORC{""},
      OBR{""}, SCH{""}, AIL{""}, ZDS{""};
};

// The segment store of one processing tick.
struct Hl7Segments {
  SegmentFields fields;
  std::vector<std::string> ReportLines;  // whole OBX lines, in message order
  std::string MessageEvent;              // MSH-9, e.g. "ADT^A08"
  // Set in the standard reading (StandardHL7 = 1): the values were read up
  // front, and the Read* functions below take them from here instead.
  const StandardContext* standard = nullptr;
};

// Splits `text` (which begins with "MSH") at every carriage return and stores
// the known segments; writes a "Read content" debug line per line.
void SplitSegments(Log& log, std::string_view text, Hl7Segments& store);

// Checks the header, sets MessageEvent and reads the values every event uses
// (PatientID, names, BirthDate, Sex) with their debug lines. Returns false
// after logging "No message header!" when no MSH segment was stored; throws
// Error for every other shortfall.
bool ReadCommonValues(Log& log, Hl7Segments& store, HL7Message& msg);

// Order and report values, one rule each, so the handlers can read them in
// their own order between their own debug lines. Each throws Error where the
// reader's rules make a shortfall an error of the cycle.
void ReadOrderControl(const Hl7Segments& store, HL7Message& msg);        // ORC-1
void ReadOrderStatus(const Hl7Segments& store, HL7Message& msg);         // ORC-5
void ReadAppointmentDateTime(const Hl7Segments& store, HL7Message& msg); // ORC-7.4
void ReadAccessionNumber(const Hl7Segments& store, HL7Message& msg);     // OBR-21
// OBR-4.1 when OBR has at least 5 elements; returns whether it did (an empty
// OBR-4 then throws).
bool ReadProcedureCode(const Hl7Segments& store, HL7Message& msg);
void ReadProcedureText(const Hl7Segments& store, HL7Message& msg);       // OBR-4.2
// By the ModalityLocation setting's selector "SEG;element[;component]".
void ReadModalityLocation(const Hl7Segments& store, HL7Message& msg,
                          const std::string& setting);
void ReadModality(const Hl7Segments& store, HL7Message& msg);            // OBR-24
void ReadPatientLocation(const Hl7Segments& store, HL7Message& msg);     // PV1-3
void ReadReferringPhysician(const Hl7Segments& store, HL7Message& msg);  // ORC-12
void ReadStudyInstanceUID(const Hl7Segments& store, HL7Message& msg);    // ZDS-1

// Splits at every occurrence of `separator` (an empty text gives one empty
// piece).
std::vector<std::string> SplitText(std::string_view text, char separator);

}  // namespace norv

#endif  // NORV_INTAKE_HL7_READER_H_
