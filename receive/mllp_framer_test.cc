#include "receive/mllp_framer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace norv {
namespace {

const std::string kVT = "\x0B", kFS = "\x1C", kCR = "\r";

struct Outcome {
  std::vector<std::string> messages;
  bool ok = true;
  std::size_t skipped = 0;
  std::size_t abandoned = 0;
};

Outcome FeedAll(const std::vector<std::string>& chunks, std::size_t max) {
  MllpFramer framer(max);
  Outcome o;
  for (const std::string& c : chunks) o.ok = framer.Feed(c, &o.messages) && o.ok;
  o.skipped = framer.skipped_bytes();
  o.abandoned = framer.abandoned_frames();
  return o;
}

TEST(MllpFramer, CutsStreams) {
  struct Case {
    const char* name;
    std::vector<std::string> chunks;
    std::vector<std::string> messages;
    std::size_t skipped;
    std::size_t abandoned;
  } cases[] = {
      {"one frame", {kVT + "MSH|a" + kFS + kCR}, {"MSH|a"}, 0, 0},
      {"two pipelined", {kVT + "A" + kFS + kCR + kVT + "B" + kFS + kCR}, {"A", "B"}, 0, 0},
      {"split everywhere", {kVT, "MS", "H|", kFS, kCR, kVT + "x", kFS + kCR}, {"MSH|", "x"}, 0, 0},
      {"garbage before start", {"GET / HTTP/1.0\r\n" + kVT + "A" + kFS + kCR}, {"A"}, 16, 0},
      {"no CR after end block", {kVT + "A" + kFS + kVT + "B" + kFS}, {"A", "B"}, 0, 0},
      {"noise between frames", {kVT + "A" + kFS + kCR + "\r\n  " + kVT + "B" + kFS + kCR},
       {"A", "B"}, 4, 0},
      {"restart inside frame", {kVT + "half" + kVT + "whole" + kFS + kCR}, {"whole"}, 0, 1},
      {"empty frame", {kVT + kFS + kCR}, {""}, 0, 0},
      {"unfinished frame", {kVT + "MSH|never ends"}, {}, 0, 0},
      {"binary content", {kVT + std::string("a\0b\xFF", 4) + kFS + kCR},
       {std::string("a\0b\xFF", 4)}, 0, 0},
  };
  for (const Case& c : cases) {
    Outcome o = FeedAll(c.chunks, 1000);
    EXPECT_TRUE(o.ok) << c.name;
    EXPECT_EQ(o.messages, c.messages) << c.name;
    EXPECT_EQ(o.skipped, c.skipped) << c.name;
    EXPECT_EQ(o.abandoned, c.abandoned) << c.name;
  }
}

// However the network cuts the stream, the same messages come out.
TEST(MllpFramer, EverySplitGivesTheSameMessages) {
  std::string stream = "xx" + MllpFrame("MSH|^~\\&|1") + MllpFrame("MSH|2\rPID|") + "\n" +
                       MllpFrame("3");
  for (std::size_t cut1 = 0; cut1 <= stream.size(); ++cut1) {
    for (std::size_t cut2 = cut1; cut2 <= stream.size(); cut2 += 3) {
      Outcome o = FeedAll({stream.substr(0, cut1), stream.substr(cut1, cut2 - cut1),
                           stream.substr(cut2)}, 100);
      std::vector<std::string> want = {"MSH|^~\\&|1", "MSH|2\rPID|", "3"};
      ASSERT_EQ(o.messages, want) << cut1 << "," << cut2;
      ASSERT_EQ(o.skipped, 3u) << cut1 << "," << cut2;
    }
  }
}

TEST(MllpFramer, SizeLimit) {
  struct Case {
    const char* name;
    std::vector<std::string> chunks;
    bool ok;
    std::size_t messages;
  } cases[] = {
      {"exactly the limit", {kVT + std::string(10, 'a') + kFS + kCR}, true, 1},
      {"one byte over", {kVT + std::string(11, 'a') + kFS + kCR}, false, 0},
      {"over across chunks", {kVT + std::string(6, 'a'), std::string(6, 'a')}, false, 0},
      {"limit per message, not per stream",
       {MllpFrame(std::string(10, 'a')) + MllpFrame(std::string(10, 'b'))}, true, 2},
      {"garbage does not count", {std::string(50, 'g') + MllpFrame("ok")}, true, 1},
  };
  for (const Case& c : cases) {
    MllpFramer framer(10);
    std::vector<std::string> messages;
    bool ok = true;
    for (const std::string& chunk : c.chunks) ok = framer.Feed(chunk, &messages) && ok;
    EXPECT_EQ(ok, c.ok) << c.name;
    EXPECT_EQ(messages.size(), c.messages) << c.name;
    if (!c.ok) {
      EXPECT_EQ(framer.Oversized(), std::string(10, 'a')) << c.name;
      // Nothing after the refused frame is taken any more.
      EXPECT_FALSE(framer.Feed(MllpFrame("x"), &messages)) << c.name;
      EXPECT_TRUE(messages.empty()) << c.name;
    }
  }
}

}  // namespace
}  // namespace norv
