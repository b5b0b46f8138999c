#include "receive/inbound_spool.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>

#include "testing/test_util.h"

namespace norv {
namespace {

using Kind = InboundSpool::Outcome::Kind;
namespace fs = std::filesystem;

// The real files, with single operations made to fail: `fail` gets the
// operation's name and path and returns the errno to fail with (0: run it).
class FaultyFiles final : public DurableFiles {
 public:
  std::function<int(const std::string& op, const std::string& path)> fail;
  std::vector<std::string> ops;  // folder syncs and log flushes, in order

  FsStatus WriteNew(const std::string& path, std::string_view bytes) override {
    if (int e = Fault("write", path)) return FsStatus{e};
    return real().WriteNew(path, bytes);
  }
  FsStatus OpenLog(const std::string& path, int& handle) override {
    FsStatus st = real().OpenLog(path, handle);
    if (st.ok()) logs_[handle] = path;
    return st;
  }
  FsStatus AppendLog(int handle, std::string_view bytes) override {
    if (int e = Fault("append", logs_[handle])) return FsStatus{e};
    return real().AppendLog(handle, bytes);
  }
  FsStatus FlushLog(int handle) override {
    ops.push_back("flush " + logs_[handle]);
    return real().FlushLog(handle);
  }
  FsStatus CreateNew(const std::string& path, std::string_view bytes, int& handle) override {
    if (int e = Fault("write", path)) return FsStatus{e};
    return real().CreateNew(path, bytes, handle);
  }
  FsStatus FinishNew(int handle) override { return real().FinishNew(handle); }
  void CloseLog(int handle) override { real().CloseLog(handle); }
  FsStatus Rename(const std::string& from, const std::string& to, bool replace) override {
    if (int e = Fault("rename", to)) return FsStatus{e};
    return real().Rename(from, to, replace);
  }
  FsStatus SyncFolder(const std::string& folder) override {
    ops.push_back("sync " + folder);
    if (int e = Fault("sync", folder)) return FsStatus{e};
    return real().SyncFolder(folder);
  }
  FsStatus Remove(const std::string& path) override { return real().Remove(path); }
  FsStatus Read(const std::string& path, std::string& bytes) override {
    return real().Read(path, bytes);
  }
  FsStatus List(const std::string& folder, std::vector<std::string>& names) override {
    return real().List(folder, names);
  }
  FsStatus Lock(const std::string& path, int& handle) override {
    return real().Lock(path, handle);
  }
  void Unlock(int handle) override { real().Unlock(handle); }

 private:
  static DurableFiles& real() { return PlatformDurableFiles(); }
  int Fault(const std::string& op, const std::string& path) { return fail ? fail(op, path) : 0; }
  std::map<int, std::string> logs_;
};

class InboundSpoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    inbound_ = dir_ / "inbound";
    fs::create_directory(inbound_);
    config_ = {inbound_, "HL7", dir_ / "NORVReceive.counter"};
  }

  std::unique_ptr<InboundSpool> Open(std::string* error = nullptr) {
    std::string e, note;
    auto spool = InboundSpool::Open(files_, config_, &e, &note);
    if (error) *error = e;
    return spool;
  }

  // The folder's entries, lock file and record left out, name -> content.
  std::map<std::string, std::string> Folder() {
    std::map<std::string, std::string> m;
    for (const auto& e : fs::directory_iterator(inbound_)) {
      std::string name = e.path().filename();
      if (name != ".norvreceive.lock" && name != kSpoolSeenName) {
        m[name] = testing::ReadFile(e.path());
      }
    }
    return m;
  }

  std::vector<Kind> Kinds(const std::vector<InboundSpool::Outcome>& outcomes) {
    std::vector<Kind> k;
    for (const auto& o : outcomes) k.push_back(o.kind);
    return k;
  }

  testing::TempDir dir_;
  std::string inbound_;
  SpoolConfig config_;
  FaultyFiles files_;
};

