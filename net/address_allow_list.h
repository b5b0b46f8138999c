// A list of IPv4 addresses and CIDR ranges that a peer's address is checked
// against, read from text such as "127.0.0.1, 10.20.0.0/16". Pure values;
// addresses are host-order numbers as in socket_api.h.
#ifndef NORV_NET_ADDRESS_ALLOW_LIST_H_
#define NORV_NET_ADDRESS_ALLOW_LIST_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace norv {

class AddressAllowList {
 public:
  struct Range {
    std::uint32_t network = 0;  // the address with the host bits cleared
    int prefix = 32;            // 0..32 leading bits that must match
  };

  // Reads entries separated by commas (blanks around them allowed): a
  // dotted address of four decimal numbers 0..255 ("192.168.1.7") or one
  // with a prefix length 0..32 ("10.0.0.0/8"; host bits are ignored). Empty
  // entries are skipped. nullopt, with the offending entry in *error, when
  // an entry is neither.
  static std::optional<AddressAllowList> Parse(std::string_view text, std::string* error);

  // Whether the address lies in one of the ranges; an empty list allows none.
  bool Allows(std::uint32_t address) const;
  bool empty() const { return ranges_.empty(); }
  const std::vector<Range>& ranges() const { return ranges_; }
  // The list in canonical text: "127.0.0.0/8, 10.1.2.3/32".
  std::string Text() const;

 private:
  std::vector<Range> ranges_;
};

}  // namespace norv

#endif  // NORV_NET_ADDRESS_ALLOW_LIST_H_
