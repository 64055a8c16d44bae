// The match finder's hot code as templates over the way a long match is
// measured: the hash chains, the chain search and the lazy loop. The plain
// build (match_finder.cpp) and the processor-specific builds
// (match_finder_x86.cpp) instantiate the same code, so that they find the
// same matches and write the same stream.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <type_traits>

#include "deflate/block_writer.h"
#include "deflate/compressor_state.h"
#include "deflate/match_finder.h"
#include "deflate/parse_record.h"
#include "platform/byte_order.h"
#include "platform/cpu_features.h"

namespace gzarc::deflate {

#ifdef GZARC_X86_DISPATCH
// The builds of match_finder_x86.cpp.
extern const MatchKernels kSse2MatchKernels;
extern const MatchKernels kAvx2MatchKernels;
extern const MatchKernels kAvx512MatchKernels;
#endif

inline constexpr std::array<MatchConfigRow, 10> kMatchConfig = {{
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

// How far ahead of the search strings enter their chains, at most; a full
// lookahead of input covers it.
inline constexpr uint32_t kInsertAhead = 32;
static_assert(kInsertAhead <= kMinLookahead);

// Both chain budgets, the full one and the quarter after a good match, are
// multiples of four; the chain walk counts them down four candidates at a
// time.
inline constexpr bool kChainInFours = kMatchConfig[kMatchConfigRow].MaxChain % 16 == 0;
static_assert(kChainInFours);

// Whether the processor's registers hold 64 bits. Where they hold 32 (the
// 32-bit DLL), the chain links and the byte comparisons go in 32-bit words:
// 64-bit shifts and counts would take register pairs, of which such a
// processor has too few, and a compiler allowed SSE2 moves them into vector
// registers and back at every step.
inline constexpr bool kWideWords = sizeof(std::size_t) >= 8;

inline uint32_t UpdateHash(uint32_t hash, uint8_t c) {
  return ((hash << kHashShift) ^ c) & kHashMask;
}

// The running hash after the bytes at pos, pos + 1 and pos + 2: three
// updates shift every earlier byte out of its 15 bits, so it is this
// function of those bytes alone. Taking it from them directly leaves no
// chain of dependent updates from one position to the next.
inline uint32_t HashAt(const uint8_t* window, uint32_t pos) {
  // One load: byte 0 keeps its low 5 bits at bits 10-14, byte 1 lands at
  // bits 5-12, byte 2 at bits 0-7.
  const uint32_t bytes = LoadLittle32(window + pos);
  return ((bytes << (2 * kHashShift)) & 0x7C00) ^ ((bytes >> (8 - kHashShift)) & 0x1FE0) ^
         ((bytes >> 16) & 0xFF);
}

// The four chain positions from head on: head itself, then the first three
// links of head's entry.
inline ChainLink ChainFrom(const ChainLink* hashPrev, uint32_t head) {
  const ChainLink& older = hashPrev[head & kHashMask];
  if constexpr (std::endian::native == std::endian::little && kWideWords) {
    // The four links as one word: the head's links move up one place.
    uint64_t links;
    std::memcpy(&links, &older, sizeof links);
    links = (links << 16) | head;
    ChainLink entry;
    std::memcpy(&entry, &links, sizeof links);
    return entry;
  } else {
    return {{static_cast<uint16_t>(head), older.Link[0], older.Link[1], older.Link[2]}};
  }
}

// Enters the string at pos, whose hash is hash, into its hash chain. The
// links of pos are the head followed by the head's own first three, read
// before pos's entry is written (the two share an entry only when the head
// is 32768 back, too far for any search to reach, and a search stops there
// before it reads the links behind it).
inline void InsertChainEntry(uint16_t* hashHead, ChainLink* hashPrev, uint32_t hash, uint32_t pos) {
  if constexpr (std::endian::native == std::endian::little && !kWideWords) {
    // The same move of the links in two 32-bit words, loaded and stored as
    // such. Put together in registers, an entry went to the stack and came
    // back whole through a vector register, waiting for the stores to land;
    // link by link it took more instructions.
    const uint32_t head = hashHead[hash];
    const auto* older = reinterpret_cast<const uint8_t*>(&hashPrev[head & kHashMask]);
    const uint32_t low = LoadLittle32(older);
    const uint32_t high = LoadLittle32(older + 4);
    auto* entry = reinterpret_cast<uint8_t*>(&hashPrev[pos & kHashMask]);
    StoreLittle32(entry, (low << 16) | head);
    StoreLittle32(entry + 4, (high << 16) | (low >> 16));
  } else {
    hashPrev[pos & kHashMask] = ChainFrom(hashPrev, hashHead[hash]);
  }
  hashHead[hash] = static_cast<uint16_t>(pos);
}

// The plain measure of a long match: the number of equal leading bytes of
// a and b, at most kMaxMatch, given that the first len bytes are equal.
// From len 8 the reads stay below kMaxMatch + 6 bytes past a and b.
struct ScalarMeasure {
  static uint32_t Length(const uint8_t* a, const uint8_t* b, uint32_t len) {
    if constexpr (std::endian::native == std::endian::little) {
      // A word a step: the first difference is the lowest set bit of the XOR.
      using Word = std::conditional_t<kWideWords, uint64_t, uint32_t>;
      const auto load = [](const uint8_t* p) -> Word {
        if constexpr (kWideWords) return LoadLittle64(p);
        return LoadLittle32(p);
      };
      for (;;) {
        const Word diff = load(a + len) ^ load(b + len);
        if (diff != 0) {
          len += static_cast<uint32_t>(std::countr_zero(diff) >> 3);
          return len < kMaxMatch ? len : kMaxMatch;
        }
        len += sizeof(Word);
        if (len >= kMaxMatch) return kMaxMatch;
      }
    } else {
      while (len < kMaxMatch && a[len] == b[len]) ++len;
      return len;
    }
  }
};

// The standing of a candidate: its length, then its position. Positions on
// a chain fall, so among candidates of one length the first has the
// greatest rank, and the best match, the first strictly longer one, is the
// candidate of greatest rank. An unsigned maximum compiles to a compare and
// a conditional move, where a comparison of lengths became a branch that no
// predictor can learn.
inline uint32_t MatchRank(uint32_t len, uint32_t pos) {
  return (len << 16) | pos;
}
// The rank the search starts from: ahead of every candidate of the same
// length, so that only a longer match replaces it.
inline uint32_t StartRank(uint32_t len) {
  return MatchRank(len, 0xFFFF);
}

// The first 8 bytes of the scan string, in the processor's words.
template <bool kWide = kWideWords>
inline auto LoadScanHead(const uint8_t* scan) {
  if constexpr (kWide) {
    return LoadLittle64(scan);
  } else {
    return std::array<uint32_t, 2>{LoadLittle32(scan), LoadLittle32(scan + 4)};
  }
}

// Examines one candidate. A candidate can only beat the best when its first
// best + 1 bytes all equal the scan string, so measuring every candidate's
// exact length and keeping the first strictly longer one picks the same
// match as rejecting candidates on their byte pairs at the start and at
// best - 1 first. Most candidates differ within 8 bytes: one XOR and a
// count of trailing zeros give their length. Returns false at a match of
// the greatest length, which ends the search.
template <typename Measure, typename ScanHead>
inline bool ExamineCandidate(const uint8_t* window, const uint8_t* scan, const ScanHead& scanHead,
                             uint32_t cur, uint32_t& rank) {
  const uint8_t* match = window + cur;
  if constexpr (std::endian::native == std::endian::little && kWideWords) {
    const uint64_t diff = LoadLittle64(match) ^ scanHead;
    if (diff != 0) {
      const auto len = static_cast<uint32_t>(std::countr_zero(diff) >> 3);
      rank = std::max(rank, MatchRank(len, cur));
      return true;
    }
  } else if constexpr (std::endian::native == std::endian::little) {
    const uint32_t low = LoadLittle32(match) ^ scanHead[0];
    const uint32_t high = LoadLittle32(match + 4) ^ scanHead[1];
    if ((low | high) != 0) {
      // (A choice of two counts, which compiles to a conditional move.)
      const uint32_t lowLength = static_cast<uint32_t>(std::countr_zero(low)) >> 3;
      const uint32_t highLength = 4 + (static_cast<uint32_t>(std::countr_zero(high)) >> 3);
      rank = std::max(rank, MatchRank(low != 0 ? lowLength : highLength, cur));
      return true;
    }
  }
  // On little-endian targets the first 8 bytes are known to be equal here.
  constexpr uint32_t kKnown = std::endian::native == std::endian::little ? 8 : 0;
  const uint32_t len = Measure::Length(scan, match, kKnown);
  rank = std::max(rank, MatchRank(len, cur));
  return len < kMaxMatch;
}

// The chain walk of LongestMatch over values the caller keeps in registers.
// group holds the first four candidates, nearest first; the first lies
// within reach. Chain positions fall strictly, so the walk ends at the first
// one at or below the distance limit (0, "none", included). The entry of
// the last candidate of a group holds the next four, so the walk waits for
// one memory access per four candidates instead of one per candidate; the
// candidates and their order are those of the plain chain.
template <typename Measure>
inline uint32_t SearchChain(const uint8_t* window, const ChainLink* hashPrev, uint32_t strStart,
                            uint32_t best, uint32_t chain, ChainLink group, uint32_t& matchStart) {
  const uint32_t limit = strStart >= kMaxDistance ? strStart - kMaxDistance : 0;
  const uint8_t* scan = window + strStart;
  const auto scanHead = LoadScanHead(scan);
  uint32_t rank = StartRank(best);
  for (;;) {
    if (!ExamineCandidate<Measure>(window, scan, scanHead, group.Link[0], rank)) break;
    if (group.Link[1] <= limit) break;
    if (!ExamineCandidate<Measure>(window, scan, scanHead, group.Link[1], rank)) break;
    if (group.Link[2] <= limit) break;
    if (!ExamineCandidate<Measure>(window, scan, scanHead, group.Link[2], rank)) break;
    if (group.Link[3] <= limit) break;
    if (!ExamineCandidate<Measure>(window, scan, scanHead, group.Link[3], rank)) break;
    // The chain budget is a multiple of four (see kChainInFours), so it can
    // only run out after the last candidate of a group.
    chain -= 4;
    if (chain == 0) break;
    group = hashPrev[group.Link[3] & kHashMask];
    if (group.Link[0] <= limit) break;
  }
  const uint32_t len = rank >> 16;
  if (len > best) matchStart = rank & 0xFFFF;
  return len;
}

// A position after the window has slid; one in the discarded half becomes
// "none".
inline uint16_t SlidPosition(uint16_t position) {
  return static_cast<uint16_t>(position >= kWindowHalf ? position - kWindowHalf : 0);
}

// Positions in the discarded half become "none" in the hash heads and the
// chain entries alike; the compiler turns both loops into saturating vector
// subtractions as wide as the build allows.
[[gnu::always_inline]] inline void SlideTablesWith(CompressorState& c) {
  for (uint16_t& entry : c.HashHead) entry = SlidPosition(entry);
  for (ChainLink& entry : c.HashPrev) {
    for (uint16_t& link : entry.Link) link = SlidPosition(link);
  }
}

inline const uint8_t* BlockBuffer(const CompressorState& c) {
  return c.BlockStart >= 0 ? &c.Window[static_cast<uint32_t>(c.BlockStart)] : nullptr;
}

inline int32_t BlockSize(const CompressorState& c) {
  return static_cast<int32_t>(static_cast<int64_t>(c.StrStart) - c.BlockStart);
}

// Ends the current block in the middle of the input; false when the stream
// has failed or its source asked to stop.
bool EndBlockHere(CompressorState& c);

// The lazy loop keeps the positions, the running hash and the tables
// addresses in locals: the symbol buffers are written through byte
// pointers, which would otherwise make the compiler reload every field of
// the state after each store. The fields are brought up to date before
// anything that reads them (filling the window, ending a block) and taken
// back afterwards.
//
// Built kRecord, the same loop makes a ParseRecord instead of blocks: its
// symbols go to the record, it notes its state at the top of the loop where
// the record asks, its reads and slides, and it stops at the record's stop
// position. Every decision is made by the same code either way.
template <typename Measure, bool kRecord = false>
[[gnu::always_inline]] inline void DeflateStreamWith(CompressorState& c,
                                                     ParseRecord* record = nullptr) {
  const uint8_t* const window = c.Window.data();
  uint16_t* const hashHead = c.HashHead.data();
  ChainLink* const hashPrev = c.HashPrev.data();
  const uint32_t maxLazy = c.MaxLazy;
  const uint32_t goodLength = c.GoodLength;
  const uint32_t maxChain = c.MaxChain;

  uint32_t strStart = c.StrStart;
  uint32_t lookahead = c.Lookahead;
  uint32_t hash = c.InsertHash;
  uint32_t matchStart = c.MatchStart;
  uint32_t prevLength = c.PrevLength;
  uint32_t matchLength = kMinMatch - 1;
  bool matchAvailable = false;
  if constexpr (kRecord) {
    matchLength = record->matchLength;
    matchAvailable = record->matchAvailable;
  }

  // Strings enter their chains a little ahead of the search, in runs; the
  // entry of a string, there when the search reaches it, starts with the
  // head it found. A search follows only links older than its own string, and positions
  // still enter in order, so the chains and every head are the ones a
  // string-by-string insertion gives; in exchange the insertions no longer
  // wait on the lazy decisions, and the positions a match covers need no
  // loop of their own. Positions enter only while their bytes are final:
  // there is a full lookahead of input behind them, or the input has ended.
  uint32_t insertEnd = strStart;  // positions below it are in their chains
  if constexpr (kRecord) {
    // A record that stopped may have stopped behind the insertions (after a
    // match) or ahead of them.
    insertEnd = static_cast<uint32_t>(record->insertEnd - record->base);
  }
  const auto insertAhead = [&] {
    const uint32_t end = strStart + (lookahead < kInsertAhead ? lookahead : kInsertAhead);
    // Along a run the hash rolls on by one byte per position.
    hash = HashAt(window, insertEnd);
    for (;;) {
      InsertChainEntry(hashHead, hashPrev, hash, insertEnd);
      if (++insertEnd >= end) break;
      hash = UpdateHash(hash, window[insertEnd + 2]);
    }
  };
  const auto store = [&] {
    c.StrStart = strStart;
    c.Lookahead = lookahead;
    c.InsertHash = hash;
    c.MatchStart = matchStart;
    c.PrevLength = prevLength;
  };
  const auto endBlockHere = [&] {
    store();
    return EndBlockHere(c);
  };
  ParseSymbol* recordOut = nullptr;
  if constexpr (kRecord) recordOut = record->symbols + record->symbolCount;
  const auto syncRecord = [&] {
    if constexpr (kRecord) record->symbolCount = static_cast<uint32_t>(recordOut - record->symbols);
  };
  // A symbol to the block, or to the record; true when the block is full.
  const auto tally = [&](uint32_t distance, uint32_t value) {
    if constexpr (kRecord) {
      // Through a local pointer: a store of a byte may alias anything, and
      // the record's count would be reloaded and stored at every symbol.
      *recordOut++ = ParseSymbol{static_cast<uint16_t>(distance), static_cast<uint8_t>(value)};
      return false;
    } else {
      return TallySymbol(c, distance, value);
    }
  };
  // At the top of the loop: whether to go on, and the state where asked.
  // Most tops need no look: checkAt is the next one that does (a window
  // index; after a fill, the first top).
  uint32_t checkAt = 0;
  const auto top = [&]() -> bool {
    if constexpr (kRecord) {
      ParseRecord& r = *record;
      syncRecord();
      const uint64_t position = r.base + strStart;
      const auto stop = [&](bool full) {
        r.full = full;
        r.matchLength = static_cast<uint16_t>(matchLength);
        r.matchAvailable = matchAvailable;
        r.insertEnd = r.base + insertEnd;
        return false;
      };
      // Room for a longest match's worth of symbols before the next top.
      const uint32_t room = r.symbolCapacity - r.symbolCount;
      if (position >= r.stopAt || room < kMaxMatch || r.eventCount + 2 > r.eventCapacity) {
        return stop(position < r.stopAt);
      }
      uint64_t next = r.stopAt;
      for (int k = 0; k < 2; ++k) {
        if (position < r.keepFrom[k]) {
          next = std::min(next, r.keepFrom[k]);
        } else if (position < r.keepTo[k]) {
          if (r.stateCount == r.stateCapacity) return stop(true);
          if (r.stateCount == 0 || r.states[r.stateCount - 1].position != position) {
            r.states[r.stateCount++] = ParseState{position,
                                                  r.base + matchStart,
                                                  r.base,
                                                  r.symbolCount,
                                                  static_cast<uint16_t>(matchLength),
                                                  matchAvailable,
                                                  c.EndOfInput};
          }
          next = position + 1;
        }
      }
      // Up to the next look the loop chooses at most one symbol per byte
      // it passes, and one more; one pass may carry it two matches past.
      if (room >= 3 * kMaxMatch + 2) {
        next = std::min(next, position + room - 3 * kMaxMatch);
      } else {
        next = position + 1;
      }
      checkAt = static_cast<uint32_t>(std::min<uint64_t>(next - r.base, UINT32_MAX));
    }
    return true;
  };

  while (lookahead != 0) {
    if constexpr (kRecord) {
      if (strStart >= checkAt && !top()) {
        store();
        return;
      }
    }
    if (insertEnd <= strStart) insertAhead();
    // The string's own entry holds the first four positions of its chain.
    const ChainLink group = hashPrev[strStart & kHashMask];
    const uint32_t head = group.Link[0];

    prevLength = matchLength;
    const uint32_t prevMatch = matchStart;
    matchLength = kMinMatch - 1;

    if (head != 0 && prevLength < maxLazy && strStart - head <= kMaxDistance) {
      const uint32_t chain = prevLength >= goodLength ? maxChain >> 2 : maxChain;
      matchLength =
          SearchChain<Measure>(window, hashPrev, strStart, prevLength, chain, group, matchStart);
      matchLength = std::min(matchLength, lookahead);
      // A short match far back costs more than its literals. (Both tests
      // follow no pattern; they are combined without a branch.)
      matchLength -=
          static_cast<uint32_t>((matchLength == kMinMatch) & (strStart - matchStart > kTooFar));
    }

    if (prevLength >= kMinMatch && matchLength <= prevLength) {
      // The match at the previous position is as good as any here.
      const bool endBlock = tally(strStart - 1 - prevMatch, prevLength - kMinMatch);
      lookahead -= prevLength - 1;
      // The positions inside the match enter their chains all the same,
      // with the next run.
      strStart += prevLength - 1;
      prevLength = 0;
      matchAvailable = false;
      matchLength = kMinMatch - 1;
      if (endBlock && !endBlockHere()) return;
    } else if (matchAvailable) {
      // The previous byte had no better match: it goes out as a literal.
      if (tally(0, window[strStart - 1]) && !endBlockHere()) return;
      ++strStart;
      --lookahead;
    } else {
      matchAvailable = true;
      ++strStart;
      --lookahead;
    }
    if (matchLength >= maxLazy && lookahead >= kMinLookahead) {
      // A match this long is taken without a look at the next position,
      // which the next pass would only spend its time deciding; the window
      // needs no filling in between, so the match goes out now.
      const bool endBlock = tally(strStart - 1 - matchStart, matchLength - kMinMatch);
      lookahead -= matchLength - 1;
      strStart += matchLength - 1;
      prevLength = 0;
      matchAvailable = false;
      matchLength = kMinMatch - 1;
      if (endBlock && !endBlockHere()) return;
    }

    if (lookahead < kMinLookahead && !c.EndOfInput) {
      store();
      while (c.Lookahead < kMinLookahead && !c.EndOfInput) {
        if constexpr (kRecord) {
          // Every call reads (the input has not ended); a slide moves the
          // window on by half.
          syncRecord();
          const uint32_t before = c.StrStart;
          const uint32_t asked =
              (kWindowSize - c.Lookahead - before + (before >= kSlideThreshold ? kWindowHalf : 0)) &
              0xFFFF;
          FillWindow(c);
          const bool slid = c.StrStart != before;
          record->events[record->eventCount++] =
              ParseEvent{record->base + before, record->symbolCount, asked, slid};
          if (slid) record->base += kWindowHalf;
        } else {
          FillWindow(c);
        }
      }
      // A slide moves the positions.
      if (c.StrStart != strStart) insertEnd -= kWindowHalf;
      if constexpr (kRecord) checkAt = 0;
      strStart = c.StrStart;
      lookahead = c.Lookahead;
      matchStart = c.MatchStart;
    }
  }

  store();
  if constexpr (kRecord) {
    if (matchAvailable) tally(0, window[strStart - 1]);
    syncRecord();
    record->ended = true;
  } else {
    if (matchAvailable) TallySymbol(c, 0, window[strStart - 1]);
    EndBlock(c, BlockBuffer(c), BlockSize(c), 1);
  }
}

}  // namespace gzarc::deflate
