// Little-endian numbers in byte buffers, as GZIP and DEFLATE store them,
// whatever order the processor keeps its own words in.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace gzarc {

inline uint32_t LoadLittle32(const uint8_t* p) {
  if constexpr (std::endian::native == std::endian::little) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
  }
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

inline uint64_t LoadLittle64(const uint8_t* p) {
  if constexpr (std::endian::native == std::endian::little) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
  }
  return uint64_t{LoadLittle32(p)} | (uint64_t{LoadLittle32(p + 4)} << 32);
}

inline void StoreLittle32(uint8_t* p, uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

inline void StoreLittle64(uint8_t* p, uint64_t value) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(p, &value, sizeof value);
    return;
  }
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace gzarc
