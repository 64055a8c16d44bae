// Arbitrary bytes as the DEFLATE data of a well-formed member: the decoder
// must end every stream with a status, never loop, never read or write out of
// bounds, and leave no output behind on failure.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "fuzz_host.h"
#include "gzarc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace gzarc::fuzz;
  static const std::string archive = ScratchPath("raw.gz");
  static const std::string out = ScratchPath("raw-out");
  MakeDir(out);
  Clear(out);
  // Header with the name "m"; the trailer claims CRC 0 and size 0, so only a
  // stream that decodes to nothing can succeed.
  std::vector<uint8_t> member = {0x1F, 0x8B, 8, 8, 0, 0, 0, 0, 0, 3, 'm', 0};
  member.insert(member.end(), data, data + size);
  member.insert(member.end(), 8, 0);
  PutFile(archive, member.data(), member.size());
  InitArcFile(WinPath(archive).c_str());
  if (GetArchiveStatus() != 0) std::abort();
  SetExtractDir(out);
  FileMaskList masks;
  InitFileMaskList(&masks);
  ExtractFileMaskListArc(&masks);
  if (GetArchiveStatus() != 0 && Exists(out + "/m")) std::abort();
  Clear(out);
  DoneArcFile(nullptr);
  return 0;
}
