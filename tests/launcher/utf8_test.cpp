// The launcher's UTF-8 codec against the rules the interpreter decodes by.
#include <gtest/gtest.h>

#include <string>

#include "platform/utf8.h"

namespace {

std::string encoded(unsigned long code) {
  unsigned char bytes[4];
  return std::string(reinterpret_cast<char *>(bytes), utf8_encode(code, bytes));
}

struct DecodeCase {
  const char *name;
  std::string bytes;
  size_t used; // 0: no well-formed sequence at the start
  unsigned long code;
};

// clang-format off
const DecodeCase decode_cases[] = {
    {"ASCII, rest ignored", "az", 1, 'a'},
    {"NUL", std::string(1, '\0'), 1, 0},
    {"smallest two-byte", "\xC2\x80", 2, 0x80},
    {"largest two-byte", "\xDF\xBF", 2, 0x7FF},
    {"smallest three-byte", "\xE0\xA0\x80", 3, 0x800},
    {"last before the surrogates", "\xED\x9F\xBF", 3, 0xD7FF},
    {"first after the surrogates", "\xEE\x80\x80", 3, 0xE000},
    {"largest three-byte", "\xEF\xBF\xBF", 3, 0xFFFF},
    {"smallest four-byte", "\xF0\x90\x80\x80", 4, 0x10000},
    {"largest code point", "\xF4\x8F\xBF\xBF", 4, 0x10FFFF},
    {"empty", "", 0, 0},
    {"stray continuation byte", "\x80", 0, 0},
    {"overlong two-byte lead", "\xC1\xBF", 0, 0},
    {"overlong three-byte form", "\xE0\x9F\xBF", 0, 0},
    {"overlong four-byte form", "\xF0\x8F\xBF\xBF", 0, 0},
    {"encoded surrogate", "\xED\xA0\x80", 0, 0},
    {"beyond U+10FFFF", "\xF4\x90\x80\x80", 0, 0},
    {"lead never in UTF-8", "\xF5\x80\x80\x80", 0, 0},
    {"byte never in UTF-8", "\xFF", 0, 0},
    {"cut by the end", "\xE6\x97", 0, 0},
    {"cut by ASCII", "\xE6\x97z", 0, 0},
    {"cut by a lead byte", "\xF0\x9F\xC3\xA9", 0, 0},
};
// clang-format on

TEST(Utf8, DecodesWellFormedSequencesOnly) {
  for (const DecodeCase &c : decode_cases) {
    unsigned long code = 0;
    const auto *text = reinterpret_cast<const unsigned char *>(c.bytes.data());
    EXPECT_EQ(c.used, utf8_decode(text, c.bytes.size(), &code)) << c.name;
    if (c.used != 0) {
      EXPECT_EQ(c.code, code) << c.name;
    }
  }
}

TEST(Utf8, EncodesEachLengthAtItsBounds) {
  EXPECT_EQ("\x7F", encoded(0x7F));
  EXPECT_EQ("\xC2\x80", encoded(0x80));
  EXPECT_EQ("\xDF\xBF", encoded(0x7FF));
  EXPECT_EQ("\xE0\xA0\x80", encoded(0x800));
  EXPECT_EQ("\xEF\xBF\xBF", encoded(0xFFFF));
  EXPECT_EQ("\xF0\x90\x80\x80", encoded(0x10000));
  EXPECT_EQ("\xF4\x8F\xBF\xBF", encoded(0x10FFFF));
  EXPECT_EQ("\xED\xA0\x80", encoded(0xD800)) << "a surrogate keeps its three bytes";
}

// Every code point comes back whole from its own bytes, and read from a
// buffer one byte short it is refused; no surrogate's bytes are read.
TEST(Utf8, EveryCodePointRoundTrips) {
  for (unsigned long code = 0; code <= 0x10FFFF; ++code) {
    unsigned char bytes[4];
    const size_t length = utf8_encode(code, bytes);
    unsigned long back = ~0UL;
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    ASSERT_EQ(surrogate ? 0 : length, utf8_decode(bytes, length, &back)) << std::hex << code;
    if (!surrogate) {
      ASSERT_EQ(code, back) << std::hex << code;
    }
    ASSERT_EQ(0u, utf8_decode(bytes, length - 1, &back)) << std::hex << code;
  }
}

} // namespace
