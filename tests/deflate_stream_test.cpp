// The compressed stream itself: exact bytes, agreement with an independent
// encoder that uses the same search parameters, pinned stream hashes and
// the block layout.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "deflate/compression.h"
#include "deflate/match_finder.h"
#include "deflate_oracle.h"
#include "deflate_symbols.h"
#include "engine/engine_state.h"
#include "gzip/crc32.h"
#include "platform/cpu_features.h"
#include "test_data.h"

namespace gzarc::test {
namespace {

std::vector<uint8_t> Compress(const std::vector<uint8_t>& input) {
  std::vector<uint8_t> out;
  EXPECT_EQ(deflate::CompressMemory(input, &out), 0);
  return out;
}

std::vector<StreamSymbol> Symbols(const std::vector<uint8_t>& stream) {
  bool ok = false;
  auto symbols = ReadSymbols(stream, &ok);
  EXPECT_TRUE(ok);
  return symbols;
}

uint64_t Fnv1a64(const std::vector<uint8_t>& data) {
  uint64_t h = 0xCBF29CE484222325ull;
  for (uint8_t b : data) h = (h ^ b) * 0x100000001B3ull;
  return h;
}

TEST(DeflateStream, ExactBytesOfTheSmallestInputs) {
  EXPECT_EQ(Compress({}), (std::vector<uint8_t>{0x03, 0x00}));
  EXPECT_EQ(Compress({0x41}), (std::vector<uint8_t>{0x73, 0x04, 0x00}));
  // "aaaaaaaaaa": two literals, then a match at distance 1 (position 0 is
  // never a match source); fixed codes.
  const auto symbols = Symbols(Compress(ToBytes("aaaaaaaaaa")));
  ASSERT_EQ(symbols.size(), 4u);
  EXPECT_EQ(symbols[0], (StreamSymbol{StreamSymbol::kBlock, 1, 1, 0}));
  EXPECT_EQ(symbols[1], (StreamSymbol{StreamSymbol::kLiteral, 'a', 0, 0}));
  EXPECT_EQ(symbols[2], (StreamSymbol{StreamSymbol::kLiteral, 'a', 0, 1}));
  EXPECT_EQ(symbols[3], (StreamSymbol{StreamSymbol::kMatch, 8, 1, 2}));
}

TEST(DeflateStream, OneAndTwoBytesAreLiterals) {
  for (const auto& input : {ToBytes("z"), ToBytes("zz"), ToBytes("zzz")}) {
    for (const auto& s : Symbols(Compress(input))) EXPECT_NE(s.kind, StreamSymbol::kMatch);
  }
}

TEST(DeflateStream, RunOfOneByteIsTwoLiteralsThenMatchesOfAtMost258) {
  const std::vector<uint8_t> input(2000, 0x55);
  const auto symbols = Symbols(Compress(input));
  ASSERT_GE(symbols.size(), 4u);
  EXPECT_EQ(symbols[1].kind, StreamSymbol::kLiteral);
  EXPECT_EQ(symbols[2].kind, StreamSymbol::kLiteral);
  uint64_t covered = 2;
  for (std::size_t i = 3; i < symbols.size(); ++i) {
    ASSERT_EQ(symbols[i].kind, StreamSymbol::kMatch);
    EXPECT_EQ(symbols[i].b, 1u);
    EXPECT_LE(symbols[i].a, 258u);
    covered += symbols[i].a;
  }
  EXPECT_EQ(covered, input.size());
}

// A repeat of exactly three bytes is used only within 4096 bytes; longer
// repeats at any distance the window allows.
TEST(DeflateStream, ThreeByteMatchesFartherThan4096AreLiterals) {
  auto build = [](std::size_t gap, const std::string& repeat) {
    std::vector<uint8_t> input = ToBytes("Q" + repeat + "#");
    Random random(gap);
    // Filler from an alphabet that shares nothing with the repeat.
    for (std::size_t i = 0; i < gap; ++i)
      input.push_back(static_cast<uint8_t>(0x80 + random.Below(100)));
    const auto tail = ToBytes(repeat + "!");
    input.insert(input.end(), tail.begin(), tail.end());
    return input;
  };
  auto matchAtEnd = [&](const std::vector<uint8_t>& input) {
    for (const auto& s : Symbols(Compress(input))) {
      if (s.kind == StreamSymbol::kMatch && s.position + 1 + 3 >= input.size() - 4) return s;
    }
    return StreamSymbol{StreamSymbol::kBlock, 0, 0, 0};
  };
  // The repeat starts at input position 1 and again at 1 + len + 1 + gap.
  // The second copy starts 4 + gap bytes after the first.
  auto near = matchAtEnd(build(4096 - 4, "xyz"));
  EXPECT_EQ(near.kind, StreamSymbol::kMatch);
  EXPECT_EQ(near.b, 4096u);
  auto far = matchAtEnd(build(4096 - 3, "xyz"));
  EXPECT_NE(far.kind, StreamSymbol::kMatch);
  auto longFar = matchAtEnd(build(30000, "wxyz"));
  EXPECT_EQ(longFar.kind, StreamSymbol::kMatch);
  EXPECT_EQ(longFar.a, 4u);
}

// The earlier match is held back one position: a strictly longer match at
// the next position wins and the first byte goes out as a literal.
TEST(DeflateStream, LazyEvaluationPrefersALongerMatchOnePositionLater) {
  // At 13 "abc" repeats 3 bytes from 1; at 14 "bcdefgh" repeats 7 from 5.
  const auto symbols = Symbols(Compress(ToBytes("xabc1bcdefgh2abcdefgh")));
  ASSERT_EQ(symbols.size(), 16u);
  EXPECT_EQ(symbols[14], (StreamSymbol{StreamSymbol::kLiteral, 'a', 0, 13}));
  EXPECT_EQ(symbols[15], (StreamSymbol{StreamSymbol::kMatch, 7, 9, 14}));
  // On equal length the earlier match goes out: "abc" at 9 and "bcd" at 10
  // both repeat 3 bytes.
  const auto tie = Symbols(Compress(ToBytes("xabc_bcd_abcd!!")));
  ASSERT_EQ(tie.size(), 14u);
  EXPECT_EQ(tie[10], (StreamSymbol{StreamSymbol::kMatch, 3, 8, 9}));
  EXPECT_EQ(tie[11], (StreamSymbol{StreamSymbol::kLiteral, 'd', 0, 12}));
}

TEST(DeflateStream, BlocksEndAfter16383Symbols) {
  // 64 letters at random: mostly literals, coded in fewer than 8 bits.
  std::vector<uint8_t> input(200000);
  Random random(5);
  for (auto& byte : input) byte = static_cast<uint8_t>('0' + random.Below(64));
  const auto symbols = Symbols(Compress(input));
  std::vector<std::size_t> perBlock;
  for (const auto& s : symbols) {
    if (s.kind == StreamSymbol::kBlock) {
      perBlock.push_back(0);
    } else {
      ++perBlock.back();
    }
  }
  ASSERT_GE(perBlock.size(), 3u);
  for (std::size_t i = 0; i + 1 < perBlock.size(); ++i) EXPECT_EQ(perBlock[i], 16383u) << i;
  EXPECT_LE(perBlock.back(), 16383u);
}

TEST(DeflateStream, IncompressibleInputGoesInStoredBlocks) {
  const auto input = MakeInput(InputKind::kNoise, 40000, 1);
  const auto stream = Compress(input);
  const auto symbols = Symbols(stream);
  ASSERT_EQ(symbols.size(), 6u);  // three stored blocks
  for (std::size_t i = 0; i < symbols.size(); i += 2) {
    EXPECT_EQ(symbols[i].kind, StreamSymbol::kBlock);
    EXPECT_EQ(symbols[i].a, 0u);
    EXPECT_EQ(symbols[i + 1].kind, StreamSymbol::kStored);
  }
  EXPECT_EQ(symbols[5].position + symbols[5].a, input.size());
  // Header bits 000, padding, LEN and NLEN low byte first, then the bytes.
  const uint32_t length = symbols[1].a;
  EXPECT_GT(length, 16383u);  // the block's matches cover more than one byte each
  EXPECT_EQ(stream[0], 0x00);
  EXPECT_EQ(stream[1], length & 0xFF);
  EXPECT_EQ(stream[2], length >> 8);
  EXPECT_EQ(stream[3], ~length & 0xFF);
  EXPECT_EQ(stream[4], (~length >> 8) & 0xFF);
  EXPECT_TRUE(std::equal(input.begin(), input.begin() + length, stream.begin() + 5));
}

// A block that began in the half of the window that slid away cannot be
// stored, however badly it compresses.
TEST(DeflateStream, BlockThatLeftTheWindowIsNeverStored) {
  // 200 KB of runs make one long block; noise after it belongs to the same
  // block and cannot be stored because the block's start is gone.
  std::vector<uint8_t> input(100000, 'r');
  const auto noise = MakeInput(InputKind::kNoise, 16000, 9);
  input.insert(input.end(), noise.begin(), noise.end());
  const auto symbols = Symbols(Compress(input));
  for (const auto& s : symbols) {
    if (s.kind == StreamSymbol::kBlock) {
      EXPECT_NE(s.a, 0u) << "stored block at " << s.position;
    }
  }
  // The same noise alone goes in a stored block.
  EXPECT_EQ(Symbols(Compress(noise))[0].a, 0u);
}

TEST(DeflateStream, CrcOfTheInputIsKept) {
  const auto input = MakeInput(InputKind::kMixed, 70000, 4);
  std::vector<uint8_t> out;
  uint32_t crc = 0;
  ASSERT_EQ(deflate::CompressMemory(input, &out, &crc), 0);
  EXPECT_EQ(crc, ~UpdateCrc32(kCrcStart, input.data(), input.size()));
}

// Whatever ran before, the same input gives the same stream.
TEST(DeflateStream, StreamDependsOnTheInputAlone) {
  // The last "abcd" has two earlier copies; the search compares one byte
  // past the end of the input, where only the copy followed by "Q" would
  // gain if a "Q" were left there from before.
  std::vector<uint8_t> input = ToBytes("_abcdQ");
  input.insert(input.end(), 50, 'x');
  const auto middle = ToBytes("abcdZ");
  input.insert(input.end(), middle.begin(), middle.end());
  input.insert(input.end(), 50, 'y');
  const auto tail = ToBytes("abcd");
  input.insert(input.end(), tail.begin(), tail.end());

  const auto fresh = Compress(input);
  const auto symbols = Symbols(fresh);
  EXPECT_EQ(symbols.back(), (StreamSymbol{StreamSymbol::kMatch, 4, 55, input.size() - 4}));
  Compress(std::vector<uint8_t>(5000, 'Q'));  // leaves "Q"s in the window
  EXPECT_EQ(Compress(input), fresh);
}

struct PinnedStream {
  InputKind kind;
  std::size_t size;
  uint64_t seed;
  std::size_t compressedSize;
  uint64_t hash;
};

// Streams checked against the reference encoder and, where they differ from
// it, by hand: later work on speed must not change a bit of them.
constexpr PinnedStream kPinned[] = {
#include "deflate_pinned.inc"
};

// Every build of the match finder that the processor runs.
TEST(DeflateStream, PinnedStreamHashes) {
  for (const auto variant : deflate::kMatchVariants) {
    if (!deflate::MatchVariantRuns(variant, platform::CpuFeatures())) continue;
    const int build = static_cast<int>(variant);
    for (const auto& pin : kPinned) {
      std::vector<uint8_t> stream;
      ASSERT_EQ(deflate::CompressMemory(MakeInput(pin.kind, pin.size, pin.seed), &stream, nullptr,
                                        variant),
                0);
      EXPECT_EQ(stream.size(), pin.compressedSize)
          << KindName(pin.kind) << " " << pin.size << " build " << build;
      EXPECT_EQ(Fnv1a64(stream), pin.hash)
          << KindName(pin.kind) << " " << pin.size << " build " << build;
    }
  }
}

#if defined(GZARC_HAVE_ZLIB)
// The reference encoder stops searching once a match reaches the end of the
// input; the engine keeps following the chain. The only allowed difference
// is therefore at the very end: from the first differing data symbol on,
// one of the two streams holds a match that ends exactly at the end.
::testing::AssertionResult SameOrDiffersOnlyAtTheEnd(const std::vector<uint8_t>& input,
                                                     const std::vector<uint8_t>& ours,
                                                     const std::vector<uint8_t>& ref) {
  if (ours == ref) return ::testing::AssertionSuccess();
  bool okOurs = false, okRef = false;
  auto a = ReadSymbols(ours, &okOurs);
  auto b = ReadSymbols(ref, &okRef);
  if (!okOurs || !okRef) return ::testing::AssertionFailure() << "unreadable stream";
  std::vector<StreamSymbol> da, db, ba, bb;
  for (const auto& s : a) (s.kind == StreamSymbol::kBlock ? ba : da).push_back(s);
  for (const auto& s : b) (s.kind == StreamSymbol::kBlock ? bb : db).push_back(s);
  std::size_t i = 0;
  while (i < da.size() && i < db.size() && da[i] == db[i]) ++i;
  if (i == da.size() && i == db.size()) {
    return ::testing::AssertionFailure() << "same symbols, different bits";
  }
  auto endsAtEnd = [&](const std::vector<StreamSymbol>& d) {
    return i < d.size() && d[i].kind == StreamSymbol::kMatch &&
           d[i].position + d[i].a == input.size();
  };
  if (!endsAtEnd(da) && !endsAtEnd(db)) {
    return ::testing::AssertionFailure() << "first difference at input position "
                                         << (i < da.size() ? da[i].position : db[i].position);
  }
  // Blocks start at the same places.
  if (ba.size() != bb.size()) return ::testing::AssertionFailure() << "block count differs";
  for (std::size_t k = 0; k < ba.size(); ++k) {
    if (ba[k].position != bb[k].position) {
      return ::testing::AssertionFailure() << "block " << k << " starts elsewhere";
    }
  }
  return ::testing::AssertionSuccess();
}

TEST(DeflateStream, AgreesWithTheReferenceEncoder) {
  const InputKind kinds[] = {InputKind::kText,       InputKind::kRecords, InputKind::kRuns,
                             InputKind::kNoise,      InputKind::kMixed,   InputKind::kSparse,
                             InputKind::kLowAlphabet};
  const std::size_t sizes[] = {
      1,     2,     3,     4,           7,           100,         258,   259,        1000,
      4097,  16383, 16384, 32767,       32768,       32769,       65273, 65274,      65275,
      65535, 65536, 65537, 65274 + 261, 65274 + 262, 65536 + 262, 98304, 131072 + 7, 250000};
  int identical = 0, total = 0;
  for (auto kind : kinds) {
    for (auto size : sizes) {
      for (uint64_t seed = 0; seed < 2; ++seed) {
        const auto input = MakeInput(kind, size, seed);
        const auto ours = Compress(input);
        const auto ref = ReferenceDeflate(input);
        ++total;
        identical += ours == ref;
        EXPECT_TRUE(SameOrDiffersOnlyAtTheEnd(input, ours, ref))
            << KindName(kind) << " size " << size << " seed " << seed;
        const ZlibInflated back = ZlibInflate(ours);
        EXPECT_EQ(back.bytes, input) << KindName(kind) << " size " << size;
        EXPECT_TRUE(back.complete && back.unread == 0);
      }
    }
  }
  // End-of-input matches are rare enough that most streams are identical.
  EXPECT_GT(identical * 10, total * 8) << identical << " of " << total;
}

TEST(DeflateStream, PrintPins) {
  if (std::getenv("GZARC_PRINT_PINS") == nullptr) GTEST_SKIP();
  const InputKind kinds[] = {InputKind::kText,       InputKind::kRecords, InputKind::kRuns,
                             InputKind::kNoise,      InputKind::kMixed,   InputKind::kSparse,
                             InputKind::kLowAlphabet};
  static const char* const kNames[] = {"Text",  "Records", "Runs",       "Noise",
                                       "Mixed", "Sparse",  "LowAlphabet"};
  struct Case {
    InputKind kind;
    std::size_t size;
    uint64_t seed;
  };
  std::vector<Case> cases;
  for (auto kind : kinds) {
    for (std::size_t size : {5, 32768, 65274 + 200, 65536 + 262, 200000})
      cases.push_back({kind, size, 11});
  }
  // Inputs whose last match reaches the end of the input, where the engine
  // and the reference part ways.
  cases.push_back({InputKind::kSparse, 258, 0});
  cases.push_back({InputKind::kRecords, 100000, 1});
  cases.push_back({InputKind::kLowAlphabet, 100000, 0});
  cases.push_back({InputKind::kText, 65536, 1});
  for (const auto& c : cases) {
    const auto input = MakeInput(c.kind, c.size, c.seed);
    const auto ours = Compress(input);
    std::printf("    {InputKind::k%s, %zu, %llu, %zu, 0x%016llXull},  // %s\n",
                kNames[static_cast<int>(c.kind)], c.size, static_cast<unsigned long long>(c.seed),
                ours.size(), static_cast<unsigned long long>(Fnv1a64(ours)),
                ours == ReferenceDeflate(input) ? "same as reference" : "differs at the end");
  }
}
#endif

}  // namespace
}  // namespace gzarc::test
