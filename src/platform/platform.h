// The engine's only door to the operating system.
//
// Everything the engine needs from the system (the C runtime's low-level
// file I/O and the Windows file, time and character services) is declared
// here with Windows semantics. Paths arrive in Windows form (backslashes);
// each implementation maps them at the system boundary. No other part of the
// engine includes a system header.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gzarc.h"

namespace gzarc::platform {

// ---- Low-level file I/O (C runtime semantics) -----------------------------

// Open flags, with the values of the Windows C runtime.
inline constexpr int kOpenReadOnly = 0x0000;
inline constexpr int kOpenWriteOnly = 0x0001;
inline constexpr int kOpenReadWrite = 0x0002;
inline constexpr int kOpenCreate = 0x0100;
inline constexpr int kOpenTruncate = 0x0200;
inline constexpr int kOpenExclusive = 0x0400;
inline constexpr int kOpenBinary = 0x8000;

// Permission bits of a created file.
inline constexpr int kPermissionRead = 0x0100;
inline constexpr int kPermissionWrite = 0x0080;
// Added to them, the created file is open to its owner alone (POSIX; Windows
// has no such permissions), so that nobody else can open it before
// CopyPermissions gives it its final ones.
inline constexpr int kPermissionOwnerOnly = 0x10000;

// Seek origins.
inline constexpr int kSeekSet = 0;
inline constexpr int kSeekCurrent = 1;
inline constexpr int kSeekEnd = 2;

inline constexpr int kNoFile = -1;

// Returns a descriptor, or kNoFile. Opening a read-only file for writing
// fails, whoever the caller is.
int OpenFile(const char* path, int flags, int permission = 0);
// Bytes read (0 at the end), or -1 on failure.
int32_t ReadFile(int fd, void* buffer, uint32_t count);
// Bytes written, or -1 on failure.
int32_t WriteFile(int fd, const void* buffer, uint32_t count);
// New position, or -1 on failure.
int64_t SeekFile(int fd, int64_t offset, int origin);
// Length of an open file, or -1 on failure.
int64_t FileLength(int fd);
// Cuts an open file back (or extends it) to length bytes and moves its
// position there; 0 on success.
int TruncateFile(int fd, int64_t length);
// Puts what was written to an open file on stable storage; 0 on success, or
// when the file system has no such thing to do.
int FlushFile(int fd);
int CloseFile(int fd);
// Gives the open file `to` the access permissions of the open file `from`:
// on POSIX read, write and execute for owner, group and others (no set-id or
// sticky bits), the owner always keeping read and write, since read-only is
// the attributes' business, as on Windows. Windows has no such permissions
// and leaves the file alone. 0 on success.
int CopyPermissions(int from, int to);

// 0 on success.
int RemoveFile(const char* path);
// Creates one folder level; 0 on success.
int MakeDirectory(const char* path);
// Whether ":" ends a drive ("C:name"), as in Windows paths; a POSIX file
// name holds a ":" like any other character.
bool ColonEndsDrive();
// The runtime's existence test (access mode 0).
bool PathAccessible(const char* path);

struct FileStatus {
  bool isDirectory;
  int64_t size;
  int64_t modificationTime;  // seconds since 1970-01-01 UTC
};
// Fails for a missing path and for any path holding "?" or "*".
bool StatFile(const char* path, FileStatus* status);
// True when both paths name one existing file: compared by the file's
// identity where the system keeps one (device and inode; volume and file
// index), so that links and other spellings of a path are seen through.
bool SameFile(const char* a, const char* b);
// Sets last-access and last-write times (seconds since 1970 UTC); 0 on success.
int SetFileTimes(const char* path, int64_t accessTime, int64_t modificationTime);

// Moves a file over another, replacing the target (a link at the target is
// replaced, never written through). 0 on success.
int ReplaceFile(const char* from, const char* to);

// Creates a new empty file beside target (same folder, short unique name)
// opened for reading and writing and, like kPermissionOwnerOnly, open to its
// owner alone; its path goes to tempPath. Returns the descriptor or kNoFile.
inline constexpr std::size_t kTempPathCapacity = 320;
int CreateTempFileBeside(const char* target, char* tempPath, std::size_t capacity);

// ---- Windows file services ------------------------------------------------

inline constexpr uint32_t kAttributeReadOnly = 0x01;
inline constexpr uint32_t kAttributeHidden = 0x02;
inline constexpr uint32_t kAttributeSystem = 0x04;
inline constexpr uint32_t kAttributeDirectory = 0x10;
inline constexpr uint32_t kAttributeArchive = 0x20;
inline constexpr uint32_t kAttributeNormal = 0x80;
inline constexpr uint32_t kInvalidAttributes = 0xFFFFFFFFu;

uint32_t GetFileAttributesA(const char* path);
// 0 on success, otherwise the system's error code. Never follows a link.
uint32_t SetFileAttributesA(const char* path, uint32_t attributes);
// FindFirstFileA followed by FindClose: true and the record when found.
bool FindFirstFileA(const char* path, FindData* data);

// ---- Time -----------------------------------------------------------------

// The runtime's local-time conversion of a 32-bit time_t.
struct LocalTimeFields {
  int year;   // full year
  int month;  // 1..12
  int day;    // 1..31
  int hour;
  int minute;
  int second;
  int weekday;  // 0 = Sunday
};
// False when the conversion rejects the value (negative times, as the
// Windows runtime does).
bool LocalTime(int64_t unixTime, LocalTimeFields* fields);

struct SystemTime {
  uint16_t year, month, dayOfWeek, day, hour, minute, second, milliseconds;
};
bool SystemTimeToFileTime(const SystemTime& system, FindFileTime* file);
bool LocalFileTimeToFileTime(const FindFileTime& local, FindFileTime* utc);
bool FileTimeToDosDateTime(const FindFileTime& file, uint16_t* dosDate, uint16_t* dosTime);

// ---- Character services ---------------------------------------------------

// In-place code-page conversions and upper-casing of a zero-terminated string.
void CharToOemA(char* text);
void OemToCharA(char* text);
void CharUpperA(char* text);
bool IsDBCSLeadByte(uint8_t byte);

// ---- Memory ---------------------------------------------------------------

void* AllocateMemory(std::size_t size);  // nullptr on failure
void FreeMemory(void* block);

}  // namespace gzarc::platform
