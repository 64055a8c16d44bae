// The block decoders of DEFLATE: stored, fixed-code and dynamic-code blocks,
// and the loop that decodes literal/length and distance codes into the
// window. The bit accumulator is read least-significant bit first.
#include "inflate/inflate.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "inflate/inflate_bits.h"
#include "inflate/inflate_fast.h"

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

constexpr unsigned kLiteralLookupBits = 9;
constexpr unsigned kDistanceLookupBits = 6;
constexpr unsigned kMaxLengths = 286 + 30;

// Stands in for the table of a code whose lengths are all zero: with 0 root
// bits every lookup lands on this one invalid entry.
const DecodeEntry kMissingTable[1] = {{kOpInvalid, 0, {0}}};

enum BlockResult : int { kBlockOk = 0, kBlockInvalid = 1, kBlockBadType = 2, kBlockNoMemory = 3 };

// Hands the full window over to be written and moves on to the next one,
// with the previous window, or a copy of it, right in front of it for the
// back-references that reach into it. False once decoding must stop.
[[nodiscard]] bool WindowFull(DecoderState& d, uint32_t& pos) {
  pos = 0;
  d.windowWrapped = true;
  ++d.windowsFilled;
  return QueueWindow(d.out);
}

[[nodiscard]] inline bool PutWindowByte(DecoderState& d, uint32_t& pos, uint8_t byte) {
  CurrentWindow(d.out)[pos++] = byte;
  return pos != kDecodeWindowSize || WindowFull(d, pos);
}

void ReleaseFixedTables(DecoderState& d) {
  FreeDecodeTable(d.fixedDistance);
  FreeDecodeTable(d.fixedLiteral);
  d.fixedDistance = d.fixedLiteral = nullptr;
  d.fixedDistanceBits = d.fixedLiteralBits = 0;
  d.fastTablesFixed = false;
}

// How a stream that must end early ends: a cancel stops it cleanly where it
// would have stopped; otherwise the windows filled before the damage are
// flushed and the rest dropped, and a failed read explains the damage better
// than the damage itself.
StreamEnd EndEarly(DecoderState& d) {
  if (d.out.stopped || !DrainWindows(d.out, 0, false)) return StreamEnd::kStopped;
  return d.inputFailed ? StreamEnd::kInputFailed : StreamEnd::kDamaged;
}

StreamEnd DecodeBlocks(DecoderState& d) {
  bool last = false;
  do {
    if (d.watch.boundary != nullptr && !d.watch.boundary(d.watch.context, d)) {
      return StreamEnd::kPaused;
    }
    if (InflateBlock(d, &last) != kBlockOk) return EndEarly(d);
  } while (!last);
  // The bytes read past the end must still sit unconsumed in the
  // accumulator; otherwise the stream was cut short.
  if (d.overrunBytes * 8 > d.inBitCount) return EndEarly(d);
  if (!DrainWindows(d.out, d.windowPos, true)) return StreamEnd::kStopped;
  return d.out.stopped ? StreamEnd::kStopped : StreamEnd::kComplete;
}

}  // namespace

StreamEnd InflateStream(DecoderState& d) {
  d.inBits = d.inBitCount = d.windowPos = 0;
  d.windowWrapped = false;
  d.windowsFilled = 0;
  StartWindows(d.out);
  return ContinueStream(d);
}

StreamEnd ContinueStream(DecoderState& d) {
  const StreamEnd end = DecodeBlocks(d);
  ReleaseFixedTables(d);
  return end;
}

int InflateBlock(DecoderState& d, bool* last) {
  uint32_t flag = 0;
  uint32_t type = 0;
  BlockStarted(d.out);
  if (!TakeBits(d, 1, &flag) || !TakeBits(d, 2, &type)) return kBlockInvalid;
  *last = flag != 0;
  int result;
  switch (type) {
    case 0:
      result = InflateStored(d);
      break;
    case 1:
      result = InflateFixed(d);
      break;
    case 2:
      result = InflateDynamic(d);
      break;
    default:
      return kBlockBadType;
  }
  if (result == kBlockOk) BlockEnded(d.out, d.windowPos);
  // A cancel during the block lets it finish, then ends the stream.
  if (d.out.observer.cancelled(d.out.observer.context)) *last = true;
  return result;
}

