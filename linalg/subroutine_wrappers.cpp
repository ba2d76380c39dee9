// Each wrapper forwards the positions its routine consumes, unread and with no
// offset applied, and stores the function value through its first argument
// once the routine has returned. The trailing positions the routines do not
// consume (offy and incy of the dot products, incx of the norms and sums) are
// left unnamed.
#include "blaswrap.h"
#include "outside_routines.h"

namespace {

const int *as_integer(const void *p) { return static_cast<const int *>(p); }
const blaswrap_complex *as_complex(const void *p) {
  return static_cast<const blaswrap_complex *>(p);
}
const blaswrap_double_complex *as_double_complex(const void *p) {
  return static_cast<const blaswrap_double_complex *>(p);
}

} // namespace

extern "C" {

void f2pywrapsdot_(float *sdotf2pywrap, const void *n, const void *x, const void *offx,
                   const void *incx, const void *y, const void *, const void *) {
  *sdotf2pywrap = sdot_(n, x, offx, incx, y);
}

void f2pywrapddot_(double *ddotf2pywrap, const void *n, const void *x, const void *offx,
                   const void *incx, const void *y, const void *, const void *) {
  *ddotf2pywrap = ddot_(n, x, offx, incx, y);
}

void f2pywrapcdotu_(blaswrap_complex *cdotuf2pywrap, const void *n, const void *x, const void *offx,
                    const void *incx, const void *y, const void *, const void *) {
  *cdotuf2pywrap =
      wcdotu_(as_integer(n), as_complex(x), as_integer(offx), as_complex(incx), as_integer(y));
}

void f2pywrapzdotu_(blaswrap_double_complex *zdotuf2pywrap, const void *n, const void *x,
                    const void *offx, const void *incx, const void *y, const void *, const void *) {
  const blaswrap_double_complex value =
      wzdotu_(as_integer(n), as_double_complex(x), as_integer(offx), as_double_complex(incx),
              as_integer(y));
  *zdotuf2pywrap = value;
}

void f2pywrapcdotc_(blaswrap_complex *cdotcf2pywrap, const void *n, const void *x, const void *offx,
                    const void *incx, const void *y, const void *, const void *) {
  *cdotcf2pywrap =
      wcdotc_(as_integer(n), as_complex(x), as_integer(offx), as_complex(incx), as_integer(y));
}

void f2pywrapzdotc_(blaswrap_double_complex *zdotcf2pywrap, const void *n, const void *x,
                    const void *offx, const void *incx, const void *y, const void *, const void *) {
  const blaswrap_double_complex value =
      wzdotc_(as_integer(n), as_double_complex(x), as_integer(offx), as_double_complex(incx),
              as_integer(y));
  *zdotcf2pywrap = value;
}

void f2pywrapsnrm2_(float *snrm2f2pywrap, const void *n, const void *x, const void *offx,
                    const void *) {
  *snrm2f2pywrap = snrm2_(n, x, offx);
}

void f2pywrapscnrm2_(float *scnrm2f2pywrap, const void *n, const void *x, const void *offx,
                     const void *) {
  *scnrm2f2pywrap = scnrm2_(n, x, offx);
}

void f2pywrapdnrm2_(double *dnrm2f2pywrap, const void *n, const void *x, const void *offx,
                    const void *) {
  *dnrm2f2pywrap = dnrm2_(n, x, offx);
}

void f2pywrapdznrm2_(double *dznrm2f2pywrap, const void *n, const void *x, const void *offx,
                     const void *) {
  *dznrm2f2pywrap = dznrm2_(n, x, offx);
}

void f2pywrapsasum_(float *sasumf2pywrap, const void *n, const void *x, const void *offx,
                    const void *) {
  *sasumf2pywrap = sasum_(n, x, offx);
}

void f2pywrapscasum_(float *scasumf2pywrap, const void *n, const void *x, const void *offx,
                     const void *) {
  *scasumf2pywrap = scasum_(n, x, offx);
}

void f2pywrapdasum_(double *dasumf2pywrap, const void *n, const void *x, const void *offx,
                    const void *) {
  *dasumf2pywrap = dasum_(n, x, offx);
}

void f2pywrapdzasum_(double *dzasumf2pywrap, const void *n, const void *x, const void *offx,
                     const void *) {
  *dzasumf2pywrap = dzasum_(n, x, offx);
}
}
