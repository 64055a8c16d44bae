// File mask lists and wildcard matching.
#include "engine/engine_state.h"

extern "C" {

// TODO(masks): split masks into folder, name and extension.
GZARC_API FileMaskList* GZARC_CALL InitFileMaskList(FileMaskList* list) {
  if (list != nullptr) list->head = list->tail = nullptr;
  return list;
}
GZARC_API uint8_t GZARC_CALL AppendFileMask(const char*, FileMaskList*) { return 0; }
GZARC_API void GZARC_CALL DoneFileMaskList(FileMaskList*) {}

}  // extern "C"

#include "paths/file_masks.h"

namespace gzarc {

// TODO(masks): the wildcard rules.
bool MatchFileMaskList(const char*, const FileMaskList* list) { return list->head == nullptr; }

}  // namespace gzarc
