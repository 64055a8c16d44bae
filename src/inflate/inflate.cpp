// The block decoders of DEFLATE: stored, fixed-code and dynamic-code blocks,
// and the loop that decodes literal/length and distance codes into the
// window. The bit accumulator is read least-significant bit first.
#include "inflate/inflate.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "engine/engine_state.h"

namespace gzarc {
namespace {

constexpr std::array<uint8_t, 19> kCodeLengthOrder = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                      11, 4,  12, 3, 13, 2, 14, 1, 15};

// Length symbols 257..287; 286 and 287 decode as invalid codes.
constexpr std::array<uint16_t, 31> kDecodeLengthBase = {
    3,  4,  5,  6,  7,  8,  9,  10,  11,  13,  15,  17,  19,  23, 27, 31,
    35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258, 0,  0};
constexpr std::array<uint8_t, 31> kDecodeLengthExtra = {
    0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0, 99, 99};
constexpr std::array<uint16_t, 30> kDecodeDistanceBase = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::array<uint8_t, 30> kDecodeDistanceExtra = {0, 0, 0,  0,  1,  1,  2,  2,  3,  3,
                                                          4, 4, 5,  5,  6,  6,  7,  7,  8,  8,
                                                          9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

constexpr std::array<uint32_t, 17> kBitMask = {0x0000, 0x0001, 0x0003, 0x0007, 0x000F, 0x001F,
                                               0x003F, 0x007F, 0x00FF, 0x01FF, 0x03FF, 0x07FF,
                                               0x0FFF, 0x1FFF, 0x3FFF, 0x7FFF, 0xFFFF};

constexpr unsigned kLiteralLookupBits = 9;
constexpr unsigned kDistanceLookupBits = 6;
constexpr unsigned kMaxLengths = 286 + 30;

// Stands in for the table of a code whose lengths are all zero: with 0 root
// bits every lookup lands on this one invalid entry.
const DecodeEntry kMissingTable[1] = {{kOpInvalid, 0, {0}}};

// A valid stream peeks at most two bytes past its end (the root lookup of
// its last code); beyond a few, the stream is certainly truncated.
constexpr uint32_t kOverrunLimit = 4;

enum BlockResult : int { kBlockOk = 0, kBlockInvalid = 1, kBlockBadType = 2, kBlockNoMemory = 3 };

// Ensures n bits in the accumulator; false once the input ran out for good.
inline bool Ensure(DecoderState& d, uint64_t& bits, uint32_t& count, unsigned n) {
  while (count < n) {
    int v;
    if (d.inputPos <= d.inputLen) {
      v = d.InputBuffer[d.inputPos - 1];
      ++d.inputPos;
    } else {
      v = FillInput();
      if (v < 0 && (d.overrunBytes > kOverrunLimit || d.stopped)) return false;
    }
    // Past the end, -1 sets every bit above the valid ones.
    bits |= static_cast<uint64_t>(static_cast<int64_t>(v)) << count;
    count += 8;
  }
  return true;
}

inline void Drop(uint64_t& bits, uint32_t& count, unsigned n) {
  bits >>= n;
  count -= n;
}

// Reads n bits from the stored bit state into value.
bool TakeBits(DecoderState& d, unsigned n, uint32_t* value) {
  if (!Ensure(d, d.inBits, d.inBitCount, n)) return false;
  *value = static_cast<uint32_t>(d.inBits & kBitMask[n]);
  Drop(d.inBits, d.inBitCount, n);
  return true;
}

// Hands the full window over to be written and moves on to the next one,
// with the previous window, or a copy of it, right in front of it for the
// back-references that reach into it. False once decoding must stop.
[[nodiscard]] bool WindowFull(DecoderState& d, uint32_t& pos) {
  pos = 0;
  d.windowWrapped = true;
  return QueueWindow(d);
}

[[nodiscard]] inline bool PutByte(DecoderState& d, uint32_t& pos, uint8_t byte) {
  CurrentWindow(d)[pos++] = byte;
  return pos != kWindowSize || WindowFull(d, pos);
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

}  // namespace

int InflateStream() {
  DecoderState& d = Decoder();
  d.inBits = d.inBitCount = d.windowPos = 0;
  d.windowWrapped = false;
  d.windowOffset = d.pendingOffset = kWindowSize;
  d.blockOrdinal = 0;
  bool last = false;
  do {
    const int result = InflateBlock(&last);
    if (result != kBlockOk) {
      // Stopped by a cancel, decoding ended cleanly where it would have.
      if (d.stopped) return kBlockOk;
      // The windows filled before the damage are flushed, the rest
      // dropped. A failed read explains the damage better than the damage
      // itself.
      if (DrainWindows(d, 0, false) && !d.inputFailed) SetStatus(GZARC_STATUS_BAD_DATA);
      return d.stopped ? kBlockOk : result;
    }
  } while (!last);
  // The bytes read past the end must still sit unconsumed in the
  // accumulator; otherwise the stream was cut short.
  if (d.overrunBytes * 8 > d.inBitCount) {
    if (!DrainWindows(d, 0, false)) return kBlockOk;
    if (!d.inputFailed) SetStatus(GZARC_STATUS_BAD_DATA);
    return kBlockInvalid;
  }
  DrainWindows(d, d.windowPos, true);
  return kBlockOk;
}

int InflateBlock(bool* last) {
  DecoderState& d = Decoder();
  uint32_t flag = 0;
  uint32_t type = 0;
  ++d.blockOrdinal;
  if (!TakeBits(d, 1, &flag) || !TakeBits(d, 2, &type)) return kBlockInvalid;
  *last = flag != 0;
  int result;
  switch (type) {
    case 0:
      result = InflateStored();
      break;
    case 1:
      result = InflateFixed();
      break;
    case 2:
      result = InflateDynamic();
      break;
    default:
      return kBlockBadType;
  }
  if (result == kBlockOk) BlockEnded(d);
  // A cancel during the block lets it finish, then ends the stream.
  if (Status() == GZARC_STATUS_CANCELLED) *last = true;
  return result;
}

int InflateStored() {
  DecoderState& d = Decoder();
  Drop(d.inBits, d.inBitCount, d.inBitCount & 7);
  uint32_t length = 0;
  uint32_t complement = 0;
  if (!TakeBits(d, 16, &length) || !TakeBits(d, 16, &complement)) return kBlockInvalid;
  if (length != (~complement & 0xFFFF)) return kBlockInvalid;

  uint32_t pos = d.windowPos;
  // Whole bytes still in the accumulator come first, then the input buffer
  // is copied in runs.
  while (length > 0 && d.inBitCount >= 8) {
    const bool goOn = PutByte(d, pos, static_cast<uint8_t>(d.inBits));
    Drop(d.inBits, d.inBitCount, 8);
    --length;
    if (!goOn) return kBlockInvalid;
  }
  while (length > 0) {
    if (d.inputPos > d.inputLen) {
      const int v = FillInput();
      if (v < 0) {
        d.windowPos = pos;
        return kBlockInvalid;
      }
      --length;
      if (!PutByte(d, pos, static_cast<uint8_t>(v))) return kBlockInvalid;
      continue;
    }
    const uint32_t available = static_cast<uint32_t>(d.inputLen - d.inputPos + 1);
    const uint32_t run = std::min({length, available, kWindowSize - pos});
    std::memcpy(CurrentWindow(d) + pos, d.InputBuffer + d.inputPos - 1, run);
    d.inputPos = static_cast<int32_t>(d.inputPos + run);
    length -= run;
    pos += run;
    if (pos == kWindowSize && !WindowFull(d, pos)) return kBlockInvalid;
  }
  d.windowPos = pos;
  return kBlockOk;
}

namespace {

// Code lengths of the fixed literal/length code, then of the fixed
// distance code.
constexpr std::array<uint8_t, 288 + 30> kFixedLengths = [] {
  std::array<uint8_t, 288 + 30> lengths{};
  for (unsigned t = 0; t < 288; ++t) lengths[t] = t < 144 ? 8 : t < 256 ? 9 : t < 280 ? 7 : 8;
  for (unsigned t = 288; t < 288 + 30; ++t) lengths[t] = 5;
  return lengths;
}();

// The fast path's tables of the block's codes, unless the plain path runs
// alone.
void BuildFastTables(DecoderState& d, const uint8_t* lengths, unsigned nl, unsigned nd) {
  BuildFastTable(lengths, nl, 257, kDecodeLengthBase.data(), kDecodeLengthExtra.data(),
                 d.fastLiteral.data(), kFastLiteralBits, true);
  BuildFastTable(lengths + nl, nd, 0, kDecodeDistanceBase.data(), kDecodeDistanceExtra.data(),
                 d.fastDistance.data(), kFastDistanceBits, false);
}

}  // namespace

int InflateFixed() {
  DecoderState& d = Decoder();
  if (d.fixedLiteral == nullptr) {
    unsigned literalBits = 7;
    const DecodeEntry* literal = nullptr;
    int result = BuildDecodeTable(kFixedLengths.data(), 288, 257, kDecodeLengthBase.data(),
                                  kDecodeLengthExtra.data(), &literal, &literalBits);
    if (result != kCodeComplete) {
      FreeDecodeTable(literal);
      return result;
    }
    unsigned distanceBits = 5;
    const DecodeEntry* distance = nullptr;
    result = BuildDecodeTable(kFixedLengths.data() + 288, 30, 0, kDecodeDistanceBase.data(),
                              kDecodeDistanceExtra.data(), &distance, &distanceBits);
    if (result > kCodeIncomplete) {
      FreeDecodeTable(literal);
      return result;
    }
    d.fixedLiteral = literal;
    d.fixedDistance = distance;
    d.fixedLiteralBits = literalBits;
    d.fixedDistanceBits = distanceBits;
  }
  // The fixed codes' fast tables stay until a dynamic block replaces them.
  if (!d.plainOnly && !d.fastTablesFixed) {
    BuildFastTables(d, kFixedLengths.data(), 288, 30);
    d.fastTablesFixed = true;
  }
  return InflateCodes(d.fixedLiteral, d.fixedDistance, d.fixedLiteralBits, d.fixedDistanceBits) == 0
             ? kBlockOk
             : kBlockInvalid;
}

int InflateDynamic() {
  DecoderState& d = Decoder();
  uint32_t hlit = 0;
  uint32_t hdist = 0;
  uint32_t hclen = 0;
  if (!TakeBits(d, 5, &hlit) || !TakeBits(d, 5, &hdist) || !TakeBits(d, 4, &hclen)) {
    return kBlockInvalid;
  }
  const unsigned nl = hlit + 257;
  const unsigned nd = hdist + 1;
  const unsigned nb = hclen + 4;
  if (nl > 286 || nd > 30) return kBlockInvalid;

  std::array<uint8_t, kMaxLengths> lengths{};
  for (unsigned j = 0; j < nb; ++j) {
    uint32_t value = 0;
    if (!TakeBits(d, 3, &value)) return kBlockInvalid;
    lengths[kCodeLengthOrder[j]] = static_cast<uint8_t>(value);
  }
  for (unsigned j = nb; j < 19; ++j) lengths[kCodeLengthOrder[j]] = 0;

  const DecodeEntry* bt = nullptr;
  unsigned bb = 7;
  int result = BuildDecodeTable(lengths.data(), 19, 19, nullptr, nullptr, &bt, &bb);
  if (result != kCodeComplete) {
    if (result == kCodeIncomplete) FreeDecodeTable(bt);
    return result;
  }
  const DecodeEntry* lengthTable = bt != nullptr ? bt : kMissingTable;

  uint64_t bits = d.inBits;
  uint32_t count = d.inBitCount;
  const unsigned total = nl + nd;
  unsigned filled = 0;
  uint8_t previous = 0;
  result = kBlockOk;
  while (filled < total) {
    if (!Ensure(d, bits, count, bb)) {
      result = kBlockInvalid;
      break;
    }
    const DecodeEntry& e = lengthTable[bits & kBitMask[bb]];
    if (e.op == kOpInvalid) {
      result = kBlockInvalid;
      break;
    }
    Drop(bits, count, e.bits);
    const unsigned symbol = e.value;
    if (symbol < 16) {
      previous = static_cast<uint8_t>(symbol);
      lengths[filled++] = previous;
      continue;
    }
    unsigned extraBits = symbol == 16 ? 2 : symbol == 17 ? 3 : 7;
    unsigned repeat = symbol == 18 ? 11 : 3;
    if (!Ensure(d, bits, count, extraBits)) {
      result = kBlockInvalid;
      break;
    }
    repeat += static_cast<unsigned>(bits & kBitMask[extraBits]);
    Drop(bits, count, extraBits);
    if (filled + repeat > total) {
      result = kBlockInvalid;
      break;
    }
    if (symbol != 16) previous = 0;
    std::fill_n(lengths.begin() + filled, repeat, symbol == 16 ? previous : uint8_t{0});
    filled += repeat;
  }
  FreeDecodeTable(bt);
  d.inBits = bits;
  d.inBitCount = count;
  if (result != kBlockOk) return result;

  const DecodeEntry* lt = nullptr;
  unsigned lb = kLiteralLookupBits;
  result = BuildDecodeTable(lengths.data(), nl, 257, kDecodeLengthBase.data(),
                            kDecodeLengthExtra.data(), &lt, &lb);
  if (result != kCodeComplete) {
    if (result == kCodeIncomplete) FreeDecodeTable(lt);
    return result;
  }
  const DecodeEntry* dt = nullptr;
  unsigned db = kDistanceLookupBits;
  result = BuildDecodeTable(lengths.data() + nl, nd, 0, kDecodeDistanceBase.data(),
                            kDecodeDistanceExtra.data(), &dt, &db);
  if (result != kCodeComplete) {
    if (result == kCodeIncomplete) FreeDecodeTable(dt);
    FreeDecodeTable(lt);
    return result;
  }
  if (!d.plainOnly) {
    BuildFastTables(d, lengths.data(), nl, nd);
    d.fastTablesFixed = false;
  }
  result =
      InflateCodes(lt != nullptr ? lt : kMissingTable, dt != nullptr ? dt : kMissingTable, lb, db);
  FreeDecodeTable(lt);
  FreeDecodeTable(dt);
  return result == 0 ? kBlockOk : kBlockInvalid;
}

namespace {

// The part of the decoder's state that InflateCodes keeps in registers.
struct CodeCursor {
  uint64_t bits;
  uint32_t count;
  uint32_t pos;
};

enum CodeStep : int { kStepMore, kStepEndOfBlock, kStepInvalid };

// Decodes one literal, or one length and distance and copies the match, the
// plain way: bits are fetched byte by byte as they are needed, and a flush
// may come at any byte.
CodeStep InflateOneCode(DecoderState& d, CodeCursor& c, const DecodeEntry* lt,
                        const DecodeEntry* dt, unsigned lb, unsigned db) {
  const DecodeEntry* e = DecodeSymbol(d, c.bits, c.count, lt, lb);
  if (e == nullptr) return kStepInvalid;
  if (e->op == kOpLiteral) {
    return PutByte(d, c.pos, static_cast<uint8_t>(e->value)) ? kStepMore : kStepInvalid;
  }
  if (e->op == kOpEndOfBlock) return kStepEndOfBlock;
  unsigned op = e->op;
  if (!Ensure(d, c.bits, c.count, op)) return kStepInvalid;
  uint32_t length = e->value + static_cast<uint32_t>(c.bits & kBitMask[op]);
  Drop(c.bits, c.count, op);

  e = DecodeSymbol(d, c.bits, c.count, dt, db);
  if (e == nullptr) return kStepInvalid;
  op = e->op;
  if (!Ensure(d, c.bits, c.count, op)) return kStepInvalid;
  const uint32_t distance = e->value + static_cast<uint32_t>(c.bits & kBitMask[op]);
  Drop(c.bits, c.count, op);
  // Nothing of this member lies that far back yet.
  if (!d.windowWrapped && distance > c.pos) return kStepInvalid;

  // The previous window lies right before the current one, so the source
  // never wraps; it moves along as the window is flushed.
  while (length > 0) {
    uint8_t* window = CurrentWindow(d);
    const uint32_t run = std::min(kWindowSize - c.pos, length);
    uint8_t* to = window + c.pos;
    const uint8_t* from = to - distance;
    if (distance >= run) {
      std::memcpy(to, from, run);
    } else {
      // Source and destination overlap: byte by byte repeats the pattern.
      for (uint32_t t = 0; t < run; ++t) to[t] = from[t];
    }
    length -= run;
    c.pos += run;
    if (c.pos == kWindowSize && !WindowFull(d, c.pos)) return kStepInvalid;
  }
  return kStepMore;
}

constexpr uint32_t kMaxMatch = 258;

inline uint64_t LoadLittle64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native != std::endian::little) {
    uint64_t r = 0;
    for (int i = 0; i < 8; ++i) r |= uint64_t{p[i]} << (8 * i);
    v = r;
  }
  return v;
}

// Copies a match whose source lies distance bytes back. Stores may run up
// to 31 bytes past its end: those bytes of the current window are decoded
// later anyway, and kWindowSlack covers the end of the window.
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

// Bounds of the fast path: where in the window it stops (between two
// checks it writes at most six literals, or four and a match) and how many
// bytes of input it wants buffered (two refills' worth).
constexpr uint32_t kFastWindowLimit = kWindowSize - kMaxMatch - 6;
constexpr int kFastInputMargin = 16;

// The fast path of InflateCodes. It runs while the window has room for a
// few literals and a longest match and the input buffer still holds two
// words, and it refills the accumulator a word at a time: one refill covers
// three literal entries or a whole length and distance (at most 48 bits), so
// within these bounds no symbol can reach a flush or a read, and the plain
// path's flushes, reads and callbacks happen exactly where they would have.
// Codes come from the one-level tables, and from the multi-level ones where
// those send them.
//
// Built kNearEnd, it runs in the last stretch of the window instead: it
// checks each code's bytes against the window's end and stops in front of
// the code that would reach it (and of any code the multi-level tables
// hold), so that the plain path decodes that one, flushing where it fills
// the window.
template <bool kNearEnd>
[[gnu::always_inline]] inline CodeStep DecodeCodesFast(DecoderState& d, CodeCursor& c,
                                                       const DecodeEntry* lt, const DecodeEntry* dt,
                                                       unsigned lb, unsigned db) {
  uint8_t* const window = CurrentWindow(d);
  uint8_t* out = window + c.pos;
  uint8_t* const outLimit = window + (kNearEnd ? kWindowSize : kFastWindowLimit);
  // Whether n more bytes leave the window short of full.
  auto fits = [&](uint32_t n) { return !kNearEnd || n < static_cast<uint32_t>(outLimit - out); };
  // The oldest byte a back-reference may reach: the previous window lies
  // right before this one once it has been filled.
  const uint8_t* const oldest = d.windowWrapped ? window - kWindowSize : window;
  const uint8_t* in = d.InputBuffer + d.inputPos - 1;
  const uint8_t* const inEnd = d.InputBuffer + d.inputLen;
  uint64_t bits = c.bits;
  uint32_t count = c.count;
  const FastEntry* const lf = d.fastLiteral.data();
  const FastEntry* const df = d.fastDistance.data();
  constexpr uint64_t kLiteralMask = (1u << kFastLiteralBits) - 1;
  constexpr uint64_t kDistanceMask = (1u << kFastDistanceBits) - 1;
  CodeStep step = kStepMore;

  // Tops the accumulator up to at least 56 bits. Bits of the next byte may
  // land above the counted ones; the next refill puts the same bits there.
  // Only the low byte of count matters in the loop: an entry is subtracted
  // whole, which saves taking its low byte apart.
  auto refill = [&] {
    bits |= LoadLittle64(in) << (count & 63);
    in += 7 - ((count >> 3) & 7);
    count |= 56;
  };
  auto consume = [&](FastEntry e) {
    bits >>= FastShift(e) & 63;
    count -= e;
  };
  // Both bytes are stored; the second is overwritten later when the entry
  // holds one literal.
  auto putLiterals = [&](FastEntry e) {
    if constexpr (std::endian::native == std::endian::little) {
      const uint16_t both = static_cast<uint16_t>(FastValue(e));
      std::memcpy(out, &both, 2);
    } else {
      out[0] = static_cast<uint8_t>(FastValue(e));
      out[1] = static_cast<uint8_t>(FastValue(e) >> 8);
    }
    out += FastLiteralCount(e);
  };
  // The base plus the extra bits that follow the code. A code entry has no
  // kind bits, so the code's length is all of bits 8..13, and a shift by it
  // needs no mask.
  auto codeValue = [&](FastEntry e) {
    return FastValue(e) + static_cast<uint32_t>(LowBits(bits, FastShift(e)) >> ((e >> 8) & 63));
  };

  // Each pass starts with a full accumulator and the entry of its bits
  // already looked up; the next pass's lookup goes ahead of the match copy.
  // A refill leaves 64 bits of the stream in the accumulator (some above the
  // count), and a pass takes at most 48 of them before its last lookup, so
  // that lookup need not wait for the refill that follows it.
  FastEntry e = 0;
  bool more = out < outLimit && inEnd - in >= kFastInputMargin;
  if (more) {
    refill();
    e = lf[bits & kLiteralMask];
  }
  while (more) {
    if (e & kFastLiteral) {
      // Three literal entries take at most 33 of the 56 bits.
      if (!fits(FastLiteralCount(e))) break;
      consume(e);
      putLiterals(e);
      e = lf[bits & kLiteralMask];
      if (e & kFastLiteral) {
        if (!fits(FastLiteralCount(e))) break;
        consume(e);
        putLiterals(e);
        e = lf[bits & kLiteralMask];
        if (e & kFastLiteral) {
          if (!fits(FastLiteralCount(e))) break;
          consume(e);
          putLiterals(e);
          if (out >= outLimit || inEnd - in < kFastInputMargin) break;
          e = lf[bits & kLiteralMask];
          refill();
          continue;
        }
      }
      refill();
    }
    uint32_t length;
    if (e & (kFastSlow | kFastEndOfBlock | kFastLengthExtra)) [[unlikely]] {
      if (e & kFastEndOfBlock) {
        consume(e);
        step = kStepEndOfBlock;
        break;
      }
      if (e & kFastSlow) {
        if (kNearEnd) break;
        const DecodeEntry* p = FastSubTables(lt + LowBits(bits, lb), bits, count);
        if (p == nullptr) {
          step = kStepInvalid;
          break;
        }
        e = FastEntryOf(*p);
        if (e & kFastLiteral) {
          consume(e);
          putLiterals(e);
          if (out >= outLimit || inEnd - in < kFastInputMargin) break;
          e = lf[bits & kLiteralMask];
          refill();
          continue;
        }
        if (e & kFastEndOfBlock) {
          consume(e);
          step = kStepEndOfBlock;
          break;
        }
      }
      e &= ~kFastLengthExtra;
      length = codeValue(e);
    } else {
      length = FastValue(e);
    }
    if (!fits(length)) break;
    consume(e);

    e = df[bits & kDistanceMask];
    if (e & kFastSlow) [[unlikely]] {
      const DecodeEntry* p = FastSubTables(dt + LowBits(bits, db), bits, count);
      if (p == nullptr) {
        step = kStepInvalid;
        break;
      }
      e = FastEntryOf(*p);
    }
    const uint32_t distance = codeValue(e);
    consume(e);
    if (distance > static_cast<uint32_t>(out - oldest)) [[unlikely]] {
      step = kStepInvalid;
      break;
    }
    uint8_t* const to = out;
    out += length;
    more = out < outLimit && inEnd - in >= kFastInputMargin;
    if (more) {
      e = lf[bits & kLiteralMask];
      refill();
    }
    CopyMatchFast(to, distance, length);
  }

  // The plain path expects nothing above the counted bits.
  count &= 0xFF;
  c.bits = LowBits(bits, count);
  c.count = count;
  c.pos = static_cast<uint32_t>(out - window);
  d.inputPos = static_cast<int32_t>(in - d.InputBuffer + 1);
  return step;
}

using FastDecoder = CodeStep (*)(DecoderState&, CodeCursor&, const DecodeEntry*, const DecodeEntry*,
                                 unsigned, unsigned);

CodeStep InflateCodesFast(DecoderState& d, CodeCursor& c, const DecodeEntry* lt,
                          const DecodeEntry* dt, unsigned lb, unsigned db) {
  return DecodeCodesFast<false>(d, c, lt, dt, lb, db);
}

CodeStep InflateCodesNearEnd(DecoderState& d, CodeCursor& c, const DecodeEntry* lt,
                             const DecodeEntry* dt, unsigned lb, unsigned db) {
  return DecodeCodesFast<true>(d, c, lt, dt, lb, db);
}

#if defined(__x86_64__) && defined(__GNUC__)
// The same loop built for processors with variable shifts and bit-field
// extraction that take no count register: the accumulator's shifts and
// masks are most of its work.
__attribute__((target("bmi2"))) CodeStep InflateCodesFastBmi2(DecoderState& d, CodeCursor& c,
                                                              const DecodeEntry* lt,
                                                              const DecodeEntry* dt, unsigned lb,
                                                              unsigned db) {
  return DecodeCodesFast<false>(d, c, lt, dt, lb, db);
}

FastDecoder ChooseFastDecoder() {
  static const FastDecoder chosen = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("bmi2") ? &InflateCodesFastBmi2 : &InflateCodesFast;
  }();
  return chosen;
}
#else
FastDecoder ChooseFastDecoder() {
  return &InflateCodesFast;
}
#endif

}  // namespace

int InflateCodes(const DecodeEntry* lt, const DecodeEntry* dt, unsigned lb, unsigned db) {
  DecoderState& d = Decoder();
  CodeCursor c{d.inBits, d.inBitCount, d.windowPos};
  const FastDecoder fast = ChooseFastDecoder();
  CodeStep step = kStepMore;
  while (step == kStepMore) {
    // Near the end of the input buffer the fast path would return at once.
    if (!d.plainOnly && d.inputLen - d.inputPos + 1 >= kFastInputMargin) {
      step = c.pos < kFastWindowLimit ? fast(d, c, lt, dt, lb, db)
                                      : InflateCodesNearEnd(d, c, lt, dt, lb, db);
      if (step != kStepMore) break;
    }
    step = InflateOneCode(d, c, lt, dt, lb, db);
  }
  d.inBits = c.bits;
  d.inBitCount = c.count;
  d.windowPos = c.pos;
  return step == kStepEndOfBlock ? kBlockOk : kBlockInvalid;
}

}  // namespace gzarc
