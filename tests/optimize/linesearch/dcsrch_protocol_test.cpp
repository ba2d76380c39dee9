// The task protocol of the line-search driver: input checks, the task buffer,
// what starts a search and what continues one.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "case_name.h"
#include "search_support.h"

namespace {

const double nan = std::numeric_limits<double>::quiet_NaN();

// Fills the state arrays with a pattern that a START call must initialise or,
// after an input error, leave alone.
void poison_state(Search &s) {
  for (int &i : s.isave)
    i = 77;
  for (double &d : s.dsave)
    d = -777.0;
}

bool state_is_poisoned(const Search &s) {
  for (int i : s.isave)
    if (i != 77)
      return false;
  for (double d : s.dsave)
    if (d != -777.0)
      return false;
  return true;
}

struct InputCase {
  const char *name;
  double stp, g, ftol, gtol, xtol, stpmin, stpmax;
  const char *task;
};

void PrintTo(const InputCase &c, std::ostream *os) { *os << c.name; }

const InputCase input_cases[] = {
    {"stp_below_stpmin", 0.5, -1, 1e-3, 0.9, 0.1, 1, 10, "ERROR: STP .LT. STPMIN"},
    {"stp_above_stpmax", 11, -1, 1e-3, 0.9, 0.1, 0, 10, "ERROR: STP .GT. STPMAX"},
    {"g_zero", 1, 0, 1e-3, 0.9, 0.1, 0, 10, "ERROR: INITIAL G .GE. ZERO"},
    {"g_positive", 1, 2, 1e-3, 0.9, 0.1, 0, 10, "ERROR: INITIAL G .GE. ZERO"},
    {"ftol_negative", 1, -1, -1e-3, 0.9, 0.1, 0, 10, "ERROR: FTOL .LT. ZERO"},
    {"gtol_negative", 1, -1, 1e-3, -0.9, 0.1, 0, 10, "ERROR: GTOL .LT. ZERO"},
    {"xtol_negative", 1, -1, 1e-3, 0.9, -0.1, 0, 10, "ERROR: XTOL .LT. ZERO"},
    {"stpmin_negative", 1, -1, 1e-3, 0.9, 0.1, -1, 10, "ERROR: STPMIN .LT. ZERO"},
    {"stpmax_below_stpmin_wins_over_stp", 0.5, -1, 1e-3, 0.9, 0.1, 1, 0.8,
     "ERROR: STPMAX .LT. STPMIN"},
    {"last_of_several_wins", 1, 1, -1, -1, -1, 0, 10, "ERROR: XTOL .LT. ZERO"},
    {"nan_g_starts", 1, nan, 1e-3, 0.9, 0.1, 0, 10, "FG"},
    {"nan_tolerances_start", 1, -1, nan, nan, nan, 0, 10, "FG"},
    {"stp_equal_stpmin_zero_starts", 0, -1, 1e-3, 0.9, 0.1, 0, 10, "FG"},
};

class DcsrchStartChecks : public ::testing::TestWithParam<InputCase> {};

TEST_P(DcsrchStartChecks, ReportsLastFailingCheckOrStarts) {
  const InputCase &c = GetParam();
  Search s;
  s.stp = c.stp;
  s.g = c.g;
  s.ftol = c.ftol;
  s.gtol = c.gtol;
  s.xtol = c.xtol;
  s.stpmin = c.stpmin;
  s.stpmax = c.stpmax;
  poison_state(s);
  start(s);

  EXPECT_EQ(task_word(s), c.task);
  EXPECT_EQ(s.stp, c.stp) << "the START call never moves stp";
  const bool error = std::string(c.task).rfind("ERROR", 0) == 0;
  EXPECT_EQ(state_is_poisoned(s), error) << "state is written exactly when the search starts";
}

INSTANTIATE_TEST_SUITE_P(Inputs, DcsrchStartChecks, ::testing::ValuesIn(input_cases), case_name);

TEST(DcsrchStart, InitialisesTheSavedState) {
  Search s;
  s.f = 3;
  s.g = -2;
  s.ftol = 0.25;
  s.stpmin = 1e-3;
  s.stpmax = 8;
  s.stp = 2;
  start(s);
  EXPECT_EQ(s.isave[0], 0);
  EXPECT_EQ(s.isave[1], 1);
  const double expected[LINESEARCH_DSAVE_SIZE] = {
      -2, 0.25 * -2, -2, -2, 3, 3, 3, 0, 0, 0, 2 + 4.0 * 2, 8 - 1e-3, (8 - 1e-3) / 0.5};
  for (int i = 0; i < LINESEARCH_DSAVE_SIZE; ++i)
    EXPECT_EQ(s.dsave[i], expected[i]) << "slot " << i + 1;
}

TEST(DcsrchStart, ZeroFirstStepSavesZeroUpperLimit) {
  Search s;
  s.stp = 0;
  start(s);
  EXPECT_EQ(task_word(s), "FG");
  EXPECT_EQ(s.dsave[10], 0.0);
}

// Messages are blank-padded or cut to the buffer's length, never beyond it.
TEST(DcsrchTaskBuffer, SixtyCharactersReceiveFgAndBlanks) {
  Search s;
  start(s);
  EXPECT_EQ(task_text(s), "FG" + std::string(58, ' '));
}

TEST(DcsrchTaskBuffer, TenCharactersCutTheErrorMessage) {
  Search s;
  s.task.assign(10, ' ');
  s.stp = 0.5;
  s.stpmin = 1;
  poison_state(s);
  start(s);
  EXPECT_EQ(task_text(s), "ERROR: STP");
  EXPECT_EQ(s.stp, 0.5);
  EXPECT_TRUE(state_is_poisoned(s));
}

// The buffer sits at the start of a larger block; the bytes after it hold
// "RT" and a pattern, so reading past the buffer would see "START" and writing
// past it would change the pattern.
struct GuardedTask {
  char block[16];
};

GuardedTask guarded_task(const char *text, int length) {
  GuardedTask t;
  std::memset(t.block, 0x7f, sizeof t.block);
  std::memcpy(t.block, text, static_cast<std::size_t>(length));
  std::memcpy(t.block + length, "RT", 2);
  return t;
}

TEST(DcsrchTaskBuffer, ShortBufferIsNeverReadOrWrittenBeyondItsLength) {
  for (int length = 0; length <= 3; ++length) {
    SCOPED_TRACE(length);
    GuardedTask t = guarded_task("STA", length);
    const std::string before(t.block, sizeof t.block);

    // Valid saved state of a search that has just started.
    Search s;
    start(s);
    s.f = -0.5; // converges, but a buffer this short cannot hold the verdict
    s.g = -0.1;
    dcsrch_(&s.stp, &s.f, &s.g, &s.ftol, &s.gtol, &s.xtol, t.block, &s.stpmin, &s.stpmax, s.isave,
            s.dsave, length);

    const std::string after(t.block, sizeof t.block);
    EXPECT_EQ(after.substr(length), before.substr(length)) << "bytes past the buffer changed";
    EXPECT_NE(s.stp, 1) << "a short buffer cannot hold START, so the search went on";
    EXPECT_EQ(after.substr(0, length), std::string("FG ").substr(0, length));
  }
}

// A buffer exactly as long as a word still holds it: five characters read as
// "START" on entry and as "ERROR" after the input checks.
TEST(DcsrchTaskBuffer, FiveCharactersHoldStartAndError) {
  struct Case {
    const char *name;
    double stpmin;
    const char *task; // the buffer on return
    double finit;     // saved f(0): the new f if the search restarted
  };
  const Case cases[] = {
      {"inputs_valid_restart", 0, "FG   ", -0.5},
      {"stp_below_stpmin_rejected", 2, "ERROR", 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    // A search at its first evaluation, where the function already converges.
    Search s;
    start(s);
    s.f = -0.5;
    s.g = -0.1;
    s.stpmin = c.stpmin;
    GuardedTask t = guarded_task("START", 5);
    const std::string before(t.block, sizeof t.block);
    dcsrch_(&s.stp, &s.f, &s.g, &s.ftol, &s.gtol, &s.xtol, t.block, &s.stpmin, &s.stpmax, s.isave,
            s.dsave, 5);
    const std::string after(t.block, sizeof t.block);
    EXPECT_EQ(after.substr(0, 5), c.task);
    EXPECT_EQ(after.substr(5), before.substr(5)) << "bytes past the buffer changed";
    EXPECT_EQ(s.stp, 1);
    EXPECT_EQ(s.dsave[4], c.finit);
  }
}

TEST(DcsrchTaskBuffer, NegativeLengthWritesNothing) {
  GuardedTask t = guarded_task("START", 5);
  const std::string before(t.block, sizeof t.block);
  Search s;
  start(s);
  dcsrch_(&s.stp, &s.f, &s.g, &s.ftol, &s.gtol, &s.xtol, t.block, &s.stpmin, &s.stpmax, s.isave,
          s.dsave, -1);
  EXPECT_EQ(std::string(t.block, sizeof t.block), before);
}

// What starts a search: exactly "START" as the first five characters.
struct StartVariant {
  const char *task;
  bool starts;
};

class DcsrchStartWord : public ::testing::TestWithParam<StartVariant> {};

TEST_P(DcsrchStartWord, OnlyTheExactLeadingWordStarts) {
  // A search at its first evaluation, where the function already converges.
  Search s;
  start(s);
  s.f = -0.5;
  s.g = -0.1;
  set_task(s, GetParam().task);
  call(s);
  EXPECT_EQ(task_word(s), GetParam().starts ? "FG" : "CONVERGENCE");
}

INSTANTIATE_TEST_SUITE_P(Variants, DcsrchStartWord,
                         ::testing::Values(StartVariant{"START", true},
                                           StartVariant{"START with more text", true},
                                           StartVariant{"STARTED", true},
                                           StartVariant{"start", false},
                                           StartVariant{" START", false}, StartVariant{"FG", false},
                                           StartVariant{"anything else", false}));

// A return without a new step leaves stp alone and, if called again without a
// new START, returns again without a step whatever the tests then give.
TEST(DcsrchContinuation, StopsAgainAfterConvergenceOrWarning) {
  for (const char *verdict : {"CONVERGENCE", "WARNING: STP = STPMAX"}) {
    SCOPED_TRACE(verdict);
    Search s;
    start(s);
    set_task(s, verdict);
    s.f = 100; // no test holds at this value
    s.g = -5;
    const double stp = s.stp;
    call(s);
    EXPECT_EQ(task_word(s), verdict);
    EXPECT_EQ(s.stp, stp);
  }
}

TEST(DcsrchContinuation, FirstCallConvergesWithoutMovingAndSwitchesStage) {
  Search s;
  start(s);
  s.f = -0.5;
  s.g = 0.1; // g >= 0 and sufficient decrease: the second stage begins
  call(s);
  EXPECT_EQ(task_word(s), "CONVERGENCE");
  EXPECT_EQ(s.stp, 1);
  EXPECT_EQ(s.isave[1], 2);
}

TEST(DcsrchContinuation, ConvergenceOverridesWarning) {
  Search s;
  s.stp = s.stpmax;
  start(s);
  s.f = -5;   // sufficient decrease
  s.g = -0.5; // below gtest and within gtol: STPMAX warning and convergence both hold
  call(s);
  EXPECT_EQ(task_word(s), "CONVERGENCE");
}

TEST(DcsrchContinuation, BracketedFlagOtherThanOneReadsAsFalseAndIsRewritten) {
  for (int flag : {2, -1, 7}) {
    SCOPED_TRACE(flag);
    Search s;
    start(s);
    s.isave[0] = flag;
    s.dsave[9] = 0.5; // stmin, stmax around stp = 1: bracketed, this would warn
    s.dsave[10] = 0.9;
    s.f = 100;
    s.g = -5;
    call(s);
    EXPECT_EQ(task_word(s), "FG") << "read as not bracketed, so no rounding warning";
    EXPECT_TRUE(s.isave[0] == 0 || s.isave[0] == 1);
  }
}

TEST(DcsrchContinuation, NaNTrialStepBeforeBracketingBecomesStpmin) {
  Search s;
  s.stpmin = 0.25;
  start(s);
  s.dsave[10] = nan; // the upper limit for the next step
  s.f = -0.5;        // lower, same slope: not bracketed, steps towards the upper limit
  s.g = -1;
  s.gtol = 0.1;
  call(s);
  EXPECT_EQ(task_word(s), "FG");
  EXPECT_EQ(s.stp, 0.25);
  EXPECT_EQ(s.isave[0], 0);
}

TEST(DcsrchContinuation, TrialStepAboveStpmaxIsStpmaxExactlyThenWarns) {
  Search s;
  s.stpmax = 3;
  s.gtol = 0.1;
  start(s);
  s.f = -1; // phi(s) = -s: always decreasing, never flat enough
  s.g = -1;
  call(s);
  EXPECT_EQ(task_word(s), "FG");
  EXPECT_EQ(s.stp, 3);
  s.f = -3;
  call(s);
  EXPECT_EQ(task_word(s), "WARNING: STP = STPMAX");
  EXPECT_EQ(s.stp, 3);
}

// The fallback to the best step may leave the caller's bounds: here the best
// step is still 0, and an xtol of 1 stops progress on the first bracketing.
TEST(DcsrchContinuation, FallbackToTheBestStepMayLieBelowStpmin) {
  Search s = search_with(2, 1e-3, 0.9, 1, 1, 10);
  start(s);
  s.f = 1; // higher than f(0): a minimiser lies in [0, 2]
  s.g = 1;
  call(s);
  EXPECT_EQ(task_word(s), "FG");
  EXPECT_EQ(s.isave[0], 1);
  EXPECT_EQ(s.stp, 0);
  s.f = 0;
  s.g = -1;
  call(s);
  EXPECT_EQ(task_word(s), "WARNING: XTOL TEST SATISFIED");
  EXPECT_EQ(s.stp, 0);
}

// Before bracketing, each new step must advance at least 1.1 times the last
// advance: the second evaluation's secant step 2.25 is raised to that bound.
TEST(DcsrchExtrapolation, LowerBoundRaisesAShortStepBeforeBracketing) {
  Search s = search_with(1, 1e-3, 0.01, 0.1, 0, 10);
  start(s);
  struct Evaluation {
    double f, g;     // at the current step: decrease, slope still negative
    double next_stp; // the step asked for next
  };
  const Evaluation evaluations[] = {
      {-1, -0.5, 2},                   // the secant step, inside the limits [0, 5]
      {-1.5, -0.1, 2 + 1.1 * (2 - 1)}, // the secant step 2.25, below the limits [3.1, 6]
  };
  for (const Evaluation &e : evaluations) {
    s.f = e.f;
    s.g = e.g;
    call(s);
    ASSERT_EQ(task_word(s), "FG");
    EXPECT_EQ(s.isave[0], 0) << "not bracketed";
    EXPECT_EQ(s.stp, e.next_stp);
  }
}

} // namespace
