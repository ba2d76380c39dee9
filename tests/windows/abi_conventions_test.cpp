// The Windows x64 calling conventions of the shipped DLLs, checked at the
// binary level: each routine is looked up by name in the built DLL and called
// through a pointer of its raw machine signature, declared here without the
// public headers. The outside libraries beside this program are the
// computing fixtures, so every value is a real result.
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "case_name.h"

namespace {

template <typename F> F entry(const wchar_t *dll, const char *name) {
  HMODULE module = LoadLibraryW(dll);
  if (module == nullptr)
    return nullptr;
  return reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(module, name)));
}

std::uint32_t bits(float value) {
  std::uint32_t out;
  std::memcpy(&out, &value, sizeof out);
  return out;
}

std::uint64_t pair_bits(float re, float im) {
  return bits(re) | static_cast<std::uint64_t>(bits(im)) << 32;
}

// COMPLEX function value: one 64-bit integer in RAX.
using complex_dot = std::uint64_t (*)(const int *, const void *, const int *, const void *,
                                      const int *);
using complex_division = std::uint64_t (*)(const void *, const void *);
// DOUBLE COMPLEX function value: hidden storage address first, returned in RAX.
using double_complex_dot = void *(*)(void *, const int *, const void *, const int *, const void *,
                                     const int *);
using double_complex_division = void *(*)(void *, const void *, const void *);
// By-address subroutines. The wrappers hand their positions 2 to 6 on as the
// count, vector, increment, vector, increment of the routine they call.
using bridge = void (*)(const int *, const void *, const int *, const void *, const int *, void *);
using dot_wrapper = void (*)(void *, const void *, const void *, const void *, const void *,
                             const void *, const void *, const void *);
using norm_wrapper = void (*)(void *, const void *, const void *, const void *, const void *);
// Eleven addresses, then the task length by value.
using line_search = void (*)(double *, const double *, const double *, const double *,
                             const double *, const double *, char *, const double *, const double *,
                             int *, double *, int);

const int one = 1;
const float cx[2] = {1, 2}, cy[2] = {3, 4};
const double zx[2] = {1, 2}, zy[2] = {3, 4};

struct complex_case {
  const char *name;
  float re, im;
};

class ComplexValueInRax : public ::testing::TestWithParam<complex_case> {};

TEST_P(ComplexValueInRax, RealPartLowImaginaryPartHigh) {
  const complex_case c = GetParam();
  auto f = entry<complex_dot>(L"blaswrap.dll", c.name);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f(&one, cx, &one, cy, &one), pair_bits(c.re, c.im));
}

INSTANTIATE_TEST_SUITE_P(Dots, ComplexValueInRax,
                         ::testing::Values(complex_case{"wcdotu_", -5, 10},
                                           complex_case{"wcdotc_", 11, -2}),
                         case_name);

TEST(ComplexValueInRax, Division) {
  auto f = entry<complex_division>(L"blaswrap.dll", "wcladiv_");
  ASSERT_NE(f, nullptr);
  const std::uint64_t value = f(cx, cy);
  float q[2];
  std::memcpy(q, &value, sizeof q);
  EXPECT_FLOAT_EQ(q[0], 0.44f);
  EXPECT_FLOAT_EQ(q[1], 0.08f);
}

class DoubleComplexThroughHiddenPointer : public ::testing::TestWithParam<complex_case> {};

TEST_P(DoubleComplexThroughHiddenPointer, WritesSixteenBytesAndReturnsTheStorage) {
  const complex_case c = GetParam();
  auto f = entry<double_complex_dot>(L"blaswrap.dll", c.name);
  ASSERT_NE(f, nullptr);
  double storage[4] = {-7, -7, -7, -7}; // guards at 0 and 3
  void *returned = f(&storage[1], &one, zx, &one, zy, &one);
  EXPECT_EQ(returned, &storage[1]);
  EXPECT_EQ(storage[1], c.re);
  EXPECT_EQ(storage[2], c.im);
  EXPECT_EQ(storage[0], -7);
  EXPECT_EQ(storage[3], -7);
}

INSTANTIATE_TEST_SUITE_P(Dots, DoubleComplexThroughHiddenPointer,
                         ::testing::Values(complex_case{"wzdotc_", 11, -2},
                                           complex_case{"wzdotu_", -5, 10}),
                         case_name);

