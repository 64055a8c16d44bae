#include "host_paths.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "messages.h"

namespace gzarc_cli {

std::string AbsolutePath(const std::string& path) {
  namespace fs = std::filesystem;
  fs::path p(path.empty() ? "." : path);
  if (p.is_relative()) p = fs::current_path() / p;
  std::string text = p.lexically_normal().string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

std::string ToEngineForm(const std::string& posixPath) {
  if (posixPath.find('\\') != std::string::npos) {
    throw CliError(ExitCode::kUsage,
                   posixPath + ": names holding a backslash cannot be handed to the engine");
  }
  std::string text = posixPath;
  for (char& c : text) {
    if (c == '/') c = '\\';
  }
  return text;
}

std::string FromEngineForm(const std::string& enginePath) {
  std::string text = enginePath;
  for (char& c : text) {
    if (c == '\\') c = '/';
  }
  return text;
}

void CheckLength(const std::string& path, std::size_t limit, const std::string& what) {
  if (path.size() > limit) {
    throw CliError(ExitCode::kUsage, path + ": " + what + " is too long for the engine (at most " +
                                         std::to_string(limit) + " characters)");
  }
}

bool HasExtension(const std::string& path) {
  const auto dot = path.rfind('.');
  if (dot == std::string::npos) return false;
  return path.find('/', dot) == std::string::npos;
}

std::string BaseName(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string DirName(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

namespace {

bool NamesAFile(const std::string& name) {
  return !name.empty() && name != "." && name != "..";
}

// The engine's name for a member without one: the archive's base name, with
// ".tar" for the compressed-tar extensions. It counts the dots of the whole
// path: with two or more only ".tgz" (any case) means tar, with one any
// extension that begins with a "t".
std::string DerivedMemberName(const std::string& archive) {
  const std::string base = archive.substr(archive.find_last_of("/\\") + 1);
  const auto dot = base.rfind('.');
  const std::string stem = dot == std::string::npos ? base : base.substr(0, dot);
  std::string extension = dot == std::string::npos ? "" : base.substr(dot);
  for (char& c : extension) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const auto dots = std::count(archive.begin(), archive.end(), '.');
  const bool tar =
      dots >= 2 ? extension == ".TGZ" : dots == 1 && extension.size() > 1 && extension[1] == 'T';
  return tar ? stem + ".tar" : stem;
}

}  // namespace

std::string MemberFileName(const std::string& memberName, const std::string& archive) {
  const std::string last = memberName.substr(memberName.find_last_of("/\\") + 1);
  return NamesAFile(last) ? last : DerivedMemberName(archive);
}

}  // namespace gzarc_cli
