#include "engine/archive.h"

#include <cstring>

#include "engine/callbacks.h"
#include "engine/engine_state.h"
#include "platform/platform.h"

namespace gzarc {

namespace pf = platform;

void ResetArchiveState() {
  EngineState& e = Engine();
  ResetCallbacks();
  e.PackLevel = 0;
  std::memset(e.RelativePath, 0, sizeof e.RelativePath);
}

bool HasExtension(const char* name) {
  const char* dot = std::strrchr(name, '.');
  return dot != nullptr && std::strchr(dot, '\\') == nullptr;
}

bool MakeArchiveName(const char* name, const char* extension, char* result, std::size_t capacity) {
  const std::size_t nameLength = BoundedLength(name, capacity);
  if (nameLength >= capacity) return false;
  if (HasExtension(name) || nameLength == 0) return CopyBounded(result, capacity, name);
  const std::size_t extensionLength = std::strlen(extension);
  if (nameLength + 1 + extensionLength + 1 > capacity) return false;
  std::memcpy(result, name, nameLength);
  result[nameLength] = '.';
  std::memcpy(result + nameLength + 1, extension, extensionLength + 1);
  return true;
}

bool ProbeGzipHeader(int fd) {
  static constexpr uint8_t kMagic[3] = {0x1F, 0x8B, 0x08};
  for (uint8_t expected : kMagic) {
    uint8_t byte = 0;
    if (pf::ReadFile(fd, &byte, 1) != 1 || byte != expected) return false;
  }
  return true;
}

namespace {

// Opens the archive for reading into ArchiveFile; a name too long for
// ArchivePath fails like a name that cannot be opened.
bool OpenArchiveForReading(const char* name) {
  EngineState& e = Engine();
  if (BoundedLength(name, kArchivePathSize) >= kArchivePathSize) return false;
  e.ArchiveFile = pf::OpenFile(name, pf::kOpenReadOnly | pf::kOpenBinary);
  return e.ArchiveFile != pf::kNoFile;
}

void CloseArchiveFile() {
  EngineState& e = Engine();
  if (e.ArchiveFile != pf::kNoFile) pf::CloseFile(e.ArchiveFile);
  e.ArchiveFile = pf::kNoFile;
}

}  // namespace
}  // namespace gzarc

using namespace gzarc;

extern "C" {

GZARC_API void GZARC_CALL InitArcFile(const char* name) {
  EngineState& e = Engine();
  std::memset(&e.arcExtraInfo, 0, sizeof e.arcExtraInfo);
  SetStatus(GZARC_STATUS_OK);
  ResetArchiveState();
  CloseArchiveFile();
  // A refused archive must never be taken for one just created: compression
  // answers "not new" until an archive is opened or created successfully.
  e.ArchiveIsNew = 0;
  if (!OpenArchiveForReading(name)) {
    SetStatus(GZARC_STATUS_FILE_ERROR);
    return;
  }
  SetStatus(GZARC_STATUS_OK);
  const bool isGzip = ProbeGzipHeader(e.ArchiveFile);
  CloseArchiveFile();
  if (!isGzip) {
    SetStatus(GZARC_STATUS_NOT_GZIP);
    return;
  }
  CopyBounded(e.ArchivePath, kArchivePathSize, name);
}

GZARC_API void GZARC_CALL InitZipFile(const char* name) {
  EngineState& e = Engine();
  ResetArchiveState();
  CloseArchiveFile();
  if (!OpenArchiveForReading(name)) {
    SetStatus(GZARC_STATUS_FILE_ERROR);
    return;
  }
  // Every operation opens the archive again; keeping this descriptor open
  // would only leak it.
  CloseArchiveFile();
  SetStatus(GZARC_STATUS_OK);
  CopyBounded(e.ArchivePath, kArchivePathSize, name);
  e.ArchiveIsNew = 0;
}

GZARC_API void GZARC_CALL CreateArcFile(const char* name) {
  EngineState& e = Engine();
  SetStatus(GZARC_STATUS_OK);
  char path[kArchivePathSize];
  if (name == nullptr || !MakeArchiveName(name, "GZ", path, sizeof path)) {
    SetStatus(GZARC_STATUS_FILE_ERROR);
    return;
  }
  const int existing = pf::OpenFile(path, pf::kOpenReadWrite | pf::kOpenBinary);
  if (existing != pf::kNoFile) {
    pf::CloseFile(existing);
    SetStatus(GZARC_STATUS_EXISTS);
    return;
  }
  // Exclusive: when the existence test above failed for a file that is
  // there after all (a transient error, a file created meanwhile), that file
  // is answered as existing instead of being truncated.
  const int fd =
      pf::OpenFile(path,
                   pf::kOpenReadWrite | pf::kOpenCreate | pf::kOpenTruncate | pf::kOpenExclusive |
                       pf::kOpenBinary,
                   pf::kPermissionRead | pf::kPermissionWrite | pf::kPermissionOwnerOnly);
  if (fd == pf::kNoFile) {
    const uint32_t attributes = pf::GetFileAttributesA(path);
    if (attributes != pf::kInvalidAttributes &&
        (attributes & (pf::kAttributeReadOnly | pf::kAttributeDirectory)) == 0) {
      SetStatus(GZARC_STATUS_EXISTS);
      return;
    }
  }
  e.ArchiveIsNew = 1;
  SetStatus(fd == pf::kNoFile ? GZARC_STATUS_FILE_ERROR : GZARC_STATUS_OK);
  CopyBounded(e.ArchivePath, kArchivePathSize, path);
  if (fd != pf::kNoFile) pf::CloseFile(fd);
}

GZARC_API void GZARC_CALL DoneArcFile(void*) {
  EngineState& e = Engine();
  std::memset(e.ArchivePath, 0, sizeof e.ArchivePath);
  e.ArchiveIsNew = 0;
}

}  // extern "C"
