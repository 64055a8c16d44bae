// Code construction and block emission on their own: the tables, forced
// symbols, the heap's tie rule, the length limit, the block-type choice, the
// bit writer and the output buffer with its write sizes.
#include <gtest/gtest.h>

#include <algorithm>
#include <type_traits>
#include <vector>

#include "deflate/block_writer.h"
#include "deflate/compression.h"
#include "deflate/compressor_state.h"
#include "deflate/trees.h"
#include "deflate_inputs.h"
#include "engine/engine_state.h"

namespace gzarc::test {
namespace {

using namespace gzarc::deflate;

struct WriteLog {
  std::vector<uint8_t> bytes;
  std::vector<uint32_t> sizes;
  int failAt = 0;  // 1-based write that fails
};

int32_t RecordWrite(void* context, const uint8_t* source, uint32_t count) {
  auto* log = static_cast<WriteLog*>(context);
  log->sizes.push_back(count);
  if (static_cast<int>(log->sizes.size()) == log->failAt) return -1;
  log->bytes.insert(log->bytes.end(), source, source + count);
  return static_cast<int32_t>(count);
}

int32_t NoInput(void*, uint8_t*, uint32_t) {
  return 0;
}

class DeflateBlocks : public ::testing::Test {
 protected:
  void SetUp() override {
    SetStatus(0);
    CompressorState& c = Compressor();
    c.io = {NoInput, RecordWrite, &log_};
    c.BitBuffer = 0;
    c.BitCount = 0;
    c.OutputCount = 0;
    AllocCompressBuffers();
    ASSERT_EQ(Status(), 0);
    InitTrees();
  }
  void TearDown() override {
    FreeCompressBuffers();
    SetStatus(0);
  }

  // Lengths of the symbols of a tree after it was built.
  static std::vector<int> Lengths(const TreeNode* tree, int count) {
    std::vector<int> lengths;
    for (int n = 0; n < count; ++n) lengths.push_back(tree[n].ParentOrLength);
    return lengths;
  }

  // Sum of 2^(limit - length) over used symbols: 2^limit for a complete code.
  static uint64_t Kraft(const std::vector<int>& lengths, int limit) {
    uint64_t sum = 0;
    for (int l : lengths) {
      if (l != 0) sum += uint64_t{1} << (limit - l);
    }
    return sum;
  }

