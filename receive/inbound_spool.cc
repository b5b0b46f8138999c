#include "receive/inbound_spool.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <set>
#include <system_error>

namespace norv {
namespace {

constexpr char kLockName[] = ".norvreceive.lock";
constexpr char kTempPrefix[] = ".mllp-";
// Renames that find the number taken (by another writer) before giving up.
constexpr int kRenameAttempts = 100;

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool SameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Upper(a[i]) != Upper(b[i])) return false;
  }
  return true;
}

std::int64_t NowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string BaseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

std::string ErrorText(int error) { return std::generic_category().message(error); }

std::optional<std::int64_t> ParseCounter(const std::string& text) {
  std::int64_t v = 0;
  std::size_t i = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    v = v * 10 + (text[i] - '0');
    if (v > kServiceNumberLimit) return std::nullopt;
  }
  if (i == 0 || (i < text.size() && text.substr(i) != "\n")) return std::nullopt;
  return v;
}

}  // namespace

std::optional<std::int64_t> InboundFileNumber(std::string_view name, std::string_view suffix) {
  std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || !SameIgnoringCase(name.substr(dot + 1), suffix)) {
    return std::nullopt;
  }
  std::string_view digits = name.substr(0, dot);
  bool negative = false;
  if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) {
    negative = digits[0] == '-';
    digits.remove_prefix(1);
  }
  if (digits.empty()) return std::nullopt;
  std::int64_t v = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + (c - '0');
    if (v > 2147483648LL) return std::nullopt;
  }
  v = negative ? -v : v;
  if (v > 2147483647LL) return std::nullopt;
  return v;
}

InboundSpool::InboundSpool(DurableFiles& files, const SpoolConfig& config)
    : files_(files), folder_(config.folder), suffix_(config.suffix),
      counter_file_(config.counter_file) {
  if (folder_.empty() || folder_.back() != '/') folder_ += '/';
  // The temporary name must never look like an inbound file.
  temp_extension_ = SameIgnoringCase(suffix_, "part") ? "partial" : "part";
}

InboundSpool::~InboundSpool() { files_.Unlock(lock_); }

std::unique_ptr<InboundSpool> InboundSpool::Open(DurableFiles& files, const SpoolConfig& config,
                                                 std::string* error, std::string* note) {
  std::unique_ptr<InboundSpool> spool(new InboundSpool(files, config));
  const std::string& folder = spool->folder_;
  if (config.suffix.empty()) {
    *error = "FileSuffix is not set: no file written could ever be taken";
    return nullptr;
  }
  FsStatus st = files.Lock(folder + kLockName, spool->lock_);
  if (st.error == EWOULDBLOCK) {
    *error = "another receiver already writes into " + folder + " (lock file " + kLockName + ")";
    return nullptr;
  }
  if (!st.ok()) {
    *error = "cannot lock " + folder + kLockName + ": " + ErrorText(st.error);
    return nullptr;
  }

  std::vector<std::string> names;
  st = files.List(folder, names);
  if (!st.ok()) {
    *error = "cannot list " + folder + ": " + ErrorText(st.error);
    return nullptr;
  }
  if (config.duplicate_window > 0) {
    // A tagged entry waits for its temporary file: still there, it was never
    // renamed into place (nor acknowledged); gone, it was.
    const std::set<std::string> present(names.begin(), names.end());
    spool->seen_ = SeenMessages::Open(
        files, folder + kSpoolSeenName, config.duplicate_window, NowSeconds(),
        [&present](const std::string& tag) { return present.count(tag) != 0; }, error);
    if (!spool->seen_) return nullptr;
  }
  std::int64_t highest = 0;
  for (const std::string& name : names) {
    if (name.rfind(kTempPrefix, 0) == 0 &&
        name.size() > spool->temp_extension_.size() + 1 &&
        name.compare(name.size() - spool->temp_extension_.size() - 1, std::string::npos,
                     "." + spool->temp_extension_) == 0) {
      // Never renamed, so never acknowledged: the sender sends it again.
      (void)files.Remove(folder + name);
      continue;
    }
    auto n = InboundFileNumber(name, config.suffix);
    if (n && *n < kServiceNumberLimit && *n > highest) highest = *n;
  }

  std::string text;
  st = files.Read(config.counter_file, text);
  std::optional<std::int64_t> counter = st.ok() ? ParseCounter(text) : std::nullopt;
  if (!counter) {
    *note = "counter file " + config.counter_file +
            (st.ok() ? " unreadable" : " " + ErrorText(st.error)) +
            ", numbering continues above the highest file in the folder";
  }
  spool->reserved_ = counter.value_or(0);
  spool->next_ = std::max<std::int64_t>({spool->reserved_, highest + 1, 1});
  return spool;
}

