// Code construction and block emission on their own: the tables, forced
// symbols, the heap's tie rule, the length limit, the block-type choice, the
// bit writer and the output buffer with its write sizes.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <thread>
#include <vector>

#include "deflate/block_writer.h"
#include "deflate/compression.h"
#include "deflate/compressor.h"
#include "deflate/trees.h"
#include "test_data.h"

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

// A state of the test's own on the heap, as a worker thread holds one.
class DeflateBlocks : public ::testing::Test {
 protected:
  void SetUp() override {
    c.Sink = {RecordWrite, &log_};
    ASSERT_TRUE(AllocCompressBuffers(c));
    InitTrees(c);
  }
  void TearDown() override { FreeCompressBuffers(c); }

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

  std::unique_ptr<CompressorState> state_ = std::make_unique<CompressorState>();
  CompressorState& c = *state_;
  WriteLog log_;
};

TEST_F(DeflateBlocks, LengthAndDistanceTables) {
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
  struct Case {
    std::vector<int> used;
    int forcedA, forcedB, last;
  };
  const Case cases[] = {{{5}, 5, 0, 5}, {{0}, 0, 1, 1}, {{1}, 1, 2, 2}, {{}, 0, 1, 1}};
  for (const auto& k : cases) {
    ResetBlock(c);
    for (int s : k.used) c.DistanceTree[s].FreqOrCode = 7;
    BuildHuffmanTree(c, c.DistanceDesc);
    EXPECT_EQ(c.DistanceDesc.LastUsed, k.last);
    const auto lengths = Lengths(c.DistanceTree, 30);
    for (int n = 0; n < 30; ++n) {
      EXPECT_EQ(lengths[n], n == k.forcedA || n == k.forcedB ? 1 : 0) << n;
    }
  }
  // A block without literals: the end-of-block code and a forced symbol 0.
  ResetBlock(c);
  BuildHuffmanTree(c, c.LiteralDesc);
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
  ResetBlock(c);
  const uint16_t freqs[] = {1, 1, 2, 2};
  for (int n = 0; n < 4; ++n) c.DistanceTree[n].FreqOrCode = freqs[n];
  BuildHuffmanTree(c, c.DistanceDesc);
  const auto lengths = Lengths(c.DistanceTree, 4);
  EXPECT_EQ(lengths, (std::vector<int>{2, 2, 2, 2}));
}

