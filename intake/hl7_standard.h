// The standard HL7 v2 reading (setting StandardHL7 = 1): messages of v2.3 to
// v2.8 senders as the HL7 encoding rules define them. Segments end at CR, LF
// or CR LF; the delimiters are the ones MSH-1 and MSH-2 declare; escape
// sequences are decoded; MSH-18 selects UTF-8 or Windows-1252; dates may
// carry seconds, fractions and a time-zone offset. Everything here is a pure
// function of its arguments: no settings, no logging, no files. Shortfalls of
// a message are thrown as norv::Error with a description that names the
// field; the caller adds the file and logs.
//
// Field numbering is HL7's own throughout: field n of a segment is HL7 field
// n, also in MSH, where field 1 is the field separator itself (MSH-9 is
// field 9). Repetitions, components and subcomponents count from 1.
#ifndef NORV_INTAKE_HL7_STANDARD_H_
#define NORV_INTAKE_HL7_STANDARD_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/hl7_message.h"

namespace norv {

// The delimiters of a message. '\0' marks one the message does not declare
// (then nothing is split or decoded at that level).
struct Hl7Delimiters {
  char field = '|';
  char component = '^';
  char repetition = '~';
  char escape = '\\';
  char subcomponent = '&';
};

enum class Hl7Charset { kWindows1252, kUtf8 };

// The lines of a message text, split at CR, LF or CR LF. MLLP framing bytes
// (0x0B, 0x1C) at either end of a line are dropped, and lines that are then
// empty or blank are left out.
std::vector<std::string_view> SplitSegmentLines(std::string_view text);

// The delimiters an MSH line declares: MSH-1 is the character after "MSH",
// MSH-2 up to the next field separator gives component, repetition, escape
// and subcomponent in this order (a fifth, truncation, character is
// ignored). A character missing from MSH-2, or one already used for an
// earlier delimiter, is not declared. nullopt when the line does not start
// with "MSH" followed by a field separator other than a letter, digit, blank
// or control character.
std::optional<Hl7Delimiters> ReadDelimiters(std::string_view msh_line);

// The character set of the values: UTF-8 when MSH-18 (trimmed, any case) is
// "UNICODE UTF-8" or "UTF-8", or when the file began with a UTF-8 byte-order
// mark; Windows-1252 for everything else ("8859/1", "ASCII", empty, ...).
Hl7Charset CharsetOf(std::string_view msh18, bool byte_order_mark);

// Where a value is used: in report text \.br\ starts a new line (written as
// '\n'); elsewhere it is dropped like the other formatting commands.
enum class EscapeUse { kField, kReportText };

// Decodes the escape sequences of one raw value: \F\ \S\ \T\ \R\ \E\ give the
// field, component, subcomponent, repetition and escape delimiters;
// \Xhh..\ gives the bytes of its hexadecimal digits; \H\, \N\, \.sp\,
// \.in\ and every other sequence closed by the escape character are dropped. An escape character
// without a closing one stays as it is. Works on the message's bytes, before
// any character-set conversion.
std::string DecodeEscapes(std::string_view raw, const Hl7Delimiters& d, EscapeUse use);

// The value bytes as Windows-1252: UTF-8 decoded (characters outside
// Windows-1252 and invalid sequences become '?'), Windows-1252 unchanged.
std::string ValueToAnsi(std::string_view bytes, Hl7Charset charset);

// Whether converting `text` loses characters: it is UTF-8 and holds
// characters that become '?' (a leading byte-order mark aside).
bool LosesCharacters(std::string_view text, Hl7Charset charset);

// An HL7 date/time, YYYYMMDD[HH[MM[SS[.S[S[S[S]]]]]]][+/-ZZZZ], read as the
// wall-clock time the sender wrote (the offset is checked, not applied).
struct Hl7DateTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0;
};

// nullopt when `text` is not of that form, is shorter than a full date, or
// names no calendar date or time of day.
std::optional<Hl7DateTime> ParseHl7DateTime(std::string_view text);

// "YYYY-MM-DD" and "HH:MM".
std::string IsoDate(const Hl7DateTime& t);
std::string HourMinute(const Hl7DateTime& t);

// One segment: its name (the first three characters, upper-cased) and its
// fields as raw bytes; fields[n] is field n (fields[0] is the name).
struct Hl7Segment {
  std::string name;
  std::vector<std::string> fields;
};

// A message read by the standard rules.
struct Hl7StandardMessage {
  Hl7Delimiters delimiters;
  Hl7Charset charset = Hl7Charset::kWindows1252;
  std::vector<Hl7Segment> segments;  // in message order, segments[0] is MSH
  int message_count = 0;             // MSH segments in the file
  bool batch = false;                // the file has FHS or BHS segments
};

