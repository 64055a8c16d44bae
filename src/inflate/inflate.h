// The DEFLATE decoder: one member's compressed data, read through an input
// buffer, decoded into a 32 KB ring window that is written out whenever
// it fills, with the CRC-32, progress and cancel fed from each write.
//
// All of its state lives in one process-wide DecoderState (Decoder()): the
// bit accumulator, the window, the input buffer, the output counters, the
// fixed-code tables of the current member and the byte source and sink. The
// extraction driver sets it up per member (StartMember) with the archive and
// the output file as source and sink; InflateMemory runs the same decoder on
// a stream held in memory.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "inflate/decode_table.h"

namespace gzarc {

inline constexpr uint32_t kWindowSize = 32768;
// Compressed bytes are read in runs of this size. A host sees nothing of the
// size: a read that meets a damaged part of the file returns the bytes in
// front of it, so the decoder reaches a failure at the same byte of the
// stream however much it asks for, and fewer, longer reads cost far less
// than many short ones.
inline constexpr int32_t kInputBufferSize = 32768;
// Windows that fit the decode buffer: the one being filled, the full ones
// waiting to be written, and the one before them that back-references reach
// into. Each time the buffer fills, the waiting windows are written in one
// go and the last is copied to the front.
inline constexpr uint32_t kWindowCount = 16;
// Room behind the current window for the word-sized stores of the fast
// decoding path, which may run up to this many bytes past a match.
inline constexpr uint32_t kWindowSlack = 32;
inline constexpr uint32_t kDecodeBufferSize = kWindowCount * kWindowSize + kWindowSlack;
// Index bits of the fast path's one-level tables.
inline constexpr unsigned kFastLiteralBits = 11;
inline constexpr unsigned kFastDistanceBits = 8;
static_assert(kFastLiteralBits <= kMaxFastBits && kFastDistanceBits <= kMaxFastBits);

// Where compressed bytes come from and decoded bytes go. Both return the
// count transferred, or -1 on failure; truncate cuts the output back to a
// length (true on success).
struct DecoderIo {
  int32_t (*read)(void* context, uint8_t* buffer, uint32_t count) = nullptr;
  int32_t (*write)(void* context, const uint8_t* data, uint32_t count) = nullptr;
  void* context = nullptr;
  bool (*truncate)(void* context, uint64_t length) = nullptr;
};

// The trailer's figures a decoded member must reproduce.
struct MemberCheck {
  uint32_t crc32;
  uint32_t size;
};

struct DecoderState {
  // The one decoder lives in static storage (Decoder()), which starts out
  // zeroed. Not constexpr on purpose: a state that could be built at compile
  // time would be stored, window and tables included, in the library's
  // initialized data. The window has no initializer either, so that setting
  // the state up does not touch its half megabyte: its pages stay untouched
  // until decoding reaches them.
  explicit DecoderState(DecoderIo initial) : io(initial) {}

  // Bit state of the member being decoded. The accumulator is a whole word
  // wide so that the fast path can refill it several bytes at a time.
  uint64_t inBits = 0;
  uint32_t inBitCount = 0;
  uint32_t windowPos = 0;
  // True once the window has been filled: from then on every distance up to
  // its size reaches decoded bytes of this member.
  bool windowWrapped = false;
  // The window being filled (CurrentWindow, at windowOffset) follows the
  // previous one, so that every back-reference reads one contiguous run
  // instead of wrapping around a ring. Windows are filled one after another
  // until the last fits; then the last is copied to the front and filling
  // goes on after it.
  std::array<uint8_t, kDecodeBufferSize> DecodeWindow;
  uint32_t windowOffset = kWindowSize;

  // Full windows not yet written: they lie from pendingOffset up to the
  // current window. Writing them one system call at a time costs more than
  // decoding them, so they are written together (DrainWindows) when the
  // buffer fills, and FlushWindow's steps after the write (CRC, counts,
  // status, progress) are then replayed window by window, in order. Every
  // other change of the status drains them first, so that a host sees its
  // progress calls, and every status, exactly as if each window had been
  // written as it filled; see DrainWindows for a cancel.
  uint32_t pendingOffset = kWindowSize;
  // Blocks are numbered as they start; per buffer slot, the block a waiting
  // window was filled in, and where in the buffer that block ended (0 while
  // it goes on).
  uint64_t blockOrdinal = 0;
  std::array<uint64_t, kWindowCount> slotBlock = {};
  std::array<uint32_t, kWindowCount> slotBlockEnd = {};
  // Bytes the output has stored, so that a drain can cut it back.
  uint64_t storedCount = 0;
  // Set when the host cancelled during a block that has already ended:
  // decoding would have stopped there, and now stops at once.
  bool stopped = false;
  // Write each window as it fills (the tests hold the two ways against
  // each other).
  bool windowAtATime = false;
  // Decode with the plain routines alone, without the fast path (the tests
  // hold the two against each other).
  bool plainOnly = false;

