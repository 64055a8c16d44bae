// Arbitrary data compressed into a new archive and extracted again must come
// back byte for byte.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz_host.h"
#include "gzarc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace gzarc::fuzz;
  static const std::string source = ScratchPath("source.bin");
  static const std::string archive = ScratchPath("round.gz");
  static const std::string out = ScratchPath("round-out");
  MakeDir(out);
  Clear(out);
  std::remove(archive.c_str());
  PutFile(source, data, size);

  CreateArcFile(WinPath(archive).c_str());
  if (GetArchiveStatus() != 0) std::abort();
  FileMaskList masks;
  InitFileMaskList(&masks);
  AppendFileMask(WinPath(source).c_str(), &masks);
  CompressFileMaskListArc(&masks);
  DoneFileMaskList(&masks);
  if (GetArchiveStatus() != 0) std::abort();
  DoneArcFile(nullptr);

  InitArcFile(WinPath(archive).c_str());
  if (GetArchiveStatus() != 0) std::abort();
  SetExtractDir(out);
  InitFileMaskList(&masks);
  ExtractFileMaskListArc(&masks);
  if (GetArchiveStatus() != 0) std::abort();
  const auto back = GetFile(out + "/source.bin");
  if (back.size() != size || (size != 0 && std::memcmp(back.data(), data, size) != 0)) {
    std::abort();
  }
  DoneArcFile(nullptr);
  return 0;
}
