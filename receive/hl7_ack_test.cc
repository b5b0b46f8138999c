#include "receive/hl7_ack.h"

#include <gtest/gtest.h>

namespace norv {
namespace {

const LocalDateTime kNow{2024, 3, 5, 14, 7, 9};

TEST(Hl7Ack, AnswersWithTheSendersHeader) {
  struct Case {
    const char* name;
    std::string message;
    AckCode code;
    const char* reason;
    std::string ack;
  } cases[] = {
      {"accepted, before 2.4: ACK alone",
       "MSH|^~\\&|RIS|HOSP|NORV|ARCH|20240305||ORM^O01|MSG0001|P|2.3\rPID|1||42\r",
       AckCode::kAccept, "",
       "MSH|^~\\&|NORV|ARCH|RIS|HOSP|20240305140709||ACK|A1|P|2.3\r"
       "MSA|AA|MSG0001\r"},
      {"sender's separators and character set, 2.5.1",
       "MSH#*@!%#APP#FAC#####ADT*A08*ADT_A01#77#T#2.5.1######8859/1\r",
       AckCode::kAccept, "",
       "MSH#*@!%###APP#FAC#20240305140709##ACK*A08*ACK#A1#T#2.5.1######8859/1\r"
       "MSA#AA#77\r"},
      {"storage failed, 2.4: ERR-1, reason escaped",
       "MSH|^~\\&|RIS||||x||ORU^R01|C9|P|2.4\r",
       AckCode::kError, "disk full | see ^ log\\now",
       "MSH|^~\\&|||RIS||20240305140709||ACK^R01^ACK|A1|P|2.4\r"
       "MSA|AE|C9|disk full \\F\\ see \\S\\ log\\E\\now\r"
       "ERR|^^^207&Application internal error&HL70357\r"},
      {"storage failed, 2.7: ERR-3 and ERR-4",
       "MSH|^~\\&|RIS||||x||ORU^R01^ORU_R01|C9|P|2.7^DEU\r",
       AckCode::kError, "disk full",
       "MSH|^~\\&|||RIS||20240305140709||ACK^R01^ACK|A1|P|2.7^DEU\r"
       "MSA|AE|C9|disk full\r"
       "ERR|||207^Application internal error^HL70357|E||||disk full\r"},
      {"no header at all",
       "hello world", AckCode::kReject, "no MSH segment",
       "MSH|^~\\&|||||20240305140709||ACK|A1||\r"
       "MSA|AR||no MSH segment\r"
       "ERR|^^^100&Segment sequence error&HL70357\r"},
      {"header after a line of noise, LF endings",
       "\xEF\xBB\xBFjunk\nMSH|^~\\&|S||R||t||ADT^A40|X-1|P|2.3\nEVN|\n",
       AckCode::kAccept, "", "MSH|^~\\&|R||S||20240305140709||ACK|A1|P|2.3\rMSA|AA|X-1\r"},
      {"message type without trigger, 2.6",
       "MSH|^~\\&|||||||ACK|5|P|2.6", AckCode::kAccept, "",
       "MSH|^~\\&|||||20240305140709||ACK|A1|P|2.6\rMSA|AA|5\r"},
      {"separators that separate nothing: the standard ones",
       "MSH|0000|S||||||ADT^A08|7|P|2.3", AckCode::kAccept, "",
       "MSH|^~\\&|||S||20240305140709||ACK|A1|P|2.3\rMSA|AA|7\r"},
      {"version 2.10 is later than 2.4",
       "MSH|^~\\&|||||||ADT^A08|6|P|2.10", AckCode::kAccept, "",
       "MSH|^~\\&|||||20240305140709||ACK^A08^ACK|A1|P|2.10\rMSA|AA|6\r"},
  };
  for (const Case& c : cases) {
    MessageHeader h = ReadMessageHeader(c.message);
    int error = c.code == AckCode::kReject && !h.found ? kHl7SegmentSequenceError
                                                       : kHl7InternalError;
    EXPECT_EQ(BuildAck(h, c.code, c.reason, error, kNow, "A1"), c.ack) << c.name;
  }
}

TEST(Hl7Ack, FindsOnlyARealHeaderSegment) {
  struct Case {
    const char* message;
    bool found;
    const char* control_id;
  } cases[] = {
      {"MSH|^~\\&|||||||ADT^A08|1|P|2.3", true, "1"},
      {"PID|MSH|x\rMSH|^~\\&|||||||ADT^A08|2", true, "2"},  // not inside a field
      {"XMSH|^~\\&|||||||ADT^A08|3", false, ""},
      {"\xEF\xBB\xBFMSH|^~\\&|||||||ADT^A08|4", true, "4"},  // after a byte-order mark
      {"MSHA|^~\\&|", false, ""},
      {"MSH ^~\\&|", false, ""},
      {"MSH\r", false, ""},
      {"MSH", false, ""},
      {"MSH|", true, ""},
      {"", false, ""},
  };
  for (const Case& c : cases) {
    MessageHeader h = ReadMessageHeader(c.message);
    EXPECT_EQ(h.found, c.found) << c.message;
    EXPECT_EQ(h.control_id, c.control_id) << c.message;
  }
}

}  // namespace
}  // namespace norv
