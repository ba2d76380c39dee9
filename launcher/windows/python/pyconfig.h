/*
 * Interpreter configuration for building the launcher for Windows x86-64
 * against the build machine's interpreter headers (a later version than 3.8
 * serves, since only the 3.8 stable ABI is used), in place of the platform
 * configuration header that a Windows installation of Python ships. It
 * describes the ABI of python38.dll: LLP64 data model, 16-bit wchar_t, entry
 * points imported from the DLL.
 *
 * The launcher is held to the stable ABI of 3.8; the few entry points that
 * it needs beyond it are declared below exactly as python38.dll exports them.
 */
#ifndef QUORVEL_WINDOWS_PYCONFIG_H
#define QUORVEL_WINDOWS_PYCONFIG_H

#if !defined(_WIN64)
#  error "This configuration describes the Windows x86-64 interpreter only"
#endif

#ifndef Py_LIMITED_API
#  define Py_LIMITED_API 0x03080000
#endif

#define MS_WIN64
#define MS_WIN32
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL
#define Py_WINVER 0x0601
#define Py_NTDDI NTDDI_WIN7

#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_DOUBLE 8
#define SIZEOF_FLOAT 4
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF__BOOL 1
#define SIZEOF_UINTPTR_T 8
#define SIZEOF_HKEY 8
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_LONG 4
#define HAVE_WCHAR_H 1
#define HAVE_STDDEF_H 1
#define HAVE_STDARG_PROTOTYPES 1
#define HAVE_SYS_STAT_H 1
#define HAVE_LARGEFILE_SUPPORT 1
#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1
#define PY_FORMAT_SIZE_T "z"

#include <basetsd.h>
#include <stddef.h>
/* The interpreter's Py_ssize_t is the Windows SSIZE_T. */
typedef SSIZE_T ssize_t;
#define HAVE_SSIZE_T 1

#ifdef __cplusplus
extern "C" {
#endif

/* Outside the 3.8 stable ABI; plain C types only, so they can be declared
 * before the interpreter's headers. */
__declspec(dllimport) extern int Py_NoSiteFlag;
__declspec(dllimport) extern int Py_FrozenFlag;
__declspec(dllimport) extern int Py_IgnoreEnvironmentFlag;
__declspec(dllimport) void *PyMem_RawMalloc(size_t size);
__declspec(dllimport) void PyMem_RawFree(void *ptr);

#ifdef __cplusplus
}
#endif

/* The one macro of the full API that the launcher uses, in stable-ABI terms:
 * on a new tuple, whose slots are all empty, PyTuple_SetItem does the same. */
#define PyTuple_SET_ITEM(tuple, index, item) ((void)PyTuple_SetItem((tuple), (index), (item)))

#endif