std::string InboundSpool::TempName(std::uint64_t id) const {
  return folder_ + kTempPrefix + std::to_string(id) + "." + temp_extension_;
}

bool InboundSpool::FolderHoldsNumberedFile() {
  std::vector<std::string> names;
  // A folder that cannot be listed may hold anything: do not start again.
  if (!files_.List(folder_, names).ok()) return true;
  for (const std::string& name : names) {
    auto n = InboundFileNumber(name, suffix_);
    if (n && *n < kServiceNumberLimit) return true;
  }
  return false;
}

std::optional<std::int64_t> InboundSpool::NextNumber() {
  // Near the end of the range, look now and then whether the folder is
  // empty; at the end, look every time and wait until it is.
  if (next_ >= kSpoolWrapFrom &&
      (next_ > kLastSpoolNumber || (next_ - kSpoolWrapFrom) % 64 == 0)) {
    if (!FolderHoldsNumberedFile()) {
      next_ = 1;
      reserved_ = 0;  // the counter file must come down with it
    } else if (next_ > kLastSpoolNumber) {
      return std::nullopt;
    }
  }
  return next_;
}

// Writes the counter file before a number beyond it is used, a block at a
// time, so that after a crash numbering resumes above every file written.
FsStatus InboundSpool::Reserve(std::int64_t number) {
  if (number < reserved_) return FsStatus{};
  std::int64_t value = number + kSpoolCounterBlock;
  if (FsStatus st = ReplaceDurably(files_, counter_file_, std::to_string(value) + "\n"); !st.ok()) {
    return st;
  }
  reserved_ = value;
  return FsStatus{};
}

bool InboundSpool::Seen(const std::string& key) const {
  return seen_ && seen_->Contains(key, NowSeconds());
}

