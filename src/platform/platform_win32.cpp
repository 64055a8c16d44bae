// Win32 implementation of the platform layer: the C runtime's low-level I/O
// (msvcrt) and the KERNEL32 and USER32 file, time and character services,
// called as they are. Paths are already in Windows form.
#include "platform/platform.h"
#include "platform/platform_faults.h"

// clang-format off
#include <windows.h>
// clang-format on
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/utime.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

// The Windows headers turn these into macros of their A/W variants; the
// platform layer means its own functions.
#undef ReplaceFile

namespace gzarc::platform {

// The platform constants are the runtime's own values, so flags pass through.
static_assert(kOpenReadOnly == _O_RDONLY && kOpenWriteOnly == _O_WRONLY &&
              kOpenReadWrite == _O_RDWR && kOpenCreate == _O_CREAT && kOpenTruncate == _O_TRUNC &&
              kOpenExclusive == _O_EXCL && kOpenBinary == _O_BINARY);
static_assert(kPermissionRead == _S_IREAD && kPermissionWrite == _S_IWRITE);
static_assert(kSeekSet == SEEK_SET && kSeekCurrent == SEEK_CUR && kSeekEnd == SEEK_END);
static_assert(kAttributeReadOnly == FILE_ATTRIBUTE_READONLY &&
              kAttributeHidden == FILE_ATTRIBUTE_HIDDEN &&
              kAttributeSystem == FILE_ATTRIBUTE_SYSTEM &&
              kAttributeDirectory == FILE_ATTRIBUTE_DIRECTORY &&
              kAttributeArchive == FILE_ATTRIBUTE_ARCHIVE &&
              kAttributeNormal == FILE_ATTRIBUTE_NORMAL &&
              kInvalidAttributes == INVALID_FILE_ATTRIBUTES);

// The replace callback receives the system's own record.
static_assert(sizeof(FindData) == sizeof(WIN32_FIND_DATAA));
static_assert(offsetof(FindData, attributes) == offsetof(WIN32_FIND_DATAA, dwFileAttributes));
static_assert(offsetof(FindData, creationTime) == offsetof(WIN32_FIND_DATAA, ftCreationTime));
static_assert(offsetof(FindData, lastAccessTime) == offsetof(WIN32_FIND_DATAA, ftLastAccessTime));
static_assert(offsetof(FindData, lastWriteTime) == offsetof(WIN32_FIND_DATAA, ftLastWriteTime));
static_assert(offsetof(FindData, sizeHigh) == offsetof(WIN32_FIND_DATAA, nFileSizeHigh));
static_assert(offsetof(FindData, sizeLow) == offsetof(WIN32_FIND_DATAA, nFileSizeLow));
static_assert(offsetof(FindData, fileName) == offsetof(WIN32_FIND_DATAA, cFileName));
static_assert(offsetof(FindData, alternateFileName) ==
              offsetof(WIN32_FIND_DATAA, cAlternateFileName));
static_assert(sizeof(FindFileTime) == sizeof(FILETIME));

#if !defined(_WIN64)
// The 32-bit hosts' record layouts, byte for byte.
static_assert(sizeof(void*) == 4);
static_assert(sizeof(FindData) == 320 && offsetof(FindData, fileName) == 44 &&
              offsetof(FindData, alternateFileName) == 304);
static_assert(sizeof(FileMaskEntry) == 520 && offsetof(FileMaskEntry, name) == 4 &&
              offsetof(FileMaskEntry, extension) == 260 && offsetof(FileMaskEntry, next) == 516);
static_assert(sizeof(FileMaskList) == 8 && offsetof(FileMaskList, tail) == 4);
static_assert(sizeof(ArcEntry) == 488 && offsetof(ArcEntry, name) == 4 &&
              offsetof(ArcEntry, packedSize) == 280 && offsetof(ArcEntry, unpackedSize) == 288 &&
              offsetof(ArcEntry, dosDateTime) == 296 && offsetof(ArcEntry, attributes) == 300 &&
              offsetof(ArcEntry, hostWords) == 304);
static_assert(sizeof(ArcEntryList) == 12 && offsetof(ArcEntryList, head) == 4 &&
              offsetof(ArcEntryList, tail) == 8);
static_assert(sizeof(ArcExtraInfo) == 384 && offsetof(ArcExtraInfo, hostSystemCode) == 32 &&
              offsetof(ArcExtraInfo, count) == 36 &&
              offsetof(ArcExtraInfo, totalPackedSize) == 40 &&
              offsetof(ArcExtraInfo, totalUnpackedSize) == 48 &&
              offsetof(ArcExtraInfo, ratio) == 56);
static_assert(sizeof(MainComment) == 8);
#endif

namespace {

FILETIME ToFileTime(const FindFileTime& t) {
  FILETIME f;
  f.dwLowDateTime = t.low;
  f.dwHighDateTime = t.high;
  return f;
}

FindFileTime FromFileTime(const FILETIME& f) {
  return FindFileTime{static_cast<uint32_t>(f.dwLowDateTime),
                      static_cast<uint32_t>(f.dwHighDateTime)};
}

bool IsReadOnlyFile(const char* path) {
  const DWORD attributes = ::GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) ==
             FILE_ATTRIBUTE_READONLY;
}

// A search pattern finds other files than the one named: a name with a
// wildcard names no file (the \\?\ prefix of a long path is no wildcard).
bool HasWildcard(const char* path) {
  if (std::strncmp(path, "\\\\?\\", 4) == 0) path += 4;
  return std::strpbrk(path, "?*") != nullptr;
}

enum class Identity { kMissing, kKnown, kUnknown };

struct FileIdentity {
  DWORD volume = 0, indexHigh = 0, indexLow = 0;
};

// The volume and file index of the file at path. Opened without asking for
// any access, so that a file the engine or others hold open can be looked
// at; a file system that keeps no index reports zero.
Identity IdentifyFile(const char* path, FileIdentity* identity) {
  const HANDLE file = ::CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return ::GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES ? Identity::kMissing
                                                                 : Identity::kUnknown;
  }
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = ::GetFileInformationByHandle(file, &info) &&
                     (info.nFileIndexHigh != 0 || info.nFileIndexLow != 0);
  ::CloseHandle(file);
  if (!known) return Identity::kUnknown;
  *identity = FileIdentity{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
  return Identity::kKnown;
}

// Both made absolute and compared ignoring case, as the file system names
// them.
bool SameFullPath(const char* a, const char* b) {
  char fullA[2 * MAX_PATH];
  char fullB[2 * MAX_PATH];
  const DWORD na = ::GetFullPathNameA(a, sizeof fullA, fullA, nullptr);
  const DWORD nb = ::GetFullPathNameA(b, sizeof fullB, fullB, nullptr);
  return na != 0 && na < sizeof fullA && nb != 0 && nb < sizeof fullB &&
         ::lstrcmpiA(fullA, fullB) == 0;
}

}  // namespace

