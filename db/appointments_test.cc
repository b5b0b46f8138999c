#include "db/appointments.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "db/patients.h"
#include "platform/system.h"
#include "testing/database_fixture.h"

namespace norv {
namespace {

using Rows = std::vector<std::string>;
using Row = std::map<std::string, std::string>;

constexpr const char* kSearch =
    "SQL: SELECT TerminID FROM VIEW_Termine WHERE PATID1 = '4711' AND AccessionNumber = "
    "'A'1\"' AND Modality = 'CT' AND ";
constexpr const char* kNotSent = "AND (TerminSonstiges <> 'Sent' OR TerminSonstiges IS NULL)";

// An order for a new patient whose name and accession number carry quotes.
HL7Message Order() {
  HL7Message m;
  m.PatientID = "4711";
  m.LastName = "O'Brien";
  m.FirstName = "Liam";
  m.BirthDate = "1960-01-31";
  m.Sex = "M";
  m.AccessionNumber = "A'1\"";
  m.AppointmentDate = "2030-06-20";
  m.AppointmentTime = "09:30";
  m.OrderControl = "NW";
  m.OrderStatus = "SC";
  m.ModalityLocation = "CT1";
  m.Modality = "CT";
  m.ProcedureCode = "CT123";
  m.ProcedureText = "CT Thorax";
  m.ReferringPhysicianName = "Dr. M\xFCller";
  m.ReferringPhysicianID = "R42";
  m.PatientLocation = "ZI12";
  return m;
}

class AppointmentsTest : public testing::DatabaseFixture {
 protected:
  void SetUp() override {
    DatabaseFixture::SetUp();
    ctx_.clock = [] { return LocalDateTime{2030, 6, 15, 10, 0, 0}; };
  }

  // The order handler's registration path.
  bool Book(HL7Message& m) { return RegisterUpdatePatient(db(), m, "") && RegisterAppointment(db(), m); }

  std::vector<std::string> Column(const std::string& name) {
    std::vector<std::string> values;
    for (Row& row : db_->Appointments()) values.push_back(row[name]);
    return values;
  }

  // The debug lines from the last "RegisterAppointment" on.
  Rows AppointmentDebug() {
    Rows texts = DebugTexts();
    auto last = std::find(texts.rbegin(), texts.rend(), "RegisterAppointment");
    return Rows(last == texts.rend() ? texts.begin() : std::prev(last.base()), texts.end());
  }
};

TEST_P(AppointmentsTest, NewOrderBooksOneRowPerMatchingAet) {
  db_->AddAet(1, "(CT1)(CT2)");
  db_->AddAet(2, "(MR1)(CT1)");
  db_->AddAet(3, "(CT10)");
  HL7Message m = Order();
  m.StudyInstanceUID = "1.2.3";
  ASSERT_TRUE(Book(m));
  EXPECT_EQ(db_->Patients(), (Rows{"1|4711||O'Brien|Liam||1960-01-31|M"}));

  std::vector<Row> rows = db_->Appointments();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0]["FKeyAETID"], "1");
  EXPECT_EQ(rows[1]["FKeyAETID"], "2");
  Row expected = {{"FKeyPatID", "1"}, {"TerminDatum", "2030-06-20"}, {"TerminZeit", "09:30:00"},
                  {"AccessionNumber", "A'1\""}, {"StudyInstanceUID", "1.2.3"},
                  {"TerminUeberweiser", "Dr. M\xFCller"}, {"Modality", "CT"},
                  {"TerminStatus", "NW/SC"}, {"RequestedProcedureID", "CT123"},
                  {"RequestedProcedureDescription", "CT Thorax"},
                  {"CurrentPatientLocation", "ZI12"}, {"ScheduledProcedureStepID", "CT123"},
                  {"ReferringPhysicianID", "R42"}, {"TerminSonstiges", ""}};
  for (Row& row : rows) {
    for (const auto& [column, value] : expected) EXPECT_EQ(row[column], value) << column;
  }
  EXPECT_EQ(AppointmentDebug(),
            (Rows{"RegisterAppointment",
                  "SQL: DELETE FROM tblTermine WHERE TerminDatum < '20300615'",
                  "SQL: SELECT AETID FROM tblDicomAETs WHERE ModalityLocation LIKE '%(CT1)%'",
                  std::string(kSearch) + "AETID = 1 " + kNotSent,
                  "Create new appointment for AETID 1", "New Appointment OK",
                  std::string(kSearch) + "AETID = 2 " + kNotSent,
                  "Create new appointment for AETID 2", "New Appointment OK"}));
  EXPECT_TRUE(ErrorLines().empty());
}

