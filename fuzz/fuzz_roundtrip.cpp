// Arbitrary data compressed into a new archive and extracted again must come
// back byte for byte.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "gzarc.h"
#include "test_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace gzarc::test;
  const TempDir& scratch = ProcessScratch();
  static const std::string out = scratch.Native("round-out");
  std::filesystem::create_directory(out);
  ClearDir(out);
  std::remove(scratch.Native("round.gz").c_str());
  WriteFile(scratch.Native("source.bin"), {data, size});
  if (CompressAsHost(scratch.Win("round.gz"), scratch.Win("source.bin")) != 0) std::abort();
  if (ExtractAsHost(scratch.Win("round.gz"), ToWin(out)) != 0) std::abort();
  const auto back = ReadFile(out + "/source.bin");
  if (back.size() != size || (size != 0 && std::memcmp(back.data(), data, size) != 0)) {
    std::abort();
  }
  return 0;
}
