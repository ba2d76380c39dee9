#include "dialog_text.h"

#include <stdlib.h>
#include <string.h>

#include "utf8.h"

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
  unsigned char bytes[4];
  const size_t length = utf8_encode(code, bytes);
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

} // namespace

char *dialog_text_from_narrow(const char *text, size_t limit) {
  Output out;
  if (text == nullptr || !start(out, limit))
    return nullptr;
  const auto *bytes = reinterpret_cast<const unsigned char *>(text);
  const size_t length = strlen(text);
  for (size_t at = 0; at < length;) {
    unsigned long code;
    size_t used = utf8_decode(bytes + at, length - at, &code);
    if (used == 0) {
      code = replacement;
      used = 1;
    }
    if (!put(out, code))
      break;
    at += used;
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
