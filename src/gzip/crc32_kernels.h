// The CRC-32 routines behind the dispatch of crc32.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/cpu_features.h"

namespace gzarc {

inline constexpr uint32_t kCrcPolynomial = 0xEDB88320u;

// The portable routine (crc32_sliced.cpp); any length.
uint32_t UpdateCrc32Sliced(uint32_t crc, const uint8_t* data, std::size_t length);

#ifdef GZARC_X86_DISPATCH
// The foldings (crc32_folding.cpp), for at least 64, 128 and 256 bytes.
uint32_t UpdateCrc32Fold128(uint32_t crc, const uint8_t* data, std::size_t length);
uint32_t UpdateCrc32Fold256(uint32_t crc, const uint8_t* data, std::size_t length);
uint32_t UpdateCrc32Fold512(uint32_t crc, const uint8_t* data, std::size_t length);
#endif

}  // namespace gzarc
