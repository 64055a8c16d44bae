// Compression on every processor the process may use.
//
// Why the result is exact. The one-thread compressor's parse is a pure
// function of the input: every position enters the hash chains in order,
// the candidates at a position lie at most 32506 back, and what carries from
// one position to the next is the lazy state. So the state of the match
// finder at a position in the middle of the input can be rebuilt from the
// input alone (the window where the one-thread compressor's slides put it,
// and the chains of the positions before), all but the lazy state. Workers
// parse parts of the input from such rebuilt states with a fresh lazy state,
// each with the same loop the one-thread compressor runs (its recording
// build), and record their symbols and their states at the top of the loop.
// The first part starts where the one-thread compressor starts, so its
// parse is the true one; each part's parse runs a little past the next
// part's start, and where both stand at the top of the loop at the same
// position in the same state, the next part's parse is the true one from
// there on. Where no such point turns up, the true parse is carried on in
// order. The calling thread feeds the true parse's symbols to the block
// writer of the one-thread compressor, ending blocks where it ends them (every
// 16383 symbols, the stored form allowed while the block's first byte is in
// the window), so blocks, trees and bits come from the same code; the reads
// the parse made are reported to the host at the same points between the
// writes.
#include "deflate/parallel_compression.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "deflate/block_writer.h"
#include "deflate/compressor.h"
#include "deflate/match_search.h"
#include "deflate/parse_record.h"
#include "platform/platform.h"
#include "platform/threads.h"
#include "platform/work_queue.h"

namespace gzarc::deflate {
namespace {

namespace pf = platform;

// Pieces the one-thread compressor reads: 32 KB at a time, the first when it
// starts, piece i + 1 at the first top of the loop at or past
// 32768 i + 32507, when the look-ahead falls short; the window slides by
// half at the same time from piece 2 on.
constexpr uint64_t kPiece = kWindowHalf;
constexpr uint64_t kRefillAt = kWindowHalf - kMinLookahead + 1;  // 32507

// Pieces read by the time the loop's top stands at position (at least one).
uint64_t PiecesAt(uint64_t position) {
  return position < kRefillAt ? 1 : 2 + (position - kRefillAt) / kPiece;
}
// Slides done by then.
uint64_t SlidesAt(uint64_t position) {
  return PiecesAt(position) - 1 > 0 ? PiecesAt(position) - 2 : 0;
}

// The overlap in which two parts' parses look for a common state (on real
// input they meet within a few dozen bytes), and the budget of memory
// beyond the one-thread path: the slots and the input store.
constexpr uint64_t kOverlap = 4 << 10;
constexpr uint64_t kMemoryBudget = uint64_t{30} << 20;
constexpr uint64_t kLargestPart = uint64_t{1} << 20;
constexpr uint64_t kSmallestPart = uint64_t{128} << 10;
constexpr unsigned kMaxSlots = 18;

void* Obtain(uint64_t bytes) {
  return pf::AllocateMemory(static_cast<std::size_t>(bytes));
}

// The input read so far and still needed, and the reads not yet reported:
// a ring in which the input at position p lies at p modulo its size. The
// calling thread reads into it; workers copy their parts out of it, from
// stretches it does not write while they run (what the calling thread keeps).
class InputStore {
 public:
  explicit InputStore(ReportedSource source) : source_(source) {}
  ~InputStore() {
    pf::FreeMemory(data_);
    pf::FreeMemory(reads_);
  }
  InputStore(const InputStore&) = delete;
  InputStore& operator=(const InputStore&) = delete;

  // capacity: a multiple of a piece.
  bool Reserve(uint64_t capacity, uint32_t pendingReads) {
    data_ = static_cast<uint8_t*>(Obtain(capacity));
    capacity_ = capacity;
    reads_ = static_cast<PendingRead*>(Obtain(uint64_t{pendingReads} * sizeof(PendingRead)));
    readCapacity_ = pendingReads;
    return data_ != nullptr && reads_ != nullptr;
  }

  uint64_t End() const { return end_; }
  bool Ended() const { return ended_; }
  bool Failed() const { return failed_; }
  bool Holds(uint64_t position) const { return position >= oldest_ && position <= end_; }

