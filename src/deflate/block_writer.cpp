#include "deflate/block_writer.h"

#include <array>

#include "deflate/trees.h"
#include "platform/byte_order.h"

namespace gzarc::deflate {
namespace {

inline bool Failed(const CompressorState& c) {
  return c.Outcome != CompressOutcome::kOk;
}

// One write of the whole buffer; the buffer keeps its bytes when it fails.
bool WriteOut(CompressorState& c, const uint8_t* data, uint32_t count) {
  const int32_t written = c.Sink.write(c.Sink.context, data, count);
  if (static_cast<uint16_t>(written) != static_cast<uint16_t>(count)) {
    c.Outcome = CompressOutcome::kWriteFailed;
    return false;
  }
  return true;
}

inline void PutByteInline(CompressorState& c, uint8_t byte) {
  if (c.OutputCount + 1 > static_cast<int>(kOutputBufferSize)) {
    FlushOutput(c, byte, 1);
    return;
  }
  c.OutputBuffer[c.OutputCount++] = byte;
}

inline void PutWordInline(CompressorState& c, uint16_t w) {
  if (c.OutputCount + 2 > static_cast<int>(kOutputBufferSize)) {
    FlushOutput(c, w, 2);
    return;
  }
  c.OutputBuffer[c.OutputCount] = static_cast<uint8_t>(w);
  c.OutputBuffer[c.OutputCount + 1] = static_cast<uint8_t>(w >> 8);
  c.OutputCount = static_cast<int16_t>(c.OutputCount + 2);
}

// Fields go in least significant bit first. A field that does not fit the
// 16-bit buffer completes it; the buffer goes out and keeps the rest. Once
// a write has failed nothing more is written.
inline void SendBitsInline(CompressorState& c, uint32_t value, int length) {
  if (c.BitCount > 16 - length) {
    if (Failed(c)) return;
    c.BitBuffer = static_cast<uint16_t>(c.BitBuffer | (value << c.BitCount));
    PutWordInline(c, c.BitBuffer);
    if (Failed(c)) return;
    c.BitBuffer = static_cast<uint16_t>(value >> (16 - c.BitCount));
    c.BitCount = static_cast<uint8_t>(c.BitCount + length - 16);
  } else {
    c.BitBuffer = static_cast<uint16_t>(c.BitBuffer | (value << c.BitCount));
    c.BitCount = static_cast<uint8_t>(c.BitCount + length);
  }
}

inline void SendCode(CompressorState& c, const TreeNode* tree, int symbol) {
  SendBitsInline(c, tree[symbol].FreqOrCode, tree[symbol].ParentOrLength);
}

// The symbol loop's bit writer: the 16-bit buffer widened to 64 bits, so a
// whole match (at most 48 bits) goes in before anything goes out. Drain then
// moves out the complete words that SendBits would already have put into the
// output buffer (all but the last word begun, which may be full), in the
// same order and through the same buffer, so the bytes, the flush points and
// the state left behind are those of SendBits. The buffer's fill count is
// kept in a register and written back before anything else may read it.
struct WideBits {
  CompressorState& c;
  uint8_t* buffer;
  uint32_t used;
  uint64_t bits;
  unsigned count;

  explicit WideBits(CompressorState& state)
      : c(state),
        buffer(state.OutputBuffer),
        used(static_cast<uint32_t>(state.OutputCount)),
        bits(state.BitBuffer),
        count(state.BitCount) {}

  void Add(uint32_t value, unsigned length) {
    bits |= static_cast<uint64_t>(value) << count;
    count += length;
  }

  bool Drain() {
    // Branch-free: (count - 1) / 16 words, none when count is 0.
    const unsigned words = (count - (count != 0)) >> 4;
    if (used + 8 <= kOutputBufferSize) {
      // Room for all eight bytes: store them at once and count only the
      // complete words; the rest is overwritten later.
      StoreLittle64(buffer + used, bits);
      used += 2 * words;
      bits >>= 16 * words;
      count -= 16 * words;
      return true;
    }
    c.OutputCount = static_cast<int16_t>(used);
    for (unsigned k = 0; k < words; ++k) {
      PutWordInline(c, static_cast<uint16_t>(bits));
      if (Failed(c)) return false;
      bits >>= 16;
      count -= 16;
    }
    used = static_cast<uint32_t>(c.OutputCount);
    return true;
  }

