#include "imaging/text_wrap.h"

namespace norv {
namespace {

std::string_view SkipBlanks(std::string_view s) {
  std::size_t first = s.find_first_not_of(' ');
  return first == std::string_view::npos ? std::string_view() : s.substr(first);
}

std::string_view DropTrailingBlanks(std::string_view s) {
  std::size_t last = s.find_last_not_of(' ');
  return last == std::string_view::npos ? std::string_view() : s.substr(0, last + 1);
}

}  // namespace

std::vector<std::string> WrapText(std::string_view text, int max_width, const TextWidth& width_of) {
  if (width_of(text) <= max_width) return {std::string(text)};
  std::vector<std::string> pieces;
  std::string_view rest = text;
  while (!SkipBlanks(rest).empty()) {
    // The word boundaries after the first word, ascending: the longest
    // prefix that fits ends at the last of them that still fits (widths grow
    // with the prefix, so the scan stops at the first that does not).
    const std::size_t first_word = rest.size() - SkipBlanks(rest).size();
    std::size_t cut = 0;
    for (std::size_t end = rest.find(' ', first_word);; end = rest.find(' ', end + 1)) {
      std::size_t boundary = end == std::string_view::npos ? rest.size() : end;
      if (rest[boundary - 1] != ' ' && width_of(rest.substr(0, boundary)) > max_width) break;
      cut = boundary;
      if (end == std::string_view::npos) break;
    }
    if (cut == 0) {
      // The first word alone is too wide: as many characters as fit.
      std::size_t word_end = rest.find(' ', first_word);
      if (word_end == std::string_view::npos) word_end = rest.size();
      std::size_t low = first_word + 1, high = word_end;  // low always fits or is forced
      while (low < high) {
        std::size_t mid = (low + high + 1) / 2;
        if (width_of(rest.substr(0, mid)) <= max_width) {
          low = mid;
        } else {
          high = mid - 1;
        }
      }
      cut = low;
    }
    pieces.emplace_back(DropTrailingBlanks(rest.substr(0, cut)));
    rest = SkipBlanks(rest.substr(cut));
  }
  if (pieces.empty()) pieces.emplace_back();
  return pieces;
}

}  // namespace norv
