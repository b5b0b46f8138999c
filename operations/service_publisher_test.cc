#include "operations/service_publisher.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "testing/test_util.h"

namespace norv {
namespace {

using testing::ReadFile;
using testing::TempDir;

mode_t ModeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : 0;
}

class ServicePublisherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(home_ / "in");
    settings_.InboundPath = home_ / "in/";
    settings_.FileSuffix = "HL7";
    settings_.MetricsFile = "norv.prom";
  }
  ServiceState Record() {
    std::optional<ServiceState> s = ParseState(ReadFile(StateFilePath(home_.path(), "01")));
    EXPECT_TRUE(s.has_value());
    return s.value_or(ServiceState{});
  }

  TempDir home_;
  Settings settings_;
  Moment now_{1796600000, {2026, 12, 7, 10, 0, 0}};
  ServiceStateRecorder recorder_{42, "1.2.3", [this] { return now_; }};
  std::vector<std::string> reports_;
  ServicePublisher publisher_{recorder_, settings_, PlatformFileSystem(), home_.path(), "01",
                              [this](std::int32_t, const std::string& d) { reports_.push_back(d); }};
};

TEST_F(ServicePublisherTest, BothFilesAreReadableByEveryoneWhateverTheMask) {
  testing::WriteFile(home_ / "in/7.HL7", "waiting");
  recorder_.RecordMessage("ORM^O01", Outcome::kProcessed, 0.01);
  const mode_t old_mask = umask(0077);
  publisher_.Publish(3, 1);
  umask(old_mask);
  ServiceState s = Record();
  EXPECT_EQ(s.pid, 42);
  EXPECT_EQ(s.skipped_files, 3u);
  EXPECT_EQ(s.undisposable_files, 1u);
  ASSERT_EQ(s.queues.size(), 1u);
  EXPECT_EQ(s.queues[0].waiting, 1u);
  std::string metrics = ReadFile(home_ / "norv.prom");
  EXPECT_NE(metrics.find("norvreader_undisposable_files{feed=\"01\"} 1\n"), std::string::npos);
  EXPECT_EQ(ModeOf(StateFilePath(home_.path(), "01")), 0644u);
  EXPECT_EQ(ModeOf(home_ / "norv.prom"), 0644u);
  EXPECT_TRUE(reports_.empty());

  publisher_.PublishStopped();
  EXPECT_EQ(Record().stopped, now_.unix_seconds);
}

TEST_F(ServicePublisherTest, AWriteFailureIsReportedOnceUntilAWriteSucceeds) {
  settings_.MetricsFile = "missing/norv.prom";
  publisher_.Publish(0, 0);
  publisher_.Publish(0, 0);
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_NE(reports_[0].find("metrics file"), std::string::npos) << reports_[0];
  settings_.MetricsFile = "norv.prom";  // the setting is read afresh: a reload fixes it
  publisher_.Publish(0, 0);
  settings_.MetricsFile = "missing/norv.prom";
  publisher_.Publish(0, 0);
  EXPECT_EQ(reports_.size(), 2u);
  EXPECT_EQ(Record().pid, 42);  // the state file is written all along
}

TEST_F(ServicePublisherTest, InstancesSharingAProgramDirectoryKeepRecordsOfTheirOwn) {
  ServiceStateRecorder other(43, "1.2.3", [this] { return now_; });
  settings_.MetricsFile.clear();
  ServicePublisher second(other, settings_, PlatformFileSystem(), home_.path(), "02", nullptr);
  recorder_.RecordMessage("ORU^R01", Outcome::kProcessed, 0);
  publisher_.Publish(0, 0);
  second.Publish(0, 0);
  EXPECT_EQ(Record().pid, 42);
  EXPECT_EQ(Record().total.Of("ORU^R01", Outcome::kProcessed), 1u);
  std::optional<ServiceState> s2 = ParseState(ReadFile(StateFilePath(home_.path(), "02")));
  ASSERT_TRUE(s2.has_value());
  EXPECT_EQ(s2->pid, 43);
  EXPECT_TRUE(reports_.empty());
}

TEST_F(ServicePublisherTest, ANewRunTakesOverTodaysCounts) {
  recorder_.RecordMessage("ORU^R01", Outcome::kFailed, 0);
  publisher_.PublishStopped();
  ServiceStateRecorder next(43, "1.2.3", [this] { return now_; });
  ServicePublisher again(next, settings_, PlatformFileSystem(), home_.path(), "01", nullptr);
  again.CarryOverEarlierRun();
  next.RecordMessage("ORU^R01", Outcome::kFailed, 0);
  EXPECT_EQ(next.Snapshot().today.Of("ORU^R01", Outcome::kFailed), 2u);
  EXPECT_EQ(next.Snapshot().total.Of("ORU^R01", Outcome::kFailed), 1u);
}

// The alive tick counts the queue from the cycle's index, not by listing
// the directory again: what the index has not seen yet is not counted.
TEST_F(ServicePublisherTest, QueueFiguresComeFromTheIndexOnceItHasListed) {
  testing::WriteFile(home_ / "in/7.HL7", "waiting");
  testing::WriteFile(home_ / "in/9.HL7", "waiting");
  const auto past = std::filesystem::file_time_type::clock::now() - std::chrono::hours(1);
  std::filesystem::last_write_time(home_ / "in/7.HL7", past);
  std::map<std::string, std::unique_ptr<InboundQueue>> indexes;
  auto& index = indexes[settings_.InboundPath];
  index = std::make_unique<InboundQueue>(PlatformFileSystem(), settings_.InboundPath, nullptr);
  publisher_.Publish(0, 0, &indexes);  // not listed yet: the directory is listed
  EXPECT_EQ(Record().queues.at(0).waiting, 2u);

  index->Choose("HL7");
  testing::WriteFile(home_ / "in/11.HL7", "unseen by the index");
  publisher_.Publish(0, 0, &indexes);
  QueueFigures q = Record().queues.at(0);
  EXPECT_EQ(q.waiting, 2u);
  EXPECT_EQ(q.highest, 9);
  EXPECT_GE(q.oldest_age, 3500);  // 7.HL7, next in line
  publisher_.Publish(0, 0);
  EXPECT_EQ(Record().queues.at(0).waiting, 3u);
}

}  // namespace
}  // namespace norv
