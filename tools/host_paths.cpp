#include "host_paths.h"

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

std::string MemberFileName(const std::string& memberName) {
  const auto cut = memberName.find_last_of("/\\:");
  return cut == std::string::npos ? memberName : memberName.substr(cut + 1);
}

}  // namespace gzarc_cli
