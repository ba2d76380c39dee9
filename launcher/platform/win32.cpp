// The launcher's platform services on Windows: thin calls of the system and
// of the C runtime, which owns the argument vector.
#include <locale.h>
#include <shlwapi.h>
#include <stdlib.h>
#include <windows.h>

#include "platform.h"

#if !defined(_UCRT)
#  error "The launcher runs on the Universal C Runtime: build with -D_UCRT and link ucrt"
#endif

extern "C" const char platform_search_path_format[] = "%ls\\lib\\library.zip;%ls\\lib";

extern "C" {

unsigned platform_module_file_name(wchar_t *buffer, unsigned size) {
  // A path that does not fit comes back cut short with the full size; not
  // every implementation terminates it then.
  const DWORD length = GetModuleFileNameW(nullptr, buffer, size);
  if (length >= size && size > 0)
    buffer[size - 1] = L'\0';
  return length;
}

void platform_remove_file_spec(wchar_t *path) { PathRemoveFileSpecW(path); }

void platform_combine_path(wchar_t *destination, const wchar_t *directory, const wchar_t *name) {
  PathCombineW(destination, directory, name);
}

int platform_set_library_directory(const wchar_t *directory) {
  return SetDllDirectoryW(directory) ? 1 : 0;
}

void platform_show_narrow_box(const char *text, const char *caption) {
  MessageBoxA(nullptr, text, caption, MB_ICONERROR);
}

void platform_show_wide_box(const wchar_t *text, const wchar_t *caption) {
  MessageBoxW(nullptr, text, caption, MB_ICONERROR);
}

int *platform_argument_count() { return __p___argc(); }

wchar_t ***platform_argument_vector() { return __p___wargv(); }

} // extern "C"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  // The search path passes through narrow text on its way to the
  // interpreter: as UTF-8 it names any directory, whatever the code page.
  // The interpreter shares this runtime and sets its own locale later.
  setlocale(LC_CTYPE, ".UTF-8");
  return launcher_main();
}
