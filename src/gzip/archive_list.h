// The host's archive file list and the archive information record.
#pragma once

#include <cstdint>

#include "gzarc.h"

namespace gzarc {

// Packed totals from this size on are halved (with the unpacked totals)
// until below it, so that packed * 100 cannot overflow.
inline constexpr int64_t kRatioHalvingThreshold = 0x1400000;

// The host's system code for the OS byte of a member header.
uint32_t MapHostSystem(uint8_t os);

// Packed size as a percentage of the unpacked size; 0 when nothing is packed.
uint32_t CompressionRatio(int64_t packedTotal, int64_t unpackedTotal);

// MTIME as a DOS time (low 16 bits) and date (high 16 bits) in local time;
// 0 when the time has no DOS form (before 1980, or negative as 32 bits).
uint32_t UnixTimeToDosDateTime(uint32_t mtime);

}  // namespace gzarc
