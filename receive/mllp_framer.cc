#include "receive/mllp_framer.h"

#include <algorithm>

namespace norv {

std::string MllpFrame(std::string_view message) {
  std::string framed;
  framed.reserve(message.size() + 3);
  framed += kMllpStart;
  framed += message;
  framed += kMllpEnd;
  framed += kMllpEndCr;
  return framed;
}

bool MllpFramer::Feed(std::string_view bytes, std::vector<std::string>* messages) {
  if (oversize_) return false;
  while (!bytes.empty()) {
    if (!in_frame_) {
      if (after_end_ && bytes.front() == kMllpEndCr) bytes.remove_prefix(1);
      after_end_ = false;
      std::size_t start = bytes.find(kMllpStart);
      if (start == std::string_view::npos) {
        skipped_bytes_ += bytes.size();
        return true;
      }
      skipped_bytes_ += start;
      bytes.remove_prefix(start + 1);
      in_frame_ = true;
      frame_.clear();
      continue;
    }
    // The message runs to the end block; a new start block before it means
    // the sender gave up on this frame.
    std::size_t stop = bytes.find_first_of(std::string_view("\x0B\x1C", 2));
    std::string_view part = bytes.substr(0, stop);
    if (frame_.size() + part.size() > max_message_) {
      frame_.append(part.substr(0, max_message_ - frame_.size()));
      oversize_ = true;
      return false;
    }
    frame_.append(part);
    if (stop == std::string_view::npos) return true;
    if (bytes[stop] == kMllpStart) {
      ++abandoned_frames_;
      frame_.clear();
    } else {
      messages->push_back(std::move(frame_));
      frame_ = std::string();
      in_frame_ = false;
      after_end_ = true;
    }
    bytes.remove_prefix(stop + 1);
  }
  return true;
}

}  // namespace norv
