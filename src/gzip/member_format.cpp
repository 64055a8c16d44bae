#include "gzip/member_format.h"

#include <cstring>

#include "engine/engine_state.h"

namespace gzarc {

// TODO(listing): the stripping rules; this joins the parts only.
bool BuildStoredName(const FileMaskEntry* entry, char* storedName, std::size_t capacity) {
  storedName[0] = '\0';
  const char* parts[] = {entry->folder != nullptr ? entry->folder : "", entry->name,
                         entry->extension[0] != '\0' ? "." : "", entry->extension};
  std::size_t n = 0;
  for (const char* part : parts) {
    const std::size_t m = std::strlen(part);
    if (n + m + 1 > capacity) return false;
    std::memcpy(storedName + n, part, m);
    n += m;
  }
  storedName[n] = '\0';
  return true;
}

}  // namespace gzarc
