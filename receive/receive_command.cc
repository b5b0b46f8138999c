#include "receive/receive_command.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <tuple>

#include "core/error.h"
#include "core/log.h"
#include "net/lookup.h"
#include "net/network_env.h"
#include "net/socket_api.h"
#include "net/socket_errors.h"
#include "platform/event_loop.h"
#include "platform/service_notify.h"

namespace norv {
namespace {

constexpr char kLoopbackOnly[] = "127.0.0.0/8";
constexpr std::chrono::milliseconds kWatchdogInterval{5000};
constexpr std::chrono::milliseconds kShutdownLimit{10000};

std::string Quote(const std::string& s) { return "\"" + s + "\""; }

}  // namespace

std::string ReceiverFolder(const Settings& s) {
  if (s.InboundPath == "TCPRECEIVE") return s.ExportPathList.empty() ? "" : s.ExportPathList[0];
  return s.InboundPath;
}

std::string ReceiverCounterFile(const std::string& program_dir) {
  return program_dir + "/NORVReceive.counter";
}

std::string ReceiverStatsFile(const std::string& program_dir) {
  return program_dir + "/NORVReceive.stats";
}

std::optional<std::uint64_t> ReadReceiverDuplicates(FileSystem& files,
                                                    const std::string& program_dir) {
  std::string text;
  if (!files.ReadWholeFile(ReceiverStatsFile(program_dir), text).ok()) return std::nullopt;
  constexpr std::string_view kKey = "duplicates ";
  if (text.rfind(kKey, 0) != 0) return std::nullopt;
  std::uint64_t n = 0;
  const char* end = text.data() + text.size();
  auto r = std::from_chars(text.data() + kKey.size(), end, n);
  if (r.ec != std::errc() || r.ptr == end || *r.ptr != '\n') return std::nullopt;
  return n;
}

std::optional<ReceiverConfig> ReceiverConfigFrom(const Settings& s, FileSystem& files,
                                                 std::string* error) {
  ReceiverConfig c;
  c.port = static_cast<std::uint16_t>(s.MLLPPort & 0xFFFF);
  std::optional<std::uint32_t> bind = ParseDottedAddress(s.MLLPBind);
  if (!bind) {
    *error = "MLLPBind " + Quote(s.MLLPBind) + " is no IPv4 address";
    return std::nullopt;
  }
  c.bind_address = *bind;
  std::string bad;
  auto allow = AddressAllowList::Parse(s.MLLPAllow.empty() ? kLoopbackOnly : s.MLLPAllow, &bad);
  if (!allow || allow->empty()) {
    *error = "MLLPAllow " + Quote(s.MLLPAllow) + ": " + Quote(bad) +
             " is no address or CIDR range";
    return std::nullopt;
  }
  c.allow = *allow;
  if (s.MLLPMaxMessage > 0) c.max_message = static_cast<std::size_t>(s.MLLPMaxMessage);
  if (s.MLLPIdleTimeout > 0) c.idle_timeout = std::chrono::seconds(s.MLLPIdleTimeout);
  if (s.MLLPMaxConnections > 0) c.max_connections = static_cast<std::size_t>(s.MLLPMaxConnections);
  if (s.MLLPMaxPerPeer > 0) c.max_per_peer = static_cast<std::size_t>(s.MLLPMaxPerPeer);
  c.duplicate_window_hours = std::max<std::int32_t>(s.MLLPDuplicateWindow, 0);

  if (s.MLLPTLSCert.empty() != s.MLLPTLSKey.empty()) {
    *error = "TLS needs both MLLPTLSCert and MLLPTLSKey";
    return std::nullopt;
  }
  if (!s.MLLPTLSCA.empty() && s.MLLPTLSCert.empty()) {
    *error = "MLLPTLSCA needs MLLPTLSCert and MLLPTLSKey";
    return std::nullopt;
  }
  for (auto [name, path, target] : {std::tuple{"MLLPTLSCert", &s.MLLPTLSCert, &c.tls_certificate},
                                    std::tuple{"MLLPTLSKey", &s.MLLPTLSKey, &c.tls_key},
                                    std::tuple{"MLLPTLSCA", &s.MLLPTLSCA, &c.tls_client_ca_file}}) {
    if (path->empty()) continue;
    // The file seam never reads through a symbolic link, but these paths are
    // the administrator's own choice, and certificate tools commonly hand
    // out links to the current files: the link is resolved here, once.
    std::error_code ec;
    const std::filesystem::path real = std::filesystem::canonical(*path, ec);
    std::string bytes;
    FsStatus st = files.ReadWholeFile(ec ? *path : real.string(), bytes);
    if (!st.ok() || bytes.empty()) {
      *error = std::string(name) + " " + *path + ": cannot be read" +
               (st.ok() ? " (empty)" : ": " + std::generic_category().message(st.error));
      return std::nullopt;
    }
    // The trust file is handed over by name; certificate and key as text.
    *target = target == &c.tls_client_ca_file ? *path : bytes;
  }
  return c;
}

std::vector<ReceiveCheckLine> CheckReceiverSettings(const Settings& s, FileSystem& files) {
  using Level = ReceiveCheckLine::Level;
  std::vector<ReceiveCheckLine> lines;
  auto setting = [&](const char* name, const std::string& value) {
    lines.push_back({Level::kInfo, std::string("setting ") + name + " = " + Quote(value)});
  };
  setting("MLLPPort", std::to_string(s.MLLPPort));
  setting("MLLPBind", s.MLLPBind);
  setting("MLLPAllow", s.MLLPAllow);
  setting("MLLPTLSCert", s.MLLPTLSCert);
  setting("MLLPTLSKey", s.MLLPTLSKey);
  setting("MLLPTLSCA", s.MLLPTLSCA);
  setting("MLLPMaxMessage", std::to_string(s.MLLPMaxMessage));
  setting("MLLPIdleTimeout", std::to_string(s.MLLPIdleTimeout));
  setting("MLLPDuplicateWindow", std::to_string(s.MLLPDuplicateWindow));
  setting("MLLPMaxConnections", std::to_string(s.MLLPMaxConnections));
  setting("MLLPMaxPerPeer", std::to_string(s.MLLPMaxPerPeer));
  if ((s.MLLPPort & 0xFFFF) == 0) {
    lines.push_back({Level::kInfo, "MLLP receiver: off (MLLPPort is 0)"});
    return lines;
  }
  std::string error;
  std::optional<ReceiverConfig> c = ReceiverConfigFrom(s, files, &error);
  if (!c) {
    lines.push_back({Level::kFail, "MLLP receiver: " + error});
    return lines;
  }
  std::string where = DottedAddress(c->bind_address) + ":" + std::to_string(c->port);
  lines.push_back({Level::kInfo, "MLLP receiver: " + where + (c->tls_certificate.empty()
                       ? std::string(", plain TCP")
                       : c->tls_client_ca_file.empty() ? ", TLS" : ", TLS with client certificates") +
                   ", peers " + c->allow.Text() + ", into " + Quote(ReceiverFolder(s))});
  if (ReceiverFolder(s).empty()) {
    lines.push_back({Level::kFail, "MLLP receiver: no inbound directory to write into"});
  }
  // Whether the port can be bound now: a trial bind, released at once.
  ScopedNetwork network;
  int fd = netsys::CreateSocket(false, true);
  if (fd < 0) {
    lines.push_back({Level::kFail, "MLLP port " + where + ": no socket: " +
                                       SocketErrorText(netsys::LastSocketError())});
    return lines;
  }
  netsys::SetReuseAddress(fd);
  if (netsys::Bind(fd, c->bind_address, c->port)) {
    lines.push_back({Level::kOk, "MLLP port " + where + ": can be bound"});
  } else {
    int e = netsys::LastSocketError();
    bool in_use = e == netsys::WsaErrorFromSystem(EADDRINUSE);
    lines.push_back({in_use ? Level::kWarn : Level::kFail,
                     "MLLP port " + where + ": " + SocketErrorText(e) +
                         (in_use ? " (is the receiver running already?)" : "")});
  }
  netsys::Close(fd);
  return lines;
}

int RunReceiver(FileSystem& files, const SettingsSource& source, const std::string& program_dir,
                const OpenReceivedSink& open_sink) {
  Settings s;
  const std::string settings_problem = LoadSettings(source, s);
  Log file_log(files, program_dir, s, LocalNow, {"NORVReceiveError.log", "NORVReceiveDebug.log"});
  ReceiverLog log;
  log.error = [&file_log](std::int32_t number, const std::string& text, const std::string& origin) {
    file_log.WriteErrorLog(number, text, origin);
  };
  log.debug = [&file_log](const std::string& text) { file_log.DebugLog(text); };
  auto fail = [&](int status, const std::string& text) {
    log.error(-1, text, "MLLPReceiver");
    std::fprintf(stderr, "norvreader --receive: %s\n", text.c_str());
    return status;
  };

  // Every value would take its default, and MLLPPort's is 0: say why.
  if (!settings_problem.empty()) {
    return fail(kReceiveConfigError, "the settings file " + source.file + ": " + settings_problem);
  }
  if ((s.MLLPPort & 0xFFFF) == 0) return fail(kReceiveConfigError, "MLLPPort is 0: the receiver is off");
  std::string error;
  std::optional<ReceiverConfig> config = ReceiverConfigFrom(s, files, &error);
  if (!config) return fail(kReceiveConfigError, error);
  std::string folder = ReceiverFolder(s);
  if (folder.empty()) return fail(kReceiveConfigError, "no inbound directory to write into");

  std::string note;
  std::unique_ptr<InboundSpool> spool = InboundSpool::Open(
      PlatformDurableFiles(),
      {folder, s.FileSuffix, ReceiverCounterFile(program_dir), config->duplicate_window_hours * 3600},
      &error, &note);
  if (!spool) return fail(kReceiveConfigError, error);
  if (!note.empty()) log.debug(note);

  if (open_sink) open_sink(s, file_log, log);
  EventLoop loop;
  loop.SetUncaughtHandler([&log](const char* what) { log.error(5, what, "MLLPReceiver"); });
  // After each batch of answers the duplicates count is published when it
  // moved (duplicates are rare; a count kept only now and then would be lost
  // to a crash).
  std::function<void()> publish_count;
  log.answered = [then = log.answered, &publish_count] {
    if (then) then();
    if (publish_count) publish_count();
  };
  Receiver receiver(loop, *config, *spool, log);
  if (!receiver.Start(&error)) return fail(1, error);
  loop.HandleSignals(nullptr);
  EventLoop::TimerId watchdog = loop.AddTimer(kWatchdogInterval, NotifyWatchdog);
  // The duplicates count goes on from an earlier run's (readable by --status
  // and the service's metrics).
  const std::uint64_t earlier = ReadReceiverDuplicates(files, program_dir).value_or(0);
  std::optional<std::uint64_t> published;
  bool write_failed = false;  // told once until a write succeeds
  auto publish = [&] {
    const std::uint64_t now = earlier + receiver.duplicates();
    if (published == now) return;
    FsStatus st = files.WriteFileAtomically(ReceiverStatsFile(program_dir),
                                            "duplicates " + std::to_string(now) + "\n", {}, 0644);
    if (st.ok()) published = now;
    if (!st.ok() && !write_failed) {
      log.error(kErrPathFileAccess, "cannot write " + ReceiverStatsFile(program_dir) + ": " +
                                        std::generic_category().message(st.error),
                "MLLPReceiver");
    }
    write_failed = !st.ok();
  };
  publish();
  publish_count = publish;
  std::string where = DottedAddress(config->bind_address) + ":" + std::to_string(receiver.port());
  log.debug("MLLP receiver on " + where + " into " + folder + ", next number " +
            std::to_string(spool->next_number()) +
            (spool->keeps_record() ? ", duplicates within " +
                 std::to_string(config->duplicate_window_hours) + " h answered without writing"
                                   : ", no duplicate record (MLLPDuplicateWindow 0)"));
  std::printf("norvreader: receiving MLLP on %s into %s\n", where.c_str(), folder.c_str());
  std::fflush(stdout);
  NotifyReady();
  loop.Run();
  NotifyStopping();
  loop.RemoveTimer(watchdog);
  receiver.Shutdown(kShutdownLimit);
  publish();
  log.debug("MLLP receiver stopped");
  return 0;
}

}  // namespace norv
