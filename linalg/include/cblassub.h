/*
 * cblassub: complex dot products for callers that pass every argument by
 * address, handed to the CBLAS routines that deliver their result through an
 * argument.
 *
 * Calling convention (shared by every quorvel library):
 *   - every declared argument is passed by address;
 *   - INTEGER is a signed 32-bit int; COMPLEX is two IEEE singles and
 *     DOUBLE COMPLEX two IEEE doubles, real part first (8 and 16 bytes).
 *
 * Each routine reads the INTEGERs at n, incx and incy, passes them by value
 * to its CBLAS routine together with cx, cy and result exactly as received,
 * and does nothing else: no argument is checked, a count of zero or below and
 * a zero or negative increment reach CBLAS unchanged, and result holds
 * whatever CBLAS stored there. The routines keep no state; calls on distinct
 * data may run on any number of threads.
 *
 * blaswrap exports the same four routines with the same behaviour.
 */
#ifndef QUORVEL_CBLASSUB_H
#define QUORVEL_CBLASSUB_H

#if defined(_WIN32)
#  if defined(CBLASSUB_BUILDING)
#    define CBLASSUB_API __declspec(dllexport)
#  else
#    define CBLASSUB_API __declspec(dllimport)
#  endif
#else
#  define CBLASSUB_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* result = sum of conj(cx_i) * cy_i; cx, cy and result address COMPLEX. */
CBLASSUB_API void acc_cdotc_sub_(const int *n, const void *cx, const int *incx, const void *cy,
                                 const int *incy, void *result);
/* result = sum of cx_i * cy_i; cx, cy and result address COMPLEX. */
CBLASSUB_API void acc_cdotu_sub_(const int *n, const void *cx, const int *incx, const void *cy,
                                 const int *incy, void *result);
/* result = sum of conj(cx_i) * cy_i; cx, cy and result address DOUBLE COMPLEX. */
CBLASSUB_API void acc_zdotc_sub_(const int *n, const void *cx, const int *incx, const void *cy,
                                 const int *incy, void *result);
/* result = sum of cx_i * cy_i; cx, cy and result address DOUBLE COMPLEX. */
CBLASSUB_API void acc_zdotu_sub_(const int *n, const void *cx, const int *incx, const void *cy,
                                 const int *incy, void *result);

#ifdef __cplusplus
}
#endif

#endif
