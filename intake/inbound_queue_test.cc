#include "intake/inbound_queue.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "core/settings.h"
#include "intake/inbound_cycle.h"
#include "testing/service_state.h"
#include "testing/test_context.h"
#include "testing/test_util.h"

namespace norv {
namespace {

using namespace std::chrono_literals;
using testing::TempDir;
using V = std::vector<std::string>;

constexpr char kDir[] = "in/";
constexpr std::uint32_t kRO = kAttrReadOnly;
constexpr std::uint32_t kNew = kAttrArchive;

struct FakeFile {
  std::string name;
  std::uint32_t attributes = 0;
  std::uint64_t size = 1;
  bool regular = true;  // false: an entry that is no file, such as a link to a folder
};

// What a started watch of the fake folder has to report.
struct Reports {
  bool started = false, lost = false, ended = false;
  std::vector<DirChange> queue;
};

class FakeWatch final : public DirWatch {
 public:
  explicit FakeWatch(Reports& reports) : r_(reports) {}
  int Start(const std::string&) override { return r_ = Reports{true, false, false, {}}, 0; }
  void Stop() override { r_.started = false; }
  bool active() const override { return r_.started; }
  bool complete() const override { return true; }
  int fd() const override { return -1; }
  std::uint64_t change_count() const override { return 0; }
  ReadStatus Read(std::vector<DirChange>& changes) override {
    if (r_.ended) return r_ = Reports(), ReadStatus::kEnded;
    changes.insert(changes.end(), r_.queue.begin(), r_.queue.end());
    r_.queue.clear();
    return std::exchange(r_.lost, false) ? ReadStatus::kLost : ReadStatus::kOk;
  }

 private:
  Reports& r_;
};

// A folder in memory, listed in the order of `files`. Adding or removing a
// name moves the stamp on (unless frozen, as within one clock tick) and is
// reported to a started watch.
class FakeFileSystem final : public FileSystem {
 public:
  std::vector<FakeFile> files;
  std::int64_t mtime = 1;
  bool frozen = false, stamps = true;
  bool fail_changes = false;  // clearing attributes and deleting fail
  Reports reports;

  void Put(FakeFile file, bool front = false) {
    Changed(DirChange::kArrived, file.name);
    files.insert(front ? files.begin() : files.end(), std::move(file));
  }
  void Drop(const std::string& name) {
    auto it = Find(name);
    if (it == files.end()) return;
    files.erase(it);
    Changed(DirChange::kRemoved, name);
  }
  void Age() {  // a second later: the archive bits are clear
    for (FakeFile& f : files) f.attributes &= ~kNew;
  }

  FsStatus ListFiles(const std::string& dir, std::vector<FileInfo>& out,
                     const ExamineFilter&) override {
    out.clear();
    for (const FakeFile& f : files) {
      if (f.regular) out.push_back(FileInfo{f.name, dir + f.name, true, f.attributes, f.size});
    }
    return {};
  }
  FsStatus ListNames(const std::string&, const NameVisitor& visit) override {
    for (const FakeFile& f : files) visit(f.name, f.regular);
    return {};
  }
  FsStatus StatFile(const std::string& path, FileInfo& info) override {
    auto it = Find(NameOf(path));
    if (it == files.end() || !it->regular) return {it == files.end() ? ENOENT : EINVAL};
    info = FileInfo{it->name, path, true, it->attributes, it->size};
    return {};
  }
  FsStatus GetFolderStamp(const std::string&, FolderStamp& stamp) override {
    stamp = FolderStamp{1, 1, mtime};
    return {stamps ? 0 : ENOSYS};
  }
  FsStatus SetAttributes(const std::string& path, std::uint32_t attributes) override {
    auto it = Find(NameOf(path));
    if (it == files.end() || fail_changes) return {it == files.end() ? ENOENT : EPERM};
    it->attributes = (it->attributes & ~kRO) | (attributes & kRO);
    return {};
  }
  FsStatus RemoveFile(const std::string& path) override {
    if (Find(NameOf(path)) == files.end() || fail_changes) return {EACCES};
    Drop(NameOf(path));
    return {};
  }
  bool FolderExists(const std::string&) override { return true; }
  PathKind KindOf(const std::string&) override { return PathKind::kFolder; }
  bool FileExists(const std::string&) override { return false; }
  FsStatus CreateFolder(const std::string&) override { return {ENOSYS}; }
  FsStatus CopyFileTo(const std::string&, const std::string&, bool) override { return {ENOSYS}; }
  FsStatus MoveFileTo(const std::string&, const std::string&) override { return {ENOSYS}; }
  FsStatus ReadWholeFile(const std::string&, std::string&) override { return {ENOSYS}; }

