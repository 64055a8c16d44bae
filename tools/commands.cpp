#include "commands.h"

#include <cstdio>
#include <filesystem>

#include "format.h"
#include "host_paths.h"

namespace gzarc_cli {
namespace {

std::vector<std::string> Masks(const Options& options) {
  return {options.operands.begin() + 1, options.operands.end()};
}

void PrintTable(const std::string& display, const Listing& listing) {
  const std::string host = HostSystemName(listing.info.hostSystemCode);
  std::printf("Archive: %s\n", display.c_str());
  std::printf("%14s %14s %6s  %-10s %-8s  %-9s %s\n", "Size", "Packed", "Ratio", "Date", "Time",
              "Host", "Name");
  for (const auto& m : listing.members) {
    const DateTime t = FromDosDateTime(m.dosDateTime);
    std::printf("%14s %14s %5lld%%  %-10s %-8s  %-9s %s\n", GroupedBytes(m.unpackedSize).c_str(),
                GroupedBytes(m.packedSize).c_str(),
                static_cast<long long>(RatioPercent(m.packedSize, m.unpackedSize)),
                DateText(t).c_str(), TimeText(t).c_str(), host.c_str(), m.name.c_str());
  }
}

void PrintJson(const std::string& display, const Listing& listing) {
  const ArcExtraInfo& info = listing.info;
  std::string out = "{\n  \"archive\": " + JsonString(display) +
                    ",\n  \"host_system\": " + JsonString(HostSystemName(info.hostSystemCode)) +
                    ",\n  \"host_system_code\": " + std::to_string(info.hostSystemCode) +
                    ",\n  \"members\": [";
  for (std::size_t i = 0; i < listing.members.size(); ++i) {
    const Member& m = listing.members[i];
    const DateTime t = FromDosDateTime(m.dosDateTime);
    out += (i == 0 ? "\n" : ",\n");
    out += "    {\"name\": " + JsonString(m.name) +
           ", \"size\": " + std::to_string(m.unpackedSize) +
           ", \"packed_size\": " + std::to_string(m.packedSize) +
           ", \"ratio\": " + std::to_string(RatioPercent(m.packedSize, m.unpackedSize)) +
           ", \"date\": " + (t.valid ? JsonString(DateText(t)) : "null") +
           ", \"time\": " + (t.valid ? JsonString(TimeText(t)) : "null") +
           ", \"attributes\": " + std::to_string(m.attributes) + "}";
  }
  out += listing.members.empty() ? "]" : "\n  ]";
  out += ",\n  \"total_size\": " + std::to_string(info.totalUnpackedSize) +
         ",\n  \"total_packed_size\": " + std::to_string(info.totalPackedSize) +
         ",\n  \"ratio\": " + std::to_string(info.ratio) + "\n}\n";
  std::fputs(out.c_str(), stdout);
}

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
  const std::string& display = options.operands.front();
  const Listing listing = ListArchive(api, AbsolutePath(display), display, Masks(options));
  api.DoneArcFile(nullptr);
  if (options.json) {
    PrintJson(display, listing);
  } else {
    PrintTable(display, listing);
  }
  return ExitCode::kOk;
}

ExitCode RunExtract(const EngineApi& api, const Options& options) {
  const std::string& display = options.operands.front();
  const std::string folder = AbsolutePath(options.directory.empty() ? "." : options.directory);
  HostSession session(ShowProgress(options));
  ConfigureSession(session, options);
  const ExtractResult result =
      ExtractArchive(api, session, AbsolutePath(display), display, folder, Masks(options));

  for (const auto& path : session.refused) {
    std::fprintf(stderr,
                 "gzarc: %s: already exists; not replaced (use --overwrite or --skip-existing)\n",
                 path.c_str());
  }
  if (!options.quiet) {
    for (const auto& path : session.skipped)
      std::printf("skipped %s (kept the existing file)\n", path.c_str());
    for (const auto& path : result.written) {
      std::printf("extracted %s (%s in %s, %s)\n", path.c_str(), HumanSize(result.bytes).c_str(),
                  Seconds(result.seconds).c_str(), Speed(result.bytes, result.seconds).c_str());
    }
  }
  return session.refused.empty() ? ExitCode::kOk : ExitCode::kExists;
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
    inputFolder = AbsolutePath(options.directory);
    for (auto& file : files) {
      if (!file.empty() && file.front() == '/') {
        throw CliError(ExitCode::kUsage,
                       file + ": with -C, name the file relative to " + options.directory);
      }
      file = std::filesystem::path(file).lexically_normal().string();
    }
  } else {
    // The file is stored under its own name, without its folders.
    const std::string first = AbsolutePath(files.front());
    inputFolder = DirName(first);
    files.front() = BaseName(first);
    for (std::size_t i = 1; i < files.size(); ++i) {
      files[i] = std::filesystem::relative(AbsolutePath(files[i]), inputFolder).string();
    }
  }

  if (options.force && FileExists(archive)) {
    const std::string source = inputFolder + "/" + files.front();
    if (std::filesystem::exists(source) && std::filesystem::equivalent(source, archive)) {
      throw CliError(ExitCode::kUsage, shown + ": the archive cannot be its own source");
    }
    if (StdinIsTerminal()) {
      InterruptGuard interrupts;
      if (!AskYesNo("gzarc: " + shown + " already exists; replace it?")) {
        if (Interrupted()) throw CliError(ExitCode::kCancelled, shown + ": cancelled");
        throw CliError(ExitCode::kExists, shown + ": already exists; not replaced");
      }
    }
    std::error_code ec;
    if (std::filesystem::is_directory(archive, ec)) {
      throw CliError(ExitCode::kFileError, shown + ": is a folder; not removed");
    }
    if (!std::filesystem::remove(archive, ec) || ec) {
      throw CliError(ExitCode::kFileError,
                     shown + ": cannot remove the existing archive (" + ec.message() + ")");
    }
  }

  HostSession session(ShowProgress(options));
  ConfigureSession(session, options);
  const CompressResult result =
      CompressFile(api, session, archive, shown, inputFolder, files, options.operands[1]);
  if (!options.quiet) {
    std::printf("created %s: %s -> %s (%lld%%) in %s, %s\n", shown.c_str(),
                HumanSize(result.sourceSize).c_str(), HumanSize(result.archiveSize).c_str(),
                static_cast<long long>(RatioPercent(result.archiveSize, result.sourceSize)),
                Seconds(result.seconds).c_str(), Speed(result.sourceSize, result.seconds).c_str());
  }
  return ExitCode::kOk;
}

ExitCode RunDelete(const EngineApi& api, const Options& options) {
  const std::string& display = options.operands.front();
  const Listing listing = DeleteFromArchive(api, AbsolutePath(display), display, Masks(options));
  if (!options.quiet) {
    for (const auto& m : listing.members) std::printf("deleted %s\n", m.name.c_str());
    std::printf("removed %s (a gzip archive holds one member)\n", display.c_str());
  }
  return ExitCode::kOk;
}

}  // namespace gzarc_cli