  WriteLog log_;
};

TEST_F(DeflateBlocks, LengthAndDistanceTables) {
  const CompressorState& c = Compressor();
  EXPECT_EQ(c.LengthCode[0], 0);     // length 3: symbol 257
  EXPECT_EQ(c.LengthCode[8], 8);     // length 11: symbol 265
  EXPECT_EQ(c.LengthCode[254], 27);  // length 257: symbol 284
  EXPECT_EQ(c.LengthCode[255], 28);  // length 258: symbol 285
  EXPECT_EQ(c.LengthBase[27], 224);
  EXPECT_EQ(c.LengthBase[28], 0);
  EXPECT_EQ(DistanceCodeOf(c.DistanceCode, 0), 0);       // distance 1
  EXPECT_EQ(DistanceCodeOf(c.DistanceCode, 4), 4);       // distance 5
  EXPECT_EQ(DistanceCodeOf(c.DistanceCode, 255), 15);    // distance 256
  EXPECT_EQ(DistanceCodeOf(c.DistanceCode, 256), 16);    // distance 257
  EXPECT_EQ(DistanceCodeOf(c.DistanceCode, 32767), 29);  // distance 32768
  EXPECT_EQ(c.DistanceBase[16], 256);
  EXPECT_EQ(c.DistanceBase[29], 24576);
}

TEST_F(DeflateBlocks, FixedCodes) {
  const CompressorState& c = Compressor();
  EXPECT_EQ(c.FixedLiteralTree[256].ParentOrLength, 7);
  EXPECT_EQ(c.FixedLiteralTree[256].FreqOrCode, 0);
  EXPECT_EQ(c.FixedLiteralTree[0].ParentOrLength, 8);
  EXPECT_EQ(c.FixedLiteralTree[0].FreqOrCode, ReverseBits(0x30, 8));
  EXPECT_EQ(c.FixedLiteralTree[143].FreqOrCode, ReverseBits(0xBF, 8));
  EXPECT_EQ(c.FixedLiteralTree[144].ParentOrLength, 9);
  EXPECT_EQ(c.FixedLiteralTree[144].FreqOrCode, ReverseBits(0x190, 9));
  EXPECT_EQ(c.FixedLiteralTree[280].FreqOrCode, ReverseBits(0xC0, 8));
  EXPECT_EQ(c.FixedLiteralTree[287].ParentOrLength, 8);
  EXPECT_EQ(c.FixedLiteralTree[287].FreqOrCode, ReverseBits(0xC7, 8));
  for (int n = 0; n < 30; ++n) {
    EXPECT_EQ(c.FixedDistanceTree[n].ParentOrLength, 5);
    EXPECT_EQ(c.FixedDistanceTree[n].FreqOrCode, ReverseBits(static_cast<uint32_t>(n), 5));
  }
  EXPECT_EQ(ReverseBits(0b0011, 4), 0b1100);
}

TEST_F(DeflateBlocks, MissingCodesAreForcedIn) {
  CompressorState& c = Compressor();
  struct Case {
    std::vector<int> used;
    int forcedA, forcedB, last;
  };
  const Case cases[] = {{{5}, 5, 0, 5}, {{0}, 0, 1, 1}, {{1}, 1, 2, 2}, {{}, 0, 1, 1}};
  for (const auto& k : cases) {
    ResetBlock();
    for (int s : k.used) c.DistanceTree[s].FreqOrCode = 7;
    BuildHuffmanTree(c.DistanceDesc);
    EXPECT_EQ(c.DistanceDesc.LastUsed, k.last);
    const auto lengths = Lengths(c.DistanceTree, 30);
    for (int n = 0; n < 30; ++n) {
      EXPECT_EQ(lengths[n], n == k.forcedA || n == k.forcedB ? 1 : 0) << n;
    }
  }
  // A block without literals: the end-of-block code and a forced symbol 0.
  ResetBlock();
  BuildHuffmanTree(c.LiteralDesc);
  EXPECT_EQ(c.LiteralDesc.LastUsed, 256);
  EXPECT_EQ(c.LiteralTree[0].ParentOrLength, 1);
  EXPECT_EQ(c.LiteralTree[256].ParentOrLength, 1);
  // Forced symbols cost nothing: 1 bit for the end of block, 7 fixed.
  EXPECT_EQ(c.OptimalBits, 1);
  EXPECT_EQ(c.FixedBits, 7);
}

// Frequencies 1, 1, 2, 2: after the first merge three nodes weigh 2; the
// two leaves go first because their subtrees are shallower, which gives
// every symbol 2 bits rather than lengths 1, 2, 3, 3.
TEST_F(DeflateBlocks, EqualFrequenciesTakeTheShallowerNodeFirst) {
  CompressorState& c = Compressor();
  ResetBlock();
  const uint16_t freqs[] = {1, 1, 2, 2};
  for (int n = 0; n < 4; ++n) c.DistanceTree[n].FreqOrCode = freqs[n];
  BuildHuffmanTree(c.DistanceDesc);
  const auto lengths = Lengths(c.DistanceTree, 4);
  EXPECT_EQ(lengths, (std::vector<int>{2, 2, 2, 2}));
}

TEST_F(DeflateBlocks, OverlongCodesAreRepairedToTheLimit) {
  CompressorState& c = Compressor();
  // Fibonacci weights make a tree as deep as it has symbols.
  for (const int symbols : {20, 30}) {
    ResetBlock();
    uint32_t a = 1, b = 1;
    for (int n = 0; n < symbols; ++n) {
      c.DistanceTree[n].FreqOrCode = static_cast<uint16_t>(a > 60000 ? 60000 : a);
      const uint32_t next = a + b;
      a = b;
      b = next;
      if (a > 2000) a = b = 2000;  // keep the block's total within 16 bits
    }
    std::vector<uint32_t> freq;
    for (int n = 0; n < symbols; ++n) freq.push_back(c.DistanceTree[n].FreqOrCode);
    BuildHuffmanTree(c.DistanceDesc);
    const auto lengths = Lengths(c.DistanceTree, symbols);
    int32_t expected = 0;
    for (int n = 0; n < symbols; ++n) {
      EXPECT_GE(lengths[n], 1);
      EXPECT_LE(lengths[n], 15);
      expected += static_cast<int32_t>(freq[n]) * (lengths[n] + DistanceExtraBits[n]);
    }
    EXPECT_EQ(Kraft(lengths, 15), uint64_t{1} << 15);
    EXPECT_EQ(c.OptimalBits, expected);
  }
  // The code-length code is limited to 7 bits.
  ResetBlock();
  uint32_t a = 1, b = 1;
  for (int n = 0; n < 19; ++n) {
    c.CodeLengthTree[n].FreqOrCode = static_cast<uint16_t>(a);
    const uint32_t next = a + b;
    a = b;
    b = next;
  }
  BuildHuffmanTree(c.CodeLengthDesc);
  const auto lengths = Lengths(c.CodeLengthTree, 19);
  for (int l : lengths) EXPECT_LE(l, 7);
  EXPECT_EQ(Kraft(lengths, 7), uint64_t{1} << 7);
}

TEST_F(DeflateBlocks, TallyEndsTheBlockAtSymbol16383) {
  for (uint32_t i = 1; i < 16383; ++i) {
    ASSERT_FALSE(TallySymbol(i % 3 == 0 ? 1 + i % 32768 : 0, i & 0xFF)) << i;
  }
  EXPECT_TRUE(TallySymbol(0, 'x'));
  const CompressorState& c = Compressor();
  EXPECT_EQ(c.LiteralCount, 16383);
  EXPECT_EQ(c.DistanceCount, 5460);
  EXPECT_EQ(c.FlagCount, 16383 / 8);
}

TEST_F(DeflateBlocks, OutputBufferHolds8193Bytes) {
  CompressorState& c = Compressor();
  for (int i = 0; i < 8191; ++i) PutByte(static_cast<uint8_t>(i));
  PutWord(0xBBAA);  // fits: 8193
  EXPECT_EQ(c.OutputCount, 8193);
  EXPECT_TRUE(log_.sizes.empty());
  PutByte(0xCC);  // the full buffer goes first
  ASSERT_EQ(log_.sizes, (std::vector<uint32_t>{8193}));
  EXPECT_EQ(log_.bytes[8191], 0xAA);
  EXPECT_EQ(log_.bytes[8192], 0xBB);
  EXPECT_EQ(c.OutputCount, 1);

  for (int i = 1; i < 8192; ++i) PutByte(0);
  EXPECT_EQ(c.OutputCount, 8192);
  PutWord(0x2211);  // one byte of room: 8192 bytes go first
  ASSERT_EQ(log_.sizes, (std::vector<uint32_t>{8193, 8192}));
  EXPECT_EQ(log_.bytes.front(), 0);
  EXPECT_EQ(c.OutputCount, 2);
  EXPECT_EQ(c.OutputBuffer[0], 0x11);
  EXPECT_EQ(c.OutputBuffer[1], 0x22);
}

TEST_F(DeflateBlocks, FieldStraddlingTheBitBufferKeepsTheRest) {
  CompressorState& c = Compressor();
  SendBits(0x3FFF, 14);
  SendBits(0b10110, 5);  // 2 bits complete the buffer, 3 remain
  EXPECT_EQ(c.OutputCount, 2);
  EXPECT_EQ(c.OutputBuffer[0], 0xFF);
  EXPECT_EQ(c.OutputBuffer[1], 0xBF);  // 0b10 above the 14 ones
  EXPECT_EQ(c.BitCount, 3);
  EXPECT_EQ(c.BitBuffer, 0b101);
  // Exactly 16 bits stay in the buffer until the next field.
  SendBits(0x1FFF, 13);
  EXPECT_EQ(c.BitCount, 16);
  EXPECT_EQ(c.OutputCount, 2);
  SendBits(1, 1);
  EXPECT_EQ(c.OutputCount, 4);
  EXPECT_EQ(c.BitCount, 1);
  EXPECT_EQ(c.BitBuffer, 1);
}

TEST_F(DeflateBlocks, FailedWriteKeepsTheBufferAndDropsWhatFollows) {
  CompressorState& c = Compressor();
  log_.failAt = 1;
  for (int i = 0; i < 8193; ++i) PutByte(1);
  PutByte(2);
  EXPECT_EQ(Status(), GZARC_STATUS_WRITE_SHORT);
  EXPECT_EQ(c.OutputCount, 8193);
  EXPECT_EQ(c.OutputBuffer[0], 1);
  // The bits of a field that failed stay merged; the count is unchanged.
  c.BitBuffer = 0;
  c.BitCount = 12;
  SetStatus(0);
  log_.failAt = 2;
  SendBits(0xF, 8);
  EXPECT_EQ(Status(), GZARC_STATUS_WRITE_SHORT);
  EXPECT_EQ(c.BitCount, 12);
  EXPECT_EQ(c.BitBuffer, 0xF000);
}

// The block form follows the estimates: stored when its size ties with the
// best coded size, fixed when the fixed codes tie with the dynamic ones.
TEST_F(DeflateBlocks, BlockTypeChoiceAndItsTies) {
  CompressorState& c = Compressor();
  const std::vector<uint8_t> data(70000, 'd');
  auto tally = [&](uint64_t seed) {
    Random random(seed);
    const uint32_t count = 1 + random.Below(60);
    const uint32_t alphabet = 1 + random.Below(40);
    for (uint32_t i = 0; i < count; ++i) {
      if (random.Below(6) == 0) {
        TallySymbol(1 + random.Below(5000), random.Below(256));
      } else {
        TallySymbol(0, 'A' + random.Below(alphabet));
      }
    }
  };
  auto blockType = [&](uint64_t seed, const uint8_t* start, int32_t size) {
    ResetBlock();
    log_ = {};
    c.BitBuffer = 0;
    c.BitCount = 0;
    c.OutputCount = 0;
    tally(seed);
    EndBlock(start, size, 1);
    EXPECT_EQ(Status(), 0);
    return (log_.bytes.at(0) >> 1) & 3;
  };
  int fixedTies = 0, dynamicWins = 0;
  for (uint64_t seed = 0; seed < 3000 && (fixedTies < 3 || dynamicWins < 3); ++seed) {
    ResetBlock();
    tally(seed);
    c.FlagBuffer[c.FlagCount] = c.FlagByte;
    BuildHuffmanTree(c.LiteralDesc);
    BuildHuffmanTree(c.DistanceDesc);
    BuildCodeLengthTree();
    const int32_t dynamicBytes = (c.OptimalBits + 3 + 7) >> 3;
    const int32_t fixedBytes = (c.FixedBits + 3 + 7) >> 3;
    const int32_t best = fixedBytes <= dynamicBytes ? fixedBytes : dynamicBytes;
    const int expectedCoded = fixedBytes == best ? 1 : 2;
    if (dynamicBytes == fixedBytes) ++fixedTies;
    if (expectedCoded == 2) ++dynamicWins;
    EXPECT_EQ(blockType(seed, nullptr, 0), expectedCoded) << seed;
    // Stored wins a tie with the best coded size, loses when one byte larger,
    // and is never chosen without the block's bytes.
    EXPECT_EQ(blockType(seed, data.data(), best - 4), 0) << seed;
    EXPECT_EQ(blockType(seed, data.data(), best - 3), expectedCoded) << seed;
    EXPECT_EQ(blockType(seed, nullptr, best - 4), expectedCoded) << seed;
  }
  EXPECT_GE(fixedTies, 3);
  EXPECT_GE(dynamicWins, 3);
}

TEST_F(DeflateBlocks, StoredBlockMakesThreeWrites) {
  const std::vector<uint8_t> data = {10, 20, 30, 40, 50};
  SendBits(1, 3);
  WriteStoredBlock(data.data(), 5);
  EXPECT_EQ(Status(), 0);
  EXPECT_EQ(log_.sizes, (std::vector<uint32_t>{1, 4, 5}));
  EXPECT_EQ(log_.bytes, (std::vector<uint8_t>{1, 5, 0, 0xFA, 0xFF, 10, 20, 30, 40, 50}));
}

// Mid-stream writes are whole buffers: 8193 bytes, or 8192 when a 16-bit
// word met one byte of room; the end of the stream writes the rest.
TEST_F(DeflateBlocks, WriteSizesOfAWholeStream) {
  FreeCompressBuffers();
  const auto input = MakeInput(InputKind::kText, 1500000, 4);
  // The one context serves both directions: the log is its first member.
  struct Channel {
    WriteLog log;
    const std::vector<uint8_t>* data;
    std::size_t at;
  } channel{{}, &input, 0};
  static_assert(std::is_standard_layout_v<Channel>);
  auto read = [](void* context, uint8_t* destination, uint32_t count) -> int32_t {
    auto* s = static_cast<Channel*>(context);
    const std::size_t n = std::min<std::size_t>(count, s->data->size() - s->at);
    std::copy_n(s->data->begin() + static_cast<std::ptrdiff_t>(s->at), n, destination);
    s->at += n;
    return static_cast<int32_t>(n);
  };
  CompressStream({read, RecordWrite, &channel}, static_cast<int64_t>(input.size()));
  log_ = channel.log;
  ASSERT_EQ(Status(), 0);
  ASSERT_GT(log_.sizes.size(), 10u);
  for (std::size_t i = 0; i + 1 < log_.sizes.size(); ++i) {
    EXPECT_TRUE(log_.sizes[i] == 8193 || log_.sizes[i] == 8192) << i << ": " << log_.sizes[i];
  }
  EXPECT_LE(log_.sizes.back(), 8193u);
  std::vector<uint8_t> same;
  ASSERT_EQ(CompressMemory(input, &same), 0);
  EXPECT_EQ(log_.bytes, same);
  AllocCompressBuffers();
}

}  // namespace
}  // namespace gzarc::test
