// Guessing where DEFLATE blocks begin, for decoding a stream in parts.
//
// A part of a stream can be decoded on its own from the start of one of its
// blocks, if one knows where that is. Most blocks of real streams are
// dynamic-code blocks, whose headers hold three Huffman codes that must each
// be complete: a random bit position passes all those checks with a chance
// of well under one in a million. A guess is only a guess all the same; the
// caller verifies it by decoding the stream in order up to it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace gzarc {

inline constexpr uint64_t kNoBlockFound = UINT64_MAX;

// The first bit position in [from, to) at which the bytes of data (bits
// counted from data[0], least significant first) hold the header of a
// dynamic-code block that is not the last of its stream, with three valid
// codes whose code lengths all lie within data; kNoBlockFound when none.
uint64_t FindDynamicBlock(const uint8_t* data, std::size_t size, uint64_t from, uint64_t to);

}  // namespace gzarc