TEST(InboundFileNumber, ReadsNamesAsTheServiceDoes) {
  struct Case {
    const char* name;
    std::optional<std::int64_t> number;
  } cases[] = {
      {"12.HL7", 12}, {"12.hl7", 12}, {"0012.HL7", 12}, {"-4.HL7", -4}, {"+7.HL7", 7},
      {"4999999.HL7", 4999999}, {"2147483647.HL7", 2147483647LL},
      {"2147483648.HL7", std::nullopt}, {"abc.HL7", std::nullopt}, {"12a.HL7", std::nullopt},
      {".HL7", std::nullopt}, {"12.HL7.part", std::nullopt}, {"12.txt", std::nullopt},
      {"12", std::nullopt}, {".mllp-3.part", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(InboundFileNumber(c.name, "HL7"), c.number) << c.name;
}

TEST_F(InboundSpoolTest, FirstNumberFollowsCounterAndFolder) {
  struct Case {
    const char* name;
    std::vector<std::string> files;
    const char* counter;  // nullptr: no counter file
    std::int64_t first;
  } cases[] = {
      {"fresh", {}, nullptr, 1},
      {"counter", {}, "500\n", 500},
      {"files above the counter", {"7.HL7", "900.hl7"}, "500\n", 901},
      {"files below the counter", {"7.HL7"}, "500\n", 500},
      {"numbers the service never takes", {"5000000.HL7", "12.HL7"}, nullptr, 13},
      {"broken counter", {"3.HL7"}, "12x", 4},
      {"no inbound files", {"abc.HL7", "12.txt", "99.HL7.bak"}, nullptr, 1},
  };
  for (const Case& c : cases) {
    fs::remove_all(inbound_);
    fs::create_directory(inbound_);
    fs::remove(config_.counter_file);
    for (const std::string& f : c.files) testing::WriteFile(inbound_ + "/" + f, "x");
    if (c.counter) testing::WriteFile(config_.counter_file, c.counter);
    auto spool = Open();
    ASSERT_TRUE(spool) << c.name;
    EXPECT_EQ(spool->next_number(), c.first) << c.name;
  }
}

TEST_F(InboundSpoolTest, StoresEachMessageUnchangedInOrderAndResumesAboveAfterRestart) {
  std::string binary("MSH|^~\\&|\xE4\xF6\xFC\r\0PID|\r\n", 18);
  std::int64_t last;
  {
    auto spool = Open();
    ASSERT_TRUE(spool);
    auto out = spool->Store({"MSH|1", binary, "MSH|3"});
    ASSERT_EQ(Kinds(out), (std::vector<Kind>{Kind::kStored, Kind::kStored, Kind::kStored}));
    EXPECT_EQ(out[0].number + 1, out[1].number);
    EXPECT_EQ(out[1].number + 1, out[2].number);
    EXPECT_EQ(out[1].file, inbound_ + "/" + std::to_string(out[1].number) + ".HL7");
    EXPECT_EQ(Folder(), (std::map<std::string, std::string>{
                            {std::to_string(out[0].number) + ".HL7", "MSH|1"},
                            {std::to_string(out[1].number) + ".HL7", binary},
                            {std::to_string(out[2].number) + ".HL7", "MSH|3"}}));
    last = out[2].number;
  }
  // The service took the files meanwhile: the counter alone keeps the order.
  fs::remove_all(inbound_);
  fs::create_directory(inbound_);
  auto spool = Open();
  ASSERT_TRUE(spool);
  auto out = spool->Store({"MSH|4"});
  ASSERT_EQ(out[0].kind, Kind::kStored);
  EXPECT_GT(out[0].number, last);
}

TEST_F(InboundSpoolTest, SecondSpoolOnTheFolderIsRefusedUntilTheFirstIsGone) {
  auto first = Open();
  ASSERT_TRUE(first);
  std::string error;
  EXPECT_FALSE(Open(&error));
  EXPECT_NE(error.find("another receiver"), std::string::npos) << error;
  first.reset();
  EXPECT_TRUE(Open());
}

TEST_F(InboundSpoolTest, LeftoverTemporaryFilesAreRemovedAtOpen) {
  testing::WriteFile(inbound_ + "/.mllp-17.part", "half a mess");
  testing::WriteFile(inbound_ + "/other.part", "not ours");
  auto spool = Open();
  ASSERT_TRUE(spool);
  EXPECT_EQ(Folder(), (std::map<std::string, std::string>{{"other.part", "not ours"}}));
}

TEST_F(InboundSpoolTest, FailuresLeaveNothingBehind) {
  struct Case {
    const char* name;
    const char* op;  // fails for the inbound folder's paths only
    int error;
  } cases[] = {
      {"disk full while writing", "write", ENOSPC},
      {"rename refused", "rename", EACCES},
      {"folder sync fails", "sync", EIO},
      {"record cannot be written", "append", ENOSPC},
  };
  config_.duplicate_window = 3600;
  for (const Case& c : cases) {
    auto spool = Open();
    ASSERT_TRUE(spool) << c.name;
    files_.fail = [&](const std::string& op, const std::string& path) {
      return op == c.op && path.rfind(inbound_, 0) == 0 ? c.error : 0;
    };
    auto out = spool->Store({"MSH|a", "MSH|b"}, {std::string(c.op) + " a", std::string(c.op) + " b"});
    files_.fail = nullptr;
    EXPECT_EQ(Kinds(out), (std::vector<Kind>{Kind::kFailed, Kind::kFailed})) << c.name;
    EXPECT_NE(out[0].error.find(std::generic_category().message(c.error)), std::string::npos)
        << c.name << ": " << out[0].error;
    EXPECT_TRUE(Folder().empty()) << c.name;
    // Not written, so not recorded: neither now nor after a restart.
    EXPECT_FALSE(spool->Seen(std::string(c.op) + " a")) << c.name;
    spool.reset();
    spool = Open();
    EXPECT_FALSE(spool->Seen(std::string(c.op) + " a")) << c.name;
    // The spool goes on once the fault is gone.
    out = spool->Store({"MSH|c"}, {std::string(c.op) + " c"});
    EXPECT_EQ(out[0].kind, Kind::kStored) << c.name;
    EXPECT_TRUE(spool->Seen(std::string(c.op) + " c")) << c.name;
    fs::remove(out[0].file);
  }
}

// After a power loss an entry without its temporary file must mean the file
// was renamed into place: the names are durable before the entries are.
TEST_F(InboundSpoolTest, RecordIsFlushedOnlyOnceTheTemporaryNamesAreDurable) {
  config_.duplicate_window = 3600;
  auto spool = Open();
  ASSERT_TRUE(spool);
  files_.ops.clear();
  ASSERT_EQ(spool->Store({"MSH|a"}, {"a"})[0].kind, Kind::kStored);
  std::vector<std::string> seen;
  for (const std::string& op : files_.ops) {
    if (op.find(inbound_) != std::string::npos) seen.push_back(op.substr(0, op.find(' ')));
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"sync", "flush", "sync"}));
}

