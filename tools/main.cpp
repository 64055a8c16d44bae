// gzarc: the command-line host of the gzip archive engine.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "commands.h"
#include "engine_loader.h"
#include "format.h"
#include "messages.h"
#include "terminal_ui.h"

namespace gzarc_cli {
namespace {

constexpr const char* kUsage =
    "usage: gzarc [-q] [--engine PATH] COMMAND [ARGS...]\n"
    "\n"
    "Commands:\n"
    "  list ARCHIVE... [-m MASK]... [--json]    show each archive's member\n"
    "  extract ARCHIVE... [-m MASK]... [-C DIR] extract into DIR (default: the current folder)\n"
    "          [--overwrite | --skip-existing]\n"
    "  create ARCHIVE FILE [-C DIR] [--force]   compress one file into a new archive\n"
    "  delete ARCHIVE... [-m MASK]...           delete the member, which removes the archive\n"
    "  demo [--keep]                            a round trip on generated text\n"
    "\n"
    "Every ARCHIVE is handled in turn (gzarc extract *.gz); a failure is reported\n"
    "and the next archive still handled. -m MASK (--mask MASK, repeatable)\n"
    "selects members by name, with * and ? and ignoring case.\n"
    "\n"
    "Options:\n"
    "  -q, --quiet      no progress bar and no summaries, only errors\n"
    "  --engine PATH    the engine library to load (also $GZARC_ENGINE); default:\n"
    "                   libgzarc.so beside this program, else libgzarc.so.0 in\n"
    "                   the library folder of its install prefix\n"
    "  -h, --help       this help; 'gzarc COMMAND --help' for one command\n"
    "  --version        print the version\n"
    "\n"
    "Exit codes: 0 done, 1 file error, 2 usage, 3 not gzip or not supported,\n"
    "4 corrupt data, 5 no member matches, 6 a file exists and was not replaced,\n"
    "7 refused by the engine, 8 engine not loadable, 130 cancelled (Ctrl-C, quit),\n"
    "143 and 129 cancelled by SIGTERM and SIGHUP. With several archives, the worst\n"
    "outcome's: a cancel, 1, 4, 3, 2, 7, 6, 5, from the worst.\n";

// The part of each archive command's help about several archives and masks.
#define GZARC_SEVERAL_HELP                                                    \
  "Each ARCHIVE is handled in turn; a failure is reported and the next one\n" \
  "still handled, and the exit code is that of the worst outcome.\n"          \
  "\n"                                                                        \
  "  -m, --mask MASK   only a member whose name matches MASK (* and ?, any\n" \
  "                    case); repeatable. With several archives, one whose\n" \
  "                    member matches no mask is passed over.\n"

const std::map<std::string, std::string> kCommandHelp = {
    {"list",
     "usage: gzarc list ARCHIVE... [-m MASK]... [--json]\n"
     "\n"
     "Shows each archive's member: unpacked and packed size, ratio, date and\n"
     "time, the system that made it, and its name. With several archives, one\n"
     "table with a column for the archive, ending with a totals line.\n"
     "\n" GZARC_SEVERAL_HELP
     "  --json            one JSON object: archive, host_system, members[] and\n"
     "                    totals; with several archives archives[] (each such an\n"
     "                    object, or archive, error and exit_code) and totals;\n"
     "                    a failure is a JSON document too (error, exit_code)\n"
     "\n"
     "Control characters in names are shown as escapes (\\033); --json keeps\n"
     "the exact name.\n"},
    {"extract",
     "usage: gzarc extract ARCHIVE... [-m MASK]... [-C DIR] [--overwrite | --skip-existing]\n"
     "\n"
     "Writes each archive's member into DIR (default: the current folder;\n"
     "created when missing) under the last component of its stored name.\n"
     "\n" GZARC_SEVERAL_HELP "  -C DIR            extract into DIR\n"
     "  --overwrite       replace an existing file without asking\n"
     "  --skip-existing   keep an existing file\n"
     "\n"
     "Without either flag an existing file is asked about on a terminal\n"
     "(yes / no / all / none / quit); elsewhere it is kept, with a message and\n"
     "exit code 6. The archive itself is never the output (exit code 6). A\n"
     "missing DIR is removed again when the extraction fails.\n"},
    {"create",
     "usage: gzarc create ARCHIVE FILE [-C DIR] [--force]\n"
     "\n"
     "Compresses FILE into the new archive ARCHIVE (\".gz\" is added when the\n"
     "name has no extension). A gzip archive holds one file, a regular file\n"
     "(not a device, FIFO or socket). It is stored under its own name; with\n"
     "-C DIR, FILE is named relative to DIR (or by a path into it), stored\n"
     "under its path relative to DIR, and refused when outside DIR.\n"
     "\n"
     "  -C DIR    take FILE from DIR\n"
     "  --force   replace an existing ARCHIVE (asks on a terminal)\n"
     "\n"
     "The archive is written under a hidden temporary name beside it and takes\n"
     "its name only when complete: a failure or a cancel keeps an old one.\n"},
    {"delete",
     "usage: gzarc delete ARCHIVE... [-m MASK]...\n"
     "\n"
     "Deletes each archive's member when it matches the masks (or always,\n"
     "without masks). A gzip archive holds one member, so the archive file\n"
     "goes.\n"
     "\n" GZARC_SEVERAL_HELP},
    {"demo",
     "usage: gzarc demo [--keep]\n"
     "\n"
     "Writes a few MB of generated text into a temporary folder, creates an\n"
     "archive of it, lists it, extracts it, checks the bytes and prints sizes,\n"
     "ratio and speed. The folder is removed afterwards.\n"
     "\n"
     "  --keep   leave the folder and its files in place\n"},
};

#undef GZARC_SEVERAL_HELP

// Options each command accepts besides -q, --engine and --help.
const std::map<std::string, std::set<std::string>> kCommandOptions = {
    {"list", {"--mask", "--json"}}, {"extract", {"--mask", "-C", "--overwrite", "--skip-existing"}},
    {"create", {"-C", "--force"}},  {"delete", {"--mask"}},
    {"demo", {"--keep"}},
};

struct Parsed {
  Options options;
  std::set<std::string> seen;  // the command-specific options given
  bool help = false;
  bool version = false;
  std::string unknownOption;  // the first option that is not ours
};

[[noreturn]] void UsageError(const std::string& message) {
  throw CliError(ExitCode::kUsage, message + " (see 'gzarc --help')");
}

// Words that users of gzip and of other archivers type, and the command
// each most likely meant.
const std::map<std::string, std::string> kHabits = {
    {"x", "extract"},
    {"e", "extract"},
    {"-d", "extract"},
    {"-x", "extract"},
    {"--decompress", "extract"},
    {"--uncompress", "extract"},
    {"--extract", "extract"},
    {"decompress", "extract"},
    {"unpack", "extract"},
    {"l", "list"},
    {"ls", "list"},
    {"-l", "list"},
    {"--list", "list"},
    {"c", "create"},
    {"a", "create"},
    {"add", "create"},
    {"compress", "create"},
    {"d", "delete"},
    {"rm", "delete"},
    {"del", "delete"},
    {"remove", "delete"},
};

// The word as a shell would take it back: quoted when it holds more than
// letters, digits and the usual punctuation of file names.
std::string ShellWord(const std::string& word) {
  if (word.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
                             "._-+/,:@%=") == std::string::npos) {
    return word;
  }
  std::string quoted = "'";
  for (const char c : word) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

bool LooksLikeArchive(const std::string& word) {
  std::string lower = word;
  for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  for (const char* suffix : {".gz", ".tgz", ".z"}) {
    const std::size_t n = std::strlen(suffix);
    if (lower.size() > n && lower.compare(lower.size() - n, n, suffix) == 0) return true;
  }
  return false;
}

// A usage error for a word that is not ours, with the command line that was
// most likely meant ("to extract: gzarc extract notes.gz") when the word is a
// habit or names an archive. names are the other words given.
[[noreturn]] void UnknownWordError(const std::string& message, const std::string& word,
                                   const std::vector<std::string>& names) {
  const auto commandLine = [&](const std::string& command, const std::vector<std::string>& args) {
    std::string line = "gzarc " + command;
    for (const auto& arg : args) {
      line += ' ';
      line += ShellWord(arg);
    }
    if (args.empty()) line += command == "create" ? " ARCHIVE FILE" : " ARCHIVE...";
    return line;
  };
  const auto habit = kHabits.find(word);
  if (habit != kHabits.end()) {
    throw CliError(ExitCode::kUsage,
                   message + "; to " + habit->second + ": " + commandLine(habit->second, names));
  }
  if (word[0] != '-' && LooksLikeArchive(word)) {
    std::vector<std::string> archives = {word};
    archives.insert(archives.end(), names.begin(), names.end());
    const std::string it = archives.size() == 1 ? " it: " : " them: ";
    throw CliError(ExitCode::kUsage, message + "; to extract" + it +
                                         commandLine("extract", archives) + ", to list" + it +
                                         commandLine("list", archives));
  }
  // "gzip FILE" compresses FILE.
  struct stat st {};
  if (word[0] != '-' && names.empty() && ::stat(word.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    throw CliError(ExitCode::kUsage,
                   message + "; to compress it: " + commandLine("create", {word + ".gz", word}));
  }
  UsageError(message);
}

Parsed ParseArguments(int argc, char** argv) {
  Parsed parsed;
  Options& o = parsed.options;
  bool optionsEnd = false;
  const auto value = [&](int& i, const std::string& name) -> std::string {
    if (i + 1 >= argc) UsageError(name + " needs a value");
    return argv[++i];
  };
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (optionsEnd || arg.size() < 2 || arg[0] != '-') {
      if (o.command.empty()) {
        o.command = arg;
      } else {
        o.operands.push_back(arg);
      }
    } else if (arg == "--") {
      optionsEnd = true;
    } else if (arg == "-h" || arg == "--help") {
      parsed.help = true;
    } else if (arg == "--version") {
      parsed.version = true;
    } else if (arg == "-q" || arg == "--quiet") {
      o.quiet = true;
    } else if (arg == "--engine") {
      o.enginePath = value(i, arg);
    } else if (arg.rfind("--engine=", 0) == 0) {
      o.enginePath = arg.substr(9);
    } else if (arg == "-C") {
      o.directory = value(i, arg);
      parsed.seen.insert("-C");
    } else if (arg.rfind("-C", 0) == 0) {
      o.directory = arg.substr(2);
      parsed.seen.insert("-C");
    } else if (arg == "-m" || arg == "--mask") {
      o.masks.push_back(value(i, arg));
      parsed.seen.insert("--mask");
    } else if (arg.rfind("--mask=", 0) == 0) {
      o.masks.push_back(arg.substr(7));
      parsed.seen.insert("--mask");
    } else if (arg.rfind("-m", 0) == 0) {
      o.masks.push_back(arg.substr(2));
      parsed.seen.insert("--mask");
    } else if (arg == "--json") {
      o.json = true;
      parsed.seen.insert(arg);
    } else if (arg == "--overwrite") {
      o.existing = ExistingPolicy::kOverwrite;
      parsed.seen.insert(arg);
    } else if (arg == "--skip-existing") {
      o.existing = ExistingPolicy::kSkip;
      parsed.seen.insert(arg);
    } else if (arg == "--force" || arg == "-f") {
      o.force = true;
      parsed.seen.insert("--force");
    } else if (arg == "--keep") {
      o.keep = true;
      parsed.seen.insert(arg);
    } else if (parsed.unknownOption.empty()) {
      // Reported once the whole line is read, so that a hint can name the
      // archives given after it.
      parsed.unknownOption = arg;
    }
  }
  if (!parsed.unknownOption.empty()) {
    std::vector<std::string> names = o.operands;
    if (!o.command.empty() && kCommandOptions.count(o.command) == 0 &&
        kHabits.count(o.command) == 0) {
      names.insert(names.begin(), o.command);
    }
    UnknownWordError("unknown option '" + parsed.unknownOption + "'", parsed.unknownOption, names);
  }
  return parsed;
}

void CheckCommandLine(const Parsed& parsed) {
  const Options& o = parsed.options;
  const auto allowed = kCommandOptions.find(o.command);
  if (allowed == kCommandOptions.end()) {
    UnknownWordError("unknown command '" + o.command + "'", o.command, o.operands);
  }
  for (const auto& option : parsed.seen) {
    if (allowed->second.count(option) == 0) {
      UsageError("'" + o.command + "' does not take " + option);
    }
  }
  if (parsed.seen.count("--overwrite") != 0 && parsed.seen.count("--skip-existing") != 0) {
    UsageError("--overwrite and --skip-existing exclude each other");
  }
  if (parsed.seen.count("-C") != 0 && o.directory.empty()) UsageError("-C needs a folder");
  const std::size_t count = o.operands.size();
  if (o.command == "demo" && count != 0) UsageError("demo takes no arguments");
  if (o.command == "create" && count < 2) UsageError("create needs ARCHIVE and FILE");
  if (o.command != "demo" && count < 1) UsageError(o.command + " needs an ARCHIVE");
  for (const auto& operand : o.operands) {
    if (operand.empty()) UsageError("an empty name");
  }
  for (const auto& mask : o.masks) {
    if (mask.empty()) UsageError("an empty mask");
  }
}

// list --json answers with a JSON document whatever happens once the
// command line is read: a failure before any archive (the engine cannot be
// loaded, an operand is missing) is {"error": ..., "exit_code": ...}.
ExitCode WithJsonErrors(const std::function<ExitCode()>& run) {
  const auto document = [](const std::string& message, ExitCode code) {
    std::printf("{\"error\": %s, \"exit_code\": %d}\n", JsonString(message).c_str(),
                static_cast<int>(code));
  };
  try {
    return run();
  } catch (const CliError& e) {
    document(e.what(), e.code());
    throw;
  } catch (const EngineLoadError& e) {
    document(e.what(), ExitCode::kNoEngine);
    throw;
  }
}

ExitCode RunCommand(const Parsed& parsed);

ExitCode Run(int argc, char** argv) {
  const Parsed parsed = ParseArguments(argc, argv);
  const Options& o = parsed.options;
  if (parsed.version) {
    std::printf("gzarc %s\n", GZARC_VERSION);
    return ExitCode::kOk;
  }
  if (parsed.help) {
    const auto help = kCommandHelp.find(o.command);
    std::fputs(help != kCommandHelp.end() ? help->second.c_str() : kUsage, stdout);
    return ExitCode::kOk;
  }
  if (o.command.empty()) {
    std::fputs(kUsage, stderr);
    return ExitCode::kUsage;
  }
  if (o.command == "list" && o.json) return WithJsonErrors([&] { return RunCommand(parsed); });
  return RunCommand(parsed);
}

ExitCode RunCommand(const Parsed& parsed) {
  const Options& o = parsed.options;
  CheckCommandLine(parsed);

  const std::string enginePath = ChooseEnginePath(o.enginePath);
  Engine engine(enginePath);
  const EngineApi& api = engine.api();
  if (o.command == "list") return RunList(api, o);
  if (o.command == "delete") return RunDelete(api, o);
  // From here on Ctrl-C, SIGTERM and SIGHUP cancel through the engine, which
  // cleans up after itself, instead of killing the process halfway through
  // a file.
  InterruptGuard interrupts;
  if (o.command == "extract") return RunExtract(api, o);
  if (o.command == "create") return RunCreate(api, o);
  return RunDemo(api, enginePath, o);
}

// A run that a signal cancelled ends with the status a shell gives a death
// by that signal: 130 for Ctrl-C, 143 for SIGTERM, 129 for SIGHUP.
int ExitStatus(ExitCode code) {
  if (code == ExitCode::kCancelled && CaughtSignal() != 0) return 128 + CaughtSignal();
  return static_cast<int>(code);
}

}  // namespace
}  // namespace gzarc_cli

int main(int argc, char** argv) {
  using namespace gzarc_cli;
  ExitCode code = ExitCode::kOk;
  try {
    code = Run(argc, argv);
  } catch (const CliError& e) {
    ReportError(e.what());
    code = e.code();
  } catch (const EngineLoadError& e) {
    ReportError(e.what());
    code = ExitCode::kNoEngine;
  } catch (const std::exception& e) {
    ReportError(e.what());
    code = ExitCode::kFileError;
  }
  std::fflush(stdout);
  return ExitStatus(code);
}
