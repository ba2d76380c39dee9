// The graphical form of the launcher's error boxes on POSIX desktops: a modal
// GTK 3 dialog, loaded only when it is shown, so that the program has no
// link-time dependency on GTK and runs unchanged where there is none.
#pragma once

#include <wchar.h>

// Shows caption and text in a modal error dialog with one OK button and
// returns when the user closes it. Does nothing, at once, when neither
// DISPLAY nor WAYLAND_DISPLAY names a graphical session or when GTK 3 cannot
// be loaded or cannot open the display. A null caption reads "Error".
// Bytes that are not UTF-8 are shown as U+FFFD; GTK writes nothing to the
// process's standard error.
void show_narrow_error_dialog(const char *text, const char *caption);
void show_wide_error_dialog(const wchar_t *text, const wchar_t *caption);
