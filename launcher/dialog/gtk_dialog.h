// The error box as a modal GTK 3 dialog, GTK loaded only when it is shown.
#pragma once

// Seconds that opening the display may take before the program gives up.
constexpr unsigned connect_timeout_seconds = 5;

// Shows caption (as title and heading) and text (literally, scrolled when
// long) in a modal error dialog with one OK button, and returns when the user
// closes it; at once when GTK 3 cannot be loaded or cannot open the display.
// Both texts must be valid UTF-8. A display that does not answer within
// connect_timeout_seconds ends the process (SIGALRM).
void show_gtk_dialog(const char *caption, const char *text);
