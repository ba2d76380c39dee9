#include "utf8.h"

size_t utf8_encode(unsigned long code, unsigned char *out) {
  if (code < 0x80) {
    out[0] = static_cast<unsigned char>(code);
    return 1;
  }
  if (code < 0x800) {
    out[0] = static_cast<unsigned char>(0xC0 | (code >> 6));
    out[1] = static_cast<unsigned char>(0x80 | (code & 0x3F));
    return 2;
  }
  if (code < 0x10000) {
    out[0] = static_cast<unsigned char>(0xE0 | (code >> 12));
    out[1] = static_cast<unsigned char>(0x80 | ((code >> 6) & 0x3F));
    out[2] = static_cast<unsigned char>(0x80 | (code & 0x3F));
    return 3;
  }
  out[0] = static_cast<unsigned char>(0xF0 | (code >> 18));
  out[1] = static_cast<unsigned char>(0x80 | ((code >> 12) & 0x3F));
  out[2] = static_cast<unsigned char>(0x80 | ((code >> 6) & 0x3F));
  out[3] = static_cast<unsigned char>(0x80 | (code & 0x3F));
  return 4;
}

size_t utf8_decode(const unsigned char *text, size_t length, unsigned long *code) {
  if (length == 0)
    return 0;
  const unsigned lead = text[0];
  if (lead < 0x80) {
    *code = lead;
    return 1;
  }
  // The lead byte fixes the length and the range of the second byte, which
  // is what rules out overlong forms, surrogates and values past U+10FFFF.
  size_t size;
  unsigned low = 0x80, high = 0xBF;
  unsigned long value;
  if (lead >= 0xC2 && lead <= 0xDF) {
    size = 2, value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    size = 3, value = lead & 0x0F;
    low = lead == 0xE0 ? 0xA0 : 0x80;
    high = lead == 0xED ? 0x9F : 0xBF;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    size = 4, value = lead & 0x07;
    low = lead == 0xF0 ? 0x90 : 0x80;
    high = lead == 0xF4 ? 0x8F : 0xBF;
  } else {
    return 0;
  }
  if (length < size || text[1] < low || text[1] > high)
    return 0;
  for (size_t i = 1; i < size; ++i) {
    if ((text[i] & 0xC0) != 0x80)
      return 0;
    value = (value << 6) | (text[i] & 0x3F);
  }
  *code = value;
  return size;
}
