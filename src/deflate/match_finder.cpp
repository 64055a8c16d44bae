#include "deflate/match_finder.h"

#include <array>
#include <bit>
#include <cstring>

#include "deflate/block_writer.h"
#include "deflate/compressor_state.h"
#include "deflate/source_reader.h"
#include "engine/engine_state.h"

namespace gzarc::deflate {
namespace {

constexpr std::array<MatchConfigRow, 10> kMatchConfig = {{
    {0, 0, 0, 0},
    {4, 4, 8, 4},
    {4, 5, 16, 8},
    {4, 6, 32, 32},
    {4, 4, 16, 16},
    {8, 16, 32, 32},
    {8, 16, 128, 128},
    {8, 32, 128, 256},
    {32, 128, 258, 1024},
    {32, 258, 258, 4096},
}};

inline uint32_t UpdateHash(uint32_t hash, uint8_t c) {
  return ((hash << kHashShift) ^ c) & kHashMask;
}

// Enters the string at pos into its hash chain; returns the previous head.
inline uint32_t InsertString(CompressorState& c, uint32_t pos) {
  c.InsertHash = UpdateHash(c.InsertHash, c.Window[pos + kMinMatch - 1]);
  const uint32_t head = c.HashHead[c.InsertHash];
  c.HashPrev[pos & kHashMask] = static_cast<uint16_t>(head);
  c.HashHead[c.InsertHash] = static_cast<uint16_t>(pos);
  return head;
}

inline uint16_t Load16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Number of equal leading bytes of a and b from offset 2 on, up to
// kMaxMatch in all; the caller has checked offsets 0 and 1.
inline uint32_t MatchLength(const uint8_t* a, const uint8_t* b) {
  uint32_t len = 2;
  if constexpr (std::endian::native == std::endian::little) {
    // 256 bytes in 8-byte steps cover offsets 2 to 257 exactly.
    while (len < kMaxMatch) {
      const uint64_t diff = Load64(a + len) ^ Load64(b + len);
      if (diff != 0) return len + static_cast<uint32_t>(std::countr_zero(diff) >> 3);
      len += 8;
    }
    return kMaxMatch;
  } else {
    while (len < kMaxMatch && a[len] == b[len]) ++len;
    return len;
  }
}

inline const uint8_t* BlockBuffer(const CompressorState& c) {
  return c.BlockStart >= 0 ? &c.Window[static_cast<uint32_t>(c.BlockStart)] : nullptr;
}

inline int32_t BlockSize(const CompressorState& c) {
  return static_cast<int32_t>(static_cast<int64_t>(c.StrStart) - c.BlockStart);
}

void SlideWindow(CompressorState& c) {
  std::memcpy(&c.Window[0], &c.Window[kWindowHalf], kWindowHalf);
  c.MatchStart -= kWindowHalf;
  c.StrStart -= kWindowHalf;
  c.BlockStart -= static_cast<int32_t>(kWindowHalf);
  // Positions in the discarded half become "none".
  for (uint16_t& entry : c.HashHead) {
    entry = static_cast<uint16_t>(entry >= kWindowHalf ? entry - kWindowHalf : 0);
  }
  for (uint16_t& entry : c.HashPrev) {
    entry = static_cast<uint16_t>(entry >= kWindowHalf ? entry - kWindowHalf : 0);
  }
}

// Ends the current block in the middle of the input; false when the status
// word says to stop.
bool EndBlockHere(CompressorState& c) {
  EndBlock(BlockBuffer(c), BlockSize(c), 0);
  c.BlockStart = static_cast<int32_t>(c.StrStart);
  return StatusOk();
}

}  // namespace

const MatchConfigRow& MatchConfig(int row) {
  return kMatchConfig[static_cast<std::size_t>(row)];
}

void InitMatchFinder() {
  CompressorState& c = Compressor();
  // Nothing of an earlier file may reach this one: a comparison can read
  // past the end of the input, so the window and the storage behind it are
  // cleared, and the stream depends on this file alone.
  c.Window.fill(0);
  c.HashHead.fill(0);
  const MatchConfigRow& row = MatchConfig(kMatchConfigRow);
  c.GoodLength = row.GoodLength;
  c.MaxLazy = row.MaxLazy;
  c.NiceLength = row.NiceLength;
  c.MaxChain = row.MaxChain;
  c.StrStart = 0;
  c.BlockStart = 0;
  c.MatchStart = 0;
  c.PrevLength = 0;

  c.Lookahead = ReadInput(&c.Window[0], kFirstRead);
  if (c.Lookahead == 0) {
    c.EndOfInput = true;
    return;
  }
  c.EndOfInput = false;
  while (c.Lookahead < kMinLookahead && !c.EndOfInput) FillWindow();
  c.InsertHash = 0;
  c.InsertHash = UpdateHash(c.InsertHash, c.Window[0]);
  c.InsertHash = UpdateHash(c.InsertHash, c.Window[1]);
}

void FillWindow() {
  CompressorState& c = Compressor();
  uint32_t more = kWindowSize - c.Lookahead - c.StrStart;
  if (c.StrStart >= kSlideThreshold) {
    SlideWindow(c);
    more += kWindowHalf;
  }
  if (c.EndOfInput) return;
  const uint32_t n = ReadInput(&c.Window[c.StrStart + c.Lookahead], more);
  if (n == 0) {
    c.EndOfInput = true;
  } else {
    c.Lookahead += n;
  }
}

uint32_t LongestMatch(uint32_t cur) {
  CompressorState& c = Compressor();
  uint32_t chain = c.MaxChain;
  if (c.PrevLength >= c.GoodLength) chain >>= 2;
  const uint32_t limit = c.StrStart >= kMaxDistance ? c.StrStart - kMaxDistance : 0;
  uint32_t best = c.PrevLength;
  const uint8_t* window = c.Window.data();
  const uint8_t* scan = window + c.StrStart;
  const uint16_t scanStart = Load16(scan);
  uint16_t scanEnd = Load16(scan + best - 1);

  for (;;) {
    const uint8_t* match = window + cur;
    if (Load16(match + best - 1) == scanEnd && Load16(match) == scanStart) {
      const uint32_t len = MatchLength(scan, match);
      if (len > best) {
        c.MatchStart = cur;
        best = len;
        if (len >= kMaxMatch) break;
        scanEnd = Load16(scan + best - 1);
      }
    }
    if (--chain == 0) break;
    cur = c.HashPrev[cur & kHashMask];
    if (cur <= limit) break;
  }
  return best;
}

void DeflateStream() {
  CompressorState& c = Compressor();
  uint32_t matchLength = kMinMatch - 1;
  bool matchAvailable = false;

  while (c.Lookahead != 0) {
    const uint32_t hashHead = InsertString(c, c.StrStart);

    c.PrevLength = matchLength;
    const uint32_t prevMatch = c.MatchStart;
    matchLength = kMinMatch - 1;

    if (hashHead != 0 && c.PrevLength < c.MaxLazy && c.StrStart - hashHead <= kMaxDistance) {
      matchLength = LongestMatch(hashHead);
      if (matchLength > c.Lookahead) matchLength = c.Lookahead;
      // A short match far back costs more than its literals.
      if (matchLength == kMinMatch && c.StrStart - c.MatchStart > kTooFar) {
        matchLength = kMinMatch - 1;
      }
    }

    if (c.PrevLength >= kMinMatch && matchLength <= c.PrevLength) {
      // The match at the previous position is as good as any here.
      const bool endBlock = TallySymbol(c.StrStart - 1 - prevMatch, c.PrevLength - kMinMatch);
      c.Lookahead -= c.PrevLength - 1;
      for (uint32_t k = c.PrevLength - 2; k != 0; --k) {
        ++c.StrStart;
        InsertString(c, c.StrStart);
      }
      ++c.StrStart;
      c.PrevLength = 0;
      matchAvailable = false;
      matchLength = kMinMatch - 1;
      if (endBlock && !EndBlockHere(c)) return;
    } else if (matchAvailable) {
      // The previous byte had no better match: it goes out as a literal.
      if (TallySymbol(0, c.Window[c.StrStart - 1]) && !EndBlockHere(c)) return;
      ++c.StrStart;
      --c.Lookahead;
    } else {
      matchAvailable = true;
      ++c.StrStart;
      --c.Lookahead;
    }

    while (c.Lookahead < kMinLookahead && !c.EndOfInput) FillWindow();
  }

  if (matchAvailable) TallySymbol(0, c.Window[c.StrStart - 1]);
  EndBlock(BlockBuffer(c), BlockSize(c), 1);
}

}  // namespace gzarc::deflate
