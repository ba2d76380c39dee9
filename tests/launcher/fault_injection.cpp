// Linked only into the test-only launcher, whose link wraps these calls:
// QUORVEL_FAIL="name:N" makes the Nth call of name that the launcher makes
// fail the way the real function reports failure. Without the variable
// every call goes through.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdlib.h>
#include <string.h>

namespace {

bool fails_now(const char *name, int *calls) {
  ++*calls;
  const char *request = getenv("QUORVEL_FAIL");
  size_t length = strlen(name);
  return request != nullptr && strncmp(request, name, length) == 0 && request[length] == ':' &&
         atoi(request + length + 1) == *calls;
}

} // namespace

extern "C" {

unsigned __real_platform_module_file_name(wchar_t *buffer, unsigned size);
int __real_platform_set_library_directory(const wchar_t *directory);
void *__real_PyMem_RawMalloc(size_t size);
wchar_t *__real_Py_DecodeLocale(const char *text, size_t *length);
PyObject *__real_PyTuple_New(Py_ssize_t size);
PyObject *__real_PyUnicode_FromString(const char *text);
PyObject *__real_PyUnicode_FromWideChar(const wchar_t *text, Py_ssize_t size);

unsigned __wrap_platform_module_file_name(wchar_t *buffer, unsigned size) {
  static int calls;
  return fails_now("platform_module_file_name", &calls)
             ? 0
             : __real_platform_module_file_name(buffer, size);
}

int __wrap_platform_set_library_directory(const wchar_t *directory) {
  static int calls;
  return fails_now("platform_set_library_directory", &calls)
             ? 0
             : __real_platform_set_library_directory(directory);
}

void *__wrap_PyMem_RawMalloc(size_t size) {
  static int calls;
  return fails_now("PyMem_RawMalloc", &calls) ? nullptr : __real_PyMem_RawMalloc(size);
}

wchar_t *__wrap_Py_DecodeLocale(const char *text, size_t *length) {
  static int calls;
  return fails_now("Py_DecodeLocale", &calls) ? nullptr : __real_Py_DecodeLocale(text, length);
}

PyObject *__wrap_PyTuple_New(Py_ssize_t size) {
  static int calls;
  return fails_now("PyTuple_New", &calls) ? PyErr_NoMemory() : __real_PyTuple_New(size);
}

PyObject *__wrap_PyUnicode_FromString(const char *text) {
  static int calls;
  return fails_now("PyUnicode_FromString", &calls) ? PyErr_NoMemory()
                                                   : __real_PyUnicode_FromString(text);
}

PyObject *__wrap_PyUnicode_FromWideChar(const wchar_t *text, Py_ssize_t size) {
  static int calls;
  return fails_now("PyUnicode_FromWideChar", &calls) ? PyErr_NoMemory()
                                                     : __real_PyUnicode_FromWideChar(text, size);
}
}
