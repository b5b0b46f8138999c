#include "core/uid.h"

#include <gtest/gtest.h>

#include <set>

namespace norv {
namespace {

TEST(NewUID, UuidDerivedUidsAreValidAndUnique) {
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    std::string uid = NewUID();
    ASSERT_EQ(uid.rfind("2.25.", 0), 0u) << uid;
    ASSERT_LE(uid.size(), 64u) << uid;
    std::string tail = uid.substr(5);
    ASSERT_FALSE(tail.empty());
    ASSERT_TRUE(tail.find_first_not_of("0123456789") == std::string::npos) << uid;
    ASSERT_TRUE(tail == "0" || tail[0] != '0') << "leading zero: " << uid;
    ASSERT_TRUE(seen.insert(uid).second) << "duplicate " << uid;
  }
}

}  // namespace
}  // namespace norv
