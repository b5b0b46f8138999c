#include "platform/dir_watch.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "testing/test_util.h"

namespace norv {
namespace {

#ifdef __linux__

using testing::TempDir;
using Seen = std::vector<std::pair<DirChange::Kind, std::string>>;

bool Readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 0) == 1;
}

// The waiting reports, leaving out those about attributes (the kernel sends
// some of its own, e.g. for a link count).
Seen ReadAll(DirWatch& watch, DirWatch::ReadStatus expected = DirWatch::ReadStatus::kOk) {
  std::vector<DirChange> changes;
  EXPECT_EQ(watch.Read(changes), expected);
  Seen seen;
  for (const DirChange& c : changes) {
    if (c.kind != DirChange::kAttributes) seen.emplace_back(c.kind, c.name);
  }
  return seen;
}

void Create(const std::string& path, const std::string& bytes) {
  int fd = open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  close(fd);
}

TEST(DirWatch, ReportsTheFolderOwnEntriesInOrder) {
  TempDir dir;
  auto watch = NewPlatformDirWatch();
  ASSERT_EQ(watch->Start(dir.path()), 0);
  EXPECT_TRUE(watch->complete());  // the temporary folder is local
  EXPECT_FALSE(Readable(watch->fd()));

  Create(dir / "a.tmp", "MSH|");
  ASSERT_EQ(std::rename((dir / "a.tmp").c_str(), (dir / "1.HL7").c_str()), 0);
  std::filesystem::create_directory(dir / "failed");
  Create(dir / "failed/2.HL7", "x");
  ASSERT_EQ(std::rename((dir / "1.HL7").c_str(), (dir / "failed/1.HL7").c_str()), 0);
  Create(dir / "3.HL7", "");
  ASSERT_EQ(unlink((dir / "3.HL7").c_str()), 0);
  EXPECT_TRUE(Readable(watch->fd()));
  EXPECT_EQ(ReadAll(*watch), (Seen{{DirChange::kCreated, "a.tmp"},
                                   {DirChange::kModified, "a.tmp"},
                                   {DirChange::kArrived, "a.tmp"},
                                   {DirChange::kRemoved, "a.tmp"},
                                   {DirChange::kArrived, "1.HL7"},
                                   {DirChange::kRemoved, "1.HL7"},
                                   {DirChange::kCreated, "3.HL7"},
                                   {DirChange::kArrived, "3.HL7"},
                                   {DirChange::kRemoved, "3.HL7"}}));
  EXPECT_FALSE(Readable(watch->fd()));
  EXPECT_GE(watch->change_count(), 9u);
}

TEST(DirWatch, SaysWhenReportsAreLostOrTheFolderIsGone) {
  TempDir dir;
  auto watch = NewPlatformDirWatch();
  EXPECT_EQ(watch->Start(dir / "missing"), ENOENT);
  EXPECT_FALSE(watch->active());

  // More reports than the kernel queues. Alternating names, as it merges a
  // report equal to the one before.
  std::size_t limit = 16384;
  std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> limit;
  if (limit <= 65536) {
    Create(dir / "a", "");
    Create(dir / "b", "");
    ASSERT_EQ(watch->Start(dir.path()), 0);
    for (std::size_t i = 0; i <= limit; ++i) {
      ASSERT_EQ(chmod((dir / (i % 2 ? "a" : "b")).c_str(), i % 4 < 2 ? 0600 : 0644), 0);
    }
    ReadAll(*watch, DirWatch::ReadStatus::kLost);
  }

  std::filesystem::create_directory(dir / "in");
  const int fd = watch->fd();
  ASSERT_EQ(watch->Start(dir / "in"), 0);
  EXPECT_EQ(watch->fd(), fd);
  EXPECT_TRUE(ReadAll(*watch).empty());  // nothing of the earlier folder
  ASSERT_EQ(std::rename((dir / "in").c_str(), (dir / "moved").c_str()), 0);
  ReadAll(*watch, DirWatch::ReadStatus::kEnded);
  EXPECT_FALSE(watch->active());
}

#endif

}  // namespace
}  // namespace norv
