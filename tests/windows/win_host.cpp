// A Windows archiver host in miniature: it loads gzarc.dll with LoadLibraryA,
// finds its exports with GetProcAddress and drives them as a real host does,
// then checks what reached the disk with the system's own services. It also
// checks the Win32 platform layer directly, through the engine objects it
// links, so that one process covers both.
//
//   win_host.exe [path\to\gzarc.dll] [\\server\share]
//
// Every check runs and a wrong answer fails it. The one check that can be
// left out is the network path, when no share is given: it is reported as
// SKIPPED with the reason, and scripts/test-windows.sh, which always gives a
// share, fails on any skip. The last line reads
// "win_host: N passed, N failed, N skipped"; the exit code is 1 on a failure.
#include <sys/utime.h>
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "gzarc.h"
// The host also links the engine's objects to check the platform layer
// itself; the Windows headers' ReplaceFile macro would rename its function.
#undef ReplaceFile
#include "platform/platform.h"
#include "platform/platform_faults.h"
#include "test_data.h"

namespace {

// ---- Results -----------------------------------------------------------------

int gPassed = 0;
int gFailed = 0;
int gSkipped = 0;
const char* gSection = "";

void Section(const char* name) {
  gSection = name;
  std::printf("-- %s\n", name);
  std::fflush(stdout);
}

bool Check(bool ok, const char* what, int line) {
  if (ok) {
    ++gPassed;
  } else {
    ++gFailed;
    std::printf("FAILED [%s] line %d: %s\n", gSection, line, what);
    std::fflush(stdout);
  }
  return ok;
}
#define CHECK(cond) Check((cond), #cond, __LINE__)
#define CHECK_EQ(a, b) CheckEqual((a), (b), #a " == " #b, __LINE__)

template <typename A, typename B>
bool CheckEqual(const A& a, const B& b, const char* what, int line) {
  if (a == b) return Check(true, what, line);
  char detail[600];
  std::snprintf(detail, sizeof detail, "%s (%lld vs %lld)", what, static_cast<long long>(a),
                static_cast<long long>(b));
  return Check(false, detail, line);
}

bool CheckText(const std::string& a, const std::string& b, const char* what, int line) {
  if (a == b) return Check(true, what, line);
  std::string detail = std::string(what) + " (\"" + a + "\" vs \"" + b + "\")";
  return Check(false, detail.c_str(), line);
}
#define CHECK_TEXT(a, b) CheckText((a), (b), #a " == " #b, __LINE__)

void Skip(const char* what, const char* why) {
  ++gSkipped;
  std::printf("SKIPPED [%s] %s: %s\n", gSection, what, why);
  std::fflush(stdout);
}

// ---- The engine's exports ------------------------------------------------------

#define GZARC_EXPORTS(X)                                                  \
  X(AddDamageGuardArc, void(__cdecl*)(...))                               \
  X(AppendFileMask, uint8_t(__cdecl*)(const char*, FileMaskList*))        \
  X(BuildArcFileList, void(__cdecl*)(ArcEntryList*, const FileMaskList*)) \
  X(BuildUnDamagedArc, void(__cdecl*)(...))                               \
  X(CompressFileMaskListArc, void(__cdecl*)(const FileMaskList*))         \
  X(CreateArcFile, void(__cdecl*)(const char*))                           \
  X(CreateArcSfx2, void(__cdecl*)(...))                                   \
  X(CreateDirectoryArc, void(__cdecl*)(...))                              \
  X(CreateExeArc, void(__cdecl*)(...))                                    \
  X(DeleteFileMaskListArc, void(__cdecl*)(const FileMaskList*))           \
  X(DoneArcFile, void(__cdecl*)(void*))                                   \
  X(DoneArcFileList, void(__cdecl*)(ArcEntryList*))                       \
  X(DoneFileMaskList, void(__cdecl*)(FileMaskList*))                      \
  X(ExtractFileMaskListArc, void(__cdecl*)(const FileMaskList*))          \
  X(GetArchiveStatus, uint16_t(__cdecl*)(void))                           \
  X(GetExtraInfoArc, void(__cdecl*)(ArcExtraInfo*))                       \
  X(GetMainCommentArc, MainComment*(__cdecl*)(MainComment*))              \
  X(InitArcFile, void(__cdecl*)(const char*))                             \
  X(InitArcFileList, void(__cdecl*)(ArcEntryList*))                       \
  X(InitFileMaskList, FileMaskList*(__cdecl*)(FileMaskList*))             \
  X(InitZipFile, void(__cdecl*)(const char*))                             \
  X(SetArchiveStatus, uint16_t(__cdecl*)(uint32_t))                       \
  X(SetCompExtraFeatures, void(__cdecl*)(const void*))                    \
  X(SetCryptKey, void(__cdecl*)(...))                                     \
  X(SetDecompExtraFeatures, void(__cdecl*)(const void*))                  \
  X(SetFileCommentsArc, void(__cdecl*)(...))                              \
  X(SetGetNextDiskProc, void(__cdecl*)(void*, OpaqueProc))                \
  X(SetInputPath, void(__cdecl*)(const char*))                            \
  X(SetMainCommentArc, void(__cdecl*)(...))                               \
  X(SetOkToReplaceProc, void(__cdecl*)(void*, OkToReplaceProc))           \
  X(SetPackLevel, void(__cdecl*)(int32_t))                                \
  X(SetRelativePath, void(__cdecl*)(const char*))                         \
  X(SetSetCryptKeyProc, void(__cdecl*)(...))                              \
  X(SetSetFileNameProc, void(__cdecl*)(void*, FileNameProc))              \
  X(SetSetProgressProc, void(__cdecl*)(void*, ProgressProc))              \
  X(SetSetSfxProgressProc, void(__cdecl*)(void*, OpaqueProc))             \
  X(SetSetSignalProc, void(__cdecl*)(void*, SignalProc))                  \
  X(SetSetWarningProc, void(__cdecl*)(void*, OpaqueProc))                 \
  X(SetSkipFileProc, void(__cdecl*)(void*, OpaqueProc))                   \
  X(StripDamageGuardArc, void(__cdecl*)(...))                             \
  X(TestArc, void(__cdecl*)(...))

template <typename T>
using Id = T;  // lets a function-pointer type stand before a name

struct Api {
  HMODULE module = nullptr;
#define X(name, type) Id<type> name = nullptr;
  GZARC_EXPORTS(X)
#undef X
};

Api gApi;

const char* const kExportNames[] = {
#define X(name, type) #name,
    GZARC_EXPORTS(X)
#undef X
};
constexpr int kExportCount = sizeof kExportNames / sizeof kExportNames[0];

// ---- Files and strings --------------------------------------------------------

std::string gWork;  // the scratch folder, with a final backslash

std::string Join(const std::string& folder, const std::string& name) {
  if (!folder.empty() && folder.back() != '\\') return folder + "\\" + name;
  return folder + name;
}

bool WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

bool WriteText(const std::string& path, const std::string& text) {
  return WriteBytes(path, std::vector<uint8_t>(text.begin(), text.end()));
}

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::vector<uint8_t> bytes;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return bytes;
  uint8_t chunk[65536];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) {
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  std::fclose(f);
  return bytes;
}

std::string ReadText(const std::string& path) {
  const auto bytes = ReadBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

void MakeWritable(const std::string& path) {
  SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
}

void RemoveTree(const std::string& folder) {
  WIN32_FIND_DATAA found;
  const HANDLE search = FindFirstFileA(Join(folder, "*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = found.cFileName;
      if (name == "." || name == "..") continue;
      const std::string path = Join(folder, name);
      MakeWritable(path);
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(path);
      } else {
        DeleteFileA(path.c_str());
      }
    } while (FindNextFileA(search, &found));
    FindClose(search);
  }
  RemoveDirectoryA(folder.c_str());
}