TEST_P(AppointmentsTest, StudyInstanceUidRules) {
  struct Case {
    bool common;
    const char* message_uid;
  } cases[] = {{true, "1.2.3"}, {true, ""}, {false, "1.2.3"}, {false, ""}};
  db_->AddAet(1, "(CT1)");
  db_->AddAet(2, "(CT1)");
  for (const Case& c : cases) {
    db_->Exec("DELETE FROM tblTermine");
    settings().CommonStudyUID = c.common;
    HL7Message m = Order();
    m.StudyInstanceUID = c.message_uid;
    ASSERT_TRUE(Book(m));
    std::vector<std::string> uids = Column("StudyInstanceUID");
    std::string label = std::string(c.common ? "common" : "own") + " uid=" + c.message_uid;
    ASSERT_EQ(uids.size(), 2u) << label;
    if (!c.common && !std::string(c.message_uid).empty()) {
      EXPECT_EQ(uids, (Rows{"1.2.3", "1.2.3"})) << label;
      continue;
    }
    // A new UID: one for both rows when common, one per row otherwise.
    for (const std::string& uid : uids) EXPECT_EQ(uid.rfind("2.25.", 0), 0u) << label;
    EXPECT_EQ(uids[0] == uids[1], c.common) << label;
  }
}

// The same order again updates its rows; a row already sent to the modality
// is left alone and a new one booked beside it.
TEST_P(AppointmentsTest, RepeatedOrderUpdatesUnsentRows) {
  db_->AddAet(1, "(CT1)");
  db_->AddAet(2, "(CT1)");
  HL7Message m = Order();
  m.StudyInstanceUID = "1.2.3";
  ASSERT_TRUE(Book(m));
  std::vector<std::string> ids = Column("TerminID");

  m.InternalID = 99;  // never rewritten on an existing row
  m.StudyInstanceUID = "";
  m.AppointmentTime = "10:45";
  m.OrderControl = "XO";
  m.OrderStatus = "IP";
  m.ProcedureText = "CT Abdomen";
  ASSERT_TRUE(RegisterAppointment(db(), m));
  std::vector<Row> rows = db_->Appointments();
  ASSERT_EQ(rows.size(), 2u);
  for (Row& row : rows) {
    EXPECT_EQ(row["FKeyPatID"], "1");
    EXPECT_EQ(row["StudyInstanceUID"], "1.2.3");
    EXPECT_EQ(row["TerminZeit"], "10:45:00");
    EXPECT_EQ(row["TerminStatus"], "XO/IP");
    EXPECT_EQ(row["RequestedProcedureDescription"], "CT Abdomen");
  }
  EXPECT_EQ(Column("TerminID"), ids);
  Rows debug = AppointmentDebug();
  EXPECT_EQ(Rows(debug.begin() + 4, debug.begin() + 7),
            (Rows{"Existing TerminID = " + ids[0], "Update appointment for Accession A'1\"",
                  "Update Appointment OK"}));

  db_->Exec("UPDATE tblTermine SET TerminSonstiges = 'Sent' WHERE FKeyAETID = 1");
  m.StudyInstanceUID = "1.2.4";
  ASSERT_TRUE(RegisterAppointment(db(), m));
  EXPECT_EQ(Column("FKeyAETID"), (Rows{"1", "2", "1"}));
  EXPECT_EQ(Column("StudyInstanceUID"), (Rows{"1.2.3", "1.2.4", "1.2.4"}));
}

