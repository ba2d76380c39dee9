// Turns the exception that stopped __startup__ into what the user sees and
// into the exit status. Every step that can fail is itself reported, with
// less and less help from the interpreter.
#include <limits.h>

#include "launcher.h"
#include "platform/platform.h"

namespace {

int report_secondary_failure(PyObject *value, const char *context);

PyObject *new_ref_or_none(PyObject *object) {
  PyObject *reference = object != nullptr ? object : Py_None;
  Py_INCREF(reference);
  return reference;
}

int show_error_box(PyObject *caption, PyObject *text) {
  // A str holding NUL has no wide form: the box then gets a null instead,
  // and the conversion's own error must not linger into later calls.
  wchar_t *wide_caption = PyUnicode_AsWideCharString(caption, nullptr);
  if (wide_caption == nullptr)
    PyErr_Clear();
  wchar_t *wide_text = PyUnicode_AsWideCharString(text, nullptr);
  if (wide_text == nullptr)
    PyErr_Clear();
  platform_show_wide_box(wide_text, wide_caption);
  PyMem_Free(wide_caption);
  PyMem_Free(wide_text);
  return -1;
}

// report_fatal after a failed step: the step's exception is of no further
// use and would otherwise be pending while the interpreter shuts down.
int report_fatal_after_error(const char *message) {
  PyErr_Clear();
  return report_fatal(message);
}

// The caption attribute of value when it holds a str, else null with no
// error pending.
PyObject *str_caption_of(PyObject *value) {
  PyObject *caption = value != nullptr ? PyObject_GetAttrString(value, "caption") : nullptr;
  if (caption != nullptr && PyUnicode_Check(caption))
    return caption;
  Py_XDECREF(caption);
  PyErr_Clear();
  return nullptr;
}

// Status for an int code of SystemExit. A value the process status cannot
// carry becomes -1, never a truncation that might read as success: neither
// beyond the range of int nor a nonzero code whose bits that reach the
// parent are all zero.
int exit_status_of(PyObject *code) {
  long status = PyLong_AsLong(code);
  if (status == -1 && PyErr_Occurred())
    PyErr_Clear();
  if (status < INT_MIN || status > INT_MAX)
    return -1;
  if (status != 0 && (static_cast<unsigned>(status) & platform_exit_status_mask) == 0)
    return -1;
  return static_cast<int>(status);
}

// The report of an ordinary exception once its triple is out of the error
// indicator: the application's own hook when it installed one, else the
// formatted traceback in a box; any step that fails is reported in its
// place. Owns nothing that the caller passes.
void report_triple(PyObject *type, PyObject *value, PyObject *traceback) {
  PyObject *args = nullptr, *hook_result = nullptr, *module = nullptr, *format = nullptr;
  PyObject *lines = nullptr, *separator = nullptr, *text = nullptr, *caption = nullptr;
  PyObject *hook = nullptr, *default_hook = nullptr;

  args = PyTuple_New(3);
  if (args == nullptr) {
    report_secondary_failure(value, "Cannot create args tuple.");
    goto done;
  }
  PyTuple_SET_ITEM(args, 0, new_ref_or_none(type));
  PyTuple_SET_ITEM(args, 1, new_ref_or_none(value));
  PyTuple_SET_ITEM(args, 2, new_ref_or_none(traceback));

  hook = PySys_GetObject("excepthook");
  default_hook = PySys_GetObject("__excepthook__");
  if (hook != nullptr && hook != default_hook) {
    hook_result = PyObject_CallObject(hook, args);
    if (hook_result == nullptr)
      report_secondary_failure(value, "Error in sys.excepthook.");
    goto done;
  }

  module = PyImport_ImportModule("traceback");
  if (module == nullptr) {
    report_secondary_failure(value, "Cannot import traceback module.");
    goto done;
  }
  format = PyObject_GetAttrString(module, "format_exception");
  if (format == nullptr) {
    report_secondary_failure(value, "Cannot get format_exception method.");
    goto done;
  }
  lines = PyObject_CallObject(format, args);
  if (lines == nullptr) {
    report_secondary_failure(value, "Exception raised when calling format_exception.");
    goto done;
  }
  separator = PyUnicode_FromString("");
  if (separator == nullptr) {
    report_secondary_failure(value, "Cannot create empty string object.");
    goto done;
  }
  text = PyUnicode_Join(separator, lines);
  if (text == nullptr) {
    report_secondary_failure(value, "Cannot join exception strings.");
    goto done;
  }
  caption = str_caption_of(value);
  if (caption == nullptr)
    caption = PyUnicode_FromString("Zundrel: Python error in main script");
  if (caption == nullptr)
    report_secondary_failure(value, "Cannot create default caption string.");
  else
    show_error_box(caption, text);

done:
  Py_XDECREF(caption);
  Py_XDECREF(text);
  Py_XDECREF(separator);
  Py_XDECREF(lines);
  Py_XDECREF(format);
  Py_XDECREF(module);
  Py_XDECREF(hook_result);
  Py_XDECREF(args);
}

// What a SystemExit whose instance is value calls for: its code as the exit
// status, or a box with the code's text and status 1.
int system_exit_status(PyObject *value) {
  // Settled before the code is looked at, even when no box follows.
  PyObject *caption = str_caption_of(value);
  if (caption == nullptr)
    caption = PyUnicode_FromString("Zundrel: Application Terminated");
  if (caption == nullptr) {
    report_fatal_after_error("Cannot create caption string object.");
    return 1;
  }

  PyObject *code = value != nullptr ? PyObject_GetAttrString(value, "code") : nullptr;
  if (code == nullptr) {
    PyErr_Clear();
    code = new_ref_or_none(value);
  }
  int status = 1;
  if (code == Py_None) {
    status = 0;
  } else if (PyLong_Check(code)) {
    status = exit_status_of(code);
  } else {
    PyObject *message = PyObject_Str(code);
    if (message == nullptr)
      report_fatal_after_error("Cannot get string representation of messsage.");
    else
      show_error_box(caption, message);
    Py_XDECREF(message);
  }
  Py_DECREF(code);
  Py_DECREF(caption);
  return status;
}

int report_system_exit() {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  const int status = system_exit_status(value);
  Py_XDECREF(traceback);
  Py_XDECREF(value);
  Py_XDECREF(type);
  return status;
}

int report_secondary_failure(PyObject *value, const char *context) {
  PyObject *type, *secondary, *traceback;
  PyErr_Fetch(&type, &secondary, &traceback);
  PyErr_NormalizeException(&type, &secondary, &traceback);
  PyObject *context_text = nullptr, *format = nullptr, *args = nullptr, *text = nullptr;
  PyObject *caption = nullptr;

  context_text = PyUnicode_FromString(context);
  if (context_text == nullptr) {
    report_fatal_after_error("Cannot create context message string object.");
    goto done;
  }
  format = PyUnicode_FromString("%s\nException: %s\nOriginal Exception: %s");
  if (format == nullptr) {
    report_fatal_after_error("Cannot create format string object.");
    goto done;
  }
  args = PyTuple_New(3);
  if (args == nullptr) {
    report_fatal_after_error("Cannot create format args tuple.");
    goto done;
  }
  PyTuple_SET_ITEM(args, 0, context_text);
  context_text = nullptr; // the tuple's now
  PyTuple_SET_ITEM(args, 1, new_ref_or_none(secondary));
  PyTuple_SET_ITEM(args, 2, new_ref_or_none(value));
  text = PyUnicode_Format(format, args);
  if (text == nullptr) {
    report_fatal_after_error("Cannot format exception values.");
    goto done;
  }
  caption = PyUnicode_FromString("Zundrel: Python error in main script (traceback unavailable)");
  if (caption == nullptr)
    report_fatal_after_error("Cannot create caption string object.");
  else
    show_error_box(caption, text);

done:
  Py_XDECREF(caption);
  Py_XDECREF(text);
  Py_XDECREF(args);
  Py_XDECREF(format);
  Py_XDECREF(context_text);
  Py_XDECREF(traceback);
  Py_XDECREF(secondary);
  Py_XDECREF(type);
  return -1;
}

} // namespace

int report_exception() {
  if (PyErr_ExceptionMatches(PyExc_SystemExit))
    return report_system_exit();
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  report_triple(type, value, traceback);
  Py_XDECREF(traceback);
  Py_XDECREF(value);
  Py_XDECREF(type);
  return 1;
}
