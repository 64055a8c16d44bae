// Path routines and output files.
#include "paths/output_paths.h"

#include "engine/engine_state.h"
#include "platform/platform.h"

namespace gzarc {

// TODO(paths): walk and create the folders on the way.
void CreateOutputFile(int* handle, const char* path) {
  namespace pf = platform;
  *handle = pf::OpenFile(path, pf::kOpenReadWrite | pf::kOpenCreate | pf::kOpenTruncate |
                                   pf::kOpenBinary,
                         pf::kPermissionRead | pf::kPermissionWrite);
  SetStatus(*handle == pf::kNoFile ? GZARC_STATUS_FILE_ERROR : GZARC_STATUS_OK);
}

}  // namespace gzarc
