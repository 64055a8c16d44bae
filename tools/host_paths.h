// The user types POSIX paths; the engine takes Windows ones. These routines
// make a path absolute, turn it into the engine's form and check that it fits
// the engine's fixed path buffers.
#pragma once

#include <cstddef>
#include <string>

namespace gzarc_cli {

// The engine's path limits, in characters.
inline constexpr std::size_t kMaxArchivePath = 255;
inline constexpr std::size_t kMaxOutputPath = 255;
inline constexpr std::size_t kMaxSourcePath = 260;
inline constexpr std::size_t kMaxMask = 255;

// The path made absolute against the current folder and normalised lexically
// ("." and ".." resolved, no doubled or trailing slash except for "/").
std::string AbsolutePath(const std::string& path);

// The engine's Windows form of a POSIX path: every slash a backslash. Throws
// a usage error for a path holding a backslash, which the engine would read
// as a separator.
std::string ToEngineForm(const std::string& posixPath);
// Back from the engine's form, for messages.
std::string FromEngineForm(const std::string& enginePath);

// Throws a usage error naming what when the path exceeds limit characters.
void CheckLength(const std::string& path, std::size_t limit, const std::string& what);

// True when the last component has a dot, as the engine decides whether to
// add its default extension.
bool HasExtension(const std::string& path);

// The final component and the folder before it.
std::string BaseName(const std::string& path);
std::string DirName(const std::string& path);

// The name of the file that extraction writes for a member: the text after
// the last "/" or "\" of its stored name (a ":" is part of a file name
// here), or, when that is empty, "." or "..", the name derived from the
// archive's path, as for a member stored without a name.
std::string MemberFileName(const std::string& memberName, const std::string& archive);

}  // namespace gzarc_cli
