// Complete searches by reverse communication: convergence on smooth
// functions, each warning that a search can end with, bit-exact steps, and
// concurrent searches.
#include <gtest/gtest.h>

#include <cmath>

#include "case_name.h"
#include "on_threads.h"
#include "search_support.h"

namespace {

// Classic line-search test functions of the step s.
Phi quadratic(double s) { return {(s - 3) * (s - 3), 2 * (s - 3)}; }
Phi rational(double s) { return {-s / (s * s + 2), (s * s - 2) / ((s * s + 2) * (s * s + 2))}; }
Phi quintic(double s) {
  const double t = s + 0.004, t2 = t * t, t3 = t2 * t, t4 = t3 * t;
  return {t4 * t - 2 * t4, 5 * t4 - 8 * t3};
}
Phi wavy(double s) {
  return {std::pow(s - 1, 2) * 0.5 + 0.1 * std::sin(8 * s) - 0.8 * s,
          (s - 1) + 0.8 * std::cos(8 * s) - 0.8};
}
// Functions on which a search cannot succeed.
Phi falling(double s) { return {-s, -1}; }
Phi steep_rise(double s) { return {-s + 10 * s * s, -1 + 20 * s}; }
Phi kink(double s) { return {std::fabs(s - 1) - 0.5 * s, (s > 1 ? 1.0 : -1.0) - 0.5}; }

using Function = Phi (*)(double);

struct SearchCase {
  const char *name;
  Function phi;
  double stp, ftol, gtol, xtol, stpmin, stpmax;
};

void PrintTo(const SearchCase &c, std::ostream *os) { *os << c.name; }

Search arguments(const SearchCase &c) {
  return search_with(c.stp, c.ftol, c.gtol, c.xtol, c.stpmin, c.stpmax);
}

const SearchCase converging[] = {
    {"quadratic", quadratic, 1, 1e-4, 0.1, 0.1, 0, 100},
    {"rational_short_first_step", rational, 1e-3, 1e-3, 0.1, 0.1, 0, 1e10},
    {"rational_long_first_step", rational, 1e1, 1e-3, 0.1, 0.1, 0, 1e10},
    {"quintic", quintic, 1e-3, 0.1, 0.1, 1e-10, 0, 1e10},
    {"quintic_tight_curvature", quintic, 1, 1e-3, 1e-3, 1e-10, 0, 1e10},
    {"wavy", wavy, 0.1, 1e-3, 0.1, 0.1, 0, 10},
    {"wavy_long_first_step", wavy, 5, 1e-3, 0.1, 0.1, 0, 10},
};

class DcsrchConverges : public ::testing::TestWithParam<SearchCase> {};

TEST_P(DcsrchConverges, AcceptsAStepThatMeetsBothConditions) {
  const SearchCase &c = GetParam();
  const Outcome out = run_search(c.phi, arguments(c));
  ASSERT_EQ(out.task, "CONVERGENCE");
  ASSERT_FALSE(out.steps.empty());
  EXPECT_EQ(out.stp, out.steps.back()) << "the accepted step is the last one evaluated";
  for (double step : out.steps) {
    EXPECT_GE(step, c.stpmin);
    EXPECT_LE(step, c.stpmax);
  }
  const Phi at0 = c.phi(0), at = c.phi(out.stp);
  EXPECT_LE(at.f, at0.f + c.ftol * out.stp * at0.g);
  EXPECT_LE(std::fabs(at.g), c.gtol * std::fabs(at0.g));
}

INSTANTIATE_TEST_SUITE_P(Functions, DcsrchConverges, ::testing::ValuesIn(converging), case_name);

enum class StopsAt { best_step, stpmax, stpmin };

struct WarningCase {
  SearchCase search;
  const char *task;
  StopsAt stp;
};

void PrintTo(const WarningCase &c, std::ostream *os) { *os << c.search.name; }

const WarningCase warnings[] = {
    {{"rounding_errors", kink, 1, 1e-3, 0, 0, 0, 10},
     "WARNING: ROUNDING ERRORS PREVENT PROGRESS",
     StopsAt::best_step},
    {{"xtol", kink, 1, 1e-3, 0, 1e-3, 0, 10}, "WARNING: XTOL TEST SATISFIED", StopsAt::best_step},
    {{"stpmax", falling, 1, 1e-3, 0.1, 0.1, 0, 3}, "WARNING: STP = STPMAX", StopsAt::stpmax},
    {{"stpmin", steep_rise, 1, 1e-3, 0.1, 0.1, 1, 10}, "WARNING: STP = STPMIN", StopsAt::stpmin},
};

class DcsrchWarns : public ::testing::TestWithParam<WarningCase> {};

TEST_P(DcsrchWarns, StopsAtTheStepTheWarningNames) {
  const WarningCase &c = GetParam();
  const Outcome out = run_search(c.search.phi, arguments(c.search));
  ASSERT_EQ(out.task, c.task);
  ASSERT_FALSE(out.steps.empty());
  EXPECT_EQ(out.stp, out.steps.back()) << "stp is where f and g were last evaluated";
  switch (c.stp) {
  case StopsAt::best_step:
    EXPECT_EQ(out.stp, out.last.dsave[7]);
    EXPECT_EQ(out.last.isave[0], 1);
    break;
  case StopsAt::stpmax:
    EXPECT_EQ(out.stp, c.search.stpmax);
    break;
  case StopsAt::stpmin:
    EXPECT_EQ(out.stp, c.search.stpmin);
    break;
  }
}

INSTANTIATE_TEST_SUITE_P(Functions, DcsrchWarns, ::testing::ValuesIn(warnings),
                         [](const auto &info) { return std::string(info.param.search.name); });

TEST(DcsrchConcurrency, ThreadsGiveTheSerialResults) {
  std::vector<Outcome> serial;
  for (const SearchCase &c : converging)
    serial.push_back(run_search(c.phi, arguments(c)));

  expect_no_failures_on_threads(4, [&serial](int) {
    int mismatches = 0;
    for (int round = 0; round < 50; ++round) {
      for (std::size_t i = 0; i < std::size(converging); ++i) {
        const Outcome out = run_search(converging[i].phi, arguments(converging[i]));
        if (out.steps != serial[i].steps || out.task != serial[i].task)
          ++mismatches;
      }
    }
    return mismatches;
  });
}

} // namespace
