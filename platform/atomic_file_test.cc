#include "platform/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "testing/test_util.h"

namespace norv {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

TEST(AtomicFile, ReplacesTheFileAndLeavesNoTemporary) {
  TempDir dir;
  const std::string path = dir / "state";
  ASSERT_TRUE(WriteFileAtomically(path, "one").ok());
  WriteFile(dir / ".state.1.tmp", "someone else's");
  ASSERT_TRUE(WriteFileAtomically(path, "two", 0644).ok());
  EXPECT_EQ(ReadFile(path), "two");
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  std::size_t entries = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) entries += e.path() != path;
  EXPECT_EQ(entries, 1u);  // only the unrelated file
}

TEST(AtomicFile, NeverWritesThroughALink) {
  TempDir dir;
  WriteFile(dir / "victim", "keep");
  std::filesystem::create_symlink(dir / "victim", dir / "metrics.prom");
  // A planted link on our temporary name is not followed either.
  std::filesystem::create_symlink(dir / "victim",
                                  dir / (".metrics.prom." + std::to_string(getpid()) + ".tmp"));
  ASSERT_TRUE(WriteFileAtomically(dir / "metrics.prom", "new").ok());
  EXPECT_EQ(ReadFile(dir / "victim"), "keep");
  EXPECT_FALSE(std::filesystem::is_symlink(dir / "metrics.prom"));
  EXPECT_EQ(ReadFile(dir / "metrics.prom"), "new");
  EXPECT_FALSE(WriteFileAtomically(dir / "missing/x", "y").ok());
}

}  // namespace
}  // namespace norv
