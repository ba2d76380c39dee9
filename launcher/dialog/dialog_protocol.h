// How the launcher hands an error box to the dialog program on the program's
// standard input: the caption, then the text, each as its length in bytes
// (uint32_t, in the machine's byte order) followed by that many bytes of
// valid UTF-8, without a terminator. The launcher keeps its end open until
// the dialog program has ended.
#pragma once

#include <stddef.h>

// The dialog program's file name, beside the launcher.
constexpr char dialog_program_name[] = "quorvel-dialog";

// Each record is shorter than its limit (dialog_text_limit for the text).
constexpr size_t dialog_caption_limit = 1024;
