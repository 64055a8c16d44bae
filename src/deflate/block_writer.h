// DEFLATE block emission: the block's symbol buffers, the choice between a
// stored, a fixed-code and a dynamic-code block, the bit writer and the
// output buffer that goes to the archive.
#pragma once

#include <cstdint>

#include "deflate/compressor_state.h"
#include "deflate/trees.h"

namespace gzarc::deflate {

// Records a literal (distance 0, value the byte) or a match (distance
// 1-32768, value its length minus 3). True when the block is full. Inline:
// the match finder's loop calls it for every symbol.
inline bool TallySymbol(CompressorState& c, uint32_t distance, uint32_t value) {
  c.LiteralBuffer[c.LiteralCount++] = static_cast<uint8_t>(value);
  if (distance == 0) {
    ++c.LiteralTree[value].FreqOrCode;
  } else {
    --distance;
    ++c.LiteralTree[c.LengthCode[value] + kEndOfBlock + 1].FreqOrCode;
    ++c.DistanceTree[DistanceCodeOf(c.DistanceCode, distance)].FreqOrCode;
    c.DistanceBuffer[c.DistanceCount++] = static_cast<uint16_t>(distance);
    c.FlagByte = static_cast<uint8_t>(c.FlagByte | c.FlagBit);
  }
  // The flag byte goes into its slot after every symbol, complete or not,
  // and starts again after every eighth: whether this symbol completes it
  // follows no pattern a branch could learn.
  const uint32_t count = c.LiteralCount;
  c.FlagBuffer[c.FlagCount] = c.FlagByte;
  c.FlagCount = static_cast<uint16_t>(count >> 3);
  c.FlagByte = static_cast<uint8_t>(c.FlagByte & (0u - ((count & 7) != 0)));
  c.FlagBit = static_cast<uint8_t>(1u << (count & 7));
  return count == kBlockSymbolLimit;
}
// TallySymbol over symbols[0, count) in turn, for a caller that has them
// all at hand (symbols[i].distance and .value as TallySymbol takes them),
// with the block's counts kept in locals. Stops after the symbol that fills
// the block; returns how many it took, and the input they cover in *covered.
template <typename Symbol>
uint32_t TallySymbols(CompressorState& c, const Symbol* symbols, uint32_t count,
                      uint64_t* covered) {
  uint8_t* const literals = c.LiteralBuffer;
  uint16_t* const distances = c.DistanceBuffer;
  uint8_t* const flags = c.FlagBuffer;
  TreeNode* const literalTree = c.LiteralTree;
  TreeNode* const distanceTree = c.DistanceTree;
  const uint8_t* const lengthCode = c.LengthCode;
  const uint8_t* const distanceCode = c.DistanceCode;
  uint32_t literalCount = c.LiteralCount;
  uint32_t distanceCount = c.DistanceCount;
  uint32_t flagCount = c.FlagCount;
  uint32_t flagByte = c.FlagByte;
  uint32_t flagBit = c.FlagBit;
  uint64_t bytes = 0;
  uint32_t i = 0;
  while (i < count) {
    const uint32_t value = symbols[i].value;
    uint32_t distance = symbols[i].distance;
    ++i;
    literals[literalCount++] = static_cast<uint8_t>(value);
    if (distance == 0) {
      ++literalTree[value].FreqOrCode;
      ++bytes;
    } else {
      --distance;
      ++literalTree[lengthCode[value] + kEndOfBlock + 1].FreqOrCode;
      ++distanceTree[DistanceCodeOf(distanceCode, distance)].FreqOrCode;
      distances[distanceCount++] = static_cast<uint16_t>(distance);
      flagByte |= flagBit;
      bytes += value + kMinMatch;
    }
    flags[flagCount] = static_cast<uint8_t>(flagByte);
    flagCount = literalCount >> 3;
    flagByte &= 0u - ((literalCount & 7) != 0);
    flagBit = 1u << (literalCount & 7);
    if (literalCount == kBlockSymbolLimit) break;
  }
  c.LiteralCount = static_cast<uint16_t>(literalCount);
  c.DistanceCount = static_cast<uint16_t>(distanceCount);
  c.FlagCount = static_cast<uint16_t>(flagCount);
  c.FlagByte = static_cast<uint8_t>(flagByte);
  c.FlagBit = static_cast<uint8_t>(flagBit);
  *covered = bytes;
  return i;
}

// Closes the current block. start is the block's first input byte, or null
// once that byte has left the window; size is the input it covers.
void EndBlock(CompressorState& c, const uint8_t* start, int32_t size, int final);

// The output side, exposed for tests.
void PutByte(CompressorState& c, uint8_t byte);
void PutWord(CompressorState& c, uint16_t w);
bool FlushOutput(CompressorState& c, uint16_t pending, int n);
void SendBits(CompressorState& c, uint32_t value, int length);
void AlignOutput(CompressorState& c);
void WriteStoredBlock(CompressorState& c, const uint8_t* start, int32_t size);
void EmitBlockSymbols(CompressorState& c, const TreeNode* literalCodes,
                      const TreeNode* distanceCodes);
void SendDynamicHeader(CompressorState& c, int nlit, int ndist, int nclen);
void SendCodeLengths(CompressorState& c, const TreeNode* tree, int last);

}  // namespace gzarc::deflate
