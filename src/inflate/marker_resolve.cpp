#include "inflate/marker_resolve.h"

#include "inflate/inflate.h"

namespace gzarc {

uint64_t FirstInvalidMarker(const uint16_t* data, uint64_t count, uint32_t oldestValid) {
  for (uint64_t i = 0; i < count; ++i) {
    if (data[i] >= kMarkerBase && static_cast<uint32_t>(data[i] - kMarkerBase) < oldestValid) {
      return i;
    }
  }
  return count;
}

void BuildMarkerTable(const uint8_t* history, MarkerTable* table) {
  for (uint32_t v = 0; v < kMarkerBase; ++v) table->byte[v] = static_cast<uint8_t>(v);
  for (uint32_t i = 0; i < kDecodeWindowSize; ++i) table->byte[kMarkerBase + i] = history[i];
}

void ResolveInto(const MarkerTable& table, const uint16_t* data, uint64_t count, uint8_t* out) {
  const uint8_t* const byte = table.byte;
  uint64_t i = 0;
  // Eight at a time, loads before stores.
  for (; i + 8 <= count; i += 8) {
    const uint8_t b0 = byte[data[i]], b1 = byte[data[i + 1]], b2 = byte[data[i + 2]],
                  b3 = byte[data[i + 3]], b4 = byte[data[i + 4]], b5 = byte[data[i + 5]],
                  b6 = byte[data[i + 6]], b7 = byte[data[i + 7]];
    out[i] = b0;
    out[i + 1] = b1;
    out[i + 2] = b2;
    out[i + 3] = b3;
    out[i + 4] = b4;
    out[i + 5] = b5;
    out[i + 6] = b6;
    out[i + 7] = b7;
  }
  for (; i < count; ++i) out[i] = byte[data[i]];
}

}  // namespace gzarc
