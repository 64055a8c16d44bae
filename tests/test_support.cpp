#include "test_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace gzarc::test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "gzarc-test-XXXXXX").string();
  char* made = ::mkdtemp(pattern.data());
  path_ = made != nullptr ? made : "";
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  // Read-only files and folders left by a test must not stop the clean-up.
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->is_symlink()) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
    }
  }
  std::filesystem::remove_all(path_, ec);
}

std::string ToWin(const std::string& posixPath) {
  std::string s = posixPath;
  for (char& c : s) {
    if (c == '/') c = '\\';
  }
  return s;
}

std::string TempDir::Win(const std::string& name) const {
  return ToWin(Native(name));
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

void WriteFile(const std::string& path, const std::string& text) {
  WriteFile(path, std::vector<uint8_t>(text.begin(), text.end()));
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

int Run(const std::string& command) {
  const int rc = std::system(command.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::size_t OpenDescriptorCount() {
  std::size_t n = 0;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ec);
       it != std::filesystem::directory_iterator(); it.increment(ec)) {
    ++n;
  }
  return n;
}

bool HaveProgram(const std::string& name) {
  return Run("command -v " + name + " >/dev/null 2>&1") == 0;
}

}  // namespace gzarc::test
