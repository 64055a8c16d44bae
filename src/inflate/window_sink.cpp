#include "inflate/window_sink.h"

#include <cstring>

namespace gzarc {
namespace {

// Writes n bytes to the output; the count stored (0 on failure).
uint32_t Store(WindowSink& s, const uint8_t* data, uint32_t n) {
  const int32_t stored = s.output.write(s.output.context, data, n);
  if (stored <= 0) return 0;
  s.storedCount += static_cast<uint32_t>(stored);
  return static_cast<uint32_t>(stored);
}

bool Cancelled(const WindowSink& s) {
  return s.observer.cancelled(s.observer.context);
}

void Report(WindowSink& s, const uint8_t* data, uint32_t n, bool written) {
  s.observer.flushed(s.observer.context, data, n, written);
}

// How one drain went: the count its write stored, whether a window has come
// up short (from there on each window is written on its own, as it would
// have been), and the block of the window whose report cancelled.
struct Drain {
  uint32_t first;
  uint32_t stored;
  bool shortWrite;
  bool cancelled;
  uint64_t cancelBlock;
  uint32_t cancelSlot;
};

void FlushPending(WindowSink& s, Drain& drain, uint32_t at, uint32_t n, uint64_t block) {
  const uint8_t* buffer = s.DecodeWindow.data();
  bool written = true;
  if (n > 0 && !drain.shortWrite) {
    written = at + n - drain.first <= drain.stored;
    drain.shortWrite = !written;
  } else if (n > 0) {
    written = Store(s, buffer + at, n) == n;
  }
  const bool cancelledBefore = Cancelled(s);
  Report(s, buffer + at, n, written);
  if (!cancelledBefore && Cancelled(s)) {
    drain.cancelled = true;
    drain.cancelBlock = block;
    drain.cancelSlot = at / kDecodeWindowSize;
  }
}

// The host cancelled during a block that has ended since. Decoding would
// have stopped at its end: while the cancel still stands, the output is cut
// back to the windows written by then, the part of the window the block
// ended in is flushed as the last one, and decoding stops. False then; true
// when a later failure replaced the cancel, so that decoding goes on.
bool StopAfterCancelledBlock(WindowSink& s, Drain& drain, uint64_t storedBefore) {
  drain.cancelled = false;
  if (!Cancelled(s)) return true;
  const uint32_t end = s.slotBlockEnd[drain.cancelSlot];
  const uint32_t partial = end % kDecodeWindowSize;
  const uint32_t windowStart = end - partial;
  const uint64_t length = storedBefore + (windowStart - drain.first);
  if (s.storedCount != length && s.output.truncate != nullptr &&
      s.output.truncate(s.output.context, length)) {
    s.storedCount = length;
  }
  const uint8_t* window = s.DecodeWindow.data() + windowStart;
  Report(s, window, partial, partial == 0 || Store(s, window, partial) == partial);
  s.pendingOffset = s.windowOffset;
  s.stopped = true;
  return false;
}

}  // namespace

void StartOutput(WindowSink& s, OutputSink output, InflateObserver observer) {
  s.output = output;
  s.observer = observer;
  s.storedCount = 0;
  s.stopped = false;
}

void StartWindows(WindowSink& s) {
  s.windowOffset = s.pendingOffset = kDecodeWindowSize;
  s.blockOrdinal = 0;
}

bool QueueWindow(WindowSink& s) {
  const uint32_t slot = s.windowOffset / kDecodeWindowSize;
  s.slotBlock[slot] = s.blockOrdinal;
  s.slotBlockEnd[slot] = 0;
  s.windowOffset += kDecodeWindowSize;
  const bool full = s.windowOffset + kDecodeWindowSize + kDecodeWindowSlack > s.DecodeWindow.size();
  const bool due = s.windowOffset - s.pendingOffset >= s.windowsPerWrite * kDecodeWindowSize;
  if (!full && !due) return true;
  const bool goOn = DrainWindows(s, 0, false);
  if (full) {
    std::memcpy(s.DecodeWindow.data(), CurrentWindow(s) - kDecodeWindowSize, kDecodeWindowSize);
    s.windowOffset = s.pendingOffset = kDecodeWindowSize;
  }
  return goOn;
}

void BlockEnded(WindowSink& s, uint32_t pos) {
  const uint32_t end = s.windowOffset + pos;
  for (uint32_t at = s.pendingOffset; at < s.windowOffset; at += kDecodeWindowSize) {
    const uint32_t slot = at / kDecodeWindowSize;
    if (s.slotBlock[slot] == s.blockOrdinal) s.slotBlockEnd[slot] = end;
  }
}

bool DrainWindows(WindowSink& s, uint32_t tail, bool withTail) {
  if (s.stopped) return false;
  const uint32_t first = s.pendingOffset;
  const uint32_t last = s.windowOffset;
  const uint32_t end = last + (withTail ? tail : 0);
  const uint64_t storedBefore = s.storedCount;
  Drain drain{first, 0, false, false, 0, 0};
  if (end > first) drain.stored = Store(s, s.DecodeWindow.data() + first, end - first);
  for (uint32_t at = first; at < last; at += kDecodeWindowSize) {
    const uint64_t block = s.slotBlock[at / kDecodeWindowSize];
    if (drain.cancelled && block != drain.cancelBlock &&
        !StopAfterCancelledBlock(s, drain, storedBefore)) {
      return false;
    }
    FlushPending(s, drain, at, kDecodeWindowSize, block);
  }
  if (drain.cancelled && drain.cancelBlock != s.blockOrdinal &&
      !StopAfterCancelledBlock(s, drain, storedBefore)) {
    return false;
  }
  if (withTail) FlushPending(s, drain, last, tail, s.blockOrdinal);
  s.pendingOffset = s.windowOffset;
  return true;
}

}  // namespace gzarc
