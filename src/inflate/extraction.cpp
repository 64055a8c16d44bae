// Extraction and deletion drivers.
#include "engine/engine_state.h"

extern "C" {

// TODO(extraction): scan, decode and write the member.
GZARC_API void GZARC_CALL ExtractFileMaskListArc(const FileMaskList*) {
  gzarc::SetStatus(GZARC_STATUS_OK);
}
// TODO(extraction): remove the archive when its member matches.
GZARC_API void GZARC_CALL DeleteFileMaskListArc(const FileMaskList*) {
  gzarc::SetStatus(GZARC_STATUS_OK);
}

}  // extern "C"
