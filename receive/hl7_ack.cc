#include "receive/hl7_ack.h"

#include <cstdio>
#include <vector>

namespace norv {
namespace {

bool IsAlnum(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

bool Terminates(char c) { return c == '\r' || c == '\n'; }

// Cuts `segment` at `sep`.
std::vector<std::string_view> Split(std::string_view segment, char sep) {
  std::vector<std::string_view> parts;
  while (true) {
    std::size_t at = segment.find(sep);
    parts.push_back(segment.substr(0, at));
    if (at == std::string_view::npos) break;
    segment.remove_prefix(at + 1);
  }
  return parts;
}

// Text for a field: the separators of the message replaced by its escape
// sequences (\F\ \S\ \R\ \E\ \T\), line ends by blanks.
std::string Escape(std::string_view text, const MessageHeader& h) {
  char component = h.encoding.size() > 0 ? h.encoding[0] : '^';
  char repetition = h.encoding.size() > 1 ? h.encoding[1] : '~';
  char escape = h.encoding.size() > 2 ? h.encoding[2] : '\\';
  char subcomponent = h.encoding.size() > 3 ? h.encoding[3] : '&';
  std::string out;
  for (char c : text) {
    const char* code = nullptr;
    if (c == h.field) code = "F";
    else if (c == component) code = "S";
    else if (c == repetition) code = "R";
    else if (c == escape) code = "E";
    else if (c == subcomponent) code = "T";
    if (code) {
      out += escape;
      out += code;
      out += escape;
    } else {
      out += Terminates(c) ? ' ' : c;
    }
  }
  return out;
}

}  // namespace

MessageHeader ReadMessageHeader(std::string_view message) {
  MessageHeader h;
  std::size_t at = 0;
  while ((at = message.find("MSH", at)) != std::string_view::npos) {
    // At the start of a line, or after bytes that are no text (a byte-order
    // mark, a transport header's control bytes), as the service reads it.
    unsigned char before = at == 0 ? '\r' : static_cast<unsigned char>(message[at - 1]);
    bool line_start = before < 0x20 || before >= 0x80;
    bool separator = at + 3 < message.size() && !IsAlnum(message[at + 3]) &&
                     message[at + 3] != ' ' && !Terminates(message[at + 3]);
    if (line_start && separator) break;
    at += 3;
  }
  if (at == std::string_view::npos) return h;
  std::string_view segment = message.substr(at);
  std::size_t end = segment.find_first_of("\r\n");
  segment = segment.substr(0, end);
  h.found = true;
  h.field = segment[3];
  std::vector<std::string_view> fields = Split(segment, h.field);
  // fields[0] is "MSH"; MSH-1 is the separator itself, so MSH-n is fields[n - 1].
  auto msh = [&](std::size_t n) {
    return n - 1 < fields.size() ? std::string(fields[n - 1]) : std::string();
  };
  std::string encoding = msh(2);
  if (!encoding.empty()) h.encoding = encoding.substr(0, 4);
  h.sending_application = msh(3);
  h.sending_facility = msh(4);
  h.receiving_application = msh(5);
  h.receiving_facility = msh(6);
  h.message_type = msh(9);
  h.control_id = msh(10);
  h.processing_id = msh(11);
  h.version = msh(12);
  h.charset = msh(18);
  return h;
}

std::string TriggerEvent(const MessageHeader& header) {
  char component = header.encoding.empty() ? '^' : header.encoding[0];
  std::vector<std::string_view> parts = Split(header.message_type, component);
  return parts.size() > 1 ? std::string(parts[1]) : std::string();
}

std::string BuildAck(const MessageHeader& header, AckCode code, std::string_view reason,
                     int error_code, const LocalDateTime& now, std::string_view ack_control_id) {
  MessageHeader h = header;
  if (!h.found) h = MessageHeader();
  const std::string f(1, h.field);
  const char component = h.encoding.empty() ? '^' : h.encoding[0];
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%04d%02d%02d%02d%02d%02d", now.year, now.month, now.day,
                now.hour, now.minute, now.second);
  std::string trigger = TriggerEvent(h);
  std::string type = trigger.empty() ? "ACK" : "ACK" + std::string(1, component) + trigger;

  std::string ack = "MSH" + f + h.encoding + f + h.receiving_application + f +
                    h.receiving_facility + f + h.sending_application + f + h.sending_facility +
                    f + stamp + f + f + type + f + Escape(ack_control_id, h) + f +
                    h.processing_id + f + h.version;
  if (!h.charset.empty()) ack += f + f + f + f + f + f + h.charset;
  ack += '\r';
  const char* code_text = code == AckCode::kAccept ? "AA" : code == AckCode::kError ? "AE" : "AR";
  ack += "MSA" + f + code_text + f + h.control_id;
  if (code != AckCode::kAccept) {
    std::string text = Escape(reason, h);
    ack += f + text + '\r';
    ack += "ERR" + f + f + f + std::to_string(error_code) + component +
           (error_code == kHl7SegmentSequenceError ? "Segment sequence error"
                                                   : "Application internal error") +
           component + "HL70357" + f + "E" + f + f + f + f + text;
  }
  ack += '\r';
  return ack;
}

}  // namespace norv
