#include "engine/engine_state.h"

#include <cstring>

namespace gzarc {

EngineState& Engine() {
  static EngineState state;
  return state;
}

std::size_t BoundedLength(const char* text, std::size_t limit) {
  if (text == nullptr) return 0;
  std::size_t n = 0;
  while (n < limit && text[n] != '\0') ++n;
  return n;
}

bool CopyBounded(char* field, std::size_t fieldSize, const char* text) {
  const std::size_t n = BoundedLength(text, fieldSize);
  if (n >= fieldSize) return false;
  if (n > 0) std::memcpy(field, text, n);
  field[n] = '\0';
  return true;
}

}  // namespace gzarc
