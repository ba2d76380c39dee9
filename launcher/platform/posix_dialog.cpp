// Starts the dialog program beside the launcher, hands it the box and waits
// for it, staying interruptible throughout: the interpreter's own SIGINT
// handler only sets a flag that nothing reads while the dialog is up.
#include "posix_dialog.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "dialog/dialog_protocol.h"
#include "dialog_text.h"

extern char **environ;

namespace {

constexpr int interruptions[] = {SIGINT, SIGTERM};
constexpr size_t interruption_count = sizeof interruptions / sizeof interruptions[0];

// Write end of the pipe that wakes the wait for the dialog; for the handler.
volatile sig_atomic_t wake_up_fd = -1;

void note_interruption(int) {
  int saved = errno;
  char byte = 0;
  if (write(wake_up_fd, &byte, 1) < 0) {
    // A full pipe already holds a wake-up.
  }
  errno = saved;
}

struct Interruptions {
  int wake_up[2];
  struct sigaction previous[interruption_count];
  bool caught[interruption_count];
};

// From now on SIGINT and SIGTERM, unless ignored, wake up wake_up[0]
// instead of doing what they did. False when that cannot be arranged.
bool catch_interruptions(Interruptions &state) {
  if (pipe2(state.wake_up, O_CLOEXEC | O_NONBLOCK) != 0)
    return false;
  wake_up_fd = state.wake_up[1];
  struct sigaction noting = {};
  noting.sa_handler = note_interruption;
  noting.sa_flags = SA_RESTART;
  sigemptyset(&noting.sa_mask);
  for (size_t i = 0; i < interruption_count; ++i) {
    sigaction(interruptions[i], nullptr, &state.previous[i]);
    state.caught[i] = state.previous[i].sa_handler != SIG_IGN &&
                      sigaction(interruptions[i], &noting, nullptr) == 0;
  }
  return true;
}

void release_interruptions(Interruptions &state) {
  for (size_t i = 0; i < interruption_count; ++i)
    if (state.caught[i])
      sigaction(interruptions[i], &state.previous[i], nullptr);
  wake_up_fd = -1;
  close(state.wake_up[0]);
  close(state.wake_up[1]);
}

bool has_graphical_session() {
  const char *x11 = getenv("DISPLAY");
  const char *wayland = getenv("WAYLAND_DISPLAY");
  return (x11 != nullptr && x11[0] != '\0') || (wayland != nullptr && wayland[0] != '\0');
}

// The dialog program beside the running one, and the installation's lib/
// there (PATH_MAX bytes each); false when they cannot be named.
bool installation_paths(char *program, char *lib_dir) {
  char self[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0)
    return false;
  self[length] = '\0';
  char *slash = strrchr(self, '/');
  if (slash == nullptr)
    return false;
  *slash = '\0';
  int written = snprintf(program, PATH_MAX, "%s/%s", self, dialog_program_name);
  int lib_written = snprintf(lib_dir, PATH_MAX, "%s/lib", self);
  return written > 0 && written < PATH_MAX && lib_written > 0 && lib_written < PATH_MAX;
}

// Whether value names directory or anything inside it, as the whole value or
// as one entry of a list separated by ':' or spaces (LD_LIBRARY_PATH,
// LD_PRELOAD).
bool names_directory(const char *value, const char *directory) {
  size_t length = strlen(directory);
  for (const char *at = strstr(value, directory); at != nullptr; at = strstr(at + 1, directory)) {
    bool starts = at == value || at[-1] == ':' || at[-1] == ' ';
    char after = at[length];
    if (starts && (after == '\0' || after == '/' || after == ':' || after == ' '))
      return true;
  }
  return false;
}

// The launcher's environment less the variables that name lib_dir, through
// which the loader would bring the installation's libraries into GTK's
// process after all. Newly malloc'd; the strings stay environ's.
char **dialog_environment(const char *lib_dir) {
  size_t count = 0;
  while (environ != nullptr && environ[count] != nullptr)
    ++count;
  auto **kept = static_cast<char **>(malloc((count + 1) * sizeof(char *)));
  if (kept == nullptr)
    return nullptr;
  size_t used = 0;
  for (size_t i = 0; i < count; ++i) {
    const char *equals = strchr(environ[i], '=');
    if (equals == nullptr || !names_directory(equals + 1, lib_dir))
      kept[used++] = environ[i];
  }
  kept[used] = nullptr;
  return kept;
}

char *append_record(char *out, const char *text) {
  auto length = static_cast<uint32_t>(strlen(text));
  memcpy(out, &length, sizeof length);
  memcpy(out + sizeof length, text, length);
  return out + sizeof length + length;
}

// caption and text as the dialog program reads them (dialog_protocol.h):
// newly malloc'd, its size in size.
char *dialog_message(const char *caption, const char *text, size_t &size) {
  size = 2 * sizeof(uint32_t) + strlen(caption) + strlen(text);
  auto *message = static_cast<char *>(malloc(size));
  if (message != nullptr)
    append_record(append_record(message, caption), text);
  return message;
}

// The dialog program with input as its standard input, /dev/null as its
// standard output and error (GTK's complaints would follow the box there),
// no other descriptor, and the signal dispositions of a fresh program but
// for an interruption that the launcher ignores. Its id, or -1.
pid_t start_dialog_program(const char *program, char **environment, int input) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  if (posix_spawn_file_actions_init(&actions) != 0)
    return -1;
  if (posix_spawnattr_init(&attributes) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return -1;
  }
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE); // ignored by the interpreter
  sigaddset(&defaults, SIGXFSZ);
  sigset_t unblocked;
  sigemptyset(&unblocked);
  bool prepared =
      posix_spawn_file_actions_adddup2(&actions, input, STDIN_FILENO) == 0 &&
      posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0) == 0 &&
      posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO) == 0 &&
      posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1) == 0 &&
      posix_spawnattr_setsigdefault(&attributes, &defaults) == 0 &&
      posix_spawnattr_setsigmask(&attributes, &unblocked) == 0 &&
      posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK) == 0;
  pid_t dialog;
  char *arguments[] = {const_cast<char *>(program), nullptr};
  if (!prepared ||
      posix_spawn(&dialog, program, &actions, &attributes, arguments, environment) != 0)
    dialog = -1;
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return dialog;
}

