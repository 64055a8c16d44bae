// Extraction on every processor the process may use.
//
// Why the output is exact. The calling thread decodes the file in order, as
// the one-thread path does, and drives the same window sink with the same
// calls in the same order: windows filled, blocks started and ended, streams
// ended, trailers checked. Only where the bytes of a block come from
// differs. Workers decode parts of the compressed data ahead of it, each
// from a guessed block start (a dynamic-code block header, or a member
// header) near the beginning of its part, without the 32 KB in front: a
// back-reference into them is kept as a marker. The calling thread takes a
// part only once its own in-order decoding stands exactly at the part's
// start, at a block boundary: from there, the worker's decoder, the same
// decoder, read the same bits, so its blocks are the stream's own, and
// replacing each marker by the byte it names gives the stream's bytes. Any
// other case (no start found, a start the in-order decoding does not meet,
// damage, a part that ran out of input or memory, a failed read) is decoded
// by the one-thread decoder itself from the last boundary reached, so every
// status and every callback comes from the same code as on one thread.
//
// Reads keep the one-thread path's order and sizes (32 KB at a time from
// the first member's data on), only earlier: a failed read ends the input at
// the same place, and the in-order decoder meets that end where the one-
// thread decoder would. Host callbacks all run on the calling thread.
#include "gzip/parallel_extraction.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "gzarc.h"
#include "gzip/member_format.h"
#include "inflate/block_finder.h"
#include "inflate/marker_resolve.h"
#include "platform/platform.h"
#include "platform/threads.h"
#include "platform/work_queue.h"

namespace gzarc {
namespace {

namespace pf = platform;

// Memory the parallel path may use beyond the one-thread path's.
constexpr uint64_t kMemoryBudget = uint64_t{28} << 20;
constexpr uint64_t kSlotBudgetLimit = uint64_t{12} << 20;
constexpr unsigned kMaxSlots = 17;
constexpr uint32_t kEventCapacity = 8192;
constexpr uint64_t kMinimumPart = uint64_t{64} << 10;
constexpr uint64_t kNoBit = UINT64_MAX;

enum class EventKind : uint8_t { kBlock, kStreamEnd };

// What a part's decoding met, in order: a block beginning at a bit of the
// compressed data with the part's output before it, or the end of a stream
// with its trailer, followed by a further member.
struct Event {
  uint64_t bit;
  uint64_t output;
  uint32_t crc;
  uint32_t size;
  EventKind kind;
  bool lastMember;
};

// One part of the compressed data and what a worker made of it. The calling
// thread fills in the first group and owns the slot until it submits it;
// the worker owns it until it is done.
struct Slot {
  // The part.
  uint64_t spanStart = 0;  // byte of the compressed data at input[0]
  uint64_t spanLength = 0;
  bool spanReachesEnd = false;
  uint64_t target = 0;  // the part ends at its first boundary at or past this bit
  bool knownStart = false;

  // Buffers, allocated once. The output holds the markers in front of the
  // marked elements, the marked elements (resolved into bytes in place,
  // each byte written after the element it comes from was read), and the
  // bytes decoded once no marker was left.
  uint8_t* input = nullptr;
  uint64_t inputCapacity = 0;
  uint8_t* inputBuffer = nullptr;
  uint8_t* output = nullptr;
  uint64_t outputCapacity = 0;
  Event* events = nullptr;
  DecoderState* decoder = nullptr;

  uint16_t* Marked() const { return reinterpret_cast<uint16_t*>(output + 2 * kDecodeWindowSize); }
  uint64_t MarkedCapacity() const {
    return (outputCapacity - 2 * kDecodeWindowSize - 2 * kMarkedSlack) / 2;
  }
  uint8_t* Bytes() const { return output + 2 * kDecodeWindowSize + 2 * markedCount; }
  uint64_t ByteCapacity() const {
    return outputCapacity - 2 * kDecodeWindowSize - 2 * markedCount - kDecodeWindowSlack;
  }

  // The outcome.
  bool started = false;
  bool freshStream = false;
  uint64_t startBit = 0;
  uint64_t endBit = 0;
  uint64_t endOutput = 0;
  bool membersEnded = false;
  uint64_t markedCount = 0;
  uint64_t byteCount = 0;
  bool overflow = false;
  uint32_t eventCount = 0;
};

struct Job {
  Slot slots[kMaxSlots];
  unsigned slotCount = 0;
  // Set when the extraction has ended: workers stop at their next block.
  pf::Mutex mutex;
  bool abandoned = false;

