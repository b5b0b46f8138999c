#include "app/interrupted_writes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "testing/test_util.h"

namespace norv {
namespace {

using testing::Exists;
using testing::TempDir;
using testing::WriteFile;

constexpr char kUid[] = "2.25.123456789";

// Which files a start-up removes, for the Temp prefix as a folder and as a
// folder with a name prefix; everything else stays.
TEST(RemoveInterruptedWrites, RemovesOnlyTheProgramsOwnLeftovers) {
  for (const std::string prefix : {"", "rep_"}) {
    TempDir dir;
    std::filesystem::create_directory(dir / "temp");
    std::filesystem::create_directory(dir / "RenameOrders");
    const std::string uid = kUid, t = "temp/" + prefix;
    struct File {
      std::string name;
      bool removed;
    } files[] = {
        {t + uid + "1.dcm.part", true},       // a page cut short
        {t + uid + "2.cae", true},            // a marker whose page never came
        {t + uid + "3.cae", false},           // a marker with its page
        {t + uid + "3.dcm", false},
        {t + uid + "4.dcm", false},           // a page without a marker
        {"temp/." + prefix + uid + "5.cae.77.1.part", true},
        {t + uid + "6.cae.tmp", true},
        {t + "notes.tmp", false},             // no UID: not the program's
        {t + "1234.tmp", false},              // no UID of the program's root
        {t + uid + "7.dcm.partial", false},
        {"RenameOrders/" + uid + "8.tmp", true},
        {"RenameOrders/." + uid + "9.JRQ.5.1.part", true},
        {"RenameOrders/" + uid + "10.JRQ", false},
        {"RenameOrders/other.tmp", false},
    };
    if (!prefix.empty()) {
      // With a name prefix, files without it belong to someone else.
      WriteFile(dir / ("temp/" + uid + "11.dcm.part"), "x");
    }
    for (const File& f : files) WriteFile(dir / f.name, "x");

    FileSystem& fs = PlatformFileSystem();
    std::vector<Leftover> found =
        RemoveInterruptedWrites(fs, dir.path() + "/" + t, dir / "RenameOrders");
    std::vector<std::string> reported;
    for (const Leftover& l : found) {
      EXPECT_EQ(l.error, 0) << l.path;
      reported.push_back(l.path);
    }
    std::vector<std::string> expected;
    for (const File& f : files) {
      EXPECT_EQ(Exists(dir / f.name), !f.removed) << prefix << " " << f.name;
      if (f.removed) expected.push_back(dir / f.name);
    }
    EXPECT_TRUE(prefix.empty() || Exists(dir / ("temp/" + uid + "11.dcm.part")));
    std::sort(reported.begin(), reported.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(reported, expected) << prefix;
  }
}

TEST(RemoveInterruptedWrites, MissingFoldersAreNoError) {
  TempDir dir;
  EXPECT_TRUE(
      RemoveInterruptedWrites(PlatformFileSystem(), dir / "gone/", dir / "RenameOrders").empty());
  EXPECT_TRUE(RemoveInterruptedWrites(PlatformFileSystem(), "", dir / "RenameOrders").empty());
}

}  // namespace
}  // namespace norv
