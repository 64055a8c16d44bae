#include "paths/strings.h"

#include <cstring>

#include "platform/platform.h"

namespace gzarc {

// TODO(masks): the 8-bit string routines.
bool AllocBlock(void** variable, uint32_t size) {
  *variable = platform::AllocateMemory(size & 0xFFFF);
  return *variable != nullptr;
}

void FreeBlock(void** variable) {
  if (*variable != nullptr) platform::FreeMemory(*variable);
  *variable = nullptr;
}

char* DuplicateString(const char* text) {
  const std::size_t n = std::strlen(text) + 1;
  char* copy = nullptr;
  if (!AllocBlock(&copy, static_cast<uint32_t>(n))) return nullptr;
  std::memcpy(copy, text, n);
  return copy;
}

}  // namespace gzarc
