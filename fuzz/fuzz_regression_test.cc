// Replays every kept fuzz input (crashes once found, and seeds) through its
// target, so a fixed crash stays fixed in the ordinary test run.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/fuzz_targets.h"
#include "testing/test_util.h"

namespace norv {
namespace {

namespace fs = std::filesystem;

struct Target {
  const char* name;
  int (*fn)(const std::uint8_t*, std::size_t);
};

const Target kTargets[] = {
    {"registry", FuzzRegistry},
    {"hl7_reader", FuzzHl7Reader},
    {"hl7_standard", FuzzHl7Standard},
};

TEST(FuzzRegression, EveryKeptInputRunsCleanly) {
  const char* src = std::getenv("NORV_SOURCE_DIR");
  ASSERT_NE(src, nullptr) << "NORV_SOURCE_DIR is set by CTest";
  int replayed = 0;
  for (const Target& t : kTargets) {
    fs::path dir = fs::path(src) / "fuzz" / "corpus" / t.name;
    ASSERT_TRUE(fs::is_directory(dir)) << dir;
    for (const auto& entry : fs::directory_iterator(dir)) {
      std::string bytes = testing::ReadFile(entry.path().string());
      SCOPED_TRACE(entry.path().string());
      EXPECT_EQ(t.fn(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), 0);
      ++replayed;
    }
  }
  EXPECT_GT(replayed, 0);
}

}  // namespace
}  // namespace norv
