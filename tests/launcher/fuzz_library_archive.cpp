// The runtime archive check on arbitrary bytes and on a sound archive with
// bytes overwritten: whatever it accepts, the importer reads whole. The
// importer's reading of the end record and the central directory is
// followed here step by step, on its own, and must read every entry that
// the end record counts without giving up anywhere.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "library_archive.h"

namespace {

void check(bool condition) {
  if (!condition)
    std::abort();
}

std::uint32_t u16(const std::uint8_t *bytes) { return bytes[0] | bytes[1] << 8; }

std::uint32_t u32(const std::uint8_t *bytes) {
  return u16(bytes) | static_cast<std::uint32_t>(u16(bytes + 2)) << 16;
}

// The strict UTF-8 decoder's verdict: the value of each sequence must need
// its length and be no surrogate and at most U+10FFFF.
bool decodes_as_utf8(const std::uint8_t *text, std::size_t length) {
  for (std::size_t at = 0; at < length;) {
    const std::uint8_t lead = text[at];
    std::size_t size = lead < 0x80       ? 1
                       : lead >> 5 == 6  ? 2
                       : lead >> 4 == 14 ? 3
                       : lead >> 3 == 30 ? 4
                                         : 0;
    if (size == 0 || length - at < size)
      return false;
    std::uint32_t value = size == 1 ? lead : lead & (0x7F >> size);
    for (std::size_t i = 1; i < size; ++i) {
      if (text[at + i] >> 6 != 2)
        return false;
      value = value << 6 | (text[at + i] & 0x3F);
    }
    const std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < smallest[size] || (value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF)
      return false;
    at += size;
  }
  return true;
}

// The entries that the importer reads from file, or -1 where it raises;
// *counted is what the end record says.
long importer_entries(const std::vector<std::uint8_t> &file, std::uint32_t *counted) {
  const std::size_t size = file.size();
  if (size < 22)
    return -1;
  std::size_t header_position = size - 22;
  if (std::memcmp(&file[header_position], "PK\5\6", 4) != 0) {
    const std::size_t first = size > 0xFFFF + 22 ? size - 0xFFFF - 22 : 0;
    std::size_t found = size;
    for (std::size_t at = size - 4 + 1; at-- > first;)
      if (std::memcmp(&file[at], "PK\5\6", 4) == 0) {
        found = at;
        break;
      }
    if (found == size || size - found < 22)
      return -1;
    header_position = found;
  }
  const std::uint8_t *record = &file[header_position];
  *counted = u16(record + 10);
  const std::uint32_t header_size = u32(record + 12);
  const std::uint32_t header_offset = u32(record + 16);
  if (header_position < header_size || header_position < header_offset)
    return -1;
  header_position -= header_size;
  if (header_position < header_offset)
    return -1;
  long count = 0;
  for (std::size_t at = header_position;; ++count) {
    const std::size_t left = at < size ? size - at : 0;
    if (left < 4)
      return -1;
    if (std::memcmp(&file[at], "PK\1\2", 4) != 0)
      return count;
    if (left < 46)
      return -1;
    const std::uint8_t *entry = &file[at];
    const std::uint32_t name_size = u16(entry + 28);
    const std::uint32_t rest_size = u16(entry + 30) + u16(entry + 32);
    if (u32(entry + 42) > header_offset || left - 46 < name_size + rest_size)
      return -1;
    if ((u16(entry + 8) & 0x800) != 0 && !decodes_as_utf8(entry + 46, name_size))
      return -1;
    at += 46 + name_size + rest_size;
  }
}

std::string le(std::uint64_t value, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; ++i)
    out += static_cast<char>(value >> (8 * i) & 0xFF);
  return out;
}

// A small sound archive behind a prefix and before a comment: local
// headers and data are filler, the directory is real.
std::vector<std::uint8_t> sound_archive() {
  const char *names[] = {"encodings/__init__.pyc", "caf\xC3\xA9.pyc", "traceback.pyc"};
  const std::string prefix = "#!prefix\n";
  std::string data, directory;
  std::uint32_t flags = 0;
  for (const char *name : names) {
    const std::uint32_t local_header = static_cast<std::uint32_t>(data.size());
    const std::string extra = "UT" + le(5, 2) + "\1abcd";
    data += "PK\3\4" + std::string(26 + std::strlen(name) + 12, 'd');
    directory += "PK\1\2" + le(20, 2) + le(20, 2) + le(flags, 2) + le(8, 2) + le(0, 8) + le(12, 4) +
                 le(40, 4) + le(static_cast<std::uint32_t>(std::strlen(name)), 2) +
                 le(static_cast<std::uint32_t>(extra.size()), 2) + le(4, 2) + le(0, 8) +
                 le(local_header, 4) + name + extra + "note";
    flags ^= 0x800;
  }
  const std::string archive = prefix + data + directory + "PK\5\6" + le(0, 4) + le(3, 2) +
                              le(3, 2) + le(static_cast<std::uint32_t>(directory.size()), 4) +
                              le(static_cast<std::uint32_t>(data.size()), 4) + le(7, 2) + "comment";
  return {archive.begin(), archive.end()};
}

bool accepted(std::vector<std::uint8_t> file) {
  if (file.empty())
    file.push_back(0); // fmemopen takes no empty buffer; one byte is refused alike
  FILE *stream = fmemopen(file.data(), file.size(), "rb");
  check(stream != nullptr);
  const bool intact = archive_is_intact(stream);
  std::fclose(stream);
  return intact;
}

void check_accepted_archive_is_read_whole(const std::vector<std::uint8_t> &file) {
  if (!accepted(file))
    return;
  std::uint32_t counted = 0;
  const long read = importer_entries(file, &counted);
  check(read >= 0 && static_cast<std::uint32_t>(read) == counted);
}

} // namespace

// First byte even: the rest is the archive. Odd: the rest overwrites bytes
// of the sound archive, three at a time (position, low byte first, and the
// new byte).
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static const std::vector<std::uint8_t> sound = sound_archive();
  static const bool sound_accepted = accepted(sound);
  check(sound_accepted);
  if (size == 0)
    return 0;
  if (data[0] % 2 == 0) {
    check_accepted_archive_is_read_whole({data + 1, data + size});
    return 0;
  }
  std::vector<std::uint8_t> damaged = sound;
  for (std::size_t at = 1; at + 3 <= size; at += 3)
    damaged[(data[at] | data[at + 1] << 8) % damaged.size()] = data[at + 2];
  check_accepted_archive_is_read_whole(damaged);
  return 0;
}
