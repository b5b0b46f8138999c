#include "net/address_allow_list.h"

#include "net/lookup.h"

namespace norv {
namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// Decimal digits only, at most three, value up to `max`.
std::optional<int> SmallNumber(std::string_view s, int max) {
  if (s.empty() || s.size() > 3) return std::nullopt;
  int v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + (c - '0');
  }
  if (v > max) return std::nullopt;
  return v;
}

// Strictly four dotted decimal bytes: the system's parser would also take
// "10.1" or octal "010.0.0.1", which in an allow list would only mislead.
std::optional<std::uint32_t> FourBytes(std::string_view s) {
  std::uint32_t address = 0;
  for (int i = 0; i < 4; ++i) {
    std::size_t dot = i < 3 ? s.find('.') : s.size();
    if (dot == std::string_view::npos) return std::nullopt;
    auto byte = SmallNumber(s.substr(0, dot), 255);
    if (!byte) return std::nullopt;
    address = address << 8 | static_cast<std::uint32_t>(*byte);
    s.remove_prefix(i < 3 ? dot + 1 : dot);
  }
  return address;
}

std::uint32_t Mask(int prefix) {
  return prefix == 0 ? 0 : ~std::uint32_t{0} << (32 - prefix);
}

}  // namespace

std::optional<AddressAllowList> AddressAllowList::Parse(std::string_view text,
                                                        std::string* error) {
  AddressAllowList list;
  while (true) {
    std::size_t comma = text.find(',');
    std::string_view entry = Trim(text.substr(0, comma));
    if (!entry.empty()) {
      std::size_t slash = entry.find('/');
      std::optional<std::uint32_t> address = FourBytes(Trim(entry.substr(0, slash)));
      std::optional<int> prefix = 32;
      if (slash != std::string_view::npos) prefix = SmallNumber(Trim(entry.substr(slash + 1)), 32);
      if (!address || !prefix) {
        if (error) *error = std::string(entry);
        return std::nullopt;
      }
      list.ranges_.push_back({*address & Mask(*prefix), *prefix});
    }
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return list;
}

bool AddressAllowList::Allows(std::uint32_t address) const {
  for (const Range& r : ranges_) {
    if ((address & Mask(r.prefix)) == r.network) return true;
  }
  return false;
}

std::string AddressAllowList::Text() const {
  std::string text;
  for (const Range& r : ranges_) {
    if (!text.empty()) text += ", ";
    text += DottedAddress(r.network) + "/" + std::to_string(r.prefix);
  }
  return text;
}

}  // namespace norv
