#include "intake/hl7_reader.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "core/error.h"
#include "core/log.h"
#include "intake/hl7_standard.h"

namespace norv {
namespace {

// Element `index` of a stored segment; a missing one is an error of the
// cycle, as an out-of-range array access is.
const std::string& At(const std::vector<std::string>& elements, std::size_t index) {
  if (index >= elements.size()) ThrowSubscriptOutOfRange();
  return elements[index];
}

// Components of a field, read in place after one pass over the field. An
// empty field has no components at all, so reading the first component of
// an empty field is a shortfall, not an empty value.
class Components {
 public:
  explicit Components(std::string_view field, char separator = '^')
      : field_(field), separator_(separator) {
    if (field.empty()) return;
    count_ = 1;
    for (std::size_t i = 0; i < field.size(); ++i) {
      if (field[i] != separator) continue;
      if (count_ < kKept) starts_[count_] = i + 1;
      ++count_;
    }
  }
  std::size_t size() const { return count_; }
  // Component `index` (0-based); a missing one is an error of the cycle.
  std::string_view at(std::int64_t index) const {
    if (index < 0 || static_cast<std::size_t>(index) >= count_) ThrowSubscriptOutOfRange();
    auto i = static_cast<std::size_t>(index);
    std::size_t start;
    if (i < kKept) {
      start = starts_[i];
    } else {  // rarely this far: walk on from the last kept start
      start = starts_[kKept - 1];
      for (std::size_t k = kKept - 1; k < i; ++k) start = field_.find(separator_, start) + 1;
    }
    std::size_t end = i + 1 < kKept && i + 1 < count_ ? starts_[i + 1] - 1
                                                       : field_.find(separator_, start);
    return field_.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
  }

