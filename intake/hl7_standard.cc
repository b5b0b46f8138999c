#include "intake/hl7_standard.h"

#include <algorithm>

#include "core/error.h"
#include "core/ansi.h"

namespace norv {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsMllpByte(char c) { return c == '\x0B' || c == '\x1C'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsAlnum(char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
// A character that may serve as a delimiter: printable ASCII, neither a
// letter, a digit nor a blank.
bool UsableDelimiter(char c) { return c > ' ' && c < '\x7F' && !IsAlnum(c); }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return AsciiUpper(Trim(a)) == AsciiUpper(Trim(b));
}

// Piece `index` (1-based) of `s` split at `sep`; a separator the message does
// not declare leaves `s` as its only piece.
std::string_view Piece(std::string_view s, char sep, int index) {
  if (index < 1) return {};
  if (sep == '\0') return index == 1 ? s : std::string_view();
  std::size_t start = 0;
  for (int i = 1; i < index; ++i) {
    std::size_t next = s.find(sep, start);
    if (next == std::string_view::npos) return {};
    start = next + 1;
  }
  std::size_t end = s.find(sep, start);
  return s.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
}

int PieceCount(std::string_view s, char sep) {
  if (s.empty()) return 0;
  if (sep == '\0') return 1;
  return 1 + static_cast<int>(std::count(s.begin(), s.end(), sep));
}

int HexDigit(char c) {
  if (IsDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The bytes of the hexadecimal digits of an \X..\ sequence; nullopt for an odd
// count or a character that is no digit.
std::optional<std::string> HexBytes(std::string_view digits) {
  if (digits.empty() || digits.size() % 2 != 0) return std::nullopt;
  std::string out;
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    int hi = HexDigit(digits[i]), lo = HexDigit(digits[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<char>(hi * 16 + lo));
  }
  return out;
}

// `count` digits of `s` from `pos` as a number; -1 when they are not digits.
int Digits(std::string_view s, std::size_t pos, std::size_t count) {
  if (pos + count > s.size()) return -1;
  int v = 0;
  for (std::size_t i = pos; i < pos + count; ++i) {
    if (!IsDigit(s[i])) return -1;
    v = v * 10 + (s[i] - '0');
  }
  return v;
}

bool IsLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeapYear(y) ? 29 : kDays[m - 1];
}

std::string TwoDigits(int v) {
  return std::string(1, static_cast<char>('0' + v / 10)) + static_cast<char>('0' + v % 10);
}

std::string WithoutBlanks(std::string_view s) {
  std::string out;
  for (char c : s) {
    if (c != ' ') out.push_back(c);
  }
  return out;
}

// The report lines of one decoded OBX-5 repetition: CR, LF and CR LF (from
// \.br\ or \X0D\ \X0A\) start a new line, other control characters become
// blanks.
void AppendReportLines(std::string_view text, std::vector<std::string>& lines) {
  std::string line;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(std::move(line));
      line.clear();
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else if (static_cast<unsigned char>(c) < 0x20 || c == '\x7F') {
      line.push_back(' ');
    } else {
      line.push_back(c);
    }
  }
  lines.push_back(std::move(line));
}

bool IsCodedType(std::string_view type) {
  return type == "CE" || type == "CWE" || type == "CNE" || type == "CF";
}

bool HasRule(const PatientIdRule& rule) {
  return !Trim(rule.type).empty() || !Trim(rule.authority).empty();
}

struct Appointment {
  Hl7DateTime when;
  const char* field;
};

// The first of ORC-7.4, TQ1-7, OBR-27.4 and OBR-36 (scheduled date/time)
// that holds a valid date/time.
std::optional<Appointment> AppointmentOf(const Hl7StandardMessage& m, const Hl7Unit& u) {
  const struct {
    int index, field, comp;
    const char* name;
  } sources[] = {{u.orc, 7, 4, "ORC-7.4"}, {u.tq1, 7, 1, "TQ1-7"}, {u.obr, 27, 4, "OBR-27.4"},
                 {u.obr, 36, 1, "OBR-36"}};
  for (const auto& s : sources) {
    if (s.index < 0) continue;
    const Hl7Segment& seg = m.segments[static_cast<std::size_t>(s.index)];
    if (auto t = ParseHl7DateTime(Value(m, seg, s.field, 1, s.comp, 1))) return Appointment{*t, s.name};
  }
  return std::nullopt;
}

}  // namespace

std::vector<std::string_view> SplitSegmentLines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    while (!line.empty() && IsMllpByte(line.front())) line.remove_prefix(1);
    while (!line.empty() && IsMllpByte(line.back())) line.remove_suffix(1);
    if (!std::all_of(line.begin(), line.end(), IsBlank)) lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

std::optional<Hl7Delimiters> ReadDelimiters(std::string_view msh_line) {
  if (msh_line.size() < 4 || msh_line.substr(0, 3) != "MSH") return std::nullopt;
  Hl7Delimiters d;
  d.field = msh_line[3];
  if (!UsableDelimiter(d.field)) return std::nullopt;
  std::string_view chars = msh_line.substr(4);
  chars = chars.substr(0, chars.find(d.field));
  std::string used(1, d.field);
  char* slots[] = {&d.component, &d.repetition, &d.escape, &d.subcomponent};
  for (std::size_t i = 0; i < 4; ++i) {
    char c = i < chars.size() ? chars[i] : '\0';
    if (c != '\0' && (!UsableDelimiter(c) || used.find(c) != std::string::npos)) c = '\0';
    *slots[i] = c;
    if (c != '\0') used.push_back(c);
  }
  return d;
}

Hl7Charset CharsetOf(std::string_view msh18, bool byte_order_mark) {
  std::string name = AsciiUpper(Trim(msh18));
  if (byte_order_mark || name == "UNICODE UTF-8" || name == "UTF-8") return Hl7Charset::kUtf8;
  return Hl7Charset::kWindows1252;
}

std::string DecodeEscapes(std::string_view raw, const Hl7Delimiters& d, EscapeUse use) {
  if (d.escape == '\0' || raw.find(d.escape) == std::string_view::npos) return std::string(raw);
  std::string out;
  out.reserve(raw.size());
  std::size_t i = 0;
  while (i < raw.size()) {
    if (raw[i] != d.escape) {
      out.push_back(raw[i++]);
      continue;
    }
    std::size_t close = raw.find(d.escape, i + 1);
    if (close == std::string_view::npos) {
      out.append(raw.substr(i));
      break;
    }
    std::string_view seq = raw.substr(i + 1, close - i - 1);
    i = close + 1;
    char single = '\0';
    if (seq == "F") single = d.field;
    else if (seq == "S") single = d.component;
    else if (seq == "T") single = d.subcomponent;
    else if (seq == "R") single = d.repetition;
    else if (seq == "E") single = d.escape;
    if (single != '\0') {
      out.push_back(single);
    } else if (!seq.empty() && (seq[0] == 'X' || seq[0] == 'x')) {
      if (auto bytes = HexBytes(seq.substr(1))) out.append(*bytes);
    } else if (seq == ".br" && use == EscapeUse::kReportText) {
      out.push_back('\n');
    }
    // Anything else is a formatting or character-set command: dropped.
  }
  return out;
}

std::string ValueToAnsi(std::string_view bytes, Hl7Charset charset) {
  return charset == Hl7Charset::kUtf8 ? Utf8ToAnsi(bytes) : std::string(bytes);
}

bool LosesCharacters(std::string_view text, Hl7Charset charset) {
  if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark) text.remove_prefix(kByteOrderMark.size());
  if (charset != Hl7Charset::kUtf8 || IsAscii(text)) return false;
  std::string ansi = Utf8ToAnsi(text);
  return std::count(ansi.begin(), ansi.end(), '?') > std::count(text.begin(), text.end(), '?');
}

