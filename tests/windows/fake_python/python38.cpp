// Test-only python38.dll: the entry points that quorvel.exe imports, each
// noting its call in interpreter.log in the working directory. It lets the
// real program start under the Windows loader and shows what reached the
// interpreter and in which order.
//
// QUORVEL_FAKE_RUN chooses what run() does: unset, it returns an object;
// "exit:N", it raises SystemExit with the int code N; "exit-text:TEXT",
// SystemExit with the str code TEXT; "raise:TEXT", an ordinary exception
// whose formatted traceback ends in "ValueError: TEXT".
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

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
  char *text = nullptr;       // whole contents of a str, UTF-8
  fake_object *items[3] = {}; // members of a tuple or list
  long long size = 0;         // number of members
};

constexpr unsigned long long_subclass = 1UL << 24;
fake_type plain_type = {0};
fake_type int_type = {long_subclass};
constexpr unsigned long unicode_subclass = 1UL << 28;
fake_type str_type = {unicode_subclass};
fake_object system_exit = {1 << 30, &plain_type, "SystemExit", 0};
fake_object value_error = {1 << 30, &plain_type, "ValueError", 0};

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

// A str: named by its first characters in the log, whole in text.
fake_object *new_text(const char *text) {
  fake_object *object = new_object(text, &str_type);
  object->text = strdup(text);
  return object;
}

// QUORVEL_FAKE_RUN as UTF-8, whatever the process's code page.
const char *fake_run() {
  static char run[1024];
  wchar_t wide[1024];
  const DWORD length = GetEnvironmentVariableW(L"QUORVEL_FAKE_RUN", wide, 1024);
  if (length == 0 || length >= 1024 ||
      WideCharToMultiByte(CP_UTF8, 0, wide, -1, run, sizeof run, nullptr, nullptr) == 0)
    run[0] = '\0';
  return run;
}

bool run_mode(const char *prefix) { return strncmp(fake_run(), prefix, strlen(prefix)) == 0; }

// What format_exception gives for the exception of "raise:TEXT".
fake_object *traceback_lines() {
  fake_object *lines = new_object("lines");
  char last[512];
  snprintf(last, sizeof last, "ValueError: %s\n", fake_run() + strlen("raise:"));
  lines->items[0] = new_text("Traceback (most recent call last):\n");
  lines->items[1] = new_text("  File \"__startup__.py\", line 2, in run\n");
  lines->items[2] = new_text(last);
  lines->size = 3;
  return lines;
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
  free(object->text);
  free(object);
}

FAKE_API fake_object *PyImport_ImportModule(const char *name) {
  note("import %s", name);
  return new_object(name);
}

FAKE_API fake_object *PyObject_GetAttrString(fake_object *object, const char *name) {
  if (object == &system_exit || strcmp(object->name, "SystemExit()") == 0) {
    if (strcmp(name, "code") == 0 && run_mode("exit-text:"))
      return new_text(fake_run() + strlen("exit-text:"));
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
  if (strcmp(callable->name, "format_exception") == 0)
    return traceback_lines();
  if (run_mode("exit-text:")) {
    pending = &system_exit;
    return nullptr;
  }
  if (run_mode("raise:")) {
    pending = &value_error;
    return nullptr;
  }
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
  if (pending == &value_error)
    *value = new_object("ValueError()");
  else
    *value = pending == nullptr ? nullptr : new_object("SystemExit()");
  *traceback = nullptr;
  pending = nullptr;
}
FAKE_API void PyErr_NormalizeException(fake_object **, fake_object **, fake_object **) {}

FAKE_API unsigned long PyType_GetFlags(fake_type *type) { return type->flags; }
FAKE_API long PyLong_AsLong(fake_object *object) { return object->value; }
FAKE_API fake_object *PyUnicode_FromString(const char *text) { return new_text(text); }

// sys.path for the launcher to put its directory in front; no
// sys.excepthook is installed, so a traceback is formatted and shown.
FAKE_API fake_object *PySys_GetObject(const char *name) {
  static fake_object sys_path = {1 << 30, &plain_type, "sys.path", 0};
  return strcmp(name, "path") == 0 ? &sys_path : nullptr;
}

FAKE_API fake_object *PyTuple_New(long long size) {
  if (size < 0 || size > 3)
    return nullptr;
  fake_object *tuple = new_object("tuple");
  tuple->size = size;
  return tuple;
}

// Steals the reference to item, like the interpreter's.
FAKE_API int PyTuple_SetItem(fake_object *tuple, long long index, fake_object *item) {
  if (index < 0 || index >= tuple->size)
    return -1;
  tuple->items[index] = item;
  return 0;
}

FAKE_API fake_object *PyUnicode_Join(fake_object *separator, fake_object *lines) {
  size_t length = 1;
  for (long long i = 0; i < lines->size; ++i)
    length += strlen(lines->items[i]->text) + strlen(separator->text);
  auto *joined = static_cast<char *>(calloc(length, 1));
  for (long long i = 0; i < lines->size; ++i) {
    if (i > 0)
      strcat(joined, separator->text);
    strcat(joined, lines->items[i]->text);
  }
  fake_object *text = new_text(joined);
  free(joined);
  return text;
}

// Reached only when a report step fails, which these runs do not make
// happen: present so that the program loads.
FAKE_API fake_object *PyUnicode_Format(fake_object *, fake_object *) { return nullptr; }

FAKE_API wchar_t *PyUnicode_AsWideCharString(fake_object *object, long long *size) {
  if (object->text == nullptr)
    return nullptr;
  const int length = MultiByteToWideChar(CP_UTF8, 0, object->text, -1, nullptr, 0);
  auto *wide = static_cast<wchar_t *>(malloc(length * sizeof(wchar_t)));
  MultiByteToWideChar(CP_UTF8, 0, object->text, -1, wide, length);
  if (size != nullptr)
    *size = length - 1;
  return wide;
}

FAKE_API fake_object *PyObject_Str(fake_object *object) {
  return new_text(object->text != nullptr ? object->text : object->name);
}
