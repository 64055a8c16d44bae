// The compression driver.
#include "engine/engine_state.h"

extern "C" {

// TODO(compression): compress the one named file into the new archive.
GZARC_API void GZARC_CALL CompressFileMaskListArc(const FileMaskList*) {
  gzarc::SetStatus(GZARC_STATUS_OK);
}

}  // extern "C"
