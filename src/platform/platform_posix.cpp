// POSIX implementation of the platform layer. It behaves as a Windows system
// set to UTF-8 would: Windows paths are mapped to POSIX ones, the ANSI and
// OEM code pages are both UTF-8, and a file without owner write permission is
// read-only for everybody, root included.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/platform.h"
#include "platform/platform_faults.h"

namespace gzarc::platform {
namespace {

constexpr std::size_t kNativePathCapacity = 4096;

// A Windows path in POSIX form: every backslash becomes a slash.
class NativePath {
 public:
  explicit NativePath(const char* path) {
    std::size_t i = 0;
    if (path != nullptr) {
      for (; path[i] != '\0' && i + 1 < kNativePathCapacity; ++i) {
        text_[i] = path[i] == '\\' ? '/' : path[i];
      }
      valid_ = path[i] == '\0';
    }
    text_[i] = '\0';
  }
  bool valid() const { return valid_; }
  const char* c_str() const { return text_; }

 private:
  char text_[kNativePathCapacity];
  bool valid_ = false;
};

bool IsReadOnlyMode(mode_t mode) {
  return (mode & S_IWUSR) == 0;
}

// Days since 1601-01-01 of a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(year - era * 400);
  const unsigned doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const int64_t daysSince1970 = era * 146097 + static_cast<int64_t>(doe) - 719468;
  return daysSince1970 + 134774;  // 1601-01-01 .. 1970-01-01
}

void CivilFromDays(int64_t daysSince1601, int64_t* year, unsigned* month, unsigned* day) {
  const int64_t z = daysSince1601 - 134774 + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *day = doy - (153 * mp + 2) / 5 + 1;
  *month = mp < 10 ? mp + 3 : mp - 9;
  *year = static_cast<int64_t>(yoe) + era * 400 + (*month <= 2 ? 1 : 0);
}

constexpr int64_t kTicksPerSecond = 10000000;
constexpr int64_t kUnixEpochTicks = 116444736000000000LL;

uint64_t Ticks(const FindFileTime& t) {
  return (uint64_t{t.high} << 32) | t.low;
}
FindFileTime FromTicks(uint64_t ticks) {
  return FindFileTime{static_cast<uint32_t>(ticks), static_cast<uint32_t>(ticks >> 32)};
}
FindFileTime FromUnix(int64_t seconds, long nanoseconds) {
  return FromTicks(
      static_cast<uint64_t>(seconds * kTicksPerSecond + nanoseconds / 100 + kUnixEpochTicks));
}

bool IsLeapYear(int64_t y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}
unsigned DaysInMonth(int64_t y, unsigned m) {
  static constexpr unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeapYear(y) ? 29 : kDays[m - 1];
}

uint32_t AttributesFromStat(const struct stat& st) {
  if (S_ISDIR(st.st_mode)) {
    return kAttributeDirectory | (IsReadOnlyMode(st.st_mode) ? kAttributeReadOnly : 0);
  }
  return IsReadOnlyMode(st.st_mode) ? kAttributeReadOnly : kAttributeArchive;
}

}  // namespace

