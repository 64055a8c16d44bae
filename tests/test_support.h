// Shared helpers of the tests: temporary folders, files and Windows-form
// paths, so that each test acts as a host would.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace gzarc::test {

// A fresh folder under the system's temporary folder, removed with its
// contents when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // POSIX path of a name inside the folder.
  std::string Native(const std::string& name) const { return path_ + "/" + name; }
  // The same path in the engine's Windows form (backslashes).
  std::string Win(const std::string& name) const;

 private:
  std::string path_;
};

std::string ToWin(const std::string& posixPath);
void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);
void WriteFile(const std::string& path, const std::string& text);
std::vector<uint8_t> ReadFile(const std::string& path);
bool FileExists(const std::string& path);
// Runs a shell command; returns its exit status.
int Run(const std::string& command);
// Descriptors open in this process, to show that nothing leaks one.
std::size_t OpenDescriptorCount();
// True when a program is on the PATH.
bool HaveProgram(const std::string& name);

}  // namespace gzarc::test
