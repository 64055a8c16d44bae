#include "deflate/source_reader.h"

#include "deflate/compressor_state.h"
#include "engine/callbacks.h"
#include "engine/engine_state.h"
#include "gzip/crc32.h"

namespace gzarc::deflate {

uint32_t ReadInput(uint8_t* destination, uint32_t count) {
  CompressorState& c = Compressor();
  count &= 0xFFFF;
  const int32_t read = c.io.read(c.io.context, destination, count);
  if (read < 0) {
    SetStatus(GZARC_STATUS_FILE_ERROR);
    return 0;
  }
  const uint32_t n = static_cast<uint32_t>(read);
  c.TotalRead += n;
  if (HasProgressProc()) {
    // Counts are 64-bit, so a source of any size reports 0..100.
    const int32_t percent = ProgressPercent(c.TotalRead, c.SourceSize, static_cast<int32_t>(count));
    if (!CallProgressProc(percent, static_cast<int32_t>(n))) SetStatus(GZARC_STATUS_CANCELLED);
  }
  if (n > 0) c.Crc = UpdateCrc32(c.Crc, destination, n);
  return n;
}

}  // namespace gzarc::deflate
