// The portable CRC-32: sixteen table lookups per 16 bytes.
#include <array>

#include "gzip/crc32_kernels.h"
#include "platform/byte_order.h"

namespace gzarc {
namespace {

inline constexpr std::size_t kSlices = 16;

using CrcTables = std::array<std::array<uint32_t, 256>, kSlices>;

// tables[0] is the classic byte table; tables[k][n] is the register after n
// has been followed by k zero bytes, which lets one step fold 16 input bytes
// with 16 independent lookups.
constexpr CrcTables MakeCrcTables() {
  CrcTables tables{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? kCrcPolynomial ^ (c >> 1) : c >> 1;
    tables[0][n] = c;
  }
  for (std::size_t k = 1; k < kSlices; ++k) {
    for (uint32_t n = 0; n < 256; ++n) {
      const uint32_t previous = tables[k - 1][n];
      tables[k][n] = tables[0][previous & 0xFF] ^ (previous >> 8);
    }
  }
  return tables;
}

constexpr CrcTables kCrcTables = MakeCrcTables();

inline uint32_t UpdateBytewise(uint32_t crc, const uint8_t* data, std::size_t length) {
  const auto& t = kCrcTables[0];
  for (std::size_t i = 0; i < length; ++i) crc = t[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return crc;
}

}  // namespace

uint32_t UpdateCrc32Sliced(uint32_t crc, const uint8_t* data, std::size_t length) {
  const auto& t = kCrcTables;
  while (length >= kSlices) {
    const uint32_t a = LoadLittle32(data) ^ crc;
    const uint32_t b = LoadLittle32(data + 4);
    const uint32_t c = LoadLittle32(data + 8);
    const uint32_t d = LoadLittle32(data + 12);
    crc = t[15][a & 0xFF] ^ t[14][(a >> 8) & 0xFF] ^ t[13][(a >> 16) & 0xFF] ^ t[12][a >> 24] ^
          t[11][b & 0xFF] ^ t[10][(b >> 8) & 0xFF] ^ t[9][(b >> 16) & 0xFF] ^ t[8][b >> 24] ^
          t[7][c & 0xFF] ^ t[6][(c >> 8) & 0xFF] ^ t[5][(c >> 16) & 0xFF] ^ t[4][c >> 24] ^
          t[3][d & 0xFF] ^ t[2][(d >> 8) & 0xFF] ^ t[1][(d >> 16) & 0xFF] ^ t[0][d >> 24];
    data += kSlices;
    length -= kSlices;
  }
  return UpdateBytewise(crc, data, length);
}

}  // namespace gzarc
