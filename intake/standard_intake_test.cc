#include "intake/standard_intake.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "core/error.h"

namespace norv {
namespace {

const std::string kMsh = "MSH|^~\\&|RIS|KH|NORV|RAD|20300101||";
const std::string kPid = "PID|1||X1^^^KH^PI~4711^^^KH^PN||Muster^Hans||19600131|M";

class StandardIntake : public ::testing::Test {
 protected:
  // Runs `text` with a dispatch that records each unit and answers with the
  // next of `verdicts`; returns whether the message ended processed.
  bool Run(const std::string& text, std::vector<bool> verdicts = {true, true, true}) {
    auto dispatch = [&](Hl7Segments& store, HL7Message& msg) {
      EXPECT_NE(store.standard, nullptr);
      calls_.push_back(store.MessageEvent + " " + msg.PatientID + " " + msg.ProcedureCode);
      return OutcomeOf(verdicts.at(calls_.size() - 1));
    };
    auto debug = [this](std::string_view line) { debug_.emplace_back(line); };
    event_.clear();
    std::optional<Outcome> outcome =
        ProcessStandardMessage(text, PatientIdRule{}, dispatch, debug, &event_);
    header_ = outcome.has_value();
    return outcome == Outcome::kProcessed;
  }
  std::vector<std::string> calls_, debug_;
  std::string event_;
  bool header_ = false;
};

TEST_F(StandardIntake, EveryUnitIsDispatchedInOrder) {
  std::string orders = kMsh + "ORM^O01^ORM_O01|1|P|2.5\n" + kPid + "\nORC|NW\nOBR|1|||A\nORC|NW\nOBR|1|||B\n";
  EXPECT_TRUE(Run(orders));
  EXPECT_EQ(calls_, (std::vector<std::string>{"ORM^O01 4711 A", "ORM^O01 4711 B"}));
  EXPECT_EQ(std::vector<std::string>(debug_.begin(), debug_.begin() + 3),
            (std::vector<std::string>{"Event ID: ORM^O01", "MsgCtrlID: 1",
                                      "The message holds 2 patient groups or orders, handled one "
                                      "after the other"}));

  calls_.clear();
  EXPECT_FALSE(Run(orders, {false, true}));
  EXPECT_EQ(calls_.size(), 1u) << "the first unit that fails stops the message";

  calls_.clear();
  EXPECT_TRUE(Run(kMsh + "ADT^A08|1|P|2.3\r" + kPid + "\r"));
  EXPECT_EQ(calls_, std::vector<std::string>{"ADT^A08 4711 "});
}

TEST_F(StandardIntake, AMessageThatCannotBeReadDispatchesNothing) {
  const struct {
    std::string text;
    std::string error;  // part of the error's description
  } cases[] = {
      {kMsh + "ADT^A40|1\rPID|1||A~NEW||Eins\rMRG|OLD\rPID|2||||Zwei\rMRG|OLD2\r", "No patient identifier"},
      {kMsh + "ADT^A08|1\rEVN|A08\r", "no PID segment"},
      {kMsh + "ORM^O01|1\rPID|1||4711||\rORC|NW\r", "PID-5"},
      {kMsh + "ADT^A08|1\r" + kPid + "\r" + kMsh + "ADT^A08|2\r" + kPid + "\r", "holds 2 messages"},
      {"FHS|^~\\&\rBHS|^~\\&\r" + kMsh + "ADT^A08|1\r" + kPid + "\rBTS|1\rFTS|1\r",
       "holds 1 message in a batch"},
  };
  for (const auto& c : cases) {
    try {
      Run(c.text);
      ADD_FAILURE() << "no error: " << c.text;
    } catch (const Error& e) {
      EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
    }
    EXPECT_TRUE(calls_.empty()) << c.text;
  }
  // The event is told although the message's units cannot be read.
  EXPECT_THROW(Run(kMsh + "ADT^A08^ADT_A01|1\rEVN|A08\r"), Error);
  EXPECT_EQ(event_, "ADT^A08");
  // A header without usable delimiters counts as no header at all.
  EXPECT_FALSE(Run("MSHH0\r"));
  EXPECT_FALSE(header_);
  EXPECT_TRUE(calls_.empty());
}

}  // namespace
}  // namespace norv
