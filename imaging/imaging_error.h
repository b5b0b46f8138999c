// The error number of failures raised by the imaging component (DCMTK,
// FreeType, fontconfig, its files). Component errors are numbered from
// 512 above the automation base 0x80040000, as components customarily do;
// the description carries the library's own text.
#ifndef NORV_IMAGING_IMAGING_ERROR_H_
#define NORV_IMAGING_IMAGING_ERROR_H_

#include <cstdint>

namespace norv {

inline constexpr std::int32_t kErrImaging = -2147221504 + 512;

}  // namespace norv

#endif  // NORV_IMAGING_IMAGING_ERROR_H_
