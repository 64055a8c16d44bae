// The decoder's state, its byte source and sink, and the member-level frame
// around the block decoders: set-up, output flushing with CRC-32 and progress,
// and the check against the trailer.
#include <algorithm>
#include <cstring>

#include "engine/callbacks.h"
#include "engine/engine_state.h"
#include "gzip/crc32.h"
#include "gzip/member_format.h"
#include "inflate/inflate.h"
#include "paths/strings.h"
#include "platform/platform.h"

namespace gzarc {
namespace {

int32_t ReadArchive(void*, uint8_t* buffer, uint32_t count) {
  return platform::ReadFile(Engine().ArchiveFile, buffer, count);
}

int32_t WriteOutput(void*, const uint8_t* data, uint32_t count) {
  return platform::WriteFile(Decoder().outputFile, data, count);
}

bool TruncateOutput(void*, uint64_t length) {
  return platform::TruncateFile(Decoder().outputFile, static_cast<int64_t>(length)) == 0;
}

struct MemorySource {
  std::span<const uint8_t> bytes;
  std::size_t position;
};

int32_t ReadMemory(void* context, uint8_t* buffer, uint32_t count) {
  auto* source = static_cast<MemorySource*>(context);
  const std::size_t n = std::min<std::size_t>(count, source->bytes.size() - source->position);
  std::copy_n(source->bytes.data() + source->position, n, buffer);
  source->position += n;
  return static_cast<int32_t>(n);
}

}  // namespace

DecoderState& Decoder() {
  // Set up on first use, with extraction's source and sink unless a caller
  // routes the bytes elsewhere.
  static DecoderState state{FileIo()};
  return state;
}

DecoderIo FileIo() {
  return DecoderIo{ReadArchive, WriteOutput, nullptr, TruncateOutput};
}

void StartMember(uint64_t packedSize, uint32_t unpackedSize, const MemberCheck* check) {
  DecoderState& d = Decoder();
  d.laterMember = false;
  d.writtenCount = 0;
  d.writtenTotal = 0;
  d.inputLen = 0;
  d.inputPos = kInputBufferSize + 1;
  d.inputRemaining = packedSize;
  d.overrunBytes = 0;
  d.inputFailed = false;
  d.storedCount = 0;
  d.stopped = false;
  d.crc = kCrcStart;
  d.progressTotal = unpackedSize;
  d.verify = check != nullptr;
  d.expected = check != nullptr ? *check : MemberCheck{};
}

namespace {

// Whole bytes of the member's compressed data left after its last block:
// unread in the archive, unread in the input buffer, or fetched into the bit
// accumulator but not consumed (bytes fetched past the end do not count).
bool DataFollowsStream(const DecoderState& d) {
  const uint32_t pastEnd = d.overrunBytes * 8;
  const uint32_t unconsumed = d.inBitCount > pastEnd ? d.inBitCount - pastEnd : 0;
  return d.inputRemaining != 0 || d.inputPos <= d.inputLen || unconsumed >= 8;
}

void ReleaseFixedTables(DecoderState& d) {
  FreeDecodeTable(d.fixedDistance);
  FreeDecodeTable(d.fixedLiteral);
  d.fixedDistance = d.fixedLiteral = nullptr;
  d.fixedDistanceBits = d.fixedLiteralBits = 0;
  d.fastTablesFixed = false;
}

// After a stream's last block, the bytes that follow it: the whole bytes
// left in the bit accumulator, then the input. -1 at the end of the input
// or when a read failed (the status then says so).
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
  return FillInput();
}

// The trailer behind a member's stream must hold the CRC-32 and the length
// (modulo 2^32) of what the member decoded to.
bool TrailerMatches(DecoderState& d) {
  d.inBits >>= d.inBitCount & 7;
  d.inBitCount &= ~7u;
  uint32_t fields[2] = {};
  for (int i = 0; i < 8; ++i) {
    const int byte = NextByteAfterStream(d);
    if (byte < 0) return false;
    fields[i / 4] |= static_cast<uint32_t>(byte) << (8 * (i % 4));
  }
  return fields[0] == (d.crc ^ 0xFFFFFFFFu) && fields[1] == d.writtenCount;
}

enum class NextMember { kNone, kFound, kInvalid };

// What follows a member: nothing, zero bytes to the end (padding), or the
// header of a further member, read by the same rules as the first one's.
// kInvalid leaves the status to set when the reason is not known yet.
NextMember FindNextMember(DecoderState& d) {
  const int first = NextByteAfterStream(d);
  if (first < 0) return StatusOk() ? NextMember::kNone : NextMember::kInvalid;
  if (first == 0) {
    for (;;) {
      const int byte = NextByteAfterStream(d);
      if (byte < 0) return StatusOk() ? NextMember::kNone : NextMember::kInvalid;
      if (byte != 0) return NextMember::kInvalid;
    }
  }
  struct Bytes {
    DecoderState* d;
    int pending;
  } bytes{&d, first};
  const HeaderSource source{[](void* context) {
                              auto* b = static_cast<Bytes*>(context);
                              const int byte =
                                  b->pending >= 0 ? b->pending : NextByteAfterStream(*b->d);
                              b->pending = -1;
                              return byte;
                            },
                            &bytes};
  MemberHeader header;
  const HeaderResult result = ParseMemberHeader(source, true, false, &header);
  if (result == HeaderResult::kTextFlag) SetStatus(GZARC_STATUS_TEXT_FLAG);
  return result == HeaderResult::kOk ? NextMember::kFound : NextMember::kInvalid;
}

}  // namespace