  // Copies the input [position, position + n), which the ring holds. Reads
  // nothing the calling thread changes, so workers may call it.
  void CopyOut(uint8_t* destination, uint64_t position, uint64_t n) const {
    const uint64_t at = position % capacity_;
    const uint64_t first = std::min(n, capacity_ - at);
    std::memcpy(destination, data_ + at, static_cast<std::size_t>(first));
    std::memcpy(destination + first, data_, static_cast<std::size_t>(n - first));
  }
  // The input [position, position + n) in one piece of memory: in the ring,
  // or copied to scratch where it runs over the ring's end.
  const uint8_t* Contiguous(uint64_t position, uint64_t n, uint8_t* scratch) const {
    const uint64_t at = position % capacity_;
    if (at + n <= capacity_) return data_ + at;
    CopyOut(scratch, position, n);
    return scratch;
  }

  // Reads pieces until the input reaches upTo or ends, writing over nothing
  // at or after keep; false when there is no room (or a read failed).
  bool ReadUpTo(uint64_t upTo, uint64_t keep) {
    while (end_ < upTo && !ended_) {
      // A read stops at the ring's end (only a source that came short in
      // the middle puts a piece across it).
      const uint64_t count = std::min(kPiece, capacity_ - end_ % capacity_);
      if (end_ + count > std::min(keep, end_) + capacity_ || pending_ == readCapacity_) {
        return false;
      }
      const int32_t got =
          source_.read(source_.context, data_ + end_ % capacity_, static_cast<uint32_t>(count));
      if (got < 0) {
        failed_ = true;
        ended_ = true;
        return false;
      }
      reads_[(first_ + pending_++) % readCapacity_] = PendingRead{static_cast<uint32_t>(got)};
      end_ += static_cast<uint32_t>(got);
      if (end_ > capacity_) oldest_ = std::max(oldest_, end_ - capacity_);
      // A read that delivers nothing ends the input (the one-thread
      // compressor makes that read too, and reports it).
      if (got == 0) ended_ = true;
    }
    return true;
  }

  // Reports the oldest read not reported yet as a read of asked bytes:
  // false when the host cancels. A source whose reads came short in the
  // middle (one that changed while it was read) leaves the reads out of step
  // with the parse's: what is left over is reported at the end.
  bool ReportNext(uint32_t asked) {
    if (pending_ == 0) return true;
    const PendingRead read = reads_[first_];
    first_ = (first_ + 1) % readCapacity_;
    --pending_;
    return source_.report(source_.context, asked, read.got);
  }
  // Reports every read still pending: false at a cancel.
  bool ReportAll() {
    while (pending_ > 0) {
      if (!ReportNext(kPiece)) return false;
    }
    return true;
  }

 private:
  struct PendingRead {
    uint32_t got;
  };

  ReportedSource source_;
  uint8_t* data_ = nullptr;
  uint64_t capacity_ = 0;
  uint64_t oldest_ = 0;  // the first position not written over
  uint64_t end_ = 0;
  bool ended_ = false;
  bool failed_ = false;
  PendingRead* reads_ = nullptr;
  uint32_t readCapacity_ = 0;
  uint32_t first_ = 0;
  uint32_t pending_ = 0;
};

// One part of the input and a worker's parse of it.
struct Slot {
  // The part, set by the calling thread before it submits the slot.
  uint64_t start = 0;         // where the parse begins
  bool first = false;         // the start of the input, in the true state
  bool continuation = false;  // the true parse carried on from where it stopped
  // The input the parse may read, in the store, which keeps it while the
  // slot is busy.
  const InputStore* store = nullptr;
  uint64_t inputStart = 0;
  uint64_t inputLength = 0;
  bool inputReachesEnd = false;  // the input ends where the part's ends
  uint64_t readAt = 0;           // the next read of the parse

