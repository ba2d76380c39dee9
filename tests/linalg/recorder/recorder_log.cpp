// The log is process-wide: recorder tests call the code under test from one
// thread at a time.
#include "recorder.h"

#include <cstring>

namespace {

recorded_call last;
unsigned char reply_bytes[16];
const void *watch_at;
size_t watch_bytes;

} // namespace

extern "C" {

void recorder_reset(const void *reply, size_t reply_size, const void *watch, size_t watch_size) {
  last = recorded_call{};
  std::memset(reply_bytes, 0, sizeof reply_bytes);
  std::memcpy(reply_bytes, reply,
              reply_size < sizeof reply_bytes ? reply_size : sizeof reply_bytes);
  watch_at = watch;
  watch_bytes = watch_size < sizeof last.watched ? watch_size : sizeof last.watched;
}

recorded_call recorder_last(void) { return last; }

void recorder_note(const char *routine, const void *const *addresses, int address_count,
                   const int *values, int value_count) {
  ++last.calls;
  std::strncpy(last.routine, routine, sizeof last.routine - 1);
  last.address_count = address_count;
  for (int i = 0; i < address_count; ++i)
    last.addresses[i] = addresses[i];
  last.value_count = value_count;
  for (int i = 0; i < value_count; ++i)
    last.values[i] = values[i];
  if (watch_at != nullptr)
    std::memcpy(last.watched, watch_at, watch_bytes);
}

void recorder_note_inputs(double a, double b, double c, double d) {
  last.inputs[0] = a;
  last.inputs[1] = b;
  last.inputs[2] = c;
  last.inputs[3] = d;
}

void recorder_reply(void *out, size_t size) { std::memcpy(out, reply_bytes, size); }
}
