#include "intake/hl7_reader.h"

#include <algorithm>
#include <cstdint>

#include "app/error.h"
#include "app/log.h"
#include "app/settings.h"

namespace norv {
namespace {

bool DebugOn() { return settings().Debug == 1; }

// Element `index` of a stored segment; a missing one is an error of the
// cycle, as an out-of-range array access is.
const std::string& At(const std::vector<std::string>& elements, std::size_t index) {
  if (index >= elements.size()) ThrowSubscriptOutOfRange();
  return elements[index];
}

// Splits a field into its components. An empty field has no components at
// all, so reading the first component of an empty field is a shortfall, not
// an empty value.
std::vector<std::string> Components(const std::string& field) {
  if (field.empty()) return {};
  return SplitText(field, '^');
}

// Left$, Mid$ and Right$ by character (one byte each).
std::string_view Left(std::string_view s, std::size_t n) { return s.substr(0, std::min(n, s.size())); }
std::string_view Right(std::string_view s, std::size_t n) {
  return s.substr(s.size() - std::min(n, s.size()));
}
std::string_view Mid(std::string_view s, std::size_t start1, std::size_t n) {
  if (start1 - 1 >= s.size()) return {};
  return s.substr(start1 - 1, n);
}

// YYYYMMDD... as YYYY-MM-DD, cut by position from the first eight characters
// whatever they hold: "1960" gives "1960--60", "" gives "--".
std::string DashedDate(std::string_view value) {
  std::string_view d = Left(value, 8);
  std::string out;
  out.reserve(10);
  out.append(Left(d, 4)).append("-").append(Mid(d, 5, 2)).append("-").append(Right(d, 2));
  return out;
}

// HHMM as HH:MM, cut by position.
std::string ColonTime(std::string_view hhmm) {
  std::string out;
  out.reserve(5);
  out.append(Left(hhmm, 2)).append(":").append(Right(hhmm, 2));
  return out;
}

// Where a segment of the given (upper-cased) name is stored; nullptr for the
// names that are not kept as fields (OBX and all unknown ones).
std::vector<std::string>* Slot(SegmentFields& f, std::string_view name) {
  if (name == "MSH") return &f.MSH;
  if (name == "PID") return &f.PID;
  if (name == "EVN") return &f.EVN;
  if (name == "PV1") return &f.PV1;
  if (name == "MRG") return &f.MRG;
  if (name == "ORC") return &f.ORC;
  if (name == "OBR") return &f.OBR;
  if (name == "SCH") return &f.SCH;
  if (name == "AIL") return &f.AIL;
  if (name == "ZDS") return &f.ZDS;
  return nullptr;
}

// Splits at "|" into `out`, reusing its storage.
void SplitElements(std::string_view line, std::vector<std::string>& out) {
  out.clear();
  out.reserve(static_cast<std::size_t>(std::count(line.begin(), line.end(), '|')) + 1);
  std::size_t start = 0;
  for (;;) {
    std::size_t bar = line.find('|', start);
    if (bar == std::string_view::npos) {
      out.emplace_back(line.substr(start));
      return;
    }
    out.emplace_back(line.substr(start, bar - start));
    start = bar + 1;
  }
}

// A setting piece as a whole number, by the settings' own conversion rules.
std::int16_t SelectorElement(std::string_view text) {
  if (auto v = ToInt16(text)) return *v;
  if (ToInt32(text)) throw Error(kErrOverflow, "Overflow");
  throw Error(kErrTypeMismatch, "Type mismatch");
}

std::int32_t SelectorComponent(std::string_view text) {
  if (auto v = ToInt32(text)) return *v;
  throw Error(kErrTypeMismatch, "Type mismatch");
}

const std::string& AtSigned(const std::vector<std::string>& pieces, std::int64_t index) {
  if (index < 0) ThrowSubscriptOutOfRange();
  return At(pieces, static_cast<std::size_t>(index));
}

}  // namespace

std::vector<std::string> SplitText(std::string_view text, char separator) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  for (;;) {
    std::size_t sep = text.find(separator, start);
    if (sep == std::string_view::npos) {
      pieces.emplace_back(text.substr(start));
      return pieces;
    }
    pieces.emplace_back(text.substr(start, sep - start));
    start = sep + 1;
  }
}

