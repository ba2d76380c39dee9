// Stand-in for the outside BLAS: the ten level-1 functions, with the result
// types the real library has (REAL functions return float). Arguments are
// recorded, never read, so tests may pass addresses of anything.
#include "recorder.h"

namespace {

template <typename T>
T answer(const char *routine, const void *n, const void *x, const void *incx) {
  const void *const addresses[] = {n, x, incx};
  recorder_note(routine, addresses, 3, nullptr, 0);
  T value;
  recorder_reply(&value, sizeof value);
  return value;
}

template <typename T>
T answer(const char *routine, const void *n, const void *x, const void *incx, const void *y,
         const void *incy) {
  const void *const addresses[] = {n, x, incx, y, incy};
  recorder_note(routine, addresses, 5, nullptr, 0);
  T value;
  recorder_reply(&value, sizeof value);
  return value;
}

} // namespace

extern "C" {

STAND_IN_API float sdot_(const int *n, const float *x, const int *incx, const float *y,
                         const int *incy) {
  return answer<float>("sdot_", n, x, incx, y, incy);
}
STAND_IN_API double ddot_(const int *n, const double *x, const int *incx, const double *y,
                          const int *incy) {
  return answer<double>("ddot_", n, x, incx, y, incy);
}
STAND_IN_API float snrm2_(const int *n, const float *x, const int *incx) {
  return answer<float>("snrm2_", n, x, incx);
}
STAND_IN_API double dnrm2_(const int *n, const double *x, const int *incx) {
  return answer<double>("dnrm2_", n, x, incx);
}
STAND_IN_API float scnrm2_(const int *n, const float *x, const int *incx) {
  return answer<float>("scnrm2_", n, x, incx);
}
STAND_IN_API double dznrm2_(const int *n, const double *x, const int *incx) {
  return answer<double>("dznrm2_", n, x, incx);
}
STAND_IN_API float sasum_(const int *n, const float *x, const int *incx) {
  return answer<float>("sasum_", n, x, incx);
}
STAND_IN_API double dasum_(const int *n, const double *x, const int *incx) {
  return answer<double>("dasum_", n, x, incx);
}
STAND_IN_API float scasum_(const int *n, const float *x, const int *incx) {
  return answer<float>("scasum_", n, x, incx);
}
STAND_IN_API double dzasum_(const int *n, const double *x, const int *incx) {
  return answer<double>("dzasum_", n, x, incx);
}
}