void DecodeMembers() {
  DecoderState& d = Decoder();
  for (;;) {
    InflateStream();
    ReleaseFixedTables(d);
    if (!StatusOk()) return;
    NextMember next = TrailerMatches(d) ? FindNextMember(d) : NextMember::kInvalid;
    if (next == NextMember::kInvalid && StatusOk()) SetStatus(GZARC_STATUS_BAD_DATA);
    if (next != NextMember::kFound) return;
    // The header has taken every byte the accumulator still held.
    d.laterMember = true;
    d.crc = kCrcStart;
    d.writtenCount = 0;
  }
}

void DecodeMember() {
  DecoderState& d = Decoder();
  InflateStream();
  ReleaseFixedTables(d);
  // A stream that decodes cleanly can still be the wrong data: a damaged
  // archive, or one holding more than one member (even members whose
  // trailers agree must not lose all but the first one without a word).
  if (StatusOk() && d.verify &&
      ((d.crc ^ 0xFFFFFFFFu) != d.expected.crc32 || d.writtenCount != d.expected.size ||
       DataFollowsStream(d))) {
    SetStatus(GZARC_STATUS_BAD_DATA);
  }
}

namespace {

// Writes n bytes to the output; the count stored (0 on failure).
uint32_t Store(DecoderState& d, const uint8_t* data, uint32_t n) {
  const int32_t stored = d.io.write(d.io.context, data, n);
  if (stored <= 0) return 0;
  d.storedCount += static_cast<uint32_t>(stored);
  return static_cast<uint32_t>(stored);
}

// FlushWindow's steps around the write of n bytes from data: the CRC, the
// status of the write, the counts, and the progress call that may cancel.
void ReportFlush(DecoderState& d, const uint8_t* data, uint32_t n, bool written) {
  d.crc = UpdateCrc32(d.crc, data, n);
  if (!written) SetStatus(GZARC_STATUS_WRITE_SHORT);
  d.writtenCount += n;
  d.writtenTotal += n;
  if (!StatusOk() || !HasProgressProc()) return;
  // Taken as signed 32-bit figures, a member of 2 GiB or more would show
  // negative percentages, and one of 4 GiB or more percentages beyond 100.
  // The trailer knows the size only modulo 2^32: once more has been written,
  // the size is taken as the next one that agrees with it, so the
  // percentage stays within 0..100.
  // Later members of a file add to what the last trailer counts; past it
  // the percentage stays at 100.
  int64_t total = d.progressTotal;
  while (static_cast<uint64_t>(total) < d.writtenTotal && !d.laterMember) {
    total += int64_t{1} << 32;
  }
  const int32_t percent =
      static_cast<uint64_t>(total) < d.writtenTotal
          ? 100
          : ProgressPercent(static_cast<int64_t>(d.writtenTotal), total, static_cast<int32_t>(n));
  if (!CallProgressProc(percent, static_cast<int32_t>(n))) SetStatus(GZARC_STATUS_CANCELLED);
}

// How one drain went: the count its write stored, whether a window has come
// up short (from there on each window is written on its own, as it would
// have been), and the block of the window whose progress call cancelled.
struct Drain {
  uint32_t first;
  uint32_t stored;
  bool shortWrite;
  bool cancelled;
  uint64_t cancelBlock;
  uint32_t cancelSlot;
};

void FlushPending(DecoderState& d, Drain& drain, uint32_t at, uint32_t n, uint64_t block) {
  const uint8_t* buffer = d.DecodeWindow.data();
  bool written = true;
  if (n > 0 && !drain.shortWrite) {
    written = at + n - drain.first <= drain.stored;
    drain.shortWrite = !written;
  } else if (n > 0) {
    written = Store(d, buffer + at, n) == n;
  }
  const bool wasOk = StatusOk();
  ReportFlush(d, buffer + at, n, written);
  if (wasOk && Status() == GZARC_STATUS_CANCELLED) {
    drain.cancelled = true;
    drain.cancelBlock = block;
    drain.cancelSlot = at / kWindowSize;
  }
}

// The host cancelled during a block that has ended since. Decoding would
// have stopped at its end: with the status still the cancel, the output is
// cut back to the windows written by then, the part of the window the block
// ended in is flushed as the last one, and decoding stops. False then; true
// when a later failure replaced the cancel, so that decoding goes on.
bool StopAfterCancelledBlock(DecoderState& d, Drain& drain, uint64_t storedBefore) {
  drain.cancelled = false;
  if (Status() != GZARC_STATUS_CANCELLED) return true;
  const uint32_t end = d.slotBlockEnd[drain.cancelSlot];
  const uint32_t partial = end % kWindowSize;
  const uint32_t windowStart = end - partial;
  const uint64_t length = storedBefore + (windowStart - drain.first);
  if (d.storedCount != length && d.io.truncate != nullptr && d.io.truncate(d.io.context, length)) {
    d.storedCount = length;
  }
  const uint8_t* window = d.DecodeWindow.data() + windowStart;
  ReportFlush(d, window, partial, partial == 0 || Store(d, window, partial) == partial);
  d.pendingOffset = d.windowOffset;
  d.stopped = true;
  return false;
}

}  // namespace

