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
