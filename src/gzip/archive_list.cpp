// The host's archive file list and the archive information record.
#include "engine/engine_state.h"

extern "C" {

GZARC_API void GZARC_CALL InitArcFileList(ArcEntryList* list) {
  list->count = 0;
  list->head = list->tail = nullptr;
}
// TODO(listing): scan the archive and append its member.
GZARC_API void GZARC_CALL BuildArcFileList(ArcEntryList*, const FileMaskList*) {
  gzarc::SetStatus(GZARC_STATUS_OK);
}
GZARC_API void GZARC_CALL DoneArcFileList(ArcEntryList* list) {
  list->count = 0;
  list->head = list->tail = nullptr;
}

}  // extern "C"
