// Both routines against an independent evaluation of the same formulas
// (reference_steps.py, which writes reference_cases.inc): every result must
// agree to the last bit. A change in the order of operations, a fused
// multiply-add or any other rounding shows here, on every platform.
#include <gtest/gtest.h>

#include <vector>

#include "case_name.h"
#include "search_support.h"

namespace {

enum class TestFunction { polynomial, rational, quartic_well };

struct StepReference {
  double in[11]; // stx, fx, dx, sty, fy, dy, stp, fp, dp, stpmin, stpmax
  int brackt;
  double out[7]; // stx, fx, dx, sty, fy, dy, stp
  int new_brackt;
};

struct SearchReference {
  const char *name;
  TestFunction function;
  double params[2];
  double settings[6]; // stp, ftol, gtol, xtol, stpmin, stpmax
  std::vector<double> steps;
};

#include "reference_cases.inc"

const StepReference step_references[] = {REFERENCE_STEP_CASES};
const SearchReference search_references[] = {REFERENCE_SEARCHES};

// The reference's functions, built from products and sums only so that they
// too are the same to the last bit everywhere.
Phi evaluate(TestFunction function, const double p[2], double s) {
  switch (function) {
  case TestFunction::polynomial: {
    const double t = s + p[0], t2 = t * t, t3 = t2 * t, t4 = t3 * t;
    return {p[1] * (t4 * t) - 2.0 * p[1] * t4, 5.0 * p[1] * t4 - 8.0 * p[1] * t3};
  }
  case TestFunction::rational: {
    const double d = s * s + p[0];
    return {-s / d, (s * s - p[0]) / (d * d)};
  }
  case TestFunction::quartic_well: {
    const double u = s - p[0];
    return {u * u * u * u - p[0] * p[0] * p[0] * s, 4.0 * u * u * u - p[0] * p[0] * p[0]};
  }
  }
  return {};
}

TEST(DcstepReference, EveryResultAgreesToTheLastBit) {
  int index = 0;
  for (const StepReference &r : step_references) {
    double v[11];
    std::copy(std::begin(r.in), std::end(r.in), v);
    int brackt = r.brackt;
    dcstep_(&v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7], &v[8], &brackt, &v[9], &v[10]);
    for (int i = 0; i < 7; ++i)
      ASSERT_EQ(v[i], r.out[i]) << "case " << index << ", output " << i << std::hexfloat << ": got "
                                << v[i] << ", expected " << r.out[i];
    ASSERT_EQ(brackt, r.new_brackt) << "case " << index;
    ++index;
  }
}

class DcsrchReference : public ::testing::TestWithParam<SearchReference> {};

TEST_P(DcsrchReference, EveryStepAgreesToTheLastBit) {
  const SearchReference &r = GetParam();
  const double *v = r.settings;
  const Search s = search_with(v[0], v[1], v[2], v[3], v[4], v[5]);
  const Outcome out = run_search([&](double x) { return evaluate(r.function, r.params, x); }, s);
  ASSERT_EQ(out.steps.size(), r.steps.size());
  for (std::size_t i = 0; i < r.steps.size(); ++i)
    EXPECT_EQ(out.steps[i], r.steps[i])
        << "step " << i << std::hexfloat << ": got " << out.steps[i] << ", expected " << r.steps[i];
}

INSTANTIATE_TEST_SUITE_P(Searches, DcsrchReference, ::testing::ValuesIn(search_references),
                         case_name);

} // namespace
