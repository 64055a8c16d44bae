#include "commands.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>

#include "format.h"
#include "host_paths.h"

namespace gzarc_cli {
namespace {

namespace fs = std::filesystem;

// The archive opened, listed and closed again.
Listing ListOne(const EngineApi& api, const std::string& display,
                const std::vector<std::string>& masks) {
  ArchiveScope archiveScope(api);
  return ListArchive(api, AbsolutePath(display), display, masks);
}

constexpr const char* kRowFormat = "%14s %14s %5lld%%  %-10s %-8s  %-9s ";

void PrintRow(const Member& m, const std::string& host) {
  const DateTime t = FromDosDateTime(m.dosDateTime);
  std::printf(kRowFormat, GroupedBytes(m.unpackedSize).c_str(), GroupedBytes(m.packedSize).c_str(),
              static_cast<long long>(RatioPercent(m.packedSize, m.unpackedSize)),
              DateText(t).c_str(), TimeText(t).c_str(), host.c_str());
}

void PrintTable(const std::string& display, const Listing& listing) {
  const std::string host = HostSystemName(listing.info.hostSystemCode);
  std::printf("Archive: %s\n", Printable(display).c_str());
  std::printf("%14s %14s %6s  %-10s %-8s  %-9s %s\n", "Size", "Packed", "Ratio", "Date", "Time",
              "Host", "Name");
  for (const auto& m : listing.members) {
    PrintRow(m, host);
    std::printf("%s\n", Printable(m.name).c_str());
  }
}

// One archive as a JSON object; every line after the first starts with indent.
std::string JsonListing(const std::string& display, const Listing& listing,
                        const std::string& indent = "") {
  const ArcExtraInfo& info = listing.info;
  const std::string nl = "\n" + indent;
  std::string out = "{" + nl + "  \"archive\": " + JsonString(display) + "," + nl +
                    "  \"host_system\": " + JsonString(HostSystemName(info.hostSystemCode)) + "," +
                    nl + "  \"host_system_code\": " + std::to_string(info.hostSystemCode) + "," +
                    nl + "  \"members\": [";
  for (std::size_t i = 0; i < listing.members.size(); ++i) {
    const Member& m = listing.members[i];
    const DateTime t = FromDosDateTime(m.dosDateTime);
    out += (i == 0 ? "" : ",") + nl;
    out += "    {\"name\": " + JsonString(m.name) +
           ", \"size\": " + std::to_string(m.unpackedSize) +
           ", \"packed_size\": " + std::to_string(m.packedSize) +
           ", \"ratio\": " + std::to_string(RatioPercent(m.packedSize, m.unpackedSize)) +
           ", \"date\": " + (t.valid ? JsonString(DateText(t)) : "null") +
           ", \"time\": " + (t.valid ? JsonString(TimeText(t)) : "null") +
           ", \"attributes\": " + std::to_string(m.attributes) + "}";
  }
  out += listing.members.empty() ? "]" : nl + "  ]";
  out += "," + nl + "  \"total_size\": " + std::to_string(info.totalUnpackedSize) + "," + nl +
         "  \"total_packed_size\": " + std::to_string(info.totalPackedSize) + "," + nl +
         "  \"ratio\": " + std::to_string(info.ratio) + nl + "}";
  return out;
}

// One archive that failed, as a JSON object: archive, error (the message
// without the archive's name in front) and exit_code.
std::string JsonFailure(const std::string& display, const std::string& message, ExitCode code) {
  const std::string prefix = display + ": ";
  const std::string why = message.rfind(prefix, 0) == 0 ? message.substr(prefix.size()) : message;
  return "{\"archive\": " + JsonString(display) + ", \"error\": " + JsonString(why) +
         ", \"exit_code\": " + std::to_string(static_cast<int>(code)) + "}";
}

// Handles each archive in turn with handle(display), which throws CliError
// on a failure. A failure is reported (and passed to failed) and the next
// archive still handled; a cancel ends the run at once. With several
// archives the masks select: an archive whose member matches none is passed
// over, and only when no archive matched is that an error. Returns the worst
// outcome.
using ArchiveFailure =
    std::function<void(const std::string& display, const std::string& message, ExitCode code)>;
ExitCode ForEachArchive(const Options& options,
                        const std::function<ExitCode(const std::string&)>& handle,
                        const ArchiveFailure& failed = nullptr) {
  const std::vector<std::string>& archives = options.operands;
  const bool select = archives.size() > 1 && !options.masks.empty();
  ExitCode worst = ExitCode::kOk;
  std::size_t matched = 0, unmatched = 0;
  const auto report = [&](const std::string& display, const std::string& message, ExitCode code) {
    ReportError(message);
    if (failed) failed(display, message, code);
    worst = Worse(worst, code);
  };
  for (const std::string& display : archives) {
    // A Ctrl-C between two archives ends the run there.
    if (Interrupted())
      throw CliError(ExitCode::kCancelled, "cancelled" + CancelCause() + " before " + display);
    try {
      worst = Worse(worst, handle(display));
      ++matched;
    } catch (const CliError& e) {
      if (e.code() == ExitCode::kCancelled) throw;
      if (select && e.code() == ExitCode::kNoMatch) {
        ++unmatched;
      } else {
        report(display, e.what(), e.code());
      }
    } catch (const EngineLoadError&) {
      throw;
    } catch (const std::exception& e) {
      report(display, display + ": " + e.what(), ExitCode::kFileError);
    }
  }
  if (matched == 0 && unmatched > 0) {
    report("",
           "no member matches " + JoinMasks(options.masks) + " in " + std::to_string(unmatched) +
               (unmatched == 1 ? " archive" : " archives"),
           ExitCode::kNoMatch);
  }
  return worst;
}

// list with several archives: one table with a column for the archive and a
// totals line, or one JSON object holding every archive and the totals.
ExitCode ListSeveral(const EngineApi& api, const Options& options) {
  std::size_t width = 7;  // "Archive"
  for (const auto& display : options.operands) width = std::max(width, Printable(display).size());
  const int archiveWidth = static_cast<int>(width);
  int64_t unpacked = 0, packed = 0;
  std::size_t listed = 0, failures = 0;
  std::vector<std::string> entries;  // JSON objects
  const auto listOne = [&](const std::string& display) {
    const Listing listing = ListOne(api, display, options.masks);
    if (options.json) {
      entries.push_back(JsonListing(display, listing, "    "));
    } else {
      if (listed == 0) {
        std::printf("%14s %14s %6s  %-10s %-8s  %-9s %-*s %s\n", "Size", "Packed", "Ratio", "Date",
                    "Time", "Host", archiveWidth, "Archive", "Name");
      }
      const std::string host = HostSystemName(listing.info.hostSystemCode);
      for (const auto& m : listing.members) {
        PrintRow(m, host);
        std::printf("%-*s %s\n", archiveWidth, Printable(display).c_str(),
                    Printable(m.name).c_str());
      }
    }
    for (const auto& m : listing.members) {
      unpacked += m.unpackedSize;
      packed += m.packedSize;
    }
    ++listed;
    return ExitCode::kOk;
  };
  std::string noMatch;  // no member matched in any archive: the run's error, not one archive's
  const auto failed = [&](const std::string& display, const std::string& message, ExitCode code) {
    if (display.empty()) {
      noMatch = ",\n  \"error\": " + JsonString(message) +
                ",\n  \"exit_code\": " + std::to_string(static_cast<int>(code));
      return;
    }
    ++failures;
    if (options.json) entries.push_back(JsonFailure(display, message, code));
  };
  const ExitCode code = ForEachArchive(options, listOne, failed);

  const long long ratio = static_cast<long long>(RatioPercent(packed, unpacked));
  const std::string count = std::to_string(listed) + (listed == 1 ? " archive" : " archives");
  if (options.json) {
    std::string out = "{\n  \"archives\": [";
    for (std::size_t i = 0; i < entries.size(); ++i)
      out += (i == 0 ? "\n    " : ",\n    ") + entries[i];
    out += entries.empty() ? "]" : "\n  ]";
    out += ",\n  \"totals\": {\"archives\": " + std::to_string(listed) +
           ", \"failed\": " + std::to_string(failures) + ", \"size\": " + std::to_string(unpacked) +
           ", \"packed_size\": " + std::to_string(packed) +
           ", \"ratio\": " + std::to_string(ratio) + "}" + noMatch + "\n}\n";
    std::fputs(out.c_str(), stdout);
  } else if (listed > 0) {
    std::printf(kRowFormat, GroupedBytes(unpacked).c_str(), GroupedBytes(packed).c_str(), ratio, "",
                "", "");
    std::printf("%s (totals)\n", count.c_str());
  }
  return code;
}

// "a FIFO" and the like for a file that exists and is neither a regular
// file nor a folder (symbolic links followed), else "".
std::string SpecialFileKind(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return "";
  if (S_ISCHR(st.st_mode)) return "a character device";
  if (S_ISBLK(st.st_mode)) return "a block device";
  if (S_ISFIFO(st.st_mode)) return "a FIFO";
  if (S_ISSOCK(st.st_mode)) return "a socket";
  return S_ISREG(st.st_mode) || S_ISDIR(st.st_mode) ? "" : "a special file";
}

// The folders on the way to the extraction folder that do not exist yet.
// The engine creates them as it writes; those that the run leaves empty (it
// failed or was cancelled) are removed again, the deepest first.
class NewFolders {
 public:
  explicit NewFolders(const std::string& folder) {
    for (std::string f = folder; !FileExists(f) && DirName(f) != f; f = DirName(f)) {
      folders_.push_back(f);
    }
  }
  ~NewFolders() {
    for (const auto& f : folders_) {
      if (::rmdir(f.c_str()) != 0) break;
    }
  }
  NewFolders(const NewFolders&) = delete;
  NewFolders& operator=(const NewFolders&) = delete;

