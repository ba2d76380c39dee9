// Cost of one dcsrch_ call, averaged over complete searches on smooth
// functions (the function evaluations are excluded from the timing), and of
// one dcstep_ call in each of its cases.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>

#include "linesearch.h"

namespace {

struct Phi {
  double f, g;
};

// phi(s) along a descent direction for three smooth functions.
Phi quadratic(double s) { return {(s - 3.0) * (s - 3.0), 2.0 * (s - 3.0)}; }
Phi quartic(double s) { return {std::pow(s - 1.5, 4) - s, 4.0 * std::pow(s - 1.5, 3) - 1.0}; }
Phi rational(double s) {
  return {-s / (s * s + 2.0), (s * s - 2.0) / ((s * s + 2.0) * (s * s + 2.0))};
}

template <Phi (*phi)(double)> void BM_dcsrch_per_call(benchmark::State &state) {
  const double ftol = 1e-3, gtol = 0.1, xtol = 0.1, stpmin = 0.0, stpmax = 100.0;
  const Phi at0 = phi(0.0);
  // Record the evaluations of one search once, then replay them: the timed
  // loop runs only dcsrch_.
  double fs[64], gs[64];
  int calls = 0;
  {
    double stp = 1.0, f = at0.f, g = at0.g, dsave[LINESEARCH_DSAVE_SIZE];
    int isave[LINESEARCH_ISAVE_SIZE];
    char task[60] = "START";
    for (;;) {
      dcsrch_(&stp, &f, &g, &ftol, &gtol, &xtol, task, &stpmin, &stpmax, isave, dsave, 60);
      ++calls;
      if (std::strncmp(task, "FG", 2) != 0 || calls == 64)
        break;
      const Phi p = phi(stp);
      fs[calls - 1] = f = p.f;
      gs[calls - 1] = g = p.g;
    }
  }
  for (auto _ : state) {
    double stp = 1.0, f = at0.f, g = at0.g, dsave[LINESEARCH_DSAVE_SIZE];
    int isave[LINESEARCH_ISAVE_SIZE];
    char task[60] = "START";
    for (int i = 0; i < calls; ++i) {
      dcsrch_(&stp, &f, &g, &ftol, &gtol, &xtol, task, &stpmin, &stpmax, isave, dsave, 60);
      f = fs[i];
      g = gs[i];
    }
    benchmark::DoNotOptimize(stp);
  }
  state.SetItemsProcessed(state.iterations() * calls);
  state.counters["calls_per_search"] = calls;
  state.counters["ns_per_call"] =
      benchmark::Counter(static_cast<double>(state.iterations() * calls),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_dcsrch_per_call<quadratic>)->Name("dcsrch/quadratic");
BENCHMARK(BM_dcsrch_per_call<quartic>)->Name("dcsrch/quartic");
BENCHMARK(BM_dcsrch_per_call<rational>)->Name("dcsrch/rational");

// One dcstep_ call per case, with the inputs of a worked example.
void BM_dcstep(benchmark::State &state) {
  struct Input {
    double stx, fx, dx, stp, fp, dp;
    int brackt;
  };
  static const Input cases[] = {
      {0, 1, -1, 1, 2, 1, 0},      // case 1
      {0, 1, -1, 1, 0.5, 0.5, 0},  // case 2
      {0, 1, -1, 1, 0.2, -0.1, 0}, // case 3
      {0, 1, -1, 1, 0.5, -2, 1},   // case 4, bracketed
  };
  const Input in = cases[state.range(0)];
  const double stpmin = 0.0, stpmax = 10.0;
  for (auto _ : state) {
    double stx = in.stx, fx = in.fx, dx = in.dx, sty = 3, fy = 2, dy = 1, stp = in.stp;
    int brackt = in.brackt;
    benchmark::DoNotOptimize(stx);
    dcstep_(&stx, &fx, &dx, &sty, &fy, &dy, &stp, &in.fp, &in.dp, &brackt, &stpmin, &stpmax);
    benchmark::DoNotOptimize(stp);
  }
}
BENCHMARK(BM_dcstep)->Name("dcstep/case")->DenseRange(0, 3);

} // namespace
