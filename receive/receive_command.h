// `norvreader --receive` and the receiver's part of `norvreader --check`:
// the settings turned into the receiver's configuration, and the process
// that runs it until SIGTERM. The receiver writes its own log files,
// NORVReceiveError.log and NORVReceiveDebug.log.
#ifndef NORV_RECEIVE_RECEIVE_COMMAND_H_
#define NORV_RECEIVE_RECEIVE_COMMAND_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/settings.h"
#include "platform/file_system.h"
#include "receive/receiver.h"

namespace norv {

// Exit status for a configuration the receiver cannot run with (the
// service manager does not restart on it).
inline constexpr int kReceiveConfigError = 78;

// The receiver's configuration from the settings, reading the TLS files
// through `files`. nullopt and *error for a bad MLLPBind or MLLPAllow, a
// certificate without key (or the other way round), a trust file without
// certificate, or a file that cannot be read. An empty MLLPAllow allows
// loopback peers only; sizes and time-outs below 1 take their defaults.
std::optional<ReceiverConfig> ReceiverConfigFrom(const Settings& s, FileSystem& files,
                                                 std::string* error);

// The folder the receiver writes into: InboundPath, or with TCPRECEIVE the
// first export path. Empty when there is none.
std::string ReceiverFolder(const Settings& s);

// The receiver's counter file under the program directory.
std::string ReceiverCounterFile(const std::string& program_dir);

// The receiver's figures under the program directory, rewritten after each
// batch of answers that moved them: "duplicates <n>", the messages answered
// AA without being written again (sent again within MLLPDuplicateWindow),
// counted across restarts.
std::string ReceiverStatsFile(const std::string& program_dir);
// That count; nullopt when the file is missing or damaged.
std::optional<std::uint64_t> ReadReceiverDuplicates(FileSystem& files,
                                                    const std::string& program_dir);

struct ReceiveCheckLine {
  enum class Level { kOk, kInfo, kWarn, kFail };
  Level level;
  std::string text;
};

// The --check lines: each MLLP setting, and when MLLPPort is set whether the
// configuration is usable and the port can be bound now (WARN when it is in
// use, as it is while the receiver runs).
std::vector<ReceiveCheckLine> CheckReceiverSettings(const Settings& s, FileSystem& files);

// Loads the settings `source` names and runs the receiver with them until
// SIGTERM or SIGINT, then answers what it has received and returns 0.
// kReceiveConfigError when the settings file cannot be read, MLLPPort is 0,
// the configuration is unusable or another receiver holds the inbound
// folder; 1 when the port cannot be bound. Writes its logs
// (NORVReceiveError.log, NORVReceiveDebug.log) in `program_dir`/Logs and its
// counter file in `program_dir`; reads the TLS files and writes the logs
// through `files`.
// `open_sink`, when given, is called once with the loaded settings and the
// receiver's log, and may set the `received` and `answered` reports of the
// ReceiverLog it is handed.
using OpenReceivedSink = std::function<void(const Settings&, Log&, ReceiverLog&)>;
int RunReceiver(FileSystem& files, const SettingsSource& source, const std::string& program_dir,
                const OpenReceivedSink& open_sink = {});

}  // namespace norv

#endif  // NORV_RECEIVE_RECEIVE_COMMAND_H_