 private:
  std::vector<std::string> folders_;
};

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f s", seconds);
  return text;
}

std::string Speed(int64_t bytes, double seconds) {
  if (seconds <= 0) return "-";
  return HumanSize(static_cast<int64_t>(static_cast<double>(bytes) / seconds)) + "/s";
}

}  // namespace

bool ShowProgress(const Options& options) {
  return !options.quiet && StderrIsTerminal();
}

void ConfigureSession(HostSession& session, const Options& options) {
  session.existing = options.existing;
  session.canPrompt = StdinIsTerminal();
}

ExitCode RunList(const EngineApi& api, const Options& options) {
  if (options.operands.size() > 1) return ListSeveral(api, options);
  // With --json a failure is a JSON document too, for the script reading it.
  const auto failed = [&](const std::string& display, const std::string& message, ExitCode code) {
    if (options.json) std::printf("%s\n", JsonFailure(display, message, code).c_str());
  };
  return ForEachArchive(
      options,
      [&](const std::string& display) {
        const Listing listing = ListOne(api, display, options.masks);
        if (options.json) {
          std::printf("%s\n", JsonListing(display, listing).c_str());
        } else {
          PrintTable(display, listing);
        }
        return ExitCode::kOk;
      },
      failed);
}

ExitCode RunExtract(const EngineApi& api, const Options& options) {
  const std::string folder = AbsolutePath(options.directory.empty() ? "." : options.directory);
  const NewFolders newFolders(folder);
  // One session for all archives: "all" and "none" at the prompt hold for the rest.
  HostSession session(ShowProgress(options));
  ConfigureSession(session, options);
  return ForEachArchive(options, [&](const std::string& display) {
    session.skipped.clear();
    session.refused.clear();
    const ExtractResult result =
        ExtractArchive(api, session, AbsolutePath(display), display, folder, options.masks);
    for (const auto& path : session.refused) {
      ReportError(path + ": already exists; not replaced (use --overwrite or --skip-existing)");
    }
    if (!options.quiet) {
      for (const auto& path : session.skipped)
        std::printf("skipped %s (kept the existing file)\n", Printable(path).c_str());
      for (const auto& path : result.written) {
        std::printf("extracted %s (%s in %s, %s)\n", Printable(path).c_str(),
                    HumanSize(result.bytes).c_str(), Seconds(result.seconds).c_str(),
                    Speed(result.bytes, result.seconds).c_str());
      }
      std::fflush(stdout);
    }
    return session.refused.empty() ? ExitCode::kOk : ExitCode::kExists;
  });
}