  CompressorState* state = nullptr;
  ParseRecord record;
  // The parse asked for input beyond its part's; its record is void.
  bool starved = false;
};

struct Job {
  Slot slots[kMaxSlots];
  unsigned slotCount = 0;
  // The slot each task works on (written before the task is submitted).
  unsigned taskSlot[pf::WorkQueue::kMaxOutstanding] = {};
  MatchVariant variant = MatchVariant::kPlain;
  // A stored block's bytes where they run over the input store's end.
  uint8_t scratch[kWindowSize];
};

// The parse's source: the pieces of its part's input, in the sizes asked for.
SourceRead ReadPart(void* context, uint8_t* destination, uint32_t count) {
  Slot& s = *static_cast<Slot*>(context);
  const uint64_t end = s.inputStart + s.inputLength;
  const uint64_t n = s.readAt < end ? std::min<uint64_t>(count, end - s.readAt) : 0;
  if (n == 0 && !s.inputReachesEnd) s.starved = true;
  s.store->CopyOut(destination, s.readAt, n);
  s.readAt += n;
  return {static_cast<uint32_t>(n), CompressOutcome::kOk};
}

// Sets the state up as the one-thread compressor holds it at the top of its
// loop at s.start, but for the lazy state: the window where the slides put
// it, with what a slide leaves behind the last piece, the chains of every
// position since the window's start, and the look-ahead.
void RebuildState(Slot& s, CompressorState& c) {
  const uint64_t x = s.start;
  const uint64_t base = SlidesAt(x) * kPiece;
  // Positions more than a window half back can be neither candidates nor
  // links a walk follows: one that is not in the chains ends a walk as the
  // distance limit does.
  const uint64_t firstInChains = x - std::min<uint64_t>(x - base, kWindowHalf);
  const uint64_t fileEnd = s.inputReachesEnd ? s.inputStart + s.inputLength : UINT64_MAX;
  const uint64_t dataEnd = std::min(fileEnd, PiecesAt(x) * kPiece);
  c.Window.fill(0);
  const uint64_t held = std::min<uint64_t>(dataEnd - base, kWindowSize);
  s.store->CopyOut(c.Window.data(), base, held);
  if (base != 0 && held < kWindowSize) {
    // A slide copied the upper half down and left it in place: behind a
    // short last piece, the upper half still holds the piece before.
    s.store->CopyOut(c.Window.data() + held, base + held - kWindowHalf, kWindowSize - held);
  }
  c.HashHead.fill(0);
  LoadMatchParameters(c);
  for (uint64_t p = firstInChains; p < x; ++p) {
    const auto w = static_cast<uint32_t>(p - base);
    InsertChainEntry(c.HashHead.data(), c.HashPrev.data(), HashAt(c.Window.data(), w), w);
  }
  c.StrStart = static_cast<uint32_t>(x - base);
  c.Lookahead = static_cast<uint32_t>(dataEnd - x);
  c.BlockStart = 0;
  c.MatchStart = 0;
  c.PrevLength = 0;
  c.InsertHash = 0;
  c.EndOfInput = false;
  s.readAt = dataEnd;
  s.record.base = base;
  s.record.insertEnd = x;
  s.record.matchLength = kMinMatch - 1;
  s.record.matchAvailable = false;
}

void RunPart(void* context, uint64_t task) {
  Job& job = *static_cast<Job*>(context);
  Slot& s = job.slots[job.taskSlot[task % pf::WorkQueue::kMaxOutstanding]];
  CompressorState& c = *s.state;
  c.Source = CompressSource{ReadPart, &s};
  c.Kernels = &MatchKernelsOf(job.variant);
  c.Outcome = CompressOutcome::kOk;
  s.starved = false;
  if (s.continuation) {
    // The state and the record's lazy state are where the parse stopped.
  } else if (s.first) {
    s.readAt = 0;
    c.BlockStart = 0;
    InitMatchFinder(c);
    s.record.base = 0;
    s.record.insertEnd = 0;
    s.record.matchLength = kMinMatch - 1;
    s.record.matchAvailable = false;
  } else {
    RebuildState(s, c);
  }
  if (c.Lookahead == 0) {
    s.record.ended = true;
    return;
  }
  ParseStream(c, s.record);
}

// ---- The calling thread ----------------------------------------------------------

// Feeds the true parse's symbols to the block writer, as the one-thread
// compressor's loop hands them to it.
class BlockFeed {
 public:
  BlockFeed(CompressorState& writer, InputStore& input, uint8_t* scratch)
      : w_(writer), input_(input), scratch_(scratch) {}

