#include "terminal_ui.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <string_view>

#include "format.h"

namespace gzarc_cli {
namespace {

// The signals that cancel, the dispositions they had before, and whether
// each was taken over (one the process inherited as ignored is left so).
constexpr std::array<int, 3> kCancelSignals = {SIGINT, SIGTERM, SIGHUP};
std::array<struct sigaction, kCancelSignals.size()> gPreviousActions{};
std::array<bool, kCancelSignals.size()> gTakenOver{};
int gGuardDepth = 0;

volatile sig_atomic_t gSignal = 0;
// The handler writes a byte into [1]; a prompt polls [0] beside standard
// input, so that a signal that arrives just before it starts waiting still
// wakes it.
int gWakePipe[2] = {-1, -1};

void OnSignal(int signal) {
  const int savedErrno = errno;
  if (gSignal == 0) gSignal = signal;
  // The next Ctrl-C takes the default way out, should the engine not get
  // back to its progress callback. A repeated SIGTERM or SIGHUP does not:
  // a closed terminal sends SIGHUP twice (the kernel and the shell).
  if (signal == SIGINT) {
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    ::sigaction(SIGINT, &fallback, nullptr);
  }
  if (gWakePipe[1] >= 0) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(gWakePipe[1], &byte, 1);
  }
  errno = savedErrno;
}

void WriteErr(std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

// One line from standard input, read unbuffered, waiting for the wake-up
// pipe too. False at end of input or once a cancelling signal has arrived.
bool ReadAnswer(std::string* line) {
  line->clear();
  for (;;) {
    if (gSignal != 0) return false;
    std::array<pollfd, 2> fds{pollfd{STDIN_FILENO, POLLIN, 0}, pollfd{gWakePipe[0], POLLIN, 0}};
    const nfds_t count = gWakePipe[0] >= 0 ? 2 : 1;
    if (::poll(fds.data(), count, -1) < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (gSignal != 0) return false;
    if (fds[0].revents == 0) continue;
    char c = 0;
    const ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
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
// part, and only the outermost one installs and restores the handlers, so a
// signal between two operations is not forgotten.
InterruptGuard::InterruptGuard() {
  if (gGuardDepth++ > 0) return;
  gSignal = 0;
  if (::pipe(gWakePipe) == 0) {
    for (const int fd : gWakePipe) {
      ::fcntl(fd, F_SETFD, FD_CLOEXEC);
      ::fcntl(fd, F_SETFL, O_NONBLOCK);
    }
  } else {
    gWakePipe[0] = gWakePipe[1] = -1;
  }
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  for (std::size_t i = 0; i < kCancelSignals.size(); ++i) {
    ::sigaction(kCancelSignals[i], nullptr, &gPreviousActions[i]);
    gTakenOver[i] = gPreviousActions[i].sa_handler != SIG_IGN;
    if (gTakenOver[i]) ::sigaction(kCancelSignals[i], &action, nullptr);
  }
}

InterruptGuard::~InterruptGuard() {
  if (--gGuardDepth > 0) return;
  for (std::size_t i = 0; i < kCancelSignals.size(); ++i) {
    if (gTakenOver[i]) ::sigaction(kCancelSignals[i], &gPreviousActions[i], nullptr);
  }
  for (int& fd : gWakePipe) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
}

bool Interrupted() {
  return gSignal != 0;
}

int CaughtSignal() {
  return gSignal;
}

std::string CancelCause() {
  switch (gSignal) {
    case SIGTERM:
      return " by SIGTERM";
    case SIGHUP:
      return " by SIGHUP";
    default:
      return "";
  }
}

void ProgressBar::Begin(const std::string& label, int64_t total, bool sizeModulo4GiB) {
  label_ = Printable(label);
  total_ = total;
  modulo4GiB_ = sizeModulo4GiB;
  bytes_ = 0;
  percent_ = 0;
  start_ = std::chrono::steady_clock::now();
  lastDraw_ = {};
  waited_ = {};
}

void ProgressBar::ExcludeWait(std::chrono::steady_clock::duration waited) {
  start_ += waited;
  waited_ += waited;
}

// Never less than what is done. A size known modulo 2^32 is, once passed,
// the next one that agrees with it, as the engine's percentage takes it;
// once the engine says 100% (the later members of a file add to what the
// last trailer counts), what has been written is all that is known.
int64_t ProgressBar::ShownTotal() const {
  int64_t total = total_;
  if (modulo4GiB_) {
    while (total < bytes_) total += int64_t{1} << 32;
    if (percent_ >= 100) total = bytes_;
  }
  return std::max(total, bytes_);
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
                bar.c_str(), clamped, HumanSize(bytes_).c_str(), HumanSize(ShownTotal()).c_str(),
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
  WriteErr(Printable(path) + " already exists.\n  existing: " + Describe(existing) +
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
