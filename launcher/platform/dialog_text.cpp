#include "dialog_text.h"

#include <stdlib.h>
#include <string.h>

const char dialog_text_cut_note[] = "\n\n[The text is cut here; standard error holds all of it.]";

namespace {

constexpr unsigned long replacement = 0xFFFD;

struct Output {
  char *data;
  size_t used;
  size_t room; // bytes for characters, before the note and the terminator
  bool cut;
};

// Appends one code point; false once the text no longer fits.
bool put(Output &out, unsigned long code) {
  char bytes[4];
  size_t length;
  if (code < 0x80) {
    bytes[0] = static_cast<char>(code);
    length = 1;
  } else if (code < 0x800) {
    bytes[0] = static_cast<char>(0xC0 | (code >> 6));
    bytes[1] = static_cast<char>(0x80 | (code & 0x3F));
    length = 2;
  } else if (code < 0x10000) {
    bytes[0] = static_cast<char>(0xE0 | (code >> 12));
    bytes[1] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    bytes[2] = static_cast<char>(0x80 | (code & 0x3F));
    length = 3;
  } else {
    bytes[0] = static_cast<char>(0xF0 | (code >> 18));
    bytes[1] = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    bytes[2] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    bytes[3] = static_cast<char>(0x80 | (code & 0x3F));
    length = 4;
  }
  if (out.used + length > out.room) {
    out.cut = true;
    return false;
  }
  memcpy(out.data + out.used, bytes, length);
  out.used += length;
  return true;
}

bool start(Output &out, size_t limit) {
  size_t reserved = sizeof dialog_text_cut_note; // note and terminator
  if (limit < reserved)
    return false;
  out = Output{static_cast<char *>(malloc(limit)), 0, limit - reserved, false};
  return out.data != nullptr;
}

char *finish(Output &out) {
  if (out.cut) {
    memcpy(out.data + out.used, dialog_text_cut_note, sizeof dialog_text_cut_note);
  } else {
    out.data[out.used] = '\0';
  }
  return out.data;
}

bool is_surrogate_or_beyond(unsigned long code) {
  return (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF;
}

// The code point of the well-formed UTF-8 sequence at text, advancing text
// past it; U+FFFD for a byte that starts none, advancing one byte.
unsigned long next_code(const unsigned char *&text) {
  unsigned char lead = text[0];
  unsigned long code;
  size_t length;
  unsigned long smallest;
  if (lead < 0x80) {
    ++text;
    return lead;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    code = lead & 0x1F, length = 2, smallest = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    code = lead & 0x0F, length = 3, smallest = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    code = lead & 0x07, length = 4, smallest = 0x10000;
  } else {
    ++text;
    return replacement;
  }
  for (size_t i = 1; i < length; ++i) {
    if ((text[i] & 0xC0) != 0x80) { // also stops at the terminator
      ++text;
      return replacement;
    }
    code = (code << 6) | (text[i] & 0x3F);
  }
  if (code < smallest || is_surrogate_or_beyond(code)) {
    ++text;
    return replacement;
  }
  text += length;
  return code;
}

} // namespace

char *dialog_text_from_narrow(const char *text, size_t limit) {
  Output out;
  if (text == nullptr || !start(out, limit))
    return nullptr;
  const auto *bytes = reinterpret_cast<const unsigned char *>(text);
  while (*bytes != '\0' && put(out, next_code(bytes))) {
  }
  return finish(out);
}

char *dialog_text_from_wide(const wchar_t *text, size_t limit) {
  Output out;
  if (text == nullptr || !start(out, limit))
    return nullptr;
  for (; *text != L'\0'; ++text) {
    auto code = static_cast<unsigned long>(*text);
    if (!put(out, is_surrogate_or_beyond(code) ? replacement : code))
      break;
  }
  return finish(out);
}
