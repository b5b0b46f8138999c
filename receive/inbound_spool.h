// Turns received messages into the service's inbound files: each message,
// unchanged, becomes the next numbered file "<n>.<suffix>" of the inbound
// folder, written under a temporary name, flushed, renamed into place and
// made durable by a folder sync before it counts as stored. The numbers grow
// across restarts through a counter file, so the service (which takes the
// smallest number first) sees the messages in the order they were stored.
// One spool per inbound folder, enforced by a lock file in that folder.
// Single-threaded; all file work goes through DurableFiles.
#ifndef NORV_RECEIVE_INBOUND_SPOOL_H_
#define NORV_RECEIVE_INBOUND_SPOOL_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/seen_messages.h"
#include "platform/durable_files.h"

namespace norv {

// The service takes only numbers below this (intake's kInboundNumberLimit;
// app/main.cc checks that the two agree).
inline constexpr std::int64_t kServiceNumberLimit = 5000000;
// The highest number the spool writes.
inline constexpr std::int64_t kLastSpoolNumber = kServiceNumberLimit - 1;
// From here on the spool starts again at 1 as soon as the folder holds no
// numbered file, so that a new 1 never overtakes a waiting higher number.
inline constexpr std::int64_t kSpoolWrapFrom = 4000000;
// Numbers reserved per counter-file update: a restart skips at most these.
inline constexpr std::int64_t kSpoolCounterBlock = 100;

struct SpoolConfig {
  std::string folder;        // the inbound folder (a trailing '/' is allowed)
  std::string suffix;        // FileSuffix, as the service compares it
  std::string counter_file;  // persistent counter, under the program directory
  // Seconds a stored message's key counts as seen (its record is the file
  // ".norvreceive.seen" in the folder); 0: no record is kept.
  std::int64_t duplicate_window = 0;
};

// The name of the record of stored messages in the inbound folder.
inline constexpr char kSpoolSeenName[] = ".norvreceive.seen";

// The number of an inbound file name: an optional sign and decimal digits,
// ".", and `suffix` (compared without regard to ASCII case), within the
// 32-bit range. nullopt for every other name.
std::optional<std::int64_t> InboundFileNumber(std::string_view name, std::string_view suffix);

class InboundSpool {
 public:
  struct Outcome {
    enum class Kind { kStored, kFailed, kWaiting };
    Kind kind = Kind::kFailed;
    std::int64_t number = 0;  // kStored: the file's number
    std::string file;         // kStored: its path
    std::string error;        // kFailed: why nothing was stored
  };

  // Takes the folder's lock file, removes temporary files an interrupted run
  // left, and sets the next number: the counter file's value, or one above
  // the highest numbered file in the folder when that is higher. nullptr and
  // *error when another spool holds the lock or the folder cannot be used.
  // *note tells about a counter file that was missing or unreadable.
  static std::unique_ptr<InboundSpool> Open(DurableFiles& files, const SpoolConfig& config,
                                            std::string* error, std::string* note);
  ~InboundSpool();
  InboundSpool(const InboundSpool&) = delete;
  InboundSpool& operator=(const InboundSpool&) = delete;

  // Stores the messages in order; one outcome per message, in order, and
  // each kStored file is durable when this returns. With a record, `keys`
  // (empty, or one SeenMessageKey per message, empty for none) are entered
  // in it in the same step: entered before the files are renamed into place,
  // and withdrawn for every file that was not, so that after a crash at any
  // point the record holds exactly the messages whose files were written. kFailed: nothing of
  // that message is left in the folder. kWaiting: the numbers have run up to
  // the last one while the folder still holds numbered files; that message
  // and every one after it in the call were not stored; try again later.
  std::vector<Outcome> Store(const std::vector<std::string_view>& messages,
                             const std::vector<std::string>& keys = {});

  // Whether a message of this key was stored within the window (false
  // without a record or key).
  bool Seen(const std::string& key) const;
  bool keeps_record() const { return seen_ != nullptr; }

  std::int64_t next_number() const { return next_; }
  const std::string& folder() const { return folder_; }

 private:
  InboundSpool(DurableFiles& files, const SpoolConfig& config);
  std::optional<std::int64_t> NextNumber();
  bool FolderHoldsNumberedFile();
  FsStatus Reserve(std::int64_t number);
  std::string TempName(std::uint64_t id) const;

  DurableFiles& files_;
  std::string folder_;  // with a trailing '/'
  std::string suffix_;
  std::string counter_file_;
  std::string temp_extension_;
  int lock_ = -1;
  std::int64_t next_ = 1;
  std::int64_t reserved_ = 0;  // the counter file's value: numbers below it are spoken for
  std::uint64_t temp_id_ = 0;
  std::unique_ptr<SeenMessages> seen_;
};

}  // namespace norv

#endif  // NORV_RECEIVE_INBOUND_SPOOL_H_
