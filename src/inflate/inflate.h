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

struct DecoderState;

// The output of a decoding that starts inside a stream without the 32 KB in
// front of it: each element is a decoded byte (0..255) or a marker, which
// stands for the byte that many positions into the unknown 32 KB (marker =
// kMarkerBase + position, 0 being the oldest). The kDecodeWindowSize
// elements in front of data hold those markers, so back-references copy
// markers like bytes, and once the 32 KB are known every marker resolves.
inline constexpr uint16_t kMarkerBase = 0x8000;
// Room behind the capacity for the fast path's word-sized stores.
inline constexpr uint32_t kMarkedSlack = 32;
struct MarkedOutput {
  uint16_t* data = nullptr;
  uint64_t capacity = 0;
  uint64_t count = 0;
  // Set when a block had more output than the capacity left.
  bool full = false;
};
// Writes the markers in front of data.
void PresetMarkers(uint16_t* data);
// Whether the last 32 KB of elements hold no marker (and there are 32 KB).
bool LastWindowUnmarked(const MarkedOutput& m);

// Told of every block boundary of a stream, before the block's header is
// read; false stops the stream there (it ends as kPaused, and decoding can
// go on from that state with ContinueStream).
struct BlockWatch {
  bool (*boundary)(void* context, DecoderState& d) = nullptr;
  void* context = nullptr;
};

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
  // Where the source's first byte lies in the whole compressed data, and
  // how many bytes it was to deliver: what InputBitPosition counts from.
  uint64_t inputBase = 0;
  uint64_t inputSize = 0;
  uint8_t* InputBuffer = nullptr;
  int32_t inputPos = 0;
  int32_t inputLen = 0;
  uint64_t inputRemaining = 0;
  // Bytes delivered past the end of the input (read as all ones) and
  // whether a read failed; a valid stream only peeks at a couple of them.
  uint32_t overrunBytes = 0;
  bool inputFailed = false;

  WindowSink out;
  // Windows this stream has filled: its output so far is windowsFilled
  // windows and windowPos bytes.
  uint64_t windowsFilled = 0;
  InflateCodesVariant codes = InflateCodesVariant::kPlain;
  BlockWatch watch;
  // When set, blocks decode into it instead of the windows (with the plain
  // routine), and every distance up to 32 KB reaches the unknown bytes.
  MarkedOutput* marked = nullptr;

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
// (kInputBufferSize bytes), nothing read yet; base is where the first of
// them lies in the whole compressed data.
void StartInput(DecoderState& d, InflateSource source, uint8_t* buffer, uint64_t inputSize,
                uint64_t base = 0);
// The position of the next bit to decode in the whole compressed data.
uint64_t InputBitPosition(const DecoderState& d);
// The output of the stream so far.
inline uint64_t StreamOutput(const DecoderState& d) {
  return d.windowsFilled * kDecodeWindowSize + d.windowPos;
}
// Skips n bits (fewer than 8) of the input.
bool SkipBits(DecoderState& d, unsigned n);

// How a stream ended.
enum class StreamEnd {
  kComplete,     // its last block decoded and flushed
  kStopped,      // the host cancelled; decoding ended where it had to
  kDamaged,      // invalid or truncated data (windows before it flushed)
  kInputFailed,  // a read failed (the observer has heard of it)
  kPaused,       // the block watch stopped it at a block boundary
};

// Decodes one stream from the input's current byte; releases the fixed
// tables afterwards.
StreamEnd InflateStream(DecoderState& d);
// Goes on decoding the stream from the state at a block boundary: the input
// and bit state where its next block begins, and the window (windowPos,
// windowWrapped and the bytes before windowPos of the current window, with
// the previous window in front of it) as that stream had filled it.
StreamEnd ContinueStream(DecoderState& d);
// Decodes one block; 0 (success), 1 (invalid data), 2 (invalid block type
// or an over-subscribed code) or 3 (no memory for a table).
int InflateBlock(DecoderState& d, bool* last);
int InflateStored(DecoderState& d);
int InflateFixed(DecoderState& d);
int InflateDynamic(DecoderState& d);
int InflateCodes(DecoderState& d, const DecodeEntry* lt, const DecodeEntry* dt, unsigned lb,
                 unsigned db);
// The same two into the marked output.
int InflateCodesMarked(DecoderState& d, const DecodeEntry* lt, const DecodeEntry* dt, unsigned lb,
                       unsigned db);
int CopyStoredMarked(DecoderState& d, uint32_t length);
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