// Reads the message in `text` (the whole file): a UTF-8 byte-order mark is
// noted, everything before the first "MSH" is skipped, FHS and BHS lines
// anywhere in the file count as a batch. nullopt when there is no "MSH" or
// it declares no usable delimiters.
std::optional<Hl7StandardMessage> ParseStandardMessage(std::string_view text);

// The raw bytes at field `field`, repetition `rep`, component `comp` and
// subcomponent `sub` of `seg`; 0 for `comp` or `sub` takes the whole of that
// level. Empty when absent.
std::string_view RawValue(const Hl7StandardMessage& m, const Hl7Segment& seg, int field,
                          int rep = 1, int comp = 0, int sub = 0);

// RawValue decoded (EscapeUse::kField) and converted to Windows-1252.
std::string Value(const Hl7StandardMessage& m, const Hl7Segment& seg, int field, int rep = 1,
                  int comp = 1, int sub = 1);

// How many repetitions field `field` of `seg` has (0 when it is empty).
int Repetitions(const Hl7StandardMessage& m, const Hl7Segment& seg, int field);

// MSH-9 components 1 and 2 joined by "^" ("ADT^A08^ADT_A01" gives
// "ADT^A08").
std::string StandardMessageEvent(const Hl7StandardMessage& m);

// The part of a message one event handling covers, as indices into
// `segments` (-1: the unit has no such segment). A message is cut into
// patient groups at every PID; each group is one unit, except in orders,
// where every ORC of the group starts a unit of its own (as does an OBR
// that finds its unit's OBR taken). A unit takes the first PV1 and MRG of its
// patient group and the first TQ1, OBR and ZDS of its order; report units
// hold every OBX of their patient group.
struct Hl7Unit {
  int pid = -1, mrg = -1, pv1 = -1, orc = -1, tq1 = -1, obr = -1, zds = -1;
  std::vector<int> obx;
};
std::vector<Hl7Unit> SplitUnits(const Hl7StandardMessage& m, bool orders);

// Which repetition of PID-3 (and MRG-1) holds the patient identifier. Only
// repetitions that carry an identifier (CX-1, blanks removed) count: an
// empty one, or one that holds a type code alone, is passed over. With
// `type` and/or `authority` set, the first repetition whose CX-5 (type code)
// and CX-4 component 1 (assigning authority) equal them, compared trimmed and
// without regard to ASCII case; with neither set, the second counted
// repetition when there is one, else the first.
struct PatientIdRule {
  std::string type;
  std::string authority;
};

// The identifier (CX-1, blanks removed) the rule picks from the identifier
// list `field` of `seg`; nullopt when no repetition qualifies.
std::optional<std::string> ChooseIdentifier(const Hl7StandardMessage& m, const Hl7Segment& seg,
                                            int field, const PatientIdRule& rule);

// The rule in words, for error lines and the configuration check.
std::string DescribeRule(const PatientIdRule& rule);

// The values of one unit.
struct StandardReading {
  HL7Message values;                      // all fields but ModalityLocation
  std::vector<std::string> report_lines;  // OBX-5 texts, one per drawn line
  std::string prior_identifier;           // MRG-1 by the identifier rule
  bool has_obr = false;
  bool id_from_pid2 = false;              // PID-3 held none: PID-2 was taken
  // The field the appointment came from ("ORC-7.4", "TQ1-7", "OBR-27.4",
  // "OBR-36"); empty when none holds a valid date/time.
  std::string appointment_field;
  std::optional<Hl7DateTime> message_time;  // MSH-7, when it is a valid date/time
};

// Reads every value of `unit`. Throws Error when the unit has no PID, when
// neither PID-3 by `rule` nor (with no type or authority asked for) PID-2
// component 1 holds an identifier (the description names the rule and the
// fields it saw), and when PID-5 holds no name and `name_required` (the
// event stores the name in the patient table, where an empty one would
// overwrite the stored name). A birth date that is empty or no valid date is
// left empty (unknown); the appointment comes from ORC-7.4, else TQ1-7, else
// OBR-27.4, else OBR-36, and stays empty when none holds a valid date/time.
StandardReading ReadStandardUnit(const Hl7StandardMessage& m, const Hl7Unit& unit,
                                 const PatientIdRule& rule, bool name_required);

// The value a ModalityLocation selector "segment;element[;component]" picks
// in standard mode: element numbering as the designed reader's (MSH element
// e is MSH field e + 1), component 0-based (-1: the whole field, first
// repetition). Segments other than MSH, PV1 and OBR, and fields or components
// the unit lacks, give an empty value.
std::string SelectStandardValue(const Hl7StandardMessage& m, const Hl7Unit& unit,
                                std::string_view segment, int element, int component);

// What the event handlers see of a standard reading (Hl7Segments::standard).
struct StandardContext {
  const Hl7StandardMessage* message = nullptr;
  const Hl7Unit* unit = nullptr;
  const StandardReading* reading = nullptr;
};

}  // namespace norv

#endif  // NORV_INTAKE_HL7_STANDARD_H_
