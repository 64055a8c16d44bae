// The compressor's working state: one stream at a time goes through the
// match finder, the tree builder and the block writer, which all share the
// fields below. The state knows nothing of files, statuses or the host: it
// reads from the source and writes to the sink it is given, and every
// routine takes the state it works on, so that states on different threads
// never meet.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace gzarc::deflate {

// ---- Window and match search ------------------------------------------------

inline constexpr uint32_t kWindowHalf = 32768;  // DEFLATE's distance limit
inline constexpr uint32_t kWindowSize = 65536;
inline constexpr uint32_t kMinMatch = 3;
inline constexpr uint32_t kMaxMatch = 258;
inline constexpr uint32_t kMinLookahead = kMaxMatch + kMinMatch + 1;   // 262
inline constexpr uint32_t kMaxDistance = kWindowHalf - kMinLookahead;  // 32506
inline constexpr uint32_t kTooFar = 4096;
inline constexpr uint32_t kHashSize = 32768;
inline constexpr uint32_t kHashMask = kHashSize - 1;
inline constexpr uint32_t kHashShift = 5;
inline constexpr uint32_t kSlideThreshold = kWindowHalf + kMaxDistance;  // 65274
inline constexpr uint32_t kFirstRead = 32768;
// A match comparison may look up to kMaxMatch - 1 bytes past the current
// position, which can lie past the end of the window; this much zeroed,
// readable storage follows it.
inline constexpr uint32_t kWindowSlack = kMaxMatch + 6;

// ---- Block buffers ---------------------------------------------------------

inline constexpr uint32_t kOutputBufferSize = 8193;
inline constexpr uint32_t kSymbolBufferSize = 16384;
inline constexpr uint32_t kBlockSymbolLimit = kSymbolBufferSize - 1;  // 16383
inline constexpr uint32_t kFlagBufferSize = kSymbolBufferSize / 8;

// ---- Code trees ------------------------------------------------------------

inline constexpr int kLiteralSymbols = 286;  // 0-255, end of block, 29 lengths
inline constexpr int kDistanceSymbols = 30;
inline constexpr int kCodeLengthSymbols = 19;
inline constexpr int kFixedLiteralSymbols = 288;
inline constexpr int kHeapSize = 2 * kLiteralSymbols + 1;  // 573
inline constexpr int kLiteralTreeSize = kHeapSize;
inline constexpr int kDistanceTreeSize = 2 * kDistanceSymbols + 1;      // 61
inline constexpr int kCodeLengthTreeSize = 2 * kCodeLengthSymbols + 1;  // 39
inline constexpr int kMaxCodeBits = 15;
inline constexpr int kMaxCodeLengthBits = 7;
inline constexpr int kLengthCodes = 29;
inline constexpr int kEndOfBlock = 256;
inline constexpr int kRepeatPrevious = 16;   // 3-6 copies of the previous length
inline constexpr int kRepeatZeros = 17;      // 3-10 zero lengths
inline constexpr int kRepeatManyZeros = 18;  // 11-138 zero lengths

// One node of a code tree. While a tree is built the fields hold the
// frequency and the parent; afterwards the bit-reversed code and its length.
struct TreeNode {
  uint16_t FreqOrCode;
  uint16_t ParentOrLength;
};
static_assert(sizeof(TreeNode) == 4);

// The hash chain entry of a window position (indexed by position AND
// 32767): the next four positions along its chain, nearest first, 0 ending
// the chain, so that a search follows the chain four links per memory
// access. Link[0] is the previous position with the same hash.
struct ChainLink {
  std::array<uint16_t, 4> Link;
};
static_assert(sizeof(ChainLink) == 8);

struct TreeDesc {
  TreeNode* Tree;
  const TreeNode* FixedTree;
  const uint16_t* ExtraBits;
  int16_t FirstExtra;
  int16_t SymbolCount;
  int16_t LengthLimit;
  int16_t LastUsed;
};

