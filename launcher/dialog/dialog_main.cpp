// quorvel-dialog: shows one error box of the launcher as a GTK dialog. The
// launcher starts it and writes the box to its standard input. A program of
// its own, linked with no run path and nothing but the C library, so that
// GTK and every library it brings are the system's own, never the older ones
// that the installation's lib/ may bundle.
#include <errno.h>
#include <locale.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <unistd.h>

#include "dialog/dialog_protocol.h"
#include "dialog/gtk_dialog.h"
#include "platform/dialog_text.h"

namespace {

bool read_exactly(int fd, char *buffer, size_t size) {
  while (size > 0) {
    ssize_t got = read(fd, buffer, size);
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
      return false;
    buffer += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

// The next record of the input as a newly malloc'd, terminated string; null
// when the input ends early or the record is not shorter than limit.
char *read_record(int fd, size_t limit) {
  uint32_t length;
  if (!read_exactly(fd, reinterpret_cast<char *>(&length), sizeof length) || length >= limit)
    return nullptr;
  auto *text = static_cast<char *>(malloc(length + 1));
  if (text != nullptr && !read_exactly(fd, text, length)) {
    free(text);
    return nullptr;
  }
  if (text != nullptr)
    text[length] = '\0';
  return text;
}

// Anything more on the input after the box, its end included: the launcher
// has gone.
bool launcher_gone(int fd) {
  pollfd input{fd, POLLIN, 0};
  return poll(&input, 1, 0) != 0;
}

} // namespace

int main() {
  // The dialog goes with the launcher, however that ends. Had it ended
  // before this call, its end of the input is closed: launcher_gone.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  // The box is UTF-8, whatever locale the environment names.
  setlocale(LC_CTYPE, "C.UTF-8");
  char *caption = read_record(STDIN_FILENO, dialog_caption_limit);
  char *text = caption != nullptr ? read_record(STDIN_FILENO, dialog_text_limit) : nullptr;
  bool shown = text != nullptr && !launcher_gone(STDIN_FILENO);
  if (shown)
    show_gtk_dialog(caption, text);
  free(text);
  free(caption);
  return shown ? 0 : 1;
}
