// The shipped libraries against the machine's BLAS, CBLAS and LAPACK.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <complex>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#if defined(_WIN32)
#  include <windows.h>
#else
#  include <dlfcn.h>
#endif

#include "blaswrap.h"
#include "case_name.h"
#include "on_threads.h"

namespace {

using pair = std::array<double, 2>;

struct real_case {
  const char *name;
  pair (*run)();
  pair expected;
  double tolerance; // 0: exact
};

void PrintTo(const real_case &c, std::ostream *os) { *os << c.name; }

const int one = 1, two = 2, three = 3, zero = 0, minus_one = -1;

const float sx[] = {1, 2, 3}, sy[] = {4, 5, 6}, s34[] = {3, 4}, s3m4[] = {3, -4};
const double dx[] = {1, 2, 3}, dy[] = {4, 5, 6}, d34[] = {3, 4}, d3m4[] = {3, -4};
const blaswrap_complex c12 = {1, 2}, c34 = {3, 4}, c3m4 = {3, -4};
const blaswrap_double_complex z12 = {1, 2}, z34 = {3, 4}, z3m4 = {3, -4};

template <typename T> pair parts(const T &v) { return {double(v.re), double(v.im)}; }

// Results of the subroutine wrappers: positions 7 and 8 (or 5) are null, as
// the routines never see them.
template <typename R> pair sub(R value) { return {double(value), 0}; }

// clang-format off
const real_case real_cases[] = {
    // Bridges.
    {"acc_cdotc_sub_", [] { blaswrap_complex r; acc_cdotc_sub_(&one, &c12, &one, &c34, &one, &r); return parts(r); }, {11, -2}, 0},
    {"acc_cdotu_sub_", [] { blaswrap_complex r; acc_cdotu_sub_(&one, &c12, &one, &c34, &one, &r); return parts(r); }, {-5, 10}, 0},
    {"acc_zdotc_sub_", [] { blaswrap_double_complex r; acc_zdotc_sub_(&one, &z12, &one, &z34, &one, &r); return parts(r); }, {11, -2}, 0},
    {"acc_zdotu_sub_", [] { blaswrap_double_complex r; acc_zdotu_sub_(&one, &z12, &one, &z34, &one, &r); return parts(r); }, {-5, 10}, 0},
    {"acc_zdotu_sub_count_0_stores_0", [] { blaswrap_double_complex r{7, 7}; acc_zdotu_sub_(&zero, &z12, &one, &z34, &one, &r); return parts(r); }, {0, 0}, 0},
    // Complex function values.
    {"wcdotc_", [] { return parts(wcdotc_(&one, &c12, &one, &c34, &one)); }, {11, -2}, 0},
    {"wcdotu_", [] { return parts(wcdotu_(&one, &c12, &one, &c34, &one)); }, {-5, 10}, 0},
    {"wzdotc_", [] { return parts(wzdotc_(&one, &z12, &one, &z34, &one)); }, {11, -2}, 0},
    {"wzdotu_", [] { return parts(wzdotu_(&one, &z12, &one, &z34, &one)); }, {-5, 10}, 0},
    {"wcladiv_", [] { return parts(wcladiv_(&c12, &c34)); }, {0.44, 0.08}, 2e-7},
    {"wzladiv_", [] { return parts(wzladiv_(&z12, &z34)); }, {0.44, 0.08}, 1e-16},
    // Subroutine wrappers.
    {"f2pywrapsdot_", [] { float r; f2pywrapsdot_(&r, &three, sx, &one, sy, &one, nullptr, nullptr); return sub(r); }, {32, 0}, 0},
    {"f2pywrapsdot_negative_increment", [] { float r; f2pywrapsdot_(&r, &three, sx, &minus_one, sy, &one, nullptr, nullptr); return sub(r); }, {28, 0}, 0},
    {"f2pywrapsdot_starts_at_the_address_given", [] { float r; f2pywrapsdot_(&r, &two, sx + 1, &one, sy + 1, &one, nullptr, nullptr); return sub(r); }, {28, 0}, 0},
    {"f2pywrapddot_", [] { double r; f2pywrapddot_(&r, &three, dx, &one, dy, &one, nullptr, nullptr); return sub(r); }, {32, 0}, 0},
    {"f2pywrapddot_count_0", [] { double r = 9; f2pywrapddot_(&r, &zero, dx, &one, dy, &one, nullptr, nullptr); return sub(r); }, {0, 0}, 0},
    {"f2pywrapcdotu_", [] { blaswrap_complex r; f2pywrapcdotu_(&r, &one, &c12, &one, &c34, &one, nullptr, nullptr); return parts(r); }, {-5, 10}, 0},
    {"f2pywrapzdotu_", [] { blaswrap_double_complex r; f2pywrapzdotu_(&r, &one, &z12, &one, &z34, &one, nullptr, nullptr); return parts(r); }, {-5, 10}, 0},
    {"f2pywrapcdotc_", [] { blaswrap_complex r; f2pywrapcdotc_(&r, &one, &c12, &one, &c34, &one, nullptr, nullptr); return parts(r); }, {11, -2}, 0},
    {"f2pywrapzdotc_", [] { blaswrap_double_complex r; f2pywrapzdotc_(&r, &one, &z12, &one, &z34, &one, nullptr, nullptr); return parts(r); }, {11, -2}, 0},
    {"f2pywrapsnrm2_", [] { float r; f2pywrapsnrm2_(&r, &two, s34, &one, nullptr); return sub(r); }, {5, 0}, 0},
    {"f2pywrapscnrm2_", [] { float r; f2pywrapscnrm2_(&r, &one, &c34, &one, nullptr); return sub(r); }, {5, 0}, 0},
    {"f2pywrapdnrm2_", [] { double r; f2pywrapdnrm2_(&r, &two, d34, &one, nullptr); return sub(r); }, {5, 0}, 0},
    {"f2pywrapdznrm2_", [] { double r; f2pywrapdznrm2_(&r, &one, &z34, &one, nullptr); return sub(r); }, {5, 0}, 0},
    {"f2pywrapsasum_", [] { float r; f2pywrapsasum_(&r, &two, s3m4, &one, nullptr); return sub(r); }, {7, 0}, 0},
    {"f2pywrapscasum_", [] { float r; f2pywrapscasum_(&r, &one, &c3m4, &one, nullptr); return sub(r); }, {7, 0}, 0},
    {"f2pywrapdasum_", [] { double r; f2pywrapdasum_(&r, &two, d3m4, &one, nullptr); return sub(r); }, {7, 0}, 0},
    {"f2pywrapdzasum_", [] { double r; f2pywrapdzasum_(&r, &one, &z3m4, &one, nullptr); return sub(r); }, {7, 0}, 0},
};
// clang-format on

class RealBlas : public testing::TestWithParam<real_case> {};

TEST_P(RealBlas, GivesTheKnownValue) {
  const real_case &c = GetParam();
  const pair got = c.run();
  if (c.tolerance == 0) {
    EXPECT_EQ(got[0], c.expected[0]);
    EXPECT_EQ(got[1], c.expected[1]);
  } else {
    EXPECT_NEAR(got[0], c.expected[0], c.tolerance);
    EXPECT_NEAR(got[1], c.expected[1], c.tolerance);
  }
}

INSTANTIATE_TEST_SUITE_P(All, RealBlas, testing::ValuesIn(real_cases), case_name);

// ---- cblassub and blaswrap agree -------------------------------------------

using bridge_fn = void (*)(const int *, const void *, const int *, const void *, const int *,
                           void *);

// cblassub exports the same names as blaswrap, which this program links, so
// it is loaded on its own and its bridges looked up in it alone.
bridge_fn cblassub_bridge(const char *name) {
#if defined(_WIN32)
  static HMODULE library = LoadLibraryA(CBLASSUB_PATH);
  return library ? reinterpret_cast<bridge_fn>(GetProcAddress(library, name)) : nullptr;
#else
  static void *library = dlopen(CBLASSUB_PATH, RTLD_NOW | RTLD_LOCAL);
  return library ? reinterpret_cast<bridge_fn>(dlsym(library, name)) : nullptr;
#endif
}

struct parity_case {
  const char *name;
  bridge_fn blaswrap;
  size_t element; // bytes per element, result included
};

TEST(CblassubParity, SameResultsAsBlaswrap) {
  const parity_case cases[] = {{"acc_cdotc_sub_", acc_cdotc_sub_, 8},
                               {"acc_cdotu_sub_", acc_cdotu_sub_, 8},
                               {"acc_zdotc_sub_", acc_zdotc_sub_, 16},
                               {"acc_zdotu_sub_", acc_zdotu_sub_, 16}};
  // Room for 17 elements at a stride of 3, in double complex.
  std::vector<double> x(2 * 17 * 3), y(2 * 17 * 3);
  std::vector<float> xs(x.size()), ys(y.size());
  for (size_t i = 0; i < x.size(); ++i) {
    x[i] = std::sin(double(i) + 0.5);
    y[i] = std::cos(3.0 * double(i));
    xs[i] = float(x[i]);
    ys[i] = float(y[i]);
  }
  const int shapes[][3] = {{1, 1, 1}, {17, 1, 1}, {17, 3, -2}, {17, -3, 1}, {0, 1, 1}, {-4, 1, 1}};
  for (const parity_case &c : cases) {
    SCOPED_TRACE(c.name);
    const bridge_fn other = cblassub_bridge(c.name);
    ASSERT_NE(other, nullptr) << "cblassub not loaded from " << CBLASSUB_PATH;
    ASSERT_NE(other, c.blaswrap) << "both names resolve to one library";
    const void *vx = c.element == 8 ? static_cast<const void *>(xs.data()) : x.data();
    const void *vy = c.element == 8 ? static_cast<const void *>(ys.data()) : y.data();
    for (const auto &s : shapes) {
      unsigned char from_blaswrap[16], from_cblassub[16];
      std::memset(from_blaswrap, 0x5A, sizeof from_blaswrap);
      std::memset(from_cblassub, 0x5A, sizeof from_cblassub);
      c.blaswrap(&s[0], vx, &s[1], vy, &s[2], from_blaswrap);
      other(&s[0], vx, &s[1], vy, &s[2], from_cblassub);
      EXPECT_EQ(0, std::memcmp(from_blaswrap, from_cblassub, sizeof from_blaswrap))
          << "n " << s[0] << " incx " << s[1] << " incy " << s[2];
    }
  }
}

// ---- many threads at once ---------------------------------------------------

// Each thread runs every kind of wrapper on data of its own and checks each
// result, so shared state or a data race shows up as a wrong value (or, in
// the sanitizer build, as a report).
int run_thread(int seed, int rounds) {
  int failures = 0;
  const int n = 8;
  std::vector<double> d(n), e(n);
  std::vector<float> s(n), t(n);
  std::vector<blaswrap_double_complex> z(n), w(n);
  std::vector<blaswrap_complex> c(n), b(n);
  double expected_dot = 0, expected_asum = 0;
  std::complex<double> expected_zdotc = 0;
  for (int i = 0; i < n; ++i) {
    d[i] = seed + i;
    e[i] = 1 - i;
    s[i] = float(d[i]);
    t[i] = float(e[i]);
    z[i] = {double(seed), double(i)};
    w[i] = {1.0, double(-seed)};
    c[i] = {float(seed), float(i)};
    b[i] = {1.0f, float(-seed)};
    expected_dot += d[i] * e[i];
    expected_asum += std::fabs(d[i]);
    expected_zdotc +=
        std::conj(std::complex<double>(z[i].re, z[i].im)) * std::complex<double>(w[i].re, w[i].im);
  }
  for (int round = 0; round < rounds; ++round) {
    double dd, da;
    float sd;
    blaswrap_double_complex zc;
    f2pywrapddot_(&dd, &n, d.data(), &one, e.data(), &one, nullptr, nullptr);
    f2pywrapdasum_(&da, &n, d.data(), &one, nullptr);
    f2pywrapsdot_(&sd, &n, s.data(), &one, t.data(), &one, nullptr, nullptr);
    f2pywrapzdotc_(&zc, &n, z.data(), &one, w.data(), &one, nullptr, nullptr);
    const blaswrap_complex cc = wcdotc_(&n, c.data(), &one, b.data(), &one);
    const blaswrap_double_complex q = wzladiv_(&z[1], &w[1]);
    const std::complex<double> expected_q =
        std::complex<double>(z[1].re, z[1].im) / std::complex<double>(w[1].re, w[1].im);
    const bool ok =
        dd == expected_dot && da == expected_asum && sd == float(expected_dot) &&
        zc.re == expected_zdotc.real() && zc.im == expected_zdotc.imag() &&
        cc.re == float(expected_zdotc.real()) && cc.im == float(expected_zdotc.imag()) &&
        std::abs(std::complex<double>(q.re, q.im) - expected_q) <= 1e-15 * std::abs(expected_q);
    if (!ok)
      ++failures;
  }
  return failures;
}

TEST(RealBlasThreads, DistinctDataOnFourThreads) {
  expect_no_failures_on_threads(4, [](int thread) { return run_thread(thread + 2, 20000); });
}

} // namespace
