// A record of the lazy loop's decisions over a stretch of input, for the
// parallel compression driver: the symbols it chose, its state at the top of
// the loop at chosen positions, and when it read input and slid the window.
//
// The parse is a pure function of the input: the candidates at a position
// depend only on the bytes before it, and what carries from one position to
// the next is the lazy state (the pending match and whether a literal is
// pending). Two runs of the loop that stand at the top of the loop at the
// same position in the same state decide everything after it the same way.
#pragma once

#include <cstdint>

#include "deflate/compressor_state.h"

namespace gzarc::deflate {

// A literal (distance 0, value the byte) or a match (distance 1..32768, value
// its length minus 3), as TallySymbol takes them.
struct ParseSymbol {
  uint16_t distance;
  uint8_t value;
};

// The loop's state at its top. Positions count from the start of the input;
// the pending match's start matters only when it is one (length 3 or more).
struct ParseState {
  uint64_t position;
  uint64_t matchStart;
  uint64_t base;     // input position of Window[0]
  uint32_t symbols;  // symbols chosen before this point
  uint16_t matchLength;
  bool matchAvailable;
  bool endOfInput;

  bool SameDecisions(const ParseState& o) const {
    return position == o.position && matchLength == o.matchLength &&
           matchAvailable == o.matchAvailable && base == o.base && endOfInput == o.endOfInput &&
           (matchLength < kMinMatch || matchStart == o.matchStart);
  }
};

// A read of input (that may have delivered nothing), with or without a
// slide of the window, at the bottom of the loop: after `symbols` symbols,
// with the loop at `position`.
struct ParseEvent {
  uint64_t position;
  uint32_t symbols;
  uint32_t asked;  // the count the read asked for
  bool slide;
};

struct ParseRecord {
  // Where the window stands in the input.
  uint64_t base = 0;
  // The loop stops at its first top at or past this position.
  uint64_t stopAt = UINT64_MAX;
  // States at the top of the loop are kept for positions in [from, to) of
  // either range.
  uint64_t keepFrom[2] = {0, 0};
  uint64_t keepTo[2] = {0, 0};

  ParseSymbol* symbols = nullptr;
  uint32_t symbolCount = 0;
  uint32_t symbolCapacity = 0;
  ParseState* states = nullptr;
  uint32_t stateCount = 0;
  uint32_t stateCapacity = 0;
  ParseEvent* events = nullptr;
  uint32_t eventCount = 0;
  uint32_t eventCapacity = 0;
  // A buffer ran out: the record ends early, at a top of the loop.
  bool full = false;
  // The input ended: the last symbol has been recorded.
  bool ended = false;

  // The lazy state to start from, and where it stopped: the loop can go on
  // from there with the same record.
  uint16_t matchLength = kMinMatch - 1;
  bool matchAvailable = false;
  uint64_t insertEnd = 0;  // input positions below it are in their chains
};

// Runs the state's build of the lazy loop as a record: the state holds the
// window, the chains and the positions at the record's start (as the
// compressor would hold them there), its source delivers the input from
// where the window ends. Nothing is written; no block ends.
void ParseStream(CompressorState& c, ParseRecord& r);

}  // namespace gzarc::deflate
