#include "gzip/archive_scan.h"

#include "engine/engine_state.h"

namespace gzarc {

// TODO(listing): read the header field by field and the trailer.
uint32_t ScanArchive(const FileMaskList*, MemberInfoList* list) {
  list->count = 0;
  list->head = list->tail = nullptr;
  SetStatus(GZARC_STATUS_NO_MATCH);
  return 0;
}

void FreeMemberList(MemberInfoList* list) {
  list->count = 0;
  list->head = list->tail = nullptr;
}

}  // namespace gzarc