  // Where the open block starts when its stored form may still be chosen
  // (its first byte in the window), else past every position.
  uint64_t StoredBlockStart() const { return blockStart_ >= base_ ? blockStart_ : UINT64_MAX; }
  void Halt() { w_.Outcome = CompressOutcome::kStopped; }

  // The record's symbols [from, to) and its events up to position limit,
  // in order; the events it has already given are skipped through
  // eventCursor.
  bool Feed(const ParseRecord& r, uint32_t from, uint32_t to, uint32_t& eventCursor,
            uint64_t eventLimit, bool lastIsFinal) {
    const auto due = [&](uint32_t symbols) {
      return eventCursor < r.eventCount && r.events[eventCursor].symbols <= symbols &&
             r.events[eventCursor].position <= eventLimit;
    };
    uint32_t g = from;
    for (;;) {
      while (due(g)) {
        if (!Event(r.events[eventCursor++])) return false;
      }
      if (g == to) break;
      // The symbols up to the next event go in one run.
      uint32_t runEnd = to;
      if (eventCursor < r.eventCount && r.events[eventCursor].position <= eventLimit) {
        runEnd = std::min(runEnd, r.events[eventCursor].symbols);
      }
      uint64_t covered = 0;
      g += TallySymbols(w_, r.symbols + g, runEnd - g, &covered);
      position_ += covered;
      // The literal the loop leaves pending at the end goes into the last
      // block whatever its count.
      if (w_.LiteralCount == kBlockSymbolLimit && !(lastIsFinal && g == to) && !EndHere(0)) {
        return false;
      }
    }
    while (eventCursor < r.eventCount && r.events[eventCursor].position <= eventLimit) {
      if (!Event(r.events[eventCursor++])) return false;
    }
    return true;
  }

  bool Finish() { return EndHere(1); }

 private:
  bool Event(const ParseEvent& e) {
    if (e.slide) base_ += kWindowHalf;
    // Every event is a read (a slide comes with one).
    if (!input_.ReportNext(e.asked)) {
      w_.Outcome = CompressOutcome::kStopped;
      return false;
    }
    return true;
  }

  bool EndHere(int final) {
    // The stored form needs the block's first byte still in the window.
    // (That block is less than a window long.)
    const uint64_t size = position_ - blockStart_;
    const uint8_t* start = blockStart_ >= base_ && input_.Holds(blockStart_)
                               ? input_.Contiguous(blockStart_, size, scratch_)
                               : nullptr;
    EndBlock(w_, start, static_cast<int32_t>(size), final);
    blockStart_ = position_;
    return w_.Outcome == CompressOutcome::kOk;
  }

