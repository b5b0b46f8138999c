#include "intake/hl7_standard.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "core/error.h"

namespace norv {
namespace {

const std::string kMsh = "MSH|^~\\&|RIS|KH|NORV|RAD|20300101||ORM^O01|M1|P|2.5";
const std::string kPid = "PID|1||X1^^^KH^PI~4711^^^KH^PN||Muster^Hans^Maria||19600131|M";

std::string Join(const std::vector<std::string>& lines, const std::string& end = "\r") {
  std::string text;
  for (const auto& l : lines) text += l + end;
  return text;
}

Hl7StandardMessage Parse(const std::string& text) {
  std::optional<Hl7StandardMessage> m = ParseStandardMessage(text);
  EXPECT_TRUE(m.has_value()) << text;
  return m.value_or(Hl7StandardMessage{});
}

// The reading of the only unit of a message made of `lines`.
StandardReading Read(const std::vector<std::string>& lines, const PatientIdRule& rule = {},
                     bool orders = true) {
  Hl7StandardMessage m = Parse(Join(lines));
  std::vector<Hl7Unit> units = SplitUnits(m, orders);
  EXPECT_EQ(units.size(), 1u);
  return ReadStandardUnit(m, units.at(0), rule, true);
}

TEST(StandardSegments, LineEndsFramingAndBlankLines) {
  const struct {
    std::string text;
    std::vector<std::string> lines;
  } cases[] = {
      {"A\rB\rC", {"A", "B", "C"}},
      {"A\nB\n", {"A", "B"}},
      {"A\r\nB\r\n\r\nC", {"A", "B", "C"}},
      {"A\r\n\nB\rC\n", {"A", "B", "C"}},
      {"\x0b" "A\rB\x1c\r", {"A", "B"}},
      {"A\r  \r\t\rB", {"A", "B"}},
      {"", {}},
  };
  for (const auto& c : cases) {
    std::vector<std::string_view> got = SplitSegmentLines(c.text);
    EXPECT_EQ(std::vector<std::string>(got.begin(), got.end()), c.lines) << c.text;
  }
}

TEST(StandardSegments, DelimitersComeFromMsh1AndMsh2) {
  const struct {
    std::string msh;
    std::string expected;  // field, component, repetition, escape, subcomponent; '0': none
  } cases[] = {
      {"MSH|^~\\&|A", "|^~\\&"},
      {"MSH#%~\\&#A", "#%~\\&"},
      {"MSH|^~\\&#|A", "|^~\\&"},  // the v2.7 truncation character is ignored
      {"MSH|^~&|A", "|^~&0"},      // three characters: no subcomponent
      {"MSH|^~\\\\&|A", "|^~\\0"},  // a delimiter used twice counts once
      {"MSH|^y\\&|A", "|^0\\&"},    // letters are no delimiters
      {"MSH|", "|0000"},
  };
  for (const auto& c : cases) {
    std::optional<Hl7Delimiters> d = ReadDelimiters(c.msh);
    ASSERT_TRUE(d) << c.msh;
    std::string got{d->field, d->component, d->repetition, d->escape, d->subcomponent};
    for (char& ch : got) ch = ch == '\0' ? '0' : ch;
    EXPECT_EQ(got, c.expected) << c.msh;
  }
  for (const char* bad : {"MSHH0", "MSH 1", "MSH", "PID|1", "msh|^~\\&"}) {
    EXPECT_FALSE(ReadDelimiters(bad)) << bad;
  }
  // Declared delimiters are honoured in the fields.
  Hl7StandardMessage m = Parse("MSH#%~\\&#A#B#C#D#E#F#ADT%A08\rPID#1##77%%%KH##Mu%Ha\r");
  EXPECT_EQ(StandardMessageEvent(m), "ADT^A08");
  EXPECT_EQ(Value(m, m.segments[1], 5, 1, 2, 1), "Ha");
  EXPECT_EQ(Value(m, m.segments[0], 1), "#");
  EXPECT_EQ(Value(m, m.segments[0], 2, 1, 0, 0), "%~\\&");
}

TEST(StandardSegments, EventIsMsh9ComponentsOneAndTwo) {
  for (auto [msh9, event] : {std::pair{"ADT^A08^ADT_A01", "ADT^A08"}, {"ORU^R01", "ORU^R01"},
                             {"ORU", "ORU"}, {"", ""}, {"ORM^O01~ADT^A08", "ORM^O01"}}) {
    Hl7StandardMessage m = Parse("MSH|^~\\&|A|B|C|D|E|F|" + std::string(msh9) + "|1\r");
    EXPECT_EQ(StandardMessageEvent(m), event) << msh9;
  }
}

TEST(StandardSegments, MessagesAndBatchesAreCounted) {
  const struct {
    std::string text;
    int count;
    bool batch;
  } cases[] = {
      {Join({kMsh, kPid}), 1, false},
      {Join({kMsh, kPid, kMsh, kPid}, "\n"), 2, false},
      {Join({"FHS|^~\\&", "BHS|^~\\&", kMsh, kPid, "BTS|1", "FTS|1"}), 1, true},
      {"\xEF\xBB\xBF\x0b" + Join({kMsh, kPid}) + "\x1c\r", 1, false},
      {"\xEF\xBB\xBF" + Join({"FHS|^~\\&", kMsh, kPid}), 1, true},
  };
  for (const auto& c : cases) {
    Hl7StandardMessage m = Parse(c.text);
    EXPECT_EQ(m.message_count, c.count) << c.text;
    EXPECT_EQ(m.batch, c.batch) << c.text;
    EXPECT_EQ(m.segments[0].name, "MSH");
  }
  EXPECT_FALSE(ParseStandardMessage("PID|1\r"));
}

TEST(StandardValues, EscapeSequences) {
  const Hl7Delimiters d;
  const struct {
    std::string raw;
    std::string field, report;
  } cases[] = {
      {"Smith\\F\\\\S\\\\R\\\\E\\\\T\\", "Smith|^~\\&", "Smith|^~\\&"},
      {"M\\XFC\\ller", "M\xFCller", "M\xFCller"},
      {"\\X0D0A\\", "\r\n", "\r\n"},
      {"one\\.br\\two", "onetwo", "one\ntwo"},
      {"\\H\\bold\\N\\ \\.sp 2\\x\\.in+4\\", "bold x", "bold x"},
      {"\\X0\\odd \\Xzz\\", "odd ", "odd "},
      {"open \\5 re.", "open \\5 re.", "open \\5 re."},
      {"no escapes", "no escapes", "no escapes"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DecodeEscapes(c.raw, d, EscapeUse::kField), c.field) << c.raw;
    EXPECT_EQ(DecodeEscapes(c.raw, d, EscapeUse::kReportText), c.report) << c.raw;
  }
  Hl7Delimiters none;
  none.escape = '\0';
  EXPECT_EQ(DecodeEscapes("A\\T\\B", none, EscapeUse::kField), "A\\T\\B");
}

TEST(StandardValues, CharacterSetOfMsh18) {
  const std::string name = "M\xC3\xBCller \xE2\x82\xAC \xE4\xB8\x8A";  // Müller € 上 in UTF-8
  const struct {
    std::string msh18;
    std::string prefix;  // before MSH
    std::string last_name;
  } cases[] = {
      {"UNICODE UTF-8", "", "M\xFCller \x80 ?"},
      {" utf-8 ", "", "M\xFCller \x80 ?"},
      {"", "\xEF\xBB\xBF", "M\xFCller \x80 ?"},
      {"8859/1", "", name},
      {"", "", name},
  };
  for (const auto& c : cases) {
    std::string msh = "MSH|^~\\&|A|B|C|D|E|F|ADT^A08|1|P|2.5||||||" + c.msh18;
    Hl7StandardMessage m = Parse(c.prefix + Join({msh, "PID|1||1||" + name}));
    EXPECT_EQ(Value(m, m.segments[1], 5), c.last_name) << c.msh18;
    EXPECT_EQ(LosesCharacters(name, m.charset), m.charset == Hl7Charset::kUtf8) << c.msh18;
    EXPECT_FALSE(LosesCharacters("\xEF\xBB\xBFM\xC3\xBCller", m.charset));
  }
  // Hexadecimal escapes are bytes of the message's character set.
  Hl7StandardMessage m = Parse(Join({kMsh + "||||||UNICODE UTF-8", "PID|1||1||M\\XC3BC\\ller"}));
  EXPECT_EQ(Value(m, m.segments[1], 5), "M\xFCller");
}

TEST(StandardValues, DatesAndTimes) {
  const struct {
    std::string text;
    std::string date, time;  // empty date: no valid date/time
  } cases[] = {
      {"20061224", "2006-12-24", "00:00"},
      {"2006122409", "2006-12-24", "09:00"},
      {"200612240930", "2006-12-24", "09:30"},
      {"20061224093015", "2006-12-24", "09:30"},
      {"20061224093015.1234", "2006-12-24", "09:30"},
      {"202110201126+0215", "2021-10-20", "11:26"},
      {"20180808214048.421+0900", "2018-08-08", "21:40"},
      {" 20000229 ", "2000-02-29", "00:00"},
      {"19000229", "", ""},
      {"196203520", "", ""},
      {"19500131T143414", "", ""},
      {"Aug 15, 1942", "", ""},
      {"1960", "", ""},
      {"200612", "", ""},
      {"20061224250000", "", ""},
      {"200612240930.5", "", ""},
      {"20061224+2500", "", ""},
      {"", "", ""},
  };
  for (const auto& c : cases) {
    std::optional<Hl7DateTime> t = ParseHl7DateTime(c.text);
    EXPECT_EQ(t ? IsoDate(*t) : "", c.date) << c.text;
    EXPECT_EQ(t ? HourMinute(*t) : "", c.time) << c.text;
  }
}

TEST(StandardValues, PatientIdentifierByRule) {
  const struct {
    std::string pid2, pid3, type, authority;
    std::string id;  // empty: the message fails
    bool from_pid2;
  } cases[] = {
      {"", "X1^^^KH^PI~4711^^^KH^PN", "", "", "4711", false},
      {"", "12345^^^HOSP^MR^FAC~678^^^NAT^PI", "", "", "678", false},
      {"", "4711^^^KH^PI^^^^", "", "", "4711", false},
      {"", "47 11^^^KH", "", "", "4711", false},
      // Repetitions without an identifier do not count.
      {"", "40800000^^^KH^MR~", "", "", "40800000", false},
      {"", "X1^^^KH^PI~^^^KH^PN", "", "", "X1", false},
      {"", "^^^^PN~A100^^^KH^MR", "", "", "A100", false},
      {"", "~X1^^^KH^PI~ ^^^KH^PN~4711^^^KH^MR", "", "", "4711", false},
      {"", " ^^^KH~", "", "", "", false},
      {"", "", "", "", "", false},
      // PID-2 when PID-3 holds none, unless one kind of identifier is asked for.
      {"77 1^5^M11", "", "", "", "771", true},
      {"771", "^^^KH^MR~", "", "", "771", true},
      {"771", "4711^^^KH^MR", "", "", "4711", false},
      {"771", "", "MR", "", "", false},
      {"771", "", "", "KH", "", false},
      {"^5^M11", "", "", "", "", false},
      {"", "12345^^^HOSP^MR^FAC~678^^^NAT^PI", "MR", "", "12345", false},
      {"", "12345^^^HOSP^MR^FAC~678^^^NAT^PI", " pi ", "", "678", false},
      {"", "12345^^^HOSP^MR^FAC~678^^^NAT^PI", "", "NAT", "678", false},
      {"", "1^^^A&1.2&ISO^MR~2^^^B&1.3&ISO^MR", "MR", "B", "2", false},
      {"", "^^^KH^MR~4711^^^KH^MR", "MR", "", "4711", false},
      {"", "12345^^^HOSP^MR", "PN", "", "", false},
      {"", "12345^^^HOSP^MR", "MR", "KH", "", false},
      {"", "X\\T\\1^^^KH^MR", "MR", "", "X&1", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pid2 + " | " + c.pid3 + " type " + c.type + " authority " + c.authority);
    Hl7StandardMessage m = Parse(Join({kMsh, "PID|1|" + c.pid2 + "|" + c.pid3 + "||Muster"}));
    try {
      StandardReading r = ReadStandardUnit(m, SplitUnits(m, false).at(0), {c.type, c.authority}, true);
      EXPECT_EQ(r.values.PatientID, c.id);
      EXPECT_EQ(r.id_from_pid2, c.from_pid2);
    } catch (const Error& e) {
      EXPECT_EQ(c.id, "") << e.what();
      EXPECT_NE(std::string(e.what()).find("PID-3 \"" + c.pid3 + "\""), std::string::npos) << e.what();
      const bool pid2_named = std::string(e.what()).find("PID-2 \"" + c.pid2 + "\"") != std::string::npos;
      EXPECT_EQ(pid2_named, c.type.empty() && c.authority.empty()) << e.what();
    }
  }
}

TEST(StandardValues, NamesBirthDateAndSex) {
  const struct {
    std::string pid5_on;  // PID-5 and what follows
    std::string last, first, middle, birth, sex;
  } cases[] = {
      {"Muster^Hans^Maria||19600131|M", "Muster", "Hans", "Maria", "1960-01-31", "M"},
      {"EVERYMAN&&&&Aniston^ADAM^A~Josh^^x||198808181126+0215|F^", "EVERYMAN", "ADAM", "A",
       "1988-08-18", "F"},
      {"Smith\\F\\\\S\\^John||Aug 15, 1942|M", "Smith|^", "John", "", "", "M"},
      {"Muster||", "Muster", "", "", "", "O"},
      {"^Hans||19600131|", "", "Hans", "", "1960-01-31", ""},
  };
  for (const auto& c : cases) {
    StandardReading r = Read({kMsh, "PID|1||4711||" + c.pid5_on});
    EXPECT_EQ(r.values.LastName, c.last) << c.pid5_on;
    EXPECT_EQ(r.values.FirstName, c.first) << c.pid5_on;
    EXPECT_EQ(r.values.MiddleName, c.middle) << c.pid5_on;
    EXPECT_EQ(r.values.BirthDate, c.birth) << c.pid5_on;
    EXPECT_EQ(r.values.Sex, c.sex) << c.pid5_on;
  }
  // No name: an error where the name is stored, an empty one in a report.
  Hl7StandardMessage m = Parse(Join({kMsh, "PID|1||4711||~^^^^^^S||19600131|M"}));
  EXPECT_THROW(ReadStandardUnit(m, SplitUnits(m, false).at(0), {}, true), Error);
  EXPECT_EQ(ReadStandardUnit(m, SplitUnits(m, false).at(0), {}, false).values.LastName, "");
  Hl7StandardMessage no_pid = Parse(Join({kMsh, "ORC|NW"}));
  EXPECT_THROW(ReadStandardUnit(no_pid, Hl7Unit{}, {}, true), Error);
}

TEST(StandardValues, AppointmentFromOrc7Tq1Obr27ThenObr36) {
  const struct {
    std::string orc7, tq1, obr27, obr36;
    std::string date, time, field;
  } cases[] = {
      {"^^^200612240930", "", "", "", "2006-12-24", "09:30", "ORC-7.4"},
      {"1^once^^20000701^^R", "", "", "", "2000-07-01", "00:00", "ORC-7.4"},
      {"^^^20061224093015&S", "TQ1|||||||20070101", "", "20080101", "2006-12-24", "09:30", "ORC-7.4"},
      {"1^once^^^^S", "TQ1|||||||200008161510||", "", "", "2000-08-16", "15:10", "TQ1-7"},
      {"", "TQ1||||||||20161018235959+0000", "", "", "", "", ""},  // TQ1-8 is the end
      {"", "", "1^^^202110201126+0215", "20300101", "2021-10-20", "11:26", "OBR-27.4"},
      {"^^^2006", "TQ1|||||||nonsense", "^^^20080102", "", "2008-01-02", "00:00", "OBR-27.4"},
      {"1^once^^^^S", "", "1^once^^^^S", "203006200930+0100", "2030-06-20", "09:30", "OBR-36"},
      {"", "TQ1|||||||2030", "", "20300620093015.5^X", "2030-06-20", "09:30", "OBR-36"},
      {"", "", "", "2030", "", "", ""},
      {"", "", "", "", "", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.orc7 + " / " + c.tq1 + " / " + c.obr27 + " / " + c.obr36);
    std::vector<std::string> lines = {kMsh, kPid, "ORC|NW|P1|F1||SC||" + c.orc7};
    if (!c.tq1.empty()) lines.push_back(c.tq1);
    std::string obr = "OBR|1|||CT1^CT";
    for (int i = 5; i <= 36; ++i) obr += "|" + std::string(i == 27 ? c.obr27 : i == 36 ? c.obr36 : "");
    lines.push_back(obr);
    StandardReading r = Read(lines);
    EXPECT_EQ(r.values.AppointmentDate, c.date);
    EXPECT_EQ(r.values.AppointmentTime, c.time);
    EXPECT_EQ(r.appointment_field, c.field);
    ASSERT_TRUE(r.message_time);  // MSH-7 of kMsh
    EXPECT_EQ(IsoDate(*r.message_time) + " " + HourMinute(*r.message_time), "2030-01-01 00:00");
  }
}

TEST(StandardValues, OrderFields) {
  std::string obr = "OBR|1|||CT\\T\\1^CT Sch\\E\\del^L";
  for (int i = 5; i <= 24; ++i) obr += "|" + std::string(i == 21 ? "ACC^X" : i == 24 ? "CT^CT" : "");
  StandardReading r = Read({kMsh, kPid, "PV1|1|O|RAD^R12&A^B", "ORC|NW^X|P1|F1||SC^Y|||||||R42&z^Who^Dr~R43",
                            obr, "ZDS|1.2.3^100^Application^DICOM"});
  const HL7Message& v = r.values;
  EXPECT_TRUE(r.has_obr);
  EXPECT_EQ(v.OrderControl, "NW");
  EXPECT_EQ(v.OrderStatus, "SC");
  EXPECT_EQ(v.ProcedureCode, "CT&1");
  EXPECT_EQ(v.ProcedureText, "CT Sch\\del");
  EXPECT_EQ(v.AccessionNumber, "ACC");
  EXPECT_EQ(v.Modality, "CT");
  EXPECT_EQ(v.PatientLocation, "R12");
  EXPECT_EQ(v.ReferringPhysicianID, "R42");
  EXPECT_EQ(v.ReferringPhysicianName, "Who");
  EXPECT_EQ(v.StudyInstanceUID, "1.2.3");
  EXPECT_FALSE(Read({kMsh, kPid, "ORC|NW", "ODS|D"}).has_obr);
  EXPECT_EQ(Read({kMsh, kPid, "PV1|1|O|CT1"}).values.PatientLocation, "CT1");
}

TEST(StandardValues, ReportLines) {
  const struct {
    std::vector<std::string> obx;
    std::vector<std::string> lines;
  } cases[] = {
      {{"OBX|1|TX|||Befund ohne Auff\xE4lligkeiten"}, {"Befund ohne Auff\xE4lligkeiten"}},
      {{"OBX|1|TX|||eins~zwei~~drei"}, {"eins", "zwei", "", "drei"}},
      {{"OBX|1|FT|||Zeile 1\\.br\\Zeile 2\\.sp\\\\H\\!\\N\\"}, {"Zeile 1", "Zeile 2!"}},
      {{"OBX|1|CE|||C65.2^Renal pelvis^ICD-10", "OBX|2|CWE|||N^No~Y^Yes"},
       {"Renal pelvis", "No", "Yes"}},
      {{"OBX|1|ST|||a\tb\x0c" "c\\X0D0A\\d"}, {"a b c", "d"}},
      {{"OBX|1|TX|||A \\T\\ B^C"}, {"A & B^C"}},
      {{"OBX|1|TX|", "OBX|2|TX|||"}, {"", ""}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> lines = {kMsh, kPid, "OBR|1"};
    lines.insert(lines.end(), c.obx.begin(), c.obx.end());
    EXPECT_EQ(Read(lines, {}, false).report_lines, c.lines) << c.obx[0];
  }
}

TEST(StandardUnits, PatientGroupsAndOrdersEachMakeAUnit) {
  // Two merges in one A40: each PID with its own MRG.
  Hl7StandardMessage merge = Parse(Join({kMsh, "EVN|A40", "PID|1||1^^^A~NEW1^^^B||Eins", "MRG|9^^^A~OLD1",
                                         "PID|2||NEW2||Zwei", "PV1|1", "MRG|OLD2"}));
  std::vector<Hl7Unit> units = SplitUnits(merge, false);
  ASSERT_EQ(units.size(), 2u);
  EXPECT_EQ(ReadStandardUnit(merge, units[0], {}, true).prior_identifier, "OLD1");
  EXPECT_EQ(ReadStandardUnit(merge, units[1], {}, true).values.PatientID, "NEW2");
  EXPECT_EQ(ReadStandardUnit(merge, units[1], {}, true).prior_identifier, "OLD2");
  EXPECT_EQ(units[1].pv1, 5);

  // Two orders of one patient; an OBR without its own ORC starts one too.
  Hl7StandardMessage orders = Parse(Join({kMsh, kPid, "PV1|1|O|CT1", "ORC|NW|1", "TQ1|||||||20300101",
                                          "OBR|1|||A", "ORC|CA|2", "OBR|1|||B", "OBR|2|||C", "ZDS|1.2"}));
  units = SplitUnits(orders, true);
  ASSERT_EQ(units.size(), 3u);
  std::vector<std::string> codes, controls;
  for (const Hl7Unit& u : units) {
    StandardReading r = ReadStandardUnit(orders, u, {}, true);
    codes.push_back(r.values.ProcedureCode);
    controls.push_back(r.values.OrderControl);
    EXPECT_EQ(r.values.PatientID, "4711");
    EXPECT_EQ(u.pv1, 2);
  }
  EXPECT_EQ(codes, (std::vector<std::string>{"A", "B", "C"}));
  EXPECT_EQ(controls, (std::vector<std::string>{"NW", "CA", ""}));
  EXPECT_EQ(units[0].tq1, 4);
  EXPECT_EQ(units[2].zds, 9);

  // A report: one unit with every OBX of its patient, whatever the OBRs.
  Hl7StandardMessage report = Parse(Join({kMsh, kPid, "OBR|1", "OBX|1|TX|||a", "OBR|2", "OBX|1|TX|||b"}));
  units = SplitUnits(report, false);
  ASSERT_EQ(units.size(), 1u);
  EXPECT_EQ(ReadStandardUnit(report, units[0], {}, true).report_lines, (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(SplitUnits(Parse(Join({kMsh, "OBX|1|TX|||a"})), false).empty());
}

TEST(StandardUnits, ModalityLocationSelector) {
  Hl7StandardMessage m = Parse(Join({kMsh, kPid, "PV1|1|O|CT1^R\\T\\12~X", "ORC|NW", "OBR|1|||A||||||||||||||||||||MR"}));
  const Hl7Unit unit = SplitUnits(m, true).at(0);
  const struct {
    std::string segment;
    int element, component;
    std::string value;
  } cases[] = {
      {"PV1", 3, -1, "CT1^R&12"},   {"PV1", 3, 1, "R&12"}, {"PV1", 3, 0, "CT1"},
      {"PV1", 3, 5, ""},            {"PV1", 30, -1, ""},   {"OBR", 24, -1, "MR"},
      {"MSH", 3, -1, "KH"},         {"ZDS", 1, -1, ""},    {"PV1", 3, -2, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SelectStandardValue(m, unit, c.segment, c.element, c.component), c.value)
        << c.segment << ";" << c.element << ";" << c.component;
  }
}

}  // namespace
}  // namespace norv