std::optional<Hl7DateTime> ParseHl7DateTime(std::string_view text) {
  text = Trim(text);
  std::size_t digits = 0;
  while (digits < text.size() && IsDigit(text[digits])) ++digits;
  if (digits != 8 && digits != 10 && digits != 12 && digits != 14) return std::nullopt;
  std::size_t pos = digits;
  if (pos < text.size() && text[pos] == '.') {
    if (digits != 14) return std::nullopt;
    std::size_t fraction = 0;
    while (pos + 1 + fraction < text.size() && IsDigit(text[pos + 1 + fraction])) ++fraction;
    if (fraction < 1 || fraction > 4) return std::nullopt;
    pos += 1 + fraction;
  }
  if (pos < text.size()) {
    if ((text[pos] != '+' && text[pos] != '-') || text.size() - pos != 5) return std::nullopt;
    int zh = Digits(text, pos + 1, 2), zm = Digits(text, pos + 3, 2);
    if (zh < 0 || zh > 23 || zm < 0 || zm > 59) return std::nullopt;
  }
  Hl7DateTime t;
  t.year = Digits(text, 0, 4);
  t.month = Digits(text, 4, 2);
  t.day = Digits(text, 6, 2);
  if (t.year < 1 || t.month < 1 || t.month > 12 || t.day < 1 || t.day > DaysInMonth(t.year, t.month)) {
    return std::nullopt;
  }
  if (digits >= 10) t.hour = Digits(text, 8, 2);
  if (digits >= 12) t.minute = Digits(text, 10, 2);
  int second = digits >= 14 ? Digits(text, 12, 2) : 0;
  if (t.hour > 23 || t.minute > 59 || second > 59) return std::nullopt;
  return t;
}

