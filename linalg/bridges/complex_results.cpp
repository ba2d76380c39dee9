#include "blaswrap.h"
#include "outside_routines.h"

// The DOUBLE COMPLEX functions fill a local and return a fresh copy of it: a
// returned named local may share storage with the caller's destination, which
// CBLAS would then write while the caller's vectors (possibly that very
// storage) are still being read.

extern "C" {

blaswrap_complex wcdotc_(const int *n, const blaswrap_complex *cx, const int *incx,
                         const blaswrap_complex *cy, const int *incy) {
  blaswrap_complex result;
  acc_cdotc_sub_(n, cx, incx, cy, incy, &result);
  return result;
}

blaswrap_complex wcdotu_(const int *n, const blaswrap_complex *cx, const int *incx,
                         const blaswrap_complex *cy, const int *incy) {
  blaswrap_complex result;
  acc_cdotu_sub_(n, cx, incx, cy, incy, &result);
  return result;
}

blaswrap_double_complex wzdotc_(const int *n, const blaswrap_double_complex *cx, const int *incx,
                                const blaswrap_double_complex *cy, const int *incy) {
  blaswrap_double_complex result;
  acc_zdotc_sub_(n, cx, incx, cy, incy, &result);
  return blaswrap_double_complex{result.re, result.im};
}

blaswrap_double_complex wzdotu_(const int *n, const blaswrap_double_complex *cx, const int *incx,
                                const blaswrap_double_complex *cy, const int *incy) {
  blaswrap_double_complex result;
  acc_zdotu_sub_(n, cx, incx, cy, incy, &result);
  return blaswrap_double_complex{result.re, result.im};
}

// LAPACK gets copies of the parts, never the caller's x or y.
blaswrap_complex wcladiv_(const blaswrap_complex *x, const blaswrap_complex *y) {
  const float xr = x->re, xi = x->im, yr = y->re, yi = y->im;
  float zr, zi;
  sladiv_(&xr, &xi, &yr, &yi, &zr, &zi);
  return blaswrap_complex{zr, zi};
}

blaswrap_double_complex wzladiv_(const blaswrap_double_complex *x,
                                 const blaswrap_double_complex *y) {
  const double xr = x->re, xi = x->im, yr = y->re, yi = y->im;
  double zr, zi;
  dladiv_(&xr, &xi, &yr, &yi, &zr, &zi);
  return blaswrap_double_complex{zr, zi};
}
}