ExitCode RunCreate(const EngineApi& api, const Options& options) {
  const std::string& display = options.operands.front();
  std::string archive = AbsolutePath(display);
  std::string shown = display;
  // Without an extension the engine would add ".GZ"; the usual name is ".gz".
  if (!HasExtension(archive)) {
    archive += ".gz";
    shown += ".gz";
  }

  std::vector<std::string> files(options.operands.begin() + 1, options.operands.end());
  std::string inputFolder;
  if (!options.directory.empty()) {
    // The files are named relative to DIR and stored under those names.
    // A path that leaves DIR would be stored with ".." in it.
    inputFolder = AbsolutePath(options.directory);
    for (auto& file : files) {
      const fs::path given(file);
      const fs::path full = given.is_absolute() ? given : fs::path(inputFolder) / given;
      const fs::path relative = full.lexically_normal().lexically_relative(inputFolder);
      if (relative.empty() || *relative.begin() == "..") {
        throw CliError(ExitCode::kUsage,
                       file + ": is outside " + options.directory + "; with -C, name a file in it");
      }
      file = relative.string();
    }
  } else {
    // The file is stored under its own name, without its folders.
    const std::string first = AbsolutePath(files.front());
    inputFolder = DirName(first);
    files.front() = BaseName(first);
    for (std::size_t i = 1; i < files.size(); ++i) {
      files[i] = fs::relative(AbsolutePath(files[i]), inputFolder).string();
    }
  }

  // Like gzip, only regular files: a device would be read for ever, a FIFO
  // blocks or gives whatever its writer sends.
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::string kind = SpecialFileKind(inputFolder + "/" + files[i]);
    if (!kind.empty()) {
      throw CliError(ExitCode::kUsage, options.operands[i + 1] + ": is " + kind +
                                           ", not a regular file; nothing compressed");
    }
  }

  // The archive is written under a temporary name and moved over an old one
  // only when complete, so a refused, failed or cancelled run keeps it.
  if (FileExists(archive)) {
    if (!options.force) {
      throw CliError(ExitCode::kExists, shown + ": already exists (--force replaces it)");
    }
    const std::string source = inputFolder + "/" + files.front();
    std::error_code ec;
    if (fs::exists(source, ec) && fs::equivalent(source, archive, ec)) {
      throw CliError(ExitCode::kUsage, shown + ": the archive cannot be its own source");
    }
    if (fs::is_directory(archive, ec)) {
      throw CliError(ExitCode::kFileError, shown + ": is a folder; not replaced");
    }
    if (StdinIsTerminal()) {
      InterruptGuard interrupts;
      if (!AskYesNo("gzarc: " + Printable(shown) + " already exists; replace it?")) {
        if (Interrupted())
          throw CliError(ExitCode::kCancelled, shown + ": cancelled" + CancelCause());
        throw CliError(ExitCode::kExists, shown + ": already exists; not replaced");
      }
    }
  }

  HostSession session(ShowProgress(options));
  ConfigureSession(session, options);
  const CompressResult result = CompressFile(api, session, archive, shown, inputFolder, files,
                                             options.operands[1], options.force);
  if (!options.quiet) {
    std::printf("created %s: %s -> %s (%lld%%) in %s, %s\n", Printable(shown).c_str(),
                HumanSize(result.sourceSize).c_str(), HumanSize(result.archiveSize).c_str(),
                static_cast<long long>(RatioPercent(result.archiveSize, result.sourceSize)),
                Seconds(result.seconds).c_str(), Speed(result.sourceSize, result.seconds).c_str());
  }
  return ExitCode::kOk;
}

ExitCode RunDelete(const EngineApi& api, const Options& options) {
  return ForEachArchive(options, [&](const std::string& display) {
    const Listing listing = DeleteFromArchive(api, AbsolutePath(display), display, options.masks);
    if (!options.quiet) {
      for (const auto& m : listing.members) std::printf("deleted %s\n", Printable(m.name).c_str());
      std::printf("removed %s (a gzip archive holds one member)\n", Printable(display).c_str());
    }
    return ExitCode::kOk;
  });
}

}  // namespace gzarc_cli
