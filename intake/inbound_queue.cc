#include "intake/inbound_queue.h"

#include <errno.h>

#include <algorithm>
#include <optional>
#include <utility>

namespace norv {
namespace {

// The characters after the last full stop; the whole name without one.
std::string_view ExtensionOf(std::string_view name) {
  std::size_t dot = name.rfind('.');
  return dot == std::string_view::npos ? name : name.substr(dot + 1);
}

// The extension compared with the suffix: upper-cased, ASCII only.
bool SuffixMatches(std::string_view extension, std::string_view suffix) {
  if (extension.size() != suffix.size()) return false;
  for (std::size_t i = 0; i < extension.size(); ++i) {
    char c = extension[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != suffix[i]) return false;
  }
  return true;
}

// Whether a failed look at a candidate means it is no file to take at all
// (gone, or no regular file), rather than a passing failure.
bool NotAFile(int error) {
  return error == ENOENT || error == EINVAL || error == ENOTDIR || error == ELOOP;
}

}  // namespace

InboundName ClassifyInboundName(std::string_view name, std::string_view suffix) {
  std::string_view extension = ExtensionOf(name);
  if (!SuffixMatches(extension, suffix)) return {};
  std::string_view base = extension.size() == name.size()
                              ? std::string_view()
                              : name.substr(0, name.size() - extension.size() - 1);
  // Decimal digits with an optional sign, read to the end even past the
  // 32-bit range: a later non-digit still makes it no number at all.
  std::size_t i = 0;
  bool negative = false;
  if (i < base.size() && (base[i] == '+' || base[i] == '-')) negative = base[i++] == '-';
  if (i == base.size()) return {InboundName::kNotANumber, 0};
  std::int64_t value = 0;
  bool overflow = false;
  for (; i < base.size(); ++i) {
    char c = base[i];
    if (c < '0' || c > '9') return {InboundName::kNotANumber, 0};
    value = value * 10 + (c - '0');
    if (value > 2147483648LL) {
      overflow = true;
      value = 2147483648LL;
    }
  }
  if (negative) value = -value;
  if (overflow || value > 2147483647LL) return {InboundName::kOverflow, 0};
  return {InboundName::kNumber, static_cast<std::int32_t>(value)};
}

InboundQueue::InboundQueue(FileSystem& fs, std::string dir, std::unique_ptr<DirWatch> watch,
                           InboundQueueOptions options)
    : fs_(fs), dir_(std::move(dir)), watch_(std::move(watch)), options_(std::move(options)) {
  prefix_ = dir_;
  if (prefix_.empty() || prefix_.back() != '/') prefix_ += '/';
  // Started before any listing, and so that the loop can watch the
  // descriptor from the start; a failure is retried by each listing.
  if (watch_) (void)watch_->Start(dir_);
}

std::chrono::nanoseconds InboundQueue::Now() const {
  if (options_.clock) return options_.clock();
  return std::chrono::steady_clock::now().time_since_epoch();
}

int InboundQueue::watch_fd() const { return watch_ ? watch_->fd() : -1; }

std::size_t InboundQueue::Poll() { return ReadWatch(); }

void InboundQueue::ReadStamp(std::chrono::nanoseconds now) {
  FolderStamp stamp;
  if (!fs_.GetFolderStamp(dir_, stamp).ok()) {
    have_stamp_ = false;
    return;
  }
  if (!have_stamp_ || !(stamp == stamp_)) {
    stamp_ = stamp;
    stamp_since_ = now;
    have_stamp_ = true;
  }
}

bool InboundQueue::NeedsListing(const std::string& suffix, std::chrono::nanoseconds now) const {
  if (!listed_ || relist_ || suffix != listed_suffix_ || !have_stamp_) return true;
  // Another folder under the same path (replaced, or something mounted on
  // it) is news to the watch as well.
  if (stamp_.Device != listed_stamp_.Device || stamp_.Inode != listed_stamp_.Inode) return true;
  if (options_.max_listing_age.count() > 0 && now - listed_at_ >= options_.max_listing_age) {
    return true;
  }
  if (watched_) return !watch_->active();
  return !(stamp_ == listed_stamp_) || !listed_trusted_;
}

std::size_t InboundQueue::ReadWatch() {
  if (!watch_ || !watch_->active()) return 0;
  changes_.clear();
  if (watch_->Read(changes_) != DirWatch::ReadStatus::kOk) relist_ = true;
  const bool apply = watched_ && listed_ && !relist_;
  std::size_t arrived = 0;
  for (const DirChange& change : changes_) {
    // Any change but a removal may have set the attribute word again.
    looked_.erase(change.name);
    if (change.kind != DirChange::kRemoved &&
        ClassifyInboundName(change.name, listed_suffix_).kind == InboundName::kNumber) {
      fresh_.push_back(change.name);
    }
    switch (change.kind) {
      case DirChange::kArrived: {
        InboundName name = ClassifyInboundName(change.name, listed_suffix_);
        if (name.kind == InboundName::kNumber && name.number < kInboundNumberLimit) {
          complete_.insert(change.name);
          ++arrived;
        }
        if (apply) Add(change.name);
        break;
      }
      case DirChange::kCreated:
        complete_.erase(change.name);
        if (apply) Add(change.name);
        break;
      case DirChange::kModified:
        complete_.erase(change.name);
        break;
      case DirChange::kRemoved:
        complete_.erase(change.name);
        if (apply) Remove(change.name);
        break;
      case DirChange::kAttributes:
        break;
    }
  }
  return arrived;
}

FsStatus InboundQueue::List(const std::string& suffix, std::chrono::nanoseconds now) {
  // The watch runs before the listing starts, so every change the listing
  // may have missed is reported after it. Reports of earlier changes are
  // covered by the listing itself.
  if (watch_) {
    (void)ReadWatch();
    if (!watch_->active()) (void)watch_->Start(dir_);
    watched_ = watch_->active() && watch_->complete();
  }
  ReadStamp(now);
  order_.clear();
  present_.clear();
  listed_ = false;

  struct Odd {
    std::string name;
    InboundName::Kind kind;
    bool regular;
  };
  std::vector<std::pair<Key, std::string>> found;
  std::vector<Odd> odd;
  std::uint32_t seq = 0;
  const std::uint64_t listing = stats_.listings + 1;
  FsStatus st = fs_.ListNames(dir_, [&](std::string_view name, bool regular) {
    InboundName n = ClassifyInboundName(name, suffix);
    if (n.kind == InboundName::kNumber) {
      // A name that is new to the index has its attribute word looked at.
      if (auto known = looked_.find(name); known != looked_.end()) {
        known->second = listing;
      } else {
        fresh_.emplace_back(name);
      }
      if (n.number < kInboundNumberLimit) found.emplace_back(Key{n.number, seq++}, name);
    } else if (n.kind != InboundName::kOther) {
      odd.push_back(Odd{std::string(name), n.kind, regular});
    }
  });
  ++stats_.listings;
  if (!st.ok()) return st;
  std::erase_if(looked_, [listing](const auto& entry) { return entry.second != listing; });

  std::sort(found.begin(), found.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  if (watched_) present_.reserve(found.size());
  for (auto& [key, name] : found) {
    if (watched_) present_.emplace(name, key);
    order_.emplace_hint(order_.end(), key, std::move(name));
  }
  listed_ = true;
  relist_ = false;
  listed_suffix_ = suffix;
  listed_count_ = next_seq_ = seq;
  listed_stamp_ = stamp_;
  listed_trusted_ = have_stamp_ && now - stamp_since_ >= options_.settle;
  listed_at_ = now;
  for (const Odd& o : odd) NoteNoNumber(o.name, o.kind, o.regular);
  return {};
}

void InboundQueue::Add(const std::string& name) {
  InboundName n = ClassifyInboundName(name, listed_suffix_);
  if (n.kind == InboundName::kOther) return;
  if (n.kind != InboundName::kNumber) {
    NoteNoNumber(name, n.kind, false);
    return;
  }
  if (n.number >= kInboundNumberLimit || present_.count(name) != 0) return;
  Key key{n.number, next_seq_++};
  present_.emplace(name, key);
  order_.emplace(key, name);
}

void InboundQueue::Remove(const std::string& name) {
  auto found = present_.find(name);
  if (found == present_.end()) return;
  order_.erase(found->second);
  present_.erase(found);
}

InboundQueue::Order::iterator InboundQueue::Erase(Order::iterator it) {
  if (watched_) present_.erase(it->second);
  return order_.erase(it);
}

bool InboundQueue::TieUnsure(Order::const_iterator first) const {
  // Where a name known only from a report lies in the listing order, only a
  // listing tells; that matters when another name has the same number.
  std::size_t count = 0;
  bool reported = false;
  for (auto it = first; it != order_.end() && it->first.number == first->first.number; ++it) {
    ++count;
    reported = reported || it->first.seq >= listed_count_;
  }
  return count > 1 && reported;
}

void InboundQueue::ClearFreshAttributes() {
  for (const std::string& name : fresh_) {
    if (looked_.count(name) != 0) continue;  // listed and reported alike
    const std::string path = prefix_ + name;
    FileInfo info;
    ++stats_.swept;
    if (!fs_.StatFile(path, info).ok()) continue;
    // Only the read-only bit can be cleared; the archive bit clears itself
    // as the file ages.
    if ((info.Attributes & kAttrReadOnly) != 0) {
      if (FsStatus set = fs_.SetAttributes(path, 0); !set.ok()) {
        pending_problems_.push_back(InboundProblem{InboundProblem::kAttributes, path, set.error});
      }
    }
    looked_.emplace(name, stats_.listings);
  }
  fresh_.clear();
}

void InboundQueue::NoteNoNumber(const std::string& name, InboundName::Kind kind, bool regular) {
  if (reported_.count(name) != 0) return;
  std::string path = prefix_ + name;
  // Only files are reported; a link to a folder is none.
  FileInfo info;
  if (!regular && !fs_.StatFile(path, info).ok()) return;
  reported_.insert(name);
  pending_problems_.push_back(InboundProblem{
      kind == InboundName::kOverflow ? InboundProblem::kOverflow : InboundProblem::kNotANumber,
      std::move(path), 0});
}

InboundChoice InboundQueue::Choose(const std::string& suffix, bool complete_skips_age,
                                   const std::function<bool(const std::string& path)>& skip) {
  InboundChoice out;
  const std::chrono::nanoseconds now = Now();
  (void)ReadWatch();
  ReadStamp(now);
  bool relisted = false;
  auto relist = [&]() {
    relisted = true;
    out.status = List(suffix, now);
    return out.status.ok();
  };
  if (NeedsListing(suffix, now) && !relist()) {
    out.problems = std::move(pending_problems_);
    pending_problems_.clear();
    return out;
  }

  std::optional<std::int32_t> checked_number;
  for (auto it = order_.begin(); it != order_.end();) {
    if (watched_ && !relisted && checked_number != it->first.number) {
      checked_number = it->first.number;
      if (TieUnsure(it)) {
        if (!relist()) break;
        it = order_.begin();
        continue;
      }
    }
    const std::string path = prefix_ + it->second;
    FileInfo info;
    FsStatus looked = fs_.StatFile(path, info);
    ++stats_.examined;
    if (!looked.ok()) {
      if (looked.error == ENOENT && !watched_ && !relisted) {
        // Gone although the stamp said nothing changed: read afresh.
        if (!relist()) break;
        it = order_.begin();
        continue;
      }
      it = NotAFile(looked.error) ? Erase(it) : std::next(it);
      continue;
    }
    const bool complete = watched_ && complete_.count(it->second) != 0;
    std::uint32_t attributes = info.Attributes;
    if (complete_skips_age && complete) attributes &= ~kAttrArchive;
    if (attributes != 0) {
      // Only the read-only bit can be cleared; the archive bit clears
      // itself as the file ages. Either way the file waits.
      if (FsStatus set = fs_.SetAttributes(path, 0); !set.ok()) {
        pending_problems_.push_back(InboundProblem{InboundProblem::kAttributes, path, set.error});
      }
      ++it;
      continue;
    }
    if (info.Size == 0) {
      if (FsStatus removed = fs_.RemoveFile(path); !removed.ok()) {
        pending_problems_.push_back(
            InboundProblem{InboundProblem::kEmptyFile, path, removed.error});
        ++it;
      } else {
        it = Erase(it);
      }
      continue;
    }
    if (skip && skip(path)) {
      ++it;
      continue;
    }
    out.path = path;
    out.arrived_complete = complete;
    break;
  }
  // After the choice, so that a file cleared now is taken by a later one.
  ClearFreshAttributes();
  out.problems = std::move(pending_problems_);
  pending_problems_.clear();
  return out;
}

std::optional<InboundQueueSummary> InboundQueue::Summary() const {
  if (!listed_) return std::nullopt;
  InboundQueueSummary summary;
  summary.waiting = order_.size();
  if (!order_.empty()) {
    summary.highest = order_.rbegin()->first.number;
    summary.next = prefix_ + order_.begin()->second;
  }
  return summary;
}

}  // namespace norv
