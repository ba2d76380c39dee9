// UTF-8 as the interpreter reads and writes it: the one codec behind file
// names, box and dialog texts and the names in the runtime archive.
#pragma once

#include <stddef.h>

// The UTF-8 form of code into out (room for 4 bytes); returns its length.
// Any code below 0x200000 has a form: a surrogate gets its three bytes, so
// a caller that must not write one replaces or refuses it first.
size_t utf8_encode(unsigned long code, unsigned char *out);

// The well-formed sequence at the start of text (length bytes) into *code:
// no overlong form, no surrogate, nothing beyond U+10FFFF. Returns the bytes
// it takes, or 0 when text starts with no such sequence.
size_t utf8_decode(const unsigned char *text, size_t length, unsigned long *code);
