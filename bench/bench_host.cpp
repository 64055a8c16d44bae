// A minimal host for measurements: it loads the engine library at run time
// and compresses or extracts one file exactly as an archiver host would,
// then reports the time of the operation and the peak memory of the process
// as one JSON object on stdout.
//
//   bench_host LIB compress SOURCE ARCHIVE [--no-verify]
//   bench_host LIB extract ARCHIVE OUTDIR [--expect SOURCE] [--no-verify]
//
// Compression checks the archive's trailer (CRC-32 and length) against the
// source; extraction checks the single file it produced against the
// archive's trailer and, with --expect, byte for byte against the source.
// The checks stream through small buffers so that they do not raise the
// peak memory, and they run after the timed part. Exit status: 0 success,
// 1 the engine failed or a check failed, 2 bad usage or the library could
// not be loaded.
//
// Built for Windows (MinGW) it loads gzarc.dll the same way, through
// LoadLibraryA; its paths are then Windows paths (Z:\... under Wine).
#if defined(_WIN32)
#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>
#else
#include <dirent.h>
#include <dlfcn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "gzarc.h"

namespace {

// ---- What differs between the two systems ------------------------------------

#if defined(_WIN32)
using Library = HMODULE;

Library OpenLibrary(const std::string& path, std::string& error) {
  const HMODULE module = ::LoadLibraryA(path.c_str());
  if (module == nullptr) error = "LoadLibraryA failed, error " + std::to_string(::GetLastError());
  return module;
}

void* FindSymbol(Library library, const char* name) {
  return reinterpret_cast<void*>(::GetProcAddress(library, name));
}

std::string AbsolutePath(const std::string& path) {
  char full[MAX_PATH * 4];
  const DWORD n = ::GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
  return n > 0 && n < sizeof full ? std::string(full, n) : path;
}

bool IsRegularFile(const std::string& path, uint64_t* size = nullptr) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) ||
      (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return false;
  }
  if (size != nullptr) *size = (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
  return true;
}

std::vector<std::string> FilesIn(const std::string& dir) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  const HANDLE search = ::FindFirstFileA((dir + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const std::string name = found.cFileName;
    if (name != "." && name != "..") names.push_back(name);
  } while (::FindNextFileA(search, &found));
  ::FindClose(search);
  return names;
}

bool MakeFolder(const std::string& dir) {
  return ::CreateDirectoryA(dir.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS;
}

bool RemoveFile(const std::string& path) {
  return ::DeleteFileA(path.c_str()) || ::GetLastError() == ERROR_FILE_NOT_FOUND;
}

long PeakRssKb() {
  PROCESS_MEMORY_COUNTERS counters{};
  if (!::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters)) return 0;
  return static_cast<long>(counters.PeakWorkingSetSize / 1024);
}
#else
using Library = void*;

Library OpenLibrary(const std::string& path, std::string& error) {
  void* library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* why = ::dlerror();
    error = why != nullptr ? why : "dlopen failed";
  }
  return library;
}

void* FindSymbol(Library library, const char* name) {
  return ::dlsym(library, name);
}

// The engine takes Windows paths: absolute, with backslashes.
std::string AbsolutePath(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  std::array<char, 4096> cwd{};
  if (::getcwd(cwd.data(), cwd.size()) == nullptr) return path;
  return std::string(cwd.data()) + "/" + path;
}

bool IsRegularFile(const std::string& path, uint64_t* size = nullptr) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (size != nullptr) *size = static_cast<uint64_t>(st.st_size);
  return true;
}

