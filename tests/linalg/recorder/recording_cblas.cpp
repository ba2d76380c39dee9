// Stand-in for the outside CBLAS: the four dot products that store their
// result through an argument. Count and increments arrive by value.
#include "recorder.h"

namespace {

void answer(const char *routine, int n, const void *x, int incx, const void *y, int incy, void *dot,
            size_t width) {
  const void *const addresses[] = {x, y, dot};
  const int values[] = {n, incx, incy};
  recorder_note(routine, addresses, 3, values, 3);
  recorder_reply(dot, width);
}

} // namespace

extern "C" {

STAND_IN_API void cblas_cdotc_sub(int n, const void *x, int incx, const void *y, int incy,
                                  void *dotc) {
  answer("cblas_cdotc_sub", n, x, incx, y, incy, dotc, 8);
}
STAND_IN_API void cblas_cdotu_sub(int n, const void *x, int incx, const void *y, int incy,
                                  void *dotu) {
  answer("cblas_cdotu_sub", n, x, incx, y, incy, dotu, 8);
}
STAND_IN_API void cblas_zdotc_sub(int n, const void *x, int incx, const void *y, int incy,
                                  void *dotc) {
  answer("cblas_zdotc_sub", n, x, incx, y, incy, dotc, 16);
}
STAND_IN_API void cblas_zdotu_sub(int n, const void *x, int incx, const void *y, int incy,
                                  void *dotu) {
  answer("cblas_zdotu_sub", n, x, incx, y, incy, dotu, 16);
}
}
