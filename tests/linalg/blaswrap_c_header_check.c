/* Compiles the public header as C and runs each kind of routine through it. */
#include <stdio.h>

#include "blaswrap.h"

int main(void) {
  const int one = 1, three = 3;
  const double x[3] = {1, 2, 3}, y[3] = {4, 5, 6};
  const blaswrap_double_complex a = {1, 2}, b = {3, 4};
  blaswrap_double_complex dot;
  blaswrap_complex cdot;
  const blaswrap_complex ca = {1, 2}, cb = {3, 4};
  double ddot = 0;
  f2pywrapddot_(&ddot, &three, x, &one, y, &one, NULL, NULL);
  dot = wzdotc_(&one, &a, &one, &b, &one);
  cdot = wcdotu_(&one, &ca, &one, &cb, &one);
  if (ddot != 32 || dot.re != 11 || dot.im != -2 || cdot.re != -5 || cdot.im != 10) {
    fprintf(stderr, "got %g, (%g, %g), (%g, %g)\n", ddot, dot.re, dot.im, cdot.re, cdot.im);
    return 1;
  }
  return 0;
}
