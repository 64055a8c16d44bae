// The match finder: a 64 KB sliding window with hash chains, and the lazy
// evaluation that turns the input into literals and matches for the block
// writer.
#pragma once

#include <cstdint>

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

// Starts a file: clears the window, the storage behind it and the hash
// heads, loads the parameters and reads the first input.
void InitMatchFinder();
// Slides the window when the position nears its end, and reads more input.
void FillWindow();
// Length of the best match on the chain that starts at cur.
uint32_t LongestMatch(uint32_t cur);
// Runs the whole input through the lazy loop, ending every block.
void DeflateStream();

}  // namespace gzarc::deflate
