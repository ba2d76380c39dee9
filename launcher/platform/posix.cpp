// The launcher's platform services on POSIX systems. File names here are
// bytes; the launcher and the interpreter both read them as UTF-8, whatever
// locale the environment names, with each byte that is not UTF-8 escaped as
// U+DC80..U+DCFF, so any installation directory round-trips.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <link.h>
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wchar.h>

#include "platform.h"
#include "posix_dialog.h"
#include "utf8.h"

extern "C" {
const char platform_search_path_format[] = "%s/lib/library.zip:%s/lib";
const wchar_t platform_search_path_delimiter = L':';
// The parent sees only the low 8 bits of the status.
const unsigned platform_exit_status_mask = 0xFF;
}

namespace {

int arguments_count;
wchar_t **arguments;

// One character of a file name or a box text as bytes: an escaped
// undecodable byte (U+DC80..U+DCFF, the interpreter's convention) is that
// byte again, any other character its UTF-8. Returns the number of bytes.
size_t encode_character(wchar_t character, unsigned char *out) {
  auto code = static_cast<unsigned long>(character);
  if (code >= 0xDC80 && code <= 0xDCFF) {
    out[0] = static_cast<unsigned char>(code - 0xDC00);
    return 1;
  }
  return utf8_encode(code, out);
}

// A file name's bytes as wide text, each byte that is not part of valid
// UTF-8 escaped as U+DC80..U+DCFF, the way the interpreter decodes file
// names. Returns the characters written, or size when they did not fit.
unsigned decode_file_name(const char *bytes, size_t length, wchar_t *buffer, unsigned size) {
  const auto *text = reinterpret_cast<const unsigned char *>(bytes);
  unsigned written = 0;
  for (size_t at = 0; at < length; ++written) {
    if (written + 1 >= size)
      return size;
    unsigned long code;
    size_t used = utf8_decode(text + at, length - at, &code);
    if (used == 0) {
      code = 0xDC00 + text[at];
      used = 1;
    }
    buffer[written] = static_cast<wchar_t>(code);
    at += used;
  }
  buffer[written] = L'\0';
  return written;
}

// The inverse of decode_file_name into buffer (size bytes). Returns the
// length, or -1 when it does not fit or path holds a character that no
// file name can (NUL is the terminator; lone surrogates other than the
// escapes have no UTF-8).
int encode_file_name(const wchar_t *path, char *buffer, size_t size) {
  size_t length = 0;
  for (; *path != L'\0'; ++path) {
    auto code = static_cast<unsigned long>(*path);
    if ((code >= 0xD800 && code < 0xDC80) || (code > 0xDCFF && code <= 0xDFFF) || code > 0x10FFFF)
      return -1;
    unsigned char bytes[4];
    size_t count = encode_character(*path, bytes);
    if (length + count >= size)
      return -1;
    memcpy(buffer + length, bytes, count);
    length += count;
  }
  buffer[length] = '\0';
  return static_cast<int>(length);
}

// Standard error through a buffer of its own: a box of megabytes takes a
// few writes, not one per character.
struct Error_output {
  unsigned char buffer[16384];
  size_t used = 0;
};

void flush(Error_output &out) {
  const unsigned char *bytes = out.buffer;
  size_t left = out.used;
  out.used = 0;
  while (left > 0) {
    const ssize_t written = write(STDERR_FILENO, bytes, left);
    if (written < 0 && errno == EINTR)
      continue;
    if (written <= 0)
      return; // nowhere left to say so
    bytes += written;
    left -= static_cast<size_t>(written);
  }
}

void put(Error_output &out, const unsigned char *bytes, size_t length) {
  while (length > 0) {
    if (out.used == sizeof out.buffer)
      flush(out);
    size_t part = sizeof out.buffer - out.used;
    part = part < length ? part : length;
    memcpy(out.buffer + out.used, bytes, part);
    out.used += part;
    bytes += part;
    length -= part;
  }
}

void put_line(Error_output &out, const char *text) {
  put(out, reinterpret_cast<const unsigned char *>(text), strlen(text));
  put(out, reinterpret_cast<const unsigned char *>("\n"), 1);
}

void put_wide_line(Error_output &out, const wchar_t *text) {
  for (; *text != L'\0'; ++text) {
    unsigned char bytes[4];
    put(out, bytes, encode_character(*text, bytes));
  }
  put(out, reinterpret_cast<const unsigned char *>("\n"), 1);
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

// A standard descriptor that the process was started without would be
// taken by the next file opened, and the box written to standard error
// would land in that file: each one closed is held by /dev/null instead.
// Opening takes the lowest free number, the one just found closed.
void hold_standard_descriptors() {
  for (int descriptor = 0; descriptor <= 2; ++descriptor)
    if (fcntl(descriptor, F_GETFD) == -1 && errno == EBADF)
      open("/dev/null", O_RDWR);
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
  unsigned characters = decode_file_name(bytes, static_cast<size_t>(length), buffer, size);
  if (characters >= size)
    buffer[0] = L'\0';
  return characters;
}

int platform_narrow_path(const wchar_t *path, char *buffer, size_t size) {
  return encode_file_name(path, buffer, size);
}

FILE *platform_open_file(const wchar_t *directory, const wchar_t *name) {
  char path[PATH_MAX];
  int length = encode_file_name(directory, path, sizeof path);
  if (length < 0 || static_cast<size_t>(length) + 1 >= sizeof path)
    return nullptr;
  path[length] = '/';
  if (encode_file_name(name, path + length + 1, sizeof path - static_cast<size_t>(length) - 1) < 0)
    return nullptr;
  // A directory opens for reading here, but is no file to read.
  FILE *file = fopen(path, "rb");
  struct stat status;
  if (file != nullptr && (fstat(fileno(file), &status) != 0 || !S_ISREG(status.st_mode))) {
    fclose(file);
    return nullptr;
  }
  return file;
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
  if (encode_file_name(directory, narrow, sizeof narrow) < 0)
    return 0;
  return !program_has_runpath() && loader_searches(narrow) ? 1 : 0;
}

// The box on standard error, after whatever stdio still holds for it:
// caption, line feed, text, line feed.
void platform_show_narrow_box(const char *text, const char *caption) {
  fflush(stderr);
  Error_output out;
  put_line(out, caption != nullptr ? caption : "Error");
  put_line(out, text != nullptr ? text : "");
  flush(out);
  show_narrow_error_dialog(text, caption);
}

void platform_show_wide_box(const wchar_t *text, const wchar_t *caption) {
  fflush(stderr);
  Error_output out;
  put_wide_line(out, caption != nullptr ? caption : L"Error");
  put_wide_line(out, text != nullptr ? text : L"");
  flush(out);
  show_wide_error_dialog(text, caption);
}

int *platform_argument_count() { return &arguments_count; }

wchar_t ***platform_argument_vector() { return &arguments; }

} // extern "C"

int main(int argc, char **argv) {
  hold_standard_descriptors();
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
