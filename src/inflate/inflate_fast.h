// The fast path of InflateCodes, in its builds: one-level table lookups, a
// word-wide accumulator refill and word-sized match copies, within bounds
// where no code can reach a window flush or an input read, so that the
// plain routine's flushes, reads and reports happen exactly where they would
// have. The plain routine (inflate.cpp) decodes whatever lies outside them.
#pragma once

#include <cstdint>

#include "inflate/decode_table.h"
#include "inflate/inflate.h"
#include "inflate/inflate_bits.h"

namespace gzarc {

// The fast path stops this far before the window's end (between two checks
// it writes at most six literals, or four and a match) and wants this many
// bytes of input buffered (two refills' worth).
inline constexpr uint32_t kFastWindowLimit = kDecodeWindowSize - kLongestMatch - 6;
inline constexpr int kFastInputMargin = 16;

using FastCodes = CodeStep (*)(DecoderState&, CodeCursor&, const DecodeEntry* lt,
                               const DecodeEntry* dt, unsigned lb, unsigned db);

// The build for window positions below kFastWindowLimit, for a variant.
FastCodes FastCodesFor(InflateCodesVariant variant);
// The build for the last stretch of the window: it checks each code's bytes
// against the window's end and stops in front of the code that would reach
// it (and of any code the multi-level tables hold).
CodeStep InflateCodesNearEnd(DecoderState& d, CodeCursor& c, const DecodeEntry* lt,
                             const DecodeEntry* dt, unsigned lb, unsigned db);

}  // namespace gzarc
