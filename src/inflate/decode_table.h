// Multi-level lookup tables for decoding canonical Huffman codes.
//
// A table of j index bits is indexed by the low j bits of the decoder's bit
// accumulator (codes are stored bit-reversed). Codes longer than the root
// table reach a sub-table through a link entry. Every table of one code is a
// separately allocated block of 2^j + 1 entries: the leading entry links to
// the next block of the same code, so that one walk from the root releases
// them all. A table is referred to by its first proper entry.
#pragma once

#include <cstdint>

namespace gzarc {

struct DecodeEntry {
  // 0..13: base length or distance with that many extra bits; 15: end of
  // block; 16: literal; 17..32: link to a sub-table of op - 16 index bits;
  // 99: invalid code.
  uint8_t op;
  // A code: the bits it takes within this table's index. A link: the index
  // bits of the table holding the link (to be dropped before the sub-table).
  uint8_t bits;
  union {
    uint16_t value;            // op 0..16
    const DecodeEntry* table;  // op 17..32; the leading entry: next block
  };
};

inline constexpr uint8_t kOpEndOfBlock = 15;
inline constexpr uint8_t kOpLiteral = 16;
inline constexpr uint8_t kOpInvalid = 99;
inline constexpr unsigned kMaxCodeLength = 16;

enum BuildResult : int {
  kCodeComplete = 0,
  kCodeIncomplete = 1,      // tables built; the free patterns decode as op 99
  kCodeOversubscribed = 2,  // no tables
  kCodeNoMemory = 3,        // no tables
};

// Builds the tables of a code of n symbols (n <= 288) from their lengths
// (0..16). Symbols below s are literals (below 256) or the end-of-block
// symbol (256); symbol t >= s decodes to base[t - s] with extra[t - s] extra
// bits. rootBits goes in as the root index bits wanted and comes out as the
// bits the root table really has; a code with no lengths at all yields no
// table, root bits 0 and result 0.
int BuildDecodeTable(const uint8_t* lengths, unsigned n, unsigned s, const uint16_t* base,
                     const uint8_t* extra, const DecodeEntry** root, unsigned* rootBits);

// Releases every table of a code; accepts nullptr.
void FreeDecodeTable(const DecodeEntry* root);

// An entry of a one-level table for the decoder's fast path, packed for one
// load. Bits 0..7: the bits the entry consumes in all, a length or distance
// code together with its extra bits, or one or two literal codes. Bits 8..11:
// a length or distance code's own length (its extra bits follow it), or the
// count of literal bytes (1 or 2). Bits 12..15: the kind. Bits 16..31: the
// base length or distance, or the literal bytes (the first in bits 16..23).
// Only codes that fit the table's index resolve there; longer codes and
// invalid patterns are kFastSlow entries, which send the decoder to the
// multi-level tables for the same bits.
//
// In the literal/length table, a length code whose extra bits fit the index
// too has one entry per value of them, holding the whole length (its code
// length then counts the extra bits as well, so that none are left to add).
// The other length entries carry kFastLengthExtra, which is to be cleared
// before the entry's bits are dropped.
using FastEntry = uint32_t;

inline constexpr FastEntry kFastLiteral = 0x8000;
inline constexpr FastEntry kFastEndOfBlock = 0x4000;
inline constexpr FastEntry kFastSlow = 0x2000;
inline constexpr FastEntry kFastLengthExtra = 0x80;

inline constexpr unsigned FastShift(FastEntry e) {
  return e & 0xFF;
}
inline constexpr unsigned FastCodeLength(FastEntry e) {
  return (e >> 8) & 0xF;
}
inline constexpr unsigned FastLiteralCount(FastEntry e) {
  return (e >> 8) & 0x3;
}
inline constexpr unsigned FastValue(FastEntry e) {
  return e >> 16;
}
inline constexpr FastEntry PackFastLiteral(unsigned byte, unsigned bits) {
  return kFastLiteral | bits | (1u << 8) | (byte << 16);
}
inline constexpr FastEntry PackFastLiteralPair(unsigned first, unsigned second, unsigned bits) {
  return kFastLiteral | bits | (2u << 8) | (first << 16) | (second << 24);
}
inline constexpr FastEntry PackFastEndOfBlock(unsigned bits) {
  return kFastEndOfBlock | bits;
}
// A length or distance code of codeBits bits followed by extraBits extra bits.
inline constexpr FastEntry PackFastCode(unsigned codeBits, unsigned extraBits, unsigned base) {
  return (codeBits + extraBits) | (codeBits << 8) | (base << 16);
}

// The one-level form of a multi-level entry holding a code of that entry's
// bits (kFastSlow for anything else).
FastEntry FastEntryOf(const DecodeEntry& e);

inline constexpr unsigned kMaxFastBits = 11;

// Builds the one-level table of fastBits (at most kMaxFastBits) index bits
// of a code straight from its lengths, taken as BuildDecodeTable takes them
// (and only once that has accepted them). For the literal/length code
// (literalTable), an index whose bits hold two literal codes decodes both at
// once, and lengths resolve whole where their extra bits fit.
void BuildFastTable(const uint8_t* lengths, unsigned n, unsigned s, const uint16_t* base,
                    const uint8_t* extra, FastEntry* fast, unsigned fastBits, bool literalTable);

}  // namespace gzarc
