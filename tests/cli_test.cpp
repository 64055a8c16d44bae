// The command-line host run as a user runs it: a subprocess on real files,
// its output and exit code, the prompt through a pseudo-terminal, Ctrl-C.
// Parts that need a working compressor, listing or decoder skip while the
// engine lacks them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "test_data.h"
#include "test_support.h"

namespace gzarc::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const std::string kGzarc = std::string(GZARC_BINARY_DIR) + "/gzarc";

struct Outcome {
  int code = -1;  // exit code, or kKilledBySignal + signal
  std::string out, err;
};

// A death by signal is told apart from an exit with 128 + signal: the host
// must exit 130 on Ctrl-C, not be killed by it.
constexpr int kKilledBySignal = 1000;

int DecodeWaitStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return kKilledBySignal + WTERMSIG(status);
  return -1;
}

std::vector<char*> Argv(const std::vector<std::string>& args, std::vector<std::string>& storage) {
  storage.clear();
  storage.push_back(kGzarc);
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : storage) argv.push_back(s.data());
  argv.push_back(nullptr);
  return argv;
}

void ApplyEnv(const std::map<std::string, std::string>& env) {
  for (const auto& [name, value] : env) {
    if (value.empty()) {
      ::unsetenv(name.c_str());
    } else {
      ::setenv(name.c_str(), value.c_str(), 1);
    }
  }
}

// A started gzarc with its output captured through pipes; standard input is
// /dev/null, so the host sees no terminal. ignored is a signal it starts
// with ignored, as nohup does.
class Child {
 public:
  Child(const std::vector<std::string>& args, const std::string& cwd,
        const std::map<std::string, std::string>& env = {}, const std::string& program = kGzarc,
        int ignored = 0) {
    int out[2], err[2];
    if (::pipe(out) != 0 || ::pipe(err) != 0) return;
    std::vector<std::string> storage;
    auto argv = Argv(args, storage);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::setpgid(0, 0);
      const int devNull = ::open("/dev/null", O_RDONLY);
      ::dup2(devNull, 0);
      ::dup2(out[1], 1);
      ::dup2(err[1], 2);
      ::close(out[0]), ::close(err[0]);
      if (::chdir(cwd.c_str()) != 0) ::_exit(127);
      ApplyEnv(env);
      if (ignored != 0) ::signal(ignored, SIG_IGN);
      ::execv(program.c_str(), argv.data());
      ::_exit(127);
    }
    ::close(out[1]), ::close(err[1]);
    outFd_ = out[0], errFd_ = err[0];
  }
  ~Child() {
    if (pid_ > 0 && !done_) {
      ::kill(pid_, SIGKILL);
      Wait();
    }
  }
  pid_t pid() const { return pid_; }
  // Collects the output until the child ends (killed after 60 s).
  Outcome Wait() {
    Outcome o;
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    std::array<pollfd, 2> fds{pollfd{outFd_, POLLIN, 0}, pollfd{errFd_, POLLIN, 0}};
    int open = 2;
    while (open > 0) {
      if (Clock::now() > deadline) ::kill(pid_, SIGKILL);
      if (::poll(fds.data(), fds.size(), 200) <= 0) continue;
      for (std::size_t i = 0; i < fds.size(); ++i) {
        if (fds[i].fd < 0 || fds[i].revents == 0) continue;
        char buf[4096];
        const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
        if (n > 0) {
          (i == 0 ? o.out : o.err).append(buf, static_cast<std::size_t>(n));
        } else {
          ::close(fds[i].fd);
          fds[i].fd = -1;
          --open;
        }
      }
    }
    int status = 0;
    ::waitpid(pid_, &status, 0);
    done_ = true;
    o.code = DecodeWaitStatus(status);
    return o;
  }

 private:
  pid_t pid_ = -1;
  int outFd_ = -1, errFd_ = -1;
  bool done_ = false;
};

Outcome RunIn(const std::string& cwd, const std::vector<std::string>& args,
              const std::map<std::string, std::string>& env = {},
              const std::string& program = kGzarc) {
  Child child(args, cwd, env, program);
  return child.Wait();
}

// gzarc on a pseudo-terminal: answer(screen, pid) is asked after every read
// and returns text to type once the screen shows what it waits for (or
// signals pid instead).
using Answer = std::function<std::optional<std::string>(const std::string& screen, pid_t pid)>;
Outcome RunOnTerminal(const std::string& cwd, const std::vector<std::string>& args,
                      const Answer& answer) {
  Outcome o;
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return o;
  const std::string slaveName = ::ptsname(master);
  std::vector<std::string> storage;
  auto argv = Argv(args, storage);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setsid();
    const int slave = ::open(slaveName.c_str(), O_RDWR);
    ::dup2(slave, 0), ::dup2(slave, 1), ::dup2(slave, 2);
    ::close(master);
    if (::chdir(cwd.c_str()) != 0) ::_exit(127);
    ::execv(kGzarc.c_str(), argv.data());
    ::_exit(127);
  }
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  std::size_t answered = 0;
  for (;;) {
    if (Clock::now() > deadline) ::kill(pid, SIGKILL);
    pollfd fd{master, POLLIN, 0};
    if (::poll(&fd, 1, 200) <= 0) continue;
    char buf[4096];
    const ssize_t n = ::read(master, buf, sizeof buf);
    if (n <= 0) break;  // EIO once the child has closed the terminal
    o.out.append(buf, static_cast<std::size_t>(n));
    if (o.out.size() > answered) {
      if (auto text = answer(o.out.substr(answered), pid)) {
        answered = o.out.size();
        if (::write(master, text->data(), text->size()) < 0) break;
      }
    }
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ::close(master);
  o.code = DecodeWaitStatus(status);
  return o;
}

// ---- Archives made without the engine ------------------------------------