std::vector<std::string> FilesIn(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return names;
  while (const dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(d);
  return names;
}

bool MakeFolder(const std::string& dir) {
  return ::mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST;
}

bool RemoveFile(const std::string& path) {
  return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

long PeakRssKb() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}
#endif

// ---- The engine's exports, resolved by name ---------------------------------

struct EngineApi {
  Library library = nullptr;
  uint16_t(GZARC_CALL* GetArchiveStatus)(void) = nullptr;
  void(GZARC_CALL* CreateArcFile)(const char*) = nullptr;
  void(GZARC_CALL* InitArcFile)(const char*) = nullptr;
  void(GZARC_CALL* DoneArcFile)(void*) = nullptr;
  FileMaskList*(GZARC_CALL* InitFileMaskList)(FileMaskList*) = nullptr;
  uint8_t(GZARC_CALL* AppendFileMask)(const char*, FileMaskList*) = nullptr;
  void(GZARC_CALL* DoneFileMaskList)(FileMaskList*) = nullptr;
  void(GZARC_CALL* CompressFileMaskListArc)(const FileMaskList*) = nullptr;
  void(GZARC_CALL* ExtractFileMaskListArc)(const FileMaskList*) = nullptr;
  void(GZARC_CALL* SetDecompExtraFeatures)(const void*) = nullptr;
  void(GZARC_CALL* SetSetProgressProc)(void*, ProgressProc) = nullptr;
};

template <typename Fn>
bool Resolve(Library library, const char* name, Fn& fn, std::string& error) {
  void* symbol = FindSymbol(library, name);
  if (symbol == nullptr) {
    error = std::string("missing export ") + name;
    return false;
  }
  fn = reinterpret_cast<Fn>(symbol);
  return true;
}

bool LoadEngine(const std::string& path, EngineApi& api, std::string& error) {
  api.library = OpenLibrary(path, error);
  if (api.library == nullptr) return false;
  const Library l = api.library;
  return Resolve(l, "GetArchiveStatus", api.GetArchiveStatus, error) &&
         Resolve(l, "CreateArcFile", api.CreateArcFile, error) &&
         Resolve(l, "InitArcFile", api.InitArcFile, error) &&
         Resolve(l, "DoneArcFile", api.DoneArcFile, error) &&
         Resolve(l, "InitFileMaskList", api.InitFileMaskList, error) &&
         Resolve(l, "AppendFileMask", api.AppendFileMask, error) &&
         Resolve(l, "DoneFileMaskList", api.DoneFileMaskList, error) &&
         Resolve(l, "CompressFileMaskListArc", api.CompressFileMaskListArc, error) &&
         Resolve(l, "ExtractFileMaskListArc", api.ExtractFileMaskListArc, error) &&
         Resolve(l, "SetDecompExtraFeatures", api.SetDecompExtraFeatures, error) &&
         Resolve(l, "SetSetProgressProc", api.SetSetProgressProc, error);
}

// A host shows progress; counting the calls keeps the callback as cheap as
// the cheapest real host while still paying for the call itself.
struct ProgressCounter {
  long calls = 0;
};

int32_t GZARC_CALL OnProgress(void* context, int32_t, int32_t) {
  if (context != nullptr) ++static_cast<ProgressCounter*>(context)->calls;
  return 1;
}

// ---- Paths ------------------------------------------------------------------

// The engine takes Windows paths, with backslashes.
std::string ToWindows(std::string path) {
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

// ---- Checks -----------------------------------------------------------------

constexpr std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}
constexpr auto kCrcTable = MakeCrcTable();

constexpr std::size_t kChunk = 64 * 1024;

// CRC-32 and length of a whole file; false when it cannot be read.
bool CrcOfFile(const std::string& path, uint32_t& crc, uint64_t& length) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  std::vector<unsigned char> buffer(kChunk);
  uint32_t c = 0xFFFFFFFFu;
  length = 0;
  std::size_t n;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), f)) > 0) {
    for (std::size_t i = 0; i < n; ++i) c = kCrcTable[(c ^ buffer[i]) & 0xFF] ^ (c >> 8);
    length += n;
  }
  const bool ok = std::ferror(f) == 0;
  std::fclose(f);
  crc = ~c;
  return ok;
}

// The CRC-32 and the length modulo 2^32 from a member's 8-byte trailer.
bool ReadTrailer(const std::string& archive, uint32_t& crc, uint32_t& length) {
  FILE* f = std::fopen(archive.c_str(), "rb");
  if (f == nullptr) return false;
  std::array<unsigned char, 8> t{};
  const bool ok = std::fseek(f, -8, SEEK_END) == 0 && std::fread(t.data(), 1, 8, f) == 8;
  std::fclose(f);
  if (!ok) return false;
  crc = t[0] | t[1] << 8 | t[2] << 16 | static_cast<uint32_t>(t[3]) << 24;
  length = t[4] | t[5] << 8 | t[6] << 16 | static_cast<uint32_t>(t[7]) << 24;
  return true;
}

