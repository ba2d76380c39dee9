// The launcher's own operations. Each returns 0 for success and -1 for
// failure; the main flow turns any failure into exit status 1.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// Shows the fixed narrow text under "Zundrel Fatal Error", finalises the
// interpreter (nothing to do before it started) and returns -1.
int report_fatal(const char *message);

int locate_installation();
int start_interpreter(int argument_count, wchar_t **argument_vector);
int run_startup_module();

// Reports the pending exception and returns -1; a SystemExit ends the
// process here instead, unless reporting it fails.
int report_exception();
int report_system_exit();
int report_secondary_failure(PyObject *value, const char *context);
int show_error_box(PyObject *caption, PyObject *text);
PyObject *new_ref_or_none(PyObject *object);
