// The line-search driver: reverse communication through the task text, with
// the whole state of a search in the caller's isave and dsave arrays.
//
// Every formula is evaluated one IEEE double operation at a time in the order
// written (this file is compiled without floating-point contraction).
#include <cmath>

#include "ieee_minmax.h"
#include "linesearch.h"
#include "task_text.h"

namespace {

using linesearch::max_of;
using linesearch::min_of;
using linesearch::task_begins_with;
using linesearch::write_task;

constexpr double zero = 0.0;
constexpr double p5 = 0.5;
constexpr double p66 = 0.66;
constexpr double xtrapl = 1.1;
constexpr double xtrapu = 4.0;

// The state of one search, in the order of the dsave slots.
struct SearchState {
  int brackt; // 0 or 1
  int stage;  // 1 or 2
  double ginit, gtest, gx, gy, finit, fx, fy, stx, sty, stmin, stmax, width, width1;
};

SearchState load_state(const int *isave, const double *dsave) {
  return {isave[0] == 1 ? 1 : 0,
          isave[1],
          dsave[0],
          dsave[1],
          dsave[2],
          dsave[3],
          dsave[4],
          dsave[5],
          dsave[6],
          dsave[7],
          dsave[8],
          dsave[9],
          dsave[10],
          dsave[11],
          dsave[12]};
}

void save_state(const SearchState &s, int *isave, double *dsave) {
  isave[0] = s.brackt;
  isave[1] = s.stage;
  const double slots[LINESEARCH_DSAVE_SIZE] = {s.ginit, s.gtest, s.gx,    s.gy,  s.finit,
                                               s.fx,    s.fy,    s.stx,   s.sty, s.stmin,
                                               s.stmax, s.width, s.width1};
  for (int i = 0; i < LINESEARCH_DSAVE_SIZE; ++i)
    dsave[i] = slots[i];
}

// Input checks of a START call. All are evaluated; the last that holds wins.
void check_start_inputs(double stp, double g, double ftol, double gtol, double xtol, double stpmin,
                        double stpmax, char *task, int task_len) {
  if (stp < stpmin)
    write_task(task, task_len, "ERROR: STP .LT. STPMIN");
  if (stp > stpmax)
    write_task(task, task_len, "ERROR: STP .GT. STPMAX");
  if (g >= zero)
    write_task(task, task_len, "ERROR: INITIAL G .GE. ZERO");
  if (ftol < zero)
    write_task(task, task_len, "ERROR: FTOL .LT. ZERO");
  if (gtol < zero)
    write_task(task, task_len, "ERROR: GTOL .LT. ZERO");
  if (xtol < zero)
    write_task(task, task_len, "ERROR: XTOL .LT. ZERO");
  if (stpmin < zero)
    write_task(task, task_len, "ERROR: STPMIN .LT. ZERO");
  if (stpmax < stpmin)
    write_task(task, task_len, "ERROR: STPMAX .LT. STPMIN");
}

SearchState start_state(double stp, double f, double g, double ftol, double stpmin, double stpmax) {
  SearchState s{};
  s.brackt = 0;
  s.stage = 1;
  s.finit = f;
  s.ginit = g;
  s.gtest = ftol * s.ginit;
  s.width = stpmax - stpmin;
  s.width1 = s.width / p5;
  s.stx = zero;
  s.fx = s.finit;
  s.gx = s.ginit;
  s.sty = zero;
  s.fy = s.finit;
  s.gy = s.ginit;
  s.stmin = zero;
  s.stmax = stp + xtrapu * stp;
  return s;
}

// The next trial step from dcstep_, on the modified function in the first
// stage while the plain function has not yet shown sufficient decrease.
double safeguarded_step(SearchState &s, double stp, double f, double g, double ftest) {
  if (s.stage == 1 && f <= s.fx && f > ftest) {
    double fm = f - stp * s.gtest;
    double fxm = s.fx - s.stx * s.gtest;
    double fym = s.fy - s.sty * s.gtest;
    double gm = g - s.gtest;
    double gxm = s.gx - s.gtest;
    double gym = s.gy - s.gtest;
    dcstep_(&s.stx, &fxm, &gxm, &s.sty, &fym, &gym, &stp, &fm, &gm, &s.brackt, &s.stmin, &s.stmax);
    s.fx = fxm + s.stx * s.gtest;
    s.fy = fym + s.sty * s.gtest;
    s.gx = gxm + s.gtest;
    s.gy = gym + s.gtest;
  } else {
    dcstep_(&s.stx, &s.fx, &s.gx, &s.sty, &s.fy, &s.gy, &stp, &f, &g, &s.brackt, &s.stmin,
            &s.stmax);
  }
  return stp;
}

} // namespace

