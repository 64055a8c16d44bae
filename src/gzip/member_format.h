// The GZIP member as this engine writes it and as it reads it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "gzarc.h"
#include "gzip/archive_scan.h"

namespace gzarc {

inline constexpr uint8_t kGzipId1 = 0x1F;
inline constexpr uint8_t kGzipId2 = 0x8B;
inline constexpr uint8_t kMethodDeflate = 8;
inline constexpr uint8_t kOsWrittenByEngine = 14;

// Header flag bits.
inline constexpr uint8_t kFlagText = 0x01;
inline constexpr uint8_t kFlagHeaderCrc = 0x02;
inline constexpr uint8_t kFlagExtra = 0x04;
inline constexpr uint8_t kFlagName = 0x08;
inline constexpr uint8_t kFlagComment = 0x10;

inline constexpr std::size_t kFixedHeaderSize = 10;  // ID1 to OS
inline constexpr std::size_t kTrailerSize = 8;

// The header of a member as this engine writes it into out: the fixed
// fields with FNAME set and the modification time, then the stored name and
// its terminator. Returns the header's length, 0 when out is too small.
std::size_t BuildMemberHeader(uint32_t modificationTime, const char* storedName,
                              std::span<uint8_t> out);
// The trailer: the CRC-32 of the data (the register's complement) and its
// length modulo 2^32.
std::array<uint8_t, kTrailerSize> BuildMemberTrailer(uint32_t crc, uint64_t size);

// The name stored in a new member for the one mask entry that compression
// receives: folder, name and extension joined, a leading backslash, a drive
// and a leading "..\" removed, converted to the OEM code page. False when the
// name does not fit.
bool BuildStoredName(const FileMaskEntry* entry, char* storedName, std::size_t capacity);

// Where the bytes of a member header come from: next yields the next byte
// as 0..255, or -1 when none could be read (the file ended or a read failed).
struct HeaderSource {
  int (*next)(void* context) = nullptr;
  void* context = nullptr;
};

// Delivers the header at the start of an archive file through a small
// buffer, so that a long name or comment costs no system call per byte.
struct HeaderReader {
  int fd = -1;
  std::array<uint8_t, 512> buffer{};
  uint32_t fill = 0;
  uint32_t next = 0;
};

// The next header byte as 0..255, or -1 when none could be read.
int ReadHeaderByte(HeaderReader& reader);
HeaderSource SourceOf(HeaderReader& reader);

// What a header holds for the reader.
struct MemberHeader {
  uint8_t flags = 0;
  uint32_t MTime = 0;
  uint8_t hostSystem = 0;
  uint64_t dataOffset = 0;          // the header's length
  char name[kMemberNameSize] = {};  // OEM code page, as read or derived
};

enum class HeaderResult {
  kOk,
  kShort,        // the bytes ran out inside the header
  kNotGzip,      // no gzip magic and deflate method (checked when asked)
  kTextFlag,     // FTEXT set: refused
  kNameTooLong,  // FNAME does not fit the name field
  kBadHeaderCrc  // FHCRC does not match the bytes before it
};

// Parses one member header from source: the fixed fields, FEXTRA, FNAME,
// FCOMMENT and FHCRC. The magic and method are checked only when checkMagic
// is set (the first member's were checked when the archive was opened).
// With keepName the FNAME bytes go to header->name; otherwise they are
// read and dropped. header->dataOffset counts the bytes taken.
HeaderResult ParseMemberHeader(HeaderSource source, bool checkMagic, bool keepName,
                               MemberHeader* header);

// Reads the first member's header from the start of fd. The name comes from
// FNAME or, when absent, from DeriveMemberName of archivePath. Returns the
// archive status: 0, 5 (short read, name too long, header CRC mismatch) or
// 9960 (FTEXT).
uint16_t ReadMemberHeader(int fd, const char* archivePath, MemberHeader* header);

// The name of a member without FNAME, from the archive's own name: the base
// name, with ".tar" for the compressed-tar spellings. False when it does not
// fit the buffer.
bool DeriveMemberName(const char* archivePath, char* name, std::size_t capacity);

}  // namespace gzarc
