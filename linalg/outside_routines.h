// The routines of the outside BLAS, CBLAS and LAPACK libraries that blaswrap
// and cblassub call, declared here so no vendor header is needed.
#ifndef QUORVEL_LINALG_OUTSIDE_ROUTINES_H
#define QUORVEL_LINALG_OUTSIDE_ROUTINES_H

extern "C" {

// BLAS level-1 functions, every argument by address. The wrappers forward
// addresses they never read, so the arguments are opaque here: (count,
// vector, increment) and, for the dot products, (second vector, increment).
// The REAL functions return a float in the first floating-point register;
// declaring them as double would read a value BLAS never produced.
float sdot_(const void *n, const void *x, const void *incx, const void *y, const void *incy);
double ddot_(const void *n, const void *x, const void *incx, const void *y, const void *incy);
float snrm2_(const void *n, const void *x, const void *incx);
double dnrm2_(const void *n, const void *x, const void *incx);
float scnrm2_(const void *n, const void *x, const void *incx);
double dznrm2_(const void *n, const void *x, const void *incx);
float sasum_(const void *n, const void *x, const void *incx);
double dasum_(const void *n, const void *x, const void *incx);
float scasum_(const void *n, const void *x, const void *incx);
double dzasum_(const void *n, const void *x, const void *incx);

// CBLAS: count and increments by value, the result stored through dot.
void cblas_cdotc_sub(int n, const void *x, int incx, const void *y, int incy, void *dot);
void cblas_cdotu_sub(int n, const void *x, int incx, const void *y, int incy, void *dot);
void cblas_zdotc_sub(int n, const void *x, int incx, const void *y, int incy, void *dot);
void cblas_zdotu_sub(int n, const void *x, int incx, const void *y, int incy, void *dot);

// LAPACK: (a + ib) / (c + id) = p + iq.
void sladiv_(const float *a, const float *b, const float *c, const float *d, float *p, float *q);
void dladiv_(const double *a, const double *b, const double *c, const double *d, double *p,
             double *q);
}

#endif
