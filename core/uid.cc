#include "core/uid.h"

#include <array>
#include <cstdint>
#include <random>

#include "core/error.h"

namespace norv {

std::string NewUID() {
  // A version 4 (random) UUID: 122 random bits from the system's entropy
  // source, the version and variant bits set as RFC 4122 lays them down.
  std::random_device entropy;
  std::array<std::uint32_t, 4> words{};  // most significant first
  for (std::uint32_t& w : words) w = static_cast<std::uint32_t>(entropy());
  words[1] = (words[1] & 0xFFFF0FFFu) | 0x00004000u;  // version 4
  words[2] = (words[2] & 0x3FFFFFFFu) | 0x80000000u;  // variant 10

  // The 128-bit value in decimal: repeated division of the four words by 10.
  std::string digits;
  for (;;) {
    bool zero = true;
    std::uint64_t remainder = 0;
    for (std::uint32_t& w : words) {
      std::uint64_t current = (remainder << 32) | w;
      w = static_cast<std::uint32_t>(current / 10);
      remainder = current % 10;
      if (w != 0) zero = false;
    }
    digits.insert(digits.begin(), static_cast<char>('0' + remainder));
    if (zero) break;
  }
  if (digits.empty()) throw Error(kErrOverflow, "NewUID: no UID could be made");
  return "2.25." + digits;
}

}  // namespace norv
