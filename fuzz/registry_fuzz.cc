#include <string>
#include <string_view>

#include "core/registry.h"
#include "fuzz/fuzz_targets.h"

namespace norv {

int FuzzRegistry(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  Registry reg = Registry::Parse(bytes);
  for (const char* path : {"HKLM\\Software\\VLM\\Tessarine\\NORVReader\\01\\Debug",
                           "HKLM\\A\\B", "HKLM\\A\\", "\\", ""}) {
    auto v = reg.Read(path);
    (void)v;
  }
  return 0;
}

}  // namespace norv
