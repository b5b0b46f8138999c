#include "intake/hl7_reader.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/log.h"
#include "core/settings.h"
#include "testing/test_context.h"
#include "testing/test_util.h"

namespace norv {
namespace {

using testing::ReadFile;
using testing::TempDir;

const std::string kMsh = "MSH|^~\\&|RIS|HOSP|PACS|HOSP|20261207093000||ORM^O01|MSG0001|P|2.3";
const std::string kPid = "PID|1||4711^^^KH^PI~0815^^^KH^PN||Muster^Hans^Maria^^^Dr||19600131|M";

std::string Join(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& l : lines) text += l + "\r";
  return text;
}

// The number of the Error `f` throws; 0 when it returns normally.
std::int32_t Thrown(const std::function<void()>& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.number();
  }
  return 0;
}

class ReaderTest : public ::testing::Test {
 protected:
  Settings& settings() { return ctx_.settings; }
  Hl7Segments Split(const std::string& text) {
    Hl7Segments store;
    SplitSegments(ctx_.log, text, store);
    return store;
  }
  bool ReadCommonValues(Hl7Segments& store, HL7Message& msg) {
    return norv::ReadCommonValues(ctx_.log, store, msg);
  }
  void ReadModalityLocation(const Hl7Segments& store, HL7Message& msg) {
    norv::ReadModalityLocation(store, msg, ctx_.settings.ModalityLocation);
  }
  std::string ErrorLog() { return ReadFile(dir_ / "Logs/NORVReaderError.log"); }
  std::string DebugLogText() { return ReadFile(dir_ / "Logs/NORVReaderDebug.log"); }

  // ReadCommonValues on MSH + the given PID line; returns the thrown number.
  std::int32_t Common(const std::string& pid, HL7Message& msg) {
    Hl7Segments store = Split(Join({kMsh, pid}));
    return Thrown([&] { ReadCommonValues(store, msg); });
  }
  TempDir dir_;
  testing::TestContext ctx_{dir_.path()};
};

TEST_F(ReaderTest, SegmentsAreKeptByUpperCasedNameAndTheLastOneWins) {
  Hl7Segments s = Split(Join({kMsh, "pid|1||A", "PID|2||B", "NTE|1|x", "OBX|1|TX|||one",
                              "NTE|2|y", "obx|2|TX|||two", "OBX|3|TX|||three", "", "ZDS|1.2.3",
                              "P", "EVN|A08"}));
  EXPECT_EQ(s.fields.MSH.size(), 12u);
  EXPECT_EQ(s.fields.MSH[8], "ORM^O01");
  EXPECT_EQ(s.fields.PID, (std::vector<std::string>{"PID", "2", "", "B"}));
  EXPECT_EQ(s.ReportLines, (std::vector<std::string>{"OBX|1|TX|||one", "obx|2|TX|||two",
                                                      "OBX|3|TX|||three"}));
  EXPECT_EQ(s.fields.ZDS, (std::vector<std::string>{"ZDS", "1.2.3"}));
  EXPECT_EQ(s.fields.EVN, (std::vector<std::string>{"EVN", "A08"}));
  // Segments the message lacks read as one empty element.
  EXPECT_EQ(s.fields.ORC, std::vector<std::string>{""});
  EXPECT_EQ(s.fields.MRG, std::vector<std::string>{""});

  // CR LF: every later line starts with a line feed and matches nothing.
  Hl7Segments crlf = Split(kMsh + "\r\n" + kPid + "\r\n" + "OBX|1|TX|||x\r\n");
  EXPECT_EQ(crlf.fields.MSH.size(), 12u);
  EXPECT_EQ(crlf.fields.PID, std::vector<std::string>{""});
  EXPECT_TRUE(crlf.ReportLines.empty());
}