  bool Abandoned() {
    pf::LockGuard lock(mutex);
    return abandoned;
  }
};

void* Obtain(uint64_t bytes) {
  return pf::AllocateMemory(static_cast<std::size_t>(bytes));
}

// ---- A worker's part ----------------------------------------------------------

const InflateObserver kSilentObserver{[](void*, const uint8_t*, uint32_t, bool) {}, [](void*) {},
                                      [](void*) { return false; }, nullptr};

class PartDecoding {
 public:
  PartDecoding(Slot& slot, Job& job) : s_(slot), job_(job), d_(*slot.decoder) {}

  void Run() {
    s_.started = false;
    s_.membersEnded = false;
    s_.overflow = false;
    s_.eventCount = 0;
    s_.markedCount = 0;
    s_.byteCount = 0;
    if (!FindStart()) return;
    s_.started = true;
    s_.endBit = s_.startBit;
    s_.endOutput = 0;
    Decode();
  }

 private:
  // The earliest guess in the part's first stretch: a member header (its
  // stream then needs nothing in front of it) or a dynamic block header.
  bool FindStart() {
    if (s_.knownStart) {
      s_.startBit = s_.spanStart * 8;
      s_.freshStream = true;
      return true;
    }
    const uint64_t limit = s_.target - s_.spanStart * 8;
    const uint64_t block = FindDynamicBlock(s_.input, s_.spanLength, 0, limit);
    const uint64_t member = FindMember(std::min(block, limit));
    if (member != kNoBit) {
      s_.startBit = s_.spanStart * 8 + member;
      s_.freshStream = true;
      return true;
    }
    if (block == kNoBlockFound) return false;
    s_.startBit = s_.spanStart * 8 + block;
    s_.freshStream = false;
    return true;
  }

  // The first bit, below limit, where a member's stream begins after a
  // plausible header (reserved flag bits clear), or kNoBit.
  uint64_t FindMember(uint64_t limit) const {
    const uint8_t* data = s_.input;
    const uint64_t size = s_.spanLength;
    for (uint64_t at = 0; at + 10 <= size && at * 8 < limit; ++at) {
      const void* hit = std::memchr(data + at, kGzipId1, static_cast<std::size_t>(size - at));
      if (hit == nullptr) break;
      at = static_cast<uint64_t>(static_cast<const uint8_t*>(hit) - data);
      if (at + 10 > size || at * 8 >= limit) break;
      if (data[at + 1] != kGzipId2 || data[at + 2] != kMethodDeflate || (data[at + 3] & 0xE0)) {
        continue;
      }
      struct Cursor {
        const uint8_t* data;
        uint64_t size;
        uint64_t at;
      } cursor{data, size, at};
      const HeaderSource source{[](void* c) {
                                  auto* k = static_cast<Cursor*>(c);
                                  return k->at < k->size ? int{k->data[k->at++]} : -1;
                                },
                                &cursor};
      MemberHeader header;
      if (ParseMemberHeader(source, true, false, &header) == HeaderResult::kOk) {
        return (at + header.dataOffset) * 8;
      }
    }
    return kNoBit;
  }

  uint64_t Output() const {
    return d_.marked != nullptr ? marked_.count : base_ + StreamOutput(d_);
  }

  bool Record(EventKind kind, uint64_t bit) {
    if (s_.eventCount == kEventCapacity) return false;
    s_.events[s_.eventCount++] = Event{bit, Output(), 0, 0, kind, false};
    return true;
  }

  // The last 32 KB decoded hold no marker: the rest decodes into bytes,
  // with those 32 KB as the window in front.
  void SwitchToBytes() {
    s_.markedCount = marked_.count;
    StartWindows(d_.out);
    uint8_t* history = CurrentWindow(d_.out) - kDecodeWindowSize;
    const uint16_t* last = marked_.data + marked_.count - kDecodeWindowSize;
    for (uint32_t i = 0; i < kDecodeWindowSize; ++i) history[i] = static_cast<uint8_t>(last[i]);
    d_.windowPos = 0;
    d_.windowWrapped = true;
    d_.windowsFilled = 0;
    d_.marked = nullptr;
    base_ = s_.markedCount;
  }