  CompressorState& w_;
  InputStore& input_;
  uint8_t* scratch_;  // a window's worth
  uint64_t position_ = 0;
  uint64_t blockStart_ = 0;
  uint64_t base_ = 0;
};

// The first position at which both records hold the same state, and the
// symbols each had chosen by then; false when none does.
bool FindJoin(const ParseRecord& truth, const ParseRecord& guess, ParseState* inTruth,
              ParseState* inGuess) {
  uint32_t i = 0;
  uint32_t j = 0;
  while (i < truth.stateCount && j < guess.stateCount) {
    const ParseState& a = truth.states[i];
    const ParseState& b = guess.states[j];
    if (a.position < b.position) {
      ++i;
    } else if (b.position < a.position) {
      ++j;
    } else {
      if (a.SameDecisions(b)) {
        *inTruth = a;
        *inGuess = b;
        return true;
      }
      ++i;
      ++j;
    }
  }
  return false;
}

struct Sizes {
  uint64_t part;
  uint64_t symbols;
  uint64_t states;
  uint64_t input;
  uint64_t store;
  uint64_t total;  // all of it
};

Sizes SizesOf(unsigned slots, uint64_t part) {
  Sizes sizes;
  sizes.part = part;
  sizes.symbols = part + kOverlap + 4 * kMaxMatch;
  sizes.states = 2 * kOverlap;
  // A part's input runs from the window before it to the reads past its
  // overlap; the store holds the parts laid out and the next.
  sizes.input = part + kOverlap + 6 * kPiece;
  sizes.store = (slots + 1) * part + 16 * kPiece;
  sizes.total = slots * (sizes.symbols * sizeof(ParseSymbol) + sizes.states * sizeof(ParseState) +
                         sizeof(CompressorState)) +
                sizes.store + sizeof(Job);
  return sizes;
}

// The largest part (in whole pieces, at most partLimit when that is not 0)
// whose slots and store fit the budget.
Sizes SizesFor(unsigned slots, uint64_t partLimit) {
  uint64_t part = kLargestPart;
  if (partLimit != 0) part = std::min(part, std::max<uint64_t>(partLimit, 2 * kPiece));
  part = part / kPiece * kPiece;
  while (part > kSmallestPart && SizesOf(slots, part).total > kMemoryBudget) part -= kPiece;
  return SizesOf(slots, part);
}

void Release(Job& job) {
  for (unsigned i = 0; i < job.slotCount; ++i) {
    Slot& s = job.slots[i];
    if (s.state != nullptr) s.state->~CompressorState();
    pf::FreeMemory(s.state);
    pf::FreeMemory(s.record.symbols);
    pf::FreeMemory(s.record.states);
    pf::FreeMemory(s.record.events);
    s = Slot{};
  }
}

bool Allocate(Job& job, unsigned slots, const Sizes& sizes) {
  job.slotCount = slots;
  for (unsigned i = 0; i < slots; ++i) {
    Slot& s = job.slots[i];
    void* state = Obtain(sizeof(CompressorState));
    if (state != nullptr) s.state = new (state) CompressorState;
    s.record.symbolCapacity = static_cast<uint32_t>(sizes.symbols);
    s.record.symbols = static_cast<ParseSymbol*>(Obtain(sizes.symbols * sizeof(ParseSymbol)));
    s.record.stateCapacity = static_cast<uint32_t>(sizes.states);
    s.record.states = static_cast<ParseState*>(Obtain(sizes.states * sizeof(ParseState)));
    s.record.eventCapacity = static_cast<uint32_t>(2 * (sizes.input / kPiece) + 16);
    s.record.events = static_cast<ParseEvent*>(Obtain(s.record.eventCapacity * sizeof(ParseEvent)));
    if (s.state == nullptr || s.record.symbols == nullptr || s.record.states == nullptr ||
        s.record.events == nullptr) {
      return false;
    }
  }
  return true;
}

// The one-thread path over a reported source: each read reported at once.
SourceRead ReadAndReport(void* context, uint8_t* destination, uint32_t count) {
  const ReportedSource& s = *static_cast<const ReportedSource*>(context);
  const int32_t got = s.read(s.context, destination, count);
  if (got < 0) return {0, CompressOutcome::kReadFailed};
  const bool goOn = s.report(s.context, count, static_cast<uint32_t>(got));
  return {static_cast<uint32_t>(got), goOn ? CompressOutcome::kOk : CompressOutcome::kStopped};
}

// The parts and the true parse, as the calling thread drives them.
class PartChain {
 public:
  PartChain(Job& job, pf::WorkQueue& queue, InputStore& input, BlockFeed& feed, const Sizes& sizes,
            uint64_t expectedSize)
      : job_(job),
        queue_(queue),
        input_(input),
        feed_(feed),
        sizes_(sizes),
        expectedSize_(expectedSize),
        shares_(queue.Workers() + 1) {}

