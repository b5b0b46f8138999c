// The program's one error type. Every seam turns its library's failures
// (SOCI exceptions, DCMTK conditions, errno) into an Error carrying a number
// and a description; procedure boundaries catch it once and log both.
#ifndef NORV_CORE_ERROR_H_
#define NORV_CORE_ERROR_H_

#include <cstdint>
#include <stdexcept>
#include <string>

namespace norv {

// Numbers of the runtime errors the program raises itself.
inline constexpr std::int32_t kErrOverflow = 6;
inline constexpr std::int32_t kErrSubscriptOutOfRange = 9;
inline constexpr std::int32_t kErrTypeMismatch = 13;
inline constexpr std::int32_t kErrFileNotFound = 53;
inline constexpr std::int32_t kErrPathFileAccess = 75;
inline constexpr std::int32_t kErrPathNotFound = 76;
// Number given to failures reported by the database layer.
inline constexpr std::int32_t kErrDatabase = -2147467259;

// `transient` marks a failure of the surroundings rather than of the data
// (database unreachable, connection lost, lock or busy time-out): the same
// work may succeed when retried later.
class Error : public std::runtime_error {
 public:
  Error(std::int32_t number, const std::string& description, bool transient = false)
      : std::runtime_error(description), number_(number), transient_(transient) {}
  std::int32_t number() const { return number_; }
  bool transient() const { return transient_; }

 private:
  std::int32_t number_;
  bool transient_;
};

// Number and description of the exception being handled; call only inside a
// catch block. Non-Error exceptions get a number of their kind
// (std::out_of_range: 9, std::bad_alloc: 7, others: 5).
struct CaughtError {
  std::int32_t number = 0;
  std::string description;
  bool transient = false;  // Error::transient() of an Error, else false
};
CaughtError DescribeCurrentException();

// Throws Error(kErrSubscriptOutOfRange, "Subscript out of range").
[[noreturn]] void ThrowSubscriptOutOfRange();

}  // namespace norv

#endif  // NORV_CORE_ERROR_H_