 private:
  static constexpr std::size_t kKept = 12;
  std::string_view field_;
  char separator_;
  std::size_t count_ = 0;
  std::size_t starts_[kKept] = {};
};

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

// Field separators are found eight bytes at a time: the result has the top
// bit set in exactly the bytes of `word` that are "|".
constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;
constexpr std::uint64_t kBars = 0x7C7C7C7C7C7C7C7CULL;
inline std::uint64_t BarMask(const char* p) {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  std::uint64_t x = word ^ kBars;  // zero bytes where "|"
  return ~(((x & kLow7) + kLow7) | x | kLow7);
}

// Calls `emit(offset)` for the offset of every "|" in [p, end), in order.
template <typename Emit>
void ForEachBar(const char* p, const char* end, Emit emit) {
  const char* q = p;
  if constexpr (std::endian::native == std::endian::little) {
    for (; end - q >= 8; q += 8) {
      for (std::uint64_t m = BarMask(q); m != 0; m &= m - 1) {
        emit(static_cast<std::size_t>(q - p) + static_cast<std::size_t>(std::countr_zero(m)) / 8);
      }
    }
  }
  for (; q != end; ++q) {
    if (*q == '|') emit(static_cast<std::size_t>(q - p));
  }
}

// Splits the line [p, end) at "|" into `out`, sized exactly beforehand.
void SplitLine(const char* p, const char* end, std::vector<std::string>& out) {
  std::size_t bars = 0;
  ForEachBar(p, end, [&](std::size_t) { ++bars; });
  out.clear();
  out.reserve(bars + 1);
  std::size_t start = 0;
  ForEachBar(p, end, [&](std::size_t bar) {
    out.emplace_back(p + start, bar - start);
    start = bar + 1;
  });
  out.emplace_back(p + start, static_cast<std::size_t>(end - p) - start);
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

// The values of the standard reading, read up front; nullptr in the
// designed reading.
const HL7Message* Standard(const Hl7Segments& store) {
  return store.standard != nullptr ? &store.standard->reading->values : nullptr;
}

// The identifier of the second repetition of PID-3 (component 1, blanks
// removed); throws when there is none.
std::string SecondRepetitionIdentifier(std::string_view pid3) {
  std::vector<std::string> repetitions = SplitText(pid3, '~');
  if (repetitions.size() < 2) {
    throw Error(kErrSubscriptOutOfRange,
                "No patient identifier: PID-3 \"" + std::string(pid3) + "\" has no second repetition");
  }
  std::string id;
  for (char c : std::string_view(repetitions[1]).substr(0, repetitions[1].find('^'))) {
    if (c != ' ') id.push_back(c);
  }
  if (id.empty()) {
    throw Error(kErrSubscriptOutOfRange, "No patient identifier: the second repetition of PID-3 \"" +
                                             std::string(pid3) + "\" has none");
  }
  return id;
}

const std::string& AtSigned(const std::vector<std::string>& elements, std::int64_t index) {
  if (index < 0) ThrowSubscriptOutOfRange();
  return At(elements, static_cast<std::size_t>(index));
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

void SplitSegments(Log& log, std::string_view text, Hl7Segments& store) {
  const bool debug = log.DebugOn();
  const char* p = text.data();
  const char* const end = p + text.size();
  for (;;) {
    // Names are compared upper-cased, so "pid|..." is a PID segment; a line
    // that starts with a line feed (CR LF files) matches nothing.
    char name_buf[3];
    std::size_t name_len = 0;
    for (; name_len < 3 && p + name_len != end && p[name_len] != '\r'; ++name_len) {
      char c = p[name_len];
      name_buf[name_len] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    std::string_view name(name_buf, name_len);
    if (debug) {
      std::string msg = "Read content \"";
      msg.append(name).append("\"");
      log.WriteDebugLog(msg);
    }
    const void* cr = std::memchr(p, '\r', static_cast<std::size_t>(end - p));
    const char* line_end = cr != nullptr ? static_cast<const char*>(cr) : end;
    if (std::vector<std::string>* slot = Slot(store.fields, name)) {
      SplitLine(p, line_end, *slot);
    } else if (name == "OBX") {
      store.ReportLines.emplace_back(p, static_cast<std::size_t>(line_end - p));
    }
    if (line_end == end) break;
    p = line_end + 1;
  }
}

bool ReadCommonValues(Log& log, Hl7Segments& store, HL7Message& msg) {
  const SegmentFields& f = store.fields;
  const bool debug = log.DebugOn();
  if (f.MSH.size() == 1) {
    log.WriteErrorLog(-1, "No message header!", "");
    return false;
  }

  store.MessageEvent = At(f.MSH, 8);
  if (debug) {
    log.WriteDebugLog("Event ID: " + store.MessageEvent);
    log.WriteDebugLog("MsgCtrlID: " + At(f.MSH, 9));
  }

  Components name(At(f.PID, 5));
  msg.LastName = name.at(0);
  if (name.size() >= 2) msg.FirstName = name.at(1);
  if (name.size() >= 3) msg.MiddleName = name.at(2);
  if (name.size() >= 6) msg.NameDegree = name.at(5);
  if (debug) {
    log.WriteDebugLog("Name: " + msg.LastName + "^" + msg.FirstName + "^" + msg.MiddleName +
                  "^^" + msg.NameDegree);
  }

  msg.BirthDate = DashedDate(At(f.PID, 7));
  if (debug) log.WriteDebugLog("DOB: " + msg.BirthDate);

  msg.Sex = f.PID.size() >= 9 ? f.PID[8] : "O";
  if (debug) log.WriteDebugLog("Sex: " + msg.Sex);

  // The identifier of the second repetition, as in the usual
  // ID1^^^AUTH1^TYPE1~ID2^^^AUTH2^TYPE2; never a type code or a first
  // repetition standing in for it.
  msg.PatientID = SecondRepetitionIdentifier(At(f.PID, 3));
  if (debug) log.WriteDebugLog("ID: " + msg.PatientID);
  return true;
}

void ReadOrderControl(const Hl7Segments& store, HL7Message& msg) {
  if (auto* v = Standard(store)) return void(msg.OrderControl = v->OrderControl);
  const auto& orc = store.fields.ORC;
  if (orc.size() >= 2) msg.OrderControl = orc[1];
}

void ReadOrderStatus(const Hl7Segments& store, HL7Message& msg) {
  if (auto* v = Standard(store)) return void(msg.OrderStatus = v->OrderStatus);
  const auto& orc = store.fields.ORC;
  if (orc.size() >= 6) msg.OrderStatus = orc[5];
}

void ReadAppointmentDateTime(const Hl7Segments& store, HL7Message& msg) {
  if (auto* v = Standard(store)) {
    msg.AppointmentDate = v->AppointmentDate;
    msg.AppointmentTime = v->AppointmentTime;
    return;
  }
  const auto& orc = store.fields.ORC;
  if (orc.size() < 8) return;
  Components parts(orc[7]);
  if (parts.size() < 4) return;
  std::string_view when = parts.at(3);
  if (when.empty()) return;
  msg.AppointmentDate = DashedDate(when);
  // HHMM follows the date: characters 9 to 12, so that a value with seconds
  // (YYYYMMDDHHMMSS) still gives its hour and minute. Shorter values keep
  // the last four characters (HHMM of YYYYMMDDHHMM, MMDD of a date alone).
  std::string_view hhmm = when.size() >= 12 ? Mid(when, 9, 4) : Right(when, 4);
  msg.AppointmentTime = ColonTime(hhmm);
}

void ReadAccessionNumber(const Hl7Segments& store, HL7Message& msg) {
  if (auto* v = Standard(store)) return void(msg.AccessionNumber = v->AccessionNumber);
  const auto& obr = store.fields.OBR;
  if (obr.size() >= 22) msg.AccessionNumber = obr[21];
}

bool ReadProcedureCode(const Hl7Segments& store, HL7Message& msg) {
  if (auto* v = Standard(store)) {
    msg.ProcedureCode = v->ProcedureCode;
    return store.standard->reading->has_obr;
  }
  const auto& obr = store.fields.OBR;
  if (obr.size() < 5) return false;
  msg.ProcedureCode = Components(obr[4]).at(0);
  return true;
}

void ReadProcedureText(const Hl7Segments& store, HL7Message& msg) {
  if (auto* v = Standard(store)) return void(msg.ProcedureText = v->ProcedureText);
  const auto& obr = store.fields.OBR;
  if (obr.size() < 5) return;
  Components parts(obr[4]);
  if (parts.size() >= 2) msg.ProcedureText = parts.at(1);
}

void ReadModalityLocation(const Hl7Segments& store, HL7Message& msg,
                          const std::string& setting) {
  if (setting.empty()) return;
  Components pieces(setting, ';');
  std::int16_t element = SelectorElement(pieces.at(1));
  bool has_component = pieces.size() >= 3;
  std::int32_t component = has_component ? SelectorComponent(pieces.at(2)) : 0;

  std::string_view segment = pieces.at(0);
  if (store.standard != nullptr) {
    msg.ModalityLocation = SelectStandardValue(*store.standard->message, *store.standard->unit,
                                               segment, element, has_component ? component : -1);
    return;
  }
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
  if (has_component) {
    msg.ModalityLocation = Components(value).at(component);
  } else {
    msg.ModalityLocation = value;
  }
}

void ReadModality(const Hl7Segments& store, HL7Message& msg) {
  if (auto* v = Standard(store)) return void(msg.Modality = v->Modality);
  const auto& obr = store.fields.OBR;
  if (obr.size() >= 25) msg.Modality = obr[24];
}

void ReadPatientLocation(const Hl7Segments& store, HL7Message& msg) {
  if (auto* v = Standard(store)) return void(msg.PatientLocation = v->PatientLocation);
  const auto& pv1 = store.fields.PV1;
  if (pv1.size() < 4 || pv1[3].empty()) return;
  Components parts(pv1[3]);
  msg.PatientLocation = parts.at(parts.size() == 1 ? 0 : 1);
}

void ReadReferringPhysician(const Hl7Segments& store, HL7Message& msg) {
  if (auto* v = Standard(store)) {
    msg.ReferringPhysicianID = v->ReferringPhysicianID;
    msg.ReferringPhysicianName = v->ReferringPhysicianName;
    return;
  }
  const auto& orc = store.fields.ORC;
  if (orc.size() < 13 || orc[12].empty()) return;
  Components parts(orc[12]);
  msg.ReferringPhysicianID = parts.at(0);
  if (parts.size() >= 2) msg.ReferringPhysicianName = parts.at(1);
}

void ReadStudyInstanceUID(const Hl7Segments& store, HL7Message& msg) {
  if (auto* v = Standard(store)) return void(msg.StudyInstanceUID = v->StudyInstanceUID);
  const auto& zds = store.fields.ZDS;
  if (zds.size() >= 2) msg.StudyInstanceUID = zds[1];
}

}  // namespace norv
