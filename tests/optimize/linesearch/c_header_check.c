/* Compiles the public header as C and drives one START call through it. */
#include <stdio.h>
#include <string.h>

#include "linesearch.h"

int main(void) {
  double stp = 1.0, f = 0.0, g = -1.0, ftol = 1e-3, gtol = 0.9, xtol = 0.1;
  double stpmin = 0.0, stpmax = 10.0;
  int isave[LINESEARCH_ISAVE_SIZE];
  double dsave[LINESEARCH_DSAVE_SIZE];
  char task[8];
  memcpy(task, "START   ", sizeof task);
  dcsrch_(&stp, &f, &g, &ftol, &gtol, &xtol, task, &stpmin, &stpmax, isave, dsave,
          (int)sizeof task);
  if (memcmp(task, "FG      ", sizeof task) != 0) {
    fprintf(stderr, "unexpected task %.8s\n", task);
    return 1;
  }
  return 0;
}