 private:
  static std::string NameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }
  std::vector<FakeFile>::iterator Find(const std::string& name) {
    return std::find_if(files.begin(), files.end(),
                        [&](const FakeFile& f) { return f.name == name; });
  }
  void Changed(DirChange::Kind kind, const std::string& name) {
    if (!frozen) ++mtime;
    if (reports.started) reports.queue.push_back(DirChange{kind, name});
  }
};

enum class Mode { kWatched, kStamped, kNoStamps };
const char* ModeName(Mode m) {
  return m == Mode::kWatched ? "watched" : m == Mode::kStamped ? "stamped" : "no stamps";
}

class InboundQueueTest : public ::testing::Test {
 protected:
  void SetUp() override { settings().FileSuffix = "HL7"; }
  Settings& settings() { return settings_; }

  std::unique_ptr<InboundQueue> MakeQueue(Mode mode) {
    fs_.stamps = mode != Mode::kNoStamps;
    InboundQueueOptions options;
    options.clock = [this] { return now_; };
    return std::make_unique<InboundQueue>(
        fs_, kDir, mode == Mode::kWatched ? std::make_unique<FakeWatch>(fs_.reports) : nullptr,
        options);
  }

  TempDir prog_;
  Settings settings_;
  FakeFileSystem fs_;
  std::chrono::nanoseconds now_{1h};
};

struct ParityCase {
  const char* title;
  std::vector<FakeFile> files;  // in listing order
  V expected;                   // the files taken, tick by tick
  // Changes made after tick `t` (the taken file is gone by then).
  std::function<void(FakeFileSystem&, int t)> between = nullptr;
  bool fail_changes = false;
};

// On every tick the old scan runs on a copy of the folder and the index on
// the folder itself: both must choose the same file and leave the same
// read-only bits; the empty files the index deletes must be a part of those
// the old scan deletes. The taken file is then removed and the files age a
// second.
TEST_F(InboundQueueTest, ChoosesWhatTheFullScanChooses) {
  const ParityCase cases[] = {
      {"numbers, signs, the limit, other extensions",
       {{"7.HL7"}, {"12.HL7"}, {"3.HL7"}, {"-4.HL7"}, {"0.hl7"}, {"+1.HL7"}, {"5000000.HL7"},
        {"5000001.HL7"}, {"4999999.HL7"}, {"-2147483648.HL7"}, {"1.HL7.bak"}, {"2.txt"}, {"2"}},
       {"-2147483648.HL7", "-4.HL7", "0.hl7", "+1.HL7", "3.HL7", "7.HL7", "12.HL7",
        "4999999.HL7"}},
      {"ties go in listing order",
       {{"12.HL7"}, {"0012.HL7"}, {"+12.HL7"}, {"12.hl7"}, {"11.HL7"}},
       {"11.HL7", "12.HL7", "0012.HL7", "+12.HL7", "12.hl7"}},
      {"attribute words",
       {{"1.HL7", kRO}, {"2.HL7", kNew}, {"3.HL7"}, {"4.HL7", kRO | kNew}, {"6.HL7"},
        {"5000001.HL7", kRO}},
       {"3.HL7", "1.HL7", "2.HL7", "4.HL7", "6.HL7"}},
      {"read-only files from 5000000 up, and read-only arrivals",
       {{"5000000.HL7", kRO}, {"9.HL7"}},
       {"9.HL7", "7.HL7"},
       [](FakeFileSystem& fs, int t) {
         if (t == 0) fs.Put({"5000001.HL7", kRO}), fs.Put({"7.HL7", kRO});
       }},
      {"empty files go when their turn comes",
       {{"20.HL7", 0, 0}, {"9.HL7"}, {"5.HL7", 0, 0}, {"30.HL7"}, {"7.HL7", kNew, 0}},
       {"9.HL7", "30.HL7"}},
      {"names that are no numbers, entries that are no files",
       {{"abc.HL7"}, {"HL7"}, {".HL7"}, {"-.HL7"}, {"1.5.HL7"}, {"2147483648.HL7"},
        {"-2147483649.HL7"}, {"99999999999x.HL7"}, {"8.HL7", 0, 1, false},
        {"xyz.HL7", 0, 1, false}, {"5.HL7"}, {"9.HL7"}},
       {"5.HL7", "9.HL7"}},
      {"files appearing and vanishing between ticks",
       {{"10.HL7"}, {"20.HL7"}, {"30.HL7"}},
       {"10.HL7", "5.HL7", "15.HL7"},
       [](FakeFileSystem& fs, int t) {
         if (t == 0) fs.Put({"5.HL7"}), fs.Drop("20.HL7");
         if (t == 1) fs.Put({"15.HL7"}, true), fs.Put({"25.HL7", 0, 0});
         if (t == 2) fs.Drop("30.HL7");
       }},
      {"a late name that ties with a listed one",
       {{"12.HL7", kNew}, {"30.HL7"}},
       {"30.HL7", "0012.HL7", "12.HL7"},
       [](FakeFileSystem& fs, int t) {
         if (t == 0) fs.Put({"0012.HL7"}, true);
       }},
      {"a changed suffix",
       {{"1.HL7"}, {"2.TXT"}, {"3.hl7"}},
       {"1.HL7", "2.TXT"},
       [this](FakeFileSystem&, int t) {
         if (t == 0) settings().FileSuffix = "TXT";
       }},
      {"attributes and empty files that cannot be changed",
       {{"1.HL7", kRO}, {"2.HL7", 0, 0}, {"3.HL7"}},
       {"3.HL7"},
       nullptr,
       true},
  };
  for (const ParityCase& c : cases) {
    for (Mode mode : {Mode::kWatched, Mode::kStamped, Mode::kNoStamps}) {
      SCOPED_TRACE(std::string(c.title) + ", " + ModeName(mode));
      settings().FileSuffix = "HL7";
      fs_ = FakeFileSystem();
      fs_.files = c.files;
      fs_.fail_changes = c.fail_changes;
      auto queue = MakeQueue(mode);
      std::set<std::string> old_reported, new_reported;
      V taken;
      for (int t = 0; t < static_cast<int>(c.expected.size()) + 2; ++t) {
        FakeFileSystem old;
        old.files = fs_.files;
        old.fail_changes = c.fail_changes;
        testing::TestContext old_ctx(prog_.path(), old);
        old_ctx.settings.FileSuffix = settings().FileSuffix;
        const std::string old_choice = ScanInboundDirectory(old_ctx.db, kDir, old_reported);

        const std::vector<FakeFile> before = fs_.files;
        InboundChoice choice = queue->Choose(settings().FileSuffix);
        ASSERT_TRUE(choice.status.ok());
        ASSERT_EQ(choice.path, old_choice) << "tick " << t;
        for (const InboundProblem& p : choice.problems) new_reported.insert(p.path);
        for (const FakeFile& f : before) {
          auto find = [&](const std::vector<FakeFile>& in) {
            return std::find_if(in.begin(), in.end(),
                                [&](const FakeFile& g) { return g.name == f.name; });
          };
          auto now = find(fs_.files), scanned = find(old.files);
          EXPECT_TRUE(now != fs_.files.end() || scanned == old.files.end())
              << f.name << " deleted by the old scan as well";
          if (now != fs_.files.end() && scanned != old.files.end()) {
            EXPECT_EQ(now->attributes & kRO, scanned->attributes & kRO) << f.name << " tick " << t;
          }
        }
        if (!choice.path.empty()) {
          taken.push_back(choice.path.substr(sizeof kDir - 1));
          fs_.Drop(taken.back());
        }
        fs_.Age();
        now_ += 3s;
        if (c.between) c.between(fs_, t);
      }
      EXPECT_EQ(taken, c.expected);
      EXPECT_TRUE(std::includes(old_reported.begin(), old_reported.end(), new_reported.begin(),
                                new_reported.end()));
      EXPECT_TRUE(c.fail_changes || new_reported == old_reported);
    }
  }
}

TEST_F(InboundQueueTest, AWatchedListingIsReadOnceAndOnlyTheHeadIsLookedAt) {
  for (int i = 0; i < 1000; ++i) fs_.files.push_back({std::to_string(1000 + i) + ".HL7"});
  auto queue = MakeQueue(Mode::kWatched);
  for (int t = 0; t < 100; ++t) {
    InboundChoice choice = queue->Choose("HL7");
    ASSERT_EQ(choice.path, kDir + std::to_string(1000 + t) + ".HL7");
    fs_.Drop(std::to_string(1000 + t) + ".HL7");
    fs_.Put({std::to_string(3000 + t) + ".HL7"});
  }
  EXPECT_TRUE(queue->watched());
  EXPECT_EQ(queue->stats().listings, 1u);
  EXPECT_EQ(queue->stats().examined, 100u);
  // Each file's attribute word once; the last arrival's by the next choice.
  EXPECT_EQ(queue->stats().swept, 1000u + 99u);

  // Lost reports, or another folder under the path, mean a fresh listing.
  fs_.reports.lost = true;
  EXPECT_EQ(queue->Choose("HL7").path, kDir + std::string("1100.HL7"));
  EXPECT_EQ(queue->stats().listings, 2u);
  fs_.Drop("1100.HL7");
  fs_.files.insert(fs_.files.begin(), {"7.HL7"});  // unreported
  fs_.reports.ended = true;  // say, the folder was replaced
  EXPECT_EQ(queue->Choose("HL7").path, kDir + std::string("7.HL7"));
  EXPECT_EQ(queue->stats().listings, 3u);
}

TEST_F(InboundQueueTest, AWatchlessListingIsKeptOnlyUnderASettledStamp) {
  auto queue = MakeQueue(Mode::kStamped);
  EXPECT_EQ(queue->Choose("HL7").path, "");
  // A file added within the same clock tick leaves the stamp as it was; the
  // stamp had not stood long enough to trust the listing.
  fs_.frozen = true;
  now_ += 1s;
  fs_.Put({"1.HL7"});
  EXPECT_EQ(queue->Choose("HL7").path, kDir + std::string("1.HL7"));
  now_ += 2s;
  EXPECT_EQ(queue->Choose("HL7").path, kDir + std::string("1.HL7"));
  const std::uint64_t settled = queue->stats().listings;
  EXPECT_EQ(settled, 3u);
  now_ += 10s;
  EXPECT_EQ(queue->Choose("HL7").path, kDir + std::string("1.HL7"));
  EXPECT_EQ(queue->stats().listings, settled);

  // A candidate gone although the stamp stands: the listing is read again.
  fs_.Put({"2.HL7"});  // unseen: the stamp is frozen
  fs_.Drop("1.HL7");
  EXPECT_EQ(queue->Choose("HL7").path, kDir + std::string("2.HL7"));
  EXPECT_EQ(queue->stats().listings, settled + 1);
  // Any change of the stamp means a new listing.
  fs_.frozen = false;
  fs_.Put({"0.HL7"});
  EXPECT_EQ(queue->Choose("HL7").path, kDir + std::string("0.HL7"));
}

// The real file system and the platform's watch: files that arrive by
// rename or are closed by their writer may skip the age guard when asked.
TEST_F(InboundQueueTest, ARealFolderFollowsItsWatch) {
  TempDir in;
  auto write = [&](const std::string& name, int seconds_ago) {
    testing::WriteFile(in / name, "MSH|");
    timespec times[2] = {{time(nullptr) - seconds_ago, 0}, {time(nullptr) - seconds_ago, 0}};
    utimensat(AT_FDCWD, (in / name).c_str(), times, 0);
  };
  write("5.HL7", 60);
  write("3.HL7", 60);
  InboundQueue queue(PlatformFileSystem(), in.path(), NewPlatformDirWatch());
  EXPECT_EQ(queue.Choose("HL7").path, in / "3.HL7");
  ASSERT_TRUE(queue.watched());
  ASSERT_GE(queue.watch_fd(), 0);

  ASSERT_EQ(unlink((in / "3.HL7").c_str()), 0);
  write("4.tmp", 0);
  ASSERT_EQ(std::rename((in / "4.tmp").c_str(), (in / "4.HL7").c_str()), 0);
  testing::WriteFile(in / "2.HL7", "MSH|");  // written in place and closed: complete
  EXPECT_EQ(queue.Poll(), 2u);
  EXPECT_EQ(queue.Choose("HL7").path, in / "5.HL7");  // the age guard holds 2 and 4
  InboundChoice at_once = queue.Choose("HL7", true);
  EXPECT_EQ(at_once.path, in / "2.HL7");
  EXPECT_TRUE(at_once.arrived_complete);
  ASSERT_EQ(unlink((in / "2.HL7").c_str()), 0);
  EXPECT_EQ(queue.Choose("HL7", true).path, in / "4.HL7");
  EXPECT_EQ(queue.stats().listings, 1u);
}

}  // namespace
}  // namespace norv
