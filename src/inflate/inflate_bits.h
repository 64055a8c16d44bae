// What the decoder's code loops share: the bit accumulator's steps and the
// cursor they work on.
#pragma once

#include <array>
#include <cstdint>

#include "inflate/decode_table.h"
#include "inflate/inflate.h"

namespace gzarc {

inline constexpr std::array<uint32_t, 17> kBitMask = {
    0x0000, 0x0001, 0x0003, 0x0007, 0x000F, 0x001F, 0x003F, 0x007F, 0x00FF,
    0x01FF, 0x03FF, 0x07FF, 0x0FFF, 0x1FFF, 0x3FFF, 0x7FFF, 0xFFFF};

inline constexpr uint32_t kLongestMatch = 258;

inline void Drop(uint64_t& bits, uint32_t& count, unsigned n) {
  bits >>= n;
  count -= n;
}

// A valid stream peeks at most two bytes past its end (the root lookup of
// its last code); beyond a few, the stream is certainly truncated.
inline constexpr uint32_t kOverrunLimit = 4;

// Ensures n bits in the accumulator; false once the input ran out for good.
inline bool Ensure(DecoderState& d, uint64_t& bits, uint32_t& count, unsigned n) {
  while (count < n) {
    int v;
    if (d.inputPos <= d.inputLen) {
      v = d.InputBuffer[d.inputPos - 1];
      ++d.inputPos;
    } else {
      v = FillInput(d);
      if (v < 0 && (d.overrunBytes > kOverrunLimit || d.out.stopped)) return false;
    }
    // Past the end, -1 sets every bit above the valid ones.
    bits |= static_cast<uint64_t>(static_cast<int64_t>(v)) << count;
    count += 8;
  }
  return true;
}

// Reads n bits from the stored bit state into value.
inline bool TakeBits(DecoderState& d, unsigned n, uint32_t* value) {
  if (!Ensure(d, d.inBits, d.inBitCount, n)) return false;
  *value = static_cast<uint32_t>(d.inBits & kBitMask[n]);
  Drop(d.inBits, d.inBitCount, n);
  return true;
}

// Walks from a root entry through its sub-tables to the entry of one code
// and drops the code's bits; nullptr for an invalid code or lack of input.
inline const DecodeEntry* DecodeSymbol(DecoderState& d, uint64_t& bits, uint32_t& count,
                                       const DecodeEntry* table, unsigned rootBits) {
  if (!Ensure(d, bits, count, rootBits)) return nullptr;
  const DecodeEntry* e = table + (bits & kBitMask[rootBits]);
  while (e->op > kOpLiteral) {
    if (e->op == kOpInvalid) return nullptr;
    Drop(bits, count, e->bits);
    const unsigned subBits = e->op - kOpLiteral;
    if (!Ensure(d, bits, count, subBits)) return nullptr;
    e = e->table + (bits & kBitMask[subBits]);
  }
  Drop(bits, count, e->bits);
  return e;
}

// The part of the decoder's state that InflateCodes keeps in registers.
struct CodeCursor {
  uint64_t bits;
  uint32_t count;
  uint32_t pos;
};

enum CodeStep : int { kStepMore, kStepEndOfBlock, kStepInvalid };

}  // namespace gzarc