  static bool AtBoundary(void* context, DecoderState&) {
    return static_cast<PartDecoding*>(context)->Boundary();
  }

  bool Boundary() {
    const uint64_t bit = InputBitPosition(d_);
    if (bit >= s_.target || s_.overflow || job_.Abandoned()) {
      s_.endBit = bit;
      s_.endOutput = Output();
      return false;
    }
    if (d_.marked != nullptr && LastWindowUnmarked(marked_)) SwitchToBytes();
    if (!Record(EventKind::kBlock, bit)) {
      s_.endBit = bit;
      s_.endOutput = Output();
      return false;
    }
    return true;
  }

  static int32_t Append(void* context, const uint8_t* data, uint32_t count) {
    Slot& s = *static_cast<Slot*>(context);
    const uint64_t room = s.ByteCapacity() - s.byteCount;
    const uint64_t n = std::min<uint64_t>(count, room);
    std::memcpy(s.Bytes() + s.byteCount, data, static_cast<std::size_t>(n));
    s.byteCount += n;
    if (n < count) s.overflow = true;
    return static_cast<int32_t>(count);
  }

  static int32_t ReadPart(void* context, uint8_t* buffer, uint32_t count) {
    auto* self = static_cast<PartDecoding*>(context);
    const uint64_t left = self->s_.spanLength - self->readAt_;
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(count, left));
    std::memcpy(buffer, self->s_.input + self->readAt_, n);
    self->readAt_ += n;
    return static_cast<int32_t>(n);
  }

  // The part ends short of its target: at the start of the last block it
  // recorded, the one its decoding could not complete, or earlier when its
  // output is not all there.
  void EndAtLastBlock() {
    while (s_.eventCount > 0) {
      const Event& e = s_.events[--s_.eventCount];
      if (e.kind == EventKind::kBlock) {
        s_.endBit = e.bit;
        s_.endOutput = e.output;
        return;
      }
    }
    s_.endBit = s_.startBit;
    s_.endOutput = 0;
  }

  void Decode() {
    const uint64_t startByte = s_.startBit / 8;
    readAt_ = startByte - s_.spanStart;
    d_.codes = ChooseInflateCodes();
    StartInput(d_, InflateSource{ReadPart, this}, s_.inputBuffer, s_.spanLength - readAt_,
               startByte);
    StartOutput(d_.out, OutputSink{Append, nullptr, &s_}, kSilentObserver);
    d_.out.windowsPerWrite = 1;
    d_.watch = BlockWatch{AtBoundary, this};
    d_.marked = nullptr;
    base_ = 0;
    bool fresh = s_.freshStream;
    if (!fresh) {
      if (!SkipBits(d_, s_.startBit % 8)) return;
      marked_ = MarkedOutput{s_.Marked(), s_.MarkedCapacity(), 0, false};
      PresetMarkers(marked_.data);
      d_.marked = &marked_;
      d_.windowsFilled = 0;
      d_.windowPos = 0;
    }
    for (;;) {
      const StreamEnd end = fresh ? InflateStream(d_) : ContinueStream(d_);
      if (end != StreamEnd::kComplete) {
        if (d_.marked == nullptr) DrainWindows(d_.out, d_.windowPos, true);
        if (end != StreamEnd::kPaused) EndAtLastBlock();
        break;
      }
      if (!Record(EventKind::kStreamEnd, kNoBit)) {
        EndAtLastBlock();
        break;
      }
      Event& e = s_.events[s_.eventCount - 1];
      const NextMember next =
          ReadTrailer(d_, &e.crc, &e.size) ? FindNextMember(d_) : NextMember::kInvalid;
      // Only what the whole file decides counts: an end of the part that is
      // not the file's, or anything irregular, is left to the in-order
      // decoding, from the stream's last block on.
      if (next == NextMember::kNone && s_.spanReachesEnd && !d_.inputFailed) {
        e.lastMember = true;
        s_.membersEnded = true;
        break;
      }
      if (next != NextMember::kFound) {
        EndAtLastBlock();
        break;
      }
      if (d_.marked != nullptr) s_.markedCount = marked_.count;
      base_ = Output();
      d_.marked = nullptr;
      fresh = true;
    }
    if (d_.marked != nullptr) s_.markedCount = marked_.count;
    // Output that did not fit is not there to be taken.
    while (s_.endOutput > s_.markedCount + s_.byteCount && s_.eventCount > 0) EndAtLastBlock();
    if (s_.endOutput > s_.markedCount + s_.byteCount) {
      s_.eventCount = 0;
      s_.endBit = s_.startBit;
      s_.endOutput = 0;
      s_.membersEnded = false;
    }
  }

