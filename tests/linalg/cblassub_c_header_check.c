/* Compiles the public header as C and runs one bridge through it. */
#include <stdio.h>

#include "cblassub.h"

int main(void) {
  const int one = 1;
  const float cx[2] = {1, 2}, cy[2] = {3, 4};
  float result[2] = {0, 0};
  acc_cdotu_sub_(&one, cx, &one, cy, &one, result);
  if (result[0] != -5 || result[1] != 10) {
    fprintf(stderr, "acc_cdotu_sub_ gave (%g, %g)\n", result[0], result[1]);
    return 1;
  }
  return 0;
}