TEST_P(AppointmentsTest, AetQueryFollowsWildcardDigitAndModalityName) {
  db_->AddAet(1, "(CT12)", "(CT123)");
  db_->AddAet(2, "(CT1)(MR1)", "(CT999)");
  db_->AddAet(3, "(CX)", "(CT123)");
  db_->AddAet(4, "(US1)");
  db_->AddAet(5, "CT12");
  struct Case {
    int wildcard_digit;
    const char* modality_name;
    const char* location;
    const char* where;
    Rows aets;
  } cases[] = {
      {0, "0", "CT12", "ModalityLocation LIKE '%(CT12)%'", {"1"}},
      {-1, "0", "CT1", "ModalityLocation LIKE '%(CT1)%'", {"2"}},
      {3, "0", "CT12", "ModalityLocation LIKE '%(CT%'", {"1", "2"}},
      {1, "0", "CT12", "ModalityLocation LIKE '%(%'", {"1", "2", "3", "4"}},
      {9, "0", "CX", "ModalityLocation LIKE '%(CX%'", {"3"}},
      {0, "1", "CT12", "ModalityLocation LIKE '%(CT12)%' AND ModalityName LIKE '%(CT123)%'",
       {"1"}},
      {0, "1", "CT1", "ModalityLocation LIKE '%(CT1)%' AND ModalityName LIKE '%(CT123)%'", {}},
      {2, "1", "CT12", "ModalityLocation LIKE '%(C%'", {"1", "2", "3"}},
  };
  settings().ForceRegAppointment = false;
  for (const Case& c : cases) {
    std::string label = std::to_string(c.wildcard_digit) + "/" + c.modality_name + "/" +
                        c.location;
    db_->Exec("DELETE FROM tblTermine");
    settings().WildcardDigit = static_cast<std::int16_t>(c.wildcard_digit);
    settings().ModalityName = c.modality_name;
    HL7Message m = Order();
    m.ModalityLocation = c.location;
    EXPECT_EQ(Book(m), !c.aets.empty()) << label;
    Rows aets = Column("FKeyAETID");
    std::sort(aets.begin(), aets.end());
    EXPECT_EQ(aets, c.aets) << label;
    EXPECT_EQ(AppointmentDebug()[2],
              std::string("SQL: SELECT AETID FROM tblDicomAETs WHERE ") + c.where)
        << label;
  }
}

// Without AETs the order is booked for no AET (FKeyAETID 0, found again
// through AETID IS NULL) when the location is empty or booking is forced.
TEST_P(AppointmentsTest, OrdersWithoutAet) {
  db_->AddAet(1, "(CT1)");
  struct Case {
    const char* location;
    bool force;
    bool booked;
  } cases[] = {{"", false, true}, {"XR9", true, true}, {"XR9", false, false}};
  for (const Case& c : cases) {
    std::string label = std::string(c.location) + (c.force ? " forced" : "");
    db_->Exec("DELETE FROM tblTermine");
    std::filesystem::remove_all(home_ / "Logs");
    settings().ForceRegAppointment = c.force;
    HL7Message m = Order();
    m.ModalityLocation = c.location;
    ASSERT_TRUE(RegisterUpdatePatient(db(), m, ""));
    for (int send = 0; send < 2; ++send) {
      EXPECT_EQ(RegisterAppointment(db(), m), c.booked) << label;
    }
    EXPECT_EQ(Column("FKeyAETID"), c.booked ? Rows{"0"} : Rows{}) << label;
    Rows debug = AppointmentDebug();
    bool queried = !std::string(c.location).empty();
    EXPECT_EQ(debug[2].find("tblDicomAETs") != std::string::npos, queried) << label;
    if (queried) {
      EXPECT_EQ(debug[3], "No AET found for XR9") << label;
    }
    if (c.booked) {
      EXPECT_EQ(debug[queried ? 4 : 2], std::string(kSearch) + "AETID IS NULL " + kNotSent)
          << label;
    }
    EXPECT_TRUE(ErrorLines().empty()) << label;
  }
}

// Every call purges the appointments of past days, of every patient, even
// when it books nothing; today's stay.
TEST_P(AppointmentsTest, PurgeRemovesPastDaysOnly) {
  db_->AddAppointment(5, 0, "2030-06-14", "OLD1");
  db_->AddAppointment(6, 0, "2029-12-31", "OLD2");
  db_->AddAppointment(5, 0, "2030-06-15", "TODAY");
  db_->AddAppointment(6, 0, "2030-06-16", "LATER");
  HL7Message m = Order();
  m.ModalityLocation = "NOWHERE";
  m.InternalID = 1;
  EXPECT_FALSE(RegisterAppointment(db(), m));
  EXPECT_EQ(Column("AccessionNumber"), (Rows{"TODAY", "LATER"}));
}

