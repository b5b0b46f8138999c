#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/error.h"
#include "intake/events.h"
#include "intake/procedure_codes.h"
#include "intake/standard_intake.h"
#include "testing/intake_context.h"

namespace norv {
namespace {

using Rows = std::vector<std::string>;

// An ORM^O01 for patient 4711 at location CT1 (PV1-3.1), modality CT.
std::string OrderText(const std::string& control, const std::string& accession,
                      const std::string& status = "SC", const std::string& code = "CT123^CT Thorax",
                      const std::string& when = "20300620093015") {
  std::string obr = "OBR|1|||" + code;
  for (int i = 5; i <= 24; ++i) obr += "|" + std::string(i == 21 ? accession : i == 24 ? "CT" : "");
  return "MSH|^~\\&|RIS|KH|NORV|RAD|20300101||ORM^O01|M1|P|2.3\r"
         "PID|1||X1^^^KH^PI~4711^^^KH^PN||O'Brien^Liam||19600131|M\r"
         "PV1|1|O|CT1^R12\r"
         "ORC|" + control + "|P1|F1||" + status + "||^^^" + when + "|||||R42^Dr. Who\r" + obr +
         "\rZDS|1.2.3\r";
}

class OrderEventsTest : public testing::IntakeFixture {
 protected:
  void SetUp() override {
    IntakeFixture::SetUp();
    if (IsSkipped()) return;
    SetProcedureCodes("CT123;MR200");
    settings().ModalityLocation = "PV1;3;0";
    db_->AddAet(1, "(CT1)");
    db_->AddAet(2, "(CT1)(MR1)");
  }

  // Reads the message as the inbound cycle does and hands it to the order
  // handler; returns its verdict.
  bool Handle(const std::string& text) { return testing::HandleText(intake(), &HandleOrder, text); }

