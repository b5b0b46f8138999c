// The service's settings, read from the settings store at start-up and on
// every sixth alive tick. The running program owns one Settings value (in
// main) and hands it to the procedures that read it; only LoadSettings
// writes it. Single-threaded.
#ifndef NORV_CORE_SETTINGS_H_
#define NORV_CORE_SETTINGS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace norv {

struct Settings {
  std::int16_t Debug = 0;             // debug lines are written only when 1
  std::string Caption;                // window caption, alive datagram payload
  std::string DBServer;               // database selection (see db/database.h)
  std::int32_t UDP = 0;               // alive datagram port (low 16 bits)
  std::string Temp;                   // prefix of report files, used as is
  std::string InboundPath;            // directory ending in '/', or "TCPRECEIVE"
  std::vector<std::string> ExportPathList;  // inbound dirs for "TCPRECEIVE"
  std::string ModalityLocation;       // "SEG;element[;component]" selector
  std::string ModalityName = "";      // decimal text of a 16-bit integer
  std::string FileSuffix;             // upper case
  bool ForceRegAppointment = false;
  bool CommonStudyUID = false;
  std::string DefaultRefPhy;
  std::string DefaultRefPhyID;
  std::int16_t WildcardDigit = 0;
  std::int16_t KeepFiles = 0;
  std::int16_t ConvertReports = 0;
  std::int32_t TickInterval = 250;    // ms between processing ticks, 1 to 250
  std::int16_t DrainBacklog = 0;      // 1: the next file at once while files wait
  std::int16_t WatchInbound = 0;      // 1: a file arriving complete is taken at once
  // Seconds a database call may wait: connect/login, statement, lock or
  // busy wait (see db/database.h for the range used).
  std::int32_t DBTimeout = 10;
  std::int32_t StandardHL7 = 0;       // 1: the standard HL7 reading (intake/hl7_standard.h)
  std::string PatientIDType;          // standard reading: PID-3 repetition by its CX-5
  std::string PatientIDAuthority;     // standard reading: PID-3 repetition by its CX-4
  std::int32_t AppointmentTimeFallback = 0;  // standard reading, 1: an order without a
                                             // time is booked at MSH-7
  // The MLLP receiver (norvreader --receive; see receive/receiver.h).
  std::int32_t MLLPPort = 0;            // TCP port; 0 = no receiver
  std::string MLLPBind = "127.0.0.1";   // local address listened on
  std::string MLLPAllow;                // addresses and CIDR ranges; empty = loopback
  std::string MLLPTLSCert;              // PEM files: with a certificate and key the
  std::string MLLPTLSKey;               // receiver speaks TLS; a trust file makes
  std::string MLLPTLSCA;                // client certificates mandatory
  std::int32_t MLLPMaxMessage = 16777216;  // bytes per message
  std::int32_t MLLPIdleTimeout = 300;   // seconds without a complete message
  std::int32_t MLLPDuplicateWindow = 24;  // hours a control id counts as seen; 0 = off
  std::int32_t MLLPMaxConnections = 32;   // connections at once
  std::int32_t MLLPMaxPerPeer = 8;        // connections at once from one address
  // 1: an inbound file whose MSH-3/4/10 was processed within
  // MLLPDuplicateWindow hours is skipped.
  std::int16_t SkipDuplicates = 0;
  // Operations: the Prometheus metrics file (empty: none; relative to the
  // program directory) and the queue ages in seconds from which
  // `norvreader --status` warns and raises the alarm.
  std::string MetricsFile;
  std::int32_t StatusWarnAge = 300;
  std::int32_t StatusCritAge = 1800;
  // Days the message journal keeps its records; 0: no journal.
  std::int32_t JournalDays = 90;
};

// Where LoadSettings reads from: the settings file and the instance number
// ("01") that selects the program's key.
struct SettingsSource {
  std::string file;
  std::string instance = "01";
};

// The program's key, "HKLM\Software\VLM\Tessarine\NORVReader\" + instance.
std::string BaseKey(const SettingsSource& source);
inline constexpr std::string_view kSharedKey = "HKLM\\Software\\VLM\\Tessarine\\ Default";

// Reads one value by its full path from the settings file (read afresh).
// Returns `default_value` when the value is missing, empty or has no text
// form, and when the file cannot be read. Never throws, never logs.
std::string ReadRegistry(const SettingsSource& source, std::string_view full_path,
                         std::string_view default_value);

// Reloads every setting from the settings file, one step per value; a step
// that fails (missing value without default, unconvertible text) keeps the
// setting's previous value. Never throws, never logs: returns why the file
// could not be read (then every value takes its default), empty when it was.
std::string LoadSettings(const SettingsSource& source, Settings& s);

// Conversion rules of the settings (exposed for tests). nullopt = the step
// fails. Numbers may carry blanks, a sign and a decimal part; fractions round
// half to even.
std::optional<std::int16_t> ToInt16(std::string_view text);
std::optional<std::int32_t> ToInt32(std::string_view text);
std::optional<bool> ToBoolean(std::string_view text);

}  // namespace norv

#endif  // NORV_CORE_SETTINGS_H_
