// The decoder on hand-built and tool-made DEFLATE streams, from memory.
#include "inflate/inflate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "decoder_harness.h"
#include "deflate_oracle.h"
#include "deflate_symbols.h"
#include "engine/engine_state.h"
#include "gzip/member_stream.h"
#include "inflate/decode_table.h"
#include "platform/platform_faults.h"
#include "test_support.h"

namespace gzarc::test {
namespace {

// Writes bit fields least-significant bit first, Huffman codes most
// significant bit first.
class BitWriter {
 public:
  void Put(uint32_t value, unsigned n) {
    for (unsigned i = 0; i < n; ++i) PutBit((value >> i) & 1);
  }
  void PutCode(uint32_t code, unsigned n) {
    for (unsigned i = n; i-- > 0;) PutBit((code >> i) & 1);
  }
  void Align() {
    while (bitCount_ != 0) PutBit(0);
  }
  void PutByte(uint8_t b) { Put(b, 8); }
  Bytes Finish() {
    Align();
    return bytes_;
  }

 private:
  void PutBit(uint32_t bit) {
    if (bitCount_ == 0) bytes_.push_back(0);
    bytes_.back() |= static_cast<uint8_t>(bit << bitCount_);
    bitCount_ = (bitCount_ + 1) & 7;
  }
  Bytes bytes_;
  unsigned bitCount_ = 0;
};

// A Huffman code the tests write with.
struct Code {
  std::vector<uint8_t> lengths;
  std::vector<uint32_t> codes;
  explicit Code(std::vector<uint8_t> l) : lengths(std::move(l)), codes(CanonicalCodes(lengths)) {}
  void Emit(BitWriter& w, unsigned symbol) const { w.PutCode(codes[symbol], lengths[symbol]); }
};

const Code& Fixed() {
  static const Code code(FixedLiteralLengths());
  return code;
}

// Length symbol and extra bits of a match length (3..258).
void EmitLength(BitWriter& w, const Code& code, unsigned length) {
  unsigned s = 28;
  while (kLengthBase[s] > length) --s;
  code.Emit(w, 257 + s);
  w.Put(length - kLengthBase[s], kLengthExtra[s]);
}
void EmitDistanceFixed(BitWriter& w, unsigned distance) {
  unsigned s = 29;
  while (kDistanceBase[s] > distance) --s;
  w.PutCode(s, 5);
  w.Put(distance - kDistanceBase[s], DistanceExtra(s));
}

// Header of a dynamic block whose code-length code gives 4 bits to each of
// the lengths 0..15, followed by every length written plainly.
void EmitDynamicHeader(BitWriter& w, const std::vector<uint8_t>& lit,
                       const std::vector<uint8_t>& dist) {
  w.Put(static_cast<uint32_t>(lit.size() - 257), 5);
  w.Put(static_cast<uint32_t>(dist.size() - 1), 5);
  w.Put(15, 4);
  for (unsigned s : kCodeLengthOrder) w.Put(s < 16 ? 4 : 0, 3);
  for (uint8_t l : lit) w.PutCode(l, 4);
  for (uint8_t l : dist) w.PutCode(l, 4);
}

uint16_t Inflate(const Bytes& stream, Bytes* out = nullptr, const MemberCheck* check = nullptr) {
  HostView seen = DecodeAsHost(stream, {}, check);
  if (out != nullptr) *out = std::move(seen.output);
  return seen.status;
}

class InflateTest : public ::testing::Test {
 protected:
  void SetUp() override { Engine().progressProc = {}; }
  void TearDown() override {
    Engine().progressProc = {};
    platform::faults::Disarm();
  }
};

// ---- Lookup tables ---------------------------------------------------------

// Decodes every code of a set of lengths through the tables and checks the
// symbol and the number of bits taken.
void ExpectDecodesAll(const std::vector<uint8_t>& lengths, unsigned s, unsigned askedBits) {
  const DecodeEntry* root = nullptr;
  unsigned rootBits = askedBits;
  std::vector<uint16_t> base(lengths.size(), 0);
  std::vector<uint8_t> extra(lengths.size(), 0);
  std::iota(base.begin(), base.end(), 1000);
  ASSERT_LE(BuildDecodeTable(lengths.data(), static_cast<unsigned>(lengths.size()), s, base.data(),
                             extra.data(), &root, &rootBits),
            1);
  const auto codes = CanonicalCodes(lengths);
  for (std::size_t sym = 0; sym < lengths.size(); ++sym) {
    if (lengths[sym] == 0) continue;
    uint32_t bits = 0;  // reversed code, then ones beyond it
    for (unsigned i = 0; i < lengths[sym]; ++i)
      bits |= ((codes[sym] >> i) & 1) << (lengths[sym] - 1 - i);
    bits |= ~0u << lengths[sym];
    unsigned used = 0;
    const DecodeEntry* e = root + (bits & ((1u << rootBits) - 1));
    while (e->op > kOpLiteral) {
      ASSERT_NE(e->op, kOpInvalid) << "symbol " << sym;
      used += e->bits;
      bits >>= e->bits;
      e = e->table + (bits & ((1u << (e->op - kOpLiteral)) - 1));
    }
    used += e->bits;
    EXPECT_EQ(used, lengths[sym]) << "symbol " << sym;
    if (sym < s) {
      EXPECT_EQ(e->value, sym);
      EXPECT_EQ(e->op, sym == 256 ? kOpEndOfBlock : kOpLiteral);
    } else {
      EXPECT_EQ(e->value, 1000 + sym - s);
    }
  }
  FreeDecodeTable(root);
}

TEST_F(InflateTest, TableOfNoLengthsIsAbsent) {
  std::vector<uint8_t> lengths(19, 0);
  const DecodeEntry* root = reinterpret_cast<const DecodeEntry*>(&lengths);
  unsigned bits = 7;
  EXPECT_EQ(BuildDecodeTable(lengths.data(), 19, 19, nullptr, nullptr, &root, &bits),
            kCodeComplete);
  EXPECT_EQ(root, nullptr);
  EXPECT_EQ(bits, 0u);
  FreeDecodeTable(nullptr);
}

TEST_F(InflateTest, TableResultsTellCompleteIncompleteAndOversubscribed) {
  auto build = [](std::vector<uint8_t> lengths, unsigned* bits, const DecodeEntry** root) {
    return BuildDecodeTable(lengths.data(), static_cast<unsigned>(lengths.size()),
                            static_cast<unsigned>(lengths.size()), nullptr, nullptr, root, bits);
  };
  const DecodeEntry* root = nullptr;
  unsigned bits = 7;
  EXPECT_EQ(build({1, 1, 1}, &bits, &root), kCodeOversubscribed);
  EXPECT_EQ(root, nullptr);
  bits = 7;
  EXPECT_EQ(build({2, 2, 3, 3, 3, 3, 3}, &bits, &root), kCodeOversubscribed);
  bits = 7;
  EXPECT_EQ(build({2, 2, 2}, &bits, &root), kCodeIncomplete);
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(bits, 2u);
  EXPECT_EQ(root[3].op, kOpInvalid);  // pattern 11 has no code
  FreeDecodeTable(root);
  // One code of one bit is complete; its other pattern is invalid.
  bits = 7;
  EXPECT_EQ(build({0, 1, 0}, &bits, &root), kCodeComplete);
  EXPECT_EQ(bits, 1u);
  EXPECT_EQ(root[0].op, kOpLiteral);
  EXPECT_EQ(root[0].value, 1);
  EXPECT_EQ(root[1].op, kOpInvalid);
  FreeDecodeTable(root);
  // One code of two bits is incomplete.
  bits = 7;
  EXPECT_EQ(build({0, 2}, &bits, &root), kCodeIncomplete);
  FreeDecodeTable(root);
}

TEST_F(InflateTest, FixedDistanceCodeIsIncompleteWithTwoInvalidPatterns) {
  std::vector<uint8_t> lengths(30, 5);
  std::vector<uint16_t> base(30, 1);
  std::vector<uint8_t> extra(30, 0);
  const DecodeEntry* root = nullptr;
  unsigned bits = 5;
  EXPECT_EQ(BuildDecodeTable(lengths.data(), 30, 0, base.data(), extra.data(), &root, &bits),
            kCodeIncomplete);
  EXPECT_EQ(bits, 5u);
  // Codes 30 and 31 (11110, 11111) are patterns 01111 and 11111 reversed.
  EXPECT_EQ(root[0x0F].op, kOpInvalid);
  EXPECT_EQ(root[0x1F].op, kOpInvalid);
  EXPECT_NE(root[0x00].op, kOpInvalid);
  FreeDecodeTable(root);
}

TEST_F(InflateTest, RootBitsFollowTheCodeLengths) {
  const DecodeEntry* root = nullptr;
  std::vector<uint8_t> lengths = {2, 2, 3, 3, 3, 4, 5, 6, 7, 7};  // longest 7
  unsigned bits = 9;
  ASSERT_EQ(BuildDecodeTable(lengths.data(), 10, 10, nullptr, nullptr, &root, &bits),
            kCodeComplete);
  EXPECT_EQ(bits, 7u);
  FreeDecodeTable(root);
  std::vector<uint8_t> wide(256, 8);  // shortest 8 > 6 asked
  std::vector<uint16_t> base(256, 1);
  std::vector<uint8_t> extra(256, 0);
  bits = 6;
  ASSERT_EQ(BuildDecodeTable(wide.data(), 256, 0, base.data(), extra.data(), &root, &bits),
            kCodeComplete);
  EXPECT_EQ(bits, 8u);
  FreeDecodeTable(root);
}

TEST_F(InflateTest, EveryCodeDecodesThroughSubTables) {
  ExpectDecodesAll(FixedLiteralLengths(), 257, 7);
  ExpectDecodesAll(FixedLiteralLengths(), 257, 9);
  // Lengths 1..15 and two of 16: complete, with deep sub-tables.
  std::vector<uint8_t> deep;
  for (uint8_t l = 1; l <= 15; ++l) deep.push_back(l);
  deep.push_back(16);
  deep.push_back(16);
  ExpectDecodesAll(deep, 0, 9);
  ExpectDecodesAll(deep, 17, 6);
  // Random complete codes from random frequencies (Kraft-filled).
  std::mt19937 rng(7);
  for (int round = 0; round < 40; ++round) {
    const unsigned n = 2 + rng() % 287;
    std::vector<uint8_t> l(n, 0);
    // Split code space: start with one code of length 0 and split leaves.
    std::vector<unsigned> leaves = {0};
    while (leaves.size() < n) {
      const std::size_t pick = rng() % leaves.size();
      if (leaves[pick] >= 15u + static_cast<unsigned>(round % 2)) continue;
      const unsigned depth = leaves[pick] + 1;
      leaves[pick] = depth;
      leaves.push_back(depth);
    }
    for (unsigned i = 0; i < n; ++i) l[i] = static_cast<uint8_t>(leaves[i]);
    std::shuffle(l.begin(), l.end(), rng);
    ExpectDecodesAll(l, round % 3 == 0 ? 0 : std::min(n, 257u), 9);
  }
}

TEST_F(InflateTest, EndOfBlockCodeEndsItsTable) {
  // Symbol 256 has 10 bits and lies in a sub-table beside codes of 11 bits:
  // that sub-table must end at the tenth bit.
  std::vector<uint8_t> lengths(257, 0);
  for (unsigned s = 0; s < 254; ++s) lengths[s] = 8;
  lengths[254] = 9;
  lengths[255] = 11;
  lengths[256] = 10;
  lengths[253] = 11;
  lengths[252] = 9;  // an incomplete code serves as well here
  ExpectDecodesAll(lengths, 257, 9);
  const DecodeEntry* root = nullptr;
  unsigned bits = 9;
  BuildDecodeTable(lengths.data(), 257, 257, nullptr, nullptr, &root, &bits);
  // Find the entry of 256 and check no table holding it is wider than needed.
  const auto codes = CanonicalCodes(lengths);
  uint32_t rev = 0;
  for (unsigned i = 0; i < 10; ++i) rev |= ((codes[256] >> i) & 1) << (9 - i);
  const DecodeEntry* e = root + (rev & ((1u << bits) - 1));
  unsigned used = 0;
  unsigned lastTableBits = bits;
  while (e->op > kOpLiteral && e->op != kOpInvalid) {
    used += e->bits;
    lastTableBits = e->op - kOpLiteral;
    e = e->table + ((rev >> used) & ((1u << lastTableBits) - 1));
  }
  EXPECT_EQ(e->op, kOpEndOfBlock);
  EXPECT_EQ(used + lastTableBits, 10u);
  FreeDecodeTable(root);
}

TEST_F(InflateTest, TableBuildOutOfMemoryReleasesWhatItBuilt) {
  std::vector<uint8_t> deep;
  for (uint8_t l = 1; l <= 15; ++l) deep.push_back(l);
  deep.push_back(16);
  deep.push_back(16);
  for (uint64_t at = 1; at <= 3; ++at) {
    platform::faults::Arm({platform::faults::Call::kAllocate, at, false});
    const DecodeEntry* root = nullptr;
    unsigned bits = 2;
    EXPECT_EQ(BuildDecodeTable(deep.data(), 17, 17, nullptr, nullptr, &root, &bits), kCodeNoMemory);
    EXPECT_EQ(root, nullptr);
  }
}

// ---- Block forms -----------------------------------------------------------

TEST_F(InflateTest, EmptyStoredBlockGivesEmptyOutputAndOneProgressCall) {
  BitWriter w;
  w.Put(1, 1);
  w.Put(0, 2);
  w.Align();
  w.Put(0, 16);
  w.Put(0xFFFF, 16);
  const MemberCheck check = CheckOf({});
  const HostView seen = DecodeAsHost(w.Finish(), {}, &check);
  EXPECT_EQ(seen.status, 0);
  EXPECT_TRUE(seen.output.empty());
  EXPECT_EQ(seen.Of(HostEvent::kProgress), (std::vector<HostEvent>{{HostEvent::kProgress, 0, 0}}));
}

TEST_F(InflateTest, StoredBlocksLongerThanTheWindowAtAnyPosition) {
  const Bytes data = MakeInput(InputKind::kNoise, 65535 + 40000, 1);
  BitWriter w;
  // A few fixed-code literals first, so that the stored block starts mid-window.
  w.Put(0, 1);
  w.Put(1, 2);
  for (int i = 0; i < 5; ++i) Fixed().Emit(w, 'x');
  Fixed().Emit(w, 256);
  for (std::size_t at = 0; at < data.size();) {
    const std::size_t len = std::min<std::size_t>(65535, data.size() - at);
    w.Put(at + len == data.size() ? 1 : 0, 1);
    w.Put(0, 2);
    w.Align();
    w.Put(static_cast<uint32_t>(len), 16);
    w.Put(static_cast<uint32_t>(~len & 0xFFFF), 16);
    for (std::size_t i = 0; i < len; ++i) w.PutByte(data[at + i]);
    at += len;
  }
  Bytes expected = data;
  expected.insert(expected.begin(), 5, 'x');
  Bytes out;
  const MemberCheck check = CheckOf(expected);
  EXPECT_EQ(Inflate(w.Finish(), &out, &check), 0);
  EXPECT_EQ(out, expected);
}

// A plain reference of LZ77 copying.
void Copy(Bytes& out, unsigned distance, unsigned length) {
  for (unsigned i = 0; i < length; ++i) out.push_back(out[out.size() - distance]);
}

TEST_F(InflateTest, FixedBlockBackReferencesAcrossTheWrap) {
  const Bytes head = MakeInput(InputKind::kNoise, kDecodeWindowSize - 10, 2);
  BitWriter w;
  w.Put(0, 1);
  w.Put(0, 2);
  w.Align();
  w.Put(static_cast<uint32_t>(head.size()), 16);
  w.Put(static_cast<uint32_t>(~head.size() & 0xFFFF), 16);
  for (uint8_t b : head) w.PutByte(b);
  Bytes expected = head;
  w.Put(1, 1);
  w.Put(1, 2);
  const std::pair<unsigned, unsigned> matches[] = {{100, 258}, {1000, 200},  {1, 258}, {32768, 258},
                                                   {3, 7},     {32000, 100}, {7, 3}};
  for (auto [distance, length] : matches) {
    EmitLength(w, Fixed(), length);
    EmitDistanceFixed(w, distance);
    Copy(expected, distance, length);
  }
  Fixed().Emit(w, 'z');
  expected.push_back('z');
  Fixed().Emit(w, 256);
  Bytes out;
  const MemberCheck check = CheckOf(expected);
  EXPECT_EQ(Inflate(w.Finish(), &out, &check), 0);
  EXPECT_EQ(out, expected);
}

TEST_F(InflateTest, DynamicBlockDecodes) {
  std::vector<uint8_t> lit(260, 0);
  lit['a'] = 2;
  lit['b'] = 2;
  lit[256] = 2;
  lit[259] = 2;  // length 6
  std::vector<uint8_t> dist = {1, 1};
  Code lc(lit), dc(dist);
  BitWriter w;
  w.Put(1, 1);
  w.Put(2, 2);
  EmitDynamicHeader(w, lit, dist);
  lc.Emit(w, 'a');
  lc.Emit(w, 'b');
  lc.Emit(w, 259);
  dc.Emit(w, 1);  // distance 2
  lc.Emit(w, 256);
  Bytes out;
  EXPECT_EQ(Inflate(w.Finish(), &out), 0);
  EXPECT_EQ(std::string(out.begin(), out.end()), "abababa");
}

// A dynamic block of 257 literal/length lengths and one distance length,
// written as code-length symbols with their repeat values in the code-length
// code given by its lengths, then the body.
Bytes CodeLengthBlock(const std::vector<uint8_t>& cl,
                      const std::vector<std::pair<unsigned, unsigned>>& symbols,
                      const std::function<void(BitWriter&)>& body) {
  BitWriter w;
  w.Put(1, 1);
  w.Put(2, 2);
  w.Put(0, 5);
  w.Put(0, 5);
  w.Put(15, 4);
  for (unsigned s : kCodeLengthOrder) w.Put(cl[s], 3);
  const Code code(cl);
  for (auto [symbol, repeat] : symbols) {
    code.Emit(w, symbol);
    if (symbol >= 16) w.Put(repeat, symbol == 16 ? 2 : symbol == 17 ? 3 : 7);
  }
  body(w);
  return w.Finish();
}

TEST_F(InflateTest, RepeatCodesAndTheFirstRepeatOfZero) {
  std::vector<uint8_t> cl(19, 0);
  cl[0] = cl[1] = cl[18] = 2;
  cl[16] = cl[17] = 3;
  // 16 first repeats length 0 (symbols 0..2); 'a' (97) and 256 get 1 bit.
  const std::vector<std::pair<unsigned, unsigned>> literals = {
      {16, 0}, {18, 94 - 11}, {1, 0}, {18, 138 - 11}, {18, 20 - 11}, {1, 0}};
  auto with = [&](std::pair<unsigned, unsigned> last) {
    auto symbols = literals;
    symbols.push_back(last);
    return symbols;
  };
  auto body = [](BitWriter& b) {
    b.PutCode(0, 1);
    b.PutCode(0, 1);
    b.PutCode(1, 1);
  };
  Bytes out;
  EXPECT_EQ(Inflate(CodeLengthBlock(cl, with({0, 0}), body), &out), 0);
  EXPECT_EQ(std::string(out.begin(), out.end()), "aa");
  // Repeats that run past the last length: zeros, and the previous length.
  EXPECT_EQ(Inflate(CodeLengthBlock(cl, with({17, 0}), body)), GZARC_STATUS_BAD_DATA);
  EXPECT_EQ(Inflate(CodeLengthBlock(cl, with({16, 0}), body)), GZARC_STATUS_BAD_DATA);
  EXPECT_EQ(Inflate(CodeLengthBlock(cl, with({18, 0}), body)), GZARC_STATUS_BAD_DATA);
}

TEST_F(InflateTest, FixedTablesAreBuiltOncePerMember) {
  auto stream = [](int blocks) {
    BitWriter w;
    for (int b = 0; b < blocks; ++b) {
      w.Put(b + 1 == blocks ? 1 : 0, 1);
      w.Put(1, 2);
      Fixed().Emit(w, 'a' + b);
      Fixed().Emit(w, 256);
    }
    return w.Finish();
  };
  platform::faults::Arm({platform::faults::Call::kCount, 0, false});
  EXPECT_EQ(Inflate(stream(1)), 0);
  const uint64_t once = platform::faults::Count(platform::faults::Call::kAllocate);
  EXPECT_GE(once, 3u);  // input buffer and both fixed tables
  platform::faults::Arm({platform::faults::Call::kCount, 0, false});
  Bytes out;
  EXPECT_EQ(Inflate(stream(5), &out), 0);
  EXPECT_EQ(platform::faults::Count(platform::faults::Call::kAllocate), once);
  EXPECT_EQ(std::string(out.begin(), out.end()), "abcde");
}

// ---- Failures --------------------------------------------------------------

Bytes Header(unsigned last, unsigned type) {
  BitWriter w;
  w.Put(last, 1);
  w.Put(type, 2);
  return w.Finish();
}

TEST_F(InflateTest, BlockTypeThreeAndBadStoredLength) {
  EXPECT_EQ(Inflate(Header(1, 3)), GZARC_STATUS_BAD_DATA);
  BitWriter w;
  w.Put(1, 1);
  w.Put(0, 2);
  w.Align();
  w.Put(5, 16);
  w.Put(0xFFFB, 16);  // complement of 4
  for (int i = 0; i < 5; ++i) w.PutByte('a');
  EXPECT_EQ(Inflate(w.Finish()), GZARC_STATUS_BAD_DATA);
}

TEST_F(InflateTest, TooManyLiteralOrDistanceLengths) {
  for (unsigned hlit : {29u, 30u, 31u}) {
    for (unsigned hdist : {29u, 30u, 31u}) {
      std::vector<uint8_t> lit(257 + hlit, 0), dist(1 + hdist, 0);
      lit['a'] = 1;
      lit[256] = 1;
      dist[0] = 1;
      dist[1] = 1;
      BitWriter w;
      w.Put(1, 1);
      w.Put(2, 2);
      EmitDynamicHeader(w, lit, dist);
      w.PutCode(0, 1);
      w.PutCode(1, 1);
      const bool valid = hlit < 30 && hdist < 30;
      EXPECT_EQ(Inflate(w.Finish()), valid ? 0 : GZARC_STATUS_BAD_DATA) << hlit << " " << hdist;
    }
  }
}

// A dynamic block with the given lengths and a body written by emit.
Bytes DynamicBlock(const std::vector<uint8_t>& lit, const std::vector<uint8_t>& dist,
                   const std::function<void(BitWriter&)>& emit) {
  BitWriter w;
  w.Put(1, 1);
  w.Put(2, 2);
  EmitDynamicHeader(w, lit, dist);
  emit(w);
  return w.Finish();
}

TEST_F(InflateTest, OversubscribedAndIncompleteCodesFail) {
  std::vector<uint8_t> lit(257, 0);
  lit['a'] = 1;
  lit['b'] = 1;
  lit[256] = 1;  // three 1-bit codes
  EXPECT_EQ(Inflate(DynamicBlock(lit, {1, 1}, [](BitWriter&) {})), GZARC_STATUS_BAD_DATA);
  lit['b'] = 2;
  lit[256] = 0;
  lit['c'] = 0;  // 'a' 1 bit, 'b' 2 bits: incomplete
  EXPECT_EQ(Inflate(DynamicBlock(lit, {1, 1}, [](BitWriter&) {})), GZARC_STATUS_BAD_DATA);
  lit['b'] = 1;
  lit[256] = 1;
  lit['a'] = 0;
  // Incomplete distance code (one code of two bits).
  EXPECT_EQ(Inflate(DynamicBlock(lit, {2, 0}, [](BitWriter& w) { w.PutCode(1, 1); })),
            GZARC_STATUS_BAD_DATA);
  // Over-subscribed and incomplete code-length codes.
  for (unsigned lengthOfCl : {1u, 2u}) {
    BitWriter w;
    w.Put(1, 1);
    w.Put(2, 2);
    w.Put(0, 5);
    w.Put(0, 5);
    w.Put(0, 4);  // 4 code-length lengths: for 16, 17, 18, 0
    for (int i = 0; i < 4; ++i) w.Put(i < 3 ? lengthOfCl : 0, 3);
    EXPECT_EQ(Inflate(w.Finish()), GZARC_STATUS_BAD_DATA) << lengthOfCl;
  }
}

TEST_F(InflateTest, CodesThroughMissingTablesFail) {
  // All code-length lengths zero.
  BitWriter w;
  w.Put(1, 1);
  w.Put(2, 2);
  w.Put(0, 14);
  w.Put(0, 12);
  w.Put(0, 16);
  EXPECT_EQ(Inflate(w.Finish()), GZARC_STATUS_BAD_DATA);
  // All literal/length lengths zero.
  std::vector<uint8_t> lit(258, 0);
  EXPECT_EQ(Inflate(DynamicBlock(lit, {1, 1}, [](BitWriter& b) { b.Put(0, 16); })),
            GZARC_STATUS_BAD_DATA);
  // No distance code: literals decode, a match fails.
  lit['a'] = 2;
  lit[256] = 2;
  lit[257] = 1;
  Code lc(lit);
  auto literals = [&](BitWriter& b) {
    lc.Emit(b, 'a');
    lc.Emit(b, 256);
  };
  Bytes out;
  EXPECT_EQ(Inflate(DynamicBlock(lit, {0}, literals), &out), 0);
  EXPECT_EQ(out, Bytes{'a'});
  auto match = [&](BitWriter& b) {
    lc.Emit(b, 'a');
    lc.Emit(b, 257);
    b.Put(0, 8);
    lc.Emit(b, 256);
  };
  EXPECT_EQ(Inflate(DynamicBlock(lit, {0}, match)), GZARC_STATUS_BAD_DATA);
}

TEST_F(InflateTest, SingleOneBitDistanceCode) {
  std::vector<uint8_t> lit(258, 0);
  lit['a'] = 2;
  lit[256] = 2;
  lit[257] = 1;  // length 3
  Code lc(lit);
  auto body = [&](unsigned distanceBit) {
    return [&lc, distanceBit](BitWriter& b) {
      lc.Emit(b, 'a');
      lc.Emit(b, 257);
      b.PutCode(distanceBit, 1);
      lc.Emit(b, 256);
    };
  };
  Bytes out;
  EXPECT_EQ(Inflate(DynamicBlock(lit, {1}, body(0)), &out), 0);
  EXPECT_EQ(out, Bytes(4, 'a'));
  EXPECT_EQ(Inflate(DynamicBlock(lit, {1}, body(1))), GZARC_STATUS_BAD_DATA);
}

TEST_F(InflateTest, InvalidFixedSymbolsAndDistancesFail) {
  for (unsigned code : {30u, 31u}) {
    BitWriter w;
    w.Put(1, 1);
    w.Put(1, 2);
    Fixed().Emit(w, 'a');
    Fixed().Emit(w, 257);
    w.PutCode(code, 5);
    w.Put(0, 16);
    Fixed().Emit(w, 256);
    EXPECT_EQ(Inflate(w.Finish()), GZARC_STATUS_BAD_DATA) << code;
  }
  for (unsigned symbol : {286u, 287u}) {
    BitWriter w;
    w.Put(1, 1);
    w.Put(1, 2);
    Fixed().Emit(w, 'a');
    Fixed().Emit(w, symbol);
    w.PutCode(0, 5);
    Fixed().Emit(w, 256);
    EXPECT_EQ(Inflate(w.Finish()), GZARC_STATUS_BAD_DATA) << symbol;
  }
}

TEST_F(InflateTest, DistanceBeforeTheFirstByteFails) {
  for (auto [literals, distance, ok] : {std::tuple{3, 3, true}, {3, 4, false}, {0, 1, false}}) {
    BitWriter w;
    w.Put(1, 1);
    w.Put(1, 2);
    for (int i = 0; i < literals; ++i) Fixed().Emit(w, 'a' + i);
    EmitLength(w, Fixed(), 3);
    EmitDistanceFixed(w, distance);
    Fixed().Emit(w, 256);
    EXPECT_EQ(Inflate(w.Finish()), ok ? 0 : GZARC_STATUS_BAD_DATA) << distance;
  }
}

#if defined(GZARC_HAVE_ZLIB)
Bytes RawDeflate(const Bytes& data, int level) {
  return ZlibDeflate(data, level, 9, Z_DEFAULT_STRATEGY);
}

TEST_F(InflateTest, TruncatedStreamsFailAtEveryLength) {
  const Bytes data = MakeInput(InputKind::kEchoes, 3000, 3);
  for (int level : {0, 1, 9}) {
    const Bytes stream = RawDeflate(data, level);
    for (std::size_t cut = 0; cut < stream.size(); ++cut) {
      const Bytes part(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(cut));
      EXPECT_EQ(Inflate(part), GZARC_STATUS_BAD_DATA) << "level " << level << " cut " << cut;
    }
    Bytes out;
    EXPECT_EQ(Inflate(stream, &out), 0);
    EXPECT_EQ(out, data);
  }
}

TEST_F(InflateTest, ChecksAgainstTheTrailer) {
  const Bytes data = MakeInput(InputKind::kEchoes, 5000, 4);
  const Bytes stream = RawDeflate(data, 6);
  MemberCheck check = CheckOf(data);
  EXPECT_EQ(Inflate(stream, nullptr, &check), 0);
  check.crc32 ^= 1;
  EXPECT_EQ(Inflate(stream, nullptr, &check), GZARC_STATUS_BAD_DATA);
  check = CheckOf(data);
  check.size += 1;
  EXPECT_EQ(Inflate(stream, nullptr, &check), GZARC_STATUS_BAD_DATA);
}

TEST_F(InflateTest, FailedReadsAndWritesEndWithTheirStatus) {
  // Reads that fail part way: status 5, no loop; a write that fails or
  // comes up short: 101.
  const Bytes data = MakeInput(InputKind::kMixed, 600000, 5);
  const Bytes stream = RawDeflate(data, 1);
  // The failing reads below must all fall within the stream.
  ASSERT_GT(stream.size(), 4u * kInputBufferSize);
  for (int at : {1, 2, 5}) {
    EXPECT_EQ(DecodeAsHost(stream, {.failRead = at}).status, GZARC_STATUS_FILE_ERROR) << at;
    EXPECT_EQ(DecodeAsHost(stream, {.failWrite = std::min(at, 2)}).status, GZARC_STATUS_WRITE_SHORT)
        << at;
    EXPECT_EQ(DecodeAsHost(stream, {.diskSpace = at * 100000u}).status, GZARC_STATUS_WRITE_SHORT)
        << at;
  }
  SetStatus(0);
}
#endif

// ---- Progress and cancel ---------------------------------------------------

TEST_F(InflateTest, CancelFinishesTheCurrentBlockOnly) {
  BitWriter w;
  w.Put(0, 1);
  w.Put(1, 2);
  Bytes expected;
  Fixed().Emit(w, 'q');
  expected.push_back('q');
  for (int i = 0; i < 600; ++i) {
    EmitLength(w, Fixed(), 258);
    EmitDistanceFixed(w, 1);
    Copy(expected, 1, 258);
  }
  Fixed().Emit(w, 256);
  w.Put(1, 1);
  w.Put(1, 2);
  Fixed().Emit(w, 'Z');
  Fixed().Emit(w, 256);
  const HostView seen = DecodeAsHost(w.Finish(), {.cancelAt = 1}, nullptr, 200000);
  EXPECT_EQ(seen.status, GZARC_STATUS_CANCELLED);
  EXPECT_EQ(seen.Of(HostEvent::kProgress).size(), 1u);
  EXPECT_EQ(seen.output, expected);
}

TEST_F(InflateTest, ProgressPercentHalvesLargeCounts) {
  static int32_t percent;
  Engine().progressProc = {nullptr, [](void*, int32_t p, int32_t) -> int32_t {
                             percent = p;
                             return 1;
                           }};
  const Bytes window(kDecodeWindowSize, 'w');
  OutputAccount account;
  account.progressTotal = 2 * 0x1400000;
  account.total = 0x1400000 - kDecodeWindowSize;
  FlushWindow(account, window.data(), kDecodeWindowSize, true);
  EXPECT_EQ(percent, 50);
  account.total = 1000;
  FlushWindow(account, window.data(), 1000, true);
  EXPECT_EQ(percent, 0);  // 2000 * 100 / 41943040
}

// Members of 2 GiB and more: the trailer holds the size modulo 2^32, and the
// percentage must still run within 0..100.
TEST_F(InflateTest, ProgressOfMembersOfTwoGiBAndMore) {
  static int32_t percent;
  Engine().progressProc = {nullptr, [](void*, int32_t p, int32_t) -> int32_t {
                             percent = p;
                             return 1;
                           }};
  const Bytes window(kDecodeWindowSize, 'w');
  const auto flushAt = [&](uint64_t size, uint64_t written) {
    OutputAccount account;
    account.progressTotal = static_cast<uint32_t>(size);
    account.total = written - kDecodeWindowSize;
    FlushWindow(account, window.data(), kDecodeWindowSize, true);
    return percent;
  };
  constexpr uint64_t kGiB = uint64_t{1} << 30;
  EXPECT_EQ(flushAt(3 * kGiB, kGiB + kGiB / 2), 50);
  EXPECT_EQ(flushAt(3 * kGiB, 3 * kGiB), 100);
  EXPECT_EQ(flushAt(4 * kGiB + kGiB / 2, kGiB / 4), 50);  // ISIZE: half a GiB
  EXPECT_EQ(flushAt(4 * kGiB + kGiB / 2, 4 * kGiB), 88);  // of 4.5 GiB
  EXPECT_EQ(flushAt(4 * kGiB + kGiB / 2, 4 * kGiB + kGiB / 2), 100);
  EXPECT_EQ(flushAt(0, 5 * kGiB), 62);  // a trailer that says 0: taken as 8 GiB
}

// ---- Streams made by other tools -------------------------------------------

#if defined(GZARC_HAVE_ZLIB)
TEST_F(InflateTest, ZlibStreamsAtEveryLevelAndStrategy) {
  const Bytes inputs[] = {Bytes{}, Bytes{'a'}, MakeInput(InputKind::kEchoes, 200000, 6),
                          Bytes(100000, 0), MakeInput(InputKind::kNoise, 70000, 8)};
  for (const Bytes& input : inputs) {
    const MemberCheck check = CheckOf(input);
    for (int level = 0; level <= 9; ++level) {
      for (int strategy : {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED}) {
        const std::string what = std::to_string(input.size()) + " bytes, level " +
                                 std::to_string(level) + ", strategy " + std::to_string(strategy);
        Bytes out;
        EXPECT_EQ(Inflate(ZlibDeflate(input, level, 9, strategy), &out, &check), 0) << what;
        EXPECT_TRUE(out == input) << what;
      }
    }
  }
}
#endif

// The raw stream and trailer of a one-member gzip file.
bool SplitGzip(const Bytes& gz, Bytes* stream, MemberCheck* check) {
  if (gz.size() < 18 || gz[0] != 0x1f || gz[1] != 0x8b) return false;
  const uint8_t flags = gz[3];
  std::size_t at = 10;
  if (flags & 4) at += 2 + (gz[at] | gz[at + 1] << 8);
  if (flags & 8)
    at = static_cast<std::size_t>(std::find(gz.begin() + at, gz.end(), 0) - gz.begin()) + 1;
  if (flags & 16)
    at = static_cast<std::size_t>(std::find(gz.begin() + at, gz.end(), 0) - gz.begin()) + 1;
  if (flags & 2) at += 2;
  stream->assign(gz.begin() + static_cast<std::ptrdiff_t>(at), gz.end() - 8);
  *check = MemberCheck{Le32(gz, gz.size() - 8), Le32(gz, gz.size() - 4)};
  return true;
}

TEST_F(InflateTest, GzipToolsAtEveryLevel) {
  TempDir dir;
  const Bytes data = MakeInput(InputKind::kEchoes, 300000, 9);
  WriteFile(dir.Native("data"), data);
  struct Tool {
    const char* program;
    const char* command;  // %d: level; reads data, writes data.gz
    int firstLevel, lastLevel;
  };
  const Tool tools[] = {
      {"gzip", "gzip -%d -c data > data.gz", 1, 9},
      {"pigz", "pigz -%d -c data > data.gz", 0, 9},
      {"busybox", "busybox gzip -%d -c data > data.gz", 1, 9},
      {"libdeflate-gzip", "libdeflate-gzip -%d -c data > data.gz", 1, 12},
      {"igzip", "igzip -%d -c data > data.gz", 0, 3},
      {"zopfli", "zopfli --i%d -c data > data.gz", 1, 2},
  };
  for (const Tool& tool : tools) {
    if (!HaveProgram(tool.program)) {
      std::printf("(%s not installed: skipped)\n", tool.program);
      continue;
    }
    for (int level = tool.firstLevel; level <= tool.lastLevel; ++level) {
      char command[160];
      std::snprintf(command, sizeof command, tool.command, level);
      ASSERT_EQ(test::Run("cd " + dir.path() + " && " + command), 0) << command;
      Bytes stream, out;
      MemberCheck check{};
      ASSERT_TRUE(SplitGzip(ReadFile(dir.Native("data.gz")), &stream, &check)) << command;
      EXPECT_EQ(Inflate(stream, &out, &check), 0) << command;
      EXPECT_TRUE(out == data) << command;
    }
  }
}

}  // namespace
}  // namespace gzarc::test
