// The runtime archive check on archives built byte by byte: only what the
// check reads is real (the end record and the central directory's entries);
// local headers and file data are filler.
#include <gtest/gtest.h>

#include <stdio.h>

#include <functional>
#include <string>
#include <vector>

#include "library_archive.h"

namespace {

std::string le(uint32_t value, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; ++i)
    out += static_cast<char>((value >> (8 * i)) & 0xFF);
  return out;
}

std::string end_record(uint32_t entries, uint32_t directory_size, uint32_t directory_offset,
                       const std::string &comment = "") {
  return std::string("PK\5\6", 4) + le(0, 4) + le(entries, 2) + le(entries, 2) +
         le(directory_size, 4) + le(directory_offset, 4) +
         le(static_cast<uint32_t>(comment.size()), 2) + comment;
}

// A central directory entry; the recorded lengths are the fields' own
// unless set.
struct Entry {
  std::string signature{"PK\1\2", 4};
  uint16_t flags = 0;
  uint32_t compressed_size = 10;
  uint32_t local_header = 0;
  std::string name = "m.pyc";
  std::string extra;
  std::string comment;
  int name_size = -1;
  int extra_size = -1;
  int comment_size = -1;
};

uint32_t recorded(int size, const std::string &field) {
  return static_cast<uint32_t>(size >= 0 ? static_cast<size_t>(size) : field.size());
}

std::string bytes_of(const Entry &e) {
  return e.signature + le(20, 2) + le(20, 2) + le(e.flags, 2) + le(8, 2) + le(0, 4) + le(0, 4) +
         le(e.compressed_size, 4) + le(40, 4) + le(recorded(e.name_size, e.name), 2) +
         le(recorded(e.extra_size, e.extra), 2) + le(recorded(e.comment_size, e.comment), 2) +
         le(0, 2) + le(0, 2) + le(0, 4) + le(e.local_header, 4) + e.name + e.extra + e.comment;
}

Entry entry(const std::function<void(Entry &)> &change) {
  Entry e;
  change(e);
  return e;
}

const std::string data(100, 'd'); // where local headers and file data would be

// data, then a central directory of entries, then the end record, which
// counts entries.size() entries unless counted is set.
std::string archive(const std::vector<Entry> &entries, int counted = -1) {
  std::string directory;
  for (const Entry &e : entries)
    directory += bytes_of(e);
  const auto count = static_cast<uint32_t>(counted >= 0 ? counted : entries.size());
  return data + directory +
         end_record(count, static_cast<uint32_t>(directory.size()),
                    static_cast<uint32_t>(data.size()));
}

bool intact(const std::string &bytes) {
  FILE *file = tmpfile();
  EXPECT_NE(file, nullptr);
  if (file == nullptr)
    return false;
  fwrite(bytes.data(), 1, bytes.size(), file);
  fflush(file);
  const bool result = archive_is_intact(file);
  fclose(file);
  return result;
}

struct Case {
  const char *name;
  std::string bytes;
  bool intact;
};

void check(const std::vector<Case> &cases) {
  for (const Case &c : cases)
    EXPECT_EQ(intact(c.bytes), c.intact) << c.name;
}

TEST(LibraryArchive, FindsTheEndRecordAsTheImporterDoes) {
  const Entry one;
  const std::string directory = bytes_of(one);
  const auto size = static_cast<uint32_t>(directory.size());
  const std::string sound = archive({one});
  const std::string false_record = "PK\5\6" + std::string(20, 'c');
  // clang-format off
  check({
      {"no entries", end_record(0, 0, 0), true},
      {"one entry", sound, true},
      {"data in front of the archive", std::string(7, 'x') + sound, true},
      {"a trailing comment", data + directory + end_record(1, size, 100, "note"), true},
      // The last signature counts, as for the importer, even inside a comment.
      {"a comment that holds a false record",
       data + directory + end_record(1, size, 100, false_record), false},
      {"a comment that ends in a signature",
       data + directory + end_record(1, size, 100, "PK\5\6 !"), false},
      {"empty file", "", false},
      {"shorter than an end record", sound.substr(sound.size() - 21), false},
      {"cut short", sound.substr(0, sound.size() - 10), false},
      {"no end record", data + directory, false},
      {"the end record alone", sound.substr(sound.size() - 22), false},
      {"directory larger than what precedes it", data + end_record(1, 200, 0), false},
      {"directory offset beyond the directory", data + directory + end_record(1, size, 101), false},
      {"no entry where the directory starts",
       data + std::string(size, 'e') + end_record(1, size, 100), false},
      {"no entries but a directory", data + end_record(0, 4, 96), false},
  });
  // clang-format on
}

TEST(LibraryArchive, ReadsEveryEntryOfTheCentralDirectory) {
  const Entry one;
  const Entry other = entry([](Entry &e) { e.name = "pkg/__init__.pyc"; });
  const Entry full = entry([](Entry &e) {
    e.extra = std::string("UT\5\0\1abcd", 9);
    e.comment = "a note";
  });
  const auto grown = [](int Entry::*field) {
    return entry([field](Entry &e) { e.*field = 0xFFFF; });
  };
  // clang-format off
  check({
      {"entries with extra fields and comments", archive({one, full, other}), true},
      {"a name flagged as UTF-8 that is", archive({entry([](Entry &e) {
           e.flags = 0x800; e.name = "caf\xC3\xA9.pyc"; })}), true},
      {"a name not flagged as UTF-8 is read as code page 437",
       archive({entry([](Entry &e) { e.name = "caf\xE9.pyc"; })}), true},
      {"an entry's data ending where the directory starts",
       archive({entry([](Entry &e) { e.local_header = 60; })}), true},
      {"fewer entries than the end record counts", archive({one, other}, 3), false},
      {"more entries than the end record counts", archive({one, other}, 1), false},
      {"an entry without its signature in the middle",
       archive({one, entry([](Entry &e) { e.signature = "PK\1\3"; }), other}), false},
      {"a name running past the directory", archive({one, grown(&Entry::name_size)}), false},
      {"an extra field running past the directory", archive({one, grown(&Entry::extra_size)}), false},
      {"a comment running past the directory", archive({one, grown(&Entry::comment_size)}), false},
      {"a name one byte longer than recorded", archive({entry([](Entry &e) {
           e.name_size = 6; }), one}), false},
      {"the last entry cut short by the end record",
       data + bytes_of(one) + bytes_of(other).substr(0, 40) + end_record(2, 91, 100), false},
      {"a local header past the directory's offset",
       archive({one, entry([](Entry &e) { e.local_header = 101; })}), false},
      {"an entry's data running into the directory",
       archive({entry([](Entry &e) { e.compressed_size = 71; })}), false},
      {"a name flagged as UTF-8 that is not", archive({entry([](Entry &e) {
           e.flags = 0x800; e.name = "caf\xE9.pyc"; })}), false},
  });
  // clang-format on
}

} // namespace
