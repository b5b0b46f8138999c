// The message journal: one record per message the service takes (when, the
// file and where it went, the header's and the handlers' values, the
// outcome, the first error lines, what it changed) and one per message the
// MLLP receiver answers (peer, control id, answer, the file it wrote), so a
// message can be followed from the socket to the database. An embedded
// SQLite file per instance in the program directory,
// "NORVReader.<NN>.journal", in WAL mode so `norvreader --trace` reads while
// the service and the receiver write; mode 0600, as it holds patient data.
// Texts are stored as UTF-8.
#ifndef NORV_OPERATIONS_JOURNAL_H_
#define NORV_OPERATIONS_JOURNAL_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/repeat_limiter.h"
#include "core/settings.h"
#include "intake/inbound_cycle.h"
#include "receive/receiver.h"

struct sqlite3;

namespace norv {

struct JournalRecord {
  enum class Kind { kTaken, kReceived };
  std::int64_t id = 0;  // given by the journal
  Kind kind = Kind::kTaken;
  std::int64_t at = 0;               // Unix seconds: taken, or answered by the receiver
  std::int64_t finished = 0;         // taken: done with
  std::string file;                  // the inbound file (taken, or written by the receiver)
  std::string disposal;              // taken: "deleted", the week-folder path, or empty
  std::string peer, answer, reason;  // received
  std::string sending_application, sending_facility, event, control_id;
  std::vector<std::string> patient_ids, accessions, order_controls;
  std::string outcome;  // taken: "processed", "failed" or "held" (a database outage)
  std::vector<std::string> error_lines;
  std::int64_t more_error_lines = 0;
  std::vector<std::string> changes;
  double seconds = 0;
  bool operator==(const JournalRecord&) const = default;
};

// The record of a file the cycle took, and of a message the receiver
// answered (texts converted from Windows-1252).
JournalRecord RecordOfTaken(const TakenFile& taken);
JournalRecord RecordOfReceived(const ReceivedMessage& received);

// "<program_dir>/NORVReader.<instance>.journal".
std::string JournalPath(const std::string& program_dir, const std::string& instance);

class Journal {
 public:
  // Opens the journal at `path`, creating it (mode 0600, never through a
  // symbolic link) when `create`. nullptr and *error when it cannot be
  // opened or is no journal.
  static std::unique_ptr<Journal> Open(const std::string& path, bool create, std::string* error);
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // Each returns false (or nullopt) with *error when the journal fails.
  // Adds `records` in one transaction (all or none); their ids are given
  // back in each record's id.
  bool Add(std::vector<JournalRecord>& records, std::string* error);
  // Removes at most `limit` of the oldest records answered or taken before
  // `before`; the number removed.
  std::optional<int> Prune(std::int64_t before, int limit, std::string* error);
  // The records since `since` whose patient id, accession number, control
  // id or file (inbound file, disposal path, or either's name) equals
  // `text`, oldest first.
  std::optional<std::vector<JournalRecord>> Find(std::string_view text, std::int64_t since,
                                                 std::string* error);
  // The messages that failed since `since`, oldest first: taken and failed,
  // or refused by the receiver (answered AE or AR).
  std::optional<std::vector<JournalRecord>> Failed(std::int64_t since, std::string* error);
  // The receiver record that brought `taken` (same file, answered before it
  // was taken, the latest such), and the other way round the first record
  // of the file taken after `received` was answered.
  // Record `id`; nullopt when there is none (or the journal fails).
  std::optional<JournalRecord> Record(std::int64_t id);
  std::optional<JournalRecord> ReceivedBefore(const JournalRecord& taken);
  std::optional<JournalRecord> TakenAfter(const JournalRecord& received);

 private:
  explicit Journal(sqlite3* db) : db_(db) {}
  std::optional<std::vector<JournalRecord>> Select(const std::string& where,
                                                   const std::vector<std::string>& texts,
                                                   const std::vector<std::int64_t>& numbers,
                                                   std::string* error);
  sqlite3* db_;
};

// The writing side for the service and the receiver: opens the journal on
// the first record, writes while the JournalDays setting is above 0 and
// prunes records older than JournalDays days in small steps. Records are
// gathered and written together, one transaction for up to kBatch of them
// or for what is at least a second old (FlushIfDue), so a busy queue does
// not pay a commit per message; a crash loses at most that second's records,
// never a message. A journal that cannot be opened or written never stops
// anything: the records are lost, the failure is told to `problem` once,
// then at most once a minute, and the journal is opened afresh after a
// minute.
class JournalWriter {
 public:
  static constexpr std::size_t kBatch = 100;
  using Problem = std::function<void(const std::string& line)>;
  JournalWriter(std::string path, const Settings& settings, Problem problem);
  // Writes what is gathered.
  ~JournalWriter();

  void Write(JournalRecord record);
  // Writes what is gathered now, or when its oldest record waits for a
  // second (called after every processing tick).
  void Flush();
  void FlushIfDue();
  // One pruning step (the alive tick), after writing what is gathered: at
  // most `limit` records.
  void Prune(std::int64_t now, int limit = 500);

 private:
  Journal* Get();
  void Failed(const std::string& what);
  void Tell(const std::vector<std::string>& lines);

  std::string path_;
  const Settings& settings_;
  Problem problem_;
  std::unique_ptr<Journal> journal_;
  std::vector<JournalRecord> pending_;
  RepeatLimiter::Clock::time_point first_pending_{};
  RepeatLimiter failures_;
  std::string last_problem_;
  RepeatLimiter::Clock::time_point retry_at_{};
};

}  // namespace norv

#endif  // NORV_OPERATIONS_JOURNAL_H_
