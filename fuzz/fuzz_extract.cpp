// Arbitrary bytes as an archive, extracted into a scratch folder with and
// without a file already at the target, and with the host cancelling at some
// progress call or never: a failure never leaves output behind and never
// touches the existing file.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "gzarc.h"
#include "test_support.h"

namespace {

int32_t GZARC_CALL ReplaceAlways(void*, const FindData*, const FindData*) {
  return GZARC_REPLACE_EXTRACT;
}

// Cancels at the progress call given by the context's count (0: never).
int32_t GZARC_CALL CancelAt(void* context, int32_t, int32_t) {
  auto* left = static_cast<unsigned*>(context);
  return *left == 0 || --*left != 0 ? 1 : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace gzarc::test;
  if (size < 1) return 0;
  const bool withExisting = (data[0] & 1) != 0;
  unsigned cancelAt = (data[0] >> 1) & 15;
  static const std::string archive = ProcessScratch().Native("extract.gz");
  static const std::string out = ProcessScratch().Native("out");
  std::filesystem::create_directory(out);
  ClearDir(out);
  // The member name is fixed by the archive path unless the header names it:
  // use an archive without a dot so a derived name is "extract".
  WriteFile(archive, {data + 1, size - 1});
  static const uint8_t kPrecious[] = "precious bytes that must survive";
  InitArcFile(ToWin(archive).c_str());
  if (GetArchiveStatus() != 0) return 0;
  SetExtractDir(ToWin(out));
  SetOkToReplaceProc(nullptr, &ReplaceAlways);
  SetSetProgressProc(&cancelAt, &CancelAt);

  // Learn the member's target name from a listing.
  ArcEntryList list;
  InitArcFileList(&list);
  FileMaskList masks;
  InitFileMaskList(&masks);
  BuildArcFileList(&list, &masks);
  std::string target;
  if (GetArchiveStatus() == 0 && list.head != nullptr) {
    std::string name = list.head->name;
    const auto cut = name.find_last_of("\\/");
    if (cut != std::string::npos) name = name.substr(cut + 1);
    // A name that names a folder gives the file the archive's.
    if (name.empty() || name == "." || name == "..") name = "extract";
    target = out + "/" + name;
  }
  DoneArcFileList(&list);
  if (withExisting && !target.empty()) WriteFile(target, kPrecious);

  const std::size_t before = Names(out).size();
  ExtractFileMaskListArc(&masks);
  const uint16_t status = GetArchiveStatus();
  // Nothing but the one output file, and nothing at all after a failure: no
  // temporary file, nothing beside the archive.
  const std::size_t after = Names(out).size();
  if (after > (status == 0 && before == 0 ? 1 : before)) std::abort();
  if (Names(ProcessScratch().path()).size() != 2) std::abort();
  if (status != 0 && !target.empty()) {
    if (withExisting) {
      const auto kept = ReadFile(target);
      if (kept.size() != sizeof kPrecious ||
          std::memcmp(kept.data(), kPrecious, sizeof kPrecious) != 0) {
        std::abort();
      }
    } else if (FileExists(target)) {
      std::abort();
    }
  }
  ClearDir(out);
  DoneArcFile(nullptr);
  return 0;
}
