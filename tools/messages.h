// Exit codes and the one-line messages that archive statuses become.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace gzarc_cli {

// The documented exit codes (README "Exit codes").
enum class ExitCode : int {
  kOk = 0,
  kFileError = 1,    // a file cannot be opened, read or written; no memory
  kUsage = 2,        // bad command line or a path the engine cannot take
  kNotGzip = 3,      // not a gzip archive, or a member or request the engine does not support
  kCorrupt = 4,      // the compressed data are corrupt
  kNoMatch = 5,      // no member matches the masks
  kExists = 6,       // a file is in the way and was not replaced
  kRefused = 7,      // the engine refused the request (one file per archive, a folder, ...)
  kNoEngine = 8,     // the engine library cannot be loaded
  kCancelled = 130,  // Ctrl-C or "quit"
};

// A failure to report as "gzarc: <message>" and end with code.
class CliError : public std::runtime_error {
 public:
  CliError(ExitCode code, const std::string& message) : std::runtime_error(message), code_(code) {}
  ExitCode code() const { return code_; }

 private:
  ExitCode code_;
};

// The worse of two outcomes, for the exit code of a run over several
// archives. From the worst: cancelled, a file error, corrupt data, not gzip,
// usage, refused, a file kept, no match, done. The engine's absence (8)
// ends a run before any archive.
ExitCode Worse(ExitCode a, ExitCode b);

// What an archive status means, in a few words ("not a gzip archive").
std::string StatusText(uint16_t status);
ExitCode ExitCodeForStatus(uint16_t status);
// The error to throw for a non-zero status: "<file>: <text>".
CliError StatusError(uint16_t status, const std::string& file);

// "gzarc: <message>" on standard error, after what standard output holds,
// with any control character of a name in it shown as an escape.
void ReportError(const std::string& message);

}  // namespace gzarc_cli
