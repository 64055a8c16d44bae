// Extraction on every processor the process may use; see the .cpp.
#pragma once

#include <cstdint>

#include "gzip/member_stream.h"
#include "inflate/inflate.h"

namespace gzarc {

// Compressed data below this size are decoded on the calling thread alone.
inline constexpr uint64_t kParallelExtractionMinimum = uint64_t{1} << 20;

// How many threads an extraction of size compressed bytes would decode on:
// 1 takes the one-thread path.
unsigned ExtractionThreads(uint64_t size);

// Decodes the members of a gzip file as DecodeMembers does, from the first
// member's compressed data (size bytes to the end of the file, delivered by
// file in reads of the same sizes and order as the one-thread path makes),
// with threads workers: the same bytes through d's window sink, the same
// account and the same host calls, on the calling thread. d is set up as
// for DecodeMembers, its input aside. Falls back to DecodeMembers when the
// memory it needs cannot be had. partLimit, when not 0, caps the size of
// the parts (compressed bytes) the data are split into; stats, when given,
// tells how the parts went.
struct ParallelStats {
  uint64_t partsTaken = 0;    // decoded by a worker and taken as they were
  uint64_t partsInOrder = 0;  // decoded in order by the calling thread
  uint64_t partsWasted = 0;   // decoded by a worker but not taken (or only in part)
};
void DecodeMembersInParallel(DecoderState& d, OutputAccount& account, InflateSource file,
                             uint64_t size, unsigned threads, uint64_t partLimit = 0,
                             ParallelStats* stats = nullptr);

}  // namespace gzarc
