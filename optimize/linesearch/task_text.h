// The task buffer: caller-owned, fixed length, blank-padded text.
#ifndef QUORVEL_LINESEARCH_TASK_TEXT_H
#define QUORVEL_LINESEARCH_TASK_TEXT_H

#include <cstring>

namespace linesearch {

// True when the buffer's first characters are `word`. A buffer shorter than
// the word cannot begin with it, and nothing past its length is read.
template <int N> bool task_begins_with(const char *task, int length, const char (&word)[N]) {
  constexpr int n = N - 1;
  return length >= n && std::memcmp(task, word, n) == 0;
}

// Writes `message` blank-padded, or cut, to exactly `length` characters.
template <int N> void write_task(char *task, int length, const char (&message)[N]) {
  constexpr int m = N - 1;
  if (length <= 0)
    return;
  if (length > m) {
    std::memcpy(task, message, m);
    std::memset(task + m, ' ', static_cast<std::size_t>(length - m));
  } else {
    std::memcpy(task, message, static_cast<std::size_t>(length));
  }
}

} // namespace linesearch

#endif
