// Test-only python38.dll: the entry points that quorvel.exe imports, each
// noting its call in interpreter.log in the working directory. It lets the
// real program start under the Windows loader and shows what reached the
// interpreter and in which order.
//
// QUORVEL_FAKE_RUN chooses what run() does: unset, it returns an object;
// "exit:N", it raises SystemExit with the int code N.
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#define FAKE_API extern "C" __declspec(dllexport)

namespace {

// The object header of the interpreter: reference count, then type.
struct fake_type {
  unsigned long flags;
};
struct fake_object {
  long long refcnt;
  fake_type *type;
  char name[40];
  long value;
};

constexpr unsigned long long_subclass = 1UL << 24;
fake_type plain_type = {0};
fake_type int_type = {long_subclass};
fake_object system_exit = {1 << 30, &plain_type, "SystemExit", 0};

bool initialized = false;
fake_object *pending = nullptr; // the error indicator's type

void note(const char *format, ...) {
  FILE *log = fopen("interpreter.log", "a");
  if (log == nullptr)
    return;
  va_list args;
  va_start(args, format);
  vfprintf(log, format, args);
  va_end(args);
  fputc('\n', log);
  fclose(log);
}

fake_object *new_object(const char *name, fake_type *type = &plain_type, long value = 0) {
  auto *object = static_cast<fake_object *>(calloc(1, sizeof(fake_object)));
  object->refcnt = 1;
  object->type = type;
  snprintf(object->name, sizeof object->name, "%s", name);
  object->value = value;
  return object;
}

} // namespace

extern "C" {
__declspec(dllexport) int Py_NoSiteFlag = 0;
__declspec(dllexport) int Py_FrozenFlag = 0;
__declspec(dllexport) int Py_IgnoreEnvironmentFlag = 0;
__declspec(dllexport) fake_object _Py_NoneStruct = {1 << 30, &plain_type, "None", 0};
__declspec(dllexport) fake_object *PyExc_SystemExit = &system_exit;
}

FAKE_API void *PyMem_RawMalloc(size_t size) { return malloc(size); }
FAKE_API void PyMem_RawFree(void *p) { free(p); }
FAKE_API void PyMem_Free(void *p) { free(p); }

FAKE_API int PyOS_snprintf(char *text, size_t size, const char *format, ...) {
  va_list args;
  va_start(args, format);
  int length = vsnprintf(text, size, format, args);
  va_end(args);
  return length;
}

FAKE_API wchar_t *Py_DecodeLocale(const char *text, size_t *size) {
  const size_t length = strlen(text);
  auto *wide = static_cast<wchar_t *>(malloc((length + 1) * sizeof(wchar_t)));
  mbstowcs(wide, text, length + 1);
  if (size != nullptr)
    *size = length;
  return wide;
}

FAKE_API void Py_SetProgramName(const wchar_t *name) { note("program %ls", name); }
FAKE_API void Py_SetPath(const wchar_t *path) { note("path %ls", path); }

FAKE_API void Py_Initialize() {
  note("initialize site=%d frozen=%d environment=%d", Py_NoSiteFlag, Py_FrozenFlag,
       Py_IgnoreEnvironmentFlag);
  initialized = true;
}
FAKE_API int Py_IsInitialized() { return initialized; }

FAKE_API void PySys_SetArgv(int argc, wchar_t **argv) {
  for (int i = 1; i < argc; ++i)
    note("argv[%d] %ls", i, argv[i]);
}

// The form the launcher uses: updatepath must be 0, so that the interpreter
// adds no directory of its own choosing to sys.path.
FAKE_API void PySys_SetArgvEx(int argc, wchar_t **argv, int updatepath) {
  for (int i = 1; i < argc; ++i)
    note("argv[%d] %ls", i, argv[i]);
  if (updatepath != 0)
    note("argv updates sys.path");
}

FAKE_API fake_object *PyUnicode_FromWideChar(const wchar_t *text, long long) {
  note("str %ls", text);
  return new_object("str");
}

FAKE_API int PyList_Insert(fake_object *list, long long index, fake_object *item) {
  note("insert %s into %s at %lld", item->name, list->name, index);
  return 0;
}

FAKE_API int Py_FinalizeEx() {
  if (initialized)
    note("finalize");
  initialized = false;
  return 0;
}

FAKE_API void Py_Finalize() {
  if (initialized)
    note("finalize");
  initialized = false;
}

FAKE_API void Py_Exit(int status) {
  note("exit %d", status);
  initialized = false;
  exit(status);
}

FAKE_API void _Py_Dealloc(fake_object *object) {
  note("release %s", object->name);
  free(object);
}

FAKE_API fake_object *PyImport_ImportModule(const char *name) {
  note("import %s", name);
  return new_object(name);
}

FAKE_API fake_object *PyObject_GetAttrString(fake_object *object, const char *name) {
  if (object == &system_exit || strcmp(object->name, "SystemExit()") == 0) {
    if (strcmp(name, "code") == 0) {
      const char *run = getenv("QUORVEL_FAKE_RUN");
      return new_object("code", &int_type, atol(run + 5));
    }
    pending = &_Py_NoneStruct; // AttributeError, of no interest here
    return nullptr;
  }
  return new_object(name);
}

FAKE_API fake_object *PyObject_CallObject(fake_object *callable, fake_object *args) {
  note("call %s with %s", callable->name, args == nullptr ? "no arguments" : "arguments");
  const char *run = getenv("QUORVEL_FAKE_RUN");
  if (run != nullptr && strncmp(run, "exit:", 5) == 0) {
    pending = &system_exit;
    return nullptr;
  }
  return new_object("result");
}

FAKE_API fake_object *PyErr_Occurred() { return pending; }
FAKE_API int PyErr_ExceptionMatches(fake_object *type) { return pending == type; }
FAKE_API void PyErr_Clear() { pending = nullptr; }
FAKE_API void PyErr_Fetch(fake_object **type, fake_object **value, fake_object **traceback) {
  *type = pending;
  *value = pending == nullptr ? nullptr : new_object("SystemExit()");
  *traceback = nullptr;
  pending = nullptr;
}
FAKE_API void PyErr_NormalizeException(fake_object **, fake_object **, fake_object **) {}

FAKE_API unsigned long PyType_GetFlags(fake_type *type) { return type->flags; }
FAKE_API long PyLong_AsLong(fake_object *object) { return object->value; }
FAKE_API fake_object *PyUnicode_FromString(const char *text) { return new_object(text); }

FAKE_API fake_object *PySys_GetObject(const char *name) {
  static fake_object sys_path = {1 << 30, &plain_type, "sys.path", 0};
  return strcmp(name, "path") == 0 ? &sys_path : nullptr;
}

// Reached only when reporting an ordinary exception, which these runs do not
// raise: present so that the program loads.
FAKE_API fake_object *PyTuple_New(long long) { return nullptr; }
FAKE_API int PyTuple_SetItem(fake_object *, long long, fake_object *) { return -1; }
FAKE_API fake_object *PyUnicode_Join(fake_object *, fake_object *) { return nullptr; }
FAKE_API fake_object *PyUnicode_Format(fake_object *, fake_object *) { return nullptr; }
FAKE_API wchar_t *PyUnicode_AsWideCharString(fake_object *, long long *) { return nullptr; }
FAKE_API fake_object *PyObject_Str(fake_object *) { return nullptr; }
