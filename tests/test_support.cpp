#include "test_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "gzarc.h"

namespace gzarc::test {

namespace fs = std::filesystem;

TempDir::TempDir(const std::string& base) {
  std::string pattern =
      ((base.empty() ? fs::temp_directory_path() : fs::path(base)) / "gzarc-test-XXXXXX").string();
  char* made = ::mkdtemp(pattern.data());
  path_ = made != nullptr ? made : "";
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  // Read-only files and folders left by a test must not stop the clean-up.
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(path_, ec);
       it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->is_symlink()) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
  }
  fs::remove_all(path_, ec);
}

const TempDir& ProcessScratch() {
  static const TempDir dir(::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "");
  return dir;
}

std::string ToWin(const std::string& posixPath) {
  std::string s = posixPath;
  std::replace(s.begin(), s.end(), '/', '\\');
  return s;
}

std::string TempDir::Win(const std::string& name) const {
  return ToWin(Native(name));
}

void WriteFile(const std::string& path, std::span<const uint8_t> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

void WriteFile(const std::string& path, const std::string& text) {
  WriteFile(path, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

std::set<std::string> Names(const std::string& folder) {
  std::set<std::string> names;
  std::error_code ec;
  for (auto it = fs::directory_iterator(folder, ec); it != fs::directory_iterator();
       it.increment(ec)) {
    names.insert(it->path().filename().string());
  }
  return names;
}

void ClearDir(const std::string& folder) {
  std::error_code ec;
  for (const std::string& name : Names(folder)) {
    const fs::path entry = fs::path(folder) / name;
    fs::permissions(entry, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(entry, ec);
  }
}

Tree Snapshot(const std::string& root) {
  Tree tree;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec);
       it != fs::recursive_directory_iterator(); it.increment(ec)) {
    const std::string rel = fs::relative(it->path(), root).string();
    if (it->is_directory()) {
      tree[rel + "/"] = {};
    } else {
      tree[rel] = ReadFile(it->path().string());
    }
  }
  return tree;
}

int Run(const std::string& command) {
  const int rc = std::system(command.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::size_t OpenDescriptorCount() {
  return Names("/proc/self/fd").size();
}

bool HaveProgram(const std::string& name) {
  return Run("command -v " + name + " >/dev/null 2>&1") == 0;
}

void SetExtractDir(const std::string& winDir) {
  std::vector<char> record(GZARC_DECOMP_RECORD_SIZE, 0);
  std::memcpy(record.data() + GZARC_DECOMP_EXTRACT_DIR, winDir.data(),
              std::min<std::size_t>(winDir.size(), record.size() - GZARC_DECOMP_EXTRACT_DIR - 1));
  SetDecompExtraFeatures(record.data());
}

namespace {

int32_t GZARC_CALL KeepGoing(void*, int32_t, int32_t) {
  return 1;
}
int32_t GZARC_CALL NoteName(void*, const char*, const char*) {
  return 1;
}
int32_t GZARC_CALL Replace(void*, const FindData*, const FindData*) {
  return GZARC_REPLACE_EXTRACT;
}
void GZARC_CALL NoteSignal(void*, int64_t, int32_t) {}

void Enter(StepHook step, HostStep where) {
  if (step != nullptr) step(where);
}

// Ends an operation as a host does, leaving no callback behind for the next.
uint16_t Finish(uint16_t status) {
  DoneArcFile(nullptr);
  SetSetProgressProc(nullptr, nullptr);
  SetSetFileNameProc(nullptr, nullptr);
  SetOkToReplaceProc(nullptr, nullptr);
  SetSetSignalProc(nullptr, nullptr);
  return status;
}

}  // namespace

uint16_t CompressAsHost(const std::string& archive, const std::string& source, StepHook step) {
  SetSetProgressProc(nullptr, KeepGoing);
  SetSetFileNameProc(nullptr, NoteName);
  Enter(step, kCreate);
  CreateArcFile(archive.c_str());
  uint16_t status = GetArchiveStatus();
  if (status != 0) return Finish(status);
  Enter(step, kMasks);
  FileMaskList masks;
  InitFileMaskList(&masks);
  if (AppendFileMask(source.c_str(), &masks) == 0) {
    status = GetArchiveStatus();
  } else {
    Enter(step, kCompress);
    CompressFileMaskListArc(&masks);
    status = GetArchiveStatus();
  }
  DoneFileMaskList(&masks);
  return Finish(status);
}

uint16_t ExtractAsHost(const std::string& archive, const std::string& targetDir, StepHook step) {
  Enter(step, kOpenArchive);
  InitArcFile(archive.c_str());
  uint16_t status = GetArchiveStatus();
  if (status != 0) return Finish(status);
  SetSetProgressProc(nullptr, KeepGoing);
  SetSetFileNameProc(nullptr, NoteName);
  SetOkToReplaceProc(nullptr, Replace);
  SetSetSignalProc(nullptr, NoteSignal);
  SetExtractDir(targetDir);
  Enter(step, kExtractMasks);
  FileMaskList masks;
  InitFileMaskList(&masks);
  if (AppendFileMask("*.*", &masks) == 0) {
    status = GetArchiveStatus();
  } else {
    Enter(step, kExtract);
    ExtractFileMaskListArc(&masks);
    status = GetArchiveStatus();
  }
  DoneFileMaskList(&masks);
  return Finish(status);
}

}  // namespace gzarc::test
