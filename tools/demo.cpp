// "gzarc demo": a round trip through the engine on generated text, showing
// what the host does for a user and how fast the engine is.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "commands.h"
#include "format.h"
#include "host_paths.h"

namespace gzarc_cli {
namespace {

constexpr std::size_t kSampleBytes = 4u << 20;

// Prose-like text from a fixed vocabulary and a fixed seed: compressible
// like real text, the same on every run.
std::string SampleText(std::size_t size) {
  static constexpr const char* kWords[] = {
      "the",      "archive", "engine",   "stream",   "window", "block",  "code",  "length",
      "of",       "and",     "a",        "to",       "in",     "with",   "every", "file",
      "reads",    "writes",  "keeps",    "finds",    "builds", "checks", "sends", "holds",
      "quick",    "careful", "small",    "large",    "empty",  "whole",  "next",  "last",
      "header",   "trailer", "member",   "folder",   "table",  "tree",   "match", "literal",
      "distance", "buffer",  "progress", "callback", "host",   "name",   "time",  "size"};
  constexpr std::size_t kWordCount = sizeof kWords / sizeof kWords[0];
  std::string text;
  text.reserve(size + 128);
  uint32_t state = 0x2545F491u;
  const auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  };
  std::size_t lineStart = 0;
  bool sentenceStart = true;
  while (text.size() < size) {
    std::string word = kWords[next() % kWordCount];
    if (next() % 11 == 0) word = std::to_string(next() % 4096);
    if (sentenceStart && word[0] >= 'a' && word[0] <= 'z')
      word[0] = static_cast<char>(word[0] - 32);
    sentenceStart = false;
    if (text.size() > lineStart) {
      const bool wrap = text.size() - lineStart + word.size() > 72;
      text += wrap ? '\n' : ' ';
      if (wrap) lineStart = text.size();
    }
    text += word;
    if (next() % 9 == 0) {
      text += '.';
      sentenceStart = true;
    }
  }
  text.resize(size);
  text.back() = '\n';
  return text;
}

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string MakeTempFolder() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/gzarc-demo-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw CliError(ExitCode::kFileError,
                   "demo: cannot make a temporary folder in " + DirName(pattern));
  }
  return AbsolutePath(pattern);
}

// Removes the demo's folder on every way out, unless the user keeps it.
class DemoFolder {
 public:
  DemoFolder(bool keep) : path_(MakeTempFolder()), keep_(keep) {}
  ~DemoFolder() {
    if (keep_) return;
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  DemoFolder(const DemoFolder&) = delete;
  DemoFolder& operator=(const DemoFolder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  bool keep_;
};

// A Ctrl-C that came between two operations ends the demo there.
void StopIfInterrupted() {
  if (Interrupted()) throw CliError(ExitCode::kCancelled, "demo: cancelled" + CancelCause());
}

std::string Rate(int64_t bytes, double seconds) {
  if (seconds <= 0) return "-";
  return HumanSize(static_cast<int64_t>(static_cast<double>(bytes) / seconds)) + "/s";
}

}  // namespace

ExitCode RunDemo(const EngineApi& api, const std::string& enginePath, const Options& options) {
  const bool talk = !options.quiet;
  DemoFolder folder(options.keep);
  const std::string sourceName = "sample.txt";
  const std::string source = folder.path() + "/" + sourceName;
  const std::string archive = source + ".gz";
  const std::string outFolder = folder.path() + "/out";

  if (talk) std::printf("gzarc demo, engine %s\n", enginePath.c_str());
  const std::string text = SampleText(kSampleBytes);
  {
    std::ofstream out(source, std::ios::binary);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    if (!out) throw CliError(ExitCode::kFileError, source + ": cannot write the sample");
  }
  if (talk) {
    std::printf("  sample   %s: %s of generated text\n", source.c_str(),
                HumanSize(static_cast<int64_t>(text.size())).c_str());
    std::fflush(stdout);
  }

  StopIfInterrupted();
  HostSession session(ShowProgress(options));
  ConfigureSession(session, options);
  session.existing = ExistingPolicy::kOverwrite;
  const CompressResult packed =
      CompressFile(api, session, archive, archive, folder.path(), {sourceName}, source, false);
  if (talk) {
    std::printf("  create   %s: %s -> %s (%lld%%) in %.2f s, %s\n", BaseName(archive).c_str(),
                HumanSize(packed.sourceSize).c_str(), HumanSize(packed.archiveSize).c_str(),
                static_cast<long long>(RatioPercent(packed.archiveSize, packed.sourceSize)),
                packed.seconds, Rate(packed.sourceSize, packed.seconds).c_str());
  }

  StopIfInterrupted();
  const Listing listing = ListArchive(api, archive, archive, {});
  api.DoneArcFile(nullptr);
  if (talk) {
    for (const auto& m : listing.members) {
      const DateTime t = FromDosDateTime(m.dosDateTime);
      std::printf("  list     %s: %s bytes, packed %s, %lld%%, %s %s, %s\n", m.name.c_str(),
                  GroupedBytes(m.unpackedSize).c_str(), GroupedBytes(m.packedSize).c_str(),
                  static_cast<long long>(RatioPercent(m.packedSize, m.unpackedSize)),
                  DateText(t).c_str(), TimeText(t).c_str(),
                  HostSystemName(listing.info.hostSystemCode).c_str());
    }
    std::fflush(stdout);
  }
  if (listing.members.size() != 1 || listing.members[0].name != sourceName ||
      listing.members[0].unpackedSize != static_cast<int64_t>(text.size())) {
    throw CliError(ExitCode::kCorrupt, "demo: the listing does not show " + sourceName + " with " +
                                           GroupedBytes(static_cast<int64_t>(text.size())) +
                                           " bytes");
  }

  StopIfInterrupted();
  const ExtractResult unpacked = ExtractArchive(api, session, archive, archive, outFolder, {});
  const std::string extracted = outFolder + "/" + sourceName;
  if (talk) {
    std::printf("  extract  %s: %s in %.2f s, %s\n", extracted.c_str(),
                HumanSize(unpacked.bytes).c_str(), unpacked.seconds,
                Rate(unpacked.bytes, unpacked.seconds).c_str());
    std::fflush(stdout);
  }
  if (ReadWhole(extracted) != text) {
    throw CliError(ExitCode::kCorrupt, "demo: " + extracted + " differs from the original");
  }
  if (talk) {
    std::printf("  check    the extracted file equals the original, byte for byte\n");
    if (options.keep) {
      std::printf("demo passed; the files stay in %s\n", folder.path().c_str());
    } else {
      std::printf("demo passed; removed %s (--keep keeps it)\n", folder.path().c_str());
    }
  }
  return ExitCode::kOk;
}

}  // namespace gzarc_cli