// One gzip member with stored blocks, OS byte 3 (Unix).
std::string StoredGzip(const std::string& name, const std::string& data, uint32_t mtime) {
  GzipHeader header{.mtime = mtime};
  if (!name.empty()) header.name = name;
  return AsText(StoredMember(header, ToBytes(data)));
}

std::string ReadText(const std::string& path) {
  return AsText(ReadFile(path));
}

std::string SampleText(std::size_t size, uint64_t seed = 7) {
  return AsText(MakeInput(InputKind::kText, size, seed));
}

// Bytes that do not compress, so that a few MB take the compressor a while.
std::string NoisyData(std::size_t size) {
  return AsText(MakeInput(InputKind::kNoise, size, 1));
}

// True when text is one JSON document d for which the Python condition holds.
bool JsonHolds(const std::string& text, const std::string& condition) {
  TempDir dir;
  WriteFile(dir.Native("d.json"), text);
  WriteFile(dir.Native("check.py"),
            "import json, sys\nd = json.load(open(sys.argv[1]))\n"
            "sys.exit(0 if (" +
                condition + ") else 1)\n");
  return gzarc::test::Run("python3 " + dir.Native("check.py") + " " + dir.Native("d.json")) == 0;
}

// ---- What the engine on this branch can do --------------------------------

class EngineProbe {
 public:
  static const EngineProbe& Get() {
    static const EngineProbe probe;
    return probe;
  }
  bool lists = false, compresses = false, extracts = false, deletes = false;

 private:
  EngineProbe() {
    TempDir dir;
    const std::string text = "probe text, probe text, probe text\n";
    WriteFile(dir.Native("p.gz"), StoredGzip("p.txt", text, 1700000000));
    const Outcome list = RunIn(dir.path(), {"list", "--json", "p.gz"});
    lists = list.code == 0 && list.out.find("\"p.txt\"") != std::string::npos;
    const Outcome extract = RunIn(dir.path(), {"extract", "p.gz", "-C", "out"});
    extracts = extract.code == 0 && ReadText(dir.Native("out/p.txt")) == text;
    WriteFile(dir.Native("src.txt"), text);
    const Outcome create = RunIn(dir.path(), {"create", "c.gz", "src.txt"});
    const std::string packed = ReadText(dir.Native("c.gz"));
    compresses = create.code == 0 && packed.size() > 18 && packed.compare(0, 2, "\x1f\x8b") == 0;
    const Outcome del = RunIn(dir.path(), {"delete", "p.gz"});
    deletes = del.code == 0 && !FileExists(dir.Native("p.gz"));
  }
};

#define REQUIRE_ENGINE(what)                                                       \
  do {                                                                             \
    if (!EngineProbe::Get().what) GTEST_SKIP() << "the engine cannot yet: " #what; \
  } while (0)

class Cli : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return dir_.Native(name); }
  Outcome Run(const std::vector<std::string>& args,
              const std::map<std::string, std::string>& env = {}) {
    return RunIn(dir_.path(), args, env);
  }
  TempDir dir_;
};

// ---- Command line ----------------------------------------------------------

TEST_F(Cli, VersionHelpAndUsageErrors) {
  Outcome o = Run({"--version"});
  EXPECT_EQ(o.code, 0);
  EXPECT_EQ(o.out.rfind("gzarc ", 0), 0u) << o.out;

  o = Run({"--help"});
  EXPECT_EQ(o.code, 0);
  for (const char* word : {"list", "extract", "create", "delete", "demo", "Exit codes"}) {
    EXPECT_NE(o.out.find(word), std::string::npos) << word;
  }
  o = Run({"extract", "--help"});
  EXPECT_EQ(o.code, 0);
  EXPECT_NE(o.out.find("--skip-existing"), std::string::npos);

  o = Run({});
  EXPECT_EQ(o.code, 2);
  EXPECT_NE(o.err.find("usage:"), std::string::npos);

  const std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
      {{"frobnicate"}, "unknown command 'frobnicate'"},
      {{"list"}, "list needs an ARCHIVE"},
      {{"create", "a.gz"}, "create needs ARCHIVE and FILE"},
      {{"list", "a.gz", "--force"}, "'list' does not take --force"},
      {{"extract", "a.gz", "--overwrite", "--skip-existing"}, "exclude each other"},
      {{"extract", "a.gz", "-C"}, "-C needs a value"},
      {{"list", "--bogus", "a.gz"}, "unknown option '--bogus'"},
      {{"demo", "extra"}, "demo takes no arguments"},
      {{"create", "-m", "*.txt", "a.gz", "f"}, "'create' does not take --mask"},
      {{"list", "a.gz", "--mask"}, "--mask needs a value"},
      // Habits from gzip and other archivers get the command meant.
      {{"x", "a.gz"}, "unknown command 'x'; to extract: gzarc extract a.gz\n"},
      {{"-d", "my notes.gz"}, "unknown option '-d'; to extract: gzarc extract 'my notes.gz'\n"},
      {{"-l", "a.gz", "b.gz"}, "unknown option '-l'; to list: gzarc list a.gz b.gz\n"},
      {{"l"}, "unknown command 'l'; to list: gzarc list ARCHIVE...\n"},
      {{"a.gz"}, "unknown command 'a.gz'; to extract it: gzarc extract a.gz, to list it: "},
  };
  for (const auto& [args, message] : bad) {
    o = Run(args);
    EXPECT_EQ(o.code, 2) << args[0];
    EXPECT_NE(o.err.find(message), std::string::npos) << o.err;
    EXPECT_TRUE(o.out.empty()) << o.out;
  }
}

