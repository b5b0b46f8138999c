// Entry points of the fuzz targets. Each takes arbitrary bytes and must
// neither crash nor hang; the libFuzzer programs and the regression test
// (which replays the kept inputs under fuzz/corpus/<target>/) both call them.
#ifndef NORV_FUZZ_FUZZ_TARGETS_H_
#define NORV_FUZZ_FUZZ_TARGETS_H_

#include <cstddef>
#include <cstdint>

namespace norv {

// The settings-file parser and a read of every setting path.
int FuzzRegistry(const std::uint8_t* data, std::size_t size);

// The HL7 reader: segments, common values and every order and report value,
// under each form of the ModalityLocation selector (chosen by the first byte).
int FuzzHl7Reader(const std::uint8_t* data, std::size_t size);

// The standard HL7 reading: parsing, units, every value under each
// identifier rule (chosen by the first byte), report lines and their wrapping.
int FuzzHl7Standard(const std::uint8_t* data, std::size_t size);

}  // namespace norv

#endif  // NORV_FUZZ_FUZZ_TARGETS_H_
