// Path routines and creation of output files with their folders.
#include "paths/output_paths.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "engine/engine_state.h"
#include "paths/strings.h"
#include "platform/platform.h"

namespace gzarc {
namespace {

using WalkBuffer = std::array<char, kOutputPathSize>;
using UncBuffer = std::array<char, kUncPartSize>;

int OpenOutput(const char* path, void*) {
  namespace pf = platform;
  return pf::OpenFile(path,
                      pf::kOpenReadWrite | pf::kOpenCreate | pf::kOpenTruncate | pf::kOpenBinary,
                      pf::kPermissionRead | pf::kPermissionWrite);
}
bool DiskPathExists(const char* path, void*) {
  return PathExists(path);
}
int DiskMakeDirectory(const char* path, void*) {
  return platform::MakeDirectory(path);
}

// Appends text when the whole of it fits the buffer; false otherwise, the
// buffer unchanged.
template <std::size_t N>
bool Append(std::array<char, N>& buffer, const char* text) {
  const std::size_t have = std::strlen(buffer.data());
  const std::size_t add = std::strlen(text);
  if (have + add + 1 > N) return false;
  std::memcpy(buffer.data() + have, text, add + 1);
  return true;
}

bool EndsWith(const char* text, char c) {
  const std::size_t n = std::strlen(text);
  return n != 0 && text[n - 1] == c;
}

// Moves the next folder component from the walk onto the folder path built
// so far. Leading separators and drives carry straight on to the following
// component: there is nothing to create for them. False when only the file
// name is left (or, defensively, when the folder would not fit).
bool TakeNextFolder(WalkBuffer& walk, WalkBuffer& built) {
  for (;;) {
    const uint8_t k = FindChar('\\', walk.data());
    if (k == kCharNotFound) return false;
    WalkBuffer component;
    CopyChars(walk.data(), 0, k, component.data());
    if (!AddTrailingBackslash(built.data(), built.data())) return false;
    if (!Append(built, component.data())) return false;
    DeleteChars(walk.data(), 0, static_cast<uint8_t>(k + 1));
    if (built[0] != '\0' && !EndsWith(built.data(), ':')) return true;
    if (!Append(built, "\\")) return false;
  }
}

// The folder to look for: the built path, behind the server and share of a
// network path.
void FolderToCheck(bool network, const UncBuffer& prefix, const WalkBuffer& built,
                   std::array<char, kUncPartSize + kOutputPathSize>& folder) {
  folder[0] = '\0';
  if (network) {
    Append(folder, prefix.data());
    const std::size_t n = std::strlen(folder.data());
    if (built[0] == '\\' && n != 0 && folder[n - 1] == '\\') folder[n - 1] = '\0';
  }
  Append(folder, built.data());
}

}  // namespace

void CreateOutputFile(int* handle, const char* path) {
  CreateOutputFileWith(handle, path, OpenOutput, nullptr);
}

void CreateOutputFileWith(int* handle, const char* path, OutputOpener open, void* context) {
  const OutputFileSystem disk{open, DiskPathExists, DiskMakeDirectory, context};
  CreateOutputFileIn(handle, path, disk);
}

void CreateOutputFileIn(int* handle, const char* path, const OutputFileSystem& fs) {
  *handle = platform::kNoFile;
  SetStatus(GZARC_STATUS_FILE_ERROR);
  // The walk's buffers and 8-bit routines hold 255 characters; a longer path
  // is refused before anything is touched.
  if (path == nullptr || BoundedLength(path, kOutputPathSize) >= kOutputPathSize) return;

  WalkBuffer walk{};
  WalkBuffer built{};
  UncBuffer prefix{};
  UncBuffer remainder{};
  CopyShort(walk.data(), path);
  const bool network = SplitUncPath(path, remainder.data(), prefix.data()) == 1;
  if (network) CopyShort(walk.data(), remainder.data());

  std::array<char, kUncPartSize + kOutputPathSize> folder{};
  for (;;) {
    const int fd = fs.open(path, fs.context);
    if (fd != platform::kNoFile) {
      *handle = fd;
      SetStatus(GZARC_STATUS_OK);
      return;
    }
    SetStatus(GZARC_STATUS_FILE_ERROR);
    if (!TakeNextFolder(walk, built)) return;
    FolderToCheck(network, prefix, built, folder);
    if (!fs.exists(folder.data(), fs.context) && fs.makeDirectory(folder.data(), fs.context) != 0) {
      return;
    }
  }
}

int SplitUncPath(const char* path, char* remainder, char* prefix) {
  const std::size_t length = std::strlen(path);
  if (length > 2 && path[0] == '\\' && path[1] == '\\') {
    std::size_t found = 0;
    std::size_t j = 2;
    for (; j < length; ++j) {
      if (path[j] == '\\' && ++found == 2) break;
    }
    if (found == 2) {
      const std::size_t prefixLength = std::min(j + 1, std::size_t{kUncPartSize - 1});
      std::memcpy(prefix, path, prefixLength);
      prefix[prefixLength] = '\0';
      const std::size_t restLength = std::min(length - j - 1, std::size_t{kUncPartSize - 1});
      std::memcpy(remainder, path + j + 1, restLength);
      remainder[restLength] = '\0';
      return 1;
    }
    if (found == 1) {
      const std::size_t prefixLength = std::min(length, std::size_t{kUncPartSize - 1});
      std::memcpy(prefix, path, prefixLength);
      prefix[prefixLength] = '\0';
      remainder[0] = '\0';
      return 1;
    }
  }
  const std::size_t restLength = std::min(length, std::size_t{kUncPartSize - 1});
  std::memmove(remainder, path, restLength);
  remainder[restLength] = '\0';
  return 0;
}

bool AddTrailingBackslash(const char* path, char* result) {
  const bool whole = std::strlen(path) <= kShortStringMax;
  const std::size_t n = CopyShort(result, path);
  if (n == 0 || result[n - 1] == '\\' || result[n - 1] == ':') return whole;
  if (!whole || n + 1 > kShortStringMax) return false;
  result[n] = '\\';
  result[n + 1] = '\0';
  return true;
}

bool FileNamePart(const char* path, char* result) {
  const bool drives = platform::ColonEndsDrive();
  std::size_t start = std::strlen(path);
  while (start > 0 && path[start - 1] != '\\' && !(drives && path[start - 1] == ':')) --start;
  const bool fits = std::strlen(path + start) <= kShortStringMax;
  CopyShort(result, path + start);
  return fits;
}

bool NamesAFile(const char* component) {
  return component[0] != '\0' && std::strcmp(component, ".") != 0 &&
         std::strcmp(component, "..") != 0;
}

bool PathExists(const char* path) {
  return path != nullptr && path[0] != '\0' && platform::PathAccessible(path);
}

void ResetFileAttributes(const char* path) {
  if (PathExists(path)) platform::SetFileAttributesA(path, platform::kAttributeArchive);
}

void CopyChars(const char* text, uint8_t position, uint8_t count, char* result) {
  const std::size_t length = ShortLength(text);
  if (count == 0 || position >= length) {
    result[0] = '\0';
    return;
  }
  const std::size_t n = std::min<std::size_t>(count, length - position);
  std::memmove(result, text + position, n);
  result[n] = '\0';
}

uint8_t FindChar(char c, const char* text) {
  const std::size_t length = ShortLength(text);
  for (std::size_t i = 0; i < length; ++i) {
    if (text[i] == c) return static_cast<uint8_t>(i);
  }
  return kCharNotFound;
}

}  // namespace gzarc