TEST_F(Cli, EngineChosenByOptionOrEnvironment) {
  Outcome o = Run({"--engine", Path("missing.so"), "list", "a.gz"});
  EXPECT_EQ(o.code, 8);
  EXPECT_NE(o.err.find("cannot load the engine"), std::string::npos) << o.err;

  o = Run({"list", "a.gz"}, {{"GZARC_ENGINE", Path("nowhere.so")}});
  EXPECT_EQ(o.code, 8);
  EXPECT_NE(o.err.find("nowhere.so"), std::string::npos) << o.err;

  // Alone in a folder, the host says where it looked.
  fs::create_directory(Path("bin"));
  fs::copy_file(kGzarc, Path("bin/gzarc"));
  const Outcome alone = RunIn(dir_.path(), {"list", "a.gz"}, {}, Path("bin/gzarc"));
  EXPECT_EQ(alone.code, 8);
  EXPECT_NE(alone.err.find("cannot find the engine: neither " + Path("bin/libgzarc.so") + " nor " +
                           Path("lib/libgzarc.so.0") + " exists"),
            std::string::npos)
      << alone.err;

  // A library that is not the engine lacks its exports.
  o = Run({"--engine", "libc.so.6", "list", "a.gz"});
  EXPECT_EQ(o.code, 8);

  // The option wins over the environment; the real engine then answers.
  WriteFile(Path("plain.txt"), std::string("not gzip"));
  o = Run({"--engine", std::string(GZARC_BINARY_DIR) + "/libgzarc.so", "list", "plain.txt"},
          {{"GZARC_ENGINE", Path("nowhere.so")}});
  EXPECT_EQ(o.code, 3) << o.err;
  EXPECT_NE(o.err.find("gzarc: plain.txt: not a gzip archive"), std::string::npos) << o.err;
}

TEST_F(Cli, PathsTheEngineCannotTake) {
  WriteFile(Path("a\\b.txt"), std::string("x"));
  Outcome o = Run({"create", "x.gz", "a\\b.txt"});
  EXPECT_EQ(o.code, 2);
  EXPECT_NE(o.err.find("backslash"), std::string::npos) << o.err;
  EXPECT_FALSE(FileExists(Path("x.gz")));

  const std::string longName(300, 'n');
  o = Run({"list", longName + ".gz"});
  EXPECT_EQ(o.code, 2);
  EXPECT_NE(o.err.find("too long for the engine"), std::string::npos) << o.err;
}

// ---- list ------------------------------------------------------------------

