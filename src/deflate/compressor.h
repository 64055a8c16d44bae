// The compressor as a stream module: a state, a source and a sink in, one
// raw DEFLATE stream out, the outcome as the result.
#pragma once

#include "deflate/compressor_state.h"
#include "deflate/match_finder.h"

namespace gzarc::deflate {

// Obtains the per-stream working buffers, cleared (the output buffer aside);
// false, with the outcome kNoMemory, at the first one that cannot be had.
// Those obtained before it stay for FreeCompressBuffers.
bool AllocCompressBuffers(CompressorState& c);
// Releases whatever AllocCompressBuffers obtained.
void FreeCompressBuffers(CompressorState& c);

// Sets up the block writer of a new stream writing to sink: its buffers,
// an empty bit buffer and cleared trees. False, with the outcome
// kNoMemory, when a buffer cannot be had (FreeCompressBuffers still frees
// what was obtained).
bool StartBlockWriter(CompressorState& c, CompressSink sink, MatchVariant variant);

// Compresses everything the source delivers into one raw DEFLATE stream
// written to the sink, with the given build of the match finder. After a
// stop or a failure the stream ends at the next block boundary, without a
// final block.
CompressOutcome CompressStream(CompressorState& c, CompressSource source, CompressSink sink,
                               MatchVariant variant = DefaultMatchVariant());

}  // namespace gzarc::deflate
