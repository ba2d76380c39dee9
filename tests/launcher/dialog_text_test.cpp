// The dialog's texts: always valid UTF-8, never longer than asked.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>

#include "platform/dialog_text.h"

namespace {

std::string taken(char *text) {
  std::string copy = text != nullptr ? text : "<null>";
  free(text);
  return copy;
}

const std::string fffd = "\xEF\xBF\xBD";

struct NarrowCase {
  const char *name;
  const char *text;
  std::string expected;
};

// clang-format off
const NarrowCase narrow_cases[] = {
    {"ASCII and markup unchanged", "<b>a & b</b>\n\tc", "<b>a & b</b>\n\tc"},
    {"two-, three-, four-byte sequences", "\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80", "\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80"},
    {"stray continuation byte", "a\x80" "b", "a" + fffd + "b"},
    {"byte never in UTF-8", "\xFF\xFE", fffd + fffd},
    {"overlong encoding of /", "\xC0\xAF", fffd + fffd},
    {"overlong three-byte form", "\xE0\x80\xAF", fffd + fffd + fffd},
    {"encoded surrogate", "\xED\xA0\x80", fffd + fffd + fffd},
    {"beyond U+10FFFF", "\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},
    {"sequence cut by the end", "ab\xE6\x97", "ab" + fffd + fffd},
    {"sequence cut by ASCII", "\xE6\x97z", fffd + fffd + "z"},
};
// clang-format on

TEST(DialogText, NarrowBecomesValidUtf8) {
  for (const NarrowCase &c : narrow_cases)
    EXPECT_EQ(c.expected, taken(dialog_text_from_narrow(c.text, 4096))) << c.name;
}

struct WideCase {
  const char *name;
  const wchar_t *text;
  std::string expected;
};

// clang-format off
const WideCase wide_cases[] = {
    {"every length of sequence", L"a\u00E9\u65E5\U0001F600", "a\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80"},
    {"escaped undecodable bytes", L"x\xDC80\xDCFFy", "x" + fffd + fffd + "y"},
    {"lone surrogate", L"\xD800", fffd},
    {"beyond U+10FFFF", L"\x110000", fffd},
    {"empty", L"", ""},
};
// clang-format on

TEST(DialogText, WideBecomesValidUtf8) {
  for (const WideCase &c : wide_cases)
    EXPECT_EQ(c.expected, taken(dialog_text_from_wide(c.text, 4096))) << c.name;
}

TEST(DialogText, LongTextIsCutAtACharacterWithANote) {
  const size_t limit = 200;
  std::wstring wide(1000, L'\u00E9'); // two bytes each
  std::string narrow(1000, 'x');
  for (const std::string &text : {taken(dialog_text_from_wide(wide.c_str(), limit)),
                                  taken(dialog_text_from_narrow(narrow.c_str(), limit))}) {
    ASSERT_LE(text.size() + 1, limit);
    const size_t note = strlen(dialog_text_cut_note);
    ASSERT_GT(text.size(), note);
    EXPECT_EQ(dialog_text_cut_note, text.substr(text.size() - note));
    std::string kept = text.substr(0, text.size() - note);
    EXPECT_GE(kept.size() + note + 3, limit - 1) << "cut far shorter than the limit";
    if (kept[0] == 'x')
      EXPECT_EQ(std::string(kept.size(), 'x'), kept);
    else
      EXPECT_EQ(0u, kept.size() % 2) << "cut inside a character";
  }
}

TEST(DialogText, TextThatFitsExactlyIsNotCut) {
  const size_t limit = 200;
  std::string exact(limit - strlen(dialog_text_cut_note) - 1, 'y');
  EXPECT_EQ(exact, taken(dialog_text_from_narrow(exact.c_str(), limit)));
  EXPECT_EQ("<null>", taken(dialog_text_from_narrow(nullptr, limit)));
  EXPECT_EQ("<null>", taken(dialog_text_from_narrow("a", 3))) << "limit below the note";
}

} // namespace
