#include "gzip/member_stream.h"

#include "engine/callbacks.h"
#include "gzarc.h"
#include "gzip/member_format.h"
#include "platform/byte_order.h"

namespace gzarc {

void FlushWindow(OutputAccount& a, const uint8_t* data, uint32_t n, bool written) {
  a.crc = UpdateCrc32(a.crc, data, n);
  if (!written) a.status = GZARC_STATUS_WRITE_SHORT;
  a.memberLength += n;
  a.total += n;
  if (a.status != GZARC_STATUS_OK || !HasProgressProc()) return;
  // Taken as signed 32-bit figures, a member of 2 GiB or more would show
  // negative percentages, and one of 4 GiB or more percentages beyond 100.
  // The trailer knows the size only modulo 2^32: once more has been written,
  // the size is taken as the next one that agrees with it, so the
  // percentage stays within 0..100. Later members of a file add to what the
  // last trailer counts; past it the percentage stays at 100.
  int64_t total = a.progressTotal;
  while (static_cast<uint64_t>(total) < a.total && !a.laterMember) total += int64_t{1} << 32;
  const int32_t percent =
      static_cast<uint64_t>(total) < a.total
          ? 100
          : ProgressPercent(static_cast<int64_t>(a.total), total, static_cast<int32_t>(n));
  if (!CallProgressProc(percent, static_cast<int32_t>(n))) a.status = GZARC_STATUS_CANCELLED;
}

InflateObserver ObserverOf(OutputAccount& account) {
  InflateObserver observer;
  observer.flushed = [](void* c, const uint8_t* data, uint32_t n, bool written) {
    FlushWindow(*static_cast<OutputAccount*>(c), data, n, written);
  };
  observer.inputFailed = [](void* c) {
    static_cast<OutputAccount*>(c)->status = GZARC_STATUS_FILE_ERROR;
  };
  observer.cancelled = [](void* c) {
    return static_cast<OutputAccount*>(c)->status == GZARC_STATUS_CANCELLED;
  };
  observer.context = &account;
  return observer;
}

void DecodeStream(DecoderState& d, OutputAccount& account) {
  // A failed read has set its status already; damage found after a write
  // failure or a cancel replaces that status.
  if (InflateStream(d) == StreamEnd::kDamaged) account.status = GZARC_STATUS_BAD_DATA;
}

bool ReadTrailer(DecoderState& d, uint32_t* crc, uint32_t* size) {
  AlignToByte(d);
  uint8_t trailer[kTrailerSize];
  for (uint8_t& byte : trailer) {
    const int next = NextByteAfterStream(d);
    if (next < 0) return false;
    byte = static_cast<uint8_t>(next);
  }
  *crc = LoadLittle32(trailer);
  *size = LoadLittle32(trailer + 4);
  return true;
}

NextMember FindNextMember(DecoderState& d) {
  const int first = NextByteAfterStream(d);
  // The input's end is the file's, unless a read failed.
  const auto ended = [&] { return d.inputFailed ? NextMember::kInvalid : NextMember::kNone; };
  if (first < 0) return ended();
  if (first == 0) {
    for (;;) {
      const int byte = NextByteAfterStream(d);
      if (byte < 0) return ended();
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
  switch (ParseMemberHeader(source, true, false, &header)) {
    case HeaderResult::kOk:
      return NextMember::kFound;
    case HeaderResult::kTextFlag:
      return NextMember::kText;
    default:
      return NextMember::kInvalid;
  }
}

bool DecodeMembersFrom(DecoderState& d, OutputAccount& account, bool midStream) {
  for (;;) {
    const StreamEnd end = midStream ? ContinueStream(d) : InflateStream(d);
    if (end == StreamEnd::kPaused) return true;
    // A failed read has set its status already; damage found after a write
    // failure or a cancel replaces that status.
    if (end == StreamEnd::kDamaged) account.status = GZARC_STATUS_BAD_DATA;
    if (account.status != GZARC_STATUS_OK) return false;
    uint32_t crc = 0;
    uint32_t size = 0;
    const bool trailerMatches = ReadTrailer(d, &crc, &size) && crc == (account.crc ^ 0xFFFFFFFFu) &&
                                size == account.memberLength;
    const NextMember next = trailerMatches ? FindNextMember(d) : NextMember::kInvalid;
    if (account.status != GZARC_STATUS_OK) return false;
    if (next == NextMember::kText) account.status = GZARC_STATUS_TEXT_FLAG;
    if (next == NextMember::kInvalid) account.status = GZARC_STATUS_BAD_DATA;
    if (next != NextMember::kFound) return false;
    // The header has taken every byte the accumulator still held.
    account.laterMember = true;
    account.crc = kCrcStart;
    account.memberLength = 0;
    midStream = false;
  }
}

void DecodeMembers(DecoderState& d, OutputAccount& account) {
  DecodeMembersFrom(d, account, false);
}

}  // namespace gzarc
