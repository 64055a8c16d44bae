// Arbitrary bytes as an archive: opening and listing must never misbehave,
// and a failed listing must leave the host's list as it was.
#include <cstdint>
#include <cstdlib>

#include "gzarc.h"
#include "test_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace gzarc::test;
  static const std::string archive = ProcessScratch().Native("scan.gz");
  WriteFile(archive, {data, size});
  InitArcFile(ToWin(archive).c_str());
  if (GetArchiveStatus() != 0) return 0;
  ArcEntryList list;
  InitArcFileList(&list);
  FileMaskList masks;
  InitFileMaskList(&masks);
  BuildArcFileList(&list, &masks);
  const uint16_t status = GetArchiveStatus();
  if (status != 0 && list.count != 0) std::abort();
  if (status == 0 && list.count != 1) std::abort();
  ArcExtraInfo info;
  GetExtraInfoArc(&info);
  DoneArcFileList(&list);
  DoneArcFile(nullptr);
  return 0;
}
