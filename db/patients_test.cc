#include "db/patients.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "db/id_allocation.h"
#include "testing/database_fixture.h"
#include "testing/service_state.h"

namespace norv {
namespace {

using Rows = std::vector<std::string>;

class PatientsTest : public testing::DatabaseFixture {};

TEST_P(PatientsTest, IsPatientRegisteredAnswersByPATID1) {
  db_->AddPatient(1, "4711", "Doe");
  db_->AddPatient(2, "O'Brien-1", "O'Brien");
  db_->AddPatient(3, "DUP", "A");
  db_->AddPatient(4, "DUP", "B");
  EXPECT_EQ(IsPatientRegistered(db(), "4711"), std::optional<bool>(true));
  EXPECT_EQ(IsPatientRegistered(db(), "O'Brien-1"), std::optional<bool>(true));
  EXPECT_EQ(IsPatientRegistered(db(), "DUP"), std::optional<bool>(true));
  EXPECT_EQ(IsPatientRegistered(db(), "0815"), std::optional<bool>(false));
  EXPECT_EQ(IsPatientRegistered(db(), "' OR '1'='1"), std::optional<bool>(false));
  EXPECT_TRUE(ErrorLines().empty());
  EXPECT_EQ(DebugTexts(), (Rows{"Check if patient is already registered.", "Patient exists.",
                                "Check if patient is already registered.", "Patient exists.",
                                "Check if patient is already registered.", "Patient exists.",
                                "Check if patient is already registered.", "Patient not found.",
                                "Check if patient is already registered.",
                                "Patient not found."}));
}

TEST_P(PatientsTest, UpdateOverwritesTheStoredRow) {
  db_->AddPatient(7, "4711", "Old", "Name", "Middle", "1950-05-05", "F");
  HL7Message m = testing::PatientRecord("4711", "O'Br\xE4u", "J\xF6rg", "", "1960-01-31", "M");
  ASSERT_TRUE(RegisterUpdatePatient(db(), m, ""));
  EXPECT_EQ(m.InternalID, 7);
  // PATID2 is written empty, and so is the empty middle name.
  EXPECT_EQ(db_->Patients(), (Rows{"7|4711||O'Br\xE4u|J\xF6rg||1960-01-31|M"}));
  EXPECT_EQ(DebugTexts(),
            (Rows{"RegisterUpdatePatient Procedure",
                  "SQL: SELECT PATID, PATID1, PATID2, PATNachname, PATVorname, PAT2Vorname, "
                  "PATGebDatum, PATGeschlecht FROM tblPatienten WHERE PATID1 = '4711'",
                  "Patient exists - Updating data", "Update OK"}));
  EXPECT_TRUE(ErrorLines().empty());
}

TEST_P(PatientsTest, InsertTakesTheNextKeyFromTblLetzteID) {
  db_->SetLetzteID("tblPatienten", 41);
  HL7Message m = testing::PatientRecord("0815", "M\xFCller", "Anna", "Maria", "1980-12-24", "F");
  ASSERT_TRUE(RegisterUpdatePatient(db(), m, ""));
  EXPECT_EQ(m.InternalID, 42);
  EXPECT_EQ(db_->Patients(), (Rows{"42|0815||M\xFCller|Anna|Maria|1980-12-24|F"}));
  EXPECT_EQ(db_->QueryInt("SELECT LetzteID AS n FROM tblLetzteID"), 42);
  Rows debug = DebugTexts();
  ASSERT_EQ(debug.size(), 5u);
  EXPECT_EQ(debug[2], "Patient does not exists - Adding to database");
  EXPECT_EQ(debug[3], "Internal ID = 42");
  EXPECT_EQ(debug[4], "AddNew OK");
}

// Merge and identifier change: the caller names the identifier the patient
// is stored under now.
TEST_P(PatientsTest, PreviousIdentifierSelectsTheRowToRename) {
  struct Case {
    const char* label;
    std::vector<std::pair<int, const char*>> stored;  // PATID, PATID1
    Rows expected;
    int internal_id;
  } cases[] = {
      {"stored under the old identifier", {{5, "OLD"}},
       {"5|NEW||Doe|John||1970-01-02|M"}, 5},
      {"neither stored: a new row", {{5, "OTHER"}},
       {"5|OTHER|X|Doe|||1970-01-02|M", "1|NEW||Doe|John||1970-01-02|M"}, 1},
      {"only the new identifier stored: that row, no second one", {{5, "NEW"}},
       {"5|NEW||Doe|John||1970-01-02|M"}, 5},
  };
  for (const Case& c : cases) {
    db_->Exec("DELETE FROM tblPatienten");
    db_->SetLetzteID("tblPatienten", 0);
    for (const auto& [patid, id1] : c.stored) db_->AddPatient(patid, id1, "Doe");
    HL7Message m = testing::PatientRecord("NEW");
    ASSERT_TRUE(RegisterUpdatePatient(db(), m, "OLD")) << c.label;
    EXPECT_EQ(m.InternalID, c.internal_id) << c.label;
    Rows rows = db_->Patients();
    EXPECT_EQ(rows.size(), c.expected.size()) << c.label;
    for (const std::string& row : c.expected) {
      EXPECT_NE(std::find(rows.begin(), rows.end(), row), rows.end()) << c.label << ": " << row;
    }
  }
}

TEST_P(PatientsTest, TwoRowsWithTheSameIdentifierOnlyTheFirstIsUpdated) {
  db_->AddPatient(1, "DUP", "First");
  db_->AddPatient(2, "DUP", "Second");
  HL7Message m = testing::PatientRecord("DUP", "Changed");
  ASSERT_TRUE(RegisterUpdatePatient(db(), m, ""));
  ASSERT_TRUE(m.InternalID == 1 || m.InternalID == 2) << m.InternalID;
  EXPECT_EQ(db_->QueryInt("SELECT COUNT(*) AS n FROM tblPatienten WHERE PATNachname = 'Changed' "
                          "AND PATID = " + std::to_string(m.InternalID)),
            1);
  EXPECT_EQ(db_->QueryInt("SELECT COUNT(*) AS n FROM tblPatienten WHERE PATNachname = 'Changed'"),
            1);
}

// A birth date the reader could not build ("--" when PID-7 is empty) fails
// the registration on both paths; nothing is stored and no key is used up.
TEST_P(PatientsTest, InvalidBirthDateFailsAndStoresNothing) {
  db_->AddPatient(3, "KNOWN", "Doe");
  for (const char* id : {"KNOWN", "UNKNOWN"}) {
    HL7Message m = testing::PatientRecord(id, "Changed", "X", "", "--");
    m.InternalID = -7;
    EXPECT_FALSE(RegisterUpdatePatient(db(), m, "")) << id;
    EXPECT_EQ(m.InternalID, -7) << id;
  }
  EXPECT_EQ(db_->Patients(), (Rows{"3|KNOWN|X|Doe|||1970-01-02|M"}));
  EXPECT_EQ(db_->QueryInt("SELECT LetzteID AS n FROM tblLetzteID"), 0);
  Rows errors = ErrorLines();
  ASSERT_EQ(errors.size(), 2u);
  for (const std::string& line : errors) {
    EXPECT_NE(line.find(" 13 "), std::string::npos) << line;
    EXPECT_NE(line.find("Type mismatch"), std::string::npos) << line;
    EXPECT_NE(line.find("MainFrom RegisterUpdatePatient"), std::string::npos) << line;
  }
}

// When no key can be allocated the registration fails instead of writing a
// row with PATID 0.
TEST_P(PatientsTest, FailedAllocationFailsTheRegistration) {
  db_->Exec("DELETE FROM tblLetzteID");
  HL7Message m = testing::PatientRecord("NEW");
  EXPECT_FALSE(RegisterUpdatePatient(db(), m, ""));
  EXPECT_EQ(m.InternalID, 0);
  EXPECT_TRUE(db_->Patients().empty());
  Rows errors = ErrorLines();
  ASSERT_EQ(errors.size(), 12u);
  EXPECT_NE(errors.back().find("MainFrom RegisterUpdatePatient"), std::string::npos);
}

NORV_INSTANTIATE_FOR_BACKENDS(PatientsTest);


}  // namespace
}  // namespace norv
