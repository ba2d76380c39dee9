// Feeds arbitrary doubles, flags and task lengths to both routines. Under the
// sanitizers any out-of-bounds access or undefined behaviour aborts; the
// checks below abort on a broken contract.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "linesearch.h"

namespace {

struct Input {
  const std::uint8_t *data;
  std::size_t size;
};

template <typename T> T take(Input &in) {
  T value{};
  const std::size_t n = in.size < sizeof value ? in.size : sizeof value;
  std::memcpy(&value, in.data, n);
  in.data += n;
  in.size -= n;
  return value;
}

void check(bool condition) {
  if (!condition)
    std::abort();
}

void fuzz_dcstep(Input &in) {
  double v[11];
  for (double &d : v)
    d = take<double>(in);
  const int brackt_in = take<int>(in);
  int brackt = brackt_in;
  dcstep_(&v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7], &v[8], &brackt, &v[9], &v[10]);
  check(brackt == brackt_in || brackt == 1);
}

void fuzz_dcsrch(Input &in) {
  // The buffer is exactly as long as the call is told, on the heap, so the
  // address sanitizer sees any access past it.
  const int length = take<std::uint8_t>(in) % 64;
  std::vector<char> task(static_cast<std::size_t>(length));
  for (char &c : task)
    c = static_cast<char>(take<std::uint8_t>(in));
  if (length >= 5 && (take<std::uint8_t>(in) & 1))
    std::memcpy(task.data(), "START", 5);

  int isave[LINESEARCH_ISAVE_SIZE];
  double dsave[LINESEARCH_DSAVE_SIZE];
  for (int &i : isave)
    i = take<int>(in);
  for (double &d : dsave)
    d = take<double>(in);
  double a[8];
  for (double &d : a)
    d = take<double>(in);

  // A few calls of one search, each with new values of f and g.
  for (int call = 0; call < 4 && in.size > 0; ++call) {
    dcsrch_(&a[0], &a[1], &a[2], &a[3], &a[4], &a[5], task.data(), &a[6], &a[7], isave, dsave,
            length);
    check(isave[0] == 0 || isave[0] == 1 || call == 0);
    a[1] = take<double>(in);
    a[2] = take<double>(in);
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  Input in{data, size};
  if (take<std::uint8_t>(in) & 1)
    fuzz_dcstep(in);
  else
    fuzz_dcsrch(in);
  return 0;
}