void FlushWindow(uint32_t n) {
  DecoderState& d = Decoder();
  const uint8_t* window = CurrentWindow(d);
  ReportFlush(d, window, n, n == 0 || Store(d, window, n) == n);
}

bool QueueWindow(DecoderState& d) {
  const uint32_t slot = d.windowOffset / kWindowSize;
  d.slotBlock[slot] = d.blockOrdinal;
  d.slotBlockEnd[slot] = 0;
  d.windowOffset += kWindowSize;
  const bool full = d.windowOffset + kWindowSize + kWindowSlack > d.DecodeWindow.size();
  if (!full && !d.windowAtATime) return true;
  const bool goOn = DrainWindows(d, 0, false);
  if (full) {
    std::memcpy(d.DecodeWindow.data(), CurrentWindow(d) - kWindowSize, kWindowSize);
    d.windowOffset = d.pendingOffset = kWindowSize;
  }
  return goOn;
}

void BlockEnded(DecoderState& d) {
  const uint32_t end = d.windowOffset + d.windowPos;
  for (uint32_t at = d.pendingOffset; at < d.windowOffset; at += kWindowSize) {
    const uint32_t slot = at / kWindowSize;
    if (d.slotBlock[slot] == d.blockOrdinal) d.slotBlockEnd[slot] = end;
  }
}

