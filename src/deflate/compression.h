// The compression driver: one source file into one new GZIP member, and the
// same compressor run over memory for tests and fuzzing.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "deflate/compressor_state.h"

namespace gzarc::deflate {

// Obtains the per-file working buffers, cleared (the output buffer aside);
// status 8 at the first one that cannot be had.
void AllocCompressBuffers();
// Releases whatever AllocCompressBuffers obtained.
void FreeCompressBuffers();

// Compresses everything io delivers into one raw DEFLATE stream written to
// io; sourceSize is what progress reports are measured against. The outcome
// is the archive status word; the CRC-32 register of the input is left in
// Compressor().Crc.
void CompressStream(const CompressIo& io, int64_t sourceSize);
// Compresses SourceFile into ArchiveOutFile.
void CompressFile();

// Runs the compressor over a memory buffer: the raw DEFLATE stream goes to
// output, and the CRC-32 of the input to crc when given. Returns (and
// leaves) the archive status word.
uint16_t CompressMemory(std::span<const uint8_t> input, std::vector<uint8_t>* output,
                        uint32_t* crc = nullptr);

}  // namespace gzarc::deflate
