// The wrappers against the recording stand-in: what reaches the outside
// routines, how often, and when and how wide the result is written.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "blaswrap.h"
#include "case_name.h"
#include "recorder.h"

namespace {

using bytes = std::vector<unsigned char>;

template <typename T> bytes bytes_of(const T &value) {
  bytes out(sizeof value);
  std::memcpy(out.data(), &value, sizeof value);
  return out;
}

// Result storage with guard bytes on both sides, all of it watched, so a
// write before the outside call or beyond the result's width shows up.
constexpr unsigned char guard = 0xA5;
constexpr size_t result_offset = 16;

struct guarded {
  alignas(16) unsigned char storage[RECORDER_WATCH_SIZE];
  guarded() { std::memset(storage, guard, sizeof storage); }
  void *result() { return storage + result_offset; }
};

void expect_written_after_call(const guarded &out, const bytes &reply) {
  const recorded_call call = recorder_last();
  for (size_t i = 0; i < sizeof out.storage; ++i)
    ASSERT_EQ(call.watched[i], guard) << "byte " << i << " written before the call";
  for (size_t i = 0; i < sizeof out.storage; ++i) {
    const bool in_result = i >= result_offset && i < result_offset + reply.size();
    const unsigned char expected = in_result ? reply[i - result_offset] : guard;
    ASSERT_EQ(out.storage[i], expected) << "byte " << i;
  }
}

void expect_one_call(const char *routine) {
  const recorded_call call = recorder_last();
  EXPECT_EQ(call.calls, 1);
  EXPECT_STREQ(call.routine, routine);
}

// Counts and increments as they reach CBLAS: negative, zero and large values
// go through unchanged.
struct integers {
  int n, incx, incy;
};
const integers integer_cases[] = {
    {1, 1, 1}, {0, 1, 1}, {-3, -2, 5}, {7, 0, -1}, {1 << 30, -(1 << 30), 3}};

// ---- bridges ---------------------------------------------------------------

using bridge_fn = void (*)(const int *, const void *, const int *, const void *, const int *,
                           void *);
struct bridge_case {
  const char *name;
  bridge_fn bridge;
  const char *routine;
  size_t width;
};

void PrintTo(const bridge_case &c, std::ostream *os) { *os << c.name; }

class Bridge : public testing::TestWithParam<bridge_case> {};

TEST_P(Bridge, PassesIntegersByValueAndAddressesUnchanged) {
  const bridge_case &c = GetParam();
  const bytes reply = bytes_of(std::array<double, 2>{1.5, -2.25});
  const bytes answer(reply.begin(), reply.begin() + c.width);
  double cx[4], cy[4];
  for (const integers &v : integer_cases) {
    SCOPED_TRACE(v.n);
    guarded out;
    recorder_reset(reply.data(), reply.size(), out.storage, sizeof out.storage);
    c.bridge(&v.n, cx, &v.incx, cy, &v.incy, out.result());
    expect_one_call(c.routine);
    const recorded_call call = recorder_last();
    ASSERT_EQ(call.address_count, 3);
    EXPECT_EQ(call.addresses[0], cx);
    EXPECT_EQ(call.addresses[1], cy);
    EXPECT_EQ(call.addresses[2], out.result()) << "result must reach CBLAS with no temporary";
    ASSERT_EQ(call.value_count, 3);
    EXPECT_EQ(call.values[0], v.n);
    EXPECT_EQ(call.values[1], v.incx);
    EXPECT_EQ(call.values[2], v.incy);
    expect_written_after_call(out, answer); // the bridge neither clears nor rewrites it
  }
}

INSTANTIATE_TEST_SUITE_P(
    All, Bridge,
    testing::Values(bridge_case{"acc_cdotc_sub_", acc_cdotc_sub_, "cblas_cdotc_sub", 8},
                    bridge_case{"acc_cdotu_sub_", acc_cdotu_sub_, "cblas_cdotu_sub", 8},
                    bridge_case{"acc_zdotc_sub_", acc_zdotc_sub_, "cblas_zdotc_sub", 16},
                    bridge_case{"acc_zdotu_sub_", acc_zdotu_sub_, "cblas_zdotu_sub", 16}),
    case_name);

// ---- complex dot products with function values -----------------------------

// Calls the function and copies its value out, as a caller would.
using dot_call = void (*)(const int *n, const void *cx, const int *incx, const void *cy,
                          const int *incy, void *value);
struct dot_case {
  const char *name;
  dot_call call;
  const char *routine;
  size_t width;
};

template <typename T, T (*f)(const int *, const T *, const int *, const T *, const int *)>
void call_dot(const int *n, const void *cx, const int *incx, const void *cy, const int *incy,
              void *value) {
  const T result = f(n, static_cast<const T *>(cx), incx, static_cast<const T *>(cy), incy);
  std::memcpy(value, &result, sizeof result);
}

void PrintTo(const dot_case &c, std::ostream *os) { *os << c.name; }

class ComplexDot : public testing::TestWithParam<dot_case> {};

TEST_P(ComplexDot, ForwardsToItsBridgeAndReturnsWhatCblasStored) {
  const dot_case &c = GetParam();
  const bytes reply = bytes_of(std::array<double, 2>{-7.0, 0.5});
  double cx[4], cy[4];
  for (const integers &v : integer_cases) {
    SCOPED_TRACE(v.n);
    recorder_reset(reply.data(), reply.size(), nullptr, 0);
    unsigned char value[16] = {};
    c.call(&v.n, cx, &v.incx, cy, &v.incy, value);
    expect_one_call(c.routine);
    const recorded_call call = recorder_last();
    EXPECT_EQ(call.addresses[0], cx);
    EXPECT_EQ(call.addresses[1], cy);
    EXPECT_EQ(call.values[0], v.n);
    EXPECT_EQ(call.values[1], v.incx);
    EXPECT_EQ(call.values[2], v.incy);
    EXPECT_EQ(0, std::memcmp(value, reply.data(), c.width));
  }
}

INSTANTIATE_TEST_SUITE_P(
    All, ComplexDot,
    testing::Values(
        dot_case{"wcdotc_", call_dot<blaswrap_complex, wcdotc_>, "cblas_cdotc_sub", 8},
        dot_case{"wcdotu_", call_dot<blaswrap_complex, wcdotu_>, "cblas_cdotu_sub", 8},
        dot_case{"wzdotc_", call_dot<blaswrap_double_complex, wzdotc_>, "cblas_zdotc_sub", 16},
        dot_case{"wzdotu_", call_dot<blaswrap_double_complex, wzdotu_>, "cblas_zdotu_sub", 16}),
    case_name);

// The destination may be an element of either vector: CBLAS must still see
// the element as it was.
TEST(ComplexDotAliasing, DestinationMayBeAnInputElement) {
  using zdot =
      blaswrap_double_complex (*)(const int *, const blaswrap_double_complex *, const int *,
                                  const blaswrap_double_complex *, const int *);
  const blaswrap_double_complex reply{11.0, -2.0};
  for (zdot f : {wzdotc_, wzdotu_}) {
    for (int which = 0; which < 2; ++which) {
      blaswrap_double_complex cx[1] = {{1.0, 2.0}}, cy[1] = {{3.0, 4.0}};
      blaswrap_double_complex &destination = which == 0 ? cx[0] : cy[0];
      const blaswrap_double_complex before = destination;
      recorder_reset(&reply, sizeof reply, &destination, sizeof destination);
      const int one = 1;
      destination = f(&one, cx, &one, cy, &one);
      blaswrap_double_complex seen;
      std::memcpy(&seen, recorder_last().watched, sizeof seen);
      EXPECT_EQ(seen.re, before.re);
      EXPECT_EQ(seen.im, before.im);
      EXPECT_EQ(destination.re, 11.0);
      EXPECT_EQ(destination.im, -2.0);
    }
  }
}

// ---- divisions ---------------------------------------------------------------

template <typename T> bool inside(const void *p, const T &object) {
  const auto *begin = reinterpret_cast<const unsigned char *>(&object);
  const auto *q = static_cast<const unsigned char *>(p);
  return q >= begin && q < begin + sizeof object;
}

template <typename T, T (*divide)(const T *, const T *)> void check_division(const char *routine) {
  using part = decltype(T{}.re);
  const part quotient[2] = {part(0.25), part(-8)};
  const T x{1, 2}, y{3, 4};
  recorder_reset(quotient, sizeof quotient, nullptr, 0);
  const T z = divide(&x, &y);
  expect_one_call(routine);
  const recorded_call call = recorder_last();
  ASSERT_EQ(call.address_count, 6);
  for (int i = 0; i < 6; ++i) {
    EXPECT_FALSE(inside(call.addresses[i], x)) << "argument " << i << " is the caller's x";
    EXPECT_FALSE(inside(call.addresses[i], y)) << "argument " << i << " is the caller's y";
  }
  EXPECT_EQ(call.inputs[0], 1);
  EXPECT_EQ(call.inputs[1], 2);
  EXPECT_EQ(call.inputs[2], 3);
  EXPECT_EQ(call.inputs[3], 4);
  EXPECT_EQ(z.re, quotient[0]);
  EXPECT_EQ(z.im, quotient[1]);
  EXPECT_EQ(x.re, 1);
  EXPECT_EQ(x.im, 2);
  EXPECT_EQ(y.re, 3);
  EXPECT_EQ(y.im, 4);

  // The quotient may replace either operand.
  for (int which = 0; which < 2; ++which) {
    T a{1, 2}, b{3, 4};
    T &destination = which == 0 ? a : b;
    recorder_reset(quotient, sizeof quotient, nullptr, 0);
    destination = divide(&a, &b);
    const recorded_call seen = recorder_last();
    EXPECT_EQ(seen.inputs[0], 1);
    EXPECT_EQ(seen.inputs[1], 2);
    EXPECT_EQ(seen.inputs[2], 3);
    EXPECT_EQ(seen.inputs[3], 4);
    EXPECT_EQ(destination.re, quotient[0]);
    EXPECT_EQ(destination.im, quotient[1]);
  }
}

TEST(Division, SingleWorksOnCopiesOfTheParts) {
  check_division<blaswrap_complex, wcladiv_>("sladiv_");
}
TEST(Division, DoubleWorksOnCopiesOfTheParts) {
  check_division<blaswrap_double_complex, wzladiv_>("dladiv_");
}

// ---- function-to-subroutine wrappers ---------------------------------------

// Calls one wrapper with its first argument and the seven (or four) after it.
using wrapper_call = void (*)(void *result, const void *const *args);
struct wrapper_case {
  const char *name;
  wrapper_call call;
  const char *routine;
  bool through_cblas; // the complex dot products reach CBLAS via the bridges
  int consumed;       // leading positions after the result that the routine takes
  bytes reply;
};

template <typename R, void (*w)(R *, const void *, const void *, const void *, const void *,
                                const void *, const void *, const void *)>
void call_eight(void *result, const void *const *a) {
  w(static_cast<R *>(result), a[0], a[1], a[2], a[3], a[4], a[5], a[6]);
}

template <typename R, void (*w)(R *, const void *, const void *, const void *, const void *)>
void call_five(void *result, const void *const *a) {
  w(static_cast<R *>(result), a[0], a[1], a[2], a[3]);
}

void PrintTo(const wrapper_case &c, std::ostream *os) { *os << c.name; }

class SubroutineWrapper : public testing::TestWithParam<wrapper_case> {};

TEST_P(SubroutineWrapper, ForwardsByPositionAndStoresOnlyTheResultWidth) {
  const wrapper_case &c = GetParam();
  // Positions that reach the routine point at integers (the bridges read the
  // count and increments); the trailing ones are null, so reading them fails.
  int slots[5] = {4, 0, -3, 0, 6};
  const void *args[7] = {&slots[0], &slots[1], &slots[2], &slots[3], &slots[4], nullptr, nullptr};
  if (c.consumed == 3)
    args[3] = nullptr;
  guarded out;
  recorder_reset(c.reply.data(), c.reply.size(), out.storage, sizeof out.storage);
  c.call(out.result(), args);
  expect_one_call(c.routine);
  const recorded_call call = recorder_last();
  if (c.through_cblas) {
    EXPECT_EQ(call.addresses[0], args[1]);
    EXPECT_EQ(call.addresses[1], args[3]);
    EXPECT_EQ(call.values[0], 4);
    EXPECT_EQ(call.values[1], -3);
    EXPECT_EQ(call.values[2], 6);
  } else {
    ASSERT_EQ(call.address_count, c.consumed);
    for (int i = 0; i < c.consumed; ++i)
      EXPECT_EQ(call.addresses[i], args[i]) << "position " << i + 2;
  }
  expect_written_after_call(out, c.reply);
}

const blaswrap_complex complex_reply{1.5f, -2.25f};
const blaswrap_double_complex double_complex_reply{1.5, -2.25};

INSTANTIATE_TEST_SUITE_P(
    All, SubroutineWrapper,
    testing::Values(wrapper_case{"f2pywrapsdot_", call_eight<float, f2pywrapsdot_>, "sdot_", false,
                                 5, bytes_of(1.5f)},
                    wrapper_case{"f2pywrapddot_", call_eight<double, f2pywrapddot_>, "ddot_", false,
                                 5, bytes_of(1.5)},
                    wrapper_case{"f2pywrapcdotu_", call_eight<blaswrap_complex, f2pywrapcdotu_>,
                                 "cblas_cdotu_sub", true, 5, bytes_of(complex_reply)},
                    wrapper_case{"f2pywrapzdotu_",
                                 call_eight<blaswrap_double_complex, f2pywrapzdotu_>,
                                 "cblas_zdotu_sub", true, 5, bytes_of(double_complex_reply)},
                    wrapper_case{"f2pywrapcdotc_", call_eight<blaswrap_complex, f2pywrapcdotc_>,
                                 "cblas_cdotc_sub", true, 5, bytes_of(complex_reply)},
                    wrapper_case{"f2pywrapzdotc_",
                                 call_eight<blaswrap_double_complex, f2pywrapzdotc_>,
                                 "cblas_zdotc_sub", true, 5, bytes_of(double_complex_reply)},
                    wrapper_case{"f2pywrapsnrm2_", call_five<float, f2pywrapsnrm2_>, "snrm2_",
                                 false, 3, bytes_of(1.5f)},
                    wrapper_case{"f2pywrapscnrm2_", call_five<float, f2pywrapscnrm2_>, "scnrm2_",
                                 false, 3, bytes_of(1.5f)},
                    wrapper_case{"f2pywrapdnrm2_", call_five<double, f2pywrapdnrm2_>, "dnrm2_",
                                 false, 3, bytes_of(1.5)},
                    wrapper_case{"f2pywrapdznrm2_", call_five<double, f2pywrapdznrm2_>, "dznrm2_",
                                 false, 3, bytes_of(1.5)},
                    wrapper_case{"f2pywrapsasum_", call_five<float, f2pywrapsasum_>, "sasum_",
                                 false, 3, bytes_of(1.5f)},
                    wrapper_case{"f2pywrapscasum_", call_five<float, f2pywrapscasum_>, "scasum_",
                                 false, 3, bytes_of(1.5f)},
                    wrapper_case{"f2pywrapdasum_", call_five<double, f2pywrapdasum_>, "dasum_",
                                 false, 3, bytes_of(1.5)},
                    wrapper_case{"f2pywrapdzasum_", call_five<double, f2pywrapdzasum_>, "dzasum_",
                                 false, 3, bytes_of(1.5)}),
    case_name);

} // namespace