std::string IsoDate(const Hl7DateTime& t) {
  std::string year = std::to_string(t.year);
  return std::string(4 - std::min<std::size_t>(4, year.size()), '0') + year + "-" +
         TwoDigits(t.month) + "-" + TwoDigits(t.day);
}

std::string HourMinute(const Hl7DateTime& t) { return TwoDigits(t.hour) + ":" + TwoDigits(t.minute); }

std::optional<Hl7StandardMessage> ParseStandardMessage(std::string_view text) {
  const bool bom = text.substr(0, kByteOrderMark.size()) == kByteOrderMark;
  std::size_t header = text.find("MSH");
  if (header == std::string_view::npos) return std::nullopt;

  Hl7StandardMessage m;
  for (std::string_view line : SplitSegmentLines(bom ? text.substr(kByteOrderMark.size()) : text)) {
    std::string_view name = line.substr(0, 3);
    if (name == "FHS" || name == "BHS") m.batch = true;
  }
  std::vector<std::string_view> lines = SplitSegmentLines(text.substr(header));
  std::optional<Hl7Delimiters> d = lines.empty() ? std::nullopt : ReadDelimiters(lines.front());
  if (!d) return std::nullopt;
  m.delimiters = *d;
  for (std::string_view line : lines) {
    Hl7Segment seg;
    std::size_t start = 0;
    for (;;) {
      std::size_t sep = line.find(d->field, start);
      seg.fields.emplace_back(line.substr(start, sep == std::string_view::npos ? sep : sep - start));
      if (sep == std::string_view::npos) break;
      start = sep + 1;
    }
    seg.name = AsciiUpper(seg.fields[0]);
    // In MSH the first separator is field 1 itself.
    if (seg.name == "MSH") {
      seg.fields.insert(seg.fields.begin() + 1, std::string(1, d->field));
      ++m.message_count;
    }
    m.segments.push_back(std::move(seg));
  }
  m.charset = CharsetOf(RawValue(m, m.segments.front(), 18, 1, 1, 0), bom);
  return m;
}

std::string_view RawValue(const Hl7StandardMessage& m, const Hl7Segment& seg, int field, int rep,
                          int comp, int sub) {
  if (field < 0 || static_cast<std::size_t>(field) >= seg.fields.size()) return {};
  std::string_view value = seg.fields[static_cast<std::size_t>(field)];
  // MSH-1 and MSH-2 are the delimiters themselves.
  if (seg.name == "MSH" && field <= 2) return value;
  const Hl7Delimiters& d = m.delimiters;
  value = Piece(value, d.repetition, rep);
  if (comp == 0) return value;
  value = Piece(value, d.component, comp);
  if (sub == 0) return value;
  return Piece(value, d.subcomponent, sub);
}

std::string Value(const Hl7StandardMessage& m, const Hl7Segment& seg, int field, int rep, int comp,
                  int sub) {
  return ValueToAnsi(DecodeEscapes(RawValue(m, seg, field, rep, comp, sub), m.delimiters,
                                   EscapeUse::kField),
                     m.charset);
}

int Repetitions(const Hl7StandardMessage& m, const Hl7Segment& seg, int field) {
  if (field < 0 || static_cast<std::size_t>(field) >= seg.fields.size()) return 0;
  const std::string& value = seg.fields[static_cast<std::size_t>(field)];
  if (seg.name == "MSH" && field <= 2) return value.empty() ? 0 : 1;
  return PieceCount(value, m.delimiters.repetition);
}