  // Runs the whole input through: false when the writer or a report
  // stopped it; input failures show in the input store.
  bool Run() {
    LayOutParts();
    if (!laidOut_) return false;
    truth_ = Truth{0, slotOf_[0], taskOf_[0], 0, 0};
    // The compressor starts with one read.
    if (!input_.ReportNext(kFirstRead)) return Stop();
    for (;;) {
      queue_.Wait(truth_.task);
      Slot& t = job_.slots[truth_.slot];
      if (t.starved) return false;
      if (t.record.ended) {
        return feed_.Feed(t.record, truth_.fed, t.record.symbolCount, truth_.events, UINT64_MAX,
                          true);
      }
      if (!t.record.full && truth_.part + 1 < laidOut_) {
        const JoinResult joined = Join();
        if (joined == JoinResult::kStopped) return false;
        if (joined == JoinResult::kJoined) {
          LayOutParts();
          continue;
        }
      }
      // The true parse goes on from where it stopped: over what its record
      // could not hold, or over the next part when no state joins it.
      if (!feed_.Feed(t.record, truth_.fed, t.record.symbolCount, truth_.events, UINT64_MAX,
                      false)) {
        return false;
      }
      if (!t.record.full) {
        if (truth_.part + 1 < laidOut_) FreeSlot(slotOf_[(truth_.part + 1) % kRing]);
        ++truth_.part;
      }
      if (!CarryOn()) return false;
      LayOutParts();
    }
  }

 private:
  static constexpr unsigned kRing = 2 * kMaxSlots;

  struct Truth {
    uint64_t part;  // the part whose stretch the parse is in
    unsigned slot;
    uint64_t task;
    uint32_t fed;     // symbols of its record given to the writer
    uint32_t events;  // events of its record given to the writer
  };

  bool Stop() {
    feed_.Halt();
    return false;
  }

  // Where a part starts: known for every part laid out and the next.
  uint64_t PartStart(uint64_t part) const { return starts_[part % kRing]; }
  // Sets where the part after part starts: each part takes its share of
  // what the source is expected to hold beyond its start, within the
  // sizes the memory allows, so that the last parts get shorter.
  void PlanPart(uint64_t part) {
    const uint64_t start = PartStart(part);
    const uint64_t left = expectedSize_ > start ? expectedSize_ - start : 0;
    const uint64_t share = expectedSize_ == 0 ? sizes_.part : left / shares_ / kPiece * kPiece;
    starts_[(part + 1) % kRing] =
        start + std::clamp(share, std::min(kSmallestPart, sizes_.part), sizes_.part);
  }
  // The input a parse stopping at stopAt may read.
  static uint64_t InputNeeded(uint64_t stopAt) {
    return stopAt == UINT64_MAX ? UINT64_MAX : PiecesAt(stopAt + 4 * kMaxMatch) * kPiece + kPiece;
  }
  bool IsLast(uint64_t part) const {
    return input_.Ended() && PartStart(part + 1) + kOverlap + 4 * kPiece >= input_.End();
  }
  // What the input store must keep: the writer's open block, the next part
  // to lay out and the input of every busy slot (the true parse's goes on
  // from its next read).
  uint64_t Keep() const {
    uint64_t keep = std::min(feed_.StoredBlockStart(), SlidesAt(PartStart(laidOut_)) * kPiece);
    for (unsigned i = 0; i < job_.slotCount; ++i) {
      if (busy_[i]) keep = std::min(keep, job_.slots[i].inputStart);
    }
    return keep;
  }

  uint64_t Submit(unsigned slot) {
    const uint64_t task = queue_.Submitted();
    job_.taskSlot[task % pf::WorkQueue::kMaxOutstanding] = slot;
    queue_.Submit();
    return task;
  }

  void FreeSlot(unsigned slot) { busy_[slot] = false; }

