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

extern "C" {
const char platform_search_path_format[] = "%s\\lib\\library.zip;%s\\lib";
const wchar_t platform_search_path_delimiter = L';';
const unsigned platform_exit_status_mask = 0xFFFFFFFF;
}

extern "C" {

unsigned platform_module_file_name(wchar_t *buffer, unsigned size) {
  // A path that does not fit comes back cut short with the full size; not
  // every implementation terminates it then.
  const DWORD length = GetModuleFileNameW(nullptr, buffer, size);
  if (length >= size && size > 0)
    buffer[size - 1] = L'\0';
  return length;
}

// The runtime's conversion in its current locale, kept only when it converts
// back to exactly path: a code page that lacks a character must not stand
// in another one.
int platform_narrow_path(const wchar_t *path, char *buffer, size_t size) {
  const size_t length = wcstombs(buffer, path, size);
  if (length == static_cast<size_t>(-1) || length >= size)
    return -1;
  // Never more characters than bytes; some runtimes also count the limit of
  // this conversion in bytes, so room for all of them is given.
  wchar_t *back = static_cast<wchar_t *>(calloc(length + 1, sizeof *back));
  if (back == nullptr)
    return -1;
  const size_t converted = mbstowcs(back, buffer, length + 1);
  const bool same = converted != static_cast<size_t>(-1) && wcscmp(back, path) == 0;
  free(back);
  return same ? static_cast<int>(length) : -1;
}

FILE *platform_open_file(const wchar_t *directory, const wchar_t *name) {
  wchar_t path[2 * lib_dir_size];
  if (swprintf(path, sizeof path / sizeof *path, L"%ls\\%ls", directory, name) < 0)
    return nullptr;
  return _wfopen(path, L"rb");
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
  // The interpreter shares this runtime and sets its own locale later. A
  // runtime without UTF-8 locales stays in its default one, where
  // platform_narrow_path refuses every directory that the narrow text
  // cannot carry exactly.
  if (setlocale(LC_CTYPE, ".UTF-8") == nullptr)
    setlocale(LC_CTYPE, "C");
  return launcher_main();
}
