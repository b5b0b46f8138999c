#include "operations/requeue.h"

#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <tuple>

#include "operations/queue_summary.h"

namespace norv {
namespace {

constexpr std::int32_t kLowestStart = 5000000;

std::optional<std::string> RealPath(const std::string& path) {
  std::unique_ptr<char, decltype(&free)> p(realpath(path.c_str(), nullptr), &free);
  if (!p) return std::nullopt;
  return std::string(p.get());
}

std::string Parent(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// "2026-49": four digits, hyphen, two digits.
bool IsWeekFolderName(const std::string& name) {
  if (name.size() != 7 || name[4] != '-') return false;
  for (std::size_t i : {0, 1, 2, 3, 5, 6}) {
    if (name[i] < '0' || name[i] > '9') return false;
  }
  return true;
}

// The order of files inside a week folder: by the number their name starts
// with ("12.HL7.3": 12, then copy 3), names without one last, by name.
auto OriginalOrder(const std::string& name) {
  std::size_t i = 0;
  bool negative = false;
  if (i < name.size() && (name[i] == '-' || name[i] == '+')) negative = name[i++] == '-';
  std::size_t digits = i;
  long long number = 0;
  while (i < name.size() && name[i] >= '0' && name[i] <= '9' && number < 1000000000000LL) {
    number = number * 10 + (name[i++] - '0');
  }
  bool has_number = i > digits && (i == name.size() || name[i] == '.');
  long long copy = 0;
  std::size_t last_dot = name.rfind('.');
  if (has_number && last_dot != std::string::npos && last_dot + 1 < name.size() &&
      name.find_first_not_of("0123456789", last_dot + 1) == std::string::npos) {
    copy = std::atoll(name.c_str() + last_dot + 1) + 1;
  }
  return std::make_tuple(!has_number, negative ? -number : number, copy, name);
}

struct DirCloser {
  void operator()(DIR* d) const { closedir(d); }
};

// One week root: "<inbound>failed" or "<inbound>debug", resolved.
struct WeekRoot {
  std::string root;
  std::size_t inbound;  // index into the resolved inbound directories
};

class Planner {
 public:
  Planner(const std::vector<std::string>& inbound_dirs, const std::string& suffix) : suffix_(suffix) {
    for (const std::string& dir : inbound_dirs) {
      std::optional<std::string> real = RealPath(dir);
      if (!real) continue;
      std::size_t index = inbound_.size();
      inbound_.push_back(*real);
      QueueFigures q = ScanInboundQueue(*real, suffix, static_cast<std::int64_t>(std::time(nullptr)));
      next_.push_back(std::max<std::int32_t>(q.highest, 0) + 1);
      for (const char* kind : {"failed", "debug"}) {
        // The configured directory is a plain prefix, as the cycle uses it.
        std::optional<std::string> root = RealPath(dir + kind);
        struct stat st;
        if (root && stat(root->c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
          roots_.push_back({*root, index});
        }
      }
    }
  }

  void Add(const std::string& path, RequeuePlan& plan) {
    auto refuse = [&](const std::string& reason) { plan.refused.push_back({path, reason}); };
    if (suffix_.empty()) return refuse("the FileSuffix setting is empty");
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return refuse(std::strerror(errno));
    if (S_ISLNK(st.st_mode)) return refuse("is a symbolic link");
    if (S_ISDIR(st.st_mode)) {
      std::optional<std::string> real = RealPath(path);
      std::optional<std::size_t> inbound = real ? WeekFolderOf(*real) : std::nullopt;
      if (!inbound) return refuse("not one of the installation's failed/ or debug/ week folders");
      AddFolder(path, *real, *inbound, plan);
      return;
    }
    if (!S_ISREG(st.st_mode)) return refuse("not a regular file");
    std::optional<std::string> folder = RealPath(Parent(path));
    std::optional<std::size_t> inbound = folder ? WeekFolderOf(*folder) : std::nullopt;
    if (!inbound) return refuse("not inside the installation's failed/ or debug/ week folders");
    AddFile(path, *folder + "/" + BaseName(path), *inbound, plan);
  }

 private:
  // The inbound directory whose week folder `real_folder` is.
  std::optional<std::size_t> WeekFolderOf(const std::string& real_folder) const {
    if (!IsWeekFolderName(BaseName(real_folder))) return std::nullopt;
    std::string parent = Parent(real_folder);
    for (const WeekRoot& r : roots_) {
      if (r.root == parent) return r.inbound;
    }
    return std::nullopt;
  }

  void AddFolder(const std::string& given, const std::string& real, std::size_t inbound,
                 RequeuePlan& plan) {
    std::unique_ptr<DIR, DirCloser> dir(opendir(real.c_str()));
    if (!dir) {
      plan.refused.push_back({given, std::strerror(errno)});
      return;
    }
    std::vector<std::string> names;
    while (dirent* e = readdir(dir.get())) {
      std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      names.push_back(name);
    }
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
      return OriginalOrder(a) < OriginalOrder(b);
    });
    for (const std::string& name : names) {
      const std::string path = real + "/" + name;
      struct stat st;
      if (lstat(path.c_str(), &st) != 0) continue;  // gone meanwhile
      if (S_ISDIR(st.st_mode)) continue;
      if (!S_ISREG(st.st_mode)) {
        plan.refused.push_back({path, S_ISLNK(st.st_mode) ? "is a symbolic link" : "not a regular file"});
        continue;
      }
      AddFile(path, path, inbound, plan);
    }
  }

  void AddFile(const std::string& given, const std::string& real, std::size_t inbound,
               RequeuePlan& plan) {
    if (!seen_.insert(real).second) {
      plan.refused.push_back({given, "given twice"});
      return;
    }
    std::int32_t& next = next_[inbound];
    if (next >= kLowestStart) {
      plan.refused.push_back({given, "no free file number below 5000000 in " + inbound_[inbound]});
      return;
    }
    RequeueMove m;
    m.from = real;
    m.inbound_dir = inbound_[inbound];
    m.number = next++;
    m.to = m.inbound_dir + "/" + std::to_string(m.number) + "." + suffix_;
    plan.moves.push_back(std::move(m));
  }

  std::string suffix_;
  std::vector<std::string> inbound_;
  std::vector<std::int32_t> next_;
  std::vector<WeekRoot> roots_;
  std::set<std::string> seen_;
};

}  // namespace

RequeuePlan PlanRequeue(const std::vector<std::string>& paths,
                        const std::vector<std::string>& inbound_dirs, const std::string& suffix) {
  RequeuePlan plan;
  Planner planner(inbound_dirs, suffix);
  for (const std::string& path : paths) planner.Add(path, plan);
  return plan;
}

std::vector<RequeueOutcome> CarryOutRequeue(FileSystem& fs, const RequeuePlan& plan,
                                            const std::string& suffix) {
  std::vector<RequeueOutcome> outcomes;
  std::map<std::string, std::int32_t> shift;  // per inbound directory
  for (const RequeueMove& planned : plan.moves) {
    RequeueOutcome o{planned, 0};
    RequeueMove& m = o.move;
    m.number += shift[m.inbound_dir];
    const PathKind kind = fs.KindOf(m.from);
    if (kind == PathKind::kMissing) {
      o.error = ENOENT;
    } else if (kind != PathKind::kFile) {
      o.error = EINVAL;  // replaced by a link or folder since it was planned
    }
    // The move never replaces a file: a number taken meanwhile is skipped.
    while (o.error == 0) {
      if (m.number >= kLowestStart) {
        o.error = EEXIST;
        break;
      }
      m.to = m.inbound_dir + "/" + std::to_string(m.number) + "." + suffix;
      const FsStatus moved = fs.MoveFileTo(m.from, m.to);
      if (moved.ok()) break;
      if (moved.error != EEXIST) {
        o.error = moved.error;
      } else {
        ++m.number;
        ++shift[m.inbound_dir];
      }
    }
    if (o.error == 0) {
      (void)fs.SyncFolder(m.inbound_dir);
      (void)fs.SyncFolder(Parent(m.from));
    }
    outcomes.push_back(std::move(o));
  }
  return outcomes;
}

int RunRequeue(const std::vector<std::string>& paths, const std::vector<std::string>& inbound_dirs,
               const std::string& suffix, bool dry_run, std::FILE* out, std::FILE* err) {
  RequeuePlan plan = PlanRequeue(paths, inbound_dirs, suffix);
  int status = plan.refused.empty() ? 0 : 1;
  for (const RequeueRefusal& r : plan.refused) {
    std::fprintf(err, "norvreader: refused %s: %s\n", r.path.c_str(), r.reason.c_str());
  }
  if (dry_run) {
    for (const RequeueMove& m : plan.moves) std::fprintf(out, "%s -> %s\n", m.from.c_str(), m.to.c_str());
    std::fprintf(out, "dry run: %zu file(s) would be moved, nothing was changed\n", plan.moves.size());
    return status;
  }
  for (const RequeueOutcome& o : CarryOutRequeue(PlatformFileSystem(), plan, suffix)) {
    if (o.error == 0) {
      std::fprintf(out, "%s -> %s\n", o.move.from.c_str(), o.move.to.c_str());
    } else {
      std::fprintf(err, "norvreader: cannot move %s: %s\n", o.move.from.c_str(), std::strerror(o.error));
      status = 1;
    }
  }
  return status;
}

}  // namespace norv
