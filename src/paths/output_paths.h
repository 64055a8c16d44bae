// Path routines and creation of output files with their folders.
#pragma once

#include <cstdint>

namespace gzarc {

inline constexpr unsigned kOutputPathSize = 256;  // 255 characters
inline constexpr uint8_t kCharNotFound = 255;

// Creates or truncates the file, creating missing folders one level at a
// time. Status 0 and the handle on success; status 5 and -1 otherwise.
void CreateOutputFile(int* handle, const char* path);
// 1 for a network path (\\server\share\...), with prefix and remainder.
int SplitUncPath(const char* path, char* remainder, char* prefix);
void AddTrailingBackslash(const char* path, char* result);
void FileNamePart(const char* path, char* result);
bool PathExists(const char* path);
void ResetFileAttributes(const char* path);
void CopyChars(const char* text, uint8_t position, uint8_t count, char* result);
uint8_t FindChar(char c, const char* text);

}  // namespace gzarc
