// Archive status, settings, the extra-features records, the information
// query and the exports this engine does not support.
#include <cstring>

#include "engine/engine_state.h"

namespace gzarc {
namespace {

// The target folder may run to the record's end.
constexpr std::size_t kDecompExtractDirWidth = GZARC_DECOMP_RECORD_SIZE - GZARC_DECOMP_EXTRACT_DIR;

// InputPath gets a backslash when the path is longer than three characters:
// a drive root such as C:\ stays as it is. The rule looks at the length only.
bool ApplyInputPath(const char* path) {
  const std::size_t n = BoundedLength(path, kInputPathSize);
  const std::size_t needed = n > 3 ? n + 2 : n + 1;
  if (needed > kInputPathSize) return false;
  char* field = Engine().InputPath;
  std::memcpy(field, path, n);
  std::size_t end = n;
  if (n > 3) field[end++] = '\\';
  field[end] = '\0';
  return true;
}

// ExtractDir gets a backslash unless it already ends in a separator or a
// drive colon.
bool ApplyExtractDir(const char* dir) {
  const std::size_t n = BoundedLength(dir, kExtractDirSize);
  const bool addSeparator = n > 0 && dir[n - 1] != '\\' && dir[n - 1] != ':';
  if (n + (addSeparator ? 1 : 0) + 1 > kExtractDirSize) return false;
  char* field = Engine().ExtractDir;
  std::memcpy(field, dir, n);
  std::size_t end = n;
  if (addSeparator) field[end++] = '\\';
  field[end] = '\0';
  return true;
}

uint32_t ReadWord(const uint8_t* record, std::size_t offset) {
  uint32_t value;
  std::memcpy(&value, record + offset, sizeof value);
  return value;
}

void SetNotSupported() { SetStatus(GZARC_STATUS_UNSUPPORTED); }

}  // namespace
}  // namespace gzarc

using namespace gzarc;

extern "C" {

GZARC_API uint16_t GZARC_CALL GetArchiveStatus(void) { return Status(); }

GZARC_API uint16_t GZARC_CALL SetArchiveStatus(uint32_t status) {
  SetStatus(static_cast<uint16_t>(status & 0xFFFF));
  return Status();
}

GZARC_API void GZARC_CALL SetRelativePath(const char* path) {
  CopyBounded(Engine().RelativePath, kRelativePathSize, path);
}

GZARC_API void GZARC_CALL SetInputPath(const char* path) { ApplyInputPath(path); }

GZARC_API void GZARC_CALL SetPackLevel(int32_t level) { Engine().PackLevel = level; }

GZARC_API void GZARC_CALL SetCompExtraFeatures(const void* record) {
  if (record == nullptr) return;
  const auto* bytes = static_cast<const uint8_t*>(record);
  EngineState& e = Engine();

  const char* text = reinterpret_cast<const char*>(bytes + GZARC_COMP_FEATURE_TEXT);
  if (BoundedLength(text, kFeatureStringSize) < kFeatureStringSize) {
    CopyBounded(e.compFeatureText, kFeatureStringSize, text);
  }

  const char* relative = reinterpret_cast<const char*>(bytes + GZARC_COMP_RELATIVE_PATH);
  const std::size_t relativeLength = BoundedLength(relative, kFeatureStringSize);
  if (relativeLength == 0) {
    e.compRelativePath[0] = '\0';
  } else if (relativeLength < kRelativePathSize) {
    CopyBounded(e.compRelativePath, kFeatureStringSize, relative);
    CopyBounded(e.RelativePath, kRelativePathSize, relative);
  }

  const char* input = reinterpret_cast<const char*>(bytes + GZARC_COMP_INPUT_PATH);
  const std::size_t inputLength = BoundedLength(input, kFeatureStringSize);
  if (inputLength == 0) {
    e.compInputPath[0] = '\0';
  } else if (inputLength < kFeatureStringSize && ApplyInputPath(input)) {
    CopyBounded(e.compInputPath, kFeatureStringSize, input);
  }

  e.compValueA = ReadWord(bytes, GZARC_COMP_VALUE_A);
  e.compValueB = ReadWord(bytes, GZARC_COMP_VALUE_B);
}

GZARC_API void GZARC_CALL SetDecompExtraFeatures(const void* record) {
  if (record == nullptr) return;
  EngineState& e = Engine();
  std::memcpy(e.decompFeatures, record, GZARC_DECOMP_RECORD_SIZE);

  const char* dir = reinterpret_cast<const char*>(e.decompFeatures + GZARC_DECOMP_EXTRACT_DIR);
  const std::size_t dirLength = BoundedLength(dir, kDecompExtractDirWidth);
  if (dirLength > 0 && dirLength < kDecompExtractDirWidth) ApplyExtractDir(dir);

  const char* relative =
      reinterpret_cast<const char*>(e.decompFeatures + GZARC_DECOMP_RELATIVE_PATH);
  if (BoundedLength(relative, kFeatureStringSize) > 0) {
    CopyBounded(e.RelativePath, kRelativePathSize, relative);
  }
}

GZARC_API void GZARC_CALL GetExtraInfoArc(ArcExtraInfo* buffer) {
  if (buffer != nullptr) std::memcpy(buffer, &Engine().arcExtraInfo, sizeof(ArcExtraInfo));
}

GZARC_API MainComment* GZARC_CALL GetMainCommentArc(MainComment* record) {
  if (record != nullptr) {
    record->word0 = 0;
    record->word1 = 0;
  }
  return record;
}

GZARC_API void GZARC_CALL TestArc(...) { SetNotSupported(); }
GZARC_API void GZARC_CALL AddDamageGuardArc(...) { SetNotSupported(); }
GZARC_API void GZARC_CALL BuildUnDamagedArc(...) { SetNotSupported(); }
GZARC_API void GZARC_CALL CreateArcSfx2(...) { SetNotSupported(); }
GZARC_API void GZARC_CALL CreateDirectoryArc(...) { SetNotSupported(); }
GZARC_API void GZARC_CALL CreateExeArc(...) { SetNotSupported(); }
GZARC_API void GZARC_CALL SetFileCommentsArc(...) { SetNotSupported(); }
GZARC_API void GZARC_CALL SetMainCommentArc(...) { SetNotSupported(); }
GZARC_API void GZARC_CALL StripDamageGuardArc(...) { SetNotSupported(); }

GZARC_API void GZARC_CALL SetCryptKey(...) {}
GZARC_API void GZARC_CALL SetSetCryptKeyProc(...) {}

}  // extern "C"
