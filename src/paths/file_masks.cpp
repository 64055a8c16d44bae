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
