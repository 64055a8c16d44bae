#include "gzip/member_format.h"

#include <algorithm>
#include <cstring>

#include "engine/engine_state.h"
#include "gzip/crc32.h"
#include "paths/file_masks.h"
#include "platform/platform.h"

namespace gzarc {
namespace {

// Folder, name and extension of a mask each hold at most 255 characters.
inline constexpr std::size_t kJoinedNameSize = 3 * kPathPieceSize + 2;

bool Append(char* target, std::size_t& length, std::size_t capacity, const char* text) {
  const std::size_t n = BoundedLength(text, capacity);
  if (length + n >= capacity) return false;
  std::memcpy(target + length, text, n);
  length += n;
  target[length] = '\0';
  return true;
}

uint32_t LoadLittle32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

bool RefillHeaderBuffer(HeaderReader& reader) {
  const int32_t n = platform::ReadFile(reader.fd, reader.buffer.data(),
                                       static_cast<uint32_t>(reader.buffer.size()));
  if (n <= 0) return false;
  reader.fill = static_cast<uint32_t>(n);
  reader.next = 0;
  return true;
}

// Reads a zero-terminated field; keeps at most capacity bytes of it
// (terminator included) in out when out is given. 0 when read whole, else
// the status to report.
uint16_t ReadZeroTerminated(HeaderReader& reader, char* out, std::size_t capacity) {
  std::size_t length = 0;
  for (;;) {
    const int byte = ReadHeaderByte(reader);
    if (byte < 0) return GZARC_STATUS_FILE_ERROR;
    if (out != nullptr) {
      // A name that leaves no room for its terminator is refused rather
      // than cut: two different names must not list as one.
      if (length + 1 >= capacity && byte != 0) return GZARC_STATUS_FILE_ERROR;
      out[length++] = static_cast<char>(byte);
    }
    if (byte == 0) return GZARC_STATUS_OK;
  }
}

}  // namespace

bool BuildStoredName(const FileMaskEntry* entry, char* storedName, std::size_t capacity) {
  if (capacity == 0) return false;
  storedName[0] = '\0';
  char joined[kJoinedNameSize] = {};
  std::size_t length = 0;
  const bool fits =
      Append(joined, length, sizeof joined, entry->folder != nullptr ? entry->folder : "") &&
      Append(joined, length, sizeof joined, entry->name) &&
      (entry->extension[0] == '\0' || (Append(joined, length, sizeof joined, ".") &&
                                       Append(joined, length, sizeof joined, entry->extension)));
  if (!fits) return false;

  const char* start = joined;
  if (start[0] == '\\') ++start;
  if (start[0] != '\0' && start[1] == ':') {
    // "C:\DATA\A.TXT" loses "C:\"; a drive-relative "C:DATA\A.TXT" loses only
    // "C:", so that the first letter of the folder survives.
    start += start[2] == '\\' ? 3 : 2;
  }
  // Only a parent reference goes: a name that merely begins with two dots
  // ("..notes") is kept whole.
  if (start[0] == '.' && start[1] == '.' && start[2] == '\\') start += 3;

  if (!CopyBounded(storedName, capacity, start)) return false;
  platform::CharToOemA(storedName);
  return true;
}

int ReadHeaderByte(HeaderReader& reader) {
  if (reader.next == reader.fill && !RefillHeaderBuffer(reader)) return -1;
  const uint8_t byte = reader.buffer[reader.next++];
  ++reader.consumed;
  reader.crc = UpdateCrc32(reader.crc, &byte, 1);
  return byte;
}

bool ReadHeaderBytes(HeaderReader& reader, uint8_t* out, std::size_t count) {
  while (count > 0) {
    if (reader.next == reader.fill && !RefillHeaderBuffer(reader)) return false;
    const std::size_t n = std::min<std::size_t>(count, reader.fill - reader.next);
    const uint8_t* from = reader.buffer.data() + reader.next;
    reader.crc = UpdateCrc32(reader.crc, from, n);
    if (out != nullptr) {
      std::memcpy(out, from, n);
      out += n;
    }
    reader.next += static_cast<uint32_t>(n);
    reader.consumed += static_cast<uint32_t>(n);
    count -= n;
  }
  return true;
}

uint16_t ReadMemberHeader(int fd, const char* archivePath, MemberHeader* header) {
  *header = MemberHeader{};
  HeaderReader reader;
  reader.fd = fd;

  // Magic and method were checked when the archive was opened.
  uint8_t fixed[4];
  if (!ReadHeaderBytes(reader, fixed, sizeof fixed)) return GZARC_STATUS_FILE_ERROR;
  header->flags = fixed[3];
  if (header->flags & kFlagText) return GZARC_STATUS_TEXT_FLAG;

  uint8_t timeAndSystem[6];  // MTIME, XFL, OS
  if (!ReadHeaderBytes(reader, timeAndSystem, sizeof timeAndSystem)) {
    return GZARC_STATUS_FILE_ERROR;
  }
  header->MTime = LoadLittle32(timeAndSystem);
  header->hostSystem = timeAndSystem[5];

  if (header->flags & kFlagExtra) {
    uint8_t extraLength[2];
    if (!ReadHeaderBytes(reader, extraLength, sizeof extraLength)) return GZARC_STATUS_FILE_ERROR;
    // Read rather than seek past it: an extra field that runs past the end
    // of the file is a truncated header, and the header CRC covers it.
    const std::size_t skip = extraLength[0] | (extraLength[1] << 8);
    if (!ReadHeaderBytes(reader, nullptr, skip)) return GZARC_STATUS_FILE_ERROR;
  }

  if (header->flags & kFlagName) {
    const uint16_t status = ReadZeroTerminated(reader, header->name, sizeof header->name);
    if (status != GZARC_STATUS_OK) return status;
  } else if (!DeriveMemberName(archivePath, header->name, sizeof header->name)) {
    return GZARC_STATUS_FILE_ERROR;
  }

  if (header->flags & kFlagComment) {
    const uint16_t status = ReadZeroTerminated(reader, nullptr, 0);
    if (status != GZARC_STATUS_OK) return status;
  }

  // The header CRC is the low half of the CRC-32 of every header byte before
  // it. It belongs to the header: the compressed data begins after it.
  if (header->flags & kFlagHeaderCrc) {
    const uint16_t expected = static_cast<uint16_t>(~reader.crc);
    uint8_t stored[2];
    if (!ReadHeaderBytes(reader, stored, sizeof stored)) return GZARC_STATUS_FILE_ERROR;
    if ((stored[0] | (stored[1] << 8)) != expected) return GZARC_STATUS_FILE_ERROR;
  }

  header->dataOffset = reader.consumed;
  return GZARC_STATUS_OK;
}

bool DeriveMemberName(const char* archivePath, char* name, std::size_t capacity) {
  if (capacity == 0) return false;
  name[0] = '\0';
  std::size_t dots = 0;
  for (const char* p = archivePath; *p != '\0'; ++p) dots += *p == '.';

  char drive[kPathPieceSize] = {};
  char folder[kPathPieceSize] = {};
  char base[kPathPieceSize] = {};
  char extension[kPathPieceSize] = {};
  SplitPath(archivePath, drive, folder, base, extension);

  bool tar = false;
  if (dots >= 2) {
    platform::CharUpperA(extension);
    tar = std::strcmp(extension, ".TGZ") == 0;
  } else if (dots == 1) {
    tar = extension[1] == 't' || extension[1] == 'T';
  }
  std::size_t length = 0;
  return Append(name, length, capacity, base) && (!tar || Append(name, length, capacity, ".tar"));
}

}  // namespace gzarc