  Slot& s_;
  Job& job_;
  DecoderState& d_;
  MarkedOutput marked_;
  uint64_t base_ = 0;
  uint64_t readAt_ = 0;
};

void RunPart(void* context, uint64_t task) {
  Job& job = *static_cast<Job*>(context);
  Slot& slot = job.slots[task % job.slotCount];
  PartDecoding(slot, job).Run();
}

// ---- The calling thread's input -------------------------------------------------

// The compressed data read so far and not yet left behind, read in the
// one-thread path's pieces, in its order.
class InputStore {
 public:
  InputStore(InflateSource file, uint64_t size) : file_(file), size_(size) {}
  ~InputStore() { pf::FreeMemory(data_); }
  InputStore(const InputStore&) = delete;
  InputStore& operator=(const InputStore&) = delete;

  bool Reserve(uint64_t capacity) {
    data_ = static_cast<uint8_t*>(Obtain(capacity));
    capacity_ = capacity;
    return data_ != nullptr;
  }
  uint64_t Size() const { return size_; }
  // Where the data end: the file's end, or where a read failed.
  uint64_t Limit() const { return failed_ ? end_ : size_; }
  uint64_t Start() const { return start_; }
  uint64_t End() const { return end_; }

  // Reads until the data reach upTo (or the limit), keeping from keep on.
  void ReadUpTo(uint64_t upTo, uint64_t keep) {
    upTo = std::min(upTo, size_);
    while (end_ < upTo && !failed_) {
      const uint32_t piece =
          static_cast<uint32_t>(std::min<uint64_t>(size_ - end_, kInputBufferSize));
      if (end_ - start_ + piece > capacity_) Compact(keep);
      if (end_ - start_ + piece > capacity_) return;
      const int32_t got = file_.read(file_.context, data_ + (end_ - start_), piece);
      if (got <= 0) {
        failed_ = true;
        return;
      }
      end_ += static_cast<uint32_t>(got);
    }
  }
  const uint8_t* At(uint64_t offset) const { return data_ + (offset - start_); }

  // The in-order decoder's source: from offset on, reading more as needed.
  InflateSource From(uint64_t offset) {
    cursor_ = offset;
    return InflateSource{Read, this};
  }

 private:
  static int32_t Read(void* context, uint8_t* buffer, uint32_t count) {
    auto* self = static_cast<InputStore*>(context);
    // The decoder may go back to where it stands, which is at most one
    // read and its accumulator behind what it has read.
    const uint64_t back = kInputBufferSize + 16;
    if (self->cursor_ >= self->end_) {
      self->ReadUpTo(self->cursor_ + count, self->cursor_ > back ? self->cursor_ - back : 0);
    }
    if (self->cursor_ >= self->end_) return self->failed_ ? -1 : 0;
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(count, self->end_ - self->cursor_));
    std::memcpy(buffer, self->At(self->cursor_), n);
    self->cursor_ += n;
    return static_cast<int32_t>(n);
  }

  void Compact(uint64_t keep) {
    keep = std::max(std::min(keep, end_), start_);
    std::memmove(data_, data_ + (keep - start_), static_cast<std::size_t>(end_ - keep));
    start_ = keep;
  }

  InflateSource file_;
  uint64_t size_;
  uint8_t* data_ = nullptr;
  uint64_t capacity_ = 0;
  uint64_t start_ = 0;
  uint64_t end_ = 0;
  uint64_t cursor_ = 0;
  bool failed_ = false;
};

// ---- The calling thread ------------------------------------------------------------

class InOrderDecoding {
 public:
  InOrderDecoding(DecoderState& d, OutputAccount& account, InputStore& input)
      : d_(d), account_(account), input_(input) {}

