// Path routines and creation of output files with their folders.
#pragma once

#include <cstdint>

namespace gzarc {

inline constexpr unsigned kOutputPathSize = 256;  // 255 characters
inline constexpr unsigned kUncPartSize = 261;     // network prefix and remainder
inline constexpr uint8_t kCharNotFound = 255;

// Creates or truncates the file, creating missing folders one level at a
// time. Status 0 and the handle on success; status 5 and -1 otherwise (also
// for a path longer than 255 characters).
void CreateOutputFile(int* handle, const char* path);

// Opens the output file at path; returns a descriptor or -1.
using OutputOpener = int (*)(const char* path, void* context);
// The folder walk of CreateOutputFile with another way of opening the file:
// open(path, context) runs wherever the walk tries the file.
void CreateOutputFileWith(int* handle, const char* path, OutputOpener open, void* context);

// The file-system steps of the walk, so that it can run against something
// other than the disk (network paths cannot be exercised on every system).
struct OutputFileSystem {
  OutputOpener open;
  bool (*exists)(const char* path, void* context);
  int (*makeDirectory)(const char* path, void* context);  // 0 on success
  void* context;
};
void CreateOutputFileIn(int* handle, const char* path, const OutputFileSystem& fileSystem);

// 1 for a network path (\\server\share\...), with prefix and remainder
// (each kUncPartSize bytes); 0 otherwise, the prefix left alone.
int SplitUncPath(const char* path, char* remainder, char* prefix);
// The path with "\" appended unless empty or ending in "\" or ":"; result
// holds kOutputPathSize bytes and may be the path. False (no backslash
// added) when it would not fit.
bool AddTrailingBackslash(const char* path, char* result);
// What follows the last "\" or, where a colon ends a drive (Windows), the
// last ":"; the whole path when it has neither. Result holds kOutputPathSize
// bytes and may be the path. False when the component is longer than 255
// characters (it is then cut).
bool FileNamePart(const char* path, char* result);
// False for a final component that names no file of its own: empty, "." or
// "..".
bool NamesAFile(const char* component);
bool PathExists(const char* path);
void ResetFileAttributes(const char* path);
// Up to count characters from position; result holds kOutputPathSize bytes.
void CopyChars(const char* text, uint8_t position, uint8_t count, char* result);
// Position of the first c within the first 255 characters, or kCharNotFound.
uint8_t FindChar(char c, const char* text);

}  // namespace gzarc