std::string StandardMessageEvent(const Hl7StandardMessage& m) {
  const Hl7Segment& msh = m.segments.front();
  std::string type = Value(m, msh, 9, 1, 1, 1);
  std::string trigger = Value(m, msh, 9, 1, 2, 1);
  return trigger.empty() ? type : type + "^" + trigger;
}

std::vector<Hl7Unit> SplitUnits(const Hl7StandardMessage& m, bool orders) {
  std::vector<Hl7Unit> units;
  // A new order of the same patient group keeps the group's PID, MRG, PV1.
  auto next_order = [&units](int orc, int obr) {
    Hl7Unit u;
    u.pid = units.back().pid;
    u.mrg = units.back().mrg;
    u.pv1 = units.back().pv1;
    u.orc = orc;
    u.obr = obr;
    units.push_back(u);
  };
  for (int i = 0; i < static_cast<int>(m.segments.size()); ++i) {
    const std::string& name = m.segments[static_cast<std::size_t>(i)].name;
    if (name == "PID") {
      units.emplace_back().pid = i;
      continue;
    }
    if (units.empty()) continue;
    Hl7Unit& u = units.back();
    auto first = [i](int& slot) {
      if (slot < 0) slot = i;
    };
    if (name == "MRG") {
      first(u.mrg);
    } else if (name == "PV1") {
      first(u.pv1);
    } else if (name == "TQ1") {
      first(u.tq1);
    } else if (name == "ZDS") {
      first(u.zds);
    } else if (name == "OBX") {
      u.obx.push_back(i);
    } else if (name == "ORC") {
      if (orders && (u.orc >= 0 || u.obr >= 0)) {
        next_order(i, -1);
      } else {
        first(u.orc);
      }
    } else if (name == "OBR") {
      if (orders && u.obr >= 0) {
        next_order(-1, i);
      } else {
        first(u.obr);
      }
    }
  }
  return units;
}

std::optional<std::string> ChooseIdentifier(const Hl7StandardMessage& m, const Hl7Segment& seg,
                                            int field, const PatientIdRule& rule) {
  const bool by_rule = HasRule(rule);
  std::optional<std::string> first;
  for (int rep = 1, count = Repetitions(m, seg, field); rep <= count; ++rep) {
    std::string id = WithoutBlanks(Value(m, seg, field, rep, 1, 1));
    if (id.empty()) continue;  // no identifier: the repetition does not count
    if (by_rule) {
      bool type_ok = Trim(rule.type).empty() ||
                     EqualsIgnoringCase(Value(m, seg, field, rep, 5, 1), rule.type);
      bool authority_ok = Trim(rule.authority).empty() ||
                          EqualsIgnoringCase(Value(m, seg, field, rep, 4, 1), rule.authority);
      if (type_ok && authority_ok) return id;
    } else if (first) {
      return id;
    } else {
      first = std::move(id);
    }
  }
  return by_rule ? std::nullopt : first;
}

std::string DescribeRule(const PatientIdRule& rule) {
  std::string type(Trim(rule.type)), authority(Trim(rule.authority));
  if (type.empty() && authority.empty()) {
    return "the second repetition of PID-3 that holds an identifier when there is one, else the "
           "first; PID-2 when PID-3 holds none";
  }
  std::string text = "the first repetition of PID-3 with";
  if (!type.empty()) text += " type code (CX-5) " + type;
  if (!type.empty() && !authority.empty()) text += " and";
  if (!authority.empty()) text += " assigning authority (CX-4) " + authority;
  return text;
}

