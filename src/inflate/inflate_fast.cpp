// The builds of the decoder's fast path; see inflate_fast.h.
#include "inflate/inflate_fast.h"

#include <array>
#include <bit>
#include <cstring>

#include "platform/byte_order.h"
#include "platform/cpu_features.h"

namespace gzarc {
namespace {

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
  uint8_t* const window = CurrentWindow(d.out);
  uint8_t* out = window + c.pos;
  uint8_t* const outLimit = window + (kNearEnd ? kDecodeWindowSize : kFastWindowLimit);
  // Whether n more bytes leave the window short of full.
  auto fits = [&](uint32_t n) { return !kNearEnd || n < static_cast<uint32_t>(outLimit - out); };
  // The oldest byte a back-reference may reach: the previous window lies
  // right before this one once it has been filled.
  const uint8_t* const oldest = d.windowWrapped ? window - kDecodeWindowSize : window;
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

}  // namespace

CodeStep InflateCodesNearEnd(DecoderState& d, CodeCursor& c, const DecodeEntry* lt,
                             const DecodeEntry* dt, unsigned lb, unsigned db) {
  return DecodeCodesFast<true>(d, c, lt, dt, lb, db);
}

namespace {

CodeStep InflateCodesFast(DecoderState& d, CodeCursor& c, const DecodeEntry* lt,
                          const DecodeEntry* dt, unsigned lb, unsigned db) {
  return DecodeCodesFast<false>(d, c, lt, dt, lb, db);
}

#ifdef GZARC_X86_DISPATCH
// The same loop built for processors with variable shifts and bit-field
// extraction that take no count register: the accumulator's shifts and
// masks are most of its work.
__attribute__((target("bmi2"))) CodeStep InflateCodesFastBmi2(DecoderState& d, CodeCursor& c,
                                                              const DecodeEntry* lt,
                                                              const DecodeEntry* dt, unsigned lb,
                                                              unsigned db) {
  return DecodeCodesFast<false>(d, c, lt, dt, lb, db);
}
#endif

}  // namespace

FastCodes FastCodesFor(InflateCodesVariant variant) {
#ifdef GZARC_X86_DISPATCH
  if (variant == InflateCodesVariant::kFastBmi2) return &InflateCodesFastBmi2;
#endif
  return variant == InflateCodesVariant::kPlain ? nullptr : &InflateCodesFast;
}

bool CanRunInflateCodes(InflateCodesVariant variant) {
  return variant != InflateCodesVariant::kFastBmi2 ||
         platform::HasCpuFeatures(platform::CpuFeatures(), platform::kCpuBmi2);
}

InflateCodesVariant ChooseInflateCodes() {
  static const InflateCodesVariant chosen = CanRunInflateCodes(InflateCodesVariant::kFastBmi2)
                                                ? InflateCodesVariant::kFastBmi2
                                                : InflateCodesVariant::kFast;
  return chosen;
}

}  // namespace gzarc