  Rows Column(const std::string& name) {
    Rows values;
    for (auto& row : db_->Appointments()) values.push_back(row[name]);
    return values;
  }
};

// The order control decides: CA cancels, SC re-statuses, anything else
// (lower-case "ca" included) registers; unknown accession numbers are done.
TEST_P(OrderEventsTest, OrderControlSelectsTheAction) {
  struct Step {
    const char* control;
    const char* accession;
    const char* status;
    Rows statuses;  // TerminStatus of the rows afterwards, by TerminID
  } steps[] = {
      {"NW", "A1", "SC", {"NW/SC", "NW/SC"}},
      {"XO", "A1", "SC", {"XO/SC", "XO/SC"}},
      {"ca", "A1", "SC", {"ca/SC", "ca/SC"}},
      {"SC", "A1", "IP", {"SC/IP", "ca/SC"}},
      {"SC", "UNKNOWN", "CM", {"SC/IP", "ca/SC"}},
      {"CA", "UNKNOWN", "CA", {"SC/IP", "ca/SC"}},
      {"CA", "A1", "CA", {}},
  };
  for (const Step& s : steps) {
    std::string label = std::string(s.control) + " " + s.accession;
    EXPECT_TRUE(Handle(OrderText(s.control, s.accession, s.status))) << label;
    EXPECT_EQ(Column("TerminStatus"), s.statuses) << label;
  }
  EXPECT_EQ(db_->Patients(), (Rows{"1|4711||O'Brien|Liam||1960-01-31|M"}));
  EXPECT_TRUE(ErrorLines().empty());
}

TEST_P(OrderEventsTest, NewOrderReadsItsValuesInOrder) {
  ASSERT_TRUE(Handle(OrderText("NW", "A1")));
  Rows debug = DebugTexts();
  auto first = std::find(debug.begin(), debug.end(), "Reading appointment date/time values");
  ASSERT_NE(first, debug.end());
  EXPECT_EQ(Rows(first, first + 7),
            (Rows{"Reading appointment date/time values",
                  "AppointmentDate: 2030-06-20 - AppointmentTime: 09:30", "Accession Number: A1",
                  "Procedure Code: CT123", "Modality Location: CT1", "Modality: CT",
                  "RegisterUpdatePatient Procedure"}));
  auto row = db_->Appointments().at(0);
  std::map<std::string, std::string> expected = {
      {"TerminDatum", "2030-06-20"}, {"TerminZeit", "09:30:00"},
      {"StudyInstanceUID", "1.2.3"}, {"TerminUeberweiser", "Dr. Who"},
      {"ReferringPhysicianID", "R42"}, {"CurrentPatientLocation", "R12"},
      {"RequestedProcedureDescription", "CT Thorax"}};
  for (const auto& [column, value] : expected) EXPECT_EQ(row[column], value) << column;
}

// Codes missing from the table drop the order as processed before anything
// else is read; an OBR too short for OBR-4 is not filtered at all.
TEST_P(OrderEventsTest, ProcedureFilter) {
  EXPECT_TRUE(Handle(OrderText("NW", "A1", "SC", "CT999^Unknown")));
  EXPECT_TRUE(HasDebugText("Procedure ID not found."));
  EXPECT_FALSE(HasDebugText("Modality Location: CT1"));
  EXPECT_TRUE(db_->Patients().empty());
  EXPECT_TRUE(db_->Appointments().empty());

  std::string text = OrderText("NW", "A1");
  text.replace(text.find("OBR|1|||"), text.find("\rZDS") - text.find("OBR|1|||"), "OBR|1|x");
  EXPECT_TRUE(Handle(text));
  EXPECT_EQ(Column("RequestedProcedureID"), (Rows{"", ""}));
  EXPECT_EQ(Column("AccessionNumber"), (Rows{"", ""}));
}

// Standard reading: an order without OBR is no imaging order; one without
// any appointment date/time fails; a v2.5 order with its time in TQ1 and no
// birth date books and registers the patient with an unknown birth date.
TEST_P(OrderEventsTest, StandardReadingOrders) {
  auto handle = [this](const std::string& text) {
    std::optional<Outcome> outcome = ProcessStandardMessage(
        text, PatientIdRule{"MR", ""},
        [this](Hl7Segments& s, HL7Message& m) { return HandleOrder(intake(), s, m); },
        [this](std::string_view line) { ctx_.log.DebugLog(line); });
    return outcome == Outcome::kProcessed;
  };
  const std::string head = "MSH|^~\\&|RIS|KH|NORV|RAD|20300101||ORM^O01^ORM_O01|M1|P|2.5\n"
                           "PID|1||9^^^KH^PI~4711^^^KH^MR||Neu^Nina||\nPV1|1|O|CT1^R12\nORC|NW|P1\n";
  std::string obr = "OBR|1|||CT123^CT Thorax";
  for (int i = 5; i <= 24; ++i) obr += "|" + std::string(i == 21 ? "A9" : i == 24 ? "CT" : "");

  EXPECT_TRUE(handle(head + "ODS|D|^diet\n"));
  EXPECT_TRUE(HasDebugText("No OBR segment: not an imaging order, nothing booked"));
  EXPECT_THROW(handle(head + obr + "\n"), Error);
  EXPECT_TRUE(db_->Patients().empty());
  EXPECT_TRUE(handle(head + "TQ1|||||||20300620093015+0100\n" + obr + "\n"));
  EXPECT_EQ(db_->Patients(), (Rows{"1|4711||Neu|Nina|||O"}));
  EXPECT_EQ(Column("TerminDatum"), (Rows{"2030-06-20", "2030-06-20"}));
  EXPECT_EQ(Column("TerminZeit"), (Rows{"09:30:00", "09:30:00"}));
  EXPECT_EQ(Column("AccessionNumber"), (Rows{"A9", "A9"}));
  EXPECT_TRUE(ErrorLines().empty());
}

// Standard reading, an order without a time anywhere: it fails, unless
// AppointmentTimeFallback 1 books it at a valid MSH-7 (with a debug line).
TEST_P(OrderEventsTest, StandardReadingAppointmentTimeFallback) {
  const struct {
    int fallback;
    std::string msh7, obr36;
    std::string booked;  // date and time; empty: the message fails
  } cases[] = {
      {0, "203001011215", "", ""},
      {1, "203001011215+0100", "", "2030-01-01 12:15"},
      {1, "20300101121530.25", "203006200930", "2030-06-20 09:30"},
      {1, "", "", ""},
      {1, "2030", "", ""},
      {2, "203001011215", "", ""},
  };
  int number = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.fallback) + " MSH-7 " + c.msh7 + " OBR-36 " + c.obr36);
    settings().AppointmentTimeFallback = c.fallback;
    const std::string accession = "A" + std::to_string(++number);
    std::string obr = "OBR|1|||CT123^CT Thorax";
    for (int i = 5; i <= 36; ++i) {
      obr += "|" + std::string(i == 21 ? accession : i == 24 ? "CT" : i == 36 ? c.obr36 : "");
    }
    const std::string text = "MSH|^~\\&|RIS|KH|NORV|RAD|" + c.msh7 + "||ORM^O01|M1|P|2.3\r"
                             "PID|1||4711||Neu^Nina\rPV1|1|O|CT1\rORC|NW|P1\r" + obr + "\r";
    std::string error;
    try {
      ProcessStandardMessage(
          text, PatientIdRule{},
          [this](Hl7Segments& s, HL7Message& m) { return HandleOrder(intake(), s, m); },
          [this](std::string_view line) { ctx_.log.DebugLog(line); });
    } catch (const Error& e) {
      error = e.what();
    }
    std::vector<std::string> booked;
    for (auto& row : db_->Appointments()) {
      if (row["AccessionNumber"] == accession) {
        booked.push_back(row["TerminDatum"] + " " + row["TerminZeit"].substr(0, 5));
      }
    }
    if (c.booked.empty()) {
      EXPECT_TRUE(booked.empty());
      EXPECT_EQ(error.find("No appointment date/time: ORC-7.4, TQ1-7, OBR-27.4 and OBR-36"), 0u) << error;
      EXPECT_EQ(error.find("MSH-7") != std::string::npos, c.fallback == 1) << error;
    } else {
      EXPECT_EQ(error, "");
      EXPECT_EQ(booked, (Rows{c.booked, c.booked}));
    }
    if (!c.booked.empty()) {
      EXPECT_EQ(HasDebugText("No appointment date/time in ORC-7.4, TQ1-7, OBR-27.4 or OBR-36: "
                             "booked at the message's time (MSH-7), " + c.booked), c.obr36.empty());
    }
  }
}

NORV_INSTANTIATE_FOR_BACKENDS(OrderEventsTest);

}  // namespace
}  // namespace norv