TEST_F(ReaderTest, EveryLineIsLoggedWhenDebugIsOne) {
  Split(Join({kMsh, "nte|x", ""}));
  EXPECT_EQ(DebugLogText(), "");
  settings().Debug = 1;
  Split(Join({kMsh, "nte|x", ""}));
  std::string log = DebugLogText();
  // Three lines end in CR, the text after the last CR is a fourth, empty one.
  EXPECT_NE(log.find("Read content \"MSH\"\r\n"), std::string::npos);
  EXPECT_NE(log.find("Read content \"NTE\"\r\n"), std::string::npos);
  std::size_t empties = 0;
  for (std::size_t p = 0; (p = log.find("Read content \"\"\r\n", p)) != std::string::npos; ++p) {
    ++empties;
  }
  EXPECT_EQ(empties, 2u);
}

TEST_F(ReaderTest, HeaderCheck) {
  HL7Message msg;
  // Another field separator declared in MSH-1 is not honoured.
  Hl7Segments other = Split(Join({"MSH^~\\&#RIS#HOSP", kPid}));
  EXPECT_FALSE(ReadCommonValues(other, msg));
  EXPECT_NE(ErrorLog().find("-1"), std::string::npos);
  EXPECT_NE(ErrorLog().find("No message header!"), std::string::npos);
  EXPECT_EQ(ErrorLog().find("TimerProgress"), std::string::npos);

  // MSH-9 needs nine elements; MSH-10 is read only for the debug line.
  Hl7Segments eight = Split(Join({"MSH|^~\\&|a|b|c|d|e|f", kPid}));
  EXPECT_EQ(Thrown([&] { ReadCommonValues(eight, msg); }), kErrSubscriptOutOfRange);
  Hl7Segments nine = Split(Join({"MSH|^~\\&|a|b|c|d|e|f|ADT^A08^ADT_A01", kPid}));
  EXPECT_TRUE(ReadCommonValues(nine, msg));
  EXPECT_EQ(nine.MessageEvent, "ADT^A08^ADT_A01");
  settings().Debug = 1;
  EXPECT_EQ(Thrown([&] { ReadCommonValues(nine, msg); }), kErrSubscriptOutOfRange);
}

TEST_F(ReaderTest, PatientIdIsComponentOneOfTheSecondRepetition) {
  struct Case {
    std::string pid3;
    std::string id;  // expected PatientID
    std::int32_t error;
  } cases[] = {
      {"4711^^^KH^PI~0815^^^KH^PN", "0815", 0},
      {"4711^^^KH^PI~08 15^^^KH^PN", "0815", 0},
      {"12345^^^HOSP^MR^FAC~678^^^NAT^PI", "678", 0},  // six components: never "MR"
      {"4711^^^KH^PI~A~B^^^^", "A", 0},
      {"4711~0815", "0815", 0},
      // No second repetition, or none with an identifier: never a type code.
      {"4711^^^KH^PI^^^^", "", kErrSubscriptOutOfRange},
      {"4711^^^KH^PI", "", kErrSubscriptOutOfRange},
      {"4711^^^KH^PI~^^^KH^PN", "", kErrSubscriptOutOfRange},
      {"4711^^^KH^PI~  ^^^KH^PN", "", kErrSubscriptOutOfRange},
      {"", "", kErrSubscriptOutOfRange},
  };
  for (const Case& c : cases) {
    HL7Message msg;
    EXPECT_EQ(Common("PID|1||" + c.pid3 + "||Muster||19600131|M", msg), c.error) << c.pid3;
    EXPECT_EQ(msg.PatientID, c.id) << c.pid3;
  }
  // The error says why.
  Hl7Segments one = Split(Join({kMsh, "PID|1||4711^^^KH^PI^^^^||Muster||19600131|M"}));
  HL7Message msg;
  try {
    ReadCommonValues(one, msg);
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_NE(std::string(e.what()).find("has no second repetition"), std::string::npos) << e.what();
  }
}