int OpenFile(const char* path, int flags, int permission) {
  if (faults::Fail(faults::Call::kOpen)) return kNoFile;
  if (path == nullptr || path[0] == '\0') return kNoFile;
  // The system refuses writers of a read-only file; say so before the
  // runtime asks, since a system that grants its administrator everything
  // (Wine run by root) would not.
  if ((flags & 3) != kOpenReadOnly && IsReadOnlyFile(path)) return kNoFile;
  const int fd = ::_open(path, flags, permission & ~kPermissionOwnerOnly);
  return fd < 0 ? kNoFile : fd;
}

int32_t ReadFile(int fd, void* buffer, uint32_t count) {
  if (faults::Fail(faults::Call::kRead)) return -1;
  return ::_read(fd, buffer, count);
}

int32_t WriteFile(int fd, const void* buffer, uint32_t count) {
  if (faults::Fail(faults::Call::kWrite)) return -1;
  count = faults::ShortWrite(count);
  const char* bytes = static_cast<const char*>(buffer);
  uint32_t done = 0;
  while (done < count) {
    const int n = ::_write(fd, bytes + done, count - done);
    if (n < 0) return done > 0 ? static_cast<int32_t>(done) : -1;
    if (n == 0) break;  // a full disk: the runtime stores nothing more
    done += static_cast<uint32_t>(n);
  }
  return static_cast<int32_t>(done);
}

