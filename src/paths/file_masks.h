// File mask lists: splitting, case folding and wildcard matching.
#pragma once

#include <cstdint>

#include "gzarc.h"

namespace gzarc {

inline constexpr unsigned kMaskWorkSize = 260;
inline constexpr unsigned kPathPieceSize = 256;

// Splits a path into drive, folder (with its trailing separator), base name
// and extension (with its dot); each output holds kPathPieceSize bytes and
// each piece is cut to 255 characters.
void SplitPath(const char* path, char* drive, char* folder, char* name, char* extension);

uint8_t FoldChar(uint8_t c);
// Folds every byte up to and including the terminator; destination may be
// the source itself.
char* FoldString(const char* source, char* destination);

// True when the list is empty or any of its masks matches the name.
bool MatchFileMaskList(const char* name, const FileMaskList* list);
// The candidate is already folded and written with backslashes.
bool MatchFileMask(const char* candidate, const FileMaskEntry* entry);

}  // namespace gzarc
