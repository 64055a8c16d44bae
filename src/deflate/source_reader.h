// The compressor's only way to read its input: counts the bytes, keeps the
// CRC-32 for the trailer and reports progress to the host, who may cancel.
#pragma once

#include <cstdint>

namespace gzarc::deflate {

// Reads up to count bytes (taken modulo 65536) into destination; returns
// the number read, 0 at the end of the input or after a failed read
// (status 5). A host that cancels from the progress callback sets 2926;
// the bytes of that read still count.
uint32_t ReadInput(uint8_t* destination, uint32_t count);

}  // namespace gzarc::deflate
