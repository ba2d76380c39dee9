// The graphical form of the launcher's error boxes on POSIX desktops: a modal
// dialog shown by the program quorvel-dialog beside the launcher, so that GTK
// is loaded into a process of its own, which neither the installation's
// libraries nor the interpreter reach, and the launcher has no link-time
// dependency on GTK.
#pragma once

#include <wchar.h>

// Shows caption and text in a modal error dialog with one OK button and
// returns when the user closes it, when the dialog program ends or fails to
// start, or on SIGINT or SIGTERM (which end the dialog too). Does nothing, at
// once, when neither DISPLAY nor WAYLAND_DISPLAY names a graphical session.
// A null caption reads "Error". Bytes that are not UTF-8 are shown as U+FFFD;
// a text beyond dialog_text_limit is cut with a note.
void show_narrow_error_dialog(const char *text, const char *caption);
void show_wide_error_dialog(const wchar_t *text, const wchar_t *caption);
