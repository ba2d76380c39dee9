// Locates the end-of-archive record of a zip archive the way the
// interpreter's importer does: the last signature in the final 64 KiB and
// 22 bytes of the file, the most that a trailing comment and the record
// occupy.
#include "library_archive.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

namespace {

constexpr long end_record_size = 22;
constexpr long longest_comment = 0xFFFF;
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

// Position of the end-of-archive record: the last signature in the tail of
// the file, when a whole record follows it; else -1.
long find_end_record(FILE *file, long file_size) {
  const long tail_size =
      file_size < end_record_size + longest_comment ? file_size : end_record_size + longest_comment;
  auto *tail = static_cast<unsigned char *>(malloc(static_cast<size_t>(tail_size)));
  if (tail == nullptr)
    return -1;
  long found = -1;
  if (read_at(file, file_size - tail_size, tail, static_cast<size_t>(tail_size)))
    for (long at = tail_size - static_cast<long>(sizeof end_signature); at >= 0 && found < 0; --at)
      if (memcmp(tail + at, end_signature, sizeof end_signature) == 0)
        found = file_size - tail_size + at;
  free(tail);
  // The importer takes the last signature even when no whole record
  // follows it, and then gives up.
  return found >= 0 && file_size - found >= end_record_size ? found : -1;
}

} // namespace

bool archive_is_intact(FILE *archive) {
  if (fseek(archive, 0, SEEK_END) != 0)
    return false;
  const long file_size = ftell(archive);
  if (file_size < end_record_size)
    return false;
  const long end_record = find_end_record(archive, file_size);
  unsigned char record[end_record_size];
  if (end_record < 0 || !read_at(archive, end_record, record, sizeof record))
    return false;
  const uint32_t entries = read_le(record + 10, 2);
  const uint32_t directory_size = read_le(record + 12, 4);
  const uint32_t directory_offset = read_le(record + 16, 4);
  // The directory ends where the record begins; data may precede the
  // archive, so its offset only has to fit in front of it.
  const long directory_start = end_record - static_cast<long>(directory_size);
  if (directory_start < 0 || static_cast<long>(directory_offset) > directory_start)
    return false;
  if (entries == 0)
    return directory_size == 0;
  unsigned char signature[sizeof entry_signature];
  return read_at(archive, directory_start, signature, sizeof signature) &&
         memcmp(signature, entry_signature, sizeof signature) == 0;
}