uint64_t Ticks(const FILETIME& t) {
  return (uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime;
}

int64_t UnixFromFileTime(const FILETIME& t) {
  return static_cast<int64_t>((Ticks(t) - 116444736000000000ULL) / 10000000ULL);
}

// The way the engine turns a member's time into the replace callback's file
// time: local time, then a system time, a file time, and back to UTC.
FILETIME MemberFileTime(int64_t unixTime) {
  FILETIME result{};
  const __time64_t t = unixTime;
  const tm* local = _localtime64(&t);
  if (local == nullptr) return result;
  SYSTEMTIME s{};
  s.wYear = static_cast<WORD>(local->tm_year + 1900);
  s.wMonth = static_cast<WORD>(local->tm_mon + 1);
  s.wDay = static_cast<WORD>(local->tm_mday);
  s.wHour = static_cast<WORD>(local->tm_hour);
  s.wMinute = static_cast<WORD>(local->tm_min);
  s.wSecond = static_cast<WORD>(local->tm_sec);
  FILETIME localFile{};
  SystemTimeToFileTime(&s, &localFile);
  LocalFileTimeToFileTime(&localFile, &result);
  return result;
}

// The DOS date and time a listing shows: local time, no conversion to UTC.
uint32_t ListingDosDateTime(int64_t unixTime) {
  const __time64_t t = unixTime;
  const tm* local = _localtime64(&t);
  if (local == nullptr) return 0;
  SYSTEMTIME s{};
  s.wYear = static_cast<WORD>(local->tm_year + 1900);
  s.wMonth = static_cast<WORD>(local->tm_mon + 1);
  s.wDay = static_cast<WORD>(local->tm_mday);
  s.wHour = static_cast<WORD>(local->tm_hour);
  s.wMinute = static_cast<WORD>(local->tm_min);
  s.wSecond = static_cast<WORD>(local->tm_sec);
  FILETIME file{};
  WORD date = 0, time = 0;
  SystemTimeToFileTime(&s, &file);
  FileTimeToDosDateTime(&file, &date, &time);
  return (uint32_t{date} << 16) | time;
}

bool FileTimes(const std::string& path, int64_t* access, int64_t* write) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return false;
  *access = UnixFromFileTime(data.ftLastAccessTime);
  *write = UnixFromFileTime(data.ftLastWriteTime);
  return true;
}

// ---- GZIP archives made by the host -------------------------------------------

using gzarc::test::Le32;
using gzarc::test::PutLe32;
using gzarc::test::ReferenceCrc32;

constexpr int64_t kMemberTime = 981173106;  // 2001-02-03 04:05:06 UTC

// One member named oemName holding data in stored blocks (the decoder's
// simplest path), so that extraction can be checked without the compressor.
std::vector<uint8_t> MakeArchive(const std::string& oemName, const std::vector<uint8_t>& data,
                                 uint8_t os = 14) {
  return gzarc::test::StoredMember(
      {.mtime = static_cast<uint32_t>(kMemberTime), .os = os, .name = oemName}, data);
}

std::vector<uint8_t> SampleData(std::size_t size) {
  return gzarc::test::MakeInput(gzarc::test::InputKind::kText, size, 1);
}

// ---- Code pages ----------------------------------------------------------------

// "café.txt" in the ANSI code page and its OEM form.
std::string gAnsiName;
std::string gOemName;
bool gNonAsciiDiffers = false;

std::string ToOem(const std::string& ansi) {
  std::vector<char> buffer(ansi.begin(), ansi.end());
  buffer.push_back('\0');
  CharToOemA(buffer.data(), buffer.data());
  return buffer.data();
}

void ChooseNames() {
  gAnsiName = "caf\xE9.txt";  // e acute in the Western ANSI code pages
  gOemName = ToOem(gAnsiName);
  std::vector<char> back(gOemName.begin(), gOemName.end());
  back.push_back('\0');
  OemToCharA(back.data(), back.data());
  gNonAsciiDiffers = gOemName != gAnsiName && gAnsiName == back.data();
  std::printf("code pages: ANSI %u, OEM %u; \"caf\\xE9.txt\" is OEM \"caf\\x%02X.txt\"\n", GetACP(),
              GetOEMCP(), static_cast<uint8_t>(gOemName[3]));
}

// ---- Callbacks -------------------------------------------------------------------

struct Recorder {
  int fileNameCalls = 0;
  std::string from, to;
  int progressCalls = 0;
  std::vector<int64_t> progress;  // percent and count of each call
  int progressCancelAt = 0;       // the call that answers 0 (cancel); 0: never
  int64_t progressCountSum = 0;
  int32_t lastPercent = -1;
  bool percentOutOfRange = false;
  int replaceCalls = 0;
  int32_t replaceAnswer = 0;
  FindData existing{}, member{};
  int signalCalls = 0;
  int64_t signalSize = 0;
  int32_t signalCode = 0;
  void* signalContext = nullptr;
  bool wrongContext = false;
};

Recorder* gRecorder = nullptr;

int32_t __cdecl OnFileName(void* context, const char* from, const char* to) {
  auto* r = static_cast<Recorder*>(context);
  if (r != gRecorder) gRecorder->wrongContext = true;
  ++gRecorder->fileNameCalls;
  gRecorder->from = from != nullptr ? from : "(null)";
  gRecorder->to = to != nullptr ? to : "(null)";
  return 0;
}

int32_t __cdecl OnProgress(void* context, int32_t percent, int32_t count) {
  if (context != gRecorder) gRecorder->wrongContext = true;
  Recorder& r = *gRecorder;
  ++r.progressCalls;
  r.progressCountSum += count;
  r.progress.push_back(int64_t{percent} * 1000000 + count);
  if (percent < 0 || percent > 100) r.percentOutOfRange = true;
  r.lastPercent = percent;
  return r.progressCalls == r.progressCancelAt ? 0 : 1;
}

int32_t __cdecl OnReplace(void* context, const FindData* existing, const FindData* member) {
  if (context != gRecorder) gRecorder->wrongContext = true;
  Recorder& r = *gRecorder;
  ++r.replaceCalls;
  if (existing != nullptr) r.existing = *existing;
  if (member != nullptr) r.member = *member;
  return r.replaceAnswer;
}

#if defined(_WIN64)
void __cdecl OnSignal(void* context, int64_t size, int32_t code) {
  Recorder& r = *gRecorder;
  ++r.signalCalls;
  r.signalContext = context;
  r.signalSize = size;
  r.signalCode = code;
}
#else
// The 64-bit size arrives in two stack slots, low half first: read it slot by
// slot so that the check sees the calling convention, not the compiler's idea.
void __cdecl OnSignalSlots(void* context, uint32_t low, int32_t high, int32_t code) {
  Recorder& r = *gRecorder;
  ++r.signalCalls;
  r.signalContext = context;
  r.signalSize =
      static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(high)) << 32) | low);
  r.signalCode = code;
}
#endif

SignalProc SignalCallback() {
#if defined(_WIN64)
  return OnSignal;
#else
  return reinterpret_cast<SignalProc>(reinterpret_cast<void*>(OnSignalSlots));
#endif
}

// Registers every callback with r as the context (after InitArcFile, which
// resets most of them).
void RegisterCallbacks(Recorder& r, bool withReplace = true) {
  gRecorder = &r;
  gApi.SetSetFileNameProc(&r, OnFileName);
  gApi.SetSetProgressProc(&r, OnProgress);
  gApi.SetOkToReplaceProc(&r, withReplace ? OnReplace : nullptr);
  gApi.SetSetSignalProc(&r, SignalCallback());
}

// ---- Engine helpers ------------------------------------------------------------

struct Masks {
  FileMaskList list{};
  Masks() { gApi.InitFileMaskList(&list); }
  ~Masks() { gApi.DoneFileMaskList(&list); }
  Masks(const Masks&) = delete;
  Masks& operator=(const Masks&) = delete;
};

