// What the user sees and answers on a terminal: the progress bar, the
// overwrite prompt, and the signals (Ctrl-C, SIGTERM, SIGHUP) that cancel the
// running operation.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "gzarc.h"

namespace gzarc_cli {

bool StdinIsTerminal();
bool StderrIsTerminal();

// While alive, SIGINT (Ctrl-C), SIGTERM and SIGHUP do not end the process
// but raise a flag that the progress callback turns into a cancel, so that
// the engine removes what it was writing; a prompt waiting for an answer
// wakes up and answers quit. A second Ctrl-C ends the process at once. A
// signal that the process was started ignoring (nohup, a background job of
// a script) stays ignored.
class InterruptGuard {
 public:
  InterruptGuard();
  ~InterruptGuard();
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;
};
bool Interrupted();
// The first of those signals that arrived, or 0.
int CaughtSignal();
// " by SIGTERM" or " by SIGHUP" after "cancelled", "" for Ctrl-C and quit.
std::string CancelCause();

// A one-line bar on standard error: percent, bytes and speed. Draws nothing
// unless enabled (standard error is a terminal and the user did not ask for
// quiet).
class ProgressBar {
 public:
  explicit ProgressBar(bool enabled) : enabled_(enabled) {}
  ~ProgressBar() { Clear(); }
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  // total is the size to expect; sizeModulo4GiB when it is known only modulo
  // 2^32, as a gzip trailer gives it.
  void Begin(const std::string& label, int64_t total, bool sizeModulo4GiB = false);
  // One step of the engine's progress callback.
  void Step(int32_t percent, int32_t count);
  // Removes the bar so that other output starts on a clean line.
  void Clear();
  // Time spent waiting for the user, left out of the speed.
  void ExcludeWait(std::chrono::steady_clock::duration waited);
  int64_t bytes() const { return bytes_; }
  double waitedSeconds() const { return std::chrono::duration<double>(waited_).count(); }

 private:
  void Draw();
  int64_t ShownTotal() const;

  bool enabled_;
  bool shown_ = false;
  std::string label_;
  int64_t total_ = 0;
  bool modulo4GiB_ = false;
  int64_t bytes_ = 0;
  int32_t percent_ = 0;
  std::chrono::steady_clock::time_point start_{};
  std::chrono::steady_clock::time_point lastDraw_{};
  std::chrono::steady_clock::duration waited_{};
};

enum class ReplaceAnswer { kYes, kNo, kAll, kNone, kQuit };

// Asks on the terminal whether to replace path, showing both files' sizes
// and dates. End of input or Ctrl-C answer quit.
ReplaceAnswer AskReplace(const std::string& path, const FindData& existing, const FindData& member);
// A yes/no question on the terminal; anything but yes is no.
bool AskYesNo(const std::string& question);

}  // namespace gzarc_cli
