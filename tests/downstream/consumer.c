/*
 * A downstream program that uses each installed library through its public
 * header: one line search to convergence, and the same complex dot product
 * through blaswrap and through cblassub. Exit status 0 when all agree with
 * what the formulas give.
 */
#include <math.h>
#include <stdio.h>
#include <string.h>

#include "blaswrap.h"
#include "cblassub.h"
#include "linesearch.h"

/* phi(s) = (s - 2)^2 - 4 has its minimum at s = 2. */
static int line_search_converges(void) {
  double stp = 1.0, f = 0.0, g = -4.0;
  double ftol = 1e-3, gtol = 1e-2, xtol = 1e-10, stpmin = 0.0, stpmax = 10.0;
  int isave[LINESEARCH_ISAVE_SIZE];
  double dsave[LINESEARCH_DSAVE_SIZE];
  char task[60];
  memset(task, ' ', sizeof task);
  memcpy(task, "START", 5);
  for (int call = 0; call < 100; ++call) {
    dcsrch_(&stp, &f, &g, &ftol, &gtol, &xtol, task, &stpmin, &stpmax, isave, dsave,
            (int)sizeof task);
    if (memcmp(task, "FG", 2) != 0)
      break;
    f = (stp - 2.0) * (stp - 2.0) - 4.0;
    g = 2.0 * (stp - 2.0);
  }
  printf("linesearch: %.40s stp = %g\n", task, stp);
  return memcmp(task, "CONV", 4) == 0 && fabs(stp - 2.0) < 0.02;
}

/* conj(1 + 2i) * (3 + 4i) + conj(5 - 1i) * (2 + 0i) = 11 - 2i + 10 + 2i = 21 */
static int dot_products_agree(void) {
  const blaswrap_double_complex x[2] = {{1, 2}, {5, -1}}, y[2] = {{3, 4}, {2, 0}};
  const int n = 2, inc = 1;
  blaswrap_double_complex by_value = wzdotc_(&n, x, &inc, y, &inc), by_bridge = {0, 0};
  acc_zdotc_sub_(&n, x, &inc, y, &inc, &by_bridge);
  printf("blaswrap: %g%+gi, cblassub: %g%+gi\n", by_value.re, by_value.im, by_bridge.re,
         by_bridge.im);
  return by_value.re == 21 && by_value.im == 0 && by_bridge.re == 21 && by_bridge.im == 0;
}

int main(void) {
  int searched = line_search_converges();
  int multiplied = dot_products_agree();
  return searched && multiplied ? 0 : 1;
}
