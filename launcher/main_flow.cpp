// From the platform's entry point to the exit status: find the installation,
// start an interpreter confined to it, run __startup__.run().
#include <string.h>

#include "launcher.h"
#include "library_archive.h"
#include "platform/platform.h"

namespace {

// Written once each, in this order, and kept for the life of the process.
wchar_t executable_path[executable_path_size];
wchar_t executable_dir[executable_path_size];
wchar_t lib_dir[lib_dir_size];

constexpr size_t search_path_size = 1056;
// Status of the interpreter's own command line when output it could not
// write would otherwise be lost without a trace.
constexpr int unwritable_output_status = 120;

int locate_installation() {
  unsigned length = platform_module_file_name(executable_path, executable_path_size);
  // A path cut short would make everything below work on another directory.
  if (length == 0 || length >= executable_path_size)
    return report_fatal("Unable to get executable name!");
  memcpy(executable_dir, executable_path, sizeof executable_dir);
  platform_remove_file_spec(executable_dir);
  platform_combine_path(lib_dir, executable_dir, L"lib");
  if (platform_set_library_directory(lib_dir) == 0)
    return report_fatal("Unable to change DLL search path!");
  return 0;
}

// What the interpreter cannot survive, found while a box can still say so:
// a directory that the search path would split at its delimiter, and a
// runtime archive it cannot read.
int check_installation() {
  if (wcschr(executable_dir, platform_search_path_delimiter) != nullptr)
    return report_fatal("Installation path contains the module search path delimiter!");
  FILE *archive = platform_open_file(lib_dir, L"library.zip");
  if (archive == nullptr)
    return report_fatal("Unable to open the runtime archive library.zip!");
  const bool intact = archive_is_intact(archive);
  fclose(archive);
  if (!intact)
    return report_fatal("The runtime archive library.zip is damaged!");
  return 0;
}

// sys.path[0] is the program's own directory, whatever the first argument
// names: the interpreter would otherwise put the first argument's directory
// there, or the working directory, and import from wherever the caller
// started it.
int put_program_directory_first() {
  PyObject *path = PySys_GetObject("path");
  PyObject *directory = PyUnicode_FromWideChar(executable_dir, -1);
  const bool put =
      path != nullptr && directory != nullptr && PyList_Insert(path, 0, directory) == 0;
  Py_XDECREF(directory);
  if (put)
    return 0;
  PyErr_Clear();
  return report_fatal("Out of memory creating sys.path!");
}

int start_interpreter(int argument_count, wchar_t **argument_vector) {
  if (locate_installation() < 0 || check_installation() < 0)
    return -1;
  auto *search_path_text = static_cast<char *>(PyMem_RawMalloc(search_path_size));
  if (search_path_text == nullptr)
    return report_fatal("Out of memory creating sys.path!");
  // A directory without exact narrow text, or one whose text does not fit,
  // would hand the interpreter a path to somewhere else.
  char directory_text[search_path_size];
  int length = platform_narrow_path(executable_dir, directory_text, sizeof directory_text);
  if (length >= 0)
    length = PyOS_snprintf(search_path_text, search_path_size, platform_search_path_format,
                           directory_text, directory_text);
  wchar_t *module_search_path = nullptr;
  if (length >= 0 && static_cast<size_t>(length) < search_path_size)
    module_search_path = Py_DecodeLocale(search_path_text, nullptr);
  PyMem_RawFree(search_path_text);
  if (module_search_path == nullptr)
    return report_fatal("Unable to convert path to string!");

    // The legacy configuration calls are kept on purpose: the same sequence
    // works with every interpreter the launcher embeds.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  Py_NoSiteFlag = 1;
  Py_FrozenFlag = 1;
  Py_IgnoreEnvironmentFlag = 1;
  Py_SetProgramName(executable_path);
  Py_SetPath(module_search_path);
  Py_Initialize();
  PySys_SetArgvEx(argument_count, argument_vector, 0);
#pragma GCC diagnostic pop
  PyMem_RawFree(module_search_path);
  return put_program_directory_first();
}

// The exit status of running __startup__.run().
int run_startup_module() {
  PyObject *module = PyImport_ImportModule("__startup__");
  if (module == nullptr)
    return report_exception();
  PyObject *run = PyObject_GetAttrString(module, "run");
  if (run == nullptr)
    return report_exception();
  PyObject *result = PyObject_CallObject(run, nullptr);
  if (result == nullptr)
    return report_exception();
  Py_DECREF(result);
  Py_DECREF(run);
  Py_DECREF(module);
  return 0;
}

} // namespace

int report_fatal(const char *message) {
  platform_show_narrow_box(message, "Zundrel Fatal Error");
  return -1;
}

// One way out, whatever happened: the interpreter is finalised here and only
// here (which does nothing when it never started), after every reference
// the launcher held is released.
int launcher_main() {
  int argument_count_at_start = *platform_argument_count();
  wchar_t **argument_vector_at_start = *platform_argument_vector();
  int status = 1;
  if (start_interpreter(argument_count_at_start, argument_vector_at_start) == 0)
    status = run_startup_module();
  // Output still buffered that cannot be written must not end as success.
  if (Py_FinalizeEx() < 0 && status == 0)
    status = unwritable_output_status;
  return status;
}