int InflateStored(DecoderState& d) {
  Drop(d.inBits, d.inBitCount, d.inBitCount & 7);
  uint32_t length = 0;
  uint32_t complement = 0;
  if (!TakeBits(d, 16, &length) || !TakeBits(d, 16, &complement)) return kBlockInvalid;
  if (length != (~complement & 0xFFFF)) return kBlockInvalid;
  if (d.marked != nullptr) return CopyStoredMarked(d, length);

  uint32_t pos = d.windowPos;
  // Whole bytes still in the accumulator come first, then the input buffer
  // is copied in runs.
  while (length > 0 && d.inBitCount >= 8) {
    const bool goOn = PutWindowByte(d, pos, static_cast<uint8_t>(d.inBits));
    Drop(d.inBits, d.inBitCount, 8);
    --length;
    if (!goOn) return kBlockInvalid;
  }
  while (length > 0) {
    if (d.inputPos > d.inputLen) {
      const int v = FillInput(d);
      if (v < 0) {
        d.windowPos = pos;
        return kBlockInvalid;
      }
      --length;
      if (!PutWindowByte(d, pos, static_cast<uint8_t>(v))) return kBlockInvalid;
      continue;
    }
    const uint32_t available = static_cast<uint32_t>(d.inputLen - d.inputPos + 1);
    const uint32_t run = std::min({length, available, kDecodeWindowSize - pos});
    std::memcpy(CurrentWindow(d.out) + pos, d.InputBuffer + d.inputPos - 1, run);
    d.inputPos = static_cast<int32_t>(d.inputPos + run);
    length -= run;
    pos += run;
    if (pos == kDecodeWindowSize && !WindowFull(d, pos)) return kBlockInvalid;
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

// The fast path's tables of the block's codes.
void BuildFastTables(DecoderState& d, const uint8_t* lengths, unsigned nl, unsigned nd) {
  BuildFastTable(lengths, nl, 257, kDecodeLengthBase.data(), kDecodeLengthExtra.data(),
                 d.fastLiteral.data(), kFastLiteralBits, true);
  BuildFastTable(lengths + nl, nd, 0, kDecodeDistanceBase.data(), kDecodeDistanceExtra.data(),
                 d.fastDistance.data(), kFastDistanceBits, false);
}

}  // namespace

int InflateFixed(DecoderState& d) {
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
  if (d.codes != InflateCodesVariant::kPlain && !d.fastTablesFixed) {
    BuildFastTables(d, kFixedLengths.data(), 288, 30);
    d.fastTablesFixed = true;
  }
  return InflateCodes(d, d.fixedLiteral, d.fixedDistance, d.fixedLiteralBits,
                      d.fixedDistanceBits) == 0
             ? kBlockOk
             : kBlockInvalid;
}

int InflateDynamic(DecoderState& d) {
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
  if (d.codes != InflateCodesVariant::kPlain) {
    BuildFastTables(d, lengths.data(), nl, nd);
    d.fastTablesFixed = false;
  }
  result = InflateCodes(d, lt != nullptr ? lt : kMissingTable, dt != nullptr ? dt : kMissingTable,
                        lb, db);
  FreeDecodeTable(lt);
  FreeDecodeTable(dt);
  return result == 0 ? kBlockOk : kBlockInvalid;
}

namespace {

// Decodes one literal, or one length and distance and copies the match, the
// plain way: bits are fetched byte by byte as they are needed, and a flush
// may come at any byte.
CodeStep InflateOneCode(DecoderState& d, CodeCursor& c, const DecodeEntry* lt,
                        const DecodeEntry* dt, unsigned lb, unsigned db) {
  const DecodeEntry* e = DecodeSymbol(d, c.bits, c.count, lt, lb);
  if (e == nullptr) return kStepInvalid;
  if (e->op == kOpLiteral) {
    return PutWindowByte(d, c.pos, static_cast<uint8_t>(e->value)) ? kStepMore : kStepInvalid;
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
    uint8_t* window = CurrentWindow(d.out);
    const uint32_t run = std::min(kDecodeWindowSize - c.pos, length);
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
    if (c.pos == kDecodeWindowSize && !WindowFull(d, c.pos)) return kStepInvalid;
  }
  return kStepMore;
}

}  // namespace

int InflateCodes(DecoderState& d, const DecodeEntry* lt, const DecodeEntry* dt, unsigned lb,
                 unsigned db) {
  if (d.marked != nullptr) return InflateCodesMarked(d, lt, dt, lb, db);
  CodeCursor c{d.inBits, d.inBitCount, d.windowPos};
  const FastCodes fast = FastCodesFor(d.codes);
  CodeStep step = kStepMore;
  while (step == kStepMore) {
    // Near the end of the input buffer the fast path would return at once.
    if (fast != nullptr && d.inputLen - d.inputPos + 1 >= kFastInputMargin) {
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