bool SameContents(const std::string& a, const std::string& b) {
  FILE* fa = std::fopen(a.c_str(), "rb");
  FILE* fb = std::fopen(b.c_str(), "rb");
  bool same = fa != nullptr && fb != nullptr;
  std::vector<unsigned char> ba(kChunk), bb(kChunk);
  while (same) {
    const std::size_t na = std::fread(ba.data(), 1, ba.size(), fa);
    const std::size_t nb = std::fread(bb.data(), 1, bb.size(), fb);
    if (na != nb || std::memcmp(ba.data(), bb.data(), na) != 0) same = false;
    if (na == 0) break;
  }
  if (fa != nullptr) std::fclose(fa);
  if (fb != nullptr) std::fclose(fb);
  return same;
}

// ---- Report -----------------------------------------------------------------

struct Report {
  std::string op;
  bool ok = false;
  int status = -1;
  double seconds = 0;
  uint64_t inputBytes = 0;
  uint64_t outputBytes = 0;
  long maxRssKb = 0;
  long progressCalls = 0;
  std::string verified = "skipped";  // "yes", "no" or "skipped"
  std::string crc;
  std::string error;
};

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (const char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned char>(c));
      out += esc;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

void Print(const Report& r) {
  std::printf(
      "{\"tool\": \"gzarc\", \"op\": %s, \"ok\": %s, \"status\": %d, \"seconds\": %.6f, "
      "\"input_bytes\": %llu, \"output_bytes\": %llu, \"max_rss_kb\": %ld, "
      "\"progress_calls\": %ld, \"verified\": %s, \"crc32\": %s, \"error\": %s}\n",
      JsonString(r.op).c_str(), r.ok ? "true" : "false", r.status, r.seconds,
      static_cast<unsigned long long>(r.inputBytes), static_cast<unsigned long long>(r.outputBytes),
      r.maxRssKb, r.progressCalls, JsonString(r.verified).c_str(), JsonString(r.crc).c_str(),
      JsonString(r.error).c_str());
  std::fflush(stdout);
}

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%08x", value);
  return text;
}

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// ---- Operations -------------------------------------------------------------

void Compress(const EngineApi& api, const std::string& source, const std::string& archive,
              bool verify, Report& r) {
  r.op = "compress";
  if (!IsRegularFile(source, &r.inputBytes)) {
    r.error = "source is not a readable file";
    return;
  }
  // The engine refuses to create over an existing archive.
  if (!RemoveFile(archive)) {
    r.error = "cannot remove the old archive";
    return;
  }
  const std::string winSource = ToWindows(source);
  const std::string winArchive = ToWindows(archive);
  ProgressCounter progress;
  FileMaskList masks{};

  const auto start = Clock::now();
  api.SetSetProgressProc(&progress, OnProgress);
  api.CreateArcFile(winArchive.c_str());
  r.status = api.GetArchiveStatus();
  if (r.status == GZARC_STATUS_OK) {
    api.InitFileMaskList(&masks);
    if (api.AppendFileMask(winSource.c_str(), &masks) == 0) {
      r.status = api.GetArchiveStatus();
      r.error = "AppendFileMask failed";
    } else {
      api.CompressFileMaskListArc(&masks);
      r.status = api.GetArchiveStatus();
    }
    api.DoneFileMaskList(&masks);
  }
  api.DoneArcFile(nullptr);
  r.seconds = Since(start);
  r.maxRssKb = PeakRssKb();
  r.progressCalls = progress.calls;

  if (r.status != GZARC_STATUS_OK) {
    if (r.error.empty()) r.error = "engine status " + std::to_string(r.status);
    return;
  }
  if (!IsRegularFile(archive, &r.outputBytes) || r.outputBytes < 18) {
    r.error = "no archive written";
    return;
  }
  r.ok = true;
  if (!verify) return;
  uint32_t trailerCrc = 0, trailerLength = 0, sourceCrc = 0;
  uint64_t sourceLength = 0;
  if (!ReadTrailer(archive, trailerCrc, trailerLength) ||
      !CrcOfFile(source, sourceCrc, sourceLength)) {
    r.ok = false;
    r.error = "cannot read back for the check";
    return;
  }
  r.crc = Hex(trailerCrc);
  const bool match =
      trailerCrc == sourceCrc && trailerLength == static_cast<uint32_t>(sourceLength);
  r.verified = match ? "yes" : "no";
  if (!match) {
    r.ok = false;
    r.error = "trailer CRC/length differ from the source";
  }
}

