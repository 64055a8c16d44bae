// Turning a part decoded with markers into bytes, once the 32 KB in front of
// it are known.
#pragma once

#include <cstdint>

namespace gzarc {

// The first of count elements that is a marker below oldestValid (naming a
// byte before the stream's start, which no valid stream refers to), or
// count.
uint64_t FirstInvalidMarker(const uint16_t* data, uint64_t count, uint32_t oldestValid);

// The byte of every element value: its own for a byte, the one it names in
// history for a marker. Resolving through it needs no branch per element,
// for markers are as common as not in parts of text.
struct MarkerTable {
  uint8_t byte[65536];
};
void BuildMarkerTable(const uint8_t* history, MarkerTable* table);
// Resolves count elements into out.
void ResolveInto(const MarkerTable& table, const uint16_t* data, uint64_t count, uint8_t* out);

}  // namespace gzarc
