// Decoding without the window in front: the code loop and the stored-block
// copy that write markers for what lies before the start.
//
// A parallel extraction decodes parts of a stream from a block start it has
// only guessed, before the bytes in front of it are known. Every byte a
// back-reference takes from before the start is written as a marker naming
// its position in the unknown 32 KB; copies of markers stay markers. Nothing
// else differs from the plain decoder (the same tables decode the same
// codes, the fast path the same way as for bytes, with elements of two
// bytes), so once the part in front is known, replacing each marker by its
// byte gives exactly what decoding the whole stream in order gives.
#include <algorithm>

#include "inflate/inflate.h"
#include "inflate/inflate_bits.h"
#include "inflate/inflate_fast.h"
#include "platform/byte_order.h"

namespace gzarc {
namespace {

constexpr int kOk = 0;
constexpr int kInvalid = 1;

// Room for n more elements; a block that would overflow fails, noted as
// full rather than as damage.
bool Room(MarkedOutput& m, uint64_t n) {
  if (m.capacity - m.count >= n) return true;
  m.full = true;
  return false;
}

// One literal, or one length and distance and its copy, the plain way.
CodeStep MarkedOneCode(DecoderState& d, MarkedOutput& m, uint64_t& bits, uint32_t& count,
                       const DecodeEntry* lt, const DecodeEntry* dt, unsigned lb, unsigned db) {
  const DecodeEntry* e = DecodeSymbol(d, bits, count, lt, lb);
  if (e == nullptr) return kStepInvalid;
  if (e->op == kOpLiteral) {
    if (!Room(m, 1)) return kStepInvalid;
    m.data[m.count++] = e->value;
    return kStepMore;
  }
  if (e->op == kOpEndOfBlock) return kStepEndOfBlock;
  unsigned op = e->op;
  if (!Ensure(d, bits, count, op)) return kStepInvalid;
  const uint32_t length = e->value + static_cast<uint32_t>(bits & kBitMask[op]);
  Drop(bits, count, op);
  e = DecodeSymbol(d, bits, count, dt, db);
  if (e == nullptr) return kStepInvalid;
  op = e->op;
  if (!Ensure(d, bits, count, op)) return kStepInvalid;
  const uint32_t distance = e->value + static_cast<uint32_t>(bits & kBitMask[op]);
  Drop(bits, count, op);
  if (distance > kDecodeWindowSize || !Room(m, length)) return kStepInvalid;
  // In increasing order, so that a distance shorter than the length
  // repeats the last elements; the markers in front cover every distance.
  uint16_t* to = m.data + m.count;
  for (uint32_t t = 0; t < length; ++t) to[t] = to[static_cast<int64_t>(t) - distance];
  m.count += length;
  return kStepMore;
}

// The fast path over the one-level tables, as for bytes: it runs while the
// input buffer holds two words and the output has room for a longest match,
// so that no symbol within it can reach a read or the capacity.
CodeStep MarkedCodesFast(DecoderState& d, MarkedOutput& m, uint64_t& bits, uint32_t& count,
                         const DecodeEntry* lt, const DecodeEntry* dt, unsigned lb, unsigned db) {
  const uint8_t* in = d.InputBuffer + d.inputPos - 1;
  const uint8_t* const inEnd = d.InputBuffer + d.inputLen;
  uint16_t* out = m.data + m.count;
  uint16_t* const limit = m.data + m.capacity - kLongestMatch - 2;
  const FastEntry* const lf = d.fastLiteral.data();
  const FastEntry* const df = d.fastDistance.data();
  constexpr uint64_t kLiteralMask = (1u << kFastLiteralBits) - 1;
  constexpr uint64_t kDistanceMask = (1u << kFastDistanceBits) - 1;
  const auto consume = [&](FastEntry e) {
    bits >>= FastShift(e) & 63;
    count -= e;
  };
  const auto codeValue = [&](FastEntry e) {
    return FastValue(e) + static_cast<uint32_t>(LowBits(bits, FastShift(e)) >> ((e >> 8) & 63));
  };
  const auto putLiterals = [&](FastEntry e) {
    out[0] = static_cast<uint16_t>(FastValue(e) & 0xFF);
    out[1] = static_cast<uint16_t>(FastValue(e) >> 8);
    out += FastLiteralCount(e);
  };
  CodeStep step = kStepMore;
  while (out < limit && inEnd - in >= kFastInputMargin) {
    // Tops the accumulator up to at least 56 bits, as the byte path does.
    bits |= LoadLittle64(in) << (count & 63);
    in += 7 - ((count >> 3) & 7);
    count |= 56;
    FastEntry e = lf[bits & kLiteralMask];
    if (e & kFastSlow) {
      const DecodeEntry* p = FastSubTables(lt + LowBits(bits, lb), bits, count);
      if (p == nullptr) {
        step = kStepInvalid;
        break;
      }
      e = FastEntryOf(*p);
    }
    if (e & kFastLiteral) {
      consume(e);
      putLiterals(e);
      continue;
    }
    if (e & kFastEndOfBlock) {
      consume(e);
      step = kStepEndOfBlock;
      break;
    }
    // A whole length has no extra bits left: codeValue adds nothing to it.
    e &= ~kFastLengthExtra;
    const uint32_t length = codeValue(e);
    consume(e);
    FastEntry de = df[bits & kDistanceMask];
    if (de & kFastSlow) {
      const DecodeEntry* p = FastSubTables(dt + LowBits(bits, db), bits, count);
      if (p == nullptr) {
        step = kStepInvalid;
        break;
      }
      de = FastEntryOf(*p);
    }
    const uint32_t distance = codeValue(de);
    consume(de);
    // Elements of two bytes: the byte copy at twice the distance and length
    // repeats whole elements.
    CopyMatchFast(reinterpret_cast<uint8_t*>(out), 2 * distance, 2 * length);
    out += length;
  }
  count &= 0xFF;
  bits = LowBits(bits, count);
  d.inputPos = static_cast<int32_t>(in - d.InputBuffer + 1);
  m.count = static_cast<uint64_t>(out - m.data);
  return step;
}

}  // namespace

void PresetMarkers(uint16_t* data) {
  for (uint32_t i = 0; i < kDecodeWindowSize; ++i) {
    data[static_cast<int64_t>(i) - kDecodeWindowSize] = static_cast<uint16_t>(kMarkerBase + i);
  }
}

bool LastWindowUnmarked(const MarkedOutput& m) {
  if (m.count < kDecodeWindowSize) return false;
  // From the end back: where markers are common, one turns up at once.
  const uint16_t* p = m.data + m.count;
  for (uint32_t i = 1; i <= kDecodeWindowSize; ++i) {
    if (p[-static_cast<int64_t>(i)] >= kMarkerBase) return false;
  }
  return true;
}

int InflateCodesMarked(DecoderState& d, const DecodeEntry* lt, const DecodeEntry* dt, unsigned lb,
                       unsigned db) {
  MarkedOutput& m = *d.marked;
  uint64_t bits = d.inBits;
  uint32_t count = d.inBitCount;
  const bool fast = d.codes != InflateCodesVariant::kPlain;
  CodeStep step = kStepMore;
  while (step == kStepMore) {
    if (fast && d.inputLen - d.inputPos + 1 >= kFastInputMargin &&
        m.capacity - m.count > kLongestMatch + 2) {
      step = MarkedCodesFast(d, m, bits, count, lt, dt, lb, db);
      if (step != kStepMore) break;
    }
    step = MarkedOneCode(d, m, bits, count, lt, dt, lb, db);
  }
  d.inBits = bits;
  d.inBitCount = count;
  return step == kStepEndOfBlock ? kOk : kInvalid;
}

int CopyStoredMarked(DecoderState& d, uint32_t length) {
  MarkedOutput& m = *d.marked;
  if (!Room(m, length)) return kInvalid;
  while (length > 0) {
    uint32_t byte = 0;
    if (!TakeBits(d, 8, &byte)) return kInvalid;
    m.data[m.count++] = static_cast<uint16_t>(byte);
    --length;
  }
  return kOk;
}

}  // namespace gzarc
