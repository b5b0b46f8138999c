// The HL7 acknowledgement (original mode) that answers one received message,
// written with the sender's own separators. Pure: the caller passes the time
// stamp and the control id of the acknowledgement.
#ifndef NORV_RECEIVE_HL7_ACK_H_
#define NORV_RECEIVE_HL7_ACK_H_

#include <string>
#include <string_view>

#include "platform/system.h"

namespace norv {

enum class AckCode {
  kAccept,  // AA: stored
  kError,   // AE: could not be stored; the sender should try again
  kReject,  // AR: refused (no HL7 message, too large)
};

// What the acknowledgement needs of the received message's header.
struct MessageHeader {
  bool found = false;  // the message has an MSH segment
  char field = '|';    // MSH-1
  std::string encoding = "^~\\&";  // MSH-2 (component, repetition, escape, subcomponent)
  std::string sending_application, sending_facility;      // MSH-3, MSH-4
  std::string receiving_application, receiving_facility;  // MSH-5, MSH-6
  std::string message_type;  // MSH-9 as received
  std::string control_id;    // MSH-10
  std::string processing_id; // MSH-11
  std::string version;       // MSH-12
  std::string charset;       // MSH-18
};

// Reads the first MSH segment: "MSH" at the start of the message, of a line
// or after bytes that are no text (a byte-order mark), and a field separator
// that is no letter, digit, blank or line end. found = false when there is
// none.
MessageHeader ReadMessageHeader(std::string_view message);

// The trigger event of MSH-9 (its second component), empty when absent.
std::string TriggerEvent(const MessageHeader& header);

// The acknowledgement, segments ended by CR: MSH with sending and receiving
// application and facility swapped, MSH-7 `now`, MSH-9 "ACK^<trigger>^ACK"
// for version 2.4 and later ("ACK" before, or without a trigger), MSH-10
// `ack_control_id`, MSH-11, MSH-12 and MSH-18 as received; MSA with the code
// and MSA-2 = the received MSH-10. For AE and AR `reason` goes into MSA-3 and
// an ERR segment gives HL7 error code `error_code` of table 0357: from 2.5 on
// in ERR-3 with severity E (ERR-4) and the reason as user message (ERR-8),
// before in ERR-1. Texts are escaped for the sender's separators. Without a
// header the standard separators are used and the copied fields stay empty.
std::string BuildAck(const MessageHeader& header, AckCode code, std::string_view reason,
                     int error_code, const LocalDateTime& now, std::string_view ack_control_id);

// HL7 error codes (table 0357) the receiver answers with.
inline constexpr int kHl7SegmentSequenceError = 100;
inline constexpr int kHl7InternalError = 207;

}  // namespace norv

#endif  // NORV_RECEIVE_HL7_ACK_H_
