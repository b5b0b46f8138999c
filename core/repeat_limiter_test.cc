#include "core/repeat_limiter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace norv {
namespace {

using Lines = std::vector<std::string>;

// A timeline of ticks, each with what the limiter returned.
TEST(RepeatLimiter, LogsFirstThenOncePerIntervalThenWhenCleared) {
  struct Tick {
    int second;
    const char* error;  // nullptr: the tick went well
    Lines lines;
  } ticks[] = {
      {0, nullptr, {}},
      {1, "Path not found", {"Path not found"}},
      {2, "Path not found", {}},
      {30, "Path not found", {}},
      {60, "Path not found", {}},
      {61, "Path not found", {"Path not found (repeated 4 times)"}},
      {62, "Path not found", {}},
      {121, "Path not found", {"Path not found (repeated 2 times)"}},
      {122, nullptr, {"Path not found (cleared)"}},
      {123, nullptr, {}},
      // Back again: a first occurrence once more.
      {124, "Path not found", {"Path not found"}},
      {125, "Path not found", {}},
      {126, nullptr, {"Path not found (repeated 1 time, cleared)"}},
      // Another error replaces the active one at once.
      {127, "Path not found", {"Path not found"}},
      {128, "Path not found", {}},
      {129, "Permission denied", {"Path not found (repeated 1 time)", "Permission denied"}},
      {130, "Permission denied", {}},
  };
  RepeatLimiter limiter;
  const RepeatLimiter::Clock::time_point start{};
  for (const Tick& t : ticks) {
    RepeatLimiter::Clock::time_point now = start + std::chrono::seconds(t.second);
    Lines lines = t.error ? limiter.Occurred(t.error, now) : limiter.Cleared();
    EXPECT_EQ(lines, t.lines) << "at second " << t.second;
    EXPECT_EQ(limiter.active(), t.error != nullptr) << "at second " << t.second;
  }
}

}  // namespace
}  // namespace norv
