// The safeguarded step on worked examples covering all four cases, the
// bracketed and unbracketed variants and the limits.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "case_name.h"
#include "linesearch.h"

namespace {

struct Ends {
  double stx, fx, dx, sty, fy, dy;
};

struct StepCase {
  const char *name;
  Ends in;
  double stp, fp, dp;
  int brackt;
  double stpmin, stpmax;
  // Expected results.
  Ends out;
  double new_stp;
  bool approximate; // new_stp given to seven significant digits
  int new_brackt;
};

void PrintTo(const StepCase &c, std::ostream *os) { *os << c.name; }

// Equal values, or NaN both.
bool same(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Unless a case says otherwise: (sty, fy, dy) = (5, 7, 9), limits [0, 10].
constexpr Ends far_end_x0 = {0, 1, -1, 5, 7, 9};

// clang-format off
const StepCase step_cases[] = {
    {"case1_cubic_nearer", far_end_x0, 1, 2, 1, 0, 0, 10, {0, 1, -1, 1, 2, 1}, 0.1396204, true, 1},
    {"case1_midpoint", far_end_x0, 1, 2, 10, 0, 0, 10, {0, 1, -1, 1, 2, 10}, 0.4055317, true, 1},
    {"case1_sets_brackt_5_to_1", far_end_x0, 1, 2, 1, 5, 0, 10, {0, 1, -1, 1, 2, 1}, 0.1396204, true, 1},
    {"case2_secant_farther", far_end_x0, 1, 0.5, 0.5, 0, 0, 10, {1, 0.5, 0.5, 0, 1, -1}, 0.6666667, true, 1},
    {"case2_equal_f_cubic_farther", far_end_x0, 1, 1, 0.5, 0, 0, 10, {1, 1, 0.5, 0, 1, -1}, 0.4226497, true, 1},
    {"case3_clamped_radicand_gives_stpmax", far_end_x0, 1, 0.5, -0.5, 0, 0, 10, {1, 0.5, -0.5, 5, 7, 9}, 10, false, 0},
    {"case3_held_below_stpmax", far_end_x0, 1, 0.5, -0.5, 0, 0, 4, {1, 0.5, -0.5, 5, 7, 9}, 4, false, 0},
    {"case3_lower_limit_applied_last", far_end_x0, 1, 0.5, -0.5, 0, 5, 2, {1, 0.5, -0.5, 5, 7, 9}, 5, false, 0},
    {"case3_bracketed_secant", {0, 1, -1, 3, 7, 9}, 1, 0.5, -0.5, 1, 0, 10, {1, 0.5, -0.5, 3, 7, 9}, 2, false, 1},
    {"case3_bracketed_keeps_brackt_5", {0, 1, -1, 3, 7, 9}, 1, 0.5, -0.5, 5, 0, 10, {1, 0.5, -0.5, 3, 7, 9}, 2, false, 5},
    {"case3_bracketed_limit", {0, 1, -1, 1.5, 7, 9}, 1, 0.5, -0.5, 1, 0, 10, {1, 0.5, -0.5, 1.5, 7, 9}, 1 + 0.66 * 0.5, false, 1},
    {"case3_secant_farther", far_end_x0, 1, 0.2, -0.1, 0, 0, 10, {1, 0.2, -0.1, 5, 7, 9}, 1.111111, true, 0},
    {"case3_bracketed_cubic_nearer", {0, 1, -1, 1.2, 7, 9}, 1, 0.2, -0.1, 1, 0, 10, {1, 0.2, -0.1, 1.2, 7, 9}, 1.040635, true, 1},
    {"case3_zero_dp", far_end_x0, 1, 0.5, 0, 0, 0, 10, {1, 0.5, 0, 5, 7, 9}, 10, false, 0},
    {"case4_to_stpmax", far_end_x0, 1, 0.5, -1, 0, 0, 10, {1, 0.5, -1, 5, 7, 9}, 10, false, 0},
    {"case4_to_stpmin", {2, 1, 1, 5, 7, 9}, 1, 0.5, 1, 0, 0, 10, {1, 0.5, 1, 5, 7, 9}, 0, false, 0},
    {"case4_bracketed_cubic_on_sty", {0, 1, -1, 3, 2, 1}, 1, 0.5, -2, 1, 0, 10, {1, 0.5, -2, 3, 2, 1}, 1.454837, true, 1},
    {"case4_zero_dx_no_exchange", {0, 1, 0, 5, 7, 9}, 1, 0.5, -0.5, 0, 0, 10, {1, 0.5, -0.5, 5, 7, 9}, 10, false, 0},
    {"case4_stp_equal_stx_gives_stpmin", {1, 1, -1, 5, 7, 9}, 1, 0.5, -1, 0, 0, 10, {1, 0.5, -1, 5, 7, 9}, 0, false, 0},
    // A NaN at the far end makes the 0.66 limit NaN; the min or max that
    // applies it passes over the NaN and keeps the finite step.
    {"case3_bracketed_nan_sty_min_passes_over_it", {0, 1, -1, nan, nan, nan}, 1, 0.5, -0.5, 1, 0, 10, {1, 0.5, -0.5, nan, nan, nan}, 2, false, 1},
    {"case3_bracketed_nan_sty_max_passes_over_it", {2, 1, 1, nan, nan, nan}, 1, 0.5, 0.5, 1, 0, 10, {1, 0.5, 0.5, nan, nan, nan}, 0, false, 1},
};
// clang-format on

class DcstepWorkedExamples : public ::testing::TestWithParam<StepCase> {};

TEST_P(DcstepWorkedExamples, UpdatesIntervalAndStep) {
  const StepCase &c = GetParam();
  Ends e = c.in;
  double stp = c.stp;
  int brackt = c.brackt;
  dcstep_(&e.stx, &e.fx, &e.dx, &e.sty, &e.fy, &e.dy, &stp, &c.fp, &c.dp, &brackt, &c.stpmin,
          &c.stpmax);

  EXPECT_PRED2(same, e.stx, c.out.stx);
  EXPECT_PRED2(same, e.fx, c.out.fx);
  EXPECT_PRED2(same, e.dx, c.out.dx);
  EXPECT_PRED2(same, e.sty, c.out.sty);
  EXPECT_PRED2(same, e.fy, c.out.fy);
  EXPECT_PRED2(same, e.dy, c.out.dy);
  EXPECT_EQ(brackt, c.new_brackt);
  if (c.approximate)
    EXPECT_NEAR(stp, c.new_stp, 5e-7 * std::fabs(c.new_stp));
  else
    EXPECT_EQ(stp, c.new_stp);
}

INSTANTIATE_TEST_SUITE_P(Cases, DcstepWorkedExamples, ::testing::ValuesIn(step_cases), case_name);

// The closed forms of the first example pin the order of operations down.
TEST(Dcstep, CubicStepOfFirstExampleMatchesClosedForm) {
  double stx = 0, fx = 1, dx = -1, sty = 5, fy = 7, dy = 9, stp = 1;
  const double fp = 2, dp = 1, stpmin = 0, stpmax = 10;
  int brackt = 0;
  dcstep_(&stx, &fx, &dx, &sty, &fy, &dy, &stp, &fp, &dp, &brackt, &stpmin, &stpmax);
  const double root10 = std::sqrt(10.0);
  EXPECT_NEAR(stp, (root10 - 2) / (2 * root10 + 2), 1e-15);
}

TEST(Dcstep, NegativeRadicandInCaseOneGivesNaNStep) {
  // Derivatives of one sign with theta = 0.5 make the radicand negative;
  // case 1 does not clamp it.
  double stx = 0, fx = 1, dx = 1, sty = 5, fy = 7, dy = 9, stp = 1;
  const double fp = 1.5, dp = 1, stpmin = 0, stpmax = 10;
  int brackt = 0;
  dcstep_(&stx, &fx, &dx, &sty, &fy, &dy, &stp, &fp, &dp, &brackt, &stpmin, &stpmax);
  EXPECT_TRUE(std::isnan(stp));
  EXPECT_EQ(brackt, 1);
  EXPECT_EQ(sty, 1);
}

} // namespace