extern "C" LINESEARCH_API void dcsrch_(double *stp_io, const double *f_in, const double *g_in,
                                       const double *ftol_in, const double *gtol_in,
                                       const double *xtol_in, char *task, const double *stpmin_in,
                                       const double *stpmax_in, int *isave, double *dsave,
                                       int task_len) {
  const double f = *f_in, g = *g_in;
  const double gtol = *gtol_in, xtol = *xtol_in;
  const double stpmin = *stpmin_in, stpmax = *stpmax_in;
  double stp = *stp_io;

  if (task_begins_with(task, task_len, "START")) {
    check_start_inputs(stp, g, *ftol_in, gtol, xtol, stpmin, stpmax, task, task_len);
    if (task_begins_with(task, task_len, "ERROR"))
      return;
    save_state(start_state(stp, f, g, *ftol_in, stpmin, stpmax), isave, dsave);
    write_task(task, task_len, "FG");
    return;
  }

  SearchState s = load_state(isave, dsave);
  const double ftest = s.finit + stp * s.gtest;
  if (s.stage == 1 && f <= ftest && g >= zero)
    s.stage = 2;

  // Warnings, each later one overwriting an earlier one; convergence last.
  if (s.brackt && (stp <= s.stmin || stp >= s.stmax))
    write_task(task, task_len, "WARNING: ROUNDING ERRORS PREVENT PROGRESS");
  if (s.brackt && s.stmax - s.stmin <= xtol * s.stmax)
    write_task(task, task_len, "WARNING: XTOL TEST SATISFIED");
  if (stp == stpmax && f <= ftest && g <= s.gtest)
    write_task(task, task_len, "WARNING: STP = STPMAX");
  if (stp == stpmin && (f > ftest || g >= s.gtest))
    write_task(task, task_len, "WARNING: STP = STPMIN");
  if (f <= ftest && std::fabs(g) <= gtol * (-s.ginit))
    write_task(task, task_len, "CONVERGENCE");

  if (task_begins_with(task, task_len, "WARN") || task_begins_with(task, task_len, "CONV")) {
    save_state(s, isave, dsave);
    return;
  }

  stp = safeguarded_step(s, stp, f, g, ftest);

  // Bisect when the bracketed interval has not shrunk enough.
  if (s.brackt) {
    if (std::fabs(s.sty - s.stx) >= p66 * s.width1)
      stp = s.stx + p5 * (s.sty - s.stx);
    s.width1 = s.width;
    s.width = std::fabs(s.sty - s.stx);
  }

  // Limits for the next trial step: the interval once bracketed, otherwise
  // an extrapolation range beyond the new step.
  if (s.brackt) {
    s.stmin = min_of(s.stx, s.sty);
    s.stmax = max_of(s.stx, s.sty);
  } else {
    s.stmin = stp + xtrapl * (stp - s.stx);
    s.stmax = stp + xtrapu * (stp - s.stx);
  }

  // Clamp to the caller's bounds; a NaN step ends at a bound too.
  if (stp < stpmin || stp != stp)
    stp = stpmin;
  if (stp > stpmax || stp != stp)
    stp = stpmax;

  // No progress is possible: fall back to the best step found.
  if (s.brackt && (stp <= s.stmin || stp >= s.stmax || s.stmax - s.stmin <= xtol * s.stmax))
    stp = s.stx;

  *stp_io = stp;
  write_task(task, task_len, "FG");
  save_state(s, isave, dsave);
}