TEST_F(Cli, ListTableAndJson) {
  REQUIRE_ENGINE(lists);
  const std::string text = SampleText(10000);
  // 2023-11-14 22:13:20 UTC; the tests run with TZ=UTC.
  WriteFile(Path("notes.gz"), StoredGzip("notes.txt", text, 1700000000));
  const int64_t packed = static_cast<int64_t>(ReadText(Path("notes.gz")).size()) - 10 - 10 - 8;

  Outcome o = Run({"list", "notes.gz"});
  ASSERT_EQ(o.code, 0) << o.err;
  EXPECT_NE(o.out.find("notes.txt"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("10,000"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("2023-11-14"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("22:13:20"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("Unix"), std::string::npos) << o.out;

  o = Run({"list", "--json", "notes.gz"});
  ASSERT_EQ(o.code, 0) << o.err;
  WriteFile(Path("list.json"), o.out);
  const std::string check =
      "python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); m=d[\"members\"][0]; "
      "assert d[\"archive\"]==\"notes.gz\" and d[\"host_system\"]==\"Unix\", d; "
      "assert m[\"name\"]==\"notes.txt\" and m[\"size\"]==10000, m; "
      "assert m[\"packed_size\"]==" +
      std::to_string(packed) +
      ", m; assert m[\"date\"]==\"2023-11-14\" and m[\"time\"]==\"22:13:20\", m; "
      "assert m[\"ratio\"]==m[\"packed_size\"]*100//m[\"size\"]' " +
      Path("list.json");
  EXPECT_EQ(gzarc::test::Run(check), 0) << o.out;

  // Masks select; a mask that does not match is an error of its own.
  EXPECT_EQ(Run({"list", "notes.gz", "-m", "*.txt"}).code, 0);
  o = Run({"list", "-m*.doc", "notes.gz"});
  EXPECT_EQ(o.code, 5);
  EXPECT_NE(o.err.find("gzarc: notes.gz: no member matches '*.doc'"), std::string::npos) << o.err;

  // --json answers with a document whatever the outcome, with the same exit code.
  const std::vector<std::tuple<std::vector<std::string>, int, std::string>> failures = {
      {{"list", "--json", "-m*.doc", "notes.gz"},
       5,
       "d==dict(archive='notes.gz', error=\"no member matches '*.doc'\", exit_code=5)"},
      {{"list", "--json", "missing.gz"}, 1, "d['exit_code']==1 and 'No such file' in d['error']"},
      {{"list", "--json", "-m*.doc", "notes.gz", "notes.gz"},
       5,
       "d['archives']==[] and d['exit_code']==5 and 'in 2 archives' in d['error']"},
      {{"--engine", Path("nowhere.so"), "list", "--json", "notes.gz"}, 8, "d['exit_code']==8"},
  };
  for (const auto& [args, code, condition] : failures) {
    o = Run(args);
    EXPECT_EQ(o.code, code) << o.err;
    EXPECT_TRUE(JsonHolds(o.out, condition)) << o.out;
  }
}

TEST_F(Cli, ListStatusMessages) {
  REQUIRE_ENGINE(lists);
  WriteFile(Path("plain.gz"), std::string("hello, plain text"));
  WriteFile(Path("short.gz"), std::string("\x1f\x8b\x08\x08\0\0\0\0\0\x03na", 12));
  std::string text = StoredGzip("t.txt", "data", 0);
  text[3] = 9;  // FTEXT with FNAME
  WriteFile(Path("textflag.gz"), text);
  fs::create_directory(Path("folder.gz"));

  const std::vector<std::tuple<std::string, int, std::string>> cases = {
      {"missing.gz", 1, "gzarc: missing.gz: cannot open (No such file or directory)"},
      {"plain.gz", 3, "gzarc: plain.gz: not a gzip archive"},
      {"short.gz", 1, "gzarc: short.gz: cannot read the member header or trailer"},
      {"textflag.gz", 3, "gzarc: textflag.gz: member is marked as text"},
  };
  for (const auto& [name, code, message] : cases) {
    const Outcome o = Run({"list", name});
    EXPECT_EQ(o.code, code) << name << ": " << o.err;
    EXPECT_NE(o.err.find(message), std::string::npos) << o.err;
    EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
  }
  EXPECT_NE(Run({"list", "folder.gz"}).code, 0);
}

// Several archives are handled in turn: a failure is reported and the rest
// still handled, the exit code is the worst outcome's, masks select.
TEST_F(Cli, SeveralArchivesInTurn) {
  REQUIRE_ENGINE(lists);
  REQUIRE_ENGINE(extracts);
  REQUIRE_ENGINE(deletes);
  WriteFile(Path("a.gz"), StoredGzip("a.txt", SampleText(1000), 0));
  WriteFile(Path("b.gz"), StoredGzip("b.dat", SampleText(3000), 0));
  WriteFile(Path("bad.gz"), std::string("not gzip at all"));
  const std::vector<std::string> three = {"a.gz", "bad.gz", "b.gz"};
  const auto with = [&](std::vector<std::string> args) {
    args.insert(args.end(), three.begin(), three.end());
    return args;
  };

  Outcome o = Run(with({"list"}));
  EXPECT_EQ(o.code, 3);
  EXPECT_EQ(o.err, "gzarc: bad.gz: not a gzip archive\n");
  EXPECT_NE(o.out.find("a.gz    a.txt\n"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("b.gz    b.dat\n"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("\n         4,000 "), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("2 archives (totals)\n"), std::string::npos) << o.out;

  o = Run(with({"list", "--json"}));
  EXPECT_EQ(o.code, 3);
  WriteFile(Path("list.json"), o.out);
  const std::string check =
      "python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); a=d[\"archives\"]; "
      "assert [x[\"archive\"] for x in a]==[\"a.gz\",\"bad.gz\",\"b.gz\"], a; "
      "assert a[1]==dict(archive=\"bad.gz\", error=\"not a gzip archive\", exit_code=3), a[1]; "
      "assert a[2][\"members\"][0][\"name\"]==\"b.dat\", a[2]; t=d[\"totals\"]; "
      "assert (t[\"archives\"], t[\"failed\"], t[\"size\"])==(2, 1, 4000), t' " +
      Path("list.json");
  EXPECT_EQ(gzarc::test::Run(check), 0) << o.out;

  // Masks select among the archives; no match anywhere is the failure.
  o = Run({"list", "-m", "*.txt", "-m", "x.*", "a.gz", "b.gz"});
  EXPECT_EQ(o.code, 0) << o.err;
  EXPECT_EQ(o.out.find("b.dat"), std::string::npos) << o.out;
  o = Run({"extract", "-m", "*.doc", "a.gz", "b.gz"});
  EXPECT_EQ(o.code, 5);
  EXPECT_EQ(o.err, "gzarc: no member matches '*.doc' in 2 archives\n");
  o = Run({"list", "a.gz", "*.txt"});
  EXPECT_NE(o.err.find("*.txt: cannot open (No such file or directory); masks are given with -m"),
            std::string::npos)
      << o.err;

  o = Run(with({"extract", "-C", "out"}));
  EXPECT_EQ(o.code, 3);
  EXPECT_TRUE(FileExists(Path("out/a.txt")) && FileExists(Path("out/b.dat")));
  // Both files kept (6) and one archive not gzip (3): the worse is 3.
  o = Run(with({"extract", "-C", "out"}));
  EXPECT_EQ(o.code, 3);
  EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 3) << o.err;
  EXPECT_EQ(Run({"extract", "-C", "out", "a.gz", "b.gz"}).code, 6);

  o = Run(with({"-q", "delete"}));
  EXPECT_EQ(o.code, 3);
  EXPECT_FALSE(FileExists(Path("a.gz")) || FileExists(Path("b.gz")));
  EXPECT_TRUE(FileExists(Path("bad.gz")));
}

// A stored name is the archive maker's: human output shows its control
// characters as escapes, so it cannot drive the terminal; --json keeps it.
TEST_F(Cli, ControlCharactersInNamesAreShownEscaped) {
  REQUIRE_ENGINE(lists);
  REQUIRE_ENGINE(extracts);
  const std::string name = "red\x1b[31mtext\a\xc2\x9b.txt";
  WriteFile(Path("e.gz"), StoredGzip(name, "data", 0));
  const std::string shown = "red\\033[31mtext\\a\\302\\233.txt";
  for (const auto& args : {std::vector<std::string>{"list", "e.gz"},
                           std::vector<std::string>{"extract", "e.gz", "-C", "out"},
                           // again: the file is in the way, an error names it
                           std::vector<std::string>{"extract", "e.gz", "-C", "out"}}) {
    const Outcome o = Run(args);
    EXPECT_NE((o.out + o.err).find(shown), std::string::npos) << o.out << o.err;
    EXPECT_EQ((o.out + o.err).find_first_of("\x1b\a"), std::string::npos) << o.out << o.err;
  }
  EXPECT_TRUE(FileExists(Path("out/" + name)));
  const Outcome o = Run({"list", "--json", "e.gz"});
  EXPECT_TRUE(JsonHolds(o.out, "d['members'][0]['name']=='red\\x1b[31mtext\\x07\\x9b.txt'"))
      << o.out;
  EXPECT_EQ(o.out.find_first_of("\x1b\a"), std::string::npos) << o.out;
}

// ---- create ----------------------------------------------------------------

TEST_F(Cli, CreateStoresTheBaseNameAndRefusesToOverwrite) {
  REQUIRE_ENGINE(compresses);
  fs::create_directory(Path("docs"));
  const std::string text = SampleText(200000);
  WriteFile(Path("docs/report.txt"), text);

  Outcome o = Run({"create", "report", "docs/report.txt"});
  ASSERT_EQ(o.code, 0) << o.err;
  EXPECT_NE(o.out.find("created report.gz"), std::string::npos) << o.out;
  ASSERT_TRUE(FileExists(Path("report.gz")));
  if (HaveProgram("gzip")) {
    EXPECT_EQ(gzarc::test::Run("gzip -dc " + Path("report.gz") + " | cmp -s - " +
                               Path("docs/report.txt")),
              0);
  }
  if (EngineProbe::Get().lists) {
    o = Run({"list", "--json", "report.gz"});
    EXPECT_NE(o.out.find("\"name\": \"report.txt\""), std::string::npos) << o.out;
  }

  // An existing archive stays as it is.
  const std::string before = ReadText(Path("report.gz"));
  WriteFile(Path("other.txt"), std::string("other"));
  o = Run({"create", "report.gz", "other.txt"});
  EXPECT_EQ(o.code, 6);
  EXPECT_NE(o.err.find("gzarc: report.gz: already exists"), std::string::npos) << o.err;
  EXPECT_EQ(ReadText(Path("report.gz")), before);

  // --force replaces it (no terminal, so no question).
  o = Run({"-q", "create", "--force", "report.gz", "other.txt"});
  EXPECT_EQ(o.code, 0) << o.err;
  EXPECT_TRUE(o.out.empty()) << o.out;
  EXPECT_NE(ReadText(Path("report.gz")), before);

  // Never at the cost of the source itself.
  o = Run({"create", "--force", "other.txt", "other.txt"});
  EXPECT_EQ(o.code, 2);
  EXPECT_NE(o.err.find("cannot be its own source"), std::string::npos) << o.err;
  EXPECT_EQ(ReadText(Path("other.txt")), "other");
}

TEST_F(Cli, CreateWithInputFolderStoresTheRelativeName) {
  REQUIRE_ENGINE(compresses);
  REQUIRE_ENGINE(lists);
  fs::create_directories(Path("root/docs"));
  WriteFile(Path("root/docs/a.txt"), SampleText(5000));
  Outcome o = Run({"create", "-C", "root", "a.gz", "docs/a.txt"});
  ASSERT_EQ(o.code, 0) << o.err;
  o = Run({"list", "--json", "a.gz"});
  EXPECT_NE(o.out.find("\"name\": \"docs\\\\a.txt\""), std::string::npos) << o.out;

  // A path into DIR is stored relative to it; one that leaves it is refused.
  o = Run({"create", "-C", "root", "b.gz", Path("root/docs/../docs/a.txt")});
  ASSERT_EQ(o.code, 0) << o.err;
  o = Run({"list", "--json", "b.gz"});
  EXPECT_NE(o.out.find("\"name\": \"docs\\\\a.txt\""), std::string::npos) << o.out;
  WriteFile(Path("outside.txt"), std::string("outside"));
  for (const std::string& file : {std::string("../outside.txt"),
                                  std::string("docs/../../outside.txt"), Path("outside.txt")}) {
    o = Run({"create", "-C", "root", "c.gz", file});
    EXPECT_EQ(o.code, 2) << file;
    EXPECT_NE(o.err.find(file + ": is outside root"), std::string::npos) << o.err;
    EXPECT_FALSE(FileExists(Path("c.gz")));
  }
}

TEST_F(Cli, CreateStatusMessagesLeaveNoArchive) {
  REQUIRE_ENGINE(compresses);
  fs::create_directory(Path("folder"));
  WriteFile(Path("one.txt"), std::string("one"));
  WriteFile(Path("two.txt"), std::string("two"));
  const std::vector<std::tuple<std::vector<std::string>, int, std::string>> cases = {
      {{"create", "f.gz", "folder"}, 7, "gzarc: folder: is a folder; an archive holds one file"},
      {{"create", "f.gz", "one.txt", "two.txt"},
       7,
       "gzarc: f.gz: holds one file; name exactly one"},
      {{"create", "f.gz", "nothere.txt"}, 1, "gzarc: nothere.txt: cannot open (No such file"},
      {{"create", "nofolder/f.gz", "one.txt"}, 1, "gzarc: nofolder/f.gz: cannot create"},
      {{"create", "-C", ".", "f.gz", "folder/"}, 7, "gzarc: f.gz: nothing to compress"},
      // Like gzip, regular files only: a device never ends, a FIFO blocks.
      {{"create", "f.gz", "/dev/zero"}, 2, "gzarc: /dev/zero: is a character device, not a"},
      {{"create", "f.gz", "fifo"}, 2, "gzarc: fifo: is a FIFO, not a regular file"},
  };
  ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0600), 0);
  const std::set<std::string> before = Names(dir_.path());
  for (const auto& [args, code, message] : cases) {
    const Outcome o = Run(args);
    EXPECT_EQ(o.code, code) << args[2] << ": " << o.err;
    EXPECT_NE(o.err.find(message), std::string::npos) << o.err;
    EXPECT_EQ(Names(dir_.path()), before) << args[2];  // no archive, no temporary file
  }
}

// ---- extract ---------------------------------------------------------------

TEST_F(Cli, ExtractIntoFolderAndOverwriteFlags) {
  REQUIRE_ENGINE(extracts);
  const std::string text = SampleText(70000);
  WriteFile(Path("n.gz"), StoredGzip("notes.txt", text, 1700000000));

  // The folder is created; the file gets the member's time.
  Outcome o = Run({"extract", "n.gz", "-C", "out/deep"});
  ASSERT_EQ(o.code, 0) << o.err;
  EXPECT_NE(o.out.find("extracted " + Path("out/deep/notes.txt")), std::string::npos) << o.out;
  EXPECT_EQ(ReadText(Path("out/deep/notes.txt")), text);
  struct stat st {};
  ASSERT_EQ(::stat(Path("out/deep/notes.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1700000000);

  // Into the current folder by default.
  EXPECT_EQ(Run({"-q", "extract", "n.gz"}).code, 0);
  EXPECT_EQ(ReadText(Path("notes.txt")), text);

  // In the way, no terminal, no flag: kept, said, non-zero.
  WriteFile(Path("notes.txt"), std::string("mine"));
  o = Run({"extract", "n.gz"});
  EXPECT_EQ(o.code, 6);
  EXPECT_NE(o.err.find("gzarc: " + Path("notes.txt") +
                       ": already exists; not replaced (use --overwrite or --skip-existing)"),
            std::string::npos)
      << o.err;
  EXPECT_EQ(ReadText(Path("notes.txt")), "mine");

  o = Run({"extract", "--skip-existing", "n.gz"});
  EXPECT_EQ(o.code, 0) << o.err;
  EXPECT_NE(o.out.find("skipped " + Path("notes.txt")), std::string::npos) << o.out;
  EXPECT_EQ(ReadText(Path("notes.txt")), "mine");

  o = Run({"extract", "--overwrite", "n.gz"});
  EXPECT_EQ(o.code, 0) << o.err;
  EXPECT_EQ(ReadText(Path("notes.txt")), text);

  // A mask that matches nothing writes nothing.
  o = Run({"extract", "n.gz", "--mask", "*.bin", "-C", "none"});
  EXPECT_EQ(o.code, 5);
  EXPECT_FALSE(FileExists(Path("none/notes.txt")));
}

TEST_F(Cli, ExtractCorruptDataLeavesNoFile) {
  REQUIRE_ENGINE(extracts);
  // Block type 3 does not exist.
  WriteFile(Path("bad.gz"), GzipMember({.name = "bad.txt"}, {0x07, 0, 0, 0, 0}, 0, 100));
  Outcome o = Run({"extract", "bad.gz", "-C", "out/deep"});
  EXPECT_EQ(o.code, 4) << o.err;
  EXPECT_NE(o.err.find("gzarc: bad.gz: data is corrupt (CRC or DEFLATE error)"), std::string::npos)
      << o.err;
  // The folders made for it go again.
  EXPECT_FALSE(FileExists(Path("out")));

  // Sound DEFLATE data under a wrong CRC-32 is no better.
  std::string wrongCrc = StoredGzip("crc.txt", SampleText(5000), 0);
  wrongCrc[wrongCrc.size() - 8] ^= 1;
  WriteFile(Path("crc.gz"), wrongCrc);
  o = Run({"extract", "crc.gz", "-C", "out"});
  EXPECT_EQ(o.code, 4) << o.err;
  EXPECT_NE(o.err.find("gzarc: crc.gz: data is corrupt"), std::string::npos) << o.err;
  EXPECT_FALSE(FileExists(Path("out/crc.txt")));
}

// A file system mounted for a test (root only), unmounted when it goes.
class Mount {
 public:
  Mount(const std::string& path, const std::string& options) : path_(path) {
    fs::create_directory(path);
    mounted_ = ::geteuid() == 0 && gzarc::test::Run("mount -t tmpfs -o " + options +
                                                    " gzarc-cli '" + path + "' 2>/dev/null") == 0;
  }
  ~Mount() {
    if (mounted_) gzarc::test::Run("umount '" + path_ + "'");
  }
  bool mounted() const { return mounted_; }

 private:
  std::string path_;
  bool mounted_ = false;
};

// The engine gives only a status: the message names the reason, nothing is
// left behind (no -C folder made for it) and nothing is lost.
TEST_F(Cli, FailuresSayWhyAndLoseNothing) {
  REQUIRE_ENGINE(extracts);
  REQUIRE_ENGINE(compresses);
  WriteFile(Path("n.gz"), StoredGzip("notes.txt", SampleText(3u << 20), 0));
  WriteFile(Path("self.gz"), StoredGzip("self.gz", "its content", 0));
  // A stored name that names a folder gets the archive's name: here "bare".
  WriteFile(Path("bare"), StoredGzip("dir/", "its content", 0));
  WriteFile(Path("file.txt"), std::string("a file"));
  WriteFile(Path("noisy.bin"), NoisyData(3u << 20));
  fs::create_directories(Path("out/notes.txt"));
  const Mount small(Path("small"), "size=1m"), readOnly(Path("ro"), "ro,size=1m");
  WriteFile(Path("small/old.gz"), std::string("old archive"));
  std::vector<std::tuple<std::vector<std::string>, int, std::string>> cases = {
      {{"extract", "n.gz", "-C", "file.txt"},
       1,
       "notes.txt: " + Path("file.txt") + " is not a folder"},
      {{"extract", "n.gz", "-C", "out", "--overwrite"}, 1, "notes.txt: it is a folder"},
      {{"extract", "--overwrite", "self.gz"},
       6,
       "self.gz: extracting it to " + Path("self.gz") + " would overwrite the archive itself"},
      {{"extract", "--overwrite", "bare"},
       6,
       "bare: extracting it to " + Path("bare") + " would overwrite the archive itself"},
  };
  if (small.mounted()) {
    cases.push_back({{"extract", "n.gz", "-C", "small/new"}, 1, "the disk is full ("});
    cases.push_back({{"create", "--force", "small/old.gz", "noisy.bin"}, 1, "the disk is full"});
  }
  if (readOnly.mounted()) {
    cases.push_back(
        {{"extract", "n.gz", "-C", "ro/new"}, 1, Path("ro") + " is on a read-only file system"});
  }
  const std::set<std::string> before = Names(dir_.path()), onSmall = Names(Path("small"));
  for (const auto& [args, code, message] : cases) {
    const Outcome o = Run(args);
    EXPECT_EQ(o.code, code) << args[1] << ": " << o.err;
    EXPECT_NE(o.err.find(message), std::string::npos) << o.err;
    EXPECT_EQ(Names(dir_.path()), before) << o.err;
    EXPECT_EQ(Names(Path("small")), onSmall) << o.err;
  }
  EXPECT_EQ(ReadText(Path("self.gz")), StoredGzip("self.gz", "its content", 0));
  EXPECT_EQ(ReadText(Path("bare")), StoredGzip("dir/", "its content", 0));
  if (small.mounted()) {
    EXPECT_EQ(ReadText(Path("small/old.gz")), "old archive");
  }
}

TEST_F(Cli, ExtractPromptOnTerminal) {
  REQUIRE_ENGINE(extracts);
  const std::string text = SampleText(3000);
  WriteFile(Path("n.gz"), StoredGzip("notes.txt", text, 1700000000));
  struct Case {
    std::string reply;
    int code;
    bool replaced;
    int signal = 0;  // sent instead of a reply
  };
  for (const Case& c : {Case{"y\n", 0, true}, Case{"no\n", 0, false}, Case{"a\n", 0, true},
                        Case{"none\n", 0, false}, Case{"maybe\nq\n", 130, false},
                        Case{"", 128 + SIGTERM, false, SIGTERM}}) {
    WriteFile(Path("notes.txt"), std::string("mine"));
    const Outcome o =
        RunOnTerminal(dir_.path(), {"extract", "n.gz"},
                      [&c](const std::string& screen, pid_t pid) -> std::optional<std::string> {
                        if (screen.find("Replace it?") == std::string::npos) return std::nullopt;
                        if (c.signal != 0) ::kill(pid, c.signal);
                        return c.reply;
                      });
    EXPECT_EQ(o.code, c.code) << c.reply << o.out;
    EXPECT_EQ(ReadText(Path("notes.txt")), c.replaced ? text : "mine") << c.reply;
    EXPECT_EQ(Names(dir_.path()), (std::set<std::string>{"n.gz", "notes.txt"})) << c.reply;
    // Both files are described: sizes and dates.
    EXPECT_NE(o.out.find("existing: 4 bytes"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("archived: 3,000 bytes, 2023-11-14 22:13:20"), std::string::npos) << o.out;
  }

  // The time the question waited is not part of the extraction's.
  const Outcome o =
      RunOnTerminal(dir_.path(), {"extract", "n.gz"}, [](const std::string& screen, pid_t) {
        if (screen.find("Replace it?") == std::string::npos) return std::optional<std::string>();
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        return std::optional<std::string>("y\n");
      });
  const auto in = o.out.find(" in ", o.out.find("extracted "));
  ASSERT_NE(in, std::string::npos) << o.out;
  EXPECT_LT(std::stod(o.out.substr(in + 4)), 0.2) << o.out;
}

TEST_F(Cli, CreateForceAsksOnTerminal) {
  REQUIRE_ENGINE(compresses);
  WriteFile(Path("src.txt"), SampleText(1000));
  WriteFile(Path("a.gz"), std::string("old archive"));
  const auto reply = [](const std::string& text, int signal = 0) {
    return [text, signal](const std::string& screen, pid_t pid) -> std::optional<std::string> {
      if (screen.find("replace it? [y/N]") == std::string::npos) return std::nullopt;
      if (signal != 0) ::kill(pid, signal);
      return text;
    };
  };
  Outcome o = RunOnTerminal(dir_.path(), {"create", "--force", "a.gz", "src.txt"}, reply("n\n"));
  EXPECT_EQ(o.code, 6) << o.out;
  EXPECT_NE(o.out.find("a.gz: already exists; not replaced"), std::string::npos) << o.out;
  EXPECT_EQ(ReadText(Path("a.gz")), "old archive");

  // A closed terminal while the question waits: nothing changes.
  o = RunOnTerminal(dir_.path(), {"create", "--force", "a.gz", "src.txt"}, reply("", SIGHUP));
  EXPECT_EQ(o.code, 128 + SIGHUP) << o.out;
  EXPECT_EQ(ReadText(Path("a.gz")), "old archive");
  EXPECT_EQ(Names(dir_.path()), (std::set<std::string>{"a.gz", "src.txt"}));

  o = RunOnTerminal(dir_.path(), {"create", "--force", "a.gz", "src.txt"}, reply("y\n"));
  EXPECT_EQ(o.code, 0) << o.out;
  EXPECT_EQ(ReadText(Path("a.gz")).compare(0, 2, "\x1f\x8b"), 0);
}

// ---- delete ----------------------------------------------------------------

TEST_F(Cli, DeleteRemovesTheArchiveOnlyOnAMatch) {
  REQUIRE_ENGINE(deletes);
  WriteFile(Path("d.gz"), StoredGzip("d.txt", "delete me", 0));
  Outcome o = Run({"delete", "d.gz", "-m", "*.bin"});
  EXPECT_EQ(o.code, 5);
  EXPECT_TRUE(FileExists(Path("d.gz")));
  o = Run({"delete", "--mask=d.*", "d.gz"});
  EXPECT_EQ(o.code, 0) << o.err;
  EXPECT_NE(o.out.find("deleted d.txt"), std::string::npos) << o.out;
  EXPECT_FALSE(FileExists(Path("d.gz")));
  o = Run({"delete", "d.gz"});
  EXPECT_EQ(o.code, 1);

  // The engine does not check that the removal worked; the host does.
  if (::geteuid() != 0) {
    fs::create_directory(Path("locked"));
    WriteFile(Path("locked/d.gz"), StoredGzip("d.txt", "stays", 0));
    fs::permissions(Path("locked"), fs::perms::owner_write, fs::perm_options::remove);
    o = Run({"delete", "locked/d.gz"});
    fs::permissions(Path("locked"), fs::perms::owner_write, fs::perm_options::add);
    EXPECT_EQ(o.code, 1);
    EXPECT_NE(o.err.find("gzarc: locked/d.gz: the archive file could not be removed"),
              std::string::npos)
        << o.err;
    EXPECT_TRUE(FileExists(Path("locked/d.gz")));
  }
}

// ---- Signals ---------------------------------------------------------------

// Sends signal once ready() holds, and returns the outcome.
Outcome SignalWhen(Child& child, int signal, const std::function<bool()>& ready) {
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (!ready() && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ::kill(child.pid(), signal);
  return child.Wait();
}

// Ctrl-C, a kill and a closed terminal cancel through the engine: nothing
// partial is left, an archive that --force was replacing is kept, and the
// exit status is 128 + the signal's number.
TEST_F(Cli, SignalsCancelCompressionAndLeaveNothing) {
  REQUIRE_ENGINE(compresses);
  WriteFile(Path("big.bin"), NoisyData(48u << 20));
  WriteFile(Path("old.gz"), std::string("old archive"));
  const std::set<std::string> before = Names(dir_.path());
  const std::vector<std::pair<int, std::vector<std::string>>> cases = {
      {SIGINT, {"create", "big.gz", "big.bin"}},
      {SIGTERM, {"create", "--force", "old.gz", "big.bin"}},
      {SIGHUP, {"create", "big.gz", "big.bin"}},
  };
  for (const auto& [signal, args] : cases) {
    Child child(args, dir_.path());
    const Outcome o =
        SignalWhen(child, signal, [&] { return Names(dir_.path()).size() > before.size(); });
    if (o.code == 0) GTEST_SKIP() << "the compression ended before the signal arrived";
    EXPECT_EQ(o.code, 128 + signal) << o.err;
    EXPECT_NE(o.err.find("gzarc: " + args[args.size() - 2] + ": cancelled"), std::string::npos)
        << o.err;
    EXPECT_EQ(Names(dir_.path()), before) << signal;
  }
  EXPECT_EQ(ReadText(Path("old.gz")), "old archive");
  EXPECT_EQ(fs::file_size(Path("big.bin")), 48u << 20);

  // Under nohup a hang-up is no reason to stop.
  WriteFile(Path("some.bin"), NoisyData(2u << 20));
  Child child({"create", "some.gz", "some.bin"}, dir_.path(), {}, kGzarc, SIGHUP);
  const Outcome o = SignalWhen(child, SIGHUP, [&] { return Names(dir_.path()).size() > 3; });
  EXPECT_EQ(o.code, 0) << o.err;
  EXPECT_TRUE(FileExists(Path("some.gz")));
}

TEST_F(Cli, SignalsCancelExtractionAndLeaveNothing) {
  REQUIRE_ENGINE(extracts);
  WriteFile(Path("big.gz"), StoredGzip("big.bin", NoisyData(32u << 20), 0));
  fs::create_directory(Path("out"));
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    Child child({"extract", "big.gz", "-C", "out"}, dir_.path());
    const Outcome o = SignalWhen(child, signal, [&] { return !fs::is_empty(Path("out")); });
    if (o.code == 0) GTEST_SKIP() << "the extraction ended before the signal arrived";
    EXPECT_EQ(o.code, 128 + signal) << o.err;
    EXPECT_NE(o.err.find("gzarc: big.gz: cancelled"), std::string::npos) << o.err;
    EXPECT_TRUE(fs::is_empty(Path("out"))) << signal;
  }
}

// ---- demo and round trips --------------------------------------------------

TEST_F(Cli, DemoLeavesNothingUnlessKept) {
  REQUIRE_ENGINE(compresses);
  REQUIRE_ENGINE(extracts);
  REQUIRE_ENGINE(lists);
  fs::create_directory(Path("tmp"));
  Outcome o = Run({"demo"}, {{"TMPDIR", Path("tmp")}});
  ASSERT_EQ(o.code, 0) << o.out << o.err;
  for (const char* word : {"create", "list", "extract", "demo passed", "%", "/s"}) {
    EXPECT_NE(o.out.find(word), std::string::npos) << word << "\n" << o.out;
  }
  EXPECT_TRUE(fs::is_empty(Path("tmp")));

  o = Run({"-q", "demo", "--keep"}, {{"TMPDIR", Path("tmp")}});
  ASSERT_EQ(o.code, 0) << o.err;
  EXPECT_TRUE(o.out.empty());
  ASSERT_FALSE(fs::is_empty(Path("tmp")));
  const fs::path kept = fs::directory_iterator(Path("tmp"))->path();
  EXPECT_TRUE(fs::exists(kept / "sample.txt.gz"));
  EXPECT_EQ(ReadText((kept / "sample.txt").string()),
            ReadText((kept / "out" / "sample.txt").string()));
}

TEST_F(Cli, RoundTripWithGzip) {
  REQUIRE_ENGINE(compresses);
  REQUIRE_ENGINE(extracts);
  if (!HaveProgram("gzip")) GTEST_SKIP() << "gzip is not installed";
  const std::string text = SampleText(300000, 11);
  WriteFile(Path("t.txt"), text);
  ASSERT_EQ(gzarc::test::Run("cd " + dir_.path() + " && gzip -9 -c t.txt > by-gzip.gz"), 0);
  Outcome o = Run({"extract", "by-gzip.gz", "-C", "a"});
  ASSERT_EQ(o.code, 0) << o.err;
  EXPECT_EQ(ReadText(Path("a/t.txt")), text);

  ASSERT_EQ(Run({"create", "by-gzarc.gz", "t.txt"}).code, 0);
  EXPECT_EQ(gzarc::test::Run("gzip -t " + Path("by-gzarc.gz")), 0);
  o = Run({"extract", "by-gzarc.gz", "-C", "b"});
  ASSERT_EQ(o.code, 0) << o.err;
  EXPECT_EQ(ReadText(Path("b/t.txt")), text);
}

}  // namespace
}  // namespace gzarc::test
