#include "app/service_publisher.h"

#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>

#include "app/error.h"
#include "app/metrics.h"
#include "platform/atomic_file.h"

namespace norv {

std::string StateFilePath(const std::string& program_dir) {
  return program_dir + "/" + kStateFileName;
}

std::string MetricsFilePath(const std::string& metrics_file, const std::string& program_dir) {
  if (metrics_file.empty() || metrics_file.front() == '/') return metrics_file;
  return program_dir + "/" + metrics_file;
}

ServicePublisher::ServicePublisher(ServiceStateRecorder& recorder, const Settings& settings,
                                   std::string program_dir, std::string feed, ErrorSink report)
    : recorder_(recorder),
      settings_(settings),
      program_dir_(std::move(program_dir)),
      feed_(std::move(feed)),
      report_(std::move(report)) {}

void ServicePublisher::CarryOverEarlierRun() {
  try {
    std::ifstream in(StateFilePath(program_dir_), std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (auto earlier = ParseState(text)) recorder_.CarryOver(*earlier);
  } catch (...) {
  }
}

void ServicePublisher::Write(const std::string& path, const std::string& text, int mode,
                             bool& failed, const char* what) {
  FsStatus st = WriteFileAtomically(path, text, mode);
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

void ServicePublisher::Publish(std::uint64_t skipped_files) {
  try {
    std::vector<QueueFigures> queues;
    const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    for (const std::string& dir : InboundDirectories(settings_.InboundPath, settings_.ExportPathList)) {
      queues.push_back(ScanInboundQueue(dir, settings_.FileSuffix, now));
    }
    recorder_.SetQueues(std::move(queues), skipped_files);
    const ServiceState& state = recorder_.Snapshot();
    Write(StateFilePath(program_dir_), SerialiseState(state), -1, state_failed_, "state file");
    std::string metrics = MetricsFilePath(settings_.MetricsFile, program_dir_);
    // The collector runs as another user: the metrics carry no secrets.
    if (!metrics.empty()) Write(metrics, FormatMetrics(state, feed_), 0644, metrics_failed_, "metrics file");
  } catch (...) {
    // Publishing is a by-product; it must never disturb the alive tick.
  }
}

void ServicePublisher::PublishStopped() {
  try {
    recorder_.MarkStopped();
    const ServiceState& state = recorder_.Snapshot();
    Write(StateFilePath(program_dir_), SerialiseState(state), -1, state_failed_, "state file");
    std::string metrics = MetricsFilePath(settings_.MetricsFile, program_dir_);
    if (!metrics.empty()) Write(metrics, FormatMetrics(state, feed_), 0644, metrics_failed_, "metrics file");
  } catch (...) {
  }
}

}  // namespace norv