int64_t SeekFile(int fd, int64_t offset, int origin) {
  return ::_lseeki64(fd, offset, origin);
}

int64_t FileLength(int fd) {
  return ::_filelengthi64(fd);
}

int TruncateFile(int fd, int64_t length) {
  // Through the system handle: the runtime's own 64-bit truncation is not
  // in every system's copy of the runtime.
  const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
  if (handle == INVALID_HANDLE_VALUE) return -1;
  LARGE_INTEGER at;
  at.QuadPart = length;
  if (!::SetFilePointerEx(handle, at, nullptr, FILE_BEGIN) || !::SetEndOfFile(handle)) return -1;
  return ::_lseeki64(fd, length, SEEK_SET) == length ? 0 : -1;
}

int FlushFile(int fd) {
  const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
  if (handle == INVALID_HANDLE_VALUE) return -1;
  return ::FlushFileBuffers(handle) ? 0 : -1;
}

int CloseFile(int fd) {
  return fd < 0 ? -1 : ::_close(fd);
}

int CopyPermissions(int, int) {
  return 0;
}

int RemoveFile(const char* path) {
  if (path == nullptr || IsReadOnlyFile(path)) return -1;
  return ::_unlink(path);
}

int MakeDirectory(const char* path) {
  if (faults::Fail(faults::Call::kMakeDirectory)) return -1;
  if (path == nullptr || path[0] == '\0') return -1;
  return ::_mkdir(path);
}

bool ColonEndsDrive() {
  return true;
}

bool PathAccessible(const char* path) {
  return path != nullptr && path[0] != '\0' && ::_access(path, 0) == 0;
}

bool StatFile(const char* path, FileStatus* status) {
  if (path == nullptr || std::strpbrk(path, "?*") != nullptr) return false;
  struct _stat64 st {};
  if (::_stat64(path, &st) != 0) return false;
  status->isDirectory = (st.st_mode & _S_IFDIR) != 0;
  status->size = st.st_size;
  status->modificationTime = st.st_mtime;
  return true;
}

bool SameFile(const char* a, const char* b) {
  if (a == nullptr || b == nullptr || a[0] == '\0' || b[0] == '\0') return false;
  FileIdentity ia, ib;
  const Identity ka = IdentifyFile(a, &ia);
  const Identity kb = IdentifyFile(b, &ib);
  if (ka == Identity::kMissing || kb == Identity::kMissing) return false;
  if (ka == Identity::kKnown && kb == Identity::kKnown) {
    return ia.volume == ib.volume && ia.indexHigh == ib.indexHigh && ia.indexLow == ib.indexLow;
  }
  // Where the system cannot tell (a network share without file indexes),
  // the names decide.
  return SameFullPath(a, b);
}

int SetFileTimes(const char* path, int64_t accessTime, int64_t modificationTime) {
  if (path == nullptr) return -1;
  struct __utimbuf64 times {};
  times.actime = accessTime;
  times.modtime = modificationTime;
  return ::_utime64(path, &times);
}

int ReplaceFile(const char* from, const char* to) {
  if (faults::Fail(faults::Call::kRename)) return -1;
  if (from == nullptr || to == nullptr) return -1;
  if (::MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING)) return 0;
  // A read-only target refuses the move where a POSIX rename would replace
  // it: lift the flag for the move and put it back if the move still fails.
  const DWORD error = ::GetLastError();
  const DWORD attributes = ::GetFileAttributesA(to);
  if (error != ERROR_ACCESS_DENIED || attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) !=
          FILE_ATTRIBUTE_READONLY) {
    return -1;
  }
  if (!::SetFileAttributesA(to, attributes & ~DWORD{FILE_ATTRIBUTE_READONLY})) return -1;
  if (::MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING)) return 0;
  ::SetFileAttributesA(to, attributes);
  return -1;
}

