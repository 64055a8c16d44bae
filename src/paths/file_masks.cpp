// File mask lists and wildcard matching.
#include "paths/file_masks.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "engine/engine_state.h"
#include "paths/strings.h"
#include "platform/platform.h"

namespace gzarc {
namespace {

using Piece = std::array<char, kPathPieceSize>;
using WorkBuffer = std::array<char, kMaskWorkSize>;

// Copies text[from, to) into a piece, cut to what the piece holds.
void CopyPiece(const char* text, std::size_t from, std::size_t to, char* piece) {
  const std::size_t n = std::min(to - from, std::size_t{kPathPieceSize - 1});
  std::memcpy(piece, text + from, n);
  piece[n] = '\0';
}

// Copies a name into the work buffer, cut to fit, with forward slashes
// turned into backslashes.
void LoadWorkBuffer(const char* text, WorkBuffer& work) {
  std::size_t n = 0;
  if (text != nullptr) {
    for (; n + 1 < work.size() && text[n] != '\0'; ++n) work[n] = text[n] == '/' ? '\\' : text[n];
  }
  work[n] = '\0';
}

bool AppendMask(const char* mask, FileMaskList* list) {
  WorkBuffer work;
  LoadWorkBuffer(mask, work);

  Piece drive, folder, name, extension;
  SplitPath(work.data(), drive.data(), folder.data(), name.data(), extension.data());
  InsertString(drive.data(), folder.data(), 0);

  FileMaskEntry built{};
  if (extension[0] != '\0') CopyShort(built.extension, extension.data() + 1);
  CopyShort(built.name, name.data());
  built.next = nullptr;

  built.folder = DuplicateString(folder.data());
  if (built.folder == nullptr) {
    SetStatus(GZARC_STATUS_NO_MEMORY);
    return false;
  }
  FileMaskEntry* entry = nullptr;
  if (!AllocBlock(&entry, sizeof(FileMaskEntry))) {
    FreeBlock(&built.folder);
    SetStatus(GZARC_STATUS_NO_MEMORY);
    return false;
  }
  std::memcpy(entry, &built, sizeof built);
  if (list->head == nullptr) {
    list->head = entry;
  } else {
    list->tail->next = entry;
  }
  list->tail = entry;
  return true;
}

void ReleaseMasks(FileMaskList* list) {
  FileMaskEntry* entry = list->head;
  while (entry != nullptr) {
    FileMaskEntry* next = entry->next;
    FreeBlock(&entry->folder);
    FreeBlock(&entry);
    entry = next;
  }
  list->head = nullptr;
  list->tail = nullptr;
}

// A folded copy of a host-visible field, bounded even when the field has
// lost its terminator.
void FoldedPiece(const char* text, Piece& piece) {
  CopyShort(piece.data(), text);
  FoldString(piece.data(), piece.data());
}

// Each position of the mask is "?" or the candidate's character there.
bool WildcardEqual(const char* mask, const char* candidate) {
  for (std::size_t i = 0; mask[i] != '\0'; ++i) {
    if (mask[i] != '?' && mask[i] != candidate[i]) return false;
  }
  return true;
}

}  // namespace

void SplitPath(const char* path, char* drive, char* folder, char* name, char* extension) {
  drive[0] = folder[0] = name[0] = extension[0] = '\0';
  if (path == nullptr) return;

  std::size_t start = 0;
  if (path[0] != '\0' && path[1] == ':') {
    CopyPiece(path, 0, 2, drive);
    start = 2;
  }
  std::size_t folderEnd = start;
  std::size_t dot = 0;
  bool hasDot = false;
  std::size_t i = start;
  while (path[i] != '\0') {
    const auto c = static_cast<uint8_t>(path[i]);
    if (platform::IsDBCSLeadByte(c) && path[i + 1] != '\0') {
      i += 2;
      continue;
    }
    if (c == '\\' || c == '/') {
      folderEnd = i + 1;
      hasDot = false;  // only a dot after the folder starts an extension
    } else if (c == '.') {
      dot = i;
      hasDot = true;
    }
    ++i;
  }
  const std::size_t nameEnd = hasDot ? dot : i;
  CopyPiece(path, start, folderEnd, folder);
  CopyPiece(path, folderEnd, nameEnd, name);
  CopyPiece(path, nameEnd, i, extension);
}

uint8_t FoldChar(uint8_t c) {
  if (c >= 'a' && c <= 'z') return static_cast<uint8_t>(c - 'a' + 'A');
  if (c == 0xE4) return 0xC4;
  if (c == 0xF6) return 0xD6;
  return c;
}

char* FoldString(const char* source, char* destination) {
  std::size_t i = 0;
  do {
    destination[i] = static_cast<char>(FoldChar(static_cast<uint8_t>(source[i])));
  } while (source[i++] != '\0');
  return destination;
}

bool MatchFileMaskList(const char* name, const FileMaskList* list) {
  if (list == nullptr || list->head == nullptr) return true;
  WorkBuffer work;
  LoadWorkBuffer(name, work);
  FoldString(work.data(), work.data());
  for (const FileMaskEntry* entry = list->head; entry != nullptr; entry = entry->next) {
    if (MatchFileMask(work.data(), entry)) return true;
  }
  return false;
}

bool MatchFileMask(const char* candidate, const FileMaskEntry* entry) {
  Piece drive, cf, cn, ce;
  SplitPath(candidate, drive.data(), cf.data(), cn.data(), ce.data());
  InsertString(drive.data(), cf.data(), 0);
  DeleteChars(ce.data(), 0, 1);
  FoldString(cf.data(), cf.data());
  FoldString(cn.data(), cn.data());
  FoldString(ce.data(), ce.data());

  Piece mf, mn, me;
  FoldedPiece(entry->folder != nullptr ? entry->folder : "", mf);
  FoldedPiece(entry->name, mn);
  FoldedPiece(entry->extension, me);

  const bool anyName = mn[0] == '*';
  const bool anyExtension = me[0] == '*';
  if (anyName && anyExtension) {
    if (mf[0] == '\0') return true;
    if (std::strstr(cf.data(), mf.data()) == nullptr) return false;
    // The folder decides by the character at the mask folder's last index.
    const std::size_t k = std::strlen(mf.data()) - 1;
    return cf[k] == mf[k];
  }
  if (std::strcmp(mf.data(), cf.data()) != 0) return false;
  if (!anyName && std::strlen(cn.data()) != std::strlen(mn.data())) return false;
  if (!anyExtension && std::strlen(ce.data()) != std::strlen(me.data())) return false;
  if (!anyName && !WildcardEqual(mn.data(), cn.data())) return false;
  if (!anyExtension && !WildcardEqual(me.data(), ce.data())) return false;
  return true;
}

}  // namespace gzarc

extern "C" {

GZARC_API FileMaskList* GZARC_CALL InitFileMaskList(FileMaskList* list) {
  if (list != nullptr) list->head = list->tail = nullptr;
  return list;
}

GZARC_API uint8_t GZARC_CALL AppendFileMask(const char* mask, FileMaskList* list) {
  if (list == nullptr) return 0;
  return gzarc::AppendMask(mask, list) ? 1 : 0;
}

GZARC_API void GZARC_CALL DoneFileMaskList(FileMaskList* list) {
  if (list != nullptr) gzarc::ReleaseMasks(list);
}

}  // extern "C"