// What a store interrupted by a crash left: an entry whose temporary file
// is still there was never renamed into place (nor answered).
TEST_F(InboundSpoolTest, RecordKeepsExactlyTheMessagesWrittenBeforeACrash) {
  config_.duplicate_window = 3600;
  std::string now = std::to_string(std::time(nullptr));
  testing::WriteFile(inbound_ + "/" + kSpoolSeenName,
                     now + " - earlier\n" + now + " .mllp-1.part renamed\n" + now +
                         " .mllp-2.part never-renamed\n");
  testing::WriteFile(inbound_ + "/.mllp-2.part", "MSH|x");
  auto spool = Open();
  ASSERT_TRUE(spool);
  EXPECT_TRUE(spool->Seen("earlier"));
  EXPECT_TRUE(spool->Seen("renamed"));
  EXPECT_FALSE(spool->Seen("never-renamed"));
  EXPECT_TRUE(Folder().empty());
}

TEST_F(InboundSpoolTest, CounterThatCannotBeWrittenStoresNothing) {
  auto spool = Open();
  ASSERT_TRUE(spool);
  files_.fail = [&](const std::string& op, const std::string& path) {
    return op == "write" && path.rfind(config_.counter_file, 0) == 0 ? ENOSPC : 0;
  };
  auto out = spool->Store({"MSH|a"});
  EXPECT_EQ(out[0].kind, Kind::kFailed);
  EXPECT_TRUE(Folder().empty());
}

