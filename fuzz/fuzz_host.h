// What every fuzz target shares: a private scratch folder (on a memory file
// system when there is one) and small file helpers, so the targets drive the
// engine through its exports exactly as a host does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace gzarc::fuzz {

// The scratch folder of this process, created on first use.
const std::string& ScratchDir();
// POSIX path of a name inside the scratch folder, and its Windows form.
std::string ScratchPath(const std::string& name);
std::string WinPath(const std::string& posixPath);

void PutFile(const std::string& path, const uint8_t* data, std::size_t size);
std::vector<uint8_t> GetFile(const std::string& path);
bool Exists(const std::string& path);
// Removes every entry of a folder inside the scratch folder.
void Clear(const std::string& dir);
void MakeDir(const std::string& dir);

// Points extraction at a folder (Windows form, as a host passes it).
void SetExtractDir(const std::string& posixDir);

}  // namespace gzarc::fuzz
