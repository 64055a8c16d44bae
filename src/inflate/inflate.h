// The DEFLATE decoder: a raw DEFLATE stream, read through an input buffer,
// decoded into 32 KB windows (window_sink.h) that go to an output sink as
// they fill, with an observer hearing of every flush.
//
// All of a decoding's state lives in a DecoderState of its own, so that
// several can run at once: the bit accumulator, the input buffer and its
// source, the windows, the fixed-code tables of the current stream and the
// fast path's tables. The decoder knows nothing of files, statuses, the
// CRC-32 or the host; whoever runs it supplies the source, the sink and the
// observer, and reads the outcome from InflateStream's result and the
// state's flags.
//
// Decoding table (decode_table.h): the multi-level tables of each code, and
// a one-level table per code for the fast path, whose entries resolve every
// code that fits its index bits (and two literals at once where they fit).
#pragma once

#include <array>
#include <cstdint>

#include "inflate/decode_table.h"
#include "inflate/window_sink.h"

namespace gzarc {

// Compressed bytes are read in runs of this size. A host sees nothing of the
// size: a read that meets a damaged part of the file returns the bytes in
// front of it, so the decoder reaches a failure at the same byte of the
// stream however much it asks for, and fewer, longer reads cost far less
// than many short ones.
inline constexpr int32_t kInputBufferSize = 32768;
// Index bits of the fast path's one-level tables.
inline constexpr unsigned kFastLiteralBits = 11;
inline constexpr unsigned kFastDistanceBits = 8;
static_assert(kFastLiteralBits <= kMaxFastBits && kFastDistanceBits <= kMaxFastBits);

// Where compressed bytes come from: the count read, 0 at the end, or -1 on
// failure.
struct InflateSource {
  int32_t (*read)(void* context, uint8_t* buffer, uint32_t count) = nullptr;
  void* context = nullptr;
};

// How codes are decoded: by the plain routine alone, or by the fast path
// (in the build for the processor's extensions where it has them), with
// the plain routine wherever the fast one must not go.
enum class InflateCodesVariant { kPlain, kFast, kFastBmi2 };
// The fastest variant this processor runs.
InflateCodesVariant ChooseInflateCodes();
// Whether this processor can run a variant.
bool CanRunInflateCodes(InflateCodesVariant variant);

struct DecoderState {
  // Lives in static storage or on the heap; nothing here touches the
  // windows' pages before decoding reaches them.
  DecoderState() {}

  // Bit state of the stream being decoded. The accumulator is a whole word
  // wide so that the fast path can refill it several bytes at a time.
  uint64_t inBits = 0;
  uint32_t inBitCount = 0;
  uint32_t windowPos = 0;
  // True once a window has been filled: from then on every distance up to
  // its size reaches decoded bytes of this stream.
  bool windowWrapped = false;

  // Input: the buffer belongs to whoever runs the decoder; inputPos is
  // 1-based. inputRemaining counts what the source still holds for us.
  InflateSource source;
  uint8_t* InputBuffer = nullptr;
  int32_t inputPos = 0;
  int32_t inputLen = 0;
  uint64_t inputRemaining = 0;
  // Bytes delivered past the end of the input (read as all ones) and
  // whether a read failed; a valid stream only peeks at a couple of them.
  uint32_t overrunBytes = 0;
  bool inputFailed = false;

  WindowSink out;
  InflateCodesVariant codes = InflateCodesVariant::kPlain;

  // Tables of the fixed codes, built on first use within a stream.
  const DecodeEntry* fixedLiteral = nullptr;
  const DecodeEntry* fixedDistance = nullptr;
  unsigned fixedLiteralBits = 0;
  unsigned fixedDistanceBits = 0;

  // The fast path's tables of the current block, built from its code
  // lengths; kept while they are the fixed codes' tables.
  std::array<FastEntry, 1u << kFastLiteralBits> fastLiteral = {};
  std::array<FastEntry, 1u << kFastDistanceBits> fastDistance = {};
  bool fastTablesFixed = false;
};

// Sets up the input: inputSize bytes to come from source through buffer
// (kInputBufferSize bytes), nothing read yet.
void StartInput(DecoderState& d, InflateSource source, uint8_t* buffer, uint64_t inputSize);

// How a stream ended.
enum class StreamEnd {
  kComplete,     // its last block decoded and flushed
  kStopped,      // the host cancelled; decoding ended where it had to
  kDamaged,      // invalid or truncated data (windows before it flushed)
  kInputFailed,  // a read failed (the observer has heard of it)
};

// Decodes one stream from the input's current byte; releases the fixed
// tables afterwards.
StreamEnd InflateStream(DecoderState& d);
// Decodes one block; 0 (success), 1 (invalid data), 2 (invalid block type
// or an over-subscribed code) or 3 (no memory for a table).
int InflateBlock(DecoderState& d, bool* last);
int InflateStored(DecoderState& d);
int InflateFixed(DecoderState& d);
int InflateDynamic(DecoderState& d);
int InflateCodes(DecoderState& d, const DecodeEntry* lt, const DecodeEntry* dt, unsigned lb,
                 unsigned db);
// The next compressed byte, or -1 past the end or after a failed read.
int FillInput(DecoderState& d);

// After a stream: the bytes of the input that follow it (the whole bytes
// the accumulator still holds first), or -1 at the end of the input or
// after a failed read.
int NextByteAfterStream(DecoderState& d);
// Drops the bits up to the next byte boundary of the input.
void AlignToByte(DecoderState& d);
// Whether a complete stream left whole bytes of its input unread.
bool InputFollowsStream(const DecoderState& d);

}  // namespace gzarc