TEST_F(DeflateBlocks, OverlongCodesAreRepairedToTheLimit) {
  // Fibonacci weights make a tree as deep as it has symbols.
  for (const int symbols : {20, 30}) {
    ResetBlock(c);
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
    BuildHuffmanTree(c, c.DistanceDesc);
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
  ResetBlock(c);
  uint32_t a = 1, b = 1;
  for (int n = 0; n < 19; ++n) {
    c.CodeLengthTree[n].FreqOrCode = static_cast<uint16_t>(a);
    const uint32_t next = a + b;
    a = b;
    b = next;
  }
  BuildHuffmanTree(c, c.CodeLengthDesc);
  const auto lengths = Lengths(c.CodeLengthTree, 19);
  for (int l : lengths) EXPECT_LE(l, 7);
  EXPECT_EQ(Kraft(lengths, 7), uint64_t{1} << 7);
}

TEST_F(DeflateBlocks, TallyEndsTheBlockAtSymbol16383) {
  for (uint32_t i = 1; i < 16383; ++i) {
    ASSERT_FALSE(TallySymbol(c, i % 3 == 0 ? 1 + i % 32768 : 0, i & 0xFF)) << i;
  }
  EXPECT_TRUE(TallySymbol(c, 0, 'x'));
  EXPECT_EQ(c.LiteralCount, 16383);
  EXPECT_EQ(c.DistanceCount, 5460);
  EXPECT_EQ(c.FlagCount, 16383 / 8);
}

TEST_F(DeflateBlocks, OutputBufferHolds8193Bytes) {
  for (int i = 0; i < 8191; ++i) PutByte(c, static_cast<uint8_t>(i));
  PutWord(c, 0xBBAA);  // fits: 8193
  EXPECT_EQ(c.OutputCount, 8193);
  EXPECT_TRUE(log_.sizes.empty());
  PutByte(c, 0xCC);  // the full buffer goes first
  ASSERT_EQ(log_.sizes, (std::vector<uint32_t>{8193}));
  EXPECT_EQ(log_.bytes[8191], 0xAA);
  EXPECT_EQ(log_.bytes[8192], 0xBB);
  EXPECT_EQ(c.OutputCount, 1);

  for (int i = 1; i < 8192; ++i) PutByte(c, 0);
  EXPECT_EQ(c.OutputCount, 8192);
  PutWord(c, 0x2211);  // one byte of room: 8192 bytes go first
  ASSERT_EQ(log_.sizes, (std::vector<uint32_t>{8193, 8192}));
  EXPECT_EQ(log_.bytes.front(), 0);
  EXPECT_EQ(c.OutputCount, 2);
  EXPECT_EQ(c.OutputBuffer[0], 0x11);
  EXPECT_EQ(c.OutputBuffer[1], 0x22);
}

TEST_F(DeflateBlocks, FieldStraddlingTheBitBufferKeepsTheRest) {
  SendBits(c, 0x3FFF, 14);
  SendBits(c, 0b10110, 5);  // 2 bits complete the buffer, 3 remain
  EXPECT_EQ(c.OutputCount, 2);
  EXPECT_EQ(c.OutputBuffer[0], 0xFF);
  EXPECT_EQ(c.OutputBuffer[1], 0xBF);  // 0b10 above the 14 ones
  EXPECT_EQ(c.BitCount, 3);
  EXPECT_EQ(c.BitBuffer, 0b101);
  // Exactly 16 bits stay in the buffer until the next field.
  SendBits(c, 0x1FFF, 13);
  EXPECT_EQ(c.BitCount, 16);
  EXPECT_EQ(c.OutputCount, 2);
  SendBits(c, 1, 1);
  EXPECT_EQ(c.OutputCount, 4);
  EXPECT_EQ(c.BitCount, 1);
  EXPECT_EQ(c.BitBuffer, 1);
}

TEST_F(DeflateBlocks, FailedWriteKeepsTheBufferAndDropsWhatFollows) {
  log_.failAt = 1;
  for (int i = 0; i < 8193; ++i) PutByte(c, 1);
  PutByte(c, 2);
  EXPECT_EQ(c.Outcome, CompressOutcome::kWriteFailed);
  EXPECT_EQ(c.OutputCount, 8193);
  EXPECT_EQ(c.OutputBuffer[0], 1);
  // The bits of a field that failed stay merged; the count is unchanged.
  c.BitBuffer = 0;
  c.BitCount = 12;
  c.Outcome = CompressOutcome::kOk;
  log_.failAt = 2;
  SendBits(c, 0xF, 8);
  EXPECT_EQ(c.Outcome, CompressOutcome::kWriteFailed);
  EXPECT_EQ(c.BitCount, 12);
  EXPECT_EQ(c.BitBuffer, 0xF000);
}

// The block form follows the estimates: stored when its size ties with the
// best coded size, fixed when the fixed codes tie with the dynamic ones.
TEST_F(DeflateBlocks, BlockTypeChoiceAndItsTies) {
  const std::vector<uint8_t> data(70000, 'd');
  auto tally = [&](uint64_t seed) {
    Random random(seed);
    const uint32_t count = 1 + random.Below(60);
    const uint32_t alphabet = 1 + random.Below(40);
    for (uint32_t i = 0; i < count; ++i) {
      if (random.Below(6) == 0) {
        TallySymbol(c, 1 + random.Below(5000), random.Below(256));
      } else {
        TallySymbol(c, 0, 'A' + random.Below(alphabet));
      }
    }
  };
  auto blockType = [&](uint64_t seed, const uint8_t* start, int32_t size) {
    ResetBlock(c);
    log_ = {};
    c.BitBuffer = 0;
    c.BitCount = 0;
    c.OutputCount = 0;
    tally(seed);
    EndBlock(c, start, size, 1);
    EXPECT_EQ(c.Outcome, CompressOutcome::kOk);
    return (log_.bytes.at(0) >> 1) & 3;
  };
  int fixedTies = 0, dynamicWins = 0;
  for (uint64_t seed = 0; seed < 3000 && (fixedTies < 3 || dynamicWins < 3); ++seed) {
    ResetBlock(c);
    tally(seed);
    c.FlagBuffer[c.FlagCount] = c.FlagByte;
    BuildHuffmanTree(c, c.LiteralDesc);
    BuildHuffmanTree(c, c.DistanceDesc);
    BuildCodeLengthTree(c);
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
  SendBits(c, 1, 3);
  WriteStoredBlock(c, data.data(), 5);
  EXPECT_EQ(c.Outcome, CompressOutcome::kOk);
  EXPECT_EQ(log_.sizes, (std::vector<uint32_t>{1, 4, 5}));
  EXPECT_EQ(log_.bytes, (std::vector<uint8_t>{1, 5, 0, 0xFA, 0xFF, 10, 20, 30, 40, 50}));
}

// Mid-stream writes are whole buffers: 8193 bytes, or 8192 when a 16-bit
// word met one byte of room; the end of the stream writes the rest. A
// second state compresses another input on another thread meanwhile: each
// stream is the one the driver's state writes alone.
TEST_F(DeflateBlocks, WriteSizesOfAWholeStreamBesideAnother) {
  FreeCompressBuffers(c);
  struct Source {
    const std::vector<uint8_t> data;
    std::size_t at = 0;
  };
  auto read = [](void* context, uint8_t* destination, uint32_t count) -> SourceRead {
    auto* s = static_cast<Source*>(context);
    const std::size_t n = std::min<std::size_t>(count, s->data.size() - s->at);
    std::copy_n(s->data.begin() + static_cast<std::ptrdiff_t>(s->at), n, destination);
    s->at += n;
    return {static_cast<uint32_t>(n), CompressOutcome::kOk};
  };
  Source source{MakeInput(InputKind::kText, 1500000, 4)};
  Source other{MakeInput(InputKind::kMixed, 700000, 5)};
  WriteLog otherLog;
  auto second = std::make_unique<CompressorState>();
  CompressOutcome otherOutcome = CompressOutcome::kNoMemory;
  std::thread worker([&] {
    otherOutcome = CompressStream(*second, {read, &other}, {RecordWrite, &otherLog});
  });
  const CompressOutcome outcome = CompressStream(c, {read, &source}, {RecordWrite, &log_});
  worker.join();
  ASSERT_EQ(outcome, CompressOutcome::kOk);
  ASSERT_EQ(otherOutcome, CompressOutcome::kOk);
  ASSERT_GT(log_.sizes.size(), 10u);
  for (std::size_t i = 0; i + 1 < log_.sizes.size(); ++i) {
    EXPECT_TRUE(log_.sizes[i] == 8193 || log_.sizes[i] == 8192) << i << ": " << log_.sizes[i];
  }
  EXPECT_LE(log_.sizes.back(), 8193u);
  for (const Source* s : {&source, &other}) {
    std::vector<uint8_t> alone;
    ASSERT_EQ(CompressMemory(s->data, &alone), 0);
    EXPECT_EQ((s == &source ? log_ : otherLog).bytes, alone);
  }
  ASSERT_TRUE(AllocCompressBuffers(c));
}

}  // namespace
}  // namespace gzarc::test