bool DrainWindows(DecoderState& d, uint32_t tail, bool withTail) {
  if (d.stopped) return false;
  const uint32_t first = d.pendingOffset;
  const uint32_t last = d.windowOffset;
  const uint32_t end = last + (withTail ? tail : 0);
  const uint64_t storedBefore = d.storedCount;
  Drain drain{first, 0, false, false, 0, 0};
  if (end > first) drain.stored = Store(d, d.DecodeWindow.data() + first, end - first);
  for (uint32_t at = first; at < last; at += kWindowSize) {
    const uint64_t block = d.slotBlock[at / kWindowSize];
    if (drain.cancelled && block != drain.cancelBlock &&
        !StopAfterCancelledBlock(d, drain, storedBefore)) {
      return false;
    }
    FlushPending(d, drain, at, kWindowSize, block);
  }
  if (drain.cancelled && drain.cancelBlock != d.blockOrdinal &&
      !StopAfterCancelledBlock(d, drain, storedBefore)) {
    return false;
  }
  if (withTail) FlushPending(d, drain, last, tail, d.blockOrdinal);
  d.pendingOffset = d.windowOffset;
  return true;
}

int FillInput() {
  DecoderState& d = Decoder();
  if (d.inputPos <= d.inputLen) return d.InputBuffer[d.inputPos++ - 1];
  if (d.inputRemaining != 0) {
    const auto want = static_cast<uint32_t>(
        std::min<uint64_t>(d.inputRemaining, static_cast<uint32_t>(kInputBufferSize)));
    const int32_t got = d.io.read(d.io.context, d.InputBuffer, want);
    if (got > 0) {
      d.inputLen = got;
      d.inputRemaining -= static_cast<uint32_t>(got);
      d.inputPos = 2;
      return d.InputBuffer[0];
    }
    // A read that fails, or finds the archive shorter than scanned, ends the
    // input here; the decoder then fails instead of decoding stale bytes.
    // The windows filled before it are flushed first, as they would have
    // been by then.
    if (!DrainWindows(d, 0, false)) return -1;
    SetStatus(GZARC_STATUS_FILE_ERROR);
    d.inputFailed = true;
    d.inputRemaining = 0;
  }
  d.inputPos = d.inputLen + 1;
  ++d.overrunBytes;
  return -1;
}

uint16_t InflateMemory(std::span<const uint8_t> compressed, DecoderIo sink, uint32_t unpackedSize,
                       const MemberCheck* check) {
  DecoderState& d = Decoder();
  SetStatus(GZARC_STATUS_OK);
  uint8_t* buffer = nullptr;
  if (!AllocBlock(&buffer, kInputBufferSize)) {
    SetStatus(GZARC_STATUS_NO_MEMORY);
    return Status();
  }
  // The source needs our context and the sink keeps its own.
  struct Route {
    MemorySource source;
    DecoderIo sink;
  } route{{compressed, 0}, sink};
  const DecoderIo saved = d.io;
  uint8_t* savedBuffer = d.InputBuffer;
  d.InputBuffer = buffer;
  d.io.context = &route;
  d.io.read = [](void* context, uint8_t* out, uint32_t count) {
    return ReadMemory(&static_cast<Route*>(context)->source, out, count);
  };
  d.io.write = [](void* context, const uint8_t* data, uint32_t count) {
    const DecoderIo& s = static_cast<Route*>(context)->sink;
    return s.write(s.context, data, count);
  };
  d.io.truncate = [](void* context, uint64_t length) {
    const DecoderIo& s = static_cast<Route*>(context)->sink;
    return s.truncate != nullptr && s.truncate(s.context, length);
  };
  StartMember(static_cast<uint32_t>(compressed.size()), unpackedSize, check);
  DecodeMember();
  d.io = saved;
  d.InputBuffer = savedBuffer;
  FreeBlock(&buffer);
  return Status();
}

}  // namespace gzarc