  // Lays out parts into the free slots while their input can be had.
  void LayOutParts() {
    while (!lastLaidOut_) {
      unsigned slot = 0;
      while (slot < job_.slotCount && busy_[slot]) ++slot;
      if (slot == job_.slotCount) return;
      const uint64_t part = laidOut_;
      PlanPart(part);
      const uint64_t start = PartStart(part);
      const uint64_t stopAt = PartStart(part + 1) + kOverlap;
      input_.ReadUpTo(InputNeeded(stopAt), Keep());
      if (input_.Failed()) return;
      if (part > 0 && input_.Ended() && start + kOverlap + 4 * kPiece >= input_.End()) {
        // Too close to the end to be a part of its own: the part before
        // runs to the end.
        lastLaidOut_ = true;
        return;
      }
      const bool last = IsLast(part);
      const uint64_t base = SlidesAt(start) * kPiece;
      const uint64_t end = std::min(input_.End(), InputNeeded(stopAt));
      if (!input_.Holds(base) || end - base > sizes_.input ||
          (end < InputNeeded(stopAt) && !input_.Ended())) {
        return;
      }
      Slot& s = job_.slots[slot];
      s.start = start;
      s.first = part == 0;
      s.continuation = false;
      s.inputStart = base;
      s.inputLength = end - base;
      s.inputReachesEnd = input_.Ended() && end == input_.End();
      ParseRecord& r = s.record;
      r.symbolCount = r.stateCount = r.eventCount = 0;
      r.full = r.ended = false;
      r.stopAt = last ? UINT64_MAX : stopAt;
      r.keepFrom[0] = start;
      r.keepTo[0] = s.first ? start : start + kOverlap;
      r.keepFrom[1] = last ? 0 : PartStart(part + 1);
      r.keepTo[1] = last ? 0 : stopAt;
      busy_[slot] = true;
      slotOf_[part % kRing] = slot;
      taskOf_[part % kRing] = Submit(slot);
      ++laidOut_;
      if (last) lastLaidOut_ = true;
    }
  }

  enum class JoinResult { kJoined, kNone, kStopped };

  // The next part's guess joins the true parse at the first state both
  // hold: the true parse goes on in it.
  JoinResult Join() {
    const uint64_t next = truth_.part + 1;
    Slot& t = job_.slots[truth_.slot];
    // No state of the guess lies before its part's start: the true parse
    // goes to the writer up to there while the guess may still run.
    const ParseState* states = t.record.states;
    const ParseState* const statesEnd = states + t.record.stateCount;
    const ParseState* atNext = std::lower_bound(
        states, statesEnd, PartStart(next),
        [](const ParseState& st, uint64_t position) { return st.position < position; });
    if (atNext != statesEnd && !feed_.Feed(t.record, truth_.fed, atNext->symbols, truth_.events,
                                           atNext->position, false)) {
      return JoinResult::kStopped;
    }
    if (atNext != statesEnd) truth_.fed = atNext->symbols;
    queue_.Wait(taskOf_[next % kRing]);
    Slot& g = job_.slots[slotOf_[next % kRing]];
    ParseState inTruth{};
    ParseState inGuess{};
    if (g.starved || g.record.full || !FindJoin(t.record, g.record, &inTruth, &inGuess)) {
      return JoinResult::kNone;
    }
    if (!feed_.Feed(t.record, truth_.fed, inTruth.symbols, truth_.events, inTruth.position,
                    false)) {
      return JoinResult::kStopped;
    }
    FreeSlot(truth_.slot);
    // The guess's own reads before the common state were the true parse's
    // too, and are reported already.
    uint32_t events = 0;
    while (events < g.record.eventCount && g.record.events[events].position <= inGuess.position) {
      ++events;
    }
    truth_ = Truth{next, slotOf_[next % kRing], taskOf_[next % kRing], inGuess.symbols, events};
    return JoinResult::kJoined;
  }

