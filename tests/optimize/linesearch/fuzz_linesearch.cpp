// Feeds arbitrary doubles, flags and task lengths to both routines. Under the
// sanitizers any out-of-bounds access or undefined behaviour aborts; the
// checks below abort on a broken contract: the task texts of the protocol,
// no new step with a verdict or an error, steps within the caller's bounds
// but for the fallback to the best step, the flags and the stage in range.
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

// Every text the search writes; a return leaves one of them in the buffer,
// blank-padded or cut to its length.
const char *const protocol_texts[] = {
    "FG",
    "CONVERGENCE",
    "WARNING: ROUNDING ERRORS PREVENT PROGRESS",
    "WARNING: XTOL TEST SATISFIED",
    "WARNING: STP = STPMAX",
    "WARNING: STP = STPMIN",
    "ERROR: STP .LT. STPMIN",
    "ERROR: STP .GT. STPMAX",
    "ERROR: INITIAL G .GE. ZERO",
    "ERROR: FTOL .LT. ZERO",
    "ERROR: GTOL .LT. ZERO",
    "ERROR: XTOL .LT. ZERO",
    "ERROR: STPMIN .LT. ZERO",
    "ERROR: STPMAX .LT. STPMIN",
};

bool holds_text(const std::vector<char> &task, const char *text) {
  const std::size_t m = std::strlen(text);
  for (std::size_t i = 0; i < task.size(); ++i)
    if (task[i] != (i < m ? text[i] : ' '))
      return false;
  return true;
}

bool holds_protocol_text(const std::vector<char> &task) {
  for (const char *text : protocol_texts)
    if (holds_text(task, text))
      return true;
  return false;
}

bool begins_with(const std::vector<char> &task, const char *word) {
  const std::size_t n = std::strlen(word);
  return task.size() >= n && std::memcmp(task.data(), word, n) == 0;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

struct State {
  int isave[LINESEARCH_ISAVE_SIZE];
  double dsave[LINESEARCH_DSAVE_SIZE];
};

bool same_state(const State &a, const State &b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The properties of one return of dcsrch_, given the arguments before it.
void check_return(const std::vector<char> &task_before, const std::vector<char> &task,
                  double stp_before, double stp, const State &before, const State &after,
                  double stpmin, double stpmax, bool started) {
  // One of the protocol's texts, or (no verdict reached) the WARN or CONV
  // text that the buffer held on entry.
  const bool kept = task == task_before && (begins_with(task, "WARN") || begins_with(task, "CONV"));
  check(holds_protocol_text(task) || kept);
  if (task.empty())
    return;
  switch (task[0]) {
  case 'C': // a verdict: no new step
  case 'W':
    check(same_bits(stp, stp_before));
    break;
  case 'E': // rejected START inputs: only the task written
    check(begins_with(task_before, "START"));
    check(same_bits(stp, stp_before) && same_state(before, after));
    return;
  case 'F':
    // START: the first evaluation is at the caller's own step. Otherwise a
    // new step, within the caller's bounds unless the search fell back to
    // the best step found (stx, the end of the interval with the least
    // function value), which may lie outside them.
    if (begins_with(task_before, "START"))
      check(same_bits(stp, stp_before));
    else if (stpmin <= stpmax && !(stp >= stpmin && stp <= stpmax))
      check(after.isave[0] == 1 && same_bits(stp, after.dsave[7]));
    break;
  default:
    check(false);
  }
  check(after.isave[0] == 0 || after.isave[0] == 1);
  if (started)
    check(after.isave[1] == 1 || after.isave[1] == 2);
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

  State state;
  for (int &i : state.isave)
    i = take<int>(in);
  for (double &d : state.dsave)
    d = take<double>(in);
  double a[8];
  for (double &d : a)
    d = take<double>(in);

  // A few calls of one search, each with new values of f and g. Once a
  // START has been accepted the stage is 1 or 2 and never goes back.
  bool started = false;
  int stage = 0;
  for (int call = 0; call < 4 && in.size > 0; ++call) {
    const std::vector<char> task_before = task;
    const State before = state;
    const double stp_before = a[0];
    dcsrch_(&a[0], &a[1], &a[2], &a[3], &a[4], &a[5], task.data(), &a[6], &a[7], state.isave,
            state.dsave, length);
    if (begins_with(task_before, "START") && begins_with(task, "FG")) {
      started = true;
      check(state.isave[1] == 1);
    }
    check_return(task_before, task, stp_before, a[0], before, state, a[6], a[7], started);
    if (started) {
      check(state.isave[1] >= stage);
      stage = state.isave[1];
    }
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
