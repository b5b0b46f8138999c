// The state record the running service publishes for `norvreader --status`
// and for the metrics file: who runs (pid, start), whether the loop turns
// (last processing tick, last heartbeat), what it handled (messages per event
// and outcome today, this ISO week and since the start, with a histogram of
// the time each took), the queue per inbound directory, and the database
// errors it met. The service keeps one ServiceStateRecorder on the loop's
// thread and rewrites the record's file, "<program dir>/NORVReader.NN.state",
// on every alive tick (a small line-oriented text; see SerialiseState).
#ifndef NORV_OPERATIONS_SERVICE_STATE_H_
#define NORV_OPERATIONS_SERVICE_STATE_H_

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "operations/queue_summary.h"
#include "intake/events.h"
#include "platform/system.h"

namespace norv {

// The message events counted under their own name. Any other MSH-9 counts
// as "other"; a file whose event could not be read (no header, unreadable)
// as "unknown". The label set stays fixed whatever senders put in MSH-9.
inline constexpr std::array<std::string_view, 8> kCountedEvents = {
    "ADT^A08", "ADT^A40", "ADT^A47", "ORM^O01", "OMG^O19", "ORU^R01", "other", "unknown"};
std::string_view CountedEventOf(std::string_view msh9);

// Outcome (intake/events.h) indexes the {processed, failed} pairs below.
std::string_view OutcomeName(Outcome outcome);  // "processed", "failed"

// Messages per counted event; each entry holds {processed, failed}.
struct EventCounts {
  std::map<std::string, std::array<std::uint64_t, 2>, std::less<>> by_event;
  void Add(std::string_view event, Outcome outcome);
  std::uint64_t Of(std::string_view event, Outcome outcome) const;
  std::uint64_t Total(Outcome outcome) const;
  bool operator==(const EventCounts&) const = default;
};

// Upper bounds in seconds of the processing-time histogram; one more bucket
// takes everything above the last bound.
inline constexpr std::array<double, 13> kProcessingBounds = {
    0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10};

struct ServiceState {
  std::int64_t pid = 0;
  std::string version;
  // Unix seconds; 0 = not yet.
  std::int64_t started = 0;
  std::int64_t written = 0;  // when this record was published
  std::int64_t stopped = 0;  // set by a clean stop
  std::int64_t last_tick = 0;
  std::int64_t last_heartbeat = 0;
  std::uint64_t ticks = 0;
  std::uint64_t heartbeats = 0;
  std::string day;   // "YYYY-MM-DD" (local) that `today` belongs to
  std::string week;  // "YYYY-WW" (ISO week) that `this_week` belongs to
  EventCounts today;
  EventCounts this_week;
  EventCounts total;  // since the start of this process
  // Per bucket (not cumulative); the last entry is above the last bound.
  std::array<std::uint64_t, kProcessingBounds.size() + 1> processing_buckets{};
  double processing_seconds = 0;  // sum over all messages
  std::vector<QueueFigures> queues;
  // Inbound files the cycle reported as unusable since the start (each once:
  // no file number, attributes or emptiness it could not deal with).
  std::uint64_t skipped_files = 0;
  // Files processed (or failed) that could not be moved out of the inbound
  // directory: they stay there and are not taken again until they change.
  std::uint64_t undisposable_files = 0;
  std::uint64_t database_errors = 0;
  std::uint64_t database_outages = 0;  // runs of transient errors (unreachable, lock time-out)
  bool database_outage_open = false;
  // With MLLPPort set, the MLLP receiver's count of messages answered
  // without being written again (its own figure, read for the metrics; not
  // part of the record).
  std::optional<std::uint64_t> receive_duplicates;

  bool operator==(const ServiceState&) const = default;
};

// The record as text: a first line "norvreader-state 1", then one
// "key value..." line per item. Texts that may hold blanks come last on
// their line; backslash, CR and LF are escaped.
std::string SerialiseState(const ServiceState& state);
// Reads SerialiseState's text back; nullopt when it is not such a record or
// a line is damaged. Keys it does not know are skipped.
std::optional<ServiceState> ParseState(std::string_view text);

// A point in time as the record needs it.
struct Moment {
  std::int64_t unix_seconds = 0;
  LocalDateTime local;
};
using MomentClock = std::function<Moment()>;
// time() and LocalNow().
Moment SystemMoment();

std::string DayText(const LocalDateTime& t);  // "YYYY-MM-DD"

// Keeps the record while the service runs. The today and week counts start
// afresh when the local day or the ISO week changes. Single-threaded.
class ServiceStateRecorder {
 public:
  ServiceStateRecorder(std::int64_t pid, std::string version, MomentClock clock = SystemMoment);

  // Takes over the today and week counts of the record an earlier run of
  // this instance left, where they belong to the current day and week.
  void CarryOver(const ServiceState& earlier);

  // One message taken and disposed of; `event` is its MSH-9 (empty when it
  // could not be read).
  void RecordMessage(std::string_view event, Outcome outcome, double seconds);
  // One processing tick ran (with or without a file).
  void RecordTick();
  // One heartbeat was sent.
  void RecordHeartbeat();
  // A database error; `transient` when the database was unreachable or a
  // lock timed out. A transient error after a good database answer opens an
  // outage; RecordDatabaseReachable or a processed message closes it.
  void RecordDatabaseError(bool transient);
  void RecordDatabaseReachable();
  void SetQueues(std::vector<QueueFigures> queues, std::uint64_t skipped_files,
                 std::uint64_t undisposable_files);

  // The record now (the day and week rolled over, `written` set).
  const ServiceState& Snapshot();
  void MarkStopped();

 private:
  void Roll(const Moment& now);
  ServiceState state_;
  MomentClock clock_;
};

}  // namespace norv

#endif  // NORV_OPERATIONS_SERVICE_STATE_H_
