// CRC-32 of RFC 1952 (reflected polynomial 0xEDB88320). The register starts
// at 0xFFFFFFFF for each file and the trailer holds its complement; this
// routine only advances the register.
#pragma once

#include <cstddef>
#include <cstdint>

namespace gzarc {

inline constexpr uint32_t kCrcStart = 0xFFFFFFFFu;

uint32_t UpdateCrc32(uint32_t crc, const uint8_t* data, std::size_t length);

// The portable routine (sixteen table lookups per 16 bytes) that UpdateCrc32
// falls back on where the processor lacks a carry-less multiply.
uint32_t UpdateCrc32Sliced(uint32_t crc, const uint8_t* data, std::size_t length);

}  // namespace gzarc
