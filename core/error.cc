#include "core/error.h"

#include <exception>
#include <new>

namespace norv {

CaughtError DescribeCurrentException() {
  CaughtError e;
  try {
    throw;
  } catch (const Error& err) {
    e.number = err.number();
    e.description = err.what();
    e.transient = err.transient();
  } catch (const std::out_of_range& err) {
    e.number = kErrSubscriptOutOfRange;
    e.description = "Subscript out of range";
  } catch (const std::bad_alloc&) {
    e.number = 7;
    e.description = "Out of memory";
  } catch (const std::exception& err) {
    e.number = 5;
    e.description = err.what();
  } catch (...) {
    e.number = 5;
    e.description = "Unknown error";
  }
  return e;
}

void ThrowSubscriptOutOfRange() {
  throw Error(kErrSubscriptOutOfRange, "Subscript out of range");
}

}  // namespace norv
