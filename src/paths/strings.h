// Memory blocks and the small string routines with 8-bit lengths.
#pragma once

#include <cstddef>
#include <cstdint>

namespace gzarc {

// The routines with 8-bit lengths work on strings of up to 255 characters;
// their result buffers hold kShortStringSize bytes.
inline constexpr std::size_t kShortStringMax = 255;
inline constexpr std::size_t kShortStringSize = kShortStringMax + 1;

// Allocates a block whose size is a 16-bit quantity into the pointer
// variable; true on success, the variable null on failure. A size above
// 65535 is refused rather than wrapped to a smaller block.
bool AllocBlock(void** variable, uint32_t size);
template <typename T>
bool AllocBlock(T** variable, uint32_t size) {
  void* block = nullptr;
  const bool ok = AllocBlock(&block, size);
  *variable = static_cast<T*>(block);
  return ok;
}
// Frees a non-null block and sets the variable to null.
void FreeBlock(void** variable);
template <typename T>
void FreeBlock(T** variable) {
  void* block = *variable;
  FreeBlock(&block);
  *variable = nullptr;
}
// A heap copy of the string (terminator included), or null.
char* DuplicateString(const char* text);

// Length of a string, counting at most kShortStringMax characters.
std::size_t ShortLength(const char* text);
// Copies text, cut to kShortStringMax characters, into a buffer of
// kShortStringSize bytes; returns the length copied.
std::size_t CopyShort(char* destination, const char* text);

// The target (a buffer of kShortStringSize bytes) with text inserted at
// position; the result is cut to kShortStringMax characters. A position past
// the end appends.
char* InsertString(const char* text, char* target, uint8_t position);
// Removes count characters at position (cut to what the string holds).
char* DeleteChars(char* text, uint8_t position, uint8_t count);

}  // namespace gzarc
