// The end-of-archive check on archives built byte by byte: only the parts
// that the check reads are real (the end record and the signature at the
// start of the central directory); entries and their data are filler.
#include <gtest/gtest.h>

#include <stdio.h>

#include <string>

#include "library_archive.h"

namespace {

constexpr size_t entry_size = 46; // a central directory entry without a name

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

std::string directory_entry() {
  return std::string("PK\1\2", 4) + std::string(entry_size - 4, 'e');
}

// data, then a central directory of one entry, then the end record.
std::string one_entry_archive(const std::string &data, uint32_t offset_of_directory,
                              const std::string &comment = "") {
  return data + directory_entry() + end_record(1, entry_size, offset_of_directory, comment);
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

TEST(LibraryArchive, ReadsTheEndRecordAsTheImporterDoes) {
  const std::string data(100, 'd');
  const std::string sound = one_entry_archive(data, 100);
  const std::string false_record = "PK\5\6" + std::string(20, 'c');
  // clang-format off
  const Case cases[] = {
      {"no entries", end_record(0, 0, 0), true},
      {"one entry", sound, true},
      {"data in front of the archive", std::string(7, 'x') + sound, true},
      {"a trailing comment", one_entry_archive(data, 100, "note"), true},
      // The last signature counts, as for the importer, even inside a comment.
      {"a comment that holds a false record", one_entry_archive(data, 100, false_record), false},
      {"a comment that ends in a signature", one_entry_archive(data, 100, "PK\5\6 !"), false},
      {"empty file", "", false},
      {"shorter than an end record", sound.substr(sound.size() - 21), false},
      {"cut short", sound.substr(0, sound.size() - 10), false},
      {"no end record", data + directory_entry(), false},
      {"the end record alone", sound.substr(sound.size() - 22), false},
      {"directory larger than what precedes it", data + end_record(1, 200, 0), false},
      {"directory offset beyond the directory", one_entry_archive(data, 101), false},
      {"no entry where the directory starts", data + std::string(entry_size, 'e') +
                                                  end_record(1, entry_size, 100), false},
      {"no entries but a directory", data + end_record(0, 4, 96), false},
  };
  // clang-format on
  for (const Case &c : cases)
    EXPECT_EQ(intact(c.bytes), c.intact) << c.name;
}

} // namespace
