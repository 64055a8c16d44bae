// The decoder's fast path against its plain path: on valid, damaged and cut
// streams, and with reads, writes and the host failing at every turn, both
// must give the same bytes, the same status and the same sequence of reads,
// writes and progress calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "decoder_harness.h"
#include "deflate_oracle.h"
#include "inflate/inflate.h"

namespace gzarc::test {
namespace {

// Decodes with the plain routine and with every fast build this processor
// runs, and compares everything; returns what the plain one gave.
HostView ExpectSamePaths(const Bytes& stream, const HostFaults& faults, const MemberCheck* check,
                         uint32_t total, const std::string& what) {
  const HostView plain = DecodeAsHost(stream, faults, check, total, {InflateCodesVariant::kPlain});
  for (const InflateCodesVariant codes :
       {InflateCodesVariant::kFast, InflateCodesVariant::kFastBmi2}) {
    if (!CanRunInflateCodes(codes)) continue;
    const HostView fast = DecodeAsHost(stream, faults, check, total, {codes});
    EXPECT_EQ(fast.status, plain.status) << what << " " << static_cast<int>(codes);
    EXPECT_TRUE(fast.output == plain.output) << what << " " << static_cast<int>(codes);
    EXPECT_TRUE(fast.events == plain.events) << what << " " << static_cast<int>(codes);
  }
  return plain;
}

#if defined(GZARC_HAVE_ZLIB)
TEST(InflatePaths, FastAndPlainAgreeOnValidDamagedAndCutStreams) {
  std::mt19937 rng(2024);
  const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
  for (int round = 0; round < 30; ++round) {
    const std::size_t size = round < 5 ? rng() % 2000 : 1000 + rng() % 200000;
    const Bytes data = MakeInput(InputKind::kEchoes, size, rng());
    const int level = static_cast<int>(rng() % 10);
    const int memLevel = 1 + static_cast<int>(rng() % 9);
    const int strategy = strategies[rng() % 5];
    const Bytes stream = ZlibDeflate(data, level, memLevel, strategy);
    ASSERT_FALSE(stream.empty());
    const MemberCheck check = CheckOf(data);
    const uint32_t total = static_cast<uint32_t>(data.size());
    const std::string what = "round " + std::to_string(round) + " level " + std::to_string(level) +
                             " strategy " + std::to_string(strategy);

    const HostView whole = ExpectSamePaths(stream, {}, &check, total, what);
    EXPECT_EQ(whole.status, 0) << what;
    EXPECT_TRUE(whole.output == data) << what;
    const auto reads = static_cast<int>(whole.Of(HostEvent::kRead).size());
    const auto writes = static_cast<int>(whole.Of(HostEvent::kWrite).size());

    for (int variant = 0; variant < 12; ++variant) {
      // Cut short.
      Bytes cut(stream.begin(),
                stream.begin() + static_cast<std::ptrdiff_t>(rng() % stream.size()));
      ExpectSamePaths(cut, {}, &check, total, what + " cut " + std::to_string(cut.size()));
      // A few bits flipped.
      Bytes damaged = stream;
      for (int flips = 1 + static_cast<int>(rng() % 3); flips > 0; --flips) {
        damaged[rng() % damaged.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
      }
      ExpectSamePaths(damaged, {}, nullptr, total, what + " damaged");
      // Garbage spliced in.
      Bytes spliced = stream;
      const std::size_t at = rng() % spliced.size();
      for (std::size_t i = at; i < std::min(spliced.size(), at + 1 + rng() % 64); ++i) {
        spliced[i] = static_cast<uint8_t>(rng());
      }
      ExpectSamePaths(spliced, {}, nullptr, total, what + " spliced");
      // A failing read, write or a cancel anywhere.
      ExpectSamePaths(stream, {.failRead = 1 + static_cast<int>(rng() % reads)}, &check, total,
                      what + " read fails");
      ExpectSamePaths(stream, {.failWrite = 1 + static_cast<int>(rng() % writes)}, &check, total,
                      what + " write fails");
      ExpectSamePaths(stream, {.cancelAt = 1 + static_cast<int>(rng() % writes)}, &check, total,
                      what + " cancel");
    }
  }
}

// Literal codes from one bit to fifteen: many pairs of literals fit one
// fast entry, and the rare bytes have codes longer than its index.
TEST(InflatePaths, FastAndPlainAgreeOnLiteralPairsAndLongCodes) {
  std::mt19937 rng(4242);
  const int strategies[] = {Z_DEFAULT_STRATEGY, Z_HUFFMAN_ONLY, Z_FILTERED};
  for (int round = 0; round < 12; ++round) {
    const Bytes data =
        MakeInput(InputKind::kSkewed, round < 3 ? 1 + rng() % 5000 : 20000 + rng() % 150000, rng());
    const Bytes stream = ZlibDeflate(data, 1 + static_cast<int>(rng() % 9),
                                     1 + static_cast<int>(rng() % 9), strategies[round % 3]);
    ASSERT_FALSE(stream.empty());
    const MemberCheck check = CheckOf(data);
    const uint32_t total = static_cast<uint32_t>(data.size());
    const std::string what = "round " + std::to_string(round);
    const HostView whole = ExpectSamePaths(stream, {}, &check, total, what);
    EXPECT_EQ(whole.status, 0) << what;
    EXPECT_TRUE(whole.output == data) << what;
    for (int variant = 0; variant < 20; ++variant) {
      Bytes cut(stream.begin(),
                stream.begin() + static_cast<std::ptrdiff_t>(rng() % stream.size()));
      ExpectSamePaths(cut, {}, &check, total, what + " cut " + std::to_string(cut.size()));
      Bytes damaged = stream;
      damaged[rng() % damaged.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
      ExpectSamePaths(damaged, {}, nullptr, total, what + " damaged");
    }
  }
}
#endif

// Random bytes are mostly invalid streams, some of them long-lived ones
// (fixed and dynamic blocks that decode for a while before they fail).
TEST(InflatePaths, FastAndPlainAgreeOnRandomBytes) {
  std::mt19937 rng(77);
  for (int round = 0; round < 3000; ++round) {
    Bytes stream(1 + rng() % (round % 10 == 0 ? 20000 : 300));
    for (auto& c : stream) c = static_cast<uint8_t>(rng());
    // Steer the first block header towards fixed and dynamic blocks.
    stream[0] = static_cast<uint8_t>((stream[0] & ~6u) | ((1 + rng() % 2) << 1));
    ExpectSamePaths(stream, {}, nullptr, 0, "round " + std::to_string(round));
  }
}

// The multi-level walk of the code at the low end of bits: what it decodes
// to and how many bits the code takes, or nullptr for an invalid code.
const DecodeEntry* WalkTables(const DecodeEntry* root, unsigned rootBits, uint64_t bits,
                              unsigned* used) {
  const DecodeEntry* e = root + (bits & ((1u << rootBits) - 1));
  *used = 0;
  while (e->op > kOpLiteral) {
    if (e->op == kOpInvalid) return nullptr;
    *used += e->bits;
    const unsigned subBits = e->op - kOpLiteral;
    e = e->table + ((bits >> *used) & ((1u << subBits) - 1));
  }
  *used += e->bits;
  return e;
}

// Random code lengths that make a complete or an incomplete code: each new
// length takes a share of the room left, from one bit to fifteen.
std::vector<uint8_t> RandomLengths(unsigned n, bool complete, std::mt19937& rng) {
  std::vector<uint8_t> lengths(n, 0);
  uint32_t room = 1u << 15;  // in units of a 15-bit code
  std::vector<unsigned> order(n);
  for (unsigned i = 0; i < n; ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), rng);
  for (unsigned t : order) {
    if (room == 0) break;
    if (rng() % 4 == 0) continue;
    unsigned k = 1 + rng() % 15;
    while ((1u << (15 - k)) > room) ++k;
    lengths[t] = static_cast<uint8_t>(k);
    room -= 1u << (15 - k);
  }
  // Fill what room is left with 15-bit codes on unused symbols.
  for (unsigned t = 0; complete && t < n && room > 0; ++t) {
    if (lengths[t] == 0) {
      lengths[t] = 15;
      --room;
    }
  }
  return lengths;
}

// Every index of a fast table against the multi-level tables of the same
// code: single and paired literals, end of block, whole lengths and lengths
// with extra bits beyond the index, and slow entries just where a code is
// longer than the index or the pattern is no code at all.
TEST(InflatePaths, FastTablesAgreeWithMultiLevelTables) {
  static const uint16_t lengthBase[] = {3,  4,   5,   6,   7,   8,   9,   10, 11, 13, 15,
                                        17, 19,  23,  27,  31,  35,  43,  51, 59, 67, 83,
                                        99, 115, 131, 163, 195, 227, 258, 0,  0};
  static const uint8_t lengthExtra[] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2,  2, 2,
                                        3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0, 99, 99};
  std::mt19937 rng(9001);
  std::vector<FastEntry> fast(1u << kFastLiteralBits);
  int pairs = 0, slow = 0;
  for (int round = 0; round < 400; ++round) {
    const unsigned n = 257 + rng() % 31;
    std::vector<uint8_t> lengths = RandomLengths(n, round % 3 != 0, rng);
    if (round % 5 == 0) {
      // Short literal codes: pairs everywhere.
      std::fill(lengths.begin(), lengths.end(), 0);
      lengths[0] = lengths[1] = 2;
      lengths[2] = lengths[3 + rng() % 250] = lengths[256] = lengths[n - 1] = 3;
    }
    const DecodeEntry* root = nullptr;
    unsigned rootBits = 9;
    const int built =
        BuildDecodeTable(lengths.data(), n, 257, lengthBase, lengthExtra, &root, &rootBits);
    if (built > kCodeIncomplete || root == nullptr) {
      FreeDecodeTable(root);
      continue;
    }
    BuildFastTable(lengths.data(), n, 257, lengthBase, lengthExtra, fast.data(), kFastLiteralBits,
                   true);
    for (unsigned i = 0; i < fast.size(); ++i) {
      const uint64_t bits = i | (uint64_t{rng()} << kFastLiteralBits);
      const FastEntry f = fast[i];
      unsigned used = 0;
      const DecodeEntry* e = WalkTables(root, rootBits, bits, &used);
      const std::string what = "round " + std::to_string(round) + " index " + std::to_string(i);
      if (f & kFastSlow) {
        ++slow;
        EXPECT_TRUE(e == nullptr || used > kFastLiteralBits) << what;
        continue;
      }
      ASSERT_NE(e, nullptr) << what;
      if (f & kFastLiteral) {
        EXPECT_EQ(e->op, kOpLiteral) << what;
        EXPECT_EQ(FastValue(f) & 0xFF, e->value) << what;
        if (FastLiteralCount(f) == 2) {
          ++pairs;
          unsigned second = 0;
          const DecodeEntry* e2 = WalkTables(root, rootBits, bits >> used, &second);
          ASSERT_NE(e2, nullptr) << what;
          EXPECT_EQ(e2->op, kOpLiteral) << what;
          EXPECT_EQ(FastValue(f) >> 8, e2->value) << what;
          used += second;
        } else {
          EXPECT_EQ(FastLiteralCount(f), 1u) << what;
        }
        EXPECT_EQ(FastShift(f), used) << what;
        EXPECT_LE(FastShift(f), kFastLiteralBits) << what;
      } else if (f & kFastEndOfBlock) {
        EXPECT_EQ(e->op, kOpEndOfBlock) << what;
        EXPECT_EQ(FastShift(f), used) << what;
      } else if (f & kFastLengthExtra) {
        // A length whose extra bits reach past the index: base and counts.
        EXPECT_LE(e->op, 5) << what;
        EXPECT_GT(used + e->op, kFastLiteralBits) << what;
        EXPECT_EQ(FastCodeLength(f), used) << what;
        EXPECT_EQ(FastShift(f & ~kFastLengthExtra), used + e->op) << what;
        EXPECT_EQ(FastValue(f), e->value) << what;
      } else {
        // A whole length: its extra bits are part of the index.
        EXPECT_LE(e->op, 5) << what;
        EXPECT_EQ(FastShift(f), used + e->op) << what;
        EXPECT_LE(FastShift(f), kFastLiteralBits) << what;
        EXPECT_EQ(FastCodeLength(f), FastShift(f)) << what;
        EXPECT_EQ(FastValue(f), e->value + ((bits >> used) & ((1u << e->op) - 1))) << what;
      }
    }
    FreeDecodeTable(root);
  }
  EXPECT_GT(pairs, 1000);
  EXPECT_GT(slow, 200);
}

}  // namespace
}  // namespace gzarc::test
