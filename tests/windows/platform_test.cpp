// The launcher's Win32 platform layer, run under the real start-up of a
// windowed wide-character program: the runtime calls wWinMain, which calls
// launcher_main, here the checks. Expects to be started as
//
//   platform_test.exe <program directory> *.txt "a b"
//
// from a directory that holds a .txt file, with the probe DLLs only in
// <program directory>\lib.
#include <windows.h>

#include <locale.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "platform.h"

namespace {

int failures = 0;

void expect(bool condition, const char *what) {
  if (!condition) {
    ++failures;
    printf("FAILED: %s\n", what);
  }
}

void expect_text(const wchar_t *actual, const wchar_t *expected, const char *what) {
  const bool same = wcscmp(actual, expected) == 0;
  expect(same, what);
  if (!same)
    printf("  got      %ls\n  expected %ls\n", actual, expected);
}

} // namespace

extern "C" int launcher_main() {
  const int argc = *platform_argument_count();
  wchar_t **argv = *platform_argument_vector();
  expect(argc == 4, "four arguments");
  if (argc != 4)
    return 1;
  const wchar_t *dir = argv[1];
  wchar_t expected_path[512], expected_lib[512];
  swprintf(expected_path, 512, L"%ls\\platform_test.exe", dir);
  swprintf(expected_lib, 512, L"%ls\\lib", dir);
  expect_text(argv[2], L"*.txt", "a wildcard pattern arrives unexpanded");
  expect_text(argv[3], L"a b", "a quoted argument arrives as one");

  wchar_t path[executable_path_size] = {};
  const unsigned length = platform_module_file_name(path, executable_path_size);
  expect_text(path, expected_path, "executable path");
  expect(length == wcslen(path), "length of the executable path");

  wchar_t cut[8];
  wmemset(cut, L'#', 8);
  expect(platform_module_file_name(cut, 8) == 8,
         "a path that does not fit returns the buffer size");
  expect(cut[7] == L'\0', "a path that does not fit is terminated");

  wchar_t executable_dir[executable_path_size];
  wmemcpy(executable_dir, path, executable_path_size);
  platform_remove_file_spec(executable_dir);
  expect_text(executable_dir, dir, "directory of the executable");

  wchar_t lib_dir[lib_dir_size] = {};
  platform_combine_path(lib_dir, executable_dir, L"lib");
  expect_text(lib_dir, expected_lib, "lib beside the executable");

  char search_path[1056];
  snprintf(search_path, sizeof search_path, platform_search_path_format, "D:\\App", "D:\\App");
  expect(strcmp(search_path, "D:\\App\\lib\\library.zip;D:\\App\\lib") == 0,
         "module search path from the directory");
  expect(platform_search_path_delimiter == L';', "the search path delimiter");

  // The entry point chose UTF-8, which carries every directory; the default
  // locale carries only what converts back exactly.
  char narrow[64];
  expect(platform_narrow_path(L"D:\\\u00c4pp \u65e5\u672c", narrow, sizeof narrow) == 14 &&
             strcmp(narrow, "D:\\\xc3\x84pp \xe6\x97\xa5\xe6\x9c\xac") == 0,
         "narrow path in UTF-8");
  expect(platform_narrow_path(L"D:\\App", narrow, 6) == -1, "narrow path that does not fit");
  setlocale(LC_CTYPE, "C");
  expect(platform_narrow_path(L"D:\\App", narrow, sizeof narrow) == 6 &&
             strcmp(narrow, "D:\\App") == 0,
         "ASCII narrow path without UTF-8");
  expect(platform_narrow_path(L"D:\\\u65e5\u672c", narrow, sizeof narrow) == -1,
         "a path the locale cannot carry is refused");
  setlocale(LC_CTYPE, ".UTF-8");

  FILE *file = platform_open_file(expected_lib, L"probe_root.dll");
  expect(file != nullptr, "a file in a directory opens");
  if (file != nullptr)
    fclose(file);
  expect(platform_open_file(expected_lib, L"missing.zip") == nullptr, "a missing file does not");

  expect(LoadLibraryW(L"probe_root.dll") == nullptr, "the probe is not found before");
  expect(platform_set_library_directory(lib_dir) != 0, "platform_set_library_directory succeeds");
  HMODULE root = LoadLibraryW(L"probe_root.dll");
  expect(root != nullptr, "a DLL only in lib, depending on another only in lib, loads");
  if (root != nullptr) {
    auto value = reinterpret_cast<int (*)()>(
        reinterpret_cast<void *>(GetProcAddress(root, "probe_root_value")));
    expect(value != nullptr && value() == 42, "the probe answers through its dependency");
  }

  printf("%s\n", failures == 0 ? "all checks passed" : "checks failed");
  return failures == 0 ? 0 : 1;
}
