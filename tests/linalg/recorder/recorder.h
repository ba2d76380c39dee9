// A recording stand-in for the outside BLAS, CBLAS and LAPACK libraries.
//
// The stand-ins have the outside libraries' entry-point names and calling
// conventions. Each call notes what arrived (addresses, by-value integers,
// the values a division read, the bytes of the watched storage at that
// moment) and answers with the reply bytes set by recorder_reset: a BLAS
// function returns them as its value, a CBLAS routine stores them through its
// result, a division stores them as its two outputs. The log is kept here,
// in one place, so the stand-ins can be built as one library or as three.
#ifndef QUORVEL_TESTS_RECORDER_H
#define QUORVEL_TESTS_RECORDER_H

#include <stddef.h>

#if defined(_WIN32)
#  if defined(RECORDER_BUILDING)
#    define RECORDER_API __declspec(dllexport)
#  else
#    define RECORDER_API __declspec(dllimport)
#  endif
#else
#  define RECORDER_API __attribute__((visibility("default")))
#endif

// The stand-ins' own entry points, exported under the outside libraries' names.
#if defined(_WIN32)
#  define STAND_IN_API __declspec(dllexport)
#else
#  define STAND_IN_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define RECORDER_MAX_ADDRESSES 6
#define RECORDER_MAX_VALUES 3
#define RECORDER_WATCH_SIZE 48

struct recorded_call {
  int calls;        /* entry points called since recorder_reset */
  char routine[24]; /* name of the last one */
  int address_count;
  const void *addresses[RECORDER_MAX_ADDRESSES]; /* in the order received */
  int value_count;
  int values[RECORDER_MAX_VALUES];            /* integers received by value */
  double inputs[4];                           /* what a division read at its four inputs */
  unsigned char watched[RECORDER_WATCH_SIZE]; /* watched bytes when called */
};

/* Clears the log; reply (up to 16 bytes) is what the stand-ins answer with;
   watch (up to RECORDER_WATCH_SIZE bytes, may be null) is copied on each call. */
RECORDER_API void recorder_reset(const void *reply, size_t reply_size, const void *watch,
                                 size_t watch_size);
RECORDER_API struct recorded_call recorder_last(void);

/* For the stand-ins. */
RECORDER_API void recorder_note(const char *routine, const void *const *addresses,
                                int address_count, const int *values, int value_count);
RECORDER_API void recorder_note_inputs(double a, double b, double c, double d);
RECORDER_API void recorder_reply(void *out, size_t size);

#ifdef __cplusplus
}
#endif

#endif
