#include "net/address_allow_list.h"

#include <gtest/gtest.h>

#include "net/lookup.h"

namespace norv {
namespace {

std::uint32_t Ip(const char* dotted) { return *ParseDottedAddress(dotted); }

TEST(AddressAllowList, Matching) {
  struct Case {
    const char* list;
    const char* peer;
    bool allowed;
  } cases[] = {
      {"127.0.0.1", "127.0.0.1", true},
      {"127.0.0.1", "127.0.0.2", false},
      {"127.0.0.0/8", "127.255.1.9", true},
      {"127.0.0.0/8", "128.0.0.1", false},
      {"10.20.0.0/16", "10.20.255.255", true},
      {"10.20.0.0/16", "10.21.0.0", false},
      {"10.20.30.40/16", "10.20.99.1", true},   // host bits of the entry ignored
      {"192.168.1.128/25", "192.168.1.127", false},
      {"192.168.1.128/25", "192.168.1.200", true},
      {"0.0.0.0/0", "203.0.113.5", true},
      {"1.2.3.4/32", "1.2.3.5", false},
      {" 127.0.0.2 , 10.0.0.0/8 ", "10.9.8.7", true},
      {"127.0.0.2,,", "127.0.0.1", false},
      {"", "127.0.0.1", false},                 // an empty list allows none
  };
  for (const Case& c : cases) {
    std::string error;
    auto list = AddressAllowList::Parse(c.list, &error);
    ASSERT_TRUE(list) << c.list << ": " << error;
    EXPECT_EQ(list->Allows(Ip(c.peer)), c.allowed) << c.list << " / " << c.peer;
  }
}

TEST(AddressAllowList, RejectsWhatIsNoAddress) {
  for (const char* bad : {"10.1", "256.0.0.1", "1.2.3.4/33", "1.2.3.4/", "1.2.3.4.5",
                          "localhost", "1.2.3.4/8x", "-1.0.0.0", "1.2.3.0004", "::1"}) {
    std::string error;
    std::string text = std::string("127.0.0.1, ") + bad;
    EXPECT_FALSE(AddressAllowList::Parse(text, &error)) << bad;
    EXPECT_EQ(error, bad);
  }
}

TEST(AddressAllowList, CanonicalText) {
  auto list = AddressAllowList::Parse("10.20.30.40/16,127.0.0.1", nullptr);
  ASSERT_TRUE(list);
  EXPECT_EQ(list->Text(), "10.20.0.0/16, 127.0.0.1/32");
}

}  // namespace
}  // namespace norv
