/*
 * Drives one complete line search through the public header and prints each
 * trial step: phi(s) = f(x + s d) for the Rosenbrock function from (-1.2, 1)
 * along the steepest-descent direction.
 */
#include <stdio.h>
#include <string.h>

#include "linesearch.h"

static void rosenbrock(const double x[2], double *f, double grad[2]) {
  double a = x[1] - x[0] * x[0], b = 1.0 - x[0];
  *f = 100.0 * a * a + b * b;
  grad[0] = -400.0 * x[0] * a - 2.0 * b;
  grad[1] = 200.0 * a;
}

int main(void) {
  const double x0[2] = {-1.2, 1.0};
  double grad[2], x[2], d[2], f, g;
  rosenbrock(x0, &f, grad);
  d[0] = -grad[0];
  d[1] = -grad[1];
  g = grad[0] * d[0] + grad[1] * d[1];

  double stp = 1.0 / (d[0] * d[0] + d[1] * d[1]);
  double ftol = 1e-4, gtol = 0.9, xtol = 0.1, stpmin = 0.0, stpmax = 1e10;
  int isave[LINESEARCH_ISAVE_SIZE];
  double dsave[LINESEARCH_DSAVE_SIZE];
  char task[60];
  memset(task, ' ', sizeof task);
  memcpy(task, "START", 5);

  printf("phi(0) = %.10g, phi'(0) = %.10g\n", f, g);
  for (int call = 1;; ++call) {
    dcsrch_(&stp, &f, &g, &ftol, &gtol, &xtol, task, &stpmin, &stpmax, isave, dsave,
            (int)sizeof task);
    if (memcmp(task, "FG", 2) != 0)
      break;
    x[0] = x0[0] + stp * d[0];
    x[1] = x0[1] + stp * d[1];
    rosenbrock(x, &f, grad);
    g = grad[0] * d[0] + grad[1] * d[1];
    printf("trial %2d: stp = %.10g  phi = %.10g  phi' = %.10g\n", call, stp, f, g);
  }
  printf("%.41s\naccepted stp = %.10g\n", task, stp);
  return memcmp(task, "CONV", 4) == 0 ? 0 : 1;
}