TEST_F(ReaderTest, NameComponents) {
  struct Case {
    std::string pid5;
    std::string last, first, middle, degree;
    std::int32_t error;
  } cases[] = {
      {"Muster^Hans^Maria^^^Dr", "Muster", "Hans", "Maria", "Dr", 0},
      {"Muster^Hans", "Muster", "Hans", "", "", 0},
      {"Muster", "Muster", "", "", "", 0},
      {"M\xFC\x6Cler^J\xF6rg^^^^Prof.^x", "M\xFC\x6Cler", "J\xF6rg", "", "Prof.", 0},
      {"^Hans", "", "Hans", "", "", 0},
      {"", "", "", "", "", kErrSubscriptOutOfRange},
  };
  for (const Case& c : cases) {
    HL7Message msg;
    EXPECT_EQ(Common("PID|1||1^^^A^B~2^^^A^C||" + c.pid5 + "||19600131|M", msg), c.error) << c.pid5;
    EXPECT_EQ(msg.LastName, c.last) << c.pid5;
    EXPECT_EQ(msg.FirstName, c.first) << c.pid5;
    EXPECT_EQ(msg.MiddleName, c.middle) << c.pid5;
    EXPECT_EQ(msg.NameDegree, c.degree) << c.pid5;
  }
}

TEST_F(ReaderTest, BirthDateIsCutByPositionAndSexDefaultsOnlyWhenAbsent) {
  struct Case {
    std::string pid7_on;  // PID-7 and whatever follows it
    std::string birth, sex;
  } cases[] = {
      {"19600131|M", "1960-01-31", "M"},
      {"19600131120000|F", "1960-01-31", "F"},
      {"1960|F", "1960--60", "F"},
      {"|F", "--", "F"},
      {"1960013", "1960-01-13", "O"},  // eight elements: no PID-8
      {"19600131|", "1960-01-31", ""},  // PID-8 present but empty
      {"\xE4\xF6\xFC\xDF\xC4\xD6\xDC\x80|U", "\xE4\xF6\xFC\xDF-\xC4\xD6-\xDC\x80", "U"},
  };
  for (const Case& c : cases) {
    HL7Message msg;
    EXPECT_EQ(Common("PID|1||1^^^A^B~2^^^A^C||Muster||" + c.pid7_on, msg), 0) << c.pid7_on;
    EXPECT_EQ(msg.BirthDate, c.birth) << c.pid7_on;
    EXPECT_EQ(msg.Sex, c.sex) << c.pid7_on;
  }
  // PID needs eight elements; a message without PID fails the same way.
  HL7Message msg;
  EXPECT_EQ(Common("PID|1||1^^^A^B~2^^^A^C||Muster|", msg), kErrSubscriptOutOfRange);
  Hl7Segments no_pid = Split(Join({kMsh}));
  EXPECT_EQ(Thrown([&] { ReadCommonValues(no_pid, msg); }), kErrSubscriptOutOfRange);
}

