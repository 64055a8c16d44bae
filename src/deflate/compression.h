// The compression driver: one source file into one new GZIP member, and the
// same compressor run over memory for tests and fuzzing.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "deflate/compressor_state.h"
#include "deflate/match_finder.h"

namespace gzarc::deflate {

// The driver's one compressor state, in static storage.
CompressorState& Compressor();

// The archive status word of a compressor outcome.
uint16_t StatusOf(CompressOutcome outcome);

// Runs the compressor over a memory buffer with the given build of the
// match finder: the raw DEFLATE stream goes to output, and the CRC-32 of
// the input to crc when given. Returns the status word of the outcome; the
// engine's own status is left alone.
uint16_t CompressMemory(std::span<const uint8_t> input, std::vector<uint8_t>* output,
                        uint32_t* crc = nullptr, MatchVariant variant = DefaultMatchVariant());

}  // namespace gzarc::deflate
