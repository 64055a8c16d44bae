// The decoder's state, its byte source and sink, and the member-level frame
// around the block decoders: set-up, output flushing with CRC-32 and progress,
// and the check against the trailer.
#include <algorithm>

#include "engine/callbacks.h"
#include "engine/engine_state.h"
#include "gzip/crc32.h"
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
  // Set up on first use, in zeroed storage (see DecoderState's
  // constructor), with extraction's source and sink unless a caller routes
  // the bytes elsewhere.
  static DecoderState state = [] {
    DecoderState fresh;
    fresh.io = DecoderIo{ReadArchive, WriteOutput, nullptr};
    return fresh;
  }();
  return state;
}

DecoderIo FileIo() {
  return DecoderIo{ReadArchive, WriteOutput, nullptr};
}

void StartMember(uint32_t packedSize, uint32_t unpackedSize, const MemberCheck* check) {
  DecoderState& d = Decoder();
  d.writtenCount = 0;
  d.writtenTotal = 0;
  d.inputLen = 0;
  d.inputPos = kInputBufferSize + 1;
  d.inputRemaining = packedSize;
  d.overrunBytes = 0;
  d.inputFailed = false;
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

}  // namespace

void DecodeMember() {
  DecoderState& d = Decoder();
  InflateStream();
  FreeDecodeTable(d.fixedDistance);
  FreeDecodeTable(d.fixedLiteral);
  d.fixedDistance = d.fixedLiteral = nullptr;
  d.fixedDistanceBits = d.fixedLiteralBits = 0;
  d.fastTablesFixed = false;
  // A stream that decodes cleanly can still be the wrong data: a damaged
  // archive, or one holding more than one member (even members whose
  // trailers agree must not lose all but the first one without a word).
  if (StatusOk() && d.verify &&
      ((d.crc ^ 0xFFFFFFFFu) != d.expected.crc32 || d.writtenCount != d.expected.size ||
       DataFollowsStream(d))) {
    SetStatus(GZARC_STATUS_BAD_DATA);
  }
}

void FlushWindow(uint32_t n) {
  DecoderState& d = Decoder();
  const uint8_t* window = CurrentWindow(d);
  d.crc = UpdateCrc32(d.crc, window, n);
  if (n > 0 && d.io.write(d.io.context, window, n) != static_cast<int32_t>(n)) {
    SetStatus(GZARC_STATUS_WRITE_SHORT);
  }
  d.writtenCount += n;
  d.writtenTotal += n;
  if (!StatusOk() || !HasProgressProc()) return;
  // Taken as signed 32-bit figures, a member of 2 GiB or more would show
  // negative percentages, and one of 4 GiB or more percentages beyond 100.
  // The trailer knows the size only modulo 2^32: once more has been written,
  // the size is taken as the next one that agrees with it, so the
  // percentage stays within 0..100.
  int64_t total = d.progressTotal;
  while (static_cast<uint64_t>(total) < d.writtenTotal) total += int64_t{1} << 32;
  const int32_t percent =
      ProgressPercent(static_cast<int64_t>(d.writtenTotal), total, static_cast<int32_t>(n));
  if (!CallProgressProc(percent, static_cast<int32_t>(n))) SetStatus(GZARC_STATUS_CANCELLED);
}

int FillInput() {
  DecoderState& d = Decoder();
  if (d.inputPos <= d.inputLen) return d.InputBuffer[d.inputPos++ - 1];
  if (d.inputRemaining != 0) {
    const uint32_t want = std::min<uint32_t>(d.inputRemaining, kInputBufferSize);
    const int32_t got = d.io.read(d.io.context, d.InputBuffer, want);
    if (got > 0) {
      d.inputLen = got;
      d.inputRemaining -= static_cast<uint32_t>(got);
      d.inputPos = 2;
      return d.InputBuffer[0];
    }
    // A read that fails, or finds the archive shorter than scanned, ends the
    // input here; the decoder then fails instead of decoding stale bytes.
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
  StartMember(static_cast<uint32_t>(compressed.size()), unpackedSize, check);
  DecodeMember();
  d.io = saved;
  d.InputBuffer = savedBuffer;
  FreeBlock(&buffer);
  return Status();
}

}  // namespace gzarc
