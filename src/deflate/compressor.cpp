#include "deflate/compressor.h"

#include <cstring>

#include "deflate/trees.h"
#include "paths/strings.h"

namespace gzarc::deflate {
namespace {

template <typename T>
bool Obtain(CompressorState& c, T** buffer, uint32_t size, bool clear) {
  if (!AllocBlock(buffer, size)) {
    c.Outcome = CompressOutcome::kNoMemory;
    return false;
  }
  if (clear) std::memset(*buffer, 0, size);
  return true;
}

}  // namespace

bool AllocCompressBuffers(CompressorState& c) {
  c.OutputBuffer = nullptr;
  c.DistanceBuffer = nullptr;
  c.LiteralBuffer = nullptr;
  c.FlagBuffer = nullptr;
  c.Heap = nullptr;
  c.LiteralTree = c.DistanceTree = c.FixedLiteralTree = c.FixedDistanceTree = nullptr;
  c.CodeLengthTree = nullptr;
  c.LengthBase = c.DistanceBase = nullptr;
  c.LengthCode = c.DistanceCode = nullptr;
  c.BitLengthCount = nullptr;
  c.NodeDepth = nullptr;

  constexpr uint32_t kNode = sizeof(TreeNode);
  return Obtain(c, &c.OutputBuffer, kOutputBufferSize, false) &&
         Obtain(c, &c.DistanceBuffer, kSymbolBufferSize * 2, true) &&
         Obtain(c, &c.LiteralBuffer, kSymbolBufferSize, true) &&
         Obtain(c, &c.FlagBuffer, kFlagBufferSize, true) &&
         Obtain(c, &c.Heap, kHeapSize * 2, true) &&
         Obtain(c, &c.LiteralTree, kLiteralTreeSize * kNode, true) &&
         Obtain(c, &c.DistanceTree, kDistanceTreeSize * kNode, true) &&
         Obtain(c, &c.FixedLiteralTree, kFixedLiteralSymbols * kNode, true) &&
         Obtain(c, &c.FixedDistanceTree, kDistanceSymbols * kNode, true) &&
         Obtain(c, &c.CodeLengthTree, kCodeLengthTreeSize * kNode, true) &&
         Obtain(c, &c.LengthBase, kLengthCodes * 2, true) &&
         Obtain(c, &c.DistanceBase, kDistanceSymbols * 2, true) &&
         Obtain(c, &c.LengthCode, 256, true) && Obtain(c, &c.DistanceCode, 512, true) &&
         Obtain(c, &c.BitLengthCount, (kMaxCodeBits + 1) * 2, true) &&
         Obtain(c, &c.NodeDepth, kHeapSize, true);
}

void FreeCompressBuffers(CompressorState& c) {
  FreeBlock(&c.OutputBuffer);
  FreeBlock(&c.DistanceBuffer);
  FreeBlock(&c.LiteralBuffer);
  FreeBlock(&c.FlagBuffer);
  FreeBlock(&c.Heap);
  FreeBlock(&c.LiteralTree);
  FreeBlock(&c.DistanceTree);
  FreeBlock(&c.FixedLiteralTree);
  FreeBlock(&c.FixedDistanceTree);
  FreeBlock(&c.CodeLengthTree);
  FreeBlock(&c.LengthBase);
  FreeBlock(&c.DistanceBase);
  FreeBlock(&c.LengthCode);
  FreeBlock(&c.DistanceCode);
  FreeBlock(&c.BitLengthCount);
  FreeBlock(&c.NodeDepth);
}

bool StartBlockWriter(CompressorState& c, CompressSink sink, MatchVariant variant) {
  c.Sink = sink;
  c.Kernels = &MatchKernelsOf(variant);
  c.Outcome = CompressOutcome::kOk;
  c.BitBuffer = 0;
  c.BitCount = 0;
  c.OutputCount = 0;
  if (!AllocCompressBuffers(c)) return false;
  std::memset(c.OutputBuffer, 0, kOutputBufferSize);
  InitTrees(c);
  return true;
}

CompressOutcome CompressStream(CompressorState& c, CompressSource source, CompressSink sink,
                               MatchVariant variant) {
  c.Source = source;
  if (StartBlockWriter(c, sink, variant)) {
    InitMatchFinder(c);
    if (c.Outcome == CompressOutcome::kOk) DeflateStream(c);
  }
  FreeCompressBuffers(c);
  return c.Outcome;
}

}  // namespace gzarc::deflate
