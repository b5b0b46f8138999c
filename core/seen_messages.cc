#include "core/seen_messages.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <system_error>
#include <unordered_set>

namespace norv {
namespace {

// Extra lines the file may hold beyond twice its entries before Tidy
// rewrites it, so that a small record is not rewritten at every message.
constexpr std::size_t kTidySlack = 1024;

void AppendEscaped(std::string& out, std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  for (char c : text) {
    auto b = static_cast<unsigned char>(c);
    if (b <= 0x20 || b == 0x7F || b == '%') {
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 15];
    } else {
      out += c;
    }
  }
}

std::string ErrorText(int error) { return std::generic_category().message(error); }

}  // namespace

std::string SeenMessageKey(std::string_view application, std::string_view facility,
                           std::string_view control_id, std::string_view message) {
  if (control_id.find_first_not_of(" \t") == std::string_view::npos) return "";
  std::string key;
  AppendEscaped(key, application);
  key += ' ';
  AppendEscaped(key, facility);
  key += ' ';
  AppendEscaped(key, control_id);
  std::uint64_t digest = 14695981039346656037ULL;  // FNV-1a
  for (char c : message) {
    digest = (digest ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
  }
  char hex[20];
  std::snprintf(hex, sizeof hex, " %016llx", static_cast<unsigned long long>(digest));
  return key + hex;
}

std::unique_ptr<SeenMessages> SeenMessages::Open(
    DurableFiles& files, const std::string& path, std::int64_t window_seconds, std::int64_t now,
    const std::function<bool(const std::string& tag)>& unwritten, std::string* error,
    std::size_t* dropped, std::size_t bound) {
  std::unique_ptr<SeenMessages> record(new SeenMessages(files, path, window_seconds, bound));
  std::string text;
  FsStatus st = files.Read(path, text);
  if (!st.ok() && st.error != ENOENT) {
    *error = "cannot read " + path + ": " + ErrorText(st.error);
    return nullptr;
  }
  struct Line {
    std::int64_t time;
    std::string tag, key;
    bool withdrawn = false;
  };
  std::vector<Line> lines;
  std::unordered_map<std::string, std::size_t> tagged;  // tag -> index in lines
  std::size_t bad = 0;
  std::string_view rest = text;
  while (!rest.empty()) {
    std::size_t end = rest.find('\n');
    if (end == std::string_view::npos) {  // torn: its append never completed
      ++bad;
      break;
    }
    std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end + 1);
    if (line.substr(0, 2) == "! ") {
      auto it = tagged.find(std::string(line.substr(2)));
      if (it != tagged.end()) lines[it->second].withdrawn = true;
      continue;
    }
    std::size_t a = line.find(' ');
    std::size_t b = a == std::string_view::npos ? a : line.find(' ', a + 1);
    std::int64_t time = 0;
    auto parsed = std::from_chars(line.data(), line.data() + std::min(a, line.size()), time);
    if (b == std::string_view::npos || parsed.ec != std::errc() ||
        parsed.ptr != line.data() + a || b == a + 1 || b + 1 >= line.size()) {
      ++bad;
      continue;
    }
    Line l{time, std::string(line.substr(a + 1, b - a - 1)), std::string(line.substr(b + 1))};
    if (l.tag != "-") tagged[l.tag] = lines.size();
    lines.push_back(std::move(l));
  }
  for (const Line& l : lines) {
    if (l.withdrawn || (l.tag != "-" && unwritten(l.tag))) continue;
    record->Remember(l.key, l.time);
  }
  record->Forget(now);
  st = record->Rewrite();
  if (!st.ok()) {
    *error = "cannot rewrite " + path + ": " + ErrorText(st.error);
    return nullptr;
  }
  if (dropped) *dropped = bad;
  return record;
}

SeenMessages::~SeenMessages() { files_.CloseLog(log_); }

FsStatus SeenMessages::Append(const std::string& text, bool flush) {
  if (log_ < 0) {
    if (FsStatus st = files_.OpenLog(path_, log_); !st.ok()) {
      log_ = -1;
      return st;
    }
  }
  FsStatus st = files_.AppendLog(log_, text);
  if (st.ok() && flush) st = files_.FlushLog(log_);
  if (!st.ok()) {  // opened afresh next time
    files_.CloseLog(log_);
    log_ = -1;
  }
  return st;
}

void SeenMessages::Remember(const std::string& key, std::int64_t time) {
  std::uint64_t sequence = ++sequence_;
  by_key_[key] = Seen{time, sequence};
  order_.push_back(Queued{time, sequence, key});
}

void SeenMessages::Forget(std::int64_t now) {
  while (!order_.empty()) {
    const Queued& q = order_.front();
    auto it = by_key_.find(q.key);
    bool live = it != by_key_.end() && it->second.sequence == q.sequence;
    if (live && q.time > now - window_ && by_key_.size() <= bound_) break;
    if (live) by_key_.erase(it);
    order_.pop_front();
  }
}

bool SeenMessages::Contains(const std::string& key, std::int64_t now) const {
  if (key.empty() || window_ <= 0) return false;
  auto it = by_key_.find(key);
  return it != by_key_.end() && it->second.time > now - window_;
}

FsStatus SeenMessages::Flush() {
  return log_ < 0 ? FsStatus{} : files_.FlushLog(log_);
}

FsStatus SeenMessages::Add(const std::vector<Entry>& entries, std::int64_t now, bool flush) {
  if (entries.empty()) return FsStatus{};
  std::string text;
  for (const Entry& e : entries) {
    text += std::to_string(now) + " " + e.tag + " " + e.key + "\n";
  }
  FsStatus st = Append(text, flush);
  lines_ += entries.size();
  if (!st.ok()) return st;
  for (const Entry& e : entries) Remember(e.key, now);
  Forget(now);
  return FsStatus{};
}

FsStatus SeenMessages::Withdraw(const std::vector<Entry>& entries) {
  std::string text;
  for (const Entry& e : entries) {
    by_key_.erase(e.key);
    if (e.tag != "-") text += "! " + e.tag + "\n";
  }
  if (text.empty()) return FsStatus{};
  lines_ += entries.size();
  return Append(text, true);
}

FsStatus SeenMessages::Tidy(std::int64_t now) {
  Forget(now);
  if (lines_ <= 2 * by_key_.size() + kTidySlack) return FsStatus{};
  return Rewrite();
}

FsStatus SeenMessages::Rewrite() {
  std::string text;
  std::size_t count = 0;
  for (const Queued& q : order_) {
    auto it = by_key_.find(q.key);
    if (it == by_key_.end() || it->second.sequence != q.sequence) continue;
    text += std::to_string(q.time) + " - " + q.key + "\n";
    ++count;
  }
  files_.CloseLog(log_);
  log_ = -1;
  if (FsStatus st = ReplaceDurably(files_, path_, text); !st.ok()) return st;
  lines_ = count;
  return FsStatus{};
}

}  // namespace norv
