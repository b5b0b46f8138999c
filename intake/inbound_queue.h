// An index of one inbound directory's candidate files, so that choosing the
// next file costs about as much with 100,000 files pending as with ten.
//
// The choice is the inbound cycle's: among the files named
// <number>.<suffix> (the extension upper-cased before it is compared) whose
// attribute word is 0, the one with the smallest number below 5000000, the
// first listed on a tie. A file with a set attribute word gets it cleared and
// waits for a later choice; an empty file whose turn has come is deleted and
// the search goes on. How it is found:
// - the folder's names are listed without a look at any file; the numbers
//   are read from the names and the candidates kept in number order (listing
//   order on a tie);
// - only candidates are looked at, in that order, until one is taken;
// - the listing is kept from one choice to the next. With a complete watch
//   (Linux, local file system) the watch's reports keep it true, and it is
//   read again only when reports were lost, the folder was replaced, or a
//   name known only from a report ties with another. Without, it is read
//   again whenever the folder's stamp differs from the one it was taken
//   under, or that stamp had stood for less than `settle` when it was taken
//   (stamps are coarse: a second change in the same clock tick goes unseen),
//   or a candidate it lists has vanished.
// Files above the chosen number are not looked at for the choice, so an
// empty file there is dealt with when its turn comes. Their attribute words
// are cleared as the full scan clears them, but once per file and change
// rather than on every choice: every numbered file, those from 5000000 up
// included, is looked at once after the choice that first lists it, and
// again after the watch reports it changed. (Without a complete watch a
// change that keeps the name and the folder's listing is not seen: such a
// file is looked at again only when its turn comes.)
//
// Never logs: problems come back for the caller to report once per file.
#ifndef NORV_INTAKE_INBOUND_QUEUE_H_
#define NORV_INTAKE_INBOUND_QUEUE_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/dir_watch.h"
#include "platform/file_system.h"

namespace norv {

// Numbers from this one up are never taken.
inline constexpr std::int32_t kInboundNumberLimit = 5000000;

// What an inbound file's name says with the given (upper-case) suffix.
struct InboundName {
  enum Kind : std::uint8_t {
    kOther,       // another extension: not an inbound file
    kNumber,      // the base is a file number
    kNotANumber,  // the base is no decimal number (sign allowed)
    kOverflow,    // the base is decimal digits beyond the 32-bit range
  };
  Kind kind = kOther;
  std::int32_t number = 0;
};
// The extension is what follows the last full stop, or the whole name when
// it has none; the base is what precedes that full stop (empty without one).
InboundName ClassifyInboundName(std::string_view name, std::string_view suffix);

// A file the caller should report (once per file and process).
struct InboundProblem {
  enum Kind : std::uint8_t {
    kNotANumber,  // error: 0
    kOverflow,    // error: 0
    kAttributes,  // clearing the attribute word failed: error
    kEmptyFile,   // deleting the empty file failed: error
  };
  Kind kind;
  std::string path;
  int error = 0;  // errno value
};

struct InboundChoice {
  FsStatus status;   // why the folder could not be listed; nothing else is set then
  std::string path;  // the file to take (folder, separator, name); empty: none
  // The watch saw the file renamed into place or closed by its writer.
  bool arrived_complete = false;
  std::vector<InboundProblem> problems;
};

struct InboundQueueOptions {
  // How long a folder stamp must have stood before a listing taken under it
  // is trusted (watchless listing only).
  std::chrono::nanoseconds settle = std::chrono::seconds(2);
  // A listing this old is read again even though nothing says it changed;
  // zero: never.
  std::chrono::nanoseconds max_listing_age = std::chrono::seconds(60);
  // A steady clock; std::chrono::steady_clock when empty.
  std::function<std::chrono::nanoseconds()> clock;
};

// What the index holds of the waiting files (numbers below the limit).
struct InboundQueueSummary {
  std::size_t waiting = 0;
  std::int32_t highest = 0;  // 0 when none waits
  std::string next;          // path of the file next in line; empty when none
};

// Counters for tests, benchmarks and the debug log.
struct InboundQueueStats {
  std::uint64_t listings = 0;  // folder listings read
  std::uint64_t examined = 0;  // files looked at for a choice
  std::uint64_t swept = 0;     // files looked at for their attribute word alone
};

class InboundQueue {
 public:
  // `dir` as configured (a trailing separator is optional). `watch` may be
  // null; it is started at once and restarted by a listing when it ended.
  InboundQueue(FileSystem& fs, std::string dir, std::unique_ptr<DirWatch> watch,
               InboundQueueOptions options = {});
  InboundQueue(const InboundQueue&) = delete;
  InboundQueue& operator=(const InboundQueue&) = delete;

