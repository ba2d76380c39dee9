// The launcher's operations that cross between its two files. They report
// and return; the main flow alone finalises the interpreter and settles the
// exit status.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// Shows the fixed narrow text under "Zundrel Fatal Error" and returns -1.
int report_fatal(const char *message);

// Reports the pending exception and returns the exit status it calls for:
// the code of a SystemExit, else 1. Finalising is left to the caller.
int report_exception();
