// From the platform's entry point to the exit status: find the installation,
// start an interpreter confined to it, run __startup__.run().
#include <string.h>

#include "launcher.h"
#include "platform/platform.h"

namespace {

// Written once each, in this order, and kept for the life of the process.
wchar_t executable_path[executable_path_size];
wchar_t executable_dir[executable_path_size];
wchar_t lib_dir[lib_dir_size];

constexpr size_t search_path_size = 1056;

} // namespace

int report_fatal(const char *message) {
  platform_show_narrow_box(message, "Zundrel Fatal Error");
  Py_Finalize();
  return -1;
}

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

int start_interpreter(int argument_count, wchar_t **argument_vector) {
  if (locate_installation() < 0)
    return -1;
  auto *search_path_text = static_cast<char *>(PyMem_RawMalloc(search_path_size));
  if (search_path_text == nullptr)
    return report_fatal("Out of memory creating sys.path!");
  // A directory the runtime cannot convert, or one whose text does not fit,
  // would hand the interpreter a path to somewhere else.
  int length = PyOS_snprintf(search_path_text, search_path_size, platform_search_path_format,
                             executable_dir, executable_dir);
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
  PySys_SetArgv(argument_count, argument_vector);
#pragma GCC diagnostic pop
  PyMem_RawFree(module_search_path);
  return 0;
}

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

int launcher_main() {
  int argument_count_at_start = *platform_argument_count();
  wchar_t **argument_vector_at_start = *platform_argument_vector();
  int status = 0;
  if (start_interpreter(argument_count_at_start, argument_vector_at_start) < 0)
    status = 1;
  else if (run_startup_module() < 0)
    status = 1;
  Py_Finalize();
  return status;
}
