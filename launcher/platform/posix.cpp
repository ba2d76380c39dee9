// The launcher's platform services on POSIX systems. File names here are
// bytes; the launcher and the interpreter both read them as UTF-8, whatever
// locale the environment names, so any installation directory round-trips.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <dlfcn.h>
#include <limits.h>
#include <link.h>
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <wchar.h>

#include "platform.h"
#include "posix_dialog.h"

extern "C" const char platform_search_path_format[] = "%ls/lib/library.zip:%ls/lib";

namespace {

int arguments_count;
wchar_t **arguments;

// UTF-8 of one character; an escaped undecodable byte (U+DC80..U+DCFF, the
// interpreter's convention) is written back as that byte.
void put_utf8(wchar_t character, FILE *stream) {
  auto code = static_cast<unsigned long>(character);
  if (code >= 0xDC80 && code <= 0xDCFF) {
    fputc(static_cast<int>(code - 0xDC00), stream);
  } else if (code < 0x80) {
    fputc(static_cast<int>(code), stream);
  } else if (code < 0x800) {
    fputc(static_cast<int>(0xC0 | (code >> 6)), stream);
    fputc(static_cast<int>(0x80 | (code & 0x3F)), stream);
  } else if (code < 0x10000) {
    fputc(static_cast<int>(0xE0 | (code >> 12)), stream);
    fputc(static_cast<int>(0x80 | ((code >> 6) & 0x3F)), stream);
    fputc(static_cast<int>(0x80 | (code & 0x3F)), stream);
  } else {
    fputc(static_cast<int>(0xF0 | (code >> 18)), stream);
    fputc(static_cast<int>(0x80 | ((code >> 12) & 0x3F)), stream);
    fputc(static_cast<int>(0x80 | ((code >> 6) & 0x3F)), stream);
    fputc(static_cast<int>(0x80 | (code & 0x3F)), stream);
  }
}

void put_wide_line(const wchar_t *text, FILE *stream) {
  for (; *text != L'\0'; ++text)
    put_utf8(*text, stream);
  fputc('\n', stream);
}

// The loader consults the program's DT_RPATH for every library of the
// process, but a DT_RUNPATH only for the program's own direct dependencies.
bool program_has_runpath() {
  for (const ElfW(Dyn) *entry = _DYNAMIC; entry->d_tag != DT_NULL; ++entry)
    if (entry->d_tag == DT_RUNPATH)
      return true;
  return false;
}

bool loader_searches(const char *directory) {
  void *program = dlopen(nullptr, RTLD_LAZY | RTLD_NOLOAD);
  if (program == nullptr)
    return false;
  Dl_serinfo size;
  bool found = false;
  if (dlinfo(program, RTLD_DI_SERINFOSIZE, &size) == 0) {
    auto *info = static_cast<Dl_serinfo *>(malloc(size.dls_size));
    if (info != nullptr) {
      memcpy(info, &size, sizeof size);
      if (dlinfo(program, RTLD_DI_SERINFO, info) == 0)
        for (unsigned i = 0; i < info->dls_cnt && !found; ++i)
          found = strcmp(info->dls_serpath[i].dls_name, directory) == 0;
      free(info);
    }
  }
  dlclose(program);
  return found;
}

} // namespace

extern "C" {

unsigned platform_module_file_name(wchar_t *buffer, unsigned size) {
  char bytes[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", bytes, sizeof bytes);
  if (length <= 0)
    return 0;
  if (static_cast<size_t>(length) >= sizeof bytes)
    return size;
  bytes[length] = '\0';
  mbstate_t state{};
  const char *source = bytes;
  size_t characters = mbsrtowcs(nullptr, &source, 0, &state);
  if (characters == static_cast<size_t>(-1))
    return 0;
  if (characters >= size) {
    buffer[0] = L'\0';
    return size;
  }
  source = bytes;
  state = mbstate_t{};
  mbsrtowcs(buffer, &source, size, &state);
  return static_cast<unsigned>(characters);
}

void platform_remove_file_spec(wchar_t *path) {
  wchar_t *last = wcsrchr(path, L'/');
  if (last == nullptr)
    path[0] = L'\0';
  else if (last == path)
    path[1] = L'\0';
  else
    *last = L'\0';
}

void platform_combine_path(wchar_t *destination, const wchar_t *directory, const wchar_t *name) {
  size_t length = wcslen(directory);
  const wchar_t *separator = length > 0 && directory[length - 1] == L'/' ? L"" : L"/";
  if (swprintf(destination, lib_dir_size, L"%ls%ls%ls", directory, separator, name) < 0)
    destination[0] = L'\0';
}

// The program is linked with $ORIGIN/lib as its DT_RPATH; this only checks
// that the loader will really apply it.
int platform_set_library_directory(const wchar_t *directory) {
  char narrow[4 * lib_dir_size];
  size_t length = wcstombs(narrow, directory, sizeof narrow);
  if (length == static_cast<size_t>(-1) || length >= sizeof narrow)
    return 0;
  return !program_has_runpath() && loader_searches(narrow) ? 1 : 0;
}

void platform_show_narrow_box(const char *text, const char *caption) {
  fprintf(stderr, "%s\n%s\n", caption != nullptr ? caption : "Error", text != nullptr ? text : "");
  fflush(stderr);
  show_narrow_error_dialog(text, caption);
}

void platform_show_wide_box(const wchar_t *text, const wchar_t *caption) {
  put_wide_line(caption != nullptr ? caption : L"Error", stderr);
  put_wide_line(text != nullptr ? text : L"", stderr);
  fflush(stderr);
  show_wide_error_dialog(text, caption);
}

int *platform_argument_count() { return &arguments_count; }

wchar_t ***platform_argument_vector() { return &arguments; }

} // extern "C"

int main(int argc, char **argv) {
  setlocale(LC_CTYPE, "C.UTF-8");
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  Py_UTF8Mode = 1;
#pragma GCC diagnostic pop
  // Owned by the process, like the runtime's vector on Windows.
  arguments = static_cast<wchar_t **>(calloc(static_cast<size_t>(argc) + 1, sizeof *arguments));
  if (arguments == nullptr)
    return 1;
  for (int i = 0; i < argc; ++i)
    if ((arguments[i] = Py_DecodeLocale(argv[i], nullptr)) == nullptr)
      return 1;
  arguments_count = argc;
  return launcher_main();
}
