// Huffman code construction for the compressor: the block's frequency
// counts, length-limited codes built from them, the fixed codes, and the
// tables that map match lengths and distances to their codes.
#pragma once

#include <array>
#include <cstdint>

#include "deflate/compressor_state.h"

namespace gzarc::deflate {

inline constexpr std::array<uint16_t, kLengthCodes> LengthExtraBits = {
    0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
inline constexpr std::array<uint16_t, kDistanceSymbols> DistanceExtraBits = {
    0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
    6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
inline constexpr std::array<uint16_t, kCodeLengthSymbols> CodeLengthExtraBits = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 3, 7};
inline constexpr std::array<uint8_t, kCodeLengthSymbols> CodeLengthOrder = {
    16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Once per file, after the buffers are obtained: descriptors, length and
// distance tables, fixed trees; ends with ResetBlock.
void InitTrees(CompressorState& c);
// Empties the frequencies, the estimates and the block counters.
void ResetBlock(CompressorState& c);
// Builds the code of one tree from its frequencies and adds the block's
// cost to OptimalBits and FixedBits.
void BuildHuffmanTree(CompressorState& c, TreeDesc& desc);
// Builds the code-length code for the two trees just built; returns the
// position in CodeLengthOrder of the last code length to send (3-18).
int BuildCodeLengthTree(CompressorState& c);

// Internal steps, exposed for tests.
void SiftDown(CompressorState& c, const TreeNode* tree, int k);
void AssignBitLengths(CompressorState& c, TreeDesc& desc);
void AssignCodes(const CompressorState& c, TreeNode* tree, int last);
void CountCodeLengthRuns(CompressorState& c, TreeNode* tree, int last);

// The run limits of the code-length walk that counting and sending share:
// runs of zeros go up to 138; a length repeated after itself takes runs of
// 3 to 6 repeats; any other length needs 4 to start a repeat.
struct RunLimits {
  int longest;
  int shortest;
};
inline RunLimits NextRunLimits(int cur, int next) {
  if (next == 0) return {138, 3};
  if (cur == next) return {6, 3};
  return {7, 4};
}
uint16_t ReverseBits(uint32_t code, int length);

// The distance code of a distance minus one (0-32767).
// The index is chosen before the one load, which lets the choice be a
// conditional move: near and far distances alternate without a pattern.
inline uint8_t DistanceCodeOf(const uint8_t* distanceCode, uint32_t distance) {
  const uint32_t far = 256 + (distance >> 7);
  return distanceCode[distance < 256 ? distance : far];
}

}  // namespace gzarc::deflate
