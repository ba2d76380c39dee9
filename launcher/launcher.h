// The launcher's operations that cross between its two files. Each returns
// -1 for failure; the main flow turns any failure into exit status 1.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// Shows the fixed narrow text under "Zundrel Fatal Error", finalises the
// interpreter (nothing to do before it started) and returns -1.
int report_fatal(const char *message);

// Reports the pending exception and returns -1; a SystemExit ends the
// process here instead, unless reporting it fails.
int report_exception();