void SplitSegments(std::string_view text, Hl7Segments& store) {
  const bool debug = DebugOn();
  std::size_t start = 0;
  for (;;) {
    std::size_t cr = text.find('\r', start);
    std::string_view line =
        text.substr(start, cr == std::string_view::npos ? std::string_view::npos : cr - start);
    // Names are compared upper-cased, so "pid|..." is a PID segment; a line
    // that starts with a line feed (CR LF files) matches nothing.
    char name_buf[3];
    std::size_t name_len = std::min<std::size_t>(3, line.size());
    for (std::size_t i = 0; i < name_len; ++i) {
      char c = line[i];
      name_buf[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    std::string_view name(name_buf, name_len);
    if (debug) {
      std::string msg = "Read content \"";
      msg.append(name).append("\"");
      WriteDebugLog(msg);
    }
    if (std::vector<std::string>* slot = Slot(store.fields, name)) {
      SplitElements(line, *slot);
    } else if (name == "OBX") {
      store.ReportLines.emplace_back(line);
    }
    if (cr == std::string_view::npos) break;
    start = cr + 1;
  }
}

bool ReadCommonValues(Hl7Segments& store, HL7Message& msg) {
  const SegmentFields& f = store.fields;
  const bool debug = DebugOn();
  if (f.MSH.size() == 1) {
    WriteErrorLog(-1, "No message header!", "");
    return false;
  }

  store.MessageEvent = At(f.MSH, 8);
  if (debug) {
    WriteDebugLog("Event ID: " + store.MessageEvent);
    WriteDebugLog("MsgCtrlID: " + At(f.MSH, 9));
  }

  std::vector<std::string> name = Components(At(f.PID, 5));
  msg.LastName = At(name, 0);
  if (name.size() >= 2) msg.FirstName = name[1];
  if (name.size() >= 3) msg.MiddleName = name[2];
  if (name.size() >= 6) msg.NameDegree = name[5];
  if (debug) {
    WriteDebugLog("Name: " + msg.LastName + "^" + msg.FirstName + "^" + msg.MiddleName +
                  "^^" + msg.NameDegree);
  }

  msg.BirthDate = DashedDate(At(f.PID, 7));
  if (debug) WriteDebugLog("DOB: " + msg.BirthDate);

  msg.Sex = f.PID.size() >= 9 ? f.PID[8] : "O";
  if (debug) WriteDebugLog("Sex: " + msg.Sex);

  // PID-3 is split at "^" across its repetitions: with the usual
  // ID1^^^AUTH1^TYPE1~ID2^^^AUTH2^TYPE2 the fifth piece is TYPE1~ID2, and the
  // identifier wanted is what follows its "~".
  std::vector<std::string> pid3 = SplitText(At(f.PID, 3), '^');
  if (pid3.size() < 9) ThrowSubscriptOutOfRange();
  std::string_view fifth = pid3[4];
  std::size_t tilde = fifth.find('~');
  if (tilde != std::string_view::npos) fifth.remove_prefix(tilde + 1);
  msg.PatientID.clear();
  for (char c : fifth) {
    if (c != ' ') msg.PatientID.push_back(c);
  }
  if (debug) WriteDebugLog("ID: " + msg.PatientID);
  return true;
}

void ReadOrderControl(const Hl7Segments& store, HL7Message& msg) {
  const auto& orc = store.fields.ORC;
  if (orc.size() >= 2) msg.OrderControl = orc[1];
}

void ReadOrderStatus(const Hl7Segments& store, HL7Message& msg) {
  const auto& orc = store.fields.ORC;
  if (orc.size() >= 6) msg.OrderStatus = orc[5];
}

void ReadAppointmentDateTime(const Hl7Segments& store, HL7Message& msg) {
  const auto& orc = store.fields.ORC;
  if (orc.size() < 8) return;
  std::vector<std::string> parts = Components(orc[7]);
  if (parts.size() < 4 || parts[3].empty()) return;
  std::string_view when = parts[3];
  msg.AppointmentDate = DashedDate(when);
  // HHMM follows the date: characters 9 to 12, so that a value with seconds
  // (YYYYMMDDHHMMSS) still gives its hour and minute. Shorter values keep
  // the last four characters (HHMM of YYYYMMDDHHMM, MMDD of a date alone).
  std::string_view hhmm = when.size() >= 12 ? Mid(when, 9, 4) : Right(when, 4);
  msg.AppointmentTime = ColonTime(hhmm);
}

void ReadAccessionNumber(const Hl7Segments& store, HL7Message& msg) {
  const auto& obr = store.fields.OBR;
  if (obr.size() >= 22) msg.AccessionNumber = obr[21];
}

bool ReadProcedureCode(const Hl7Segments& store, HL7Message& msg) {
  const auto& obr = store.fields.OBR;
  if (obr.size() < 5) return false;
  msg.ProcedureCode = At(Components(obr[4]), 0);
  return true;
}

void ReadProcedureText(const Hl7Segments& store, HL7Message& msg) {
  const auto& obr = store.fields.OBR;
  if (obr.size() < 5) return;
  std::vector<std::string> parts = Components(obr[4]);
  if (parts.size() >= 2) msg.ProcedureText = parts[1];
}

void ReadModalityLocation(const Hl7Segments& store, HL7Message& msg) {
  const std::string& setting = settings().ModalityLocation;
  if (setting.empty()) return;
  std::vector<std::string> pieces = SplitText(setting, ';');
  std::int16_t element = SelectorElement(At(pieces, 1));
  bool has_component = pieces.size() >= 3;
  std::int32_t component = has_component ? SelectorComponent(pieces[2]) : 0;

  const std::string& segment = pieces[0];
  const std::vector<std::string>* elements = nullptr;
  if (segment == "MSH") {
    // Only MSH is guarded: a header too short leaves the value empty.
    if (static_cast<int>(store.fields.MSH.size()) < element + 1) return;
    elements = &store.fields.MSH;
  } else if (segment == "PV1") {
    elements = &store.fields.PV1;
  } else if (segment == "OBR") {
    elements = &store.fields.OBR;
  } else {
    return;
  }
  const std::string& value = AtSigned(*elements, element);
  msg.ModalityLocation = has_component ? AtSigned(Components(value), component) : value;
}

void ReadModality(const Hl7Segments& store, HL7Message& msg) {
  const auto& obr = store.fields.OBR;
  if (obr.size() >= 25) msg.Modality = obr[24];
}

void ReadPatientLocation(const Hl7Segments& store, HL7Message& msg) {
  const auto& pv1 = store.fields.PV1;
  if (pv1.size() < 4 || pv1[3].empty()) return;
  std::vector<std::string> parts = Components(pv1[3]);
  msg.PatientLocation = parts.size() == 1 ? parts[0] : parts[1];
}

void ReadReferringPhysician(const Hl7Segments& store, HL7Message& msg) {
  const auto& orc = store.fields.ORC;
  if (orc.size() < 13 || orc[12].empty()) return;
  std::vector<std::string> parts = Components(orc[12]);
  msg.ReferringPhysicianID = parts[0];
  if (parts.size() >= 2) msg.ReferringPhysicianName = parts[1];
}

void ReadStudyInstanceUID(const Hl7Segments& store, HL7Message& msg) {
  const auto& zds = store.fields.ZDS;
  if (zds.size() >= 2) msg.StudyInstanceUID = zds[1];
}

}  // namespace norv
