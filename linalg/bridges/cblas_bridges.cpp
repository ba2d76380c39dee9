// Linked into both cblassub and blaswrap: one source, one behaviour.
#include "cblassub.h"
#include "outside_routines.h"

extern "C" {

void acc_cdotc_sub_(const int *n, const void *cx, const int *incx, const void *cy, const int *incy,
                    void *result) {
  cblas_cdotc_sub(*n, cx, *incx, cy, *incy, result);
}

void acc_cdotu_sub_(const int *n, const void *cx, const int *incx, const void *cy, const int *incy,
                    void *result) {
  cblas_cdotu_sub(*n, cx, *incx, cy, *incy, result);
}

void acc_zdotc_sub_(const int *n, const void *cx, const int *incx, const void *cy, const int *incy,
                    void *result) {
  cblas_zdotc_sub(*n, cx, *incx, cy, *incy, result);
}

void acc_zdotu_sub_(const int *n, const void *cx, const int *incx, const void *cy, const int *incy,
                    void *result) {
  cblas_zdotu_sub(*n, cx, *incx, cy, *incy, result);
}
}
