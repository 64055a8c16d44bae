// Memory blocks and the small string routines with 8-bit lengths.
#include "paths/strings.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "platform/platform.h"

namespace gzarc {

bool AllocBlock(void** variable, uint32_t size) {
  // Wrapping an over-large size to 16 bits would hand back a block smaller
  // than the caller is about to fill.
  if (size > 0xFFFFu) {
    *variable = nullptr;
    return false;
  }
  *variable = platform::AllocateMemory(size);
  return *variable != nullptr;
}

void FreeBlock(void** variable) {
  if (*variable != nullptr) platform::FreeMemory(*variable);
  *variable = nullptr;
}

char* DuplicateString(const char* text) {
  if (text == nullptr) text = "";
  const std::size_t size = std::strlen(text) + 1;
  if (size > 0xFFFFu) return nullptr;
  char* copy = nullptr;
  if (!AllocBlock(&copy, static_cast<uint32_t>(size))) return nullptr;
  std::memcpy(copy, text, size);
  return copy;
}

std::size_t ShortLength(const char* text) {
  if (text == nullptr) return 0;
  std::size_t n = 0;
  while (n < kShortStringMax && text[n] != '\0') ++n;
  return n;
}

std::size_t CopyShort(char* destination, const char* text) {
  const std::size_t n = ShortLength(text);
  std::memmove(destination, text, n);
  destination[n] = '\0';
  return n;
}

char* InsertString(const char* text, char* target, uint8_t position) {
  std::array<char, kShortStringSize> result{};
  const std::size_t targetLength = ShortLength(target);
  const std::size_t at = std::min<std::size_t>(position, targetLength);
  const std::size_t textLength = ShortLength(text);

  std::size_t n = 0;
  const auto take = [&](const char* from, std::size_t count) {
    count = std::min(count, kShortStringMax - n);
    std::memcpy(result.data() + n, from, count);
    n += count;
  };
  take(target, at);
  take(text, textLength);
  take(target + at, targetLength - at);

  std::memcpy(target, result.data(), n);
  target[n] = '\0';
  return target;
}

char* DeleteChars(char* text, uint8_t position, uint8_t count) {
  const std::size_t length = std::strlen(text);
  if (count == 0 || position >= length) return text;
  const std::size_t removed = std::min<std::size_t>(count, length - position);
  std::memmove(text + position, text + position + removed, length - position - removed + 1);
  return text;
}

}  // namespace gzarc
