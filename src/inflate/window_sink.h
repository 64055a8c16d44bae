// The decoder's output: the windows it decodes into, and how they reach the
// output and the observer of the decoding.
//
// The decoder fills one 32 KB window after another in one buffer, the
// previous window always right in front of the current one, so that a
// back-reference reads one contiguous run. Writing each full window with a
// system call of its own costs more than decoding it, so full windows wait
// and are written together when the buffer fills (or the stream ends). A
// host must not be able to tell: after each such write, the observer hears
// of every window in order, exactly as if it had been written as it filled,
// and when the observer answers a window with a cancel, the sink undoes
// what a window-by-window decoder would never have written.
//
// The rule it reproduces: a cancel lets the current block finish, then
// decoding stops, and the bytes of that block are the last ones written. So
// the sink keeps, per waiting window, the block it was filled in and where
// that block ended; a cancel heard for a window whose block has ended since
// cuts the output back to the end of that block and stops the decoding.
#pragma once

#include <array>
#include <cstdint>

namespace gzarc {

inline constexpr uint32_t kDecodeWindowSize = 32768;
// Windows the buffer holds: the one being filled, the full ones waiting to
// be written, and the one before them that back-references reach into.
inline constexpr uint32_t kWindowCount = 16;
// Room behind the current window for the word-sized stores of the fast
// decoding path, which may run up to this many bytes past a match.
inline constexpr uint32_t kDecodeWindowSlack = 32;
inline constexpr uint32_t kDecodeBufferSize = kWindowCount * kDecodeWindowSize + kDecodeWindowSlack;

// Where decoded bytes go: write returns the count stored or -1; truncate
// cuts the output back to a length (true on success; may be absent).
struct OutputSink {
  int32_t (*write)(void* context, const uint8_t* data, uint32_t count) = nullptr;
  bool (*truncate)(void* context, uint64_t length) = nullptr;
  void* context = nullptr;
};

// Who follows the decoding: it hears of every flush in stream order, with
// written telling whether the output took all of it; of a compressed input
// that could not be read (after the flushes before the failure); and it
// says when the host has asked to stop.
struct InflateObserver {
  void (*flushed)(void* context, const uint8_t* data, uint32_t n, bool written) = nullptr;
  void (*inputFailed)(void* context) = nullptr;
  bool (*cancelled)(void* context) = nullptr;
  void* context = nullptr;
};

struct WindowSink {
  // Lives in static storage or on the heap; the buffer has no initializer,
  // so that its pages stay untouched until decoding reaches them.
  WindowSink() {}

  std::array<uint8_t, kDecodeBufferSize> DecodeWindow;
  // The window being filled starts here; the full windows not yet written
  // lie from pendingOffset up to it.
  uint32_t windowOffset = kDecodeWindowSize;
  uint32_t pendingOffset = kDecodeWindowSize;
  // Blocks are numbered as they start; per buffer slot, the block a waiting
  // window was filled in, and where in the buffer that block ended (0 while
  // it goes on).
  uint64_t blockOrdinal = 0;
  std::array<uint64_t, kWindowCount> slotBlock = {};
  std::array<uint32_t, kWindowCount> slotBlockEnd = {};
  // Bytes the output has stored, so that a cancel can cut it back.
  uint64_t storedCount = 0;
  // Set when the host cancelled during a block that has ended since:
  // decoding would have stopped there, and now stops at once.
  bool stopped = false;
  // Full windows written together; 1 writes each window as it fills.
  uint32_t windowsPerWrite = kWindowCount;

  OutputSink output;
  InflateObserver observer;
};

// Starts an output: where its bytes go and who hears of them; nothing
// stored yet.
void StartOutput(WindowSink& s, OutputSink output, InflateObserver observer);
// Starts a stream (an output may take several): the first window at the
// front of the buffer.
void StartWindows(WindowSink& s);

inline uint8_t* CurrentWindow(WindowSink& s) {
  return s.DecodeWindow.data() + s.windowOffset;
}

// Takes the full current window and moves on to the next one. False once
// decoding must stop.
bool QueueWindow(WindowSink& s);
// A block starts; and the current block ended at position pos of the
// current window.
inline void BlockStarted(WindowSink& s) {
  ++s.blockOrdinal;
}
void BlockEnded(WindowSink& s, uint32_t pos);
// Writes the waiting windows, with the first tail bytes of the current one
// when the stream ends (withTail), and lets the observer hear of each. False
// once decoding must stop.
bool DrainWindows(WindowSink& s, uint32_t tail, bool withTail);

}  // namespace gzarc
