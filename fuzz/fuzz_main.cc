// libFuzzer entry: NORV_FUZZ_TARGET names the function of fuzz_targets.h.
#include "fuzz/fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return norv::NORV_FUZZ_TARGET(data, size);
}
