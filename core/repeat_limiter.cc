#include "core/repeat_limiter.h"

namespace norv {

std::string RepeatLimiter::Repeated(const char* tail) const {
  return text_ + " (repeated " + std::to_string(unreported_) +
         (unreported_ == 1 ? " time" : " times") + tail + ")";
}

std::vector<std::string> RepeatLimiter::Occurred(const std::string& text,
                                                 Clock::time_point now) {
  std::vector<std::string> lines;
  if (active_ && text == text_) {
    ++unreported_;
    if (now - last_line_ >= interval_) {
      lines.push_back(Repeated(""));
      unreported_ = 0;
      last_line_ = now;
    }
    return lines;
  }
  if (active_ && unreported_ > 0) lines.push_back(Repeated(""));
  active_ = true;
  text_ = text;
  unreported_ = 0;
  last_line_ = now;
  lines.push_back(text);
  return lines;
}

std::vector<std::string> RepeatLimiter::Cleared() {
  std::vector<std::string> lines;
  if (!active_) return lines;
  lines.push_back(unreported_ > 0 ? Repeated(", cleared") : text_ + " (cleared)");
  active_ = false;
  text_.clear();
  unreported_ = 0;
  return lines;
}

}  // namespace norv