TEST_F(ReaderTest, CommonValuesWriteTheirDebugLines) {
  settings().Debug = 1;
  HL7Message msg;
  ASSERT_EQ(Common("PID|1||4711^^^KH^PI~0815^^^KH^PN||Muster^Hans||19600131|M", msg), 0);
  std::string log = DebugLogText();
  for (const char* line : {"Event ID: ORM^O01\r\n", "MsgCtrlID: MSG0001\r\n",
                           "Name: Muster^Hans^^^\r\n", "DOB: 1960-01-31\r\n", "Sex: M\r\n",
                           "ID: 0815\r\n"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line;
  }
  EXPECT_LT(log.find("Event ID"), log.find("Name: "));
  EXPECT_LT(log.find("Sex: "), log.find("ID: 0815"));
  EXPECT_EQ(msg.InternalID, 0);
}

TEST_F(ReaderTest, AppointmentDateAndTime) {
  struct Case {
    std::string orc;
    std::string date, time;
  } cases[] = {
      {"ORC|NW|1|||SC||^^^200612240930", "2006-12-24", "09:30"},
      {"ORC|NW|1|||SC||^^^20061224", "2006-12-24", "12:24"},
      // With seconds (or more) the time still comes from HHMM after the date.
      {"ORC|NW|1|||SC||^^^20061224093015", "2006-12-24", "09:30"},
      {"ORC|NW|1|||SC||^^^20061224093015.123+0100", "2006-12-24", "09:30"},
      // Shorter than twelve characters: the last four.
      {"ORC|NW|1|||SC||^^^20061224093", "2006-12-24", "40:93"},
      {"ORC|NW|1|||SC||^^^2006", "2006--06", "20:06"},
      {"ORC|NW|1|||SC||^^^200612240930^x|more", "2006-12-24", "09:30"},
      {"ORC|NW|1|||SC||^^^", "", ""},
      {"ORC|NW|1|||SC||^^200612240930", "", ""},
      {"ORC|NW|1|||SC|", "", ""},
  };
  for (const Case& c : cases) {
    Hl7Segments s = Split(Join({kMsh, c.orc}));
    HL7Message msg;
    ReadAppointmentDateTime(s, msg);
    EXPECT_EQ(msg.AppointmentDate, c.date) << c.orc;
    EXPECT_EQ(msg.AppointmentTime, c.time) << c.orc;
  }
}

TEST_F(ReaderTest, OrderAndReportFieldsNeedTheirElements) {
  std::string obr_full = "OBR|1|||CT123^CT Thorax^L";
  for (int i = 5; i <= 24; ++i) obr_full += "|" + std::string(i == 21 ? "ACC1" : i == 24 ? "CT" : "");
  Hl7Segments s = Split(Join({kMsh, kPid, "PV1|1|I|W1^R12^B3", "ZDS|1.2.3^100^Application^DICOM",
                              "ORC|XO|1|||IP||^^^200612240930|||||12^Dr Who^X", obr_full}));
  HL7Message msg;
  ReadOrderControl(s, msg);
  ReadOrderStatus(s, msg);
  ReadAccessionNumber(s, msg);
  EXPECT_TRUE(ReadProcedureCode(s, msg));
  ReadProcedureText(s, msg);
  ReadModality(s, msg);
  ReadPatientLocation(s, msg);
  ReadReferringPhysician(s, msg);
  ReadStudyInstanceUID(s, msg);
  EXPECT_EQ(msg.OrderControl, "XO");
  EXPECT_EQ(msg.OrderStatus, "IP");
  EXPECT_EQ(msg.AccessionNumber, "ACC1");
  EXPECT_EQ(msg.ProcedureCode, "CT123");
  EXPECT_EQ(msg.ProcedureText, "CT Thorax");
  EXPECT_EQ(msg.Modality, "CT");
  EXPECT_EQ(msg.PatientLocation, "R12");
  EXPECT_EQ(msg.ReferringPhysicianID, "12");
  EXPECT_EQ(msg.ReferringPhysicianName, "Dr Who");
  EXPECT_EQ(msg.StudyInstanceUID, "1.2.3^100^Application^DICOM");

  // One element short of each rule, or an empty field: values stay empty,
  // except that a PV1-3 of one component is taken whole.
  std::string obr21 = "OBR|1|||CT123";
  for (int i = 5; i <= 20; ++i) obr21 += "|";
  Hl7Segments t = Split(Join({kMsh, "PV1|1|I|W1", "ZDS", "ORC|||||||||||", obr21}));
  HL7Message empty;
  ReadOrderControl(t, empty);
  ReadOrderStatus(t, empty);
  ReadAccessionNumber(t, empty);
  ReadProcedureText(t, empty);
  ReadModality(t, empty);
  ReadPatientLocation(t, empty);
  ReadReferringPhysician(t, empty);
  ReadStudyInstanceUID(t, empty);
  EXPECT_EQ(empty.OrderControl + empty.OrderStatus + empty.AccessionNumber +
                empty.ProcedureText + empty.Modality + empty.ReferringPhysicianID +
                empty.StudyInstanceUID,
            "");
  EXPECT_EQ(empty.PatientLocation, "W1");
  Hl7Segments four = Split(Join({kMsh, "OBR|1||"}));
  EXPECT_FALSE(ReadProcedureCode(four, empty));

  // An empty OBR-4 in an OBR long enough to have one is a shortfall.
  Hl7Segments v = Split(Join({kMsh, "OBR|1||||"}));
  EXPECT_EQ(Thrown([&] { ReadProcedureCode(v, empty); }), kErrSubscriptOutOfRange);
}

TEST_F(ReaderTest, ModalityLocationSelector) {
  // MSH element 3 is MSH-4; PV1-3 is W1^R12^B3; OBR-24 is CT.
  std::string obr = "OBR|1|||CT123";
  for (int i = 5; i <= 24; ++i) obr += "|" + std::string(i == 24 ? "CT" : "");
  Hl7Segments s = Split(Join({kMsh, "PV1|1|I|W1^R12^B3||a^b^c^d^e^f^g^h^i^j^k^l^m^^o", obr}));
  struct Case {
    std::string setting, value;
    std::int32_t error;
  } cases[] = {
      {"", "", 0},
      {"MSH;3", "HOSP", 0},
      {"MSH;8;1", "O01", 0},
      {"MSH;30", "", 0},
      {"MSH;30;0", "", 0},
      {"PV1;3", "W1^R12^B3", 0},
      {"PV1;3;1", "R12", 0},
      {"PV1; 3 ;0", "W1", 0},
      {"OBR;24", "CT", 0},
      {"PV1;5;11", "l", 0},
      {"PV1;5;12", "m", 0},
      {"PV1;5;13", "", 0},
      {"PV1;5;14", "o", 0},
      {"PV1;5;15", "", kErrSubscriptOutOfRange},
      {"XYZ;3", "", 0},
      {"pv1;3", "", 0},  // the segment name is case-sensitive
      {"PV1;30", "", kErrSubscriptOutOfRange},
      {"OBR;25", "", kErrSubscriptOutOfRange},
      {"PV1;3;3", "", kErrSubscriptOutOfRange},
      {"PV1;4;0", "", kErrSubscriptOutOfRange},  // empty element: no components
      {"PV1;-1", "", kErrSubscriptOutOfRange},
      {"PV1;3;-1", "", kErrSubscriptOutOfRange},
      {"PV1", "", kErrSubscriptOutOfRange},
      {"PV1;x", "", kErrTypeMismatch},
      {"PV1;3;y", "", kErrTypeMismatch},
      {"PV1;", "", kErrTypeMismatch},
      {"PV1;40000", "", kErrOverflow},
      {"XYZ;x", "", kErrTypeMismatch},  // the pieces convert before the name is looked at
  };
  for (const Case& c : cases) {
    settings().ModalityLocation = c.setting;
    HL7Message msg;
    EXPECT_EQ(Thrown([&] { ReadModalityLocation(s, msg); }), c.error) << c.setting;
    EXPECT_EQ(msg.ModalityLocation, c.value) << c.setting;
  }
}

TEST_F(ReaderTest, LargeAndOddTextsSplitWithoutLoss) {
  std::string text = kMsh + "\r" + kPid;
  for (int i = 0; i < 10000; ++i) text += "\rOBX|" + std::to_string(i) + "|TX|||line";
  text += std::string("\rNTE|\0|\xFF", 8);
  Hl7Segments s = Split(text);
  ASSERT_EQ(s.ReportLines.size(), 10000u);
  EXPECT_EQ(s.ReportLines[9999], "OBX|9999|TX|||line");
  HL7Message msg;
  EXPECT_TRUE(ReadCommonValues(s, msg));
  EXPECT_EQ(msg.PatientID, "0815");

  // NUL bytes are ordinary characters of a field.
  std::string nul_pid = "PID|1||1^^^A^B~2^^^A^C||Mu";
  nul_pid += '\0';
  nul_pid += "ster||19600131|M";
  Hl7Segments n = Split(Join({kMsh, nul_pid}));
  ASSERT_TRUE(ReadCommonValues(n, msg));
  EXPECT_EQ(msg.LastName, std::string("Mu\0ster", 7));
}

}  // namespace
}  // namespace norv
