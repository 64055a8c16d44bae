// Memory blocks and the small string routines with 8-bit lengths.
#pragma once

#include <cstdint>

namespace gzarc {

// Allocates a block whose size is taken as a 16-bit quantity into the
// pointer variable; true on success, the variable null on failure.
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

// The target, cut to 256 characters, with text inserted at position.
char* InsertString(const char* text, char* target, uint8_t position);
// Removes count characters at position.
char* DeleteChars(char* text, uint8_t position, uint8_t count);

}  // namespace gzarc
