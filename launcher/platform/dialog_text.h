// Texts for the graphical error dialog: GTK takes nothing but valid UTF-8,
// and a label of megabytes would make the dialog unusable.
#pragma once

#include <stddef.h>
#include <wchar.h>

// Longest dialog text in bytes, the note on a cut text included.
constexpr size_t dialog_text_limit = 65536;

// Appended to a text that was cut to the limit.
extern const char dialog_text_cut_note[];

// A newly malloc'd, terminated copy of text as valid UTF-8, at most limit
// bytes with its terminator: every byte that does not belong to a well-formed
// UTF-8 sequence becomes U+FFFD (narrow), and so does every surrogate,
// including the interpreter's escaped bytes U+DC80..U+DCFF, and every value
// beyond U+10FFFF (wide). A text too long is cut at a character boundary and
// ends with dialog_text_cut_note. Null on a null text or when out of memory.
char *dialog_text_from_narrow(const char *text, size_t limit);
char *dialog_text_from_wide(const wchar_t *text, size_t limit);