  // Decodes up to the first boundary at or past target: true when stopped
  // there, false once the members have ended (or failed).
  bool DecodeUpTo(uint64_t target) {
    const uint64_t byte = pos_ / 8;
    StartInput(d_, input_.From(byte), d_.InputBuffer, input_.Size() - byte, byte);
    target_ = target;
    d_.watch = BlockWatch{AtBoundary, this};
    // The byte pos_ lies in has been read already; should the read fail all
    // the same, decoding meets the failure at once.
    SkipBits(d_, static_cast<unsigned>(pos_ % 8));
    const bool paused = DecodeMembersFrom(d_, account_, midStream_);
    d_.watch = BlockWatch{};
    if (!paused) return false;
    pos_ = InputBitPosition(d_);
    midStream_ = true;
    return true;
  }

  // Takes a worker's part that starts where the decoding stands: false once
  // the members have ended (or failed).
  bool Take(Slot& s) {
    uint64_t limit = s.endOutput;
    if (s.freshStream) {
      // Where a member's stream begins nothing of it is decoded yet.
      if (midStream_ && StreamOutput(d_) != 0) return true;
      ResetForStream();
    } else {
      PrepareMarkers(s, &limit);
    }
    for (uint32_t i = 0; i < s.eventCount; ++i) {
      const Event& e = s.events[i];
      if (e.kind == EventKind::kStreamEnd) {
        if (!EndStream(e)) return false;
        continue;
      }
      const uint64_t blockEnd = i + 1 < s.eventCount ? s.events[i + 1].output : s.endOutput;
      if (blockEnd > limit) {
        // A marker the stream cannot have: the in-order decoder takes this
        // block and finds out why.
        pos_ = e.bit;
        midStream_ = true;
        return true;
      }
      BlockStarted(d_.out);
      if (!Put(s, e.output, blockEnd)) return false;
      BlockEnded(d_.out, d_.windowPos);
      // A cancel lets the block finish, then ends the stream.
      if (account_.status == GZARC_STATUS_CANCELLED) {
        DrainWindows(d_.out, d_.windowPos, true);
        return false;
      }
    }
    if (s.membersEnded) return false;
    pos_ = s.endBit;
    midStream_ = true;
    return true;
  }

  uint64_t Position() const { return pos_; }

 private:
  static bool AtBoundary(void* context, DecoderState& d) {
    auto* self = static_cast<InOrderDecoding*>(context);
    return InputBitPosition(d) < self->target_;
  }

  void ResetForStream() {
    d_.inBits = 0;
    d_.inBitCount = 0;
    d_.windowPos = 0;
    d_.windowWrapped = false;
    d_.windowsFilled = 0;
    StartWindows(d_.out);
  }

  // Markers name bytes of the last 32 KB this stream decoded. One naming a
  // byte before the stream's start cannot come from a valid stream: the
  // part is taken only up to the block that holds it (limit).
  void PrepareMarkers(const Slot& s, uint64_t* limit) {
    const uint64_t streamOutput = StreamOutput(d_);
    if (streamOutput < kDecodeWindowSize) {
      const uint64_t invalid = FirstInvalidMarker(
          s.Marked(), s.markedCount, static_cast<uint32_t>(kDecodeWindowSize - streamOutput));
      if (invalid < s.markedCount) *limit = invalid;
    }
    BuildMarkerTable(CurrentWindow(d_.out) + d_.windowPos - kDecodeWindowSize, &table_);
  }

  // Output of the part from..to into the windows, as the decoder writes it.
  bool Put(const Slot& s, uint64_t from, uint64_t to) {
    while (from < to) {
      const bool marked = from < s.markedCount;
      const uint64_t runEnd = marked ? std::min(to, s.markedCount) : to;
      const uint32_t run = static_cast<uint32_t>(
          std::min<uint64_t>(runEnd - from, kDecodeWindowSize - d_.windowPos));
      uint8_t* window = CurrentWindow(d_.out) + d_.windowPos;
      if (marked) {
        ResolveInto(table_, s.Marked() + from, run, window);
      } else {
        std::memcpy(window, s.Bytes() + (from - s.markedCount), run);
      }
      d_.windowPos += run;
      from += run;
      if (d_.windowPos == kDecodeWindowSize) {
        d_.windowPos = 0;
        d_.windowWrapped = true;
        ++d_.windowsFilled;
        if (!QueueWindow(d_.out)) return false;
      }
    }
    return true;
  }

