#include "terminal_ui.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string_view>

#include "format.h"

namespace gzarc_cli {
namespace {

volatile sig_atomic_t gInterrupted = 0;
struct sigaction gPreviousAction {};
int gGuardDepth = 0;

void OnInterrupt(int) {
  gInterrupted = 1;
  // The next Ctrl-C takes the default way out, should the engine not get
  // back to its progress callback.
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  ::sigaction(SIGINT, &fallback, nullptr);
}

void WriteErr(std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

// One line from standard input, read unbuffered so that Ctrl-C interrupts it
// (the handler is installed without SA_RESTART). False at end of input or on
// an interrupt.
bool ReadAnswer(std::string* line) {
  line->clear();
  for (;;) {
    char c = 0;
    const ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR && !gInterrupted) continue;
    if (n <= 0) return false;
    if (c == '\n') return true;
    if (c != '\r') *line += c;
  }
}

std::string Trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  const auto last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

std::string Describe(const FindData& data) {
  const int64_t size = (int64_t{data.sizeHigh} << 32) | data.sizeLow;
  const DateTime t = FromFileTime(data.lastWriteTime);
  return GroupedBytes(size) + " bytes, " + DateText(t) + " " + TimeText(t);
}

}  // namespace

bool StdinIsTerminal() {
  return ::isatty(STDIN_FILENO) == 1;
}
bool StderrIsTerminal() {
  return ::isatty(STDERR_FILENO) == 1;
}

// Guards nest: a command guards its whole run and each operation its own
// part, and only the outermost one installs and restores the handler, so a
// Ctrl-C between two operations is not forgotten.
InterruptGuard::InterruptGuard() {
  if (gGuardDepth++ > 0) return;
  gInterrupted = 0;
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  ::sigaction(SIGINT, &action, &gPreviousAction);
}

InterruptGuard::~InterruptGuard() {
  if (--gGuardDepth == 0) ::sigaction(SIGINT, &gPreviousAction, nullptr);
}

bool Interrupted() {
  return gInterrupted != 0;
}

void ProgressBar::Begin(const std::string& label, int64_t total) {
  label_ = label;
  total_ = total;
  bytes_ = 0;
  percent_ = 0;
  start_ = std::chrono::steady_clock::now();
  lastDraw_ = {};
}

void ProgressBar::Step(int32_t percent, int32_t count) {
  bytes_ += count > 0 ? count : 0;
  percent_ = total_ > 0 ? percent : 100;
  if (!enabled_) return;
  const auto now = std::chrono::steady_clock::now();
  if (shown_ && now - lastDraw_ < std::chrono::milliseconds(100)) return;
  lastDraw_ = now;
  Draw();
}

void ProgressBar::Draw() {
  constexpr int kWidth = 24;
  const int clamped = percent_ < 0 ? 0 : (percent_ > 100 ? 100 : percent_);
  std::string bar(static_cast<std::size_t>(clamped * kWidth / 100), '#');
  bar.resize(kWidth, '.');
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  const int64_t speed = seconds > 0.05 ? static_cast<int64_t>(bytes_ / seconds) : 0;
  char line[512];
  std::snprintf(line, sizeof line, "\r%s [%s] %3d%%  %s / %s  %s/s\033[K", label_.c_str(),
                bar.c_str(), clamped, HumanSize(bytes_).c_str(), HumanSize(total_).c_str(),
                HumanSize(speed).c_str());
  WriteErr(line);
  shown_ = true;
}

void ProgressBar::Clear() {
  if (!shown_) return;
  WriteErr("\r\033[K");
  shown_ = false;
}

ReplaceAnswer AskReplace(const std::string& path, const FindData& existing,
                         const FindData& member) {
  WriteErr(path + " already exists.\n  existing: " + Describe(existing) +
           "\n  archived: " + Describe(member) + "\n");
  for (;;) {
    WriteErr("Replace it? [y]es, [n]o, [a]ll, n[o]ne, [q]uit: ");
    std::string answer;
    if (!ReadAnswer(&answer)) {
      WriteErr("\n");
      return ReplaceAnswer::kQuit;
    }
    answer = Trimmed(answer);
    for (char& c : answer) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (answer == "y" || answer == "yes") return ReplaceAnswer::kYes;
    if (answer == "n" || answer == "no") return ReplaceAnswer::kNo;
    if (answer == "a" || answer == "all") return ReplaceAnswer::kAll;
    if (answer == "o" || answer == "none") return ReplaceAnswer::kNone;
    if (answer == "q" || answer == "quit") return ReplaceAnswer::kQuit;
  }
}

bool AskYesNo(const std::string& question) {
  WriteErr(question + " [y/N]: ");
  std::string answer;
  if (!ReadAnswer(&answer)) {
    WriteErr("\n");
    return false;
  }
  answer = Trimmed(answer);
  return answer == "y" || answer == "Y" || answer == "yes" || answer == "YES" || answer == "Yes";
}

}  // namespace gzarc_cli
