// A durable record of the messages seen recently, by their key (sending
// application, sending facility and message control id, MSH-3/4/10, and the
// digest of the bytes), that tells a message sent again from a new one. The MLLP receiver keeps one
// beside its spool, the service one for its inbound files.
//
// One append-only text file, one line per event:
//   "<seconds since 1970> <tag> <key>"  an entry; tag "-" or the name of
//                                       the temporary file it waits for
//   "! <tag>"                           the entry of that tag is withdrawn
// An entry with a tag stands for a message whose file is being written:
// when the record is opened again, `unwritten(tag)` decides whether that
// happened (the spool: the temporary file is gone, so it was renamed into
// place). Opening rewrites the file with every entry resolved ("-"), so a
// tag is unique in the file.
//
// Bounded: entries older than the window are forgotten, and at most `bound`
// entries are kept (kSeenMessagesBound unless told; the oldest go first).
// Single-threaded.
#ifndef NORV_CORE_SEEN_MESSAGES_H_
#define NORV_CORE_SEEN_MESSAGES_H_

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/durable_files.h"

namespace norv {

inline constexpr std::size_t kSeenMessagesBound = 100000;

// The key of a message: its MSH-3, MSH-4 and MSH-10 as received, escaped so
// that it fits one line, and a 64-bit digest of all its bytes: a sender that
// repeats a message repeats it byte for byte, while a different message
// under a reused control id must never be taken for it (that would lose
// it). Empty when the control id is empty or blank: such a message is never
// taken for one seen before.
std::string SeenMessageKey(std::string_view application, std::string_view facility,
                           std::string_view control_id, std::string_view message);

class SeenMessages {
 public:
  struct Entry {
    std::string key;
    std::string tag = "-";
  };

  // Reads the record (a missing file is an empty record), resolves tagged
  // entries through `unwritten`, forgets what is older than the window and
  // rewrites the file. nullptr and *error when the file cannot be read or
  // rewritten. *dropped counts lines that could not be read (a line torn by
  // a power loss).
  static std::unique_ptr<SeenMessages> Open(
      DurableFiles& files, const std::string& path, std::int64_t window_seconds,
      std::int64_t now, const std::function<bool(const std::string& tag)>& unwritten,
      std::string* error, std::size_t* dropped = nullptr, std::size_t bound = kSeenMessagesBound);

  // Whether `key` was added within the window before `now`.
  bool Contains(const std::string& key, std::int64_t now) const;
  // Adds the entries at `now`; they are on disk when this returns ok (with
  // `flush` false: once Flush has returned ok). On failure none of them
  // counts as seen.
  FsStatus Add(const std::vector<Entry>& entries, std::int64_t now, bool flush = true);
  FsStatus Flush();
  // Withdraws entries added before (their message was not written after
  // all); on disk when this returns ok, forgotten in memory either way.
  FsStatus Withdraw(const std::vector<Entry>& entries);
  // Rewrites the file once it holds more than twice the lines it needs.
  // Only while no tagged entry waits for its file.
  FsStatus Tidy(std::int64_t now);

  ~SeenMessages();
  SeenMessages(const SeenMessages&) = delete;
  SeenMessages& operator=(const SeenMessages&) = delete;

  std::size_t size() const { return by_key_.size(); }
  const std::string& path() const { return path_; }

 private:
  struct Seen {
    std::int64_t time;
    std::uint64_t sequence;
  };
  struct Queued {
    std::int64_t time;
    std::uint64_t sequence;
    std::string key;
  };
  SeenMessages(DurableFiles& files, std::string path, std::int64_t window, std::size_t bound)
      : files_(files), path_(std::move(path)), window_(window), bound_(bound) {}
  void Remember(const std::string& key, std::int64_t time);
  void Forget(std::int64_t now);
  FsStatus Rewrite();
  FsStatus Append(const std::string& text, bool flush);

  DurableFiles& files_;
  std::string path_;
  std::int64_t window_;
  std::size_t bound_;
  std::unordered_map<std::string, Seen> by_key_;
  std::deque<Queued> order_;  // oldest first; entries no longer in by_key_ are skipped
  std::uint64_t sequence_ = 0;
  std::size_t lines_ = 0;  // lines in the file
  int log_ = -1;           // the file, open for appending (-1: not open)
};

}  // namespace norv

#endif  // NORV_CORE_SEEN_MESSAGES_H_