  // A stream's last block has ended: its last flush, its trailer, and the
  // member after it, as the decoder and the member loop take them.
  bool EndStream(const Event& e) {
    if (!DrainWindows(d_.out, d_.windowPos, true) || d_.out.stopped) return false;
    if (account_.status != GZARC_STATUS_OK) return false;
    if (e.crc != (account_.crc ^ 0xFFFFFFFFu) || e.size != account_.memberLength) {
      account_.status = GZARC_STATUS_BAD_DATA;
      return false;
    }
    if (e.lastMember) return false;
    account_.laterMember = true;
    account_.crc = kCrcStart;
    account_.memberLength = 0;
    ResetForStream();
    return true;
  }

  DecoderState& d_;
  OutputAccount& account_;
  InputStore& input_;
  uint64_t pos_ = 0;
  bool midStream_ = false;
  uint64_t target_ = kNoBit;
  MarkerTable table_;
};

// ---- Memory -----------------------------------------------------------------------

struct Sizes {
  uint64_t output;
  uint64_t input;
};

// Each slot's share of the budget, beyond what every slot needs: two thirds
// for the output, a sixth for the part's input and a sixth for the input
// kept for the parts still to come.
Sizes SizesFor(unsigned slots) {
  const uint64_t budget = std::min<uint64_t>(kSlotBudgetLimit, kMemoryBudget / slots);
  const uint64_t fixed = sizeof(DecoderState) + kInputBufferSize + kEventCapacity * sizeof(Event);
  const uint64_t rest = budget > fixed + (uint64_t{1} << 20) ? budget - fixed : uint64_t{1} << 20;
  return Sizes{rest * 2 / 3, rest / 6};
}

void Release(Job& job) {
  for (unsigned i = 0; i < job.slotCount; ++i) {
    Slot& s = job.slots[i];
    if (s.decoder != nullptr) s.decoder->~DecoderState();
    pf::FreeMemory(s.decoder);
    pf::FreeMemory(s.input);
    pf::FreeMemory(s.inputBuffer);
    pf::FreeMemory(s.output);
    pf::FreeMemory(s.events);
    s = Slot{};
  }
}

bool Allocate(Job& job, unsigned slots, const Sizes& sizes) {
  job.slotCount = slots;
  for (unsigned i = 0; i < slots; ++i) {
    Slot& s = job.slots[i];
    void* decoder = Obtain(sizeof(DecoderState));
    if (decoder != nullptr) s.decoder = new (decoder) DecoderState;
    s.inputCapacity = sizes.input;
    s.input = static_cast<uint8_t*>(Obtain(sizes.input));
    s.inputBuffer = static_cast<uint8_t*>(Obtain(kInputBufferSize));
    s.outputCapacity = sizes.output;
    s.output = static_cast<uint8_t*>(Obtain(sizes.output));
    s.events = static_cast<Event*>(Obtain(kEventCapacity * sizeof(Event)));
    if (s.decoder == nullptr || s.input == nullptr || s.inputBuffer == nullptr ||
        s.output == nullptr || s.events == nullptr) {
      return false;
    }
  }
  return true;
}

}  // namespace

unsigned ExtractionThreads(uint64_t size) {
  if (size < kParallelExtractionMinimum) return 1;
  return std::min(pf::UsableCpuCount(), kMaxSlots - 1);
}