  void Finish() {
    c.OutputCount = static_cast<int16_t>(used);
    c.BitBuffer = static_cast<uint16_t>(bits);
    c.BitCount = static_cast<uint8_t>(count);
  }
};

// A code with its extra bits as one field: the bits, least significant
// first, and how many there are.
struct CodeField {
  uint32_t bits;
  uint32_t length;
};

// Pads to a byte, writes the whole buffer and empties the bit buffer.
bool AlignAndFlush(CompressorState& c) {
  AlignOutput(c);
  const bool ok = !Failed(c) && FlushOutput(c, 0, 0);
  c.BitBuffer = 0;
  c.BitCount = 0;
  return ok;
}

}  // namespace

void PutByte(CompressorState& c, uint8_t byte) {
  PutByteInline(c, byte);
}
void PutWord(CompressorState& c, uint16_t w) {
  PutWordInline(c, w);
}

bool FlushOutput(CompressorState& c, uint16_t pending, int n) {
  if (!WriteOut(c, c.OutputBuffer, static_cast<uint32_t>(c.OutputCount))) return false;
  c.OutputBuffer[0] = static_cast<uint8_t>(pending);
  c.OutputBuffer[1] = static_cast<uint8_t>(pending >> 8);
  c.OutputCount = static_cast<int16_t>(n);
  return true;
}

void SendBits(CompressorState& c, uint32_t value, int length) {
  SendBitsInline(c, value, length);
}

void AlignOutput(CompressorState& c) {
  if (c.BitCount > 8) {
    PutWordInline(c, c.BitBuffer);
  } else if (c.BitCount > 0) {
    PutByteInline(c, static_cast<uint8_t>(c.BitBuffer));
  }
}

void WriteStoredBlock(CompressorState& c, const uint8_t* start, int32_t size) {
  if (!AlignAndFlush(c)) return;
  const uint16_t length = static_cast<uint16_t>(size);
  PutWordInline(c, length);
  PutWordInline(c, static_cast<uint16_t>(~length));
  if (Failed(c) || !FlushOutput(c, 0, 0)) return;
  c.OutputCount = 0;
  WriteOut(c, start, length);
}

void EmitBlockSymbols(CompressorState& c, const TreeNode* literalCodes,
                      const TreeNode* distanceCodes) {
  if (Failed(c)) return;

  // The field of each LiteralBuffer value: as a literal in the first half,
  // as a match length (code and extra bits) in the second.
  std::array<CodeField, 512> valueField;
  for (unsigned v = 0; v < 256; ++v) {
    valueField[v] = {literalCodes[v].FreqOrCode, literalCodes[v].ParentOrLength};
    const unsigned k = c.LengthCode[v];
    const TreeNode code = literalCodes[k + kEndOfBlock + 1];
    const unsigned extra = LengthExtraBits[k];
    // Length 258 has no extra bits although it is not its code's base.
    const unsigned offset = extra != 0 ? v - c.LengthBase[k] : 0;
    // A length code the block does not use has no code length (the field
    // still holds a tree link); its entry is never read, but the shift must
    // stay defined.
    const unsigned shift = code.ParentOrLength <= kMaxCodeBits ? code.ParentOrLength : 0;
    valueField[256 + v] = {code.FreqOrCode | (offset << shift), code.ParentOrLength + extra};
  }
  // Each distance code with the shift of its extra bits in length.
  std::array<CodeField, kDistanceSymbols> distanceField;
  // A literal looks up a distance code as well, maybe one the block does not
  // use; such a code gets length 0 so that the shift below stays defined.
  for (unsigned d = 0; d < kDistanceSymbols; ++d) {
    const unsigned length = distanceCodes[d].ParentOrLength;
    distanceField[d] = {distanceCodes[d].FreqOrCode, length <= kMaxCodeBits ? length : 0};
  }

  // Literals and matches take the same path, so the loop has no branch on
  // the kind of symbol: a literal looks up a distance too (the next one,
  // which the buffer always holds) and adds it with no bits.
  WideBits out(c);
  const uint8_t* flagBuffer = c.FlagBuffer;
  const uint8_t* literals = c.LiteralBuffer;
  const uint16_t* distances = c.DistanceBuffer;
  const uint16_t* distanceBase = c.DistanceBase;
  const uint8_t* distanceCode = c.DistanceCode;
  const unsigned symbols = c.LiteralCount;
  unsigned distanceIndex = 0;
  // Adds symbol i, whose flag is isMatch, and drains.
  const auto addSymbol = [&](unsigned i, unsigned isMatch) {
    const CodeField value = valueField[literals[i] | (isMatch << 8)];
    out.Add(value.bits, value.length);

    const unsigned dist = distances[distanceIndex];
    distanceIndex += isMatch;
    // The index of DistanceCodeOf, chosen without a branch.
    const unsigned far = 0u - static_cast<unsigned>(dist >= 256);
    const unsigned d = distanceCode[(dist & ~far) | ((256 + (dist >> 7)) & far)];
    const CodeField code = distanceField[d];
    const uint32_t keep = 0u - isMatch;
    out.Add((code.bits | ((dist - distanceBase[d]) << code.length)) & keep,
            (code.length + DistanceExtraBits[d]) & keep);
    return out.Drain();
  };
  unsigned i = 0;
  for (; i + 8 <= symbols; i += 8) {
    const unsigned flags = flagBuffer[i >> 3];
    if (flags == 0) {
      // Eight literals go out three at a time with one drain: three codes
      // of at most 15 bits fit beside the 16 bits a drain may leave, and
      // the words written are the same, one drain or many.
      const uint8_t* run = literals + i;
      for (unsigned k = 0; k < 8; k += 3) {
        const unsigned n = k + 3 <= 8 ? 3 : 8 - k;
        for (unsigned j = 0; j < n; ++j) {
          const CodeField value = valueField[run[k + j]];
          out.Add(value.bits, value.length);
        }
        if (!out.Drain()) return;
      }
    } else {
      // The flag of each symbol is taken without a branch: whether it is a
      // match follows no pattern a predictor could learn.
      for (unsigned j = 0; j < 8; ++j) {
        if (!addSymbol(i + j, (flags >> j) & 1)) return;
      }
    }
  }
  for (; i < symbols; ++i) {
    if (!addSymbol(i, (flagBuffer[i >> 3] >> (i & 7)) & 1)) return;
  }
  out.Add(literalCodes[kEndOfBlock].FreqOrCode, literalCodes[kEndOfBlock].ParentOrLength);
  if (!out.Drain()) return;
  out.Finish();
}

void SendCodeLengths(CompressorState& c, const TreeNode* tree, int last) {
  const TreeNode* codes = c.CodeLengthTree;
  int prev = -1;
  int run = 0;
  int next = tree[0].ParentOrLength;
  int longest = NextRunLimits(-1, next).longest;
  int shortest = NextRunLimits(-1, next).shortest;

  for (int n = 0; n <= last; ++n) {
    const int cur = next;
    next = tree[n + 1].ParentOrLength;
    if (++run < longest && cur == next) continue;
    if (run < shortest) {
      do {
        SendCode(c, codes, cur);
      } while (--run != 0);
    } else if (cur != 0) {
      if (cur != prev) {
        SendCode(c, codes, cur);
        --run;
      }
      SendCode(c, codes, kRepeatPrevious);
      SendBitsInline(c, static_cast<uint32_t>(run - 3), 2);
    } else if (run <= 10) {
      SendCode(c, codes, kRepeatZeros);
      SendBitsInline(c, static_cast<uint32_t>(run - 3), 3);
    } else {
      SendCode(c, codes, kRepeatManyZeros);
      SendBitsInline(c, static_cast<uint32_t>(run - 11), 7);
    }
    if (Failed(c)) return;
    run = 0;
    prev = cur;
    const RunLimits limits = NextRunLimits(cur, next);
    longest = limits.longest;
    shortest = limits.shortest;
  }
}

void SendDynamicHeader(CompressorState& c, int nlit, int ndist, int nclen) {
  SendBitsInline(c, static_cast<uint32_t>(nlit - 257), 5);
  SendBitsInline(c, static_cast<uint32_t>(ndist - 1), 5);
  SendBitsInline(c, static_cast<uint32_t>(nclen - 4), 4);
  for (int rank = 0; rank < nclen; ++rank) {
    SendBitsInline(c, c.CodeLengthTree[CodeLengthOrder[rank]].ParentOrLength, 3);
  }
  if (Failed(c)) return;
  SendCodeLengths(c, c.LiteralTree, nlit - 1);
  if (Failed(c)) return;
  SendCodeLengths(c, c.DistanceTree, ndist - 1);
}

void EndBlock(CompressorState& c, const uint8_t* start, int32_t size, int final) {
  c.FlagBuffer[c.FlagCount] = c.FlagByte;

  BuildHuffmanTree(c, c.LiteralDesc);
  BuildHuffmanTree(c, c.DistanceDesc);
  const int lastCodeLength = BuildCodeLengthTree(c);

  // Block sizes in bytes with the 3-bit header, rounded up. Ties go to the
  // stored form, then to the fixed codes.
  int32_t optBytes = (c.OptimalBits + 3 + 7) >> 3;
  const int32_t fixedBytes = (c.FixedBits + 3 + 7) >> 3;
  if (fixedBytes <= optBytes) optBytes = fixedBytes;

  if (size + 4 <= optBytes && start != nullptr) {
    SendBitsInline(c, static_cast<uint32_t>(final), 3);
    if (Failed(c)) return;
    WriteStoredBlock(c, start, size);
  } else if (fixedBytes == optBytes) {
    SendBitsInline(c, static_cast<uint32_t>(2 + final), 3);
    if (Failed(c)) return;
    EmitBlockSymbols(c, c.FixedLiteralTree, c.FixedDistanceTree);
  } else {
    SendBitsInline(c, static_cast<uint32_t>(4 + final), 3);
    if (Failed(c)) return;
    SendDynamicHeader(c, c.LiteralDesc.LastUsed + 1, c.DistanceDesc.LastUsed + 1,
                      lastCodeLength + 1);
    if (Failed(c)) return;
    EmitBlockSymbols(c, c.LiteralTree, c.DistanceTree);
  }
  if (Failed(c)) return;

  ResetBlock(c);
  if (final != 0) AlignAndFlush(c);
}

}  // namespace gzarc::deflate
