// The host's side of each engine operation: the order of the calls, the
// callbacks, and turning every archive status into an error that names the
// file. Paths given here are absolute POSIX paths; the engine receives them
// in its Windows form.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine_loader.h"
#include "terminal_ui.h"

namespace gzarc_cli {

// What extraction does with a file that is in the way.
enum class ExistingPolicy {
  kAsk,        // prompt on the terminal; refuse when there is none
  kOverwrite,  // --overwrite
  kSkip,       // --skip-existing
};

// State that the engine's callbacks reach through their context pointer.
struct HostSession {
  explicit HostSession(bool showProgress) : progress(showProgress) {}

  ProgressBar progress;
  ExistingPolicy existing = ExistingPolicy::kAsk;
  bool canPrompt = false;  // standard input is a terminal
  bool replaceAll = false;
  bool replaceNone = false;
  bool quit = false;
  std::string currentTarget;          // the output path the engine reported last
  std::vector<std::string> reported;  // every output path it reported
  std::vector<std::string> skipped;   // kept by the user's choice
  std::vector<std::string> refused;   // kept because nobody could be asked
};

struct Member {
  std::string name;
  int64_t packedSize = 0;
  int64_t unpackedSize = 0;
  uint32_t dosDateTime = 0;
  uint32_t attributes = 0;
};

struct Listing {
  std::vector<Member> members;
  ArcExtraInfo info{};
};

// Opens the archive and lists the members matching masks.
Listing ListArchive(const EngineApi& api, const std::string& archive, const std::string& display,
                    const std::vector<std::string>& masks);

struct ExtractResult {
  std::vector<std::string> written;  // output paths, POSIX form
  int64_t bytes = 0;
  double seconds = 0;
};
// Extracts the matching members into folder (created when missing).
ExtractResult ExtractArchive(const EngineApi& api, HostSession& session, const std::string& archive,
                             const std::string& display, const std::string& folder,
                             const std::vector<std::string>& masks);

struct CompressResult {
  int64_t sourceSize = 0;
  int64_t archiveSize = 0;
  double seconds = 0;
};
// Compresses the files named by masks, which are relative to inputFolder,
// into archive (the engine takes exactly one). The archive is written under
// a temporary name and takes its own when complete, replacing an existing
// file only when replace is set. sourceDisplay names the first file in
// messages.
CompressResult CompressFile(const EngineApi& api, HostSession& session, const std::string& archive,
                            const std::string& display, const std::string& inputFolder,
                            const std::vector<std::string>& masks, const std::string& sourceDisplay,
                            bool replace);

// Deletes the matching member, which removes the archive file. Returns the
// listing of what was deleted.
Listing DeleteFromArchive(const EngineApi& api, const std::string& archive,
                          const std::string& display, const std::vector<std::string>& masks);

// Ends the work on the current archive (DoneArcFile) whichever way the
// operation leaves.
class ArchiveScope {
 public:
  explicit ArchiveScope(const EngineApi& api) : api_(api) {}
  ~ArchiveScope() { api_.DoneArcFile(nullptr); }
  ArchiveScope(const ArchiveScope&) = delete;
  ArchiveScope& operator=(const ArchiveScope&) = delete;

 private:
  const EngineApi& api_;
};

// The masks for messages: "'*.txt', 'a?.doc'".
std::string JoinMasks(const std::vector<std::string>& masks);

// The reason a file cannot be used, from the system ("No such file or
// directory"), or "" when it looks fine.
std::string FileProblem(const std::string& path, bool forWriting);
// Why size bytes cannot be written at target, from what the file system
// shows (a folder in the way, a read-only folder, a full disk), or "".
// Without sizeIsExact, size is only an upper bound and not shown.
std::string WhyCannotWrite(const std::string& target, int64_t size, bool sizeIsExact = true);
bool FileExists(const std::string& path);
int64_t FileSize(const std::string& path);

}  // namespace gzarc_cli