TEST_P(AppointmentsTest, DefaultReferringPhysicianReplacesTheMessageValues) {
  db_->AddAet(1, "(CT1)");
  HL7Message m = Order();
  ASSERT_TRUE(Book(m));
  settings().DefaultRefPhy = "Zuweiser";
  settings().DefaultRefPhyID = "Z1";
  ASSERT_TRUE(RegisterAppointment(db(), m));  // the update path
  m.AccessionNumber = "B2";
  ASSERT_TRUE(RegisterAppointment(db(), m));  // the insert path
  EXPECT_EQ(Column("TerminUeberweiser"), (Rows{"Zuweiser", "Zuweiser"}));
  EXPECT_EQ(Column("ReferringPhysicianID"), (Rows{"Z1", "Z1"}));
}

TEST_P(AppointmentsTest, InvalidAppointmentDateFailsWithItsErrorLine) {
  db_->AddAet(1, "(CT1)");
  HL7Message m = Order();
  m.AppointmentDate = "--";
  EXPECT_FALSE(Book(m));
  EXPECT_TRUE(db_->Appointments().empty());
  Rows errors = ErrorLines();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find(" 13 "), std::string::npos) << errors[0];
  EXPECT_NE(errors[0].find("MainForm RegisterAppointment"), std::string::npos) << errors[0];
}

// A cancel removes every row of the accession number, whatever AET, patient
// or marker, and only those; the AET lookup is reported, nothing more.
TEST_P(AppointmentsTest, CancelRemovesEveryRowOfTheAccession) {
  db_->AddAet(7, "(CT1)");
  for (int aet : {7, 8, 9}) db_->AddAppointment(1, aet, "2030-06-20", "A1");
  db_->AddAppointment(2, 7, "2030-06-20", "A1", "MR", "NW/SC", "Sent");
  db_->AddAppointment(1, 7, "2030-06-20", "A2");
  struct Case {
    const char* location;
    const char* accession;
    Rows left;
    const char* aet_line;
  } cases[] = {{"CT1", "A1", {"A2"}, "AETitleID = 7"},
               {"", "A2", {}, nullptr},
               {"CT1", "UNKNOWN", {}, "AETitleID = 7"}};
  for (const Case& c : cases) {
    std::filesystem::remove_all(home_ / "Logs");
    HL7Message m = Order();
    m.ModalityLocation = c.location;
    m.AccessionNumber = c.accession;
    EXPECT_TRUE(DeletePatientAppointment(db(), m)) << c.accession;
    EXPECT_EQ(Column("AccessionNumber"), c.left) << c.accession;
    Rows expected = {"DeletePatientAppointment Procedure",
                     "SQL: SELECT AETID FROM tblDicomAETs WHERE ModalityLocation LIKE '%(" +
                         std::string(c.location) + ")%'"};
    if (c.aet_line) expected.push_back(c.aet_line);
    expected.push_back(std::string("SQL: DELETE FROM tblTermine WHERE AccessionNumber = '") +
                       c.accession + "'");
    EXPECT_EQ(DebugTexts(), expected) << c.accession;
  }
}

TEST_P(AppointmentsTest, StatusChangeWritesTheFirstRowOnly) {
  db_->AddAppointment(1, 7, "2030-06-20", "A'1");
  db_->AddAppointment(1, 8, "2030-06-20", "A'1");
  db_->AddAppointment(1, 7, "2030-06-20", "A2");
  HL7Message m = Order();
  m.AccessionNumber = "A'1";
  m.OrderControl = "SC";
  m.OrderStatus = "IP";
  EXPECT_TRUE(UpdateAppointmentStatus(db(), m));
  EXPECT_EQ(Column("TerminStatus"), (Rows{"SC/IP", "NW/SC", "NW/SC"}));
  m.AccessionNumber = "UNKNOWN";
  EXPECT_TRUE(UpdateAppointmentStatus(db(), m));
  EXPECT_EQ(Column("TerminStatus"), (Rows{"SC/IP", "NW/SC", "NW/SC"}));
  EXPECT_EQ(DebugTexts(),
            (Rows{"UpdateAppointmentStatus Procedure",
                  "SQL: SELECT TerminStatus FROM tblTermine WHERE AccessionNumber = 'A'1'",
                  "Update OK", "UpdateAppointmentStatus Procedure",
                  "SQL: SELECT TerminStatus FROM tblTermine WHERE AccessionNumber = 'UNKNOWN'",
                  "Appointment not found."}));
  EXPECT_TRUE(ErrorLines().empty());
}

NORV_INSTANTIATE_FOR_BACKENDS(AppointmentsTest);


}  // namespace
}  // namespace norv
