/*
 * blaswrap: BLAS, CBLAS and LAPACK routines adapted to callers that pass
 * every argument by address and expect complex results as function values or
 * every result through an argument.
 *
 * Calling convention (shared by every quorvel library):
 *   - every declared argument is passed by address;
 *   - INTEGER is a signed 32-bit int, REAL an IEEE single, DOUBLE PRECISION
 *     an IEEE double, COMPLEX two IEEE singles and DOUBLE COMPLEX two IEEE
 *     doubles, real part first (8 and 16 bytes);
 *   - a COMPLEX function value is returned as the platform returns a struct
 *     of two floats (on Windows x64: one 8-byte value in RAX, real part in
 *     the low 32 bits); a DOUBLE COMPLEX one as the platform returns a struct
 *     of two doubles (on Windows x64: through a hidden pointer to 16 bytes
 *     passed ahead of the declared arguments, which is also returned).
 *
 * No routine checks its arguments: counts of zero or below and zero or
 * negative increments reach BLAS unchanged. No routine keeps state; calls on
 * distinct data may run on any number of threads.
 */
#ifndef QUORVEL_BLASWRAP_H
#define QUORVEL_BLASWRAP_H

#if defined(_WIN32)
#  if defined(BLASWRAP_BUILDING)
#    define BLASWRAP_API __declspec(dllexport)
#  else
#    define BLASWRAP_API __declspec(dllimport)
#  endif
#else
#  define BLASWRAP_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct blaswrap_complex {
  float re, im;
} blaswrap_complex;

typedef struct blaswrap_double_complex {
  double re, im;
} blaswrap_double_complex;

/*
 * Complex dot products handed to the CBLAS _sub routines: the INTEGERs at n,
 * incx and incy go by value, cx, cy and result exactly as received. cx, cy
 * and result address COMPLEX (acc_c...) or DOUBLE COMPLEX (acc_z...) values;
 * the ...dotc... forms conjugate cx. The same four routines as in cblassub.
 */
BLASWRAP_API void acc_cdotc_sub_(const int *n, const void *cx, const int *incx, const void *cy,
                                 const int *incy, void *result);
BLASWRAP_API void acc_cdotu_sub_(const int *n, const void *cx, const int *incx, const void *cy,
                                 const int *incy, void *result);
BLASWRAP_API void acc_zdotc_sub_(const int *n, const void *cx, const int *incx, const void *cy,
                                 const int *incy, void *result);
BLASWRAP_API void acc_zdotu_sub_(const int *n, const void *cx, const int *incx, const void *cy,
                                 const int *incy, void *result);

/*
 * Complex dot products as function values: sum of conj(cx_i) * cy_i (...dotc_)
 * or cx_i * cy_i (...dotu_). The result is stored only after CBLAS returns,
 * so the result storage may be any of the inputs.
 */
BLASWRAP_API blaswrap_complex wcdotc_(const int *n, const blaswrap_complex *cx, const int *incx,
                                      const blaswrap_complex *cy, const int *incy);
BLASWRAP_API blaswrap_complex wcdotu_(const int *n, const blaswrap_complex *cx, const int *incx,
                                      const blaswrap_complex *cy, const int *incy);
BLASWRAP_API blaswrap_double_complex wzdotc_(const int *n, const blaswrap_double_complex *cx,
                                             const int *incx, const blaswrap_double_complex *cy,
                                             const int *incy);
BLASWRAP_API blaswrap_double_complex wzdotu_(const int *n, const blaswrap_double_complex *cx,
                                             const int *incx, const blaswrap_double_complex *cy,
                                             const int *incy);

/*
 * x / y, computed by LAPACK's sladiv_ / dladiv_ on copies of the parts of x
 * and y: x and y are never written, and a zero, infinite or NaN operand gives
 * whatever LAPACK gives.
 */
BLASWRAP_API blaswrap_complex wcladiv_(const blaswrap_complex *x, const blaswrap_complex *y);
BLASWRAP_API blaswrap_double_complex wzladiv_(const blaswrap_double_complex *x,
                                              const blaswrap_double_complex *y);

/*
 * Level-1 BLAS functions as subroutines: the function value is stored through
 * the first argument after the function returns, in exactly the width of its
 * type (REAL 4 bytes, DOUBLE PRECISION 8, COMPLEX 8, DOUBLE COMPLEX 16).
 *
 * The remaining arguments are forwarded by position, unread and with no
 * offset applied; their names are labels, not what they carry:
 *   dot products  (8 arguments): n = count, x = first vector,
 *                 offx = its increment, incx = second vector,
 *                 y = its increment; offy and incy are never used.
 *   norms, sums   (5 arguments): n = count, x = vector, offx = its increment;
 *                 incx is never used.
 * Unused positions may hold anything, a null pointer included.
 */
BLASWRAP_API void f2pywrapsdot_(float *sdotf2pywrap, const void *n, const void *x, const void *offx,
                                const void *incx, const void *y, const void *offy,
                                const void *incy);
BLASWRAP_API void f2pywrapddot_(double *ddotf2pywrap, const void *n, const void *x,
                                const void *offx, const void *incx, const void *y, const void *offy,
                                const void *incy);
BLASWRAP_API void f2pywrapcdotu_(blaswrap_complex *cdotuf2pywrap, const void *n, const void *x,
                                 const void *offx, const void *incx, const void *y,
                                 const void *offy, const void *incy);
BLASWRAP_API void f2pywrapzdotu_(blaswrap_double_complex *zdotuf2pywrap, const void *n,
                                 const void *x, const void *offx, const void *incx, const void *y,
                                 const void *offy, const void *incy);
BLASWRAP_API void f2pywrapcdotc_(blaswrap_complex *cdotcf2pywrap, const void *n, const void *x,
                                 const void *offx, const void *incx, const void *y,
                                 const void *offy, const void *incy);
BLASWRAP_API void f2pywrapzdotc_(blaswrap_double_complex *zdotcf2pywrap, const void *n,
                                 const void *x, const void *offx, const void *incx, const void *y,
                                 const void *offy, const void *incy);

/* Euclidean norms: REAL vector, COMPLEX vector, DOUBLE PRECISION, DOUBLE COMPLEX. */
BLASWRAP_API void f2pywrapsnrm2_(float *snrm2f2pywrap, const void *n, const void *x,
                                 const void *offx, const void *incx);
BLASWRAP_API void f2pywrapscnrm2_(float *scnrm2f2pywrap, const void *n, const void *x,
                                  const void *offx, const void *incx);
BLASWRAP_API void f2pywrapdnrm2_(double *dnrm2f2pywrap, const void *n, const void *x,
                                 const void *offx, const void *incx);
BLASWRAP_API void f2pywrapdznrm2_(double *dznrm2f2pywrap, const void *n, const void *x,
                                  const void *offx, const void *incx);

/* Sums of absolute values (|re| + |im| per complex element), same element types. */
BLASWRAP_API void f2pywrapsasum_(float *sasumf2pywrap, const void *n, const void *x,
                                 const void *offx, const void *incx);
BLASWRAP_API void f2pywrapscasum_(float *scasumf2pywrap, const void *n, const void *x,
                                  const void *offx, const void *incx);
BLASWRAP_API void f2pywrapdasum_(double *dasumf2pywrap, const void *n, const void *x,
                                 const void *offx, const void *incx);
BLASWRAP_API void f2pywrapdzasum_(double *dzasumf2pywrap, const void *n, const void *x,
                                  const void *offx, const void *incx);

#ifdef __cplusplus
}
#endif

#endif
