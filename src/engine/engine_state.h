// The one process-wide engine state: archive status, settings, callbacks and
// the current archive. Zero at load (ArchiveFile aside, which is "no file").
// Subsystems keep their own working state beside their code; what several
// subsystems share lives here.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gzarc.h"

namespace gzarc {

// A registered host callback: the context goes back as the first argument.
template <typename Proc>
struct Registration {
  void* context = nullptr;
  Proc proc = nullptr;
};

inline constexpr std::size_t kArchivePathSize = 256;   // 255 characters
inline constexpr std::size_t kRelativePathSize = 261;  // 260 characters
inline constexpr std::size_t kInputPathSize = 264;     // 263 with the separator
inline constexpr std::size_t kExtractDirSize = 256;    // 255 with the separator
inline constexpr std::size_t kFeatureStringSize = 272;

struct EngineState {
  uint16_t status = 0;

  // Settings.
  char RelativePath[kRelativePathSize] = {};
  char InputPath[kInputPathSize] = {};
  char ExtractDir[kExtractDirSize] = {};
  int32_t PackLevel = 0;

  // Private copies of the extra-features records.
  char compFeatureText[kFeatureStringSize] = {};
  char compRelativePath[kFeatureStringSize] = {};
  char compInputPath[kFeatureStringSize] = {};
  uint32_t compValueA = 0;
  uint32_t compValueB = 0;
  uint8_t decompFeatures[GZARC_DECOMP_RECORD_SIZE] = {};

  // The current archive.
  char ArchivePath[kArchivePathSize] = {};
  uint8_t ArchiveIsNew = 0;
  int ArchiveFile = -1;

  // Host callbacks.
  Registration<FileNameProc> fileNameProc;
  Registration<ProgressProc> progressProc;
  Registration<OkToReplaceProc> replaceProc;
  Registration<SignalProc> signalProc;
  Registration<OpaqueProc> warningProc;
  Registration<OpaqueProc> skipFileProc;
  Registration<OpaqueProc> nextDiskProc;
  Registration<OpaqueProc> sfxProgressProc;

  // Archive information of the last listing, and the OS byte of the last scan.
  ArcExtraInfo arcExtraInfo = {};
  uint8_t scannedHostSystem = 0;
};

EngineState& Engine();

inline uint16_t Status() { return Engine().status; }
inline bool StatusOk() { return Engine().status == GZARC_STATUS_OK; }
inline void SetStatus(uint16_t status) { Engine().status = status; }

// Copies a zero-terminated string into a fixed field when it fits
// (terminator included); returns false and leaves the field alone otherwise.
bool CopyBounded(char* field, std::size_t fieldSize, const char* text);

// Length of a zero-terminated string, looking at most at limit bytes.
std::size_t BoundedLength(const char* text, std::size_t limit);

}  // namespace gzarc
