// Keeps an error that recurs on every tick (an inbound directory missing, an
// empty TCPRECEIVE list, a database that is down) from filling the error log
// with one identical line per tick: the error is logged when it first
// occurs, then at most once per interval with the number of repetitions, and
// once more when it clears. Pure logic: the caller passes the time and logs
// the lines returned (as descriptions, with its own number and source).
// One limiter per recurring condition; single-threaded.
#ifndef NORV_CORE_REPEAT_LIMITER_H_
#define NORV_CORE_REPEAT_LIMITER_H_

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace norv {

class RepeatLimiter {
 public:
  using Clock = std::chrono::steady_clock;

  explicit RepeatLimiter(Clock::duration interval = std::chrono::minutes(1))
      : interval_(interval) {}

  // The error `text` occurred at `now`. Returns the lines to log:
  //   - a new error (none active, or a different text): `text`, preceded by
  //     "<previous text> (repeated N times)" when the previous error had
  //     repetitions not yet reported;
  //   - the same error again: nothing, or "<text> (repeated N times)" once
  //     `interval` has passed since its last line; N counts the occurrences
  //     since that line.
  std::vector<std::string> Occurred(const std::string& text, Clock::time_point now);

  // The condition was checked and the error did not occur. Returns, once
  // after an error, "<text> (cleared)", or "<text> (repeated N times,
  // cleared)" when repetitions were not yet reported; nothing otherwise.
  std::vector<std::string> Cleared();

  // Whether an error is active (occurred and not cleared since).
  bool active() const { return active_; }

 private:
  std::string Repeated(const char* tail) const;

  Clock::duration interval_;
  bool active_ = false;
  std::string text_;
  std::int64_t unreported_ = 0;
  Clock::time_point last_line_{};
};

}  // namespace norv

#endif  // NORV_CORE_REPEAT_LIMITER_H_
