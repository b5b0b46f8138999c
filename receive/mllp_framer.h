// Cuts the byte stream of one MLLP connection into messages. A frame is a
// start block (0x0B), the message, and an end block (0x1C, normally followed
// by 0x0D). Bytes outside frames (line noise, the CR after an end block, a
// sender's keep-alive) are skipped; a start block inside a frame abandons the
// unfinished frame and starts again. One object per connection; pure.
#ifndef NORV_RECEIVE_MLLP_FRAMER_H_
#define NORV_RECEIVE_MLLP_FRAMER_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace norv {

inline constexpr char kMllpStart = 0x0B;
inline constexpr char kMllpEnd = 0x1C;
inline constexpr char kMllpEndCr = 0x0D;

// `message` framed for sending: start block, message, end block, CR.
std::string MllpFrame(std::string_view message);

class MllpFramer {
 public:
  // Frames whose message would exceed `max_message` bytes are refused.
  explicit MllpFramer(std::size_t max_message) : max_message_(max_message) {}

  // Takes received bytes and appends each message completed by them, without
  // its blocks, to *messages. Returns false once a message has grown beyond
  // the limit without an end block; the stream cannot be resynchronised
  // then, Oversized() holds its first `max_message` bytes and further input
  // is ignored.
  bool Feed(std::string_view bytes, std::vector<std::string>* messages);

  bool oversize() const { return oversize_; }
  // The start of the refused message (only after Feed returned false).
  const std::string& Oversized() const { return frame_; }
  // Whether an unfinished frame has started.
  bool InFrame() const { return in_frame_; }
  // Bytes skipped outside frames (the CR of an end block not counted), and frames abandoned by a new start block.
  std::size_t skipped_bytes() const { return skipped_bytes_; }
  std::size_t abandoned_frames() const { return abandoned_frames_; }

 private:
  std::size_t max_message_;
  std::string frame_;  // the unfinished message
  bool in_frame_ = false;
  bool oversize_ = false;
  bool after_end_ = false;  // the CR that closes an end block may follow
  std::size_t skipped_bytes_ = 0;
  std::size_t abandoned_frames_ = 0;
};

}  // namespace norv

#endif  // NORV_RECEIVE_MLLP_FRAMER_H_