StandardReading ReadStandardUnit(const Hl7StandardMessage& m, const Hl7Unit& unit,
                                 const PatientIdRule& rule, bool name_required) {
  if (unit.pid < 0) throw Error(kErrSubscriptOutOfRange, "The message has no PID segment");
  auto seg = [&m](int index) -> const Hl7Segment& { return m.segments[static_cast<std::size_t>(index)]; };
  const Hl7Segment& pid = seg(unit.pid);
  StandardReading r;
  HL7Message& v = r.values;

  v.LastName = Value(m, pid, 5, 1, 1, 1);
  v.FirstName = Value(m, pid, 5, 1, 2, 1);
  v.MiddleName = Value(m, pid, 5, 1, 3, 1);
  v.NameDegree = Value(m, pid, 5, 1, 6, 1);
  if (name_required && v.LastName.empty() && v.FirstName.empty() && v.MiddleName.empty()) {
    throw Error(kErrSubscriptOutOfRange, "PID-5 (patient name) holds no name");
  }
  std::optional<Hl7DateTime> birth = ParseHl7DateTime(Value(m, pid, 7, 1, 1, 1));
  v.BirthDate = birth ? IsoDate(*birth) : "";
  v.Sex = pid.fields.size() >= 9 ? Value(m, pid, 8, 1, 1, 1) : "O";
  std::optional<std::string> id = ChooseIdentifier(m, pid, 3, rule);
  // Older senders give the identifier in PID-2 (external id) alone; a site
  // that asked for one kind of identifier gets that kind or none.
  if (!id && !HasRule(rule)) {
    std::string external = WithoutBlanks(Value(m, pid, 2, 1, 1, 1));
    if (!external.empty()) {
      id = std::move(external);
      r.id_from_pid2 = true;
    }
  }
  if (!id) {
    auto quoted = [&](std::size_t field) {
      return "\"" + ValueToAnsi(pid.fields.size() > field ? pid.fields[field] : "", m.charset) + "\"";
    };
    throw Error(kErrSubscriptOutOfRange, "No patient identifier in PID-3 " + quoted(3) +
                                             (HasRule(rule) ? "" : " or PID-2 " + quoted(2)) +
                                             " by the rule: " + DescribeRule(rule));
  }
  v.PatientID = *id;
  if (unit.mrg >= 0) r.prior_identifier = ChooseIdentifier(m, seg(unit.mrg), 1, rule).value_or("");

  if (unit.orc >= 0) {
    const Hl7Segment& orc = seg(unit.orc);
    v.OrderControl = Value(m, orc, 1);
    v.OrderStatus = Value(m, orc, 5);
    v.ReferringPhysicianID = Value(m, orc, 12, 1, 1, 1);
    v.ReferringPhysicianName = Value(m, orc, 12, 1, 2, 1);
  }
  if (std::optional<Appointment> slot = AppointmentOf(m, unit)) {
    v.AppointmentDate = IsoDate(slot->when);
    v.AppointmentTime = HourMinute(slot->when);
    r.appointment_field = slot->field;
  }
  r.message_time = ParseHl7DateTime(Value(m, m.segments.front(), 7, 1, 1, 1));
  if (unit.obr >= 0) {
    const Hl7Segment& obr = seg(unit.obr);
    r.has_obr = true;
    v.AccessionNumber = Value(m, obr, 21);
    v.ProcedureCode = Value(m, obr, 4, 1, 1, 1);
    v.ProcedureText = Value(m, obr, 4, 1, 2, 1);
    v.Modality = Value(m, obr, 24);
  }
  if (unit.pv1 >= 0) {
    const Hl7Segment& pv1 = seg(unit.pv1);
    int parts = PieceCount(RawValue(m, pv1, 3, 1, 0, 0), m.delimiters.component);
    if (parts > 0) v.PatientLocation = Value(m, pv1, 3, 1, parts == 1 ? 1 : 2, 1);
  }
  if (unit.zds >= 0) v.StudyInstanceUID = Value(m, seg(unit.zds), 1);

  for (int index : unit.obx) {
    const Hl7Segment& obx = seg(index);
    const bool coded = IsCodedType(AsciiUpper(Trim(Value(m, obx, 2))));
    const int count = std::max(1, Repetitions(m, obx, 5));
    for (int rep = 1; rep <= count; ++rep) {
      std::string_view raw = RawValue(m, obx, 5, rep, coded ? 2 : 0, 0);
      AppendReportLines(ValueToAnsi(DecodeEscapes(raw, m.delimiters, EscapeUse::kReportText), m.charset),
                        r.report_lines);
    }
  }
  return r;
}

std::string SelectStandardValue(const Hl7StandardMessage& m, const Hl7Unit& unit,
                                std::string_view segment, int element, int component) {
  int index = -1, field = element;
  if (segment == "MSH") {
    index = 0;
    field = element + 1;
  } else if (segment == "PV1") {
    index = unit.pv1;
  } else if (segment == "OBR") {
    index = unit.obr;
  }
  if (index < 0 || element < 0 || component < -1) return {};
  const Hl7Segment& seg = m.segments[static_cast<std::size_t>(index)];
  return component < 0 ? Value(m, seg, field, 1, 0, 0) : Value(m, seg, field, 1, component + 1, 0);
}

}  // namespace norv