void Extract(const EngineApi& api, const std::string& archive, const std::string& outDir,
             const std::string& expect, bool verify, Report& r) {
  r.op = "extract";
  if (!IsRegularFile(archive, &r.inputBytes)) {
    r.error = "archive is not a readable file";
    return;
  }
  if (!MakeFolder(outDir)) {
    r.error = "cannot create the output folder";
    return;
  }
  // The output file is named after the member, so the folder must start
  // empty for the one new file to be found.
  if (!FilesIn(outDir).empty()) {
    r.error = "output folder is not empty";
    return;
  }
  const std::string winArchive = ToWindows(archive);
  std::array<char, GZARC_DECOMP_RECORD_SIZE> features{};
  const std::string winDir = ToWindows(outDir);
  if (winDir.size() >= features.size() - GZARC_DECOMP_EXTRACT_DIR) {
    r.error = "output folder path too long";
    return;
  }
  std::memcpy(features.data() + GZARC_DECOMP_EXTRACT_DIR, winDir.data(), winDir.size());
  ProgressCounter progress;
  FileMaskList masks{};

  const auto start = Clock::now();
  api.InitArcFile(winArchive.c_str());
  r.status = api.GetArchiveStatus();
  if (r.status == GZARC_STATUS_OK) {
    // Opening an archive forgets the progress callback, so it comes after.
    api.SetSetProgressProc(&progress, OnProgress);
    api.SetDecompExtraFeatures(features.data());
    api.InitFileMaskList(&masks);
    if (api.AppendFileMask("*.*", &masks) == 0) {
      r.status = api.GetArchiveStatus();
      r.error = "AppendFileMask failed";
    } else {
      api.ExtractFileMaskListArc(&masks);
      r.status = api.GetArchiveStatus();
    }
    api.DoneFileMaskList(&masks);
  }
  api.DoneArcFile(nullptr);
  r.seconds = Since(start);
  r.maxRssKb = PeakRssKb();
  r.progressCalls = progress.calls;

  if (r.status != GZARC_STATUS_OK) {
    if (r.error.empty()) r.error = "engine status " + std::to_string(r.status);
    return;
  }
  const auto produced = FilesIn(outDir);
  if (produced.size() != 1) {
    r.error = "expected one extracted file, found " + std::to_string(produced.size());
    return;
  }
  const std::string output = outDir + "/" + produced[0];
  if (!IsRegularFile(output, &r.outputBytes)) {
    r.error = "extracted entry is not a file";
    return;
  }
  r.ok = true;
  if (!verify) return;
  uint32_t trailerCrc = 0, trailerLength = 0, outputCrc = 0;
  uint64_t outputLength = 0;
  if (!ReadTrailer(archive, trailerCrc, trailerLength) ||
      !CrcOfFile(output, outputCrc, outputLength)) {
    r.ok = false;
    r.error = "cannot read back for the check";
    return;
  }
  r.crc = Hex(outputCrc);
  bool match = outputCrc == trailerCrc && static_cast<uint32_t>(outputLength) == trailerLength;
  if (match && !expect.empty()) match = SameContents(output, expect);
  r.verified = match ? "yes" : "no";
  if (!match) {
    r.ok = false;
    r.error = expect.empty() ? "extracted CRC/length differ from the trailer"
                             : "extracted bytes differ from the source";
  }
}

int Usage() {
  std::fprintf(stderr,
               "usage: bench_host LIB compress SOURCE ARCHIVE [--no-verify]\n"
               "       bench_host LIB extract ARCHIVE OUTDIR [--expect SOURCE] [--no-verify]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) return Usage();
  const std::string library = AbsolutePath(argv[1]);
  const std::string op = argv[2];
  const std::string first = AbsolutePath(argv[3]);
  const std::string second = AbsolutePath(argv[4]);
  std::string expect;
  bool verify = true;
  for (int i = 5; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--no-verify") {
      verify = false;
    } else if (arg == "--expect" && i + 1 < argc) {
      expect = AbsolutePath(argv[++i]);
    } else {
      return Usage();
    }
  }
  if (op != "compress" && op != "extract") return Usage();

  Report r;
  r.op = op;
  EngineApi api;
  std::string error;
  if (!LoadEngine(library, api, error)) {
    r.error = error;
    Print(r);
    return 2;
  }
  if (op == "compress") {
    Compress(api, first, second, verify, r);
  } else {
    Extract(api, first, second, expect, verify, r);
  }
  Print(r);
  return r.ok ? 0 : 1;
}
