/*
 * linesearch: a reverse-communication line search with safeguarded steps.
 *
 * Calling convention (shared by every quorvel library):
 *   - every declared argument is passed by address;
 *   - INTEGER is a signed 32-bit int, LOGICAL a 32-bit int cell (0 false,
 *     anything else true; these routines write true as 1), DOUBLE PRECISION
 *     an IEEE double;
 *   - a character argument adds a hidden length: a signed 32-bit int passed
 *     by value after all the declared arguments.
 *
 * Both routines keep no state of their own: everything lives in the caller's
 * arguments, so searches on distinct storage may run on any number of threads.
 * They compute in IEEE double precision one operation at a time, with no
 * fused multiply-add, and agree to the last bit on every platform.
 */
#ifndef QUORVEL_LINESEARCH_H
#define QUORVEL_LINESEARCH_H

#if defined(_WIN32)
#  if defined(LINESEARCH_BUILDING)
#    define LINESEARCH_API __declspec(dllexport)
#  else
#    define LINESEARCH_API __declspec(dllimport)
#  endif
#else
#  define LINESEARCH_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Sizes of the caller-owned state arrays of one search. */
#define LINESEARCH_ISAVE_SIZE 2
#define LINESEARCH_DSAVE_SIZE 13

/*
 * dcsrch_: find a step stp, normally in [stpmin, stpmax], that satisfies
 *   f(stp) <= f(0) + ftol * stp * f'(0)   and   |f'(stp)| <= gtol * |f'(0)|.
 *
 * Task protocol, read from the first characters of the task buffer:
 *   1. Set stp to the first trial step, f and g to f(0) and f'(0) < 0,
 *      the tolerances, 0 <= stpmin <= stp <= stpmax, and task to "START"
 *      (blank-padded), then call.
 *   2. "FG":    evaluate f and g at the stp now in place and call again,
 *               leaving task, stp, isave and dsave as they are.
 *      "CONV":  stp satisfies both conditions.
 *      "WARN":  the search stopped without meeting both; stp is the step at
 *               which f and g were last evaluated.
 *      "ERROR": the START inputs were rejected; only task was written.
 * The steps that "FG" asks for lie in [stpmin, stpmax] but for one case: once
 * a minimiser is bracketed and no further progress is possible, the search
 * falls back to the best step found so far (the end of the interval with the
 * least function value), which can lie outside the bounds: at 0, where every
 * search begins, while no evaluated step has a lower value, or at a step that
 * bounds changed since exclude. The next call then ends the search with a
 * warning, or with "CONVERGENCE" if that step meets both conditions. The
 * first "FG" asks for the caller's own stp.
 *
 * Messages are written blank-padded or cut to task_len characters; a buffer
 * of 41 characters receives every message whole. The routine never reads or
 * writes outside the task_len characters of the buffer.
 *
 * isave (LINESEARCH_ISAVE_SIZE ints) and dsave (LINESEARCH_DSAVE_SIZE
 * doubles) carry the search between calls: opaque to the caller, who must
 * not change them during a search.
 */
LINESEARCH_API void dcsrch_(double *stp, const double *f, const double *g, const double *ftol,
                            const double *gtol, const double *xtol, char *task,
                            const double *stpmin, const double *stpmax, int *isave, double *dsave,
                            int task_len);

/*
 * dcstep_: the safeguarded step. From the interval ends (stx, fx, dx) and
 * (sty, fy, dy) and the current step (stp, fp, dp) it chooses a cubic,
 * quadratic or secant trial step, stores it in stp and updates both ends in
 * place. brackt becomes 1 once a minimiser is bracketed and is otherwise
 * left as it was. Requires dx * (stp - stx) < 0; when bracketed, stp lies
 * strictly between stx and sty. Nothing is verified.
 */
LINESEARCH_API void dcstep_(double *stx, double *fx, double *dx, double *sty, double *fy,
                            double *dy, double *stp, const double *fp, const double *dp,
                            int *brackt, const double *stpmin, const double *stpmax);

#ifdef __cplusplus
}
#endif

#endif
