#include "core/seen_messages.h"

#include <gtest/gtest.h>

#include <set>

#include "testing/test_util.h"

namespace norv {
namespace {

constexpr std::int64_t kHour = 3600;

TEST(SeenMessageKey, NeedsAControlIdAndTellsFieldsAndContentApart) {
  const std::string key = SeenMessageKey("RIS", "HOSP", "7", "MSH|1");
  EXPECT_EQ(SeenMessageKey("RIS", "HOSP", "", "MSH|1"), "");
  EXPECT_EQ(SeenMessageKey("RIS", "HOSP", "  ", "MSH|1"), "");
  EXPECT_EQ(key, SeenMessageKey("RIS", "HOSP", "7", "MSH|1"));
  EXPECT_EQ(key.rfind("RIS HOSP 7 ", 0), 0u) << key;
  EXPECT_NE(key, SeenMessageKey("RIS", "HOSP", "7", "MSH|2"));
  EXPECT_NE(SeenMessageKey("A B", "C", "1", ""), SeenMessageKey("A", "B C", "1", ""));
  EXPECT_EQ(SeenMessageKey("R\nI%", "", "1", "").find('\n'), std::string::npos);
}

// The file as an earlier run left it, opened at `now`: which keys count.
TEST(SeenMessages, OpensWhatTheFileHoldsWithinWindowAndBound) {
  struct Case {
    const char* name;
    std::string file;
    std::int64_t now;
    std::size_t bound;
    std::set<std::string> seen, not_seen;
    std::size_t dropped;
  } cases[] = {
      {"inside the window", "1000 - a\n", 1000 + kHour - 1, 10, {"a"}, {}, 0},
      {"window passed", "1000 - a\n", 1000 + kHour, 10, {}, {"a"}, 0},
      {"tagged: its file was written", "1000 t1 a\n", 1000, 10, {"a"}, {}, 0},
      {"tagged: its file was not", "1000 gone b\n", 1000, 10, {}, {"b"}, 0},
      {"withdrawn", "1000 t1 a\n1000 t2 b\n! t1\n", 1000, 10, {"b"}, {"a"}, 0},
      {"torn last line", "1000 - a\n1000 - b", 1000, 10, {"a"}, {"b"}, 1},
      {"unreadable line", "x - a\n1000 -\n1000 - c\n", 1000, 10, {"c"}, {"a"}, 2},
      {"bound: oldest first", "1000 - a\n1001 - b\n1002 - c\n", 1002, 2, {"b", "c"}, {"a"}, 0},
      {"sent again later: the later time counts", "1000 - a\n2000 - a\n", 1000 + kHour, 10,
       {"a"}, {}, 0},
  };
  for (const Case& c : cases) {
    testing::TempDir dir;
    const std::string path = dir / "seen";
    testing::WriteFile(path, c.file);
    std::string error;
    std::size_t dropped = 99;
    auto record = SeenMessages::Open(
        PlatformDurableFiles(), path, kHour, c.now,
        [](const std::string& tag) { return tag == "gone"; }, &error, &dropped, c.bound);
    ASSERT_TRUE(record) << c.name << ": " << error;
    EXPECT_EQ(dropped, c.dropped) << c.name;
    for (const std::string& k : c.seen) EXPECT_TRUE(record->Contains(k, c.now)) << c.name << " " << k;
    for (const std::string& k : c.not_seen) {
      EXPECT_FALSE(record->Contains(k, c.now)) << c.name << " " << k;
    }
    // Rewritten with every entry resolved: opening again changes nothing.
    EXPECT_EQ(testing::ReadFile(path).find(" t1 "), std::string::npos) << c.name;
    record = SeenMessages::Open(PlatformDurableFiles(), path, kHour, c.now,
                                [](const std::string&) { return true; }, &error, &dropped, c.bound);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->size(), c.seen.size()) << c.name;
  }
}

TEST(SeenMessages, AddedAndWithdrawnEntriesSurviveReopeningAndTidyingBoundsTheFile) {
  testing::TempDir dir;
  const std::string path = dir / "seen";
  std::string error;
  auto open = [&] {
    return SeenMessages::Open(PlatformDurableFiles(), path, kHour, 5000,
                              [](const std::string&) { return false; }, &error);
  };
  auto record = open();
  ASSERT_TRUE(record) << error;
  ASSERT_TRUE(record->Add({{"a", "t1"}, {"b", "t2"}}, 5000).ok());
  ASSERT_TRUE(record->Withdraw({{"b", "t2"}}).ok());
  EXPECT_TRUE(record->Contains("a", 5000));
  EXPECT_FALSE(record->Contains("b", 5000));
  for (int i = 0; i < 3000; ++i) {
    ASSERT_TRUE(record->Add({{"same"}}, 5000).ok());
    ASSERT_TRUE(record->Tidy(5000).ok());
  }
  EXPECT_LT(testing::ReadFile(path).size(), 40000u);
  record = open();
  ASSERT_TRUE(record) << error;
  EXPECT_TRUE(record->Contains("a", 5000));
  EXPECT_FALSE(record->Contains("b", 5000));
  EXPECT_TRUE(record->Contains("same", 5000));
  EXPECT_EQ(record->size(), 2u);
}

}  // namespace
}  // namespace norv
