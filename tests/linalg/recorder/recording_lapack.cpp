// Stand-in for the outside LAPACK: the two complex divisions. They read their
// four inputs, as the real ones do, and store the reply as the quotient.
#include "recorder.h"

namespace {

template <typename T>
void answer(const char *routine, const T *a, const T *b, const T *c, const T *d, T *p, T *q) {
  const void *const addresses[] = {a, b, c, d, p, q};
  recorder_note(routine, addresses, 6, nullptr, 0);
  recorder_note_inputs(*a, *b, *c, *d);
  T quotient[2];
  recorder_reply(quotient, sizeof quotient);
  *p = quotient[0];
  *q = quotient[1];
}

} // namespace

extern "C" {

STAND_IN_API void sladiv_(const float *a, const float *b, const float *c, const float *d, float *p,
                          float *q) {
  answer("sladiv_", a, b, c, d, p, q);
}
STAND_IN_API void dladiv_(const double *a, const double *b, const double *c, const double *d,
                          double *p, double *q) {
  answer("dladiv_", a, b, c, d, p, q);
}
}
