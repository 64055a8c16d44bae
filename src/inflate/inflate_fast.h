// The fast path of InflateCodes, in its builds: one-level table lookups, a
// word-wide accumulator refill and word-sized match copies, within bounds
// where no code can reach a window flush or an input read, so that the
// plain routine's flushes, reads and reports happen exactly where they would
// have. The plain routine (inflate.cpp) decodes whatever lies outside them.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

#include "inflate/decode_table.h"
#include "inflate/inflate.h"
#include "inflate/inflate_bits.h"

namespace gzarc {

// The fast path stops this far before the window's end (between two checks
// it writes at most six literals, or four and a match) and wants this many
// bytes of input buffered (two refills' worth).
inline constexpr uint32_t kFastWindowLimit = kDecodeWindowSize - kLongestMatch - 6;
inline constexpr int kFastInputMargin = 16;

using FastCodes = CodeStep (*)(DecoderState&, CodeCursor&, const DecodeEntry* lt,
                               const DecodeEntry* dt, unsigned lb, unsigned db);

// Copies a match whose source lies distance bytes back. Stores may run up
// to 31 bytes past its end: those bytes of the current window are decoded
// later anyway, and kDecodeWindowSlack covers the end of the window
// (and the marked output keeps the same room).
inline uint8_t* CopyMatchFast(uint8_t* out, uint32_t distance, uint32_t length) {
  const uint8_t* from = out - distance;
  uint8_t* const end = out + length;
  if (distance >= 16) {
    // Each chunk reads only bytes that earlier chunks already wrote. Most
    // matches are 32 bytes or shorter: two chunks, without a loop to leave.
    std::memcpy(out, from, 16);
    std::memcpy(out + 16, from + 16, 16);
    if (length > 32) {
      out += 32;
      from += 32;
      do {
        std::memcpy(out, from, 16);
        out += 16;
        from += 16;
      } while (out < end);
    }
  } else if (distance >= 8) {
    do {
      std::memcpy(out, from, 8);
      out += 8;
      from += 8;
    } while (out < end);
  } else if (distance == 1) {
    const uint64_t run = uint64_t{*from} * 0x0101010101010101u;
    do {
      std::memcpy(out, &run, 8);
      out += 8;
    } while (out < end);
  } else {
    // A short period: its first eight bytes one by one, then words from a
    // whole number of periods back, at least a word away.
    constexpr std::array<uint8_t, 8> kStride = {0, 0, 8, 9, 8, 10, 12, 14};
    for (int i = 0; i < 8; ++i) out[i] = from[i];
    const uint32_t stride = kStride[distance];
    for (out += 8; out < end; out += 8) std::memcpy(out, out - stride, 8);
  }
  return end;
}

// Walks from a root entry through its sub-tables; the accumulator holds
// enough bits for the longest code. nullptr for an invalid code.
inline const DecodeEntry* FastSubTables(const DecodeEntry* e, uint64_t& bits, uint32_t& count) {
  while (e->op > kOpLiteral) {
    if (e->op == kOpInvalid) return nullptr;
    Drop(bits, count, e->bits);
    e = e->table + (bits & kBitMask[e->op - kOpLiteral]);
  }
  return e;
}

inline uint64_t LowBits(uint64_t bits, unsigned n) {
  return bits & ((uint64_t{1} << n) - 1);
}

// The build for window positions below kFastWindowLimit, for a variant.
FastCodes FastCodesFor(InflateCodesVariant variant);
// The build for the last stretch of the window: it checks each code's bytes
// against the window's end and stops in front of the code that would reach
// it (and of any code the multi-level tables hold).
CodeStep InflateCodesNearEnd(DecoderState& d, CodeCursor& c, const DecodeEntry* lt,
                             const DecodeEntry* dt, unsigned lb, unsigned db);

}  // namespace gzarc