// How a run of the compressor ends.
enum class CompressOutcome : uint8_t {
  kOk,
  kReadFailed,   // the source could not deliver its bytes
  kWriteFailed,  // the sink stored fewer bytes than it was given
  kNoMemory,     // a working buffer could not be had
  kStopped,      // the source asked to stop (the bytes it delivered still count)
};

// What one read of the source delivered: size bytes, and kOk to go on, or
// the reason to stop (a failed read delivers nothing).
struct SourceRead {
  uint32_t size;
  CompressOutcome stop;
};

// Where the compressor takes its input and puts its output. The sink
// returns the number of bytes stored, or -1 on failure.
struct CompressSource {
  SourceRead (*read)(void* context, uint8_t* destination, uint32_t count);
  void* context;
};
struct CompressSink {
  int32_t (*write)(void* context, const uint8_t* source, uint32_t count);
  void* context;
};

// The builds of the match finder's hot routines (match_finder.h).
struct MatchKernels;

struct CompressorState {
  // A state lives in static storage (the driver's one) or on the heap, and
  // takes some 390 KB. Not constexpr on purpose: a state that could be built at
  // compile time would be stored, windows and tables included, in the
  // library's initialized data. The window and hash tables have no
  // initializers either, so that setting the state up does not touch their
  // pages before compression does.
  CompressorState() {}

  // The running stream's ends and the builds it runs (set by CompressStream).
  CompressSource Source{};
  CompressSink Sink{};
  const MatchKernels* Kernels = nullptr;
  // The last failure or stop of the running stream; once it is not kOk the
  // block writer writes nothing more, and the lazy loop ends at the next
  // block boundary.
  CompressOutcome Outcome = CompressOutcome::kOk;

  // Match finder.
  alignas(64) std::array<uint8_t, kWindowSize + kWindowSlack> Window;
  std::array<uint16_t, kHashSize> HashHead;
  std::array<ChainLink, kHashSize> HashPrev;
  uint32_t InsertHash = 0;
  uint32_t StrStart = 0;
  uint32_t Lookahead = 0;
  int32_t BlockStart = 0;
  uint32_t MatchStart = 0;
  uint32_t PrevLength = 0;
  bool EndOfInput = false;
  uint32_t GoodLength = 0;
  uint32_t MaxLazy = 0;
  uint32_t NiceLength = 0;
  uint32_t MaxChain = 0;

  // Working buffers, obtained for each file by AllocCompressBuffers.
  uint8_t* OutputBuffer = nullptr;
  uint16_t* DistanceBuffer = nullptr;
  uint8_t* LiteralBuffer = nullptr;
  uint8_t* FlagBuffer = nullptr;
  int16_t* Heap = nullptr;
  TreeNode* LiteralTree = nullptr;
  TreeNode* DistanceTree = nullptr;
  TreeNode* FixedLiteralTree = nullptr;
  TreeNode* FixedDistanceTree = nullptr;
  TreeNode* CodeLengthTree = nullptr;
  uint16_t* LengthBase = nullptr;
  uint16_t* DistanceBase = nullptr;
  uint8_t* LengthCode = nullptr;
  uint8_t* DistanceCode = nullptr;
  uint16_t* BitLengthCount = nullptr;
  uint8_t* NodeDepth = nullptr;

  // Tree construction.
  TreeDesc LiteralDesc{};
  TreeDesc DistanceDesc{};
  TreeDesc CodeLengthDesc{};
  int16_t HeapCount = 0;
  int16_t SortedStart = 0;

  // The current block.
  uint16_t LiteralCount = 0;
  uint16_t DistanceCount = 0;
  uint16_t FlagCount = 0;
  uint8_t FlagByte = 0;
  uint8_t FlagBit = 1;
  int32_t OptimalBits = 0;
  int32_t FixedBits = 0;

  // Bit writer and output buffer.
  uint16_t BitBuffer = 0;
  uint8_t BitCount = 0;
  int16_t OutputCount = 0;
};

}  // namespace gzarc::deflate
