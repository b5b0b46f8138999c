#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "core/error.h"
#include "intake/events.h"
#include "testing/intake_context.h"

namespace norv {
namespace {

using Handler = testing::EventHandler;

HL7Message Message(const std::string& id, const std::string& birth = "1960-01-31") {
  HL7Message m;
  m.PatientID = id;
  m.LastName = "Neu";
  m.FirstName = "Anna";
  m.BirthDate = birth;
  m.Sex = "F";
  return m;
}

Hl7Segments WithMrg(std::vector<std::string> mrg) {
  Hl7Segments store;
  store.fields.MRG = std::move(mrg);
  return store;
}

class PatientEventsTest : public testing::IntakeFixture {
 protected:
  // Known patients 0815 (PATID 1, two live studies) and 4711 (PATID 2, one).
  void SeedPatients() {
    db_->AddPatient(1, "0815", "Alt", "Anna");
    db_->AddPatient(2, "4711", "Prior", "Anna");
    db_->AddStudy(10, 1, 0);
    db_->AddStudy(11, 1, 0);
    db_->AddStudy(20, 2, 0);
  }

  // Keys of the rename orders written, sorted.
  std::vector<std::string> OrderKeys() const {
    std::vector<std::string> keys;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(home_ / "RenameOrders", ec)) {
      std::string text = testing::ReadFile(e.path().string());
      keys.push_back(text.substr(0, text.find('|')));
    }
    std::sort(keys.begin(), keys.end());
    return keys;
  }
};

TEST_P(PatientEventsTest, UpdateOfAKnownPatientChangesTheRowAndWritesOrders) {
  SeedPatients();
  Hl7Segments store;
  HL7Message m = Message("0815");
  bool ok = HandlePatientUpdate(intake(), store, m) == Outcome::kProcessed;
  EXPECT_TRUE(ok);
  EXPECT_EQ(m.InternalID, 1);
  EXPECT_EQ(db_->Patients()[0], "1|0815||Neu|Anna||1960-01-31|F");
  EXPECT_EQ(OrderKeys(), (std::vector<std::string>{"10", "11"}));
}

// Events for patients the database does not know are consumed unchanged,
// whichever identifier the MRG segment names.
TEST_P(PatientEventsTest, UnknownPatientsAreConsumedWithoutChange) {
  SeedPatients();
  std::vector<std::string> before = db_->Patients();
  for (Handler handler : {&HandlePatientUpdate, &HandlePatientMerge, &HandlePatientIdChange}) {
    Hl7Segments store = WithMrg({"MRG", "4711^^^KH^PI"});
    HL7Message m = Message("NEU");
    bool ok = handler(intake(), store, m) == Outcome::kProcessed;
    EXPECT_TRUE(ok);
  }
  EXPECT_EQ(db_->Patients(), before);
  EXPECT_TRUE(OrderKeys().empty());
  EXPECT_TRUE(ErrorLines().empty());
}

// Merge: the row stored under MRG-1 takes the new identifier, and the orders
// (for every study now under the new identifier) name the prior one in the
// debug log. Identifier change: the same registration, but the orders are
// not told the prior identifier.
TEST_P(PatientEventsTest, MergeAndIdentifierChangeRenameThePriorRow) {
  struct Case {
    Handler handler;
    bool merging_line;
  } cases[] = {{&HandlePatientMerge, true}, {&HandlePatientIdChange, false}};
  for (const Case& c : cases) {
    db_->Exec("DELETE FROM tblPatienten");
    db_->Exec("DELETE FROM tblStudien");
    std::filesystem::remove_all(home_ / "RenameOrders");
    std::filesystem::remove_all(home_ / "Logs");
    SeedPatients();

    Hl7Segments store = WithMrg({"MRG", "4711^^^KH^PI", "x"});
    HL7Message m = Message("0815");
    bool ok = c.handler(intake(), store, m) == Outcome::kProcessed;
    EXPECT_TRUE(ok);
    EXPECT_EQ(m.InternalID, 2);
    EXPECT_EQ(db_->Patients(), (std::vector<std::string>{"1|0815|X|Alt|Anna||1970-01-02|M",
                                                         "2|0815||Neu|Anna||1960-01-31|F"}));
    EXPECT_EQ(OrderKeys(), (std::vector<std::string>{"10", "11", "20"}));
    EXPECT_TRUE(HasDebugText("Reading merge fields"));
    EXPECT_EQ(HasDebugText("Merging ID 4711 to 0815"), c.merging_line);
  }
}

TEST_P(PatientEventsTest, MissingPriorIdentifierIsAnErrorOfTheCycle) {
  SeedPatients();
  for (Handler handler : {&HandlePatientMerge, &HandlePatientIdChange}) {
    for (std::vector<std::string> mrg : {std::vector<std::string>{""},
                                         std::vector<std::string>{"MRG"},
                                         std::vector<std::string>{"MRG", "", "x"}}) {
      Hl7Segments store = WithMrg(mrg);
      HL7Message m = Message("0815");
      EXPECT_THROW(handler(intake(), store, m), Error);
    }
  }
  EXPECT_EQ(db_->Patients()[0], "1|0815|X|Alt|Anna||1970-01-02|M");
}

TEST_P(PatientEventsTest, FailedRegistrationWritesNoOrders) {
  SeedPatients();
  Hl7Segments store;
  HL7Message m = Message("0815", "--");
  bool ok = HandlePatientUpdate(intake(), store, m) == Outcome::kProcessed;
  EXPECT_FALSE(ok);
  EXPECT_TRUE(OrderKeys().empty());
  ASSERT_EQ(ErrorLines().size(), 1u);
}

NORV_INSTANTIATE_FOR_BACKENDS(PatientEventsTest);

}  // namespace
}  // namespace norv