TEST_F(InboundSpoolTest, TakenNumbersAndLinksAreSkippedNeverReplaced) {
  auto spool = Open();
  ASSERT_TRUE(spool);
  std::int64_t n = spool->next_number();
  std::string outside = dir_ / "outside";
  testing::WriteFile(outside, "keep");
  testing::WriteFile(inbound_ + "/" + std::to_string(n) + ".HL7", "someone else's");
  ASSERT_EQ(symlink(outside.c_str(), (inbound_ + "/" + std::to_string(n + 1) + ".HL7").c_str()), 0);
  auto out = spool->Store({"MSH|mine"});
  ASSERT_EQ(out[0].kind, Kind::kStored);
  EXPECT_EQ(out[0].number, n + 2);
  EXPECT_EQ(testing::ReadFile(outside), "keep");
  EXPECT_EQ(testing::ReadFile(inbound_ + "/" + std::to_string(n) + ".HL7"), "someone else's");
}

TEST_F(InboundSpoolTest, NumbersStartAgainOnlyWhenTheFolderIsEmpty) {
  struct Case {
    const char* name;
    std::int64_t counter;
    bool folder_empty;
    std::vector<std::int64_t> numbers;  // of three messages; 0 = waiting
  } cases[] = {
      {"wrap point, files waiting", kSpoolWrapFrom, false,
       {kSpoolWrapFrom, kSpoolWrapFrom + 1, kSpoolWrapFrom + 2}},
      {"wrap point, folder empty", kSpoolWrapFrom, true, {1, 2, 3}},
      {"last number, files waiting", kLastSpoolNumber, false, {kLastSpoolNumber, 0, 0}},
      {"beyond the last, folder empty", kLastSpoolNumber + 1, true, {1, 2, 3}},
  };
  for (const Case& c : cases) {
    fs::remove_all(inbound_);
    fs::create_directory(inbound_);
    if (!c.folder_empty) testing::WriteFile(inbound_ + "/3.HL7", "waiting");
    testing::WriteFile(config_.counter_file, std::to_string(c.counter) + "\n");
    auto spool = Open();
    ASSERT_TRUE(spool) << c.name;
    auto out = spool->Store({"MSH|a", "MSH|b", "MSH|c"});
    std::vector<std::int64_t> numbers;
    for (const auto& o : out) {
      EXPECT_NE(o.kind, Kind::kFailed) << c.name << ": " << o.error;
      numbers.push_back(o.kind == Kind::kStored ? o.number : 0);
    }
    EXPECT_EQ(numbers, c.numbers) << c.name;
    if (numbers.back() == 0) {
      // Once the service has taken every file, the waiting messages go in at 1.
      for (const auto& [name, content] : Folder()) fs::remove(inbound_ + "/" + name);
      out = spool->Store({"MSH|b"});
      EXPECT_EQ(out[0].number, 1) << c.name;
    }
    if (numbers[0] != 1 && numbers.back() != 0) continue;
    // The counter came down with the numbers, so a restart keeps the order.
    spool.reset();
    spool = Open();
    ASSERT_TRUE(spool);
    EXPECT_LT(spool->next_number(), kSpoolWrapFrom) << c.name;
  }
}

}  // namespace
}  // namespace norv
