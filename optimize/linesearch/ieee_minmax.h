// min and max that pass over a NaN operand: when exactly one operand is NaN
// the other one is returned. Written out rather than std::fmin/std::fmax so
// that they inline everywhere and leave the floating-point environment alone.
#ifndef QUORVEL_LINESEARCH_IEEE_MINMAX_H
#define QUORVEL_LINESEARCH_IEEE_MINMAX_H

namespace linesearch {

inline double max_of(double a, double b) { return (b > a || a != a) ? b : a; }

inline double min_of(double a, double b) { return (b < a || a != a) ? b : a; }

} // namespace linesearch

#endif