TEST(DoubleComplexThroughHiddenPointer, Division) {
  auto f = entry<double_complex_division>(L"blaswrap.dll", "wzladiv_");
  ASSERT_NE(f, nullptr);
  double q[2] = {0, 0};
  EXPECT_EQ(f(q, zx, zy), q);
  EXPECT_DOUBLE_EQ(q[0], 0.44);
  EXPECT_DOUBLE_EQ(q[1], 0.08);
}

TEST(Bridges, BothLibrariesPassCountsByValueAndStoreThroughResult) {
  const int n = 2, step = 1;
  const float x[4] = {1, 2, 5, 6}, y[4] = {3, 4, 7, 8};
  for (const wchar_t *dll : {L"blaswrap.dll", L"cblassub.dll"}) {
    auto dotc = entry<bridge>(dll, "acc_cdotc_sub_");
    auto zdotu = entry<bridge>(dll, "acc_zdotu_sub_");
    ASSERT_NE(dotc, nullptr);
    ASSERT_NE(zdotu, nullptr);
    float c[2] = {0, 0};
    dotc(&n, x, &step, y, &step, c);
    // conj(1+2i)(3+4i) + conj(5+6i)(7+8i) = (11-2i) + (83-2i)
    EXPECT_EQ(c[0], 94);
    EXPECT_EQ(c[1], -4);
    double z[2] = {0, 0};
    zdotu(&one, zx, &one, zy, &one, z);
    EXPECT_EQ(z[0], -5);
    EXPECT_EQ(z[1], 10);
  }
}

// The outside REAL functions answer in XMM0 as single precision; the wrapper
// stores exactly those 4 bytes.
TEST(SubroutineWrappers, SinglePrecisionValueStoredWithItsWidth) {
  auto sdot = entry<dot_wrapper>(L"blaswrap.dll", "f2pywrapsdot_");
  auto snrm2 = entry<norm_wrapper>(L"blaswrap.dll", "f2pywrapsnrm2_");
  ASSERT_NE(sdot, nullptr);
  ASSERT_NE(snrm2, nullptr);
  const int three = 3, two = 2;
  const float x[3] = {1, 2, 3}, y[3] = {4, 5, 6}, v[2] = {3, 4};
  float out[2] = {-1, -1};
  sdot(out, &three, x, &one, y, &one, nullptr, nullptr);
  EXPECT_EQ(out[0], 32);
  EXPECT_EQ(out[1], -1);
  out[0] = -1;
  snrm2(out, &two, v, &one, nullptr);
  EXPECT_EQ(out[0], 5);
  EXPECT_EQ(out[1], -1);
}

TEST(SubroutineWrappers, DoubleComplexDotStoresSixteenBytes) {
  auto zdotc = entry<dot_wrapper>(L"blaswrap.dll", "f2pywrapzdotc_");
  ASSERT_NE(zdotc, nullptr);
  double out[3] = {0, 0, -1};
  zdotc(out, &one, zx, &one, zy, &one, nullptr, nullptr);
  EXPECT_EQ(out[0], 11);
  EXPECT_EQ(out[1], -2);
  EXPECT_EQ(out[2], -1);
}

// The task length arrives by value after the eleven addresses: the reply
// "FG" is blank-padded to exactly that length, whatever it is.
class TaskLengthByValue : public ::testing::TestWithParam<int> {};

TEST_P(TaskLengthByValue, ReplyFillsExactlyThatLength) {
  auto dcsrch = entry<line_search>(L"linesearch.dll", "dcsrch_");
  ASSERT_NE(dcsrch, nullptr);
  const int length = GetParam();
  char task[80];
  std::memset(task, '#', sizeof task);
  std::memcpy(task, "START", 5);
  std::memset(task + 5, ' ', length - 5);
  double stp = 1, f = 0, g = -1, ftol = 1e-3, gtol = 0.9, xtol = 0.1, stpmin = 0, stpmax = 10;
  int isave[2];
  double dsave[13];
  dcsrch(&stp, &f, &g, &ftol, &gtol, &xtol, task, &stpmin, &stpmax, isave, dsave, length);
  EXPECT_EQ(std::string(task, 2), "FG");
  EXPECT_EQ(std::string(task + 2, length - 2), std::string(length - 2, ' '));
  EXPECT_EQ(std::string(task + length, sizeof task - length),
            std::string(sizeof task - length, '#'));
}

INSTANTIATE_TEST_SUITE_P(Lengths, TaskLengthByValue, ::testing::Values(5, 8, 60));

} // namespace
