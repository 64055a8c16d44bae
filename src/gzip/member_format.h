// The GZIP member as this engine writes it and as it reads it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gzarc.h"

namespace gzarc {

inline constexpr uint8_t kGzipId1 = 0x1F;
inline constexpr uint8_t kGzipId2 = 0x8B;
inline constexpr uint8_t kMethodDeflate = 8;
inline constexpr uint8_t kFlagName = 0x08;
inline constexpr uint8_t kOsWrittenByEngine = 14;

// The name stored in a new member for the one mask entry that compression
// receives: folder, name and extension joined, a leading backslash, a drive
// and a leading ".." removed, converted to the OEM code page. False when the
// name does not fit.
bool BuildStoredName(const FileMaskEntry* entry, char* storedName, std::size_t capacity);

}  // namespace gzarc