  // Lets the true parse's state go on: to the part after the one it is in,
  // keeping its states where that part begins, or to the end.
  bool CarryOn() {
    Slot& t = job_.slots[truth_.slot];
    const uint64_t stoppedAt = t.record.base + t.state->StrStart;
    const uint64_t nextPart = truth_.part + 1;
    const bool joinable = nextPart < laidOut_ || (!lastLaidOut_ && !IsLast(truth_.part));
    const uint64_t stopAt =
        std::max(stoppedAt + kPiece, joinable ? PartStart(nextPart) + kOverlap : UINT64_MAX);
    const uint64_t target = joinable ? stopAt : stoppedAt + sizes_.part;
    input_.ReadUpTo(InputNeeded(target), Keep());
    if (input_.Failed()) return false;
    const uint64_t end = std::min(input_.End(), InputNeeded(target));
    t.continuation = true;
    t.inputStart = t.readAt;
    t.inputLength = end - t.readAt;
    t.inputReachesEnd = input_.Ended() && end == input_.End();
    ParseRecord& r = t.record;
    r.symbolCount = r.stateCount = r.eventCount = 0;
    r.full = r.ended = false;
    r.stopAt = joinable ? stopAt : (t.inputReachesEnd ? UINT64_MAX : target);
    r.keepFrom[0] = r.keepTo[0] = 0;
    r.keepFrom[1] = joinable ? PartStart(nextPart) : 0;
    r.keepTo[1] = joinable ? stopAt : 0;
    truth_.fed = 0;
    truth_.events = 0;
    truth_.task = Submit(truth_.slot);
    return true;
  }

  Job& job_;
  pf::WorkQueue& queue_;
  InputStore& input_;
  BlockFeed& feed_;
  const Sizes& sizes_;
  const uint64_t expectedSize_;
  const uint64_t shares_;
  uint64_t starts_[kRing] = {};
  Truth truth_{};
  uint64_t laidOut_ = 0;
  bool lastLaidOut_ = false;
  bool busy_[kMaxSlots] = {};
  unsigned slotOf_[kRing] = {};
  uint64_t taskOf_[kRing] = {};
};

}  // namespace

unsigned CompressionThreads(uint64_t size) {
  if (size < kParallelCompressionMinimum) return 1;
  return std::min(pf::UsableCpuCount(), kMaxSlots - 3);
}

CompressOutcome CompressInParallel(CompressorState& writer, ReportedSource source,
                                   CompressSink sink, unsigned threads, MatchVariant variant,
                                   uint64_t expectedSize, uint64_t partLimit) {
  // Beside the part being fed and the one it joins, one for every worker
  // and one laid out ahead.
  const unsigned slots = std::min(threads + 3, kMaxSlots);
  const Sizes sizes = SizesFor(slots, partLimit);
  auto* job = static_cast<Job*>(Obtain(sizeof(Job)));
  if (job != nullptr) new (job) Job;
  InputStore input(source);
  const auto release = [&] {
    if (job == nullptr) return;
    Release(*job);
    job->~Job();
    pf::FreeMemory(job);
    job = nullptr;
  };
  const auto serial = [&] {
    release();
    return CompressStream(writer, CompressSource{ReadAndReport, &source}, sink, variant);
  };
  if (job == nullptr || !Allocate(*job, slots, sizes) ||
      !input.Reserve(sizes.store, static_cast<uint32_t>(sizes.store / kPiece + 64))) {
    return serial();
  }
  job->variant = variant;
  for (unsigned i = 0; i < slots; ++i) job->slots[i].store = &input;

  CompressOutcome outcome;
  {
    pf::WorkQueue queue(threads, RunPart, job);
    if (queue.Workers() == 0) return serial();
    // The block writer of the one-thread compressor, fed by the parts.
    if (!StartBlockWriter(writer, sink, variant)) {
      FreeCompressBuffers(writer);
      release();
      return CompressOutcome::kNoMemory;
    }
    BlockFeed feed(writer, input, job->scratch);
    PartChain chain(*job, queue, input, feed, sizes, expectedSize);
    const bool done = chain.Run();
    queue.Abandon();
    if (input.Failed()) {
      // The one-thread compressor reported the reads before the failed one
      // first.
      input.ReportAll();
      outcome = CompressOutcome::kReadFailed;
    } else if (writer.Outcome != CompressOutcome::kOk) {
      outcome = writer.Outcome;
    } else if (!done) {
      outcome = CompressOutcome::kReadFailed;
    } else if (!input.ReportAll()) {
      feed.Halt();
      outcome = CompressOutcome::kStopped;
    } else {
      outcome = feed.Finish() ? CompressOutcome::kOk : writer.Outcome;
    }
  }
  FreeCompressBuffers(writer);
  release();
  return outcome;
}

}  // namespace gzarc::deflate