int OpenFile(const char* path, int flags, int permission) {
  if (faults::Fail(faults::Call::kOpen)) return kNoFile;
  const NativePath native(path);
  if (!native.valid() || native.c_str()[0] == '\0') return kNoFile;
  int posixFlags = O_CLOEXEC;
  const int access = flags & 3;
  posixFlags |= access == kOpenWriteOnly ? O_WRONLY : access == kOpenReadWrite ? O_RDWR : O_RDONLY;
  if (flags & kOpenCreate) posixFlags |= O_CREAT;
  if (flags & kOpenTruncate) posixFlags |= O_TRUNC;
  if (flags & kOpenExclusive) posixFlags |= O_EXCL;

  struct stat st {};
  if (::stat(native.c_str(), &st) == 0) {
    // As on Windows: folders are not files, and a read-only file refuses
    // writers whoever they are.
    if (S_ISDIR(st.st_mode)) return kNoFile;
    if (access != kOpenReadOnly && IsReadOnlyMode(st.st_mode)) return kNoFile;
  }
  mode_t mode = 0;
  if (permission & kPermissionRead) mode |= 0444;
  if (permission & kPermissionWrite) mode |= 0222;
  if (permission & kPermissionOwnerOnly) mode &= 0700;
  int fd;
  do {
    fd = ::open(native.c_str(), posixFlags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd < 0 ? kNoFile : fd;
}

int32_t ReadFile(int fd, void* buffer, uint32_t count) {
  if (faults::Fail(faults::Call::kRead)) return -1;
  ssize_t n;
  do {
    n = ::read(fd, buffer, count);
  } while (n < 0 && errno == EINTR);
  return static_cast<int32_t>(n);
}

int32_t WriteFile(int fd, const void* buffer, uint32_t count) {
  if (faults::Fail(faults::Call::kWrite)) return -1;
  count = faults::ShortWrite(count);
  // Like the runtime's write, keep going after a partial write until the
  // system stores nothing more.
  const char* bytes = static_cast<const char*>(buffer);
  uint32_t done = 0;
  while (done < count) {
    const ssize_t n = ::write(fd, bytes + done, count - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return done > 0 ? static_cast<int32_t>(done) : -1;
    }
    if (n == 0) break;
    done += static_cast<uint32_t>(n);
  }
  return static_cast<int32_t>(done);
}

int64_t SeekFile(int fd, int64_t offset, int origin) {
  const int whence = origin == kSeekSet ? SEEK_SET : origin == kSeekCurrent ? SEEK_CUR : SEEK_END;
  return ::lseek(fd, static_cast<off_t>(offset), whence);
}

int TruncateFile(int fd, int64_t length) {
  if (::ftruncate(fd, static_cast<off_t>(length)) != 0) return -1;
  return ::lseek(fd, static_cast<off_t>(length), SEEK_SET) == static_cast<off_t>(length) ? 0 : -1;
}

int FlushFile(int fd) {
  if (::fsync(fd) == 0) return 0;
  // Pipes, terminals and some special file systems have nothing to flush.
  return errno == EINVAL || errno == EROFS ? 0 : -1;
}

int64_t FileLength(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return -1;
  return st.st_size;
}

int CloseFile(int fd) {
  return fd < 0 ? -1 : ::close(fd);
}

int CopyPermissions(int from, int to) {
  struct stat st {};
  if (::fstat(from, &st) != 0) return -1;
  return ::fchmod(to, (st.st_mode & 0777) | S_IRUSR | S_IWUSR) == 0 ? 0 : -1;
}

int RemoveFile(const char* path) {
  const NativePath native(path);
  if (!native.valid()) return -1;
  struct stat st {};
  if (::lstat(native.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return -1;
  // As on Windows, a read-only file cannot be removed.
  if (!S_ISLNK(st.st_mode) && IsReadOnlyMode(st.st_mode)) return -1;
  return ::unlink(native.c_str());
}

int MakeDirectory(const char* path) {
  if (faults::Fail(faults::Call::kMakeDirectory)) return -1;
  const NativePath native(path);
  if (!native.valid() || native.c_str()[0] == '\0') return -1;
  return ::mkdir(native.c_str(), 0777);
}

bool ColonEndsDrive() {
  return false;
}

bool PathAccessible(const char* path) {
  const NativePath native(path);
  return native.valid() && native.c_str()[0] != '\0' && ::access(native.c_str(), F_OK) == 0;
}

bool StatFile(const char* path, FileStatus* status) {
  if (path == nullptr || std::strpbrk(path, "?*") != nullptr) return false;
  const NativePath native(path);
  struct stat st {};
  if (!native.valid() || ::stat(native.c_str(), &st) != 0) return false;
  status->isDirectory = S_ISDIR(st.st_mode);
  status->size = st.st_size;
  status->modificationTime = st.st_mtime;
  return true;
}

bool SameFile(const char* a, const char* b) {
  const NativePath nativeA(a);
  const NativePath nativeB(b);
  struct stat sa {};
  struct stat sb {};
  return nativeA.valid() && nativeB.valid() && nativeA.c_str()[0] != '\0' &&
         nativeB.c_str()[0] != '\0' && ::stat(nativeA.c_str(), &sa) == 0 &&
         ::stat(nativeB.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

int SetFileTimes(const char* path, int64_t accessTime, int64_t modificationTime) {
  const NativePath native(path);
  if (!native.valid()) return -1;
  struct timespec times[2] = {};
  times[0].tv_sec = static_cast<time_t>(accessTime);
  times[1].tv_sec = static_cast<time_t>(modificationTime);
  return ::utimensat(AT_FDCWD, native.c_str(), times, 0);
}

int ReplaceFile(const char* from, const char* to) {
  if (faults::Fail(faults::Call::kRename)) return -1;
  const NativePath nativeFrom(from);
  const NativePath nativeTo(to);
  if (!nativeFrom.valid() || !nativeTo.valid()) return -1;
  return ::rename(nativeFrom.c_str(), nativeTo.c_str());
}

int CreateTempFileBeside(const char* target, char* tempPath, std::size_t capacity) {
  if (faults::Fail(faults::Call::kOpen)) return kNoFile;
  // The folder part keeps the caller's (Windows) spelling; a ":" is part of
  // the file name here.
  std::size_t folderLength = 0;
  for (std::size_t i = 0; target[i] != '\0'; ++i) {
    if (target[i] == '\\' || target[i] == '/') folderLength = i + 1;
  }
  static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 64; ++attempt) {
    unsigned seed = static_cast<unsigned>(::getpid()) * 2654435761u ^
                    static_cast<unsigned>(std::time(nullptr)) ^ (++counter * 40503u);
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
    const NativePath native(tempPath);
    if (!native.valid()) return kNoFile;
    // Owner only while it is written: its user gives it its permissions.
    const int fd = ::open(native.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
    if (errno != EEXIST) return kNoFile;
  }
  return kNoFile;
}

uint32_t GetFileAttributesA(const char* path) {
  const NativePath native(path);
  struct stat st {};
  if (!native.valid() || native.c_str()[0] == '\0') return kInvalidAttributes;
  if (::stat(native.c_str(), &st) != 0 && ::lstat(native.c_str(), &st) != 0) {
    return kInvalidAttributes;
  }
  return AttributesFromStat(st);
}

uint32_t SetFileAttributesA(const char* path, uint32_t attributes) {
  const NativePath native(path);
  struct stat st {};
  if (!native.valid() || ::lstat(native.c_str(), &st) != 0) return ENOENT;
  // A link's own attributes are not the file it points to: leave both alone.
  if (S_ISLNK(st.st_mode)) return 0;
  mode_t mode = st.st_mode & 07777;
  if (attributes & kAttributeReadOnly) {
    mode &= ~static_cast<mode_t>(0222);
  } else {
    mode |= S_IWUSR;
  }
  return ::chmod(native.c_str(), mode) == 0 ? 0 : static_cast<uint32_t>(errno);
}

bool FindFirstFileA(const char* path, FindData* data) {
  const NativePath native(path);
  struct stat st {};
  if (!native.valid() || native.c_str()[0] == '\0') return false;
  if (::stat(native.c_str(), &st) != 0 && ::lstat(native.c_str(), &st) != 0) return false;
  std::memset(data, 0, sizeof *data);
  data->attributes = AttributesFromStat(st);
  data->creationTime = FromUnix(st.st_ctim.tv_sec, st.st_ctim.tv_nsec);
  data->lastAccessTime = FromUnix(st.st_atim.tv_sec, st.st_atim.tv_nsec);
  data->lastWriteTime = FromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
  const uint64_t size = S_ISDIR(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
  data->sizeHigh = static_cast<uint32_t>(size >> 32);
  data->sizeLow = static_cast<uint32_t>(size);
  const char* name = native.c_str();
  for (const char* p = name; *p != '\0'; ++p) {
    if (*p == '/') name = p + 1;
  }
  std::size_t n = std::strlen(name);
  if (n >= sizeof data->fileName) n = sizeof data->fileName - 1;
  std::memcpy(data->fileName, name, n);
  return true;
}

bool LocalTime(int64_t unixTime, LocalTimeFields* fields) {
  // The Windows runtime rejects times before 1970 and after 3000-12-31.
  if (unixTime < 0 || unixTime > 32535215999LL) return false;
  const time_t t = static_cast<time_t>(unixTime);
  struct tm tmv {};
  if (::localtime_r(&t, &tmv) == nullptr) return false;
  fields->year = tmv.tm_year + 1900;
  fields->month = tmv.tm_mon + 1;
  fields->day = tmv.tm_mday;
  fields->hour = tmv.tm_hour;
  fields->minute = tmv.tm_min;
  fields->second = tmv.tm_sec;
  fields->weekday = tmv.tm_wday;
  return true;
}

bool SystemTimeToFileTime(const SystemTime& s, FindFileTime* file) {
  if (s.year < 1601 || s.year > 30827 || s.month < 1 || s.month > 12 || s.day < 1 ||
      s.day > DaysInMonth(s.year, s.month) || s.hour > 23 || s.minute > 59 || s.second > 59 ||
      s.milliseconds > 999) {
    return false;
  }
  const int64_t days = DaysFromCivil(s.year, s.month, s.day);
  const int64_t seconds = days * 86400 + s.hour * 3600 + s.minute * 60 + s.second;
  *file =
      FromTicks(static_cast<uint64_t>(seconds * kTicksPerSecond + int64_t{s.milliseconds} * 10000));
  return true;
}

bool LocalFileTimeToFileTime(const FindFileTime& local, FindFileTime* utc) {
  // Windows applies the bias in force now, not the one of the date converted.
  const time_t now = std::time(nullptr);
  struct tm tmv {};
  if (::localtime_r(&now, &tmv) == nullptr) return false;
  const int64_t bias = static_cast<int64_t>(tmv.tm_gmtoff) * kTicksPerSecond;
  const int64_t ticks = static_cast<int64_t>(Ticks(local)) - bias;
  if (ticks < 0) return false;
  *utc = FromTicks(static_cast<uint64_t>(ticks));
  return true;
}

bool FileTimeToDosDateTime(const FindFileTime& file, uint16_t* dosDate, uint16_t* dosTime) {
  const uint64_t seconds = Ticks(file) / kTicksPerSecond;
  const int64_t days = static_cast<int64_t>(seconds / 86400);
  const unsigned secondOfDay = static_cast<unsigned>(seconds % 86400);
  int64_t year;
  unsigned month, day;
  CivilFromDays(days, &year, &month, &day);
  if (year < 1980 || year > 2107) return false;
  *dosDate = static_cast<uint16_t>(((year - 1980) << 9) | (month << 5) | day);
  *dosTime = static_cast<uint16_t>(((secondOfDay / 3600) << 11) | (((secondOfDay / 60) % 60) << 5) |
                                   ((secondOfDay % 60) / 2));
  return true;
}

// Both code pages are UTF-8 here: the conversions leave every byte alone.
void CharToOemA(char*) {}
void OemToCharA(char*) {}

void CharUpperA(char* text) {
  for (; *text != '\0'; ++text) {
    if (*text >= 'a' && *text <= 'z') *text = static_cast<char>(*text - 'a' + 'A');
  }
}

bool IsDBCSLeadByte(uint8_t) {
  return false;
}

void* AllocateMemory(std::size_t size) {
  if (faults::Fail(faults::Call::kAllocate)) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}

void FreeMemory(void* block) {
  std::free(block);
}

}  // namespace gzarc::platform
