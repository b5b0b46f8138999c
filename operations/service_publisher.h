// Publishes the running service's state record, and its metrics when the
// MetricsFile setting names a file, on every alive tick. Both files are
// replaced atomically through the file seam and are readable by everyone
// (0644: `--status` and the metrics collector run as other users; neither
// file holds a secret). Failures to write are reported once through the
// error sink until a write succeeds again, so a full disk does not fill the
// error log. Runs on the loop's thread.
#ifndef NORV_OPERATIONS_SERVICE_PUBLISHER_H_
#define NORV_OPERATIONS_SERVICE_PUBLISHER_H_

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "operations/service_state.h"
#include "core/settings.h"
#include "intake/inbound_queue.h"
#include "platform/file_system.h"

namespace norv {

// "<program_dir>/NORVReader.<instance>.state": one record per instance, as
// several instances may share a program directory.
std::string StateFilePath(const std::string& program_dir, const std::string& instance);
// The MetricsFile setting as a path: relative ones lie in the program
// directory; empty when unset.
std::string MetricsFilePath(const std::string& metrics_file, const std::string& program_dir);

class ServicePublisher {
 public:
  using ErrorSink = std::function<void(std::int32_t number, const std::string& description)>;

  // `settings` is read afresh at each call (it changes on reload). `feed`
  // is the instance number, the metrics' feed label. Every reference must
  // outlive the publisher.
  ServicePublisher(ServiceStateRecorder& recorder, const Settings& settings, FileSystem& fs,
                   std::string program_dir, std::string feed, ErrorSink report);

  // Takes over today's and this week's counts from the record an earlier run
  // left (a missing or damaged record is ignored).
  void CarryOverEarlierRun();
  // Counts the queue of every inbound directory, then writes the state file
  // and the metrics file with the cycle's figures of unusable and
  // undisposable files. A directory the cycle's `indexes` (when given) have
  // listed is counted from its index; any other is listed. Never throws.
  void Publish(std::uint64_t skipped_files, std::uint64_t undisposable_files,
               const std::map<std::string, std::unique_ptr<InboundQueue>>* indexes = nullptr);
  // Marks the record stopped and writes it once more. Never throws.
  void PublishStopped();

 private:
  void WriteBoth(const ServiceState& state);
  void Write(const std::string& path, const std::string& text, bool& failed, const char* what);

  ServiceStateRecorder& recorder_;
  const Settings& settings_;
  FileSystem& fs_;
  std::string program_dir_;
  std::string feed_;
  ErrorSink report_;
  bool state_failed_ = false;
  bool metrics_failed_ = false;
};

}  // namespace norv

#endif  // NORV_OPERATIONS_SERVICE_PUBLISHER_H_
