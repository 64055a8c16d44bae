#include "gzip/member_format.h"

#include <algorithm>
#include <cstring>

#include "engine/engine_state.h"
#include "gzip/crc32.h"
#include "paths/file_masks.h"
#include "platform/byte_order.h"
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

bool RefillHeaderBuffer(HeaderReader& reader) {
  const int32_t n = platform::ReadFile(reader.fd, reader.buffer.data(),
                                       static_cast<uint32_t>(reader.buffer.size()));
  if (n <= 0) return false;
  reader.fill = static_cast<uint32_t>(n);
  reader.next = 0;
  return true;
}

// Takes the header's bytes one at a time, counting them and running the
// CRC-32 over them for the optional header CRC.
struct HeaderCursor {
  HeaderSource source;
  uint64_t consumed = 0;
  uint32_t crc = kCrcStart;

  int Byte() {
    const int byte = source.next(source.context);
    if (byte < 0) return -1;
    const auto b = static_cast<uint8_t>(byte);
    crc = UpdateCrc32(crc, &b, 1);
    ++consumed;
    return byte;
  }
  // Exactly count bytes into out (null to skip them).
  bool Bytes(uint8_t* out, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      const int byte = Byte();
      if (byte < 0) return false;
      if (out != nullptr) out[i] = static_cast<uint8_t>(byte);
    }
    return true;
  }
};

// Reads a zero-terminated field; keeps it in out when out is given.
HeaderResult ReadZeroTerminated(HeaderCursor& cursor, char* out, std::size_t capacity) {
  std::size_t length = 0;
  for (;;) {
    const int byte = cursor.Byte();
    if (byte < 0) return HeaderResult::kShort;
    if (out != nullptr) {
      // A name that leaves no room for its terminator is refused rather
      // than cut: two different names must not list as one.
      if (length + 1 >= capacity && byte != 0) return HeaderResult::kNameTooLong;
      out[length++] = static_cast<char>(byte);
    }
    if (byte == 0) return HeaderResult::kOk;
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

std::size_t BuildMemberHeader(uint32_t modificationTime, const char* storedName,
                              std::span<uint8_t> out) {
  const std::size_t nameSize = std::strlen(storedName) + 1;
  if (out.size() < kFixedHeaderSize || out.size() - kFixedHeaderSize < nameSize) return 0;
  out[0] = kGzipId1;
  out[1] = kGzipId2;
  out[2] = kMethodDeflate;
  out[3] = kFlagName;
  StoreLittle32(&out[4], modificationTime);
  out[8] = 0;  // no extra flags
  out[9] = kOsWrittenByEngine;
  std::memcpy(&out[kFixedHeaderSize], storedName, nameSize);
  return kFixedHeaderSize + nameSize;
}

std::array<uint8_t, kTrailerSize> BuildMemberTrailer(uint32_t crc, uint64_t size) {
  std::array<uint8_t, kTrailerSize> trailer;
  StoreLittle32(&trailer[0], crc);
  StoreLittle32(&trailer[4], static_cast<uint32_t>(size));
  return trailer;
}

int ReadHeaderByte(HeaderReader& reader) {
  if (reader.next == reader.fill && !RefillHeaderBuffer(reader)) return -1;
  return reader.buffer[reader.next++];
}

HeaderSource SourceOf(HeaderReader& reader) {
  return HeaderSource{[](void* r) { return ReadHeaderByte(*static_cast<HeaderReader*>(r)); },
                      &reader};
}

HeaderResult ParseMemberHeader(HeaderSource source, bool checkMagic, bool keepName,
                               MemberHeader* header) {
  *header = MemberHeader{};
  HeaderCursor cursor{source};

  uint8_t fixed[10];  // ID1, ID2, CM, FLG, MTIME, XFL, OS
  if (!cursor.Bytes(fixed, 4)) return HeaderResult::kShort;
  if (checkMagic && (fixed[0] != kGzipId1 || fixed[1] != kGzipId2 || fixed[2] != kMethodDeflate)) {
    return HeaderResult::kNotGzip;
  }
  header->flags = fixed[3];
  if (header->flags & kFlagText) return HeaderResult::kTextFlag;
  if (!cursor.Bytes(fixed + 4, 6)) return HeaderResult::kShort;
  header->MTime = LoadLittle32(fixed + 4);
  header->hostSystem = fixed[9];

  if (header->flags & kFlagExtra) {
    uint8_t extraLength[2];
    if (!cursor.Bytes(extraLength, sizeof extraLength)) return HeaderResult::kShort;
    // Read rather than seek past it: an extra field that runs past the end
    // of the file is a truncated header, and the header CRC covers it.
    const std::size_t skip = extraLength[0] | (extraLength[1] << 8);
    if (!cursor.Bytes(nullptr, skip)) return HeaderResult::kShort;
  }
  if (header->flags & kFlagName) {
    const HeaderResult result =
        ReadZeroTerminated(cursor, keepName ? header->name : nullptr, sizeof header->name);
    if (result != HeaderResult::kOk) return result;
  }
  if (header->flags & kFlagComment) {
    const HeaderResult result = ReadZeroTerminated(cursor, nullptr, 0);
    if (result != HeaderResult::kOk) return result;
  }
  // The header CRC is the low half of the CRC-32 of every header byte before
  // it. It belongs to the header: the compressed data begins after it.
  if (header->flags & kFlagHeaderCrc) {
    const auto expected = static_cast<uint16_t>(~cursor.crc);
    uint8_t stored[2];
    if (!cursor.Bytes(stored, sizeof stored)) return HeaderResult::kShort;
    if ((stored[0] | (stored[1] << 8)) != expected) return HeaderResult::kBadHeaderCrc;
  }
  header->dataOffset = cursor.consumed;
  return HeaderResult::kOk;
}

uint16_t ReadMemberHeader(int fd, const char* archivePath, MemberHeader* header) {
  HeaderReader reader;
  reader.fd = fd;
  switch (ParseMemberHeader(SourceOf(reader), false, true, header)) {
    case HeaderResult::kOk:
      break;
    case HeaderResult::kTextFlag:
      return GZARC_STATUS_TEXT_FLAG;
    default:
      return GZARC_STATUS_FILE_ERROR;
  }
  if (!(header->flags & kFlagName) &&
      !DeriveMemberName(archivePath, header->name, sizeof header->name)) {
    return GZARC_STATUS_FILE_ERROR;
  }
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