void DecodeMembersInParallel(DecoderState& d, OutputAccount& account, InflateSource file,
                             uint64_t size, unsigned threads, uint64_t partLimit,
                             ParallelStats* stats) {
  ParallelStats ignored;
  ParallelStats& counts = stats != nullptr ? *stats : ignored;
  const unsigned slots = std::min(threads + 1, kMaxSlots);
  const Sizes sizes = SizesFor(slots);
  auto* job = static_cast<Job*>(Obtain(sizeof(Job)));
  InputStore input(file, size);
  if (job != nullptr) new (job) Job;
  if (job == nullptr || !Allocate(*job, slots, sizes) || !input.Reserve(sizes.input * slots)) {
    if (job != nullptr) {
      Release(*job);
      job->~Job();
      pf::FreeMemory(job);
    }
    StartInput(d, file, d.InputBuffer, size);
    DecodeMembers(d, account);
    return;
  }

  InOrderDecoding order(d, account, input);
  {
    // The calling thread is one of the threads: it decodes some parts in
    // order itself (where a worker would spend more on markers than it
    // saves) and takes the workers' parts as it reaches them.
    pf::WorkQueue queue(threads - 1, RunPart, job);
    const unsigned workers = queue.Workers();
    if (workers == 0) {
      // No worker could be started: the one-thread path, as it reads.
      StartInput(d, file, d.InputBuffer, size);
      DecodeMembers(d, account);
    }
    const uint64_t ownEvery = workers <= 1 ? 2 : workers == 2 ? 6 : UINT64_MAX;
    struct Part {
      uint64_t target;
      uint64_t task;  // UINT64_MAX: decoded by the calling thread
    };
    constexpr unsigned kPartRing = 2 * kMaxSlots;
    Part parts[kPartRing];
    uint64_t madeParts = 0;
    uint64_t takenParts = 0;
    uint64_t takenTasks = 0;
    uint64_t nextStart = 0;
    uint64_t producedBytes = 0;
    uint64_t consumedBytes = 0;
    // Parts as large as their output fits a slot, after the ratio so far.
    const auto partSize = [&] {
      const uint64_t ratio = consumedBytes > (uint64_t{1} << 20)
                                 ? std::max<uint64_t>(1, producedBytes / consumedBytes + 1)
                                 : 4;
      // Marked output takes two bytes an element.
      const uint64_t byOutput = sizes.output / 3 / ratio;
      const uint64_t part = std::clamp<uint64_t>(byOutput, kMinimumPart, sizes.input * 4 / 5);
      return partLimit != 0 ? std::min(part, partLimit) : part;
    };
    // Lays out the next part: false when there is none to lay out yet.
    const auto makePart = [&]() -> bool {
      // A part behind the in-order decoding is of no use any more (and its
      // input may be gone).
      nextStart = std::max({nextStart, order.Position() / 8, input.Start()});
      if (nextStart >= input.Limit() || madeParts - takenParts >= kPartRing) return false;
      const uint64_t part = partSize();
      const uint64_t target = nextStart + part >= size ? kNoBit : (nextStart + part) * 8;
      const bool own = workers == 0 || madeParts % ownEvery == 0;
      if (own) {
        parts[madeParts++ % kPartRing] = Part{target, UINT64_MAX};
        nextStart += part;
        return true;
      }
      if (queue.Submitted() - takenTasks >= slots) return false;
      const uint64_t want = std::min(size, nextStart + sizes.input);
      input.ReadUpTo(want, order.Position() / 8);
      const uint64_t end = std::min(input.End(), want);
      if (end <= nextStart) return false;
      Slot& s = job->slots[queue.Submitted() % slots];
      s.spanStart = nextStart;
      s.spanLength = end - nextStart;
      s.spanReachesEnd = end == size;
      s.target = target;
      s.knownStart = false;
      std::memcpy(s.input, input.At(nextStart), static_cast<std::size_t>(s.spanLength));
      parts[madeParts++ % kPartRing] = Part{target, queue.Submitted()};
      queue.Submit();
      nextStart += part;
      return true;
    };
    bool going = workers != 0;
    while (going) {
      while (makePart()) {
      }
      if (takenParts == madeParts) break;
      const Part part = parts[takenParts++ % kPartRing];
      if (part.task == UINT64_MAX) {
        ++counts.partsInOrder;
        if (order.Position() < part.target) going = order.DecodeUpTo(part.target);
        continue;
      }
      queue.Wait(part.task);
      takenTasks = part.task + 1;
      Slot& s = job->slots[part.task % slots];
      if (!s.started) {
        ++counts.partsWasted;
        continue;
      }
      while (going && order.Position() < s.startBit) going = order.DecodeUpTo(s.startBit);
      if (going && order.Position() == s.startBit) {
        ++(s.endBit >= s.target || s.membersEnded ? counts.partsTaken : counts.partsWasted);
        going = order.Take(s);
        producedBytes += s.endOutput;
        consumedBytes += (s.endBit - s.startBit) / 8;
      }
    }
    if (going) order.DecodeUpTo(kNoBit);
    {
      pf::LockGuard lock(job->mutex);
      job->abandoned = true;
    }
    queue.Abandon();
  }
  Release(*job);
  job->~Job();
  pf::FreeMemory(job);
}

}  // namespace gzarc