  // Input: InputBuffer exists for one extraction; inputPos is 1-based.
  uint8_t* InputBuffer = nullptr;
  int32_t inputPos = 0;
  int32_t inputLen = 0;
  uint64_t inputRemaining = 0;
  // Bytes delivered past the end of the compressed data (read as all ones)
  // and whether a read failed; a valid stream only peeks at a couple of them.
  uint32_t overrunBytes = 0;
  bool inputFailed = false;

  // Output.
  uint32_t writtenCount = 0;   // modulo 2^32
  uint64_t writtenTotal = 0;   // the same, not wrapped, for the percentage
  uint32_t progressTotal = 0;  // the member's size modulo 2^32 (ISIZE)
  // Set from the second member of a file on: its content can exceed the
  // size the last trailer gives, and the percentage then stays at 100.
  bool laterMember = false;
  uint32_t crc = 0;
  int outputFile = -1;
  bool verify = false;
  MemberCheck expected = {};

  // Tables of the fixed codes, built on first use within a member.
  const DecodeEntry* fixedLiteral = nullptr;
  const DecodeEntry* fixedDistance = nullptr;
  unsigned fixedLiteralBits = 0;
  unsigned fixedDistanceBits = 0;

  // The fast path's tables of the current block, built from its code
  // lengths; kept while they are the fixed codes' tables.
  std::array<FastEntry, 1u << kFastLiteralBits> fastLiteral = {};
  std::array<FastEntry, 1u << kFastDistanceBits> fastDistance = {};
  bool fastTablesFixed = false;

  DecoderIo io;
};

DecoderState& Decoder();

// The window that decoded bytes go to and FlushWindow writes from.
inline uint8_t* CurrentWindow(DecoderState& d) {
  return d.DecodeWindow.data() + d.windowOffset;
}

// Prepares the input and output state of one member: packedSize compressed
// bytes to read, unpackedSize for the percentage, and the trailer figures to
// verify against when check is given.
void StartMember(uint64_t packedSize, uint32_t unpackedSize, const MemberCheck* check);

// Decodes the member; the outcome is the archive status (0, 5, 101, 2926 or
// 9964). Releases the fixed tables afterwards.
void DecodeMember();

// Decodes a gzip file's members from the first one's compressed data on,
// with the input set up by StartMember to run to the end of the file: each
// member's stream, its own trailer (CRC-32 and length), and then, while the
// file holds more, the next member's header and stream, into one output.
// Zero bytes after the last member are padding. The outcome is the archive
// status: 0, 5, 101, 2926, 9960 (a later member with FTEXT) or 9964.
void DecodeMembers();
int InflateStream();
int InflateBlock(bool* last);
int InflateStored();
int InflateFixed();
int InflateDynamic();
int InflateCodes(const DecodeEntry* lt, const DecodeEntry* dt, unsigned lb, unsigned db);
void FlushWindow(uint32_t n);
int FillInput();

// The output side of the window: QueueWindow takes the full current window
// and moves on to the next; DrainWindows writes the waiting windows, with
// the first tail bytes of the current one when the member ends (withTail),
// and replays their flushes. BlockEnded notes where the current block ended.
// Both of the first return false once decoding must stop (stopped).
bool QueueWindow(DecoderState& d);
bool DrainWindows(DecoderState& d, uint32_t tail, bool withTail);
void BlockEnded(DecoderState& d);

// Byte source and sink of an extraction: the archive file and the output file.
DecoderIo FileIo();

// Decodes a raw DEFLATE stream from memory into sink, through the same
// buffers, callbacks and checks as an extraction. Sets and returns the
// archive status.
uint16_t InflateMemory(std::span<const uint8_t> compressed, DecoderIo sink, uint32_t unpackedSize,
                       const MemberCheck* check);

}  // namespace gzarc
