#include "operations/service_publisher.h"

#include <cstring>
#include <ctime>
#include <optional>

#include "operations/metrics.h"
#include "core/error.h"
#include "receive/receive_command.h"

namespace norv {
namespace {

// The state record and the metrics are read by other users' programs.
constexpr int kPublishedFileMode = 0644;

}  // namespace

std::string StateFilePath(const std::string& program_dir, const std::string& instance) {
  return program_dir + "/NORVReader." + instance + ".state";
}

std::string MetricsFilePath(const std::string& metrics_file, const std::string& program_dir) {
  if (metrics_file.empty() || metrics_file.front() == '/') return metrics_file;
  return program_dir + "/" + metrics_file;
}

ServicePublisher::ServicePublisher(ServiceStateRecorder& recorder, const Settings& settings,
                                   FileSystem& fs, std::string program_dir, std::string feed,
                                   ErrorSink report)
    : recorder_(recorder),
      settings_(settings),
      fs_(fs),
      program_dir_(std::move(program_dir)),
      feed_(std::move(feed)),
      report_(std::move(report)) {}

void ServicePublisher::CarryOverEarlierRun() {
  try {
    std::string text;
    if (!fs_.ReadWholeFile(StateFilePath(program_dir_, feed_), text).ok()) return;
    if (auto earlier = ParseState(text)) recorder_.CarryOver(*earlier);
  } catch (...) {
  }
}

void ServicePublisher::Write(const std::string& path, const std::string& text, bool& failed,
                             const char* what) {
  FsStatus st = fs_.WriteFileAtomically(path, text, {}, kPublishedFileMode);
  if (st.ok()) {
    failed = false;
    return;
  }
  if (failed) return;
  failed = true;
  if (report_) {
    report_(kErrPathFileAccess, std::string("Path/File access error: ") + std::strerror(st.error) +
                                    " (" + what + " " + path + ")");
  }
}

void ServicePublisher::WriteBoth(const ServiceState& state) {
  Write(StateFilePath(program_dir_, feed_), SerialiseState(state), state_failed_, "state file");
  std::string metrics = MetricsFilePath(settings_.MetricsFile, program_dir_);
  if (metrics.empty()) return;
  ServiceState figures = state;
  if (settings_.MLLPPort != 0) {
    figures.receive_duplicates = ReadReceiverDuplicates(fs_, program_dir_).value_or(0);
  }
  Write(metrics, FormatMetrics(figures, feed_), metrics_failed_, "metrics file");
}

void ServicePublisher::Publish(std::uint64_t skipped_files, std::uint64_t undisposable_files,
                               const std::map<std::string, std::unique_ptr<InboundQueue>>* indexes) {
  try {
    std::vector<QueueFigures> queues;
    const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    for (const std::string& dir : InboundDirectories(settings_.InboundPath, settings_.ExportPathList)) {
      // The alive tick must not grow with the backlog: the index knows it.
      std::optional<QueueFigures> indexed;
      if (indexes != nullptr) {
        auto it = indexes->find(dir);
        if (it != indexes->end() && it->second) indexed = IndexedQueueFigures(dir, *it->second, fs_, now);
      }
      queues.push_back(indexed ? *indexed : ScanInboundQueue(dir, settings_.FileSuffix, now));
    }
    recorder_.SetQueues(std::move(queues), skipped_files, undisposable_files);
    WriteBoth(recorder_.Snapshot());
  } catch (...) {
    // Publishing is a by-product; it must never disturb the alive tick.
  }
}

void ServicePublisher::PublishStopped() {
  try {
    recorder_.MarkStopped();
    WriteBoth(recorder_.Snapshot());
  } catch (...) {
  }
}

}  // namespace norv