std::vector<InboundSpool::Outcome> InboundSpool::Store(
    const std::vector<std::string_view>& messages, const std::vector<std::string>& keys) {
  using Kind = Outcome::Kind;
  std::vector<Outcome> outcomes(messages.size());
  std::vector<std::string> temps(messages.size());
  std::vector<int> open(messages.size(), -1);
  for (std::size_t i = 0; i < messages.size(); ++i) {
    temps[i] = TempName(++temp_id_);
    FsStatus st = files_.CreateNew(temps[i], messages[i], open[i]);
    if (!st.ok()) {
      outcomes[i].error = "cannot write " + temps[i] + ": " + ErrorText(st.error);
      temps[i].clear();
    }
  }

  // The keys go into the record before any file is renamed into place,
  // written before the files are flushed, so that the flushes go together.
  const std::int64_t now = NowSeconds();
  std::vector<SeenMessages::Entry> entered(messages.size());
  bool any_entered = false;
  if (seen_ && keys.size() == messages.size()) {
    std::vector<SeenMessages::Entry> add;
    for (std::size_t i = 0; i < messages.size(); ++i) {
      if (temps[i].empty() || keys[i].empty()) continue;
      entered[i] = {keys[i], BaseName(temps[i])};
      add.push_back(entered[i]);
    }
    FsStatus st = seen_->Add(add, now, false);
    any_entered = st.ok() && !add.empty();
    if (!st.ok()) {
      for (std::size_t i = 0; i < messages.size(); ++i) {
        if (entered[i].key.empty()) continue;
        outcomes[i].error = "cannot write the record " + seen_->path() + ": " + ErrorText(st.error);
        (void)files_.FinishNew(open[i]);
        (void)files_.Remove(temps[i]);
        temps[i].clear();
        entered[i] = {};
      }
    }
  }
  // Flushed: the files, then the record; a message that fails here goes the
  // way of one whose rename failed (its entry is withdrawn).
  std::vector<bool> unflushed(messages.size(), false);
  for (std::size_t i = 0; i < messages.size(); ++i) {
    if (temps[i].empty()) continue;
    if (FsStatus st = files_.FinishNew(open[i]); !st.ok()) {
      outcomes[i].error = "cannot write " + temps[i] + ": " + ErrorText(st.error);
      unflushed[i] = true;
    }
  }
  if (any_entered) {
    // The temporary names are made durable before the entries: after a power
    // loss an entry whose temporary file is gone must mean the file was
    // renamed into place, never that its creation was lost (the copy sent
    // again would be answered and not written). Where flushing a new file
    // commits its name as well (ext4, XFS) this costs next to nothing.
    FsStatus st = files_.SyncFolder(folder_);
    std::string what = "cannot sync " + folder_;
    if (st.ok()) {
      st = seen_->Flush();
      what = "cannot write the record " + seen_->path();
    }
    if (!st.ok()) {
      for (std::size_t i = 0; i < messages.size(); ++i) {
        if (entered[i].key.empty()) continue;
        outcomes[i].error = what + ": " + ErrorText(st.error);
        unflushed[i] = true;
      }
    }
  }
  // Entries whose file did not get into place are withdrawn before the file
  // goes; when that fails the temporary file stays, which tells the next
  // start that the message was not written.
  auto withdraw = [&](const std::vector<std::size_t>& which) {
    std::vector<SeenMessages::Entry> entries;
    for (std::size_t i : which) {
      if (!entered[i].key.empty()) entries.push_back(entered[i]);
    }
    return !seen_ || entries.empty() || seen_->Withdraw(entries).ok();
  };

  std::vector<std::size_t> renamed, unstored;
  bool waiting = false;
  for (std::size_t i = 0; i < messages.size(); ++i) {
    if (temps[i].empty()) continue;
    if (unflushed[i]) {
      unstored.push_back(i);
      continue;
    }
    Outcome& o = outcomes[i];
    for (int attempt = 0; !waiting && attempt < kRenameAttempts; ++attempt) {
      std::optional<std::int64_t> n = NextNumber();
      if (!n) {
        waiting = true;
        break;
      }
      FsStatus st = Reserve(*n);
      if (!st.ok()) {
        o.error = "cannot write the counter file " + counter_file_ + ": " + ErrorText(st.error);
        break;
      }
      std::string target = folder_ + std::to_string(*n) + "." + suffix_;
      st = files_.Rename(temps[i], target, false);
      next_ = *n + 1;
      if (st.ok()) {
        o.kind = Kind::kStored;
        o.number = *n;
        o.file = target;
        renamed.push_back(i);
        break;
      }
      o.error = "cannot rename " + temps[i] + " to " + target + ": " + ErrorText(st.error);
      if (st.error != EEXIST) break;
    }
    if (waiting) o.kind = Kind::kWaiting;
    if (o.kind != Kind::kStored) unstored.push_back(i);
  }
  if (withdraw(unstored)) {
    for (std::size_t i : unstored) (void)files_.Remove(temps[i]);
  }

  if (!renamed.empty()) {
    FsStatus st = files_.SyncFolder(folder_);
    if (!st.ok()) {
      // Not durable, so not stored: take the files back before the service
      // (which leaves files younger than a second alone) can see them.
      bool withdrawn = withdraw(renamed);
      for (std::size_t i : renamed) {
        if (withdrawn || !files_.Rename(outcomes[i].file, temps[i], false).ok()) {
          (void)files_.Remove(outcomes[i].file);
        }
        outcomes[i] = Outcome{};
        outcomes[i].error = "cannot sync " + folder_ + ": " + ErrorText(st.error);
      }
    }
  }
  if (seen_) (void)seen_->Tidy(now);
  return outcomes;
}

}  // namespace norv
