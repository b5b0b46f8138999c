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

// Whether MSH-12 (its first component, "2.5.1" say) names version
// major.minor or a later one; false when it names none.
bool VersionAtLeast(const MessageHeader& h, int major, int minor) {
  char component = h.encoding.empty() ? '^' : h.encoding[0];
  std::string_view v = Split(h.version, component)[0];
  int parts[2] = {-1, 0};
  for (int& part : parts) {
    if (v.empty() || v[0] < '0' || v[0] > '9') break;
    part = 0;
    while (!v.empty() && v[0] >= '0' && v[0] <= '9' && part < 1000) {
      part = part * 10 + (v[0] - '0');
      v.remove_prefix(1);
    }
    if (v.empty() || v[0] != '.') break;
    v.remove_prefix(1);
  }
  return parts[0] > major || (parts[0] == major && parts[1] >= minor);
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
  // The sender's separators, unless they could not separate anything (a
  // letter, digit or blank, the field separator, one used twice): then the
  // answer is written with the standard ones, which the sender can read.
  std::string encoding = msh(2).substr(0, 4);
  bool usable = !encoding.empty();
  for (std::size_t i = 0; i < encoding.size(); ++i) {
    char c = encoding[i];
    if (IsAlnum(c) || c == ' ' || c == h.field || encoding.find(c) != i) usable = false;
  }
  if (usable) h.encoding = encoding;
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
  const std::string trigger = TriggerEvent(h);
  const std::string c(1, component);
  const bool v24 = VersionAtLeast(h, 2, 4), v25 = VersionAtLeast(h, 2, 5);
  // From 2.4 on MSH-9 names the message structure too.
  std::string type = trigger.empty() || !v24 ? "ACK" : "ACK" + c + trigger + c + "ACK";

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
    const char* meaning = error_code == kHl7SegmentSequenceError ? "Segment sequence error"
                                                                  : "Application internal error";
    ack += f + text + '\r';
    if (v25) {
      // ERR-3 the HL7 error code, ERR-4 the severity, ERR-8 the reason.
      ack += "ERR" + f + f + f + std::to_string(error_code) + c + meaning + c + "HL70357" + f +
             "E" + f + f + f + f + text;
    } else {
      // ERR-1: no location, the code as the fourth component.
      const std::string sub(1, h.encoding.size() > 3 ? h.encoding[3] : '&');
      ack += "ERR" + f + c + c + c + std::to_string(error_code) + sub + meaning + sub + "HL70357";
    }
  }
  ack += '\r';
  return ack;
}

}  // namespace norv
