// Reads a zip archive's end record and central directory the way the
// interpreter's importer does, and refuses a directory that the importer
// would give up on or read only in part, and entries whose data cannot be
// where they say: the interpreter would die without its standard library.
#include "library_archive.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "platform/utf8.h"

namespace {

constexpr long end_record_size = 22;
constexpr long longest_comment = 0xFFFF;
constexpr size_t entry_size = 46;        // a directory entry before its name
constexpr size_t local_header_size = 30; // a local header before its name
constexpr uint32_t utf8_name_flag = 0x800;
constexpr unsigned char end_signature[] = {'P', 'K', 5, 6};
constexpr unsigned char entry_signature[] = {'P', 'K', 1, 2};

uint32_t read_le(const unsigned char *bytes, int count) {
  uint32_t value = 0;
  for (int i = count - 1; i >= 0; --i)
    value = (value << 8) | bytes[i];
  return value;
}

bool read_at(FILE *file, long position, unsigned char *buffer, size_t size) {
  return fseek(file, position, SEEK_SET) == 0 && fread(buffer, 1, size, file) == size;
}

// Position of the end record, copied into record: a signature at the very
// end of the file, else the last one in its final 64 KiB and 22 bytes (the
// most that a trailing comment and the record occupy) when a whole record
// follows it; -1 when there is none.
long find_end_record(FILE *file, long file_size, unsigned char *record) {
  const long tail_size =
      file_size < end_record_size + longest_comment ? file_size : end_record_size + longest_comment;
  auto *tail = static_cast<unsigned char *>(malloc(static_cast<size_t>(tail_size)));
  if (tail == nullptr)
    return -1;
  long found = -1;
  if (read_at(file, file_size - tail_size, tail, static_cast<size_t>(tail_size))) {
    found = tail_size - end_record_size;
    if (memcmp(tail + found, end_signature, sizeof end_signature) != 0)
      for (found = tail_size - static_cast<long>(sizeof end_signature); found >= 0; --found)
        if (memcmp(tail + found, end_signature, sizeof end_signature) == 0)
          break;
    // The importer takes the last signature even when no whole record
    // follows it, and then gives up.
    if (found >= 0 && tail_size - found >= end_record_size)
      memcpy(record, tail + found, end_record_size);
    else
      found = -1;
  }
  free(tail);
  return found >= 0 ? file_size - tail_size + found : -1;
}

bool is_utf8(const unsigned char *text, size_t length) {
  for (size_t at = 0; at < length;) {
    unsigned long code;
    const size_t used = utf8_decode(text + at, length - at, &code);
    if (used == 0)
      return false;
    at += used;
  }
  return true;
}

// True when directory (size bytes) is exactly entries whole entries, each
// of which the importer takes: its signature, its name, extra field and
// comment inside the directory, a name flagged as UTF-8 that is UTF-8, and
// its local header and data before the directory's recorded offset.
bool entries_are_intact(const unsigned char *directory, size_t size, uint32_t entries,
                        uint32_t directory_offset) {
  size_t at = 0;
  for (uint32_t i = 0; i < entries; ++i) {
    const unsigned char *entry = directory + at;
    if (size - at < entry_size || memcmp(entry, entry_signature, sizeof entry_signature) != 0)
      return false;
    const uint32_t flags = read_le(entry + 8, 2);
    const uint64_t compressed_size = read_le(entry + 20, 4);
    const size_t name_size = read_le(entry + 28, 2);
    const size_t variable_size = name_size + read_le(entry + 30, 2) + read_le(entry + 32, 2);
    const uint64_t local_header = read_le(entry + 42, 4);
    if (size - at - entry_size < variable_size)
      return false;
    if (local_header + local_header_size + compressed_size > directory_offset)
      return false;
    if ((flags & utf8_name_flag) != 0 && !is_utf8(entry + entry_size, name_size))
      return false;
    at += entry_size + variable_size;
  }
  return at == size;
}

} // namespace

bool archive_is_intact(FILE *archive) {
  if (fseek(archive, 0, SEEK_END) != 0)
    return false;
  const long file_size = ftell(archive);
  if (file_size < end_record_size)
    return false;
  unsigned char record[end_record_size];
  const long end_record = find_end_record(archive, file_size, record);
  if (end_record < 0)
    return false;
  const uint32_t entries = read_le(record + 10, 2);
  const uint32_t directory_size = read_le(record + 12, 4);
  const uint32_t directory_offset = read_le(record + 16, 4);
  // The directory ends where the record begins; data may precede the
  // archive, so its offset only has to fit in front of it.
  if (directory_size > static_cast<unsigned long>(end_record))
    return false;
  const long directory_start = end_record - static_cast<long>(directory_size);
  if (directory_offset > static_cast<unsigned long>(directory_start))
    return false;
  if (directory_size == 0)
    return entries == 0;
  auto *directory = static_cast<unsigned char *>(malloc(directory_size));
  if (directory == nullptr)
    return false;
  const bool intact = read_at(archive, directory_start, directory, directory_size) &&
                      entries_are_intact(directory, directory_size, entries, directory_offset);
  free(directory);
  return intact;
}