  // The file to take now, with `suffix` upper case as configured. When
  // `complete_skips_age` is set, a file that arrived complete (see
  // InboundChoice) does not wait for its archive bit to clear. A file that
  // would be taken but for which `skip` says true is passed over and the
  // search goes on. The chosen file stays in the index until it is gone
  // from the folder.
  InboundChoice Choose(const std::string& suffix, bool complete_skips_age = false,
                       const std::function<bool(const std::string& path)>& skip = nullptr);

  // The watch's descriptor for the message loop (-1: none), and the reading
  // of its reports between choices: returns how many candidate files arrived
  // complete (counted from the first choice on), a hint to choose at once.
  int watch_fd() const;
  std::size_t Poll();

  // What the index holds now, without a system call; nothing before the
  // first listing. As true as the last choice left it.
  std::optional<InboundQueueSummary> Summary() const;

  // Whether the listing is kept true by a complete watch.
  bool watched() const { return watched_; }
  const std::string& dir() const { return dir_; }
  const InboundQueueStats& stats() const { return stats_; }

 private:
  struct Key {
    std::int32_t number;
    std::uint32_t seq;  // listing order; names known from reports come last
    auto operator<=>(const Key&) const = default;
  };
  using Order = std::map<Key, std::string>;

  std::chrono::nanoseconds Now() const;
  void ReadStamp(std::chrono::nanoseconds now);
  bool NeedsListing(const std::string& suffix, std::chrono::nanoseconds now) const;
  FsStatus List(const std::string& suffix, std::chrono::nanoseconds now);
  std::size_t ReadWatch();
  void Add(const std::string& name);
  void Remove(const std::string& name);
  Order::iterator Erase(Order::iterator it);
  bool TieUnsure(Order::const_iterator first) const;
  void NoteNoNumber(const std::string& name, InboundName::Kind kind, bool regular);
  void ClearFreshAttributes();

  FileSystem& fs_;
  std::string dir_;
  std::string prefix_;  // dir_ with one trailing separator
  std::unique_ptr<DirWatch> watch_;
  InboundQueueOptions options_;
  InboundQueueStats stats_;

  // The candidates (number below the limit) in number order; by name as
  // well while a watch keeps them true.
  Order order_;
  std::unordered_map<std::string, Key> present_;
  bool listed_ = false;
  bool watched_ = false;
  bool relist_ = false;  // the watch lost reports or ended
  std::string listed_suffix_;
  std::uint32_t listed_count_ = 0;  // seq below this: from the listing
  std::uint32_t next_seq_ = 0;
  FolderStamp listed_stamp_;
  bool listed_trusted_ = false;
  std::chrono::nanoseconds listed_at_{0};

  // The folder's stamp as last read, and since when it has stood.
  bool have_stamp_ = false;
  FolderStamp stamp_;
  std::chrono::nanoseconds stamp_since_{0};

  // Numbered names (any number) whose attribute word was dealt with since
  // they last changed, with the listing that last saw them; and the names
  // still to be looked at.
  struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view name) const {
      return std::hash<std::string_view>{}(name);
    }
  };
  std::unordered_map<std::string, std::uint64_t, NameHash, std::equal_to<>> looked_;
  std::vector<std::string> fresh_;
  // Names the watch saw arrive complete and nothing since.
  std::unordered_set<std::string> complete_;
  // Names already reported as no file number.
  std::unordered_set<std::string> reported_;
  std::vector<InboundProblem> pending_problems_;
  std::vector<DirChange> changes_;
};

}  // namespace norv

#endif  // NORV_INTAKE_INBOUND_QUEUE_H_
