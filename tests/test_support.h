// Shared helpers of the tests and the fuzz targets: temporary folders,
// files and Windows-form paths, and whole host operations through the
// exports, so that each test acts as a host would.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <span>
#include <string>
#include <vector>

namespace gzarc::test {

// A fresh folder under base (the system's temporary folder when empty),
// removed with its contents when the object goes.
class TempDir {
 public:
  explicit TempDir(const std::string& base = "");
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

// The folder of a whole process (a fuzz target's runs), on a memory file
// system where there is one.
const TempDir& ProcessScratch();

std::string ToWin(const std::string& posixPath);
void WriteFile(const std::string& path, std::span<const uint8_t> bytes);
void WriteFile(const std::string& path, const std::string& text);
std::vector<uint8_t> ReadFile(const std::string& path);
bool FileExists(const std::string& path);
// The names in a folder, hidden ones included (none if it cannot be read).
std::set<std::string> Names(const std::string& folder);
// Removes everything inside a folder.
void ClearDir(const std::string& folder);
// Every file below a folder by relative name with its bytes; folders as
// names ending in "/" with no bytes.
using Tree = std::map<std::string, std::vector<uint8_t>>;
Tree Snapshot(const std::string& root);
// Runs a shell command; returns its exit status.
int Run(const std::string& command);
// Descriptors open in this process, to show that nothing leaks one.
std::size_t OpenDescriptorCount();
// True when a program is on the PATH.
bool HaveProgram(const std::string& name);

// Points extraction at a folder (Windows form, as a host passes it).
void SetExtractDir(const std::string& winDir);
// Where each export call of the operations below begins, for a test that
// traces the calls made inside them.
enum HostStep { kCreate, kMasks, kCompress, kOpenArchive, kExtractMasks, kExtract };
using StepHook = void (*)(HostStep step);
// CreateArcFile, a one-entry mask list and CompressFileMaskListArc; the
// host stops at the first status that is not 0 and ends with DoneArcFile.
uint16_t CompressAsHost(const std::string& archive, const std::string& source,
                        StepHook step = nullptr);
// InitArcFile, the callbacks (every existing file replaced) and the target
// folder, a "*.*" mask list and ExtractFileMaskListArc, likewise.
uint16_t ExtractAsHost(const std::string& archive, const std::string& targetDir,
                       StepHook step = nullptr);

}  // namespace gzarc::test
