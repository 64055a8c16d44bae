// The match finder: a 64 KB sliding window with hash chains, and the lazy
// evaluation that turns the input into literals and matches for the block
// writer.
#pragma once

#include <array>
#include <cstdint>

#include "deflate/compressor_state.h"

namespace gzarc::deflate {

// The search parameters of one row of the configuration table.
struct MatchConfigRow {
  uint16_t GoodLength;  // a previous match this long shortens the search
  uint16_t MaxLazy;     // search again only while the previous match is shorter
  uint16_t NiceLength;
  uint16_t MaxChain;  // chain entries searched at most
};
// The row every file is compressed with.
inline constexpr int kMatchConfigRow = 4;
const MatchConfigRow& MatchConfig(int row);

// The builds of the hot routines: the lazy loop with its chain search, and
// the slide of the hash tables. Every build writes the same stream; the
// plain one is portable code throughout, the others use the vector
// extensions their names give (the lazy loop of kAvx512 is kAvx2's).
enum class MatchVariant : uint8_t { kPlain, kSse2, kAvx2, kAvx512 };
inline constexpr std::array<MatchVariant, 4> kMatchVariants = {
    MatchVariant::kPlain, MatchVariant::kSse2, MatchVariant::kAvx2, MatchVariant::kAvx512};

struct ParseRecord;

struct MatchKernels {
  void (*deflateStream)(CompressorState& c);
  void (*slideTables)(CompressorState& c);
  void (*parseStream)(CompressorState& c, ParseRecord& r);
};

// Whether a processor with these features (platform::CpuFeatures() bits)
// runs the variant.
bool MatchVariantRuns(MatchVariant variant, uint32_t features);
// The fastest variant such a processor runs.
MatchVariant BestMatchVariant(uint32_t features);
// The fastest variant this processor runs, found once.
MatchVariant DefaultMatchVariant();
const MatchKernels& MatchKernelsOf(MatchVariant variant);

// The compressor's only way to read its input: up to count bytes (taken
// modulo 65536) from the source into destination. Returns the number read,
// 0 at the end of the input or after a failed read. A stop the source asks
// for goes into the state's outcome; the bytes of that read still count.
uint32_t ReadInput(CompressorState& c, uint8_t* destination, uint32_t count);
// Loads the lazy-match parameters of the compressor's one configuration.
void LoadMatchParameters(CompressorState& c);
// Starts a stream: clears the window, the storage behind it and the hash
// heads, loads the parameters and reads the first input.
void InitMatchFinder(CompressorState& c);
// Slides the window when the position nears its end, and reads more input.
void FillWindow(CompressorState& c);
// Length of the best match on the chain that starts at cur.
uint32_t LongestMatch(CompressorState& c, uint32_t cur);
// Runs the whole input through the lazy loop of the state's build, ending
// every block.
void DeflateStream(CompressorState& c);

}  // namespace gzarc::deflate
