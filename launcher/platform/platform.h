// The few operating-system services the launcher needs, with one
// implementation per platform (posix.cpp, win32.cpp). Every name carries the
// prefix platform_, so a call site shows that it crosses into this layer.
// Plain C linkage, so a test-only build can substitute any of them at link
// time.
#pragma once

#include <stdio.h>
#include <wchar.h>

// Characters in the fixed path buffers, terminator included.
constexpr unsigned executable_path_size = 257;
constexpr unsigned lib_dir_size = 260;

extern "C" {

// printf format of the module search path from the program's directory as
// narrow text (platform_narrow_path), taken twice: the archive
// lib/library.zip, then the directory lib, in the platform's own separator
// and delimiter.
extern const char platform_search_path_format[];

// The character that separates the entries of the module search path; a
// directory that holds it cannot be an entry.
extern const wchar_t platform_search_path_delimiter;

// Bits of an exit status that reach the parent process.
extern const unsigned platform_exit_status_mask;

// path as the narrow text that the interpreter decodes back to exactly path,
// into buffer (size bytes). Returns its length, or -1 when path has no such
// text or it does not fit.
int platform_narrow_path(const wchar_t *path, char *buffer, size_t size);

// The file name in directory, opened for binary reading; null on failure.
FILE *platform_open_file(const wchar_t *directory, const wchar_t *name);

// Full path of the running program into buffer (size characters). Returns
// its length; 0 on failure, and size when the path did not fit (the buffer
// then holds a truncated, terminated path).
unsigned platform_module_file_name(wchar_t *buffer, unsigned size);

// Cuts path in place to its directory.
void platform_remove_file_spec(wchar_t *path);

// destination (lib_dir_size characters) = directory, one separator, name.
void platform_combine_path(wchar_t *destination, const wchar_t *directory, const wchar_t *name);

// Makes libraries in directory loadable for every library that the process
// loads from now on. Returns 0 when that cannot be made to hold.
int platform_set_library_directory(const wchar_t *directory);

// Modal error box, one OK button; a null caption shows the system's default.
void platform_show_narrow_box(const char *text, const char *caption);
void platform_show_wide_box(const wchar_t *text, const wchar_t *caption);

// The runtime's argument count and wide argument vector, as it split them.
int *platform_argument_count();
wchar_t ***platform_argument_vector();

// The launcher's main flow; the platform's entry point returns its result.
int launcher_main();
}
