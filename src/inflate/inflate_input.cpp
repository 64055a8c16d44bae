// The decoder's input: compressed bytes from the source through the input
// buffer, and what lies behind a stream once it has ended.
#include <algorithm>

#include "inflate/inflate.h"

namespace gzarc {

void StartInput(DecoderState& d, InflateSource source, uint8_t* buffer, uint64_t inputSize,
                uint64_t base) {
  d.source = source;
  d.inputBase = base;
  d.inputSize = inputSize;
  d.InputBuffer = buffer;
  d.inputLen = 0;
  d.inputPos = kInputBufferSize + 1;
  d.inputRemaining = inputSize;
  d.overrunBytes = 0;
  d.inputFailed = false;
  d.inBits = 0;
  d.inBitCount = 0;
}

int FillInput(DecoderState& d) {
  if (d.inputPos <= d.inputLen) return d.InputBuffer[d.inputPos++ - 1];
  if (d.inputRemaining != 0) {
    const auto want = static_cast<uint32_t>(
        std::min<uint64_t>(d.inputRemaining, static_cast<uint32_t>(kInputBufferSize)));
    const int32_t got = d.source.read(d.source.context, d.InputBuffer, want);
    if (got > 0) {
      d.inputLen = got;
      d.inputRemaining -= static_cast<uint32_t>(got);
      d.inputPos = 2;
      return d.InputBuffer[0];
    }
    // A read that fails, or finds the input shorter than announced, ends
    // the input here; the decoder then fails instead of decoding stale
    // bytes. The windows filled before it are flushed first, as they would
    // have been by then.
    if (!DrainWindows(d.out, 0, false)) return -1;
    d.out.observer.inputFailed(d.out.observer.context);
    d.inputFailed = true;
    d.inputRemaining = 0;
  }
  d.inputPos = d.inputLen + 1;
  ++d.overrunBytes;
  return -1;
}

uint64_t InputBitPosition(const DecoderState& d) {
  const int64_t buffered = d.inputLen - d.inputPos + 1;
  const uint64_t fetched = d.inputBase + d.inputSize - d.inputRemaining -
                           static_cast<uint64_t>(buffered > 0 ? buffered : 0);
  // Bytes made up past the end sit in the accumulator without having been
  // fetched.
  return fetched * 8 + d.overrunBytes * 8 - d.inBitCount;
}

bool SkipBits(DecoderState& d, unsigned n) {
  while (d.inBitCount < n) {
    const int v = FillInput(d);
    if (v < 0) return false;
    d.inBits |= static_cast<uint64_t>(v) << d.inBitCount;
    d.inBitCount += 8;
  }
  d.inBits >>= n;
  d.inBitCount -= n;
  return true;
}

void AlignToByte(DecoderState& d) {
  d.inBits >>= d.inBitCount & 7;
  d.inBitCount &= ~7u;
}

int NextByteAfterStream(DecoderState& d) {
  // Bytes merged in past the end of the input lie above the real ones.
  if (d.inBitCount >= 8 * (d.overrunBytes + 1)) {
    const int byte = static_cast<int>(d.inBits & 0xFF);
    d.inBits >>= 8;
    d.inBitCount -= 8;
    return byte;
  }
  if (d.overrunBytes > 0) return -1;
  d.inBits = 0;
  d.inBitCount = 0;
  return FillInput(d);
}

bool InputFollowsStream(const DecoderState& d) {
  const uint32_t pastEnd = d.overrunBytes * 8;
  const uint32_t unconsumed = d.inBitCount > pastEnd ? d.inBitCount - pastEnd : 0;
  return d.inputRemaining != 0 || d.inputPos <= d.inputLen || unconsumed >= 8;
}

}  // namespace gzarc