// waitpid that goes on after a signal; nonzero once dialog has ended (or
// cannot be waited for).
pid_t reap(pid_t dialog, int options) {
  pid_t result;
  do
    result = waitpid(dialog, nullptr, options);
  while (result < 0 && errno == EINTR);
  return result;
}

// Sends the message through channel while waiting for the dialog program to
// end; on an interruption (wake_up readable) ends it.
void wait_for_dialog(pid_t dialog, int channel, int wake_up, const char *message, size_t size) {
#ifdef SYS_pidfd_open
  int process = static_cast<int>(syscall(SYS_pidfd_open, dialog, 0));
#else
  int process = -1;
#endif
  size_t sent = 0;
  while (reap(dialog, WNOHANG) == 0) {
    pollfd watched[] = {
        {wake_up, POLLIN, 0}, {process, POLLIN, 0}, {sent < size ? channel : -1, POLLOUT, 0}};
    // Without a process descriptor (kernels before 5.3), the end of the
    // dialog program is looked for every tenth of a second.
    int ready = poll(watched, 3, process >= 0 ? -1 : 100);
    if ((ready < 0 && errno != EINTR) || watched[0].revents != 0) {
      kill(dialog, SIGKILL);
      reap(dialog, 0);
      break;
    }
    if ((watched[2].revents & POLLOUT) != 0) {
      ssize_t count = send(channel, message + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (count > 0)
        sent += static_cast<size_t>(count);
      else if (errno != EAGAIN && errno != EINTR)
        sent = size; // the dialog program is gone; its end follows
    } else if (watched[2].revents != 0) {
      sent = size;
    }
  }
  if (process >= 0)
    close(process);
}

void run_dialog_program(const char *caption, const char *text) {
  char program[PATH_MAX];
  char lib_dir[PATH_MAX];
  if (!installation_paths(program, lib_dir))
    return;
  size_t size;
  char *message = dialog_message(caption, text, size);
  char **environment = dialog_environment(lib_dir);
  int channel[2];
  if (message != nullptr && environment != nullptr &&
      socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel) == 0) {
    // Caught before the start, so that none is missed.
    Interruptions interruptions;
    bool caught = catch_interruptions(interruptions);
    pid_t dialog = caught ? start_dialog_program(program, environment, channel[1]) : -1;
    close(channel[1]);
    if (dialog > 0)
      wait_for_dialog(dialog, channel[0], interruptions.wake_up[0], message, size);
    if (caught)
      release_interruptions(interruptions);
    close(channel[0]);
  }
  free(environment);
  free(message);
}

void show_error_dialog(char *text, char *caption) {
  if (text != nullptr && caption != nullptr)
    run_dialog_program(caption, text);
  free(text);
  free(caption);
}

} // namespace

void show_narrow_error_dialog(const char *text, const char *caption) {
  if (!has_graphical_session())
    return;
  show_error_dialog(
      dialog_text_from_narrow(text != nullptr ? text : "", dialog_text_limit),
      dialog_text_from_narrow(caption != nullptr ? caption : "Error", dialog_caption_limit));
}

void show_wide_error_dialog(const wchar_t *text, const wchar_t *caption) {
  if (!has_graphical_session())
    return;
  show_error_dialog(
      dialog_text_from_wide(text != nullptr ? text : L"", dialog_text_limit),
      dialog_text_from_wide(caption != nullptr ? caption : L"Error", dialog_caption_limit));
}
