// What the decoder's plain and fast code loops share: the bit accumulator's
// steps and the cursor they work on.
#pragma once

#include <array>
#include <cstdint>

namespace gzarc {

inline constexpr std::array<uint32_t, 17> kBitMask = {
    0x0000, 0x0001, 0x0003, 0x0007, 0x000F, 0x001F, 0x003F, 0x007F, 0x00FF,
    0x01FF, 0x03FF, 0x07FF, 0x0FFF, 0x1FFF, 0x3FFF, 0x7FFF, 0xFFFF};

inline constexpr uint32_t kLongestMatch = 258;

inline void Drop(uint64_t& bits, uint32_t& count, unsigned n) {
  bits >>= n;
  count -= n;
}

// The part of the decoder's state that InflateCodes keeps in registers.
struct CodeCursor {
  uint64_t bits;
  uint32_t count;
  uint32_t pos;
};

enum CodeStep : int { kStepMore, kStepEndOfBlock, kStepInvalid };

}  // namespace gzarc
