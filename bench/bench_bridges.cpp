// Each kind of blaswrap routine against calling the same outside routine
// directly: n = 1 shows the cost of the extra call, a large n that the
// wrapper adds nothing to the work.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "blaswrap.h"
#include "outside_routines.h"

namespace {

constexpr int large_n = 100000;
const int one = 1;

std::vector<double> filled(size_t count, double scale) {
  std::vector<double> v(count);
  for (size_t i = 0; i < count; ++i)
    v[i] = std::sin(scale * double(i + 1));
  return v;
}

// Subroutine wrapper around a BLAS function.
void ddot_direct(benchmark::State &state) {
  const int n = int(state.range(0));
  const std::vector<double> x = filled(n, 0.5), y = filled(n, 0.25);
  for (auto _ : state) {
    double r = ddot_(&n, x.data(), &one, y.data(), &one);
    benchmark::DoNotOptimize(r);
  }
}
void ddot_f2pywrap(benchmark::State &state) {
  const int n = int(state.range(0));
  const std::vector<double> x = filled(n, 0.5), y = filled(n, 0.25);
  for (auto _ : state) {
    double r;
    f2pywrapddot_(&r, &n, x.data(), &one, y.data(), &one, nullptr, nullptr);
    benchmark::DoNotOptimize(r);
  }
}

// The CBLAS bridge, the complex-result function and the subroutine wrapper
// around the same CBLAS routine: one, two and three extra calls deep.
void zdotc_direct(benchmark::State &state) {
  const int n = int(state.range(0));
  const std::vector<double> x = filled(2 * n, 0.5), y = filled(2 * n, 0.25);
  for (auto _ : state) {
    blaswrap_double_complex r;
    cblas_zdotc_sub(n, x.data(), 1, y.data(), 1, &r);
    benchmark::DoNotOptimize(r);
  }
}
void zdotc_bridge(benchmark::State &state) {
  const int n = int(state.range(0));
  const std::vector<double> x = filled(2 * n, 0.5), y = filled(2 * n, 0.25);
  for (auto _ : state) {
    blaswrap_double_complex r;
    acc_zdotc_sub_(&n, x.data(), &one, y.data(), &one, &r);
    benchmark::DoNotOptimize(r);
  }
}
void zdotc_function_value(benchmark::State &state) {
  const int n = int(state.range(0));
  const std::vector<double> x = filled(2 * n, 0.5), y = filled(2 * n, 0.25);
  const auto *cx = reinterpret_cast<const blaswrap_double_complex *>(x.data());
  const auto *cy = reinterpret_cast<const blaswrap_double_complex *>(y.data());
  for (auto _ : state) {
    blaswrap_double_complex r = wzdotc_(&n, cx, &one, cy, &one);
    benchmark::DoNotOptimize(r);
  }
}
void zdotc_f2pywrap(benchmark::State &state) {
  const int n = int(state.range(0));
  const std::vector<double> x = filled(2 * n, 0.5), y = filled(2 * n, 0.25);
  for (auto _ : state) {
    blaswrap_double_complex r;
    f2pywrapzdotc_(&r, &n, x.data(), &one, y.data(), &one, nullptr, nullptr);
    benchmark::DoNotOptimize(r);
  }
}

// The division: copies of four scalars, then LAPACK.
void zladiv_direct(benchmark::State &state) {
  const double a = 1, b = 2, c = 3, d = 4;
  for (auto _ : state) {
    double p, q;
    dladiv_(&a, &b, &c, &d, &p, &q);
    benchmark::DoNotOptimize(p);
    benchmark::DoNotOptimize(q);
  }
}
void zladiv_function_value(benchmark::State &state) {
  const blaswrap_double_complex x{1, 2}, y{3, 4};
  for (auto _ : state) {
    blaswrap_double_complex z = wzladiv_(&x, &y);
    benchmark::DoNotOptimize(z);
  }
}

} // namespace

BENCHMARK(ddot_direct)->Arg(1)->Arg(large_n);
BENCHMARK(ddot_f2pywrap)->Arg(1)->Arg(large_n);
BENCHMARK(zdotc_direct)->Arg(1)->Arg(large_n);
BENCHMARK(zdotc_bridge)->Arg(1)->Arg(large_n);
BENCHMARK(zdotc_function_value)->Arg(1)->Arg(large_n);
BENCHMARK(zdotc_f2pywrap)->Arg(1)->Arg(large_n);
BENCHMARK(zladiv_direct);
BENCHMARK(zladiv_function_value);