void SetExtractDir(const std::string& folder) {
  std::vector<char> record(GZARC_DECOMP_RECORD_SIZE, 0);
  std::memcpy(record.data() + GZARC_DECOMP_EXTRACT_DIR, folder.c_str(), folder.size() + 1);
  gApi.SetDecompExtraFeatures(record.data());
}

// ---- Checks: the export table ------------------------------------------------------

void TestExports(const char* dllPath) {
  Section("exports");
  gApi.module = LoadLibraryA(dllPath);
  if (!CHECK(gApi.module != nullptr)) {
    std::printf("cannot load %s (error %lu)\n", dllPath, GetLastError());
    return;
  }
  int resolved = 0;
#define X(name, type)                                                                              \
  gApi.name = reinterpret_cast<type>(reinterpret_cast<void*>(GetProcAddress(gApi.module, #name))); \
  if (gApi.name != nullptr)                                                                        \
    ++resolved;                                                                                    \
  else                                                                                             \
    std::printf("missing export %s\n", #name);
  GZARC_EXPORTS(X)
#undef X
  CHECK_EQ(resolved, 41);
  CHECK_EQ(kExportCount, 41);
  if (gApi.GetArchiveStatus != nullptr) CHECK_EQ(gApi.GetArchiveStatus(), 0);  // zero at load

  // The export directory holds these names and nothing else, none by ordinal
  // only and none decorated.
  const auto* base = reinterpret_cast<const uint8_t*>(gApi.module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  if (!CHECK(dir.VirtualAddress != 0)) return;
  const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
  CHECK_EQ(exports->NumberOfNames, 41u);
  CHECK_EQ(exports->NumberOfFunctions, 41u);
  const auto* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
  int known = 0;
  for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
    const char* name = reinterpret_cast<const char*>(base + names[i]);
    bool found = false;
    for (const char* expected : kExportNames) found = found || std::strcmp(name, expected) == 0;
    if (found) {
      ++known;
    } else {
      std::printf("unexpected export %s\n", name);
    }
  }
  CHECK_EQ(known, 41);
  const char* dllName = reinterpret_cast<const char*>(base + exports->Name);
  CHECK(_stricmp(dllName, "gzarc.dll") == 0);
}

// ---- Checks: the calling convention -------------------------------------------------

#if !defined(_WIN64)
// Calls fn with three zero arguments and returns how far the stack pointer
// moved across the call itself: 0 for cdecl, where the caller removes the
// arguments; 12 if the callee removed them.
uint32_t StackMovedByCall(void* fn) {
  uint32_t before, after;
  asm volatile(
      "movl %%esp, %0\n\t"
      "pushl $0\n\t"
      "pushl $0\n\t"
      "pushl $0\n\t"
      "call *%2\n\t"
      "addl $12, %%esp\n\t"
      "movl %%esp, %1"
      : "=&S"(before), "=&D"(after)
      : "b"(fn)
      : "eax", "ecx", "edx", "memory", "cc");
  return after - before;
}

// A callee that removes its own arguments, to show that the check sees it.
void __stdcall CalleeCleans(uint32_t, uint32_t, uint32_t) {}
#endif

void TestCallingConvention() {
  Section("calling convention");
#if defined(_WIN64)
  std::printf("(the 64-bit build has one calling convention: nothing to check)\n");
#else
  // Every export that takes no pointer, or accepts null ones, with extra
  // arguments it must ignore.
  void* safe[] = {
      reinterpret_cast<void*>(gApi.GetArchiveStatus),
      reinterpret_cast<void*>(gApi.SetArchiveStatus),
      reinterpret_cast<void*>(gApi.SetPackLevel),
      reinterpret_cast<void*>(gApi.TestArc),
      reinterpret_cast<void*>(gApi.AddDamageGuardArc),
      reinterpret_cast<void*>(gApi.BuildUnDamagedArc),
      reinterpret_cast<void*>(gApi.CreateArcSfx2),
      reinterpret_cast<void*>(gApi.CreateDirectoryArc),
      reinterpret_cast<void*>(gApi.CreateExeArc),
      reinterpret_cast<void*>(gApi.SetFileCommentsArc),
      reinterpret_cast<void*>(gApi.SetMainCommentArc),
      reinterpret_cast<void*>(gApi.StripDamageGuardArc),
      reinterpret_cast<void*>(gApi.SetCryptKey),
      reinterpret_cast<void*>(gApi.SetSetCryptKeyProc),
      reinterpret_cast<void*>(gApi.SetSetFileNameProc),
      reinterpret_cast<void*>(gApi.SetSetProgressProc),
      reinterpret_cast<void*>(gApi.SetOkToReplaceProc),
      reinterpret_cast<void*>(gApi.SetGetNextDiskProc),
      reinterpret_cast<void*>(gApi.SetSetSfxProgressProc),
      reinterpret_cast<void*>(gApi.SetSetWarningProc),
      reinterpret_cast<void*>(gApi.SetSkipFileProc),
      reinterpret_cast<void*>(gApi.DoneArcFile),
  };
  CHECK_EQ(StackMovedByCall(reinterpret_cast<void*>(CalleeCleans)), 12u);
  int callerCleans = 0;
  for (void* fn : safe) callerCleans += StackMovedByCall(fn) == 0 ? 1 : 0;
  CHECK_EQ(callerCleans, static_cast<int>(sizeof safe / sizeof safe[0]));
  gApi.SetSetSignalProc(nullptr, nullptr);
  gApi.SetArchiveStatus(0);
#endif
}

// ---- Checks: status and setters ------------------------------------------------------

void TestStatus() {
  Section("status and setters");
  CHECK_EQ(gApi.SetArchiveStatus(0x12345u), 0x2345);
  CHECK_EQ(gApi.GetArchiveStatus(), 0x2345);

  // Results narrower than a register: a host reads AX for the status.
  auto wide = reinterpret_cast<uint32_t(__cdecl*)(uint32_t)>(
      reinterpret_cast<void*>(gApi.SetArchiveStatus));
  CHECK_EQ(wide(0xFFFF8002u) & 0xFFFF, 0x8002u);
  CHECK_EQ(gApi.GetArchiveStatus(), 32770);

  using AnyArgs = void(__cdecl*)(...);
  const AnyArgs unsupported[] = {gApi.TestArc,
                                 gApi.AddDamageGuardArc,
                                 gApi.BuildUnDamagedArc,
                                 gApi.CreateArcSfx2,
                                 gApi.CreateDirectoryArc,
                                 gApi.CreateExeArc,
                                 gApi.SetFileCommentsArc,
                                 gApi.SetMainCommentArc,
                                 gApi.StripDamageGuardArc};
  int reported = 0;
  for (AnyArgs fn : unsupported) {
    gApi.SetArchiveStatus(0);
    fn(1, 2, 3, 4, 5);
    reported += gApi.GetArchiveStatus() == GZARC_STATUS_UNSUPPORTED ? 1 : 0;
  }
  CHECK_EQ(reported, 9);
  gApi.SetCryptKey("key", 7);
  gApi.SetSetCryptKeyProc(nullptr, nullptr);
  CHECK_EQ(gApi.GetArchiveStatus(), GZARC_STATUS_UNSUPPORTED);

  // Setters leave the status alone.
  gApi.SetArchiveStatus(777);
  gApi.SetPackLevel(9);
  gApi.SetRelativePath("");
  gApi.SetInputPath("");
  std::vector<char> comp(GZARC_COMP_RECORD_SIZE, 0), decomp(GZARC_DECOMP_RECORD_SIZE, 0);
  gApi.SetCompExtraFeatures(comp.data());
  gApi.SetDecompExtraFeatures(decomp.data());
  gApi.SetSetWarningProc(nullptr, nullptr);
  gApi.SetSkipFileProc(nullptr, nullptr);
  gApi.SetGetNextDiskProc(nullptr, nullptr);
  gApi.SetSetSfxProgressProc(nullptr, nullptr);
  CHECK_EQ(gApi.GetArchiveStatus(), 777);

  MainComment comment{0xDEADBEEF, 0xCAFEBABE};
  CHECK(gApi.GetMainCommentArc(&comment) == &comment);
  CHECK(comment.word0 == 0 && comment.word1 == 0);
  FileMaskList list;
  std::memset(&list, 0xAB, sizeof list);
  CHECK(gApi.InitFileMaskList(&list) == &list);
  CHECK(list.head == nullptr && list.tail == nullptr);
  CHECK_EQ(gApi.GetArchiveStatus(), 777);
}

// ---- Checks: the platform layer itself -------------------------------------------

void TestPlatform() {
  Section("platform layer");
  namespace pf = gzarc::platform;
  namespace faults = gzarc::platform::faults;
  const std::string folder = Join(gWork, "platform");
  CHECK_EQ(pf::MakeDirectory(folder.c_str()), 0);
  CHECK(pf::MakeDirectory(folder.c_str()) != 0);
  CHECK(pf::PathAccessible(folder.c_str()));
  CHECK(!pf::PathAccessible(""));
  CHECK(pf::GetFileAttributesA(folder.c_str()) & pf::kAttributeDirectory);

  // A read-only file: readable, but neither writable nor removable.
  const std::string locked = Join(folder, "locked.txt");
  WriteText(locked, "read only");
  SetFileAttributesA(locked.c_str(), FILE_ATTRIBUTE_READONLY);
  CHECK_EQ(pf::OpenFile(locked.c_str(), pf::kOpenWriteOnly | pf::kOpenBinary), pf::kNoFile);
  CHECK_EQ(pf::OpenFile(locked.c_str(),
                        pf::kOpenReadWrite | pf::kOpenCreate | pf::kOpenTruncate | pf::kOpenBinary,
                        pf::kPermissionRead | pf::kPermissionWrite),
           pf::kNoFile);
  CHECK_TEXT(ReadText(locked), "read only");
  const int fd = pf::OpenFile(locked.c_str(), pf::kOpenReadOnly | pf::kOpenBinary);
  if (CHECK(fd != pf::kNoFile)) {
    char buffer[16] = {};
    CHECK_EQ(pf::FileLength(fd), 9);
    CHECK_EQ(pf::SeekFile(fd, 5, pf::kSeekSet), 5);
    CHECK_EQ(pf::ReadFile(fd, buffer, sizeof buffer), 4);
    CHECK_TEXT(std::string(buffer), "only");
    CHECK_EQ(pf::ReadFile(fd, buffer, sizeof buffer), 0);
    CHECK_EQ(pf::SeekFile(fd, -4, pf::kSeekEnd), 5);
    CHECK_EQ(pf::CloseFile(fd), 0);
  }
  CHECK(pf::RemoveFile(locked.c_str()) != 0);
  CHECK(Exists(locked));
  CHECK_EQ(pf::GetFileAttributesA(locked.c_str()) & pf::kAttributeReadOnly, pf::kAttributeReadOnly);
  CHECK_EQ(pf::SetFileAttributesA(locked.c_str(), pf::kAttributeArchive), 0u);
  CHECK_EQ(pf::GetFileAttributesA(locked.c_str()), pf::kAttributeArchive);
  CHECK_EQ(pf::RemoveFile(locked.c_str()), 0);
  CHECK(!Exists(locked));
  CHECK(pf::SetFileAttributesA(locked.c_str(), pf::kAttributeArchive) != 0);
  CHECK_EQ(pf::GetFileAttributesA(locked.c_str()), pf::kInvalidAttributes);

  // Created files, exclusive creation, and writes.
  const std::string fresh = Join(folder, "fresh.bin");
  const int out = pf::OpenFile(
      fresh.c_str(), pf::kOpenReadWrite | pf::kOpenCreate | pf::kOpenExclusive | pf::kOpenBinary,
      pf::kPermissionRead | pf::kPermissionWrite);
  if (CHECK(out != pf::kNoFile)) {
    CHECK_EQ(pf::WriteFile(out, "a\nb\n", 4), 4);  // untranslated: no CR added
    pf::CloseFile(out);
  }
  CHECK_EQ(ReadBytes(fresh).size(), 4u);
  CHECK_EQ(pf::OpenFile(fresh.c_str(), pf::kOpenReadWrite | pf::kOpenCreate | pf::kOpenExclusive,
                        pf::kPermissionRead | pf::kPermissionWrite),
           pf::kNoFile);
  CHECK_EQ(pf::OpenFile(folder.c_str(), pf::kOpenReadOnly | pf::kOpenBinary), pf::kNoFile);
  CHECK_EQ(pf::OpenFile("", pf::kOpenReadOnly), pf::kNoFile);
  // No permissions here: a file made for its owner alone is an ordinary one,
  // and there is nothing to copy.
  const std::string own = Join(folder, "own.bin");
  const int ownFd =
      pf::OpenFile(own.c_str(), pf::kOpenReadWrite | pf::kOpenCreate | pf::kOpenBinary,
                   pf::kPermissionRead | pf::kPermissionWrite | pf::kPermissionOwnerOnly);
  if (CHECK(ownFd != pf::kNoFile)) {
    CHECK_EQ(pf::CopyPermissions(ownFd, ownFd), 0);
    pf::CloseFile(ownFd);
  }
  CHECK_EQ(GetFileAttributesA(own.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
  CHECK_EQ(pf::RemoveFile(own.c_str()), 0);

  // A temporary file beside its target replaces it, read-only or not.
  const std::string target = Join(folder, "target.txt");
  WriteText(target, "old");
  SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_READONLY);
  char temp[pf::kTempPathCapacity] = {};
  const int tempFd = pf::CreateTempFileBeside(target.c_str(), temp, sizeof temp);
  if (CHECK(tempFd != pf::kNoFile)) {
    CHECK_EQ(std::string(temp).rfind(folder + "\\", 0), 0u);
    CHECK_EQ(pf::WriteFile(tempFd, "new", 3), 3);
    pf::CloseFile(tempFd);
    CHECK_EQ(pf::ReplaceFile(temp, target.c_str()), 0);
    CHECK_TEXT(ReadText(target), "new");
    CHECK(!Exists(temp));
  }
  CHECK(pf::ReplaceFile(Join(folder, "missing").c_str(), target.c_str()) != 0);
  CHECK_TEXT(ReadText(target), "new");
  char tiny[8];
  CHECK_EQ(pf::CreateTempFileBeside(target.c_str(), tiny, sizeof tiny), pf::kNoFile);

  // One file by two spellings; two files, or none, are not one.
  std::string shouted = target;
  CharUpperA(shouted.data());
  CHECK(pf::SameFile(target.c_str(), shouted.c_str()));
  CHECK(pf::SameFile(target.c_str(), Join(folder, "..\\platform\\target.txt").c_str()));
  CHECK(!pf::SameFile(target.c_str(), fresh.c_str()));
  CHECK(!pf::SameFile(Join(folder, "missing").c_str(), Join(folder, "missing").c_str()));

  // Injected faults reach the Windows calls too.
  WriteText(fresh, "keep");
  faults::Arm({faults::Call::kRename, 1, false});
  CHECK(pf::ReplaceFile(fresh.c_str(), target.c_str()) != 0);
  CHECK(faults::Fired());
  faults::Arm({faults::Call::kOpen, 1, false});
  CHECK_EQ(pf::OpenFile(fresh.c_str(), pf::kOpenReadOnly), pf::kNoFile);
  faults::Arm({faults::Call::kWrite, 1, true});
  const int shortFd = pf::OpenFile(fresh.c_str(), pf::kOpenWriteOnly | pf::kOpenBinary);
  CHECK_EQ(pf::WriteFile(shortFd, "12345678", 8), 4);
  pf::CloseFile(shortFd);
  faults::Disarm();
  CHECK_TEXT(ReadText(target), "new");

  // Status, times and the search record.
  pf::FileStatus status{};
  CHECK(pf::StatFile(target.c_str(), &status));
  CHECK(!status.isDirectory && status.size == 3);
  CHECK(pf::StatFile(folder.c_str(), &status) && status.isDirectory);
  CHECK(!pf::StatFile(Join(folder, "*.txt").c_str(), &status));
  CHECK(!pf::StatFile(Join(folder, "missing").c_str(), &status));
  CHECK_EQ(pf::SetFileTimes(fresh.c_str(), kMemberTime + 60, kMemberTime), 0);
  CHECK(pf::StatFile(fresh.c_str(), &status));
  CHECK_EQ(status.modificationTime, kMemberTime);
  FindData found{};
  CHECK(pf::FindFirstFileA(fresh.c_str(), &found));
  CHECK_TEXT(std::string(found.fileName), "fresh.bin");
  CHECK(found.sizeHigh == 0 && found.sizeLow == 4);
  const uint64_t writeTicks = (uint64_t{found.lastWriteTime.high} << 32) | found.lastWriteTime.low;
  CHECK_EQ(writeTicks, static_cast<uint64_t>(kMemberTime) * 10000000u + 116444736000000000u);
  CHECK(!pf::FindFirstFileA(Join(folder, "*.bin").c_str(), &found));
  CHECK(!pf::FindFirstFileA(Join(folder, "missing").c_str(), &found));

  // Time conversions.
  pf::LocalTimeFields local{};
  CHECK(!pf::LocalTime(-1, &local));
  CHECK(pf::LocalTime(kMemberTime, &local));
  const __time64_t t = kMemberTime;
  const tm* expected = _localtime64(&t);
  CHECK(local.year == expected->tm_year + 1900 && local.month == expected->tm_mon + 1 &&
        local.day == expected->tm_mday && local.hour == expected->tm_hour &&
        local.minute == expected->tm_min && local.second == expected->tm_sec);
  FindFileTime file{};
  CHECK(pf::SystemTimeToFileTime({2001, 2, 0, 3, 4, 5, 6, 0}, &file));
  CHECK_EQ((uint64_t{file.high} << 32) | file.low,
           static_cast<uint64_t>(kMemberTime) * 10000000u + 116444736000000000u);
  CHECK(!pf::SystemTimeToFileTime({2001, 13, 0, 3, 4, 5, 6, 0}, &file));
  uint16_t dosDate = 0, dosTime = 0;
  pf::SystemTimeToFileTime({2001, 2, 0, 3, 4, 5, 6, 0}, &file);
  CHECK(pf::FileTimeToDosDateTime(file, &dosDate, &dosTime));
  CHECK(dosDate == ((21 << 9) | (2 << 5) | 3) && dosTime == ((4 << 11) | (5 << 5) | 3));
  pf::SystemTimeToFileTime({1979, 12, 0, 31, 0, 0, 0, 0}, &file);
  CHECK(!pf::FileTimeToDosDateTime(file, &dosDate, &dosTime));
  FindFileTime utc{};
  FILETIME native{};
  const FILETIME in = {file.low, file.high};
  LocalFileTimeToFileTime(&in, &native);
  CHECK(pf::LocalFileTimeToFileTime(file, &utc));
  CHECK(utc.low == native.dwLowDateTime && utc.high == native.dwHighDateTime);

  // Characters in the system's code pages.
  std::vector<char> text(gAnsiName.begin(), gAnsiName.end());
  text.push_back('\0');
  pf::CharToOemA(text.data());
  CHECK_TEXT(std::string(text.data()), gOemName);
  pf::OemToCharA(text.data());
  CHECK_TEXT(std::string(text.data()), gAnsiName);
  pf::CharUpperA(text.data());
  std::vector<char> upper(gAnsiName.begin(), gAnsiName.end());
  upper.push_back('\0');
  CharUpperA(upper.data());
  CHECK_TEXT(std::string(text.data()), std::string(upper.data()));
  CHECK_TEXT(std::string(text.data()).substr(0, 3), "CAF");
  char empty[1] = {'\0'};
  pf::CharUpperA(empty);
  CHECK_EQ(empty[0], '\0');
  // Lead bytes as the system sees them: none in a single-byte code page,
  // never an ASCII character in any.
  CPINFO codePage{};
  GetCPInfo(CP_ACP, &codePage);
  int leads = 0, differ = 0, ascii = 0;
  for (int b = 0; b < 256; ++b) {
    const bool lead = pf::IsDBCSLeadByte(static_cast<uint8_t>(b));
    leads += lead ? 1 : 0;
    differ += lead != (IsDBCSLeadByte(static_cast<BYTE>(b)) != 0) ? 1 : 0;
    ascii += lead && b < 0x80 ? 1 : 0;
  }
  CHECK_EQ(differ, 0);
  CHECK_EQ(ascii, 0);
  if (codePage.MaxCharSize == 1) CHECK_EQ(leads, 0);

  void* block = pf::AllocateMemory(0);
  CHECK(block != nullptr);
  pf::FreeMemory(block);
  RemoveTree(folder);
}

// ---- Checks: opening and creating archives -------------------------------------------

void TestOpenAndCreate() {
  Section("open and create");
  const std::string folder = Join(gWork, "open");
  CreateDirectoryA(folder.c_str(), nullptr);

  gApi.CreateArcFile(Join(folder, "fresh").c_str());
  CHECK_EQ(gApi.GetArchiveStatus(), 0);
  const std::string fresh = Join(folder, "fresh.GZ");
  CHECK(Exists(fresh));
  CHECK(ReadBytes(fresh).empty());
  gApi.DoneArcFile(nullptr);

  const std::string existing = Join(folder, "existing.gz");
  WriteText(existing, "keep me");
  gApi.CreateArcFile(existing.c_str());
  CHECK_EQ(gApi.GetArchiveStatus(), GZARC_STATUS_EXISTS);
  CHECK_TEXT(ReadText(existing), "keep me");

  // A read-only file refuses the write access of the existence test and
  // of the creation alike.
  const std::string locked = Join(folder, "locked.gz");
  WriteText(locked, "read only");
  SetFileAttributesA(locked.c_str(), FILE_ATTRIBUTE_READONLY);
  gApi.CreateArcFile(locked.c_str());
  CHECK_EQ(gApi.GetArchiveStatus(), GZARC_STATUS_FILE_ERROR);
  CHECK_TEXT(ReadText(locked), "read only");
  CHECK((GetFileAttributesA(locked.c_str()) & FILE_ATTRIBUTE_READONLY) != 0);
  gApi.DoneArcFile(nullptr);

  const std::string notGzip = Join(folder, "plain.txt");
  WriteBytes(notGzip, {0x1F, 0x8B});
  gApi.InitArcFile(notGzip.c_str());
  CHECK_EQ(gApi.GetArchiveStatus(), GZARC_STATUS_NOT_GZIP);
  gApi.InitArcFile(Join(folder, "missing.gz").c_str());
  CHECK_EQ(gApi.GetArchiveStatus(), GZARC_STATUS_FILE_ERROR);

  // A read-only archive opens for reading.
  const std::string archive = Join(folder, "ro.gz");
  WriteBytes(archive, MakeArchive("a.txt", SampleData(100)));
  SetFileAttributesA(archive.c_str(), FILE_ATTRIBUTE_READONLY);
  gApi.InitArcFile(archive.c_str());
  CHECK_EQ(gApi.GetArchiveStatus(), 0);
  ArcExtraInfo info;
  std::memset(&info, 0xAA, sizeof info);
  gApi.GetExtraInfoArc(&info);
  const auto* bytes = reinterpret_cast<const uint8_t*>(&info);
  int zero = 0;
  for (std::size_t i = 0; i < sizeof info; ++i) zero += bytes[i] == 0 ? 1 : 0;
  CHECK_EQ(zero, 384);
  gApi.InitZipFile(archive.c_str());
  CHECK_EQ(gApi.GetArchiveStatus(), 0);
  gApi.DoneArcFile(nullptr);
  MakeWritable(archive);
}

// ---- Checks: listing -----------------------------------------------------------------

void TestListing() {
  Section("listing");
  const std::string folder = Join(gWork, "list");
  CreateDirectoryA(folder.c_str(), nullptr);
  const auto data = SampleData(70000);
  const auto archiveBytes = MakeArchive(gOemName, data);
  const std::string archive = Join(folder, "sample.gz");
  WriteBytes(archive, archiveBytes);

  gApi.InitArcFile(archive.c_str());
  CHECK_EQ(gApi.GetArchiveStatus(), 0);
  ArcEntryList list;
  std::memset(&list, 0xCD, sizeof list);
  gApi.InitArcFileList(&list);
  CHECK(list.count == 0 && list.head == nullptr && list.tail == nullptr);
  Masks masks;  // empty: selects the member
  gApi.BuildArcFileList(&list, &masks.list);
  CHECK_EQ(gApi.GetArchiveStatus(), 0);
  if (!CHECK_EQ(list.count, 1) || !CHECK(list.head != nullptr)) return;
  const ArcEntry& e = *list.head;
  CHECK(list.tail == list.head && e.next == nullptr);
  // The name comes back in the ANSI code page (the same bytes where the
  // two code pages agree on it).
  CHECK_TEXT(std::string(e.name), gNonAsciiDiffers ? gAnsiName : gOemName);
  const std::size_t headerLength = 10 + gOemName.size() + 1;
  CHECK_EQ(e.packedSize, static_cast<int64_t>(archiveBytes.size() - headerLength - 8));
  CHECK_EQ(e.unpackedSize, static_cast<int64_t>(data.size()));
  CHECK_EQ(e.attributes, 128u);
  CHECK_EQ(e.dosDateTime, ListingDosDateTime(kMemberTime));
  CHECK(e.hostWords[0] == 12 && e.hostWords[7] == 1 && e.hostWords[34] == 19);

  ArcExtraInfo info{};
  gApi.GetExtraInfoArc(&info);
  CHECK(info.fixed[0] == 9 && info.fixed[1] == 1 && info.fixed[2] == 2 && info.fixed[3] == 32);
  CHECK_EQ(info.hostSystemCode, 3u);
  CHECK_EQ(info.count, 1u);
  CHECK_EQ(info.totalPackedSize, e.packedSize);
  CHECK_EQ(info.totalUnpackedSize, e.unpackedSize);
  CHECK_EQ(info.ratio, static_cast<uint32_t>(e.packedSize * 100 / e.unpackedSize));

  gApi.DoneArcFileList(&list);
  CHECK(list.count == 0 && list.head == nullptr && list.tail == nullptr);

  // Another system's archive.
  const std::string unix = Join(folder, "unix.gz");
  WriteBytes(unix, MakeArchive("u.txt", data, 3));
  gApi.InitArcFile(unix.c_str());
  gApi.InitArcFileList(&list);
  gApi.BuildArcFileList(&list, &masks.list);
  gApi.GetExtraInfoArc(&info);
  CHECK_EQ(info.hostSystemCode, 5u);
  gApi.DoneArcFileList(&list);
  gApi.DoneArcFile(nullptr);
}

// ---- Checks: extraction ---------------------------------------------------------------

struct ExtractionCase {
  std::string archive;
  std::vector<uint8_t> data;
};

ExtractionCase gCase;

// Opens the sample archive, registers the callbacks and extracts into folder.
void Extract(Recorder& r, const std::string& folder, bool withReplace = true) {
  gApi.InitArcFile(gCase.archive.c_str());
  RegisterCallbacks(r, withReplace);
  SetExtractDir(folder);
  Masks masks;
  gApi.ExtractFileMaskListArc(&masks.list);
}

void TestExtraction() {
  Section("extraction");
  const std::string folder = Join(gWork, "extract");
  CreateDirectoryA(folder.c_str(), nullptr);
  gCase.data = SampleData(100000);
  gCase.archive = Join(folder, "sample.gz");
  WriteBytes(gCase.archive, MakeArchive(gOemName, gCase.data));

  // Into an existing folder given without its final backslash.
  const std::string out = Join(folder, "out");
  CreateDirectoryA(out.c_str(), nullptr);
  Recorder r;
  Extract(r, out);
  const std::string target = Join(out, gAnsiName);
  CHECK_EQ(gApi.GetArchiveStatus(), 0);
  CHECK(!r.wrongContext);
  CHECK_EQ(r.fileNameCalls, 1);
  CHECK_TEXT(r.from, "\\" + gAnsiName);
  CHECK_TEXT(r.to, target);
  CHECK_EQ(r.replaceCalls, 0);
  CHECK_EQ(r.signalCalls, 1);
  CHECK(r.signalContext == &r);
  CHECK_EQ(r.signalSize, static_cast<int64_t>(gCase.data.size()));
  CHECK_EQ(r.signalCode, GZARC_SIGNAL_EXTRACTING);
  CHECK(r.progressCalls >= 1);
  CHECK_EQ(r.progressCountSum, static_cast<int64_t>(gCase.data.size()));
  CHECK_EQ(r.lastPercent, 100);
  CHECK(!r.percentOutOfRange);
  // The times first: reading the file may move its access time.
  int64_t access = 0, write = 0;
  CHECK(FileTimes(target, &access, &write));
  CHECK_EQ(write, kMemberTime);
  CHECK_EQ(access, kMemberTime);
  CHECK(ReadBytes(target) == gCase.data);
  CHECK_EQ(GetFileAttributesA(target.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));

  // The replace callback: its two records, then each answer.
  WriteText(target, "old");
  Recorder ask;
  ask.replaceAnswer = GZARC_REPLACE_SKIP;
  Extract(ask, out);
  CHECK_EQ(gApi.GetArchiveStatus(), 0);
  CHECK_EQ(ask.replaceCalls, 1);
  CHECK_EQ(ask.signalCalls, 0);
  CHECK_TEXT(ReadText(target), "old");
  CHECK_TEXT(std::string(ask.existing.fileName), gAnsiName);
  CHECK(ask.existing.sizeHigh == 0 && ask.existing.sizeLow == 3);
  CHECK_EQ(ask.member.attributes, 128u);
  CHECK(ask.member.sizeHigh == 0 && ask.member.sizeLow == gCase.data.size());
  CHECK_TEXT(std::string(ask.member.fileName), gAnsiName);
  const FILETIME expected = MemberFileTime(kMemberTime);
  CHECK(ask.member.lastWriteTime.low == expected.dwLowDateTime &&
        ask.member.lastWriteTime.high == expected.dwHighDateTime);
  CHECK(std::memcmp(&ask.member.creationTime, &ask.member.lastWriteTime, 8) == 0 &&
        std::memcmp(&ask.member.lastAccessTime, &ask.member.lastWriteTime, 8) == 0);
  CHECK(ask.member.reserved0 == 0 && ask.member.reserved1 == 0);
  const char zeros[14] = {};
  CHECK(std::memcmp(ask.member.alternateFileName, zeros, sizeof zeros) == 0);

  Recorder cancel;
  cancel.replaceAnswer = GZARC_REPLACE_CANCEL;
  Extract(cancel, out);
  CHECK_EQ(gApi.GetArchiveStatus(), GZARC_STATUS_CANCELLED);
  CHECK_EQ(cancel.signalCalls, 0);
  CHECK_TEXT(ReadText(target), "old");

  // "Extract, keep the attributes" cannot open a read-only file ...
  SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_READONLY);
  Recorder keep;
  keep.replaceAnswer = GZARC_REPLACE_KEEP_ATTRIBUTES;
  Extract(keep, out);
  CHECK_EQ(gApi.GetArchiveStatus(), GZARC_STATUS_FILE_ERROR);
  CHECK_TEXT(ReadText(target), "old");
  CHECK((GetFileAttributesA(target.c_str()) & FILE_ATTRIBUTE_READONLY) != 0);

  // ... while "replace" makes it writable first.
  Recorder replace;
  replace.replaceAnswer = GZARC_REPLACE_EXTRACT;
  Extract(replace, out);
  CHECK_EQ(gApi.GetArchiveStatus(), 0);
  CHECK(ReadBytes(target) == gCase.data);
  CHECK_EQ(GetFileAttributesA(target.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));

  // Without a replace callback an existing writable file is overwritten.
  WriteText(target, "old");
  Recorder silent;
  Extract(silent, out, false);
  CHECK_EQ(gApi.GetArchiveStatus(), 0);
  CHECK_EQ(silent.replaceCalls, 0);
  CHECK(ReadBytes(target) == gCase.data);

  // Cancelling from the progress callback removes the output.
  DeleteFileA(target.c_str());
  Recorder stop;
  stop.progressCancelAt = 1;
  Extract(stop, out);
  CHECK_EQ(gApi.GetArchiveStatus(), GZARC_STATUS_CANCELLED);
  CHECK(!Exists(target));

  // Invalid data (block type 3) removes the output too.
  std::vector<uint8_t> bad = MakeArchive(gOemName, {});
  bad[10 + gOemName.size() + 1] = 0x07;
  const std::string badArchive = Join(folder, "bad.gz");
  WriteBytes(badArchive, bad);
  gApi.InitArcFile(badArchive.c_str());
  Recorder broken;
  RegisterCallbacks(broken);
  SetExtractDir(out);
  {
    Masks masks;
    gApi.ExtractFileMaskListArc(&masks.list);
  }
  CHECK_EQ(gApi.GetArchiveStatus(), GZARC_STATUS_BAD_DATA);
  CHECK(!Exists(target));

  // A size of 2 GiB reaches the signal callback sign-extended, the high half
  // in its own slot.
  std::vector<uint8_t> huge = MakeArchive("huge.txt", SampleData(10));
  huge.resize(huge.size() - 4);
  PutLe32(huge, 0x80000000u);
  const std::string hugeArchive = Join(folder, "huge.gz");
  WriteBytes(hugeArchive, huge);
  gApi.InitArcFile(hugeArchive.c_str());
  Recorder big;
  RegisterCallbacks(big);
  SetExtractDir(out);
  {
    Masks masks;
    gApi.ExtractFileMaskListArc(&masks.list);
  }
  CHECK_EQ(big.signalCalls, 1);
  CHECK_EQ(big.signalSize, INT64_C(-2147483648));
  DeleteFileA(Join(out, "huge.txt").c_str());
  gApi.DoneArcFile(nullptr);
}

// ---- Checks: the path rules of output files ----------------------------------------

void TestOutputPaths(const std::string& uncShare) {
  Section("output paths");
  const std::string folder = Join(gWork, "paths");
  CreateDirectoryA(folder.c_str(), nullptr);

  // Missing folders are created one level at a time.
  const std::string deep = Join(folder, "one\\two\\three");
  Recorder r;
  Extract(r, deep);
  CHECK_EQ(gApi.GetArchiveStatus(), 0);
  CHECK(ReadBytes(Join(deep, gAnsiName)) == gCase.data);

  // A bare drive stays a bare drive: the file lands in that drive's current
  // folder.
  const std::string cwd = Join(folder, "cwd");
  CreateDirectoryA(cwd.c_str(), nullptr);
  char previous[MAX_PATH] = {};
  GetCurrentDirectoryA(sizeof previous, previous);
  if (CHECK(SetCurrentDirectoryA(cwd.c_str()))) {
    const std::string drive = gWork.substr(0, 2);
    Recorder bare;
    Extract(bare, drive);
    CHECK_EQ(gApi.GetArchiveStatus(), 0);
    CHECK_TEXT(bare.to, drive + gAnsiName);
    CHECK(Exists(Join(cwd, gAnsiName)));
    SetCurrentDirectoryA(previous);
  }

  // Stored names: a ":" ends a drive, and a name that names a folder gives
  // the file the archive's name ("odd.gz": "odd").
  const std::string odd = Join(folder, "odd.gz");
  const std::string names = Join(folder, "names");
  CreateDirectoryA(names.c_str(), nullptr);
  const std::vector<uint8_t> small = SampleData(100);
  const struct {
    const char* stored;
    const char* file;
  } storedNames[] = {{"x:co.txt", "co.txt"}, {"C:", "odd"}, {"dir\\..", "odd"}};
  for (const auto& c : storedNames) {
    WriteBytes(odd, MakeArchive(c.stored, small));
    gApi.InitArcFile(odd.c_str());
    Recorder stored;
    RegisterCallbacks(stored);
    SetExtractDir(names);
    {
      Masks masks;
      gApi.ExtractFileMaskListArc(&masks.list);
    }
    CHECK_EQ(gApi.GetArchiveStatus(), 0);
    CHECK_TEXT(stored.to, Join(names, c.file));
    CHECK(ReadBytes(Join(names, c.file)) == small);
    DeleteFileA(Join(names, c.file).c_str());
  }
  // Never the archive itself, whatever the case of its name; the host is not
  // even asked.
  const std::vector<uint8_t> self = MakeArchive("ODD.GZ", small);
  WriteBytes(odd, self);
  gApi.InitArcFile(odd.c_str());
  Recorder itself;
  RegisterCallbacks(itself);
  SetExtractDir(folder);
  {
    Masks masks;
    gApi.ExtractFileMaskListArc(&masks.list);
  }
  CHECK_EQ(gApi.GetArchiveStatus(), GZARC_STATUS_FILE_ERROR);
  CHECK_EQ(itself.replaceCalls, 0);
  CHECK(ReadBytes(odd) == self);

  // A network path: the server and the share are never created, the
  // folders below them are.
  if (uncShare.empty()) {
    Skip("network path", "no network share given (second argument)");
  } else if (CHECK(Exists(uncShare))) {
    const std::string unc = Join(uncShare, "gzarc-unc\\inner");
    Recorder net;
    Extract(net, unc);
    CHECK_EQ(gApi.GetArchiveStatus(), 0);
    CHECK_TEXT(net.to, Join(unc, gAnsiName));
    CHECK(ReadBytes(Join(unc, gAnsiName)) == gCase.data);
    RemoveTree(Join(uncShare, "gzarc-unc"));
  }
  gApi.DoneArcFile(nullptr);
}

// ---- Checks: compression and the round trip -----------------------------------------

void TestCompression() {
  Section("compression");
  const std::string folder = Join(gWork, "pack");
  CreateDirectoryA(folder.c_str(), nullptr);
  const auto data = SampleData(300000);
  const std::string source = Join(folder, gAnsiName);
  WriteBytes(source, data);
  const int64_t sourceTime = 1234567890;  // 2009-02-13 23:31:30 UTC
  struct __utimbuf64 times = {sourceTime, sourceTime};
  _utime64(source.c_str(), &times);
  // The source is only read: a read-only one will do.
  SetFileAttributesA(source.c_str(), FILE_ATTRIBUTE_READONLY);

  Masks probe;
  if (!CHECK_EQ(gApi.AppendFileMask(gAnsiName.c_str(), &probe.list), 1)) {
    MakeWritable(source);
    return;
  }

  // The source is looked for below InputPath; the stored name leaves it out.
  gApi.SetInputPath(folder.c_str());
  gApi.CreateArcFile(Join(folder, "packed").c_str());
  CHECK_EQ(gApi.GetArchiveStatus(), 0);
  const std::string archive = Join(folder, "packed.GZ");
  Recorder r;
  RegisterCallbacks(r);
  gApi.CompressFileMaskListArc(&probe.list);
  const auto bytes = ReadBytes(archive);
  CHECK_EQ(gApi.GetArchiveStatus(), 0);
  CHECK(!r.wrongContext);
  CHECK_EQ(r.fileNameCalls, 1);
  CHECK_TEXT(r.from, source);
  CHECK_TEXT(r.to, "\\" + gOemName);
  CHECK(r.progressCalls >= 2);
  CHECK_EQ(r.progressCountSum, static_cast<int64_t>(data.size()));
  CHECK_EQ(r.lastPercent, 100);
  const std::size_t nameEnd = 10 + gOemName.size();
  if (CHECK(bytes.size() > nameEnd + 9)) {
    CHECK(bytes[0] == 0x1F && bytes[1] == 0x8B && bytes[2] == 8 && bytes[3] == 8);
    CHECK_EQ(Le32(bytes, 4), static_cast<uint32_t>(sourceTime));
    CHECK(bytes[8] == 0 && bytes[9] == 14);
    CHECK_TEXT(std::string(bytes.begin() + 10, bytes.begin() + nameEnd), gOemName);
    CHECK_EQ(bytes[nameEnd], 0);
    CHECK_EQ(Le32(bytes, bytes.size() - 8), ReferenceCrc32(data));
    CHECK_EQ(Le32(bytes, bytes.size() - 4), static_cast<uint32_t>(data.size()));
    CHECK(bytes.size() < data.size());
  }
  int64_t access = 0, write = 0;
  CHECK(FileTimes(archive, &access, &write));
  CHECK_EQ(write, sourceTime);
  gApi.DoneArcFile(nullptr);

  // Round trip through listing and extraction.
  {
    gApi.InitArcFile(archive.c_str());
    ArcEntryList list;
    gApi.InitArcFileList(&list);
    Masks all;
    gApi.BuildArcFileList(&list, &all.list);
    CHECK_EQ(gApi.GetArchiveStatus(), 0);
    if (CHECK_EQ(list.count, 1)) {
      CHECK_TEXT(std::string(list.head->name), gAnsiName);
      CHECK_EQ(list.head->unpackedSize, static_cast<int64_t>(data.size()));
    }
    gApi.DoneArcFileList(&list);
  }
  {
    const std::string back = Join(folder, "back");
    CreateDirectoryA(back.c_str(), nullptr);
    gApi.InitArcFile(archive.c_str());
    Recorder x;
    RegisterCallbacks(x);
    SetExtractDir(back);
    Masks all;
    gApi.ExtractFileMaskListArc(&all.list);
    CHECK_EQ(gApi.GetArchiveStatus(), 0);
    int64_t a = 0, w = 0;
    CHECK(FileTimes(Join(back, gAnsiName), &a, &w));
    CHECK_EQ(w, sourceTime);
    CHECK_EQ(a, sourceTime);
    CHECK(ReadBytes(Join(back, gAnsiName)) == data);

    // Deleting the member removes the archive.
    gApi.InitArcFile(archive.c_str());
    gApi.DeleteFileMaskListArc(&all.list);
    CHECK_EQ(gApi.GetArchiveStatus(), 0);
    CHECK(!Exists(archive));
  }

  // Cancelling from the progress callback leaves no archive behind.
  gApi.CreateArcFile(Join(folder, "cancelled").c_str());
  Recorder stop;
  stop.progressCancelAt = 1;
  RegisterCallbacks(stop);
  gApi.CompressFileMaskListArc(&probe.list);
  CHECK_EQ(gApi.GetArchiveStatus(), GZARC_STATUS_CANCELLED);
  CHECK(!Exists(Join(folder, "cancelled.GZ")));
  gApi.SetInputPath("");

  // A drive-qualified source is stored without its drive and root.
  Masks full;
  CHECK_EQ(gApi.AppendFileMask(source.c_str(), &full.list), 1);
  gApi.CreateArcFile(Join(folder, "drive").c_str());
  Recorder d;
  RegisterCallbacks(d);
  gApi.CompressFileMaskListArc(&full.list);
  CHECK_EQ(gApi.GetArchiveStatus(), 0);
  CHECK_TEXT(d.from, source);
  CHECK_TEXT(d.to, "\\" + ToOem(source.substr(3)));
  gApi.DoneArcFile(nullptr);
  MakeWritable(source);
}

// Large enough for the work to be shared among threads: on all the
// processors the process may use and on one alone, the same archive, the
// same output and the same progress calls.
void TestOnEveryProcessor() {
  Section("every processor");
  const std::string folder = Join(gWork, "cores");
  CreateDirectoryA(folder.c_str(), nullptr);
  const auto data = SampleData(6 << 20);
  const std::string source = Join(folder, "big.bin");
  WriteBytes(source, data);
  DWORD_PTR processMask = 0;
  DWORD_PTR systemMask = 0;
  GetProcessAffinityMask(GetCurrentProcess(), &processMask, &systemMask);
  struct Outcome {
    std::vector<uint8_t> archive, output;
    std::vector<int64_t> compressCalls, extractCalls;
  };
  const auto run = [&](DWORD_PTR mask, const char* name) {
    Outcome o;
    SetProcessAffinityMask(GetCurrentProcess(), mask);
    Masks source;
    CHECK_EQ(gApi.AppendFileMask(Join(folder, "big.bin").c_str(), &source.list), 1);
    const std::string base = Join(folder, name);
    gApi.CreateArcFile(base.c_str());
    Recorder c;
    RegisterCallbacks(c);
    gApi.CompressFileMaskListArc(&source.list);
    CHECK_EQ(gApi.GetArchiveStatus(), 0);
    o.archive = ReadBytes(base + ".GZ");
    o.compressCalls = c.progress;
    gApi.DoneArcFile(nullptr);
    const std::string out = base + "-out";
    CreateDirectoryA(out.c_str(), nullptr);
    gApi.InitArcFile((base + ".GZ").c_str());
    Recorder x;
    RegisterCallbacks(x);
    SetExtractDir(out);
    Masks all;
    gApi.ExtractFileMaskListArc(&all.list);
    CHECK_EQ(gApi.GetArchiveStatus(), 0);
    o.output = ReadBytes(Join(out, "big.bin"));
    o.extractCalls = x.progress;
    gApi.DoneArcFile(nullptr);
    SetProcessAffinityMask(GetCurrentProcess(), processMask);
    return o;
  };
  const Outcome all = run(processMask, "all");
  const Outcome one = run(processMask & (~processMask + 1), "one");
  CHECK(all.archive.size() > (1u << 20));
  CHECK(all.output == data);
  CHECK(one.output == data);
  CHECK(all.archive == one.archive);
  CHECK(all.compressCalls == one.compressCalls);
  CHECK(all.extractCalls == one.extractCalls);
}

std::string WorkFolder() {
  char temp[MAX_PATH] = {};
  GetTempPathA(sizeof temp, temp);
  char name[64];
  std::snprintf(name, sizeof name, "gzarc-host-%lu", GetCurrentProcessId());
  return Join(temp, name);
}

}  // namespace

int main(int argc, char** argv) {
  // Every message box the system might raise would hang an unattended run.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  const char* dll = argc > 1 ? argv[1] : "gzarc.dll";
  const std::string uncShare = argc > 2 ? argv[2] : "";
  std::printf("win_host: %d-bit host loading %s\n", static_cast<int>(sizeof(void*) * 8), dll);

  gWork = WorkFolder();
  RemoveTree(gWork);
  if (!CreateDirectoryA(gWork.c_str(), nullptr)) {
    std::printf("cannot create %s\n", gWork.c_str());
    return 1;
  }
  gWork += "\\";
  ChooseNames();

  TestExports(dll);
  if (gApi.module != nullptr && gFailed == 0) {
    TestCallingConvention();
    TestStatus();
    TestPlatform();
    TestOpenAndCreate();
    TestListing();
    TestExtraction();
    TestOutputPaths(uncShare);
    TestCompression();
    TestOnEveryProcessor();
  }
  gApi.DoneArcFile(nullptr);
  if (gApi.module != nullptr) FreeLibrary(gApi.module);
  RemoveTree(gWork.substr(0, gWork.size() - 1));

  std::printf("win_host: %d passed, %d failed, %d skipped\n", gPassed, gFailed, gSkipped);
  return gFailed == 0 ? 0 : 1;
}
