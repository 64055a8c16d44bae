#include "fuzz_host.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "gzarc.h"

namespace gzarc::fuzz {

const std::string& ScratchDir() {
  // Never destroyed: the exit handler below still needs it.
  static const std::string& dir = *new std::string([] {
    const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(base) + "/gzarc-fuzz-XXXXXX";
    const char* made = ::mkdtemp(pattern.data());
    if (made == nullptr) std::abort();
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(ScratchDir(), ec);
    });
    return std::string(made);
  }());
  return dir;
}

std::string ScratchPath(const std::string& name) { return ScratchDir() + "/" + name; }

std::string WinPath(const std::string& posixPath) {
  std::string s = posixPath;
  for (char& c : s) {
    if (c == '/') c = '\\';
  }
  return s;
}

void PutFile(const std::string& path, const uint8_t* data, std::size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

std::vector<uint8_t> GetFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

void Clear(const std::string& dir) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(entry.path(), ec);
  }
}

void MakeDir(const std::string& dir) { ::mkdir(dir.c_str(), 0777); }

std::size_t CountEntries(const std::string& dir) {
  std::size_t n = 0;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator(dir, ec);
       it != std::filesystem::directory_iterator(); it.increment(ec)) {
    ++n;
  }
  return n;
}

void SetExtractDir(const std::string& posixDir) {
  std::vector<char> record(GZARC_DECOMP_RECORD_SIZE, 0);
  const std::string win = WinPath(posixDir);
  std::memcpy(record.data() + GZARC_DECOMP_EXTRACT_DIR, win.data(),
              std::min<std::size_t>(win.size(), 300));
  SetDecompExtraFeatures(record.data());
}

}  // namespace gzarc::fuzz
