// Compression on every processor the process may use; see the .cpp.
#pragma once

#include <cstdint>

#include "deflate/compressor_state.h"
#include "deflate/match_finder.h"

namespace gzarc::deflate {

// Sources below this size are compressed on the calling thread alone.
inline constexpr uint64_t kParallelCompressionMinimum = uint64_t{1} << 20;

// How many threads compressing a source of size bytes would take: 1 takes
// the one-thread path.
unsigned CompressionThreads(uint64_t size);

// The source as the parallel compressor reads it. read delivers the next
// piece, as the one-thread compressor asks for it, without telling the host
// (the count read, 0 at the end, -1 on failure); report then tells the host
// of an earlier read, in order, at the point where the one-thread
// compressor would have (false: the host cancelled).
struct ReportedSource {
  int32_t (*read)(void* context, uint8_t* destination, uint32_t count);
  bool (*report)(void* context, uint32_t asked, uint32_t got);
  void* context;
};

// Compresses the source into one raw DEFLATE stream written to sink, as
// CompressStream does, on threads threads: the same stream, and the same
// reports in the same order between the same writes. writer is the state
// whose block writer makes the stream. Falls back to CompressStream's own
// path before reading anything when the memory or the threads it needs
// cannot be had. expectedSize (the source's length when it was opened, 0
// when not known) shapes the parts: they shrink towards the end so that the
// threads finish together; any source comes out right. partLimit, when not
// 0, caps the parts the input is split into (for the tests).
CompressOutcome CompressInParallel(CompressorState& writer, ReportedSource source,
                                   CompressSink sink, unsigned threads, MatchVariant variant,
                                   uint64_t expectedSize, uint64_t partLimit = 0);

}  // namespace gzarc::deflate