int CreateTempFileBeside(const char* target, char* tempPath, std::size_t capacity) {
  if (faults::Fail(faults::Call::kOpen)) return kNoFile;
  // The folder part: up to the last separator or the colon of a drive.
  std::size_t folderLength = 0;
  for (std::size_t i = 0; target[i] != '\0'; ++i) {
    if (target[i] == '\\' || target[i] == '/' || target[i] == ':') folderLength = i + 1;
  }
  static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 64; ++attempt) {
    unsigned seed = static_cast<unsigned>(::GetCurrentProcessId()) * 2654435761u ^
                    static_cast<unsigned>(::GetTickCount()) ^ (++counter * 40503u);
    char name[16] = ".gzarc-";
    for (int i = 7; i < 13; ++i) {
      name[i] = kAlphabet[seed % 36];
      seed = seed / 36 + 7919u * static_cast<unsigned>(i);
    }
    name[13] = '\0';
    const std::size_t nameLength = std::strlen(name);
    if (folderLength + nameLength + 1 > capacity) return kNoFile;
    std::memcpy(tempPath, target, folderLength);
    std::memcpy(tempPath + folderLength, name, nameLength + 1);
    const int fd =
        ::_open(tempPath, _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd >= 0) return fd;
    if (errno != EEXIST) return kNoFile;
  }
  return kNoFile;
}

uint32_t GetFileAttributesA(const char* path) {
  if (path == nullptr || path[0] == '\0') return kInvalidAttributes;
  return ::GetFileAttributesA(path);
}

uint32_t SetFileAttributesA(const char* path, uint32_t attributes) {
  if (path == nullptr) return ERROR_INVALID_PARAMETER;
  return ::SetFileAttributesA(path, attributes) ? 0 : static_cast<uint32_t>(::GetLastError());
}

bool FindFirstFileA(const char* path, FindData* data) {
  if (path == nullptr || path[0] == '\0' || HasWildcard(path)) return false;
  WIN32_FIND_DATAA found;
  const HANDLE search = ::FindFirstFileA(path, &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  ::FindClose(search);
  std::memcpy(data, &found, sizeof *data);
  return true;
}

bool LocalTime(int64_t unixTime, LocalTimeFields* fields) {
  const __time64_t t = unixTime;
  const struct tm* local = ::_localtime64(&t);
  if (local == nullptr) return false;
  fields->year = local->tm_year + 1900;
  fields->month = local->tm_mon + 1;
  fields->day = local->tm_mday;
  fields->hour = local->tm_hour;
  fields->minute = local->tm_min;
  fields->second = local->tm_sec;
  fields->weekday = local->tm_wday;
  return true;
}

bool SystemTimeToFileTime(const SystemTime& s, FindFileTime* file) {
  SYSTEMTIME system;
  system.wYear = s.year;
  system.wMonth = s.month;
  system.wDayOfWeek = s.dayOfWeek;
  system.wDay = s.day;
  system.wHour = s.hour;
  system.wMinute = s.minute;
  system.wSecond = s.second;
  system.wMilliseconds = s.milliseconds;
  FILETIME result;
  if (!::SystemTimeToFileTime(&system, &result)) return false;
  *file = FromFileTime(result);
  return true;
}

bool LocalFileTimeToFileTime(const FindFileTime& local, FindFileTime* utc) {
  const FILETIME in = ToFileTime(local);
  FILETIME out;
  if (!::LocalFileTimeToFileTime(&in, &out)) return false;
  *utc = FromFileTime(out);
  return true;
}

bool FileTimeToDosDateTime(const FindFileTime& file, uint16_t* dosDate, uint16_t* dosTime) {
  const FILETIME in = ToFileTime(file);
  WORD date = 0;
  WORD time = 0;
  if (!::FileTimeToDosDateTime(&in, &date, &time)) return false;
  *dosDate = date;
  *dosTime = time;
  return true;
}

// The ANSI and OEM conversions of the same length work in place.
void CharToOemA(char* text) {
  ::CharToOemA(text, text);
}
void OemToCharA(char* text) {
  ::OemToCharA(text, text);
}

void CharUpperA(char* text) {
  // A pointer below 64 KiB would be taken for a single character.
  if (text != nullptr && text[0] != '\0') ::CharUpperA(text);
}

bool IsDBCSLeadByte(uint8_t byte) {
  return ::IsDBCSLeadByte(byte) != 0;
}

void* AllocateMemory(std::size_t size) {
  if (faults::Fail(faults::Call::kAllocate)) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}

void FreeMemory(void* block) {
  std::free(block);
}

}  // namespace gzarc::platform
