// The safeguarded step: a cubic, quadratic or secant trial step chosen by one
// of four cases, and the update of the interval of uncertainty.
//
// Every formula is evaluated one IEEE double operation at a time in the order
// written (this file is compiled without floating-point contraction), so the
// results agree to the last bit wherever the routine runs.
#include <cmath>

#include "ieee_minmax.h"
#include "linesearch.h"

namespace {

using linesearch::max_of;
using linesearch::min_of;

constexpr double zero = 0.0;
constexpr double two = 2.0;
constexpr double three = 3.0;
constexpr double p66 = 0.66;

struct CubicTerms {
  double theta;
  double gamma;
};

// Terms of the cubic through (st1, f1) and (st2, f2) with the derivatives
// d_a and d_b, added to theta in that order. Case 3 alone clamps a negative
// (or NaN) radicand to zero.
CubicTerms cubic_terms(double st1, double f1, double st2, double f2, double d_a, double d_b,
                       bool clamp_radicand) {
  const double theta = three * (f1 - f2) / (st2 - st1) + d_a + d_b;
  const double s = max_of(max_of(std::fabs(theta), std::fabs(d_a)), std::fabs(d_b));
  const double theta_s = theta / s;
  double radicand = theta_s * theta_s - (d_a / s) * (d_b / s);
  if (clamp_radicand && !(radicand > zero))
    radicand = zero;
  return {theta, s * std::sqrt(radicand)};
}

// Fraction of the way from the point with derivative d_near towards the point
// with derivative d_far at which the cubic has its minimiser.
double cubic_ratio(double gamma, double theta, double d_near, double d_far) {
  const double p = (gamma - d_near) + theta;
  const double q = ((gamma - d_near) + gamma) + d_far;
  return p / q;
}

} // namespace

extern "C" LINESEARCH_API void dcstep_(double *stx_io, double *fx_io, double *dx_io, double *sty_io,
                                       double *fy_io, double *dy_io, double *stp_io,
                                       const double *fp_in, const double *dp_in, int *brackt_io,
                                       const double *stpmin_in, const double *stpmax_in) {
  // Everything is read before anything is written, so the outputs may share
  // storage with inputs.
  const double stx = *stx_io, fx = *fx_io, dx = *dx_io;
  const double sty = *sty_io, fy = *fy_io, dy = *dy_io;
  const double stp = *stp_io, fp = *fp_in, dp = *dp_in;
  const double stpmin = *stpmin_in, stpmax = *stpmax_in;
  const bool brackt = *brackt_io != 0;

  const double sgnd = dp * (dx / std::fabs(dx));
  double stpf;

  if (fp > fx) {
    // Case 1: a higher function value brackets a minimiser between stx and
    // stp. Take the cubic step if it is nearer to stx than the quadratic
    // step, else the midpoint of the two.
    CubicTerms c = cubic_terms(stx, fx, stp, fp, dx, dp, false);
    if (stp < stx)
      c.gamma = -c.gamma;
    const double r = cubic_ratio(c.gamma, c.theta, dx, dp);
    const double stpc = stx + r * (stp - stx);
    const double stpq = stx + ((dx / ((fx - fp) / (stp - stx) + dx)) / two) * (stp - stx);
    if (std::fabs(stpc - stx) < std::fabs(stpq - stx))
      stpf = stpc;
    else
      stpf = stpc + (stpq - stpc) / two;
    *brackt_io = 1;
  } else if (sgnd < zero) {
    // Case 2: derivatives of opposite sign bracket a minimiser. Take the
    // cubic or the secant step, whichever is farther from stp.
    CubicTerms c = cubic_terms(stx, fx, stp, fp, dx, dp, false);
    if (stp > stx)
      c.gamma = -c.gamma;
    const double r = cubic_ratio(c.gamma, c.theta, dp, dx);
    const double stpc = stp + r * (stx - stp);
    const double stpq = stp + (dp / (dp - dx)) * (stx - stp);
    stpf = std::fabs(stpc - stp) > std::fabs(stpq - stp) ? stpc : stpq;
    *brackt_io = 1;
  } else if (std::fabs(dp) < std::fabs(dx)) {
    // Case 3: same sign and the derivative's magnitude decreased. The cubic
    // step is used only when the cubic tends to infinity in the direction of
    // the step; otherwise the limit on that side stands in for it.
    CubicTerms c = cubic_terms(stx, fx, stp, fp, dx, dp, true);
    if (stp > stx)
      c.gamma = -c.gamma;
    const double p = (c.gamma - dp) + c.theta;
    const double q = (c.gamma + (dx - dp)) + c.gamma;
    const double r = p / q;
    double stpc;
    if (r < zero && c.gamma != zero)
      stpc = stp + r * (stx - stp);
    else if (stp > stx)
      stpc = stpmax;
    else
      stpc = stpmin;
    const double stpq = stp + (dp / (dp - dx)) * (stx - stp);

    if (brackt) {
      // Nearer step, but at most 0.66 of the way towards sty.
      stpf = std::fabs(stpc - stp) < std::fabs(stpq - stp) ? stpc : stpq;
      const double limit = stp + p66 * (sty - stp);
      stpf = stp > stx ? min_of(limit, stpf) : max_of(limit, stpf);
    } else {
      // Farther step, held within the limits; the lower limit wins.
      stpf = std::fabs(stpc - stp) > std::fabs(stpq - stp) ? stpc : stpq;
      stpf = min_of(stpmax, stpf);
      stpf = max_of(stpmin, stpf);
    }
  } else if (brackt) {
    // Case 4, bracketed: the cubic step through stp and sty, without limit.
    CubicTerms c = cubic_terms(stp, fp, sty, fy, dy, dp, false);
    if (stp > sty)
      c.gamma = -c.gamma;
    const double r = cubic_ratio(c.gamma, c.theta, dp, dy);
    stpf = stp + r * (sty - stp);
  } else {
    // Case 4, not bracketed: go to the limit in the direction of the step.
    stpf = stp > stx ? stpmax : stpmin;
  }

  if (fp > fx) {
    *sty_io = stp;
    *fy_io = fp;
    *dy_io = dp;
  } else {
    if (sgnd < zero) {
      *sty_io = stx;
      *fy_io = fx;
      *dy_io = dx;
    }
    *stx_io = stp;
    *fx_io = fp;
    *dx_io = dp;
  }
  *stp_io = stpf;
}
