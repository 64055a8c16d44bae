// Extraction and deletion drivers.
//
// A member is never decoded into its target directly: it goes to a new file
// beside the target, which replaces the target only once the member has
// decoded completely and matched its trailer. A failure removes that file
// alone, so a file that existed before stays as it was.
#include "inflate/extraction.h"

#include <algorithm>
#include <cstring>

#include "engine/callbacks.h"
#include "engine/engine_state.h"
#include "gzip/member_format.h"
#include "gzip/member_stream.h"
#include "gzip/parallel_extraction.h"
#include "inflate/inflate.h"
#include "paths/output_paths.h"
#include "paths/strings.h"
#include "platform/platform.h"

namespace gzarc {
namespace {

namespace pf = platform;

// The opener of the folder walk: the target must be one that could be
// opened for writing, as it would be if written in place; the bytes then go
// to a new file beside it.
struct TempOutput {
  char path[pf::kTempPathCapacity];
  bool replacing;  // a file exists at the target
};

int OpenBesideTarget(const char* target, void* context) {
  auto* temp = static_cast<TempOutput*>(context);
  temp->replacing = pf::PathAccessible(target);
  if (temp->replacing) {
    const int fd = pf::OpenFile(target, pf::kOpenReadWrite | pf::kOpenBinary);
    if (fd == pf::kNoFile) return pf::kNoFile;
    pf::CloseFile(fd);
  }
  return pf::CreateTempFileBeside(target, temp->path, sizeof temp->path);
}

// The member's time as a Windows UTC file time, by way of local time; a time
// the local-time conversion rejects is reported as zero.
FindFileTime MemberFileTime(uint32_t mtime) {
  FindFileTime utc{};
  pf::LocalTimeFields local{};
  if (!pf::LocalTime(static_cast<int32_t>(mtime), &local)) return utc;
  const pf::SystemTime system{
      static_cast<uint16_t>(local.year),    static_cast<uint16_t>(local.month),
      static_cast<uint16_t>(local.weekday), static_cast<uint16_t>(local.day),
      static_cast<uint16_t>(local.hour),    static_cast<uint16_t>(local.minute),
      static_cast<uint16_t>(local.second),  0};
  FindFileTime localFileTime{};
  if (!pf::SystemTimeToFileTime(system, &localFileTime) ||
      !pf::LocalFileTimeToFileTime(localFileTime, &utc)) {
    return FindFileTime{};
  }
  return utc;
}

int32_t ReadArchive(void*, uint8_t* buffer, uint32_t count) {
  return pf::ReadFile(Engine().ArchiveFile, buffer, count);
}

int32_t WriteOutput(void* context, const uint8_t* data, uint32_t count) {
  return pf::WriteFile(*static_cast<int*>(context), data, count);
}

bool TruncateOutput(void* context, uint64_t length) {
  return pf::TruncateFile(*static_cast<int*>(context), static_cast<int64_t>(length)) == 0;
}

void CloseArchive() {
  EngineState& e = Engine();
  if (e.ArchiveFile != pf::kNoFile) pf::CloseFile(e.ArchiveFile);
  e.ArchiveFile = pf::kNoFile;
}

// The time an extracted file gets: the member's, or, for a member without a
// time stamp (MTIME 0), the archive file's own.
int64_t OutputFileTime(const MemberInfo& member) {
  pf::FileStatus archive{};
  if (member.MTime == 0 && pf::StatFile(Engine().ArchivePath, &archive)) {
    return archive.modificationTime;
  }
  return member.MTime;
}

// Decodes the archive's members into a file beside outputPath and puts it in
// place. False when the extraction must stop.
bool ExtractMember(const MemberInfo& member, const char* outputPath) {
  EngineState& e = Engine();
  if (pf::SeekFile(e.ArchiveFile, static_cast<int64_t>(member.DataOffset), pf::kSeekSet) < 0) {
    SetStatus(GZARC_STATUS_FILE_ERROR);
    return false;
  }
  TempOutput temp{};
  int handle = pf::kNoFile;
  CreateOutputFileWith(&handle, outputPath, OpenBesideTarget, &temp);
  if (!StatusOk()) return false;

  // Every member is checked against its own trailer, read from the stream:
  // the input runs through the last trailer.
  DecoderState& d = Decoder();
  d.codes = ChooseInflateCodes();
  const uint64_t compressed = member.PackedSize + kTrailerSize;
  OutputAccount account;
  account.progressTotal = member.UnpackedSize;
  StartOutput(d.out, OutputSink{WriteOutput, TruncateOutput, &handle}, ObserverOf(account));
  CallSignalProc(static_cast<int32_t>(member.UnpackedSize), GZARC_SIGNAL_EXTRACTING);
  const InflateSource archive{ReadArchive, nullptr};
  const unsigned threads = ExtractionThreads(compressed);
  if (threads > 1) {
    DecodeMembersInParallel(d, account, archive, compressed, threads);
  } else {
    StartInput(d, archive, d.InputBuffer, compressed);
    DecodeMembers(d, account);
  }
  SetStatus(account.status);
  // The file takes the archive's permissions, as a private archive gives a
  // private file, before it is moved into place: until then it is its
  // owner's alone. Where the file system has no permissions to set, it keeps
  // what it has.
  if (StatusOk()) pf::CopyPermissions(e.ArchiveFile, handle);
  // A file that replaces another reaches the disk before the move, so that
  // a crash leaves the old file or the whole new one, never a part.
  if (StatusOk() && temp.replacing && pf::FlushFile(handle) != 0) {
    SetStatus(GZARC_STATUS_WRITE_SHORT);
  }
  pf::CloseFile(handle);

  if (StatusOk() && pf::ReplaceFile(temp.path, outputPath) != 0) {
    SetStatus(GZARC_STATUS_FILE_ERROR);
  }
  if (!StatusOk()) {
    pf::RemoveFile(temp.path);
    return false;
  }
  const int64_t time = OutputFileTime(member);
  pf::SetFileTimes(outputPath, time, time);
  pf::SetFileAttributesA(outputPath, pf::kAttributeArchive);
  return true;
}

}  // namespace

DecoderState& Decoder() {
  static DecoderState state;
  return state;
}

bool BuildOutputPath(const char* name, char* outputPath) {
  char component[kOutputPathSize] = {};
  const std::size_t nameLength = BoundedLength(name, kOutputPathSize - 1);
  std::copy_n(name, nameLength, component);
  std::replace(component, component + nameLength, '/', '\\');
  FileNamePart(component, component);
  // A stored name that ends in a separator, "." or ".." names a folder, not
  // a file: the file is named after the archive, as a member stored without
  // a name is.
  if (!NamesAFile(component)) {
    if (!DeriveMemberName(Engine().ArchivePath, component, sizeof component)) component[0] = '\0';
    FileNamePart(component, component);
    if (!NamesAFile(component)) {
      outputPath[0] = '\0';
      return false;
    }
  }

  // The relative path shortens the name by its own length and a separator,
  // without comparing the characters.
  const char* tail = component;
  const std::size_t relative = BoundedLength(Engine().RelativePath, kRelativePathSize);
  const std::size_t componentLength = std::strlen(component);
  if (relative != 0 && componentLength > relative) tail += relative + 1;

  const char* dir = Engine().ExtractDir;
  const std::size_t dirLength = BoundedLength(dir, kExtractDirSize);
  const std::size_t tailLength = std::strlen(tail);
  outputPath[0] = '\0';
  if (dirLength + tailLength >= kOutputPathSize) return false;
  std::memcpy(outputPath, dir, dirLength);
  std::memcpy(outputPath + dirLength, tail, tailLength + 1);
  return true;
}

int32_t ReplaceCheck(const MemberInfo* member, const char* outputPath) {
  FindData existing{};
  if (!pf::FindFirstFileA(outputPath, &existing)) return GZARC_REPLACE_EXTRACT;
  if (!HasReplaceProc()) return GZARC_REPLACE_EXTRACT;

  FindData record{};
  record.attributes = member->Attributes;
  record.creationTime = record.lastAccessTime = record.lastWriteTime =
      MemberFileTime(member->MTime);
  record.sizeHigh = 0;
  record.sizeLow = member->UnpackedSize;
  std::copy_n(member->Name, BoundedLength(member->Name, kMemberNameSize - 1), record.fileName);

  const int32_t answer = CallReplaceProc(&existing, &record);
  if (answer == GZARC_REPLACE_EXTRACT) ResetFileAttributes(outputPath);
  return answer;
}

void ExtractMembers(const MemberInfoList* list) {
  EngineState& e = Engine();
  e.ArchiveFile = pf::OpenFile(e.ArchivePath, pf::kOpenReadOnly | pf::kOpenBinary);
  if (e.ArchiveFile == pf::kNoFile) {
    SetStatus(GZARC_STATUS_FILE_ERROR);
    return;
  }
  for (const MemberInfo* member = list->head; member != nullptr; member = member->Next) {
    char outputPath[kOutputPathSize];
    const bool pathFits = BuildOutputPath(member->Name, outputPath);
    char from[kMemberNameSize + 1] = "\\";
    std::copy_n(member->Name, BoundedLength(member->Name, kMemberNameSize - 1), from + 1);
    CallFileNameProc(from, outputPath);
    if (!pathFits) {
      SetStatus(GZARC_STATUS_FILE_ERROR);
      break;
    }
    // The output replaces its target once decoded: were the target the
    // archive, the archive would be lost to its own content. Refused before
    // anything is asked or touched.
    if (pf::SameFile(outputPath, e.ArchivePath)) {
      SetStatus(GZARC_STATUS_FILE_ERROR);
      break;
    }
    const int32_t answer = ReplaceCheck(member, outputPath);
    if (answer == GZARC_REPLACE_SKIP) continue;
    if (answer == GZARC_REPLACE_CANCEL) {
      SetStatus(GZARC_STATUS_CANCELLED);
      continue;
    }
    if (!StatusOk()) continue;
    if (!ExtractMember(*member, outputPath)) break;
  }
  CloseArchive();
}

void RunExtraction(const FileMaskList* masks) {
  SetStatus(GZARC_STATUS_OK);
  MemberInfoList list{};
  ScanArchive(masks, &list);
  DecoderState& d = Decoder();
  if (!AllocBlock(&d.InputBuffer, kInputBufferSize)) {
    SetStatus(GZARC_STATUS_NO_MEMORY);
    FreeMemberList(&list);
    return;
  }
  if (StatusOk()) ExtractMembers(&list);
  FreeBlock(&d.InputBuffer);
  FreeMemberList(&list);
}

void DeleteMember(const FileMaskList* masks) {
  SetStatus(GZARC_STATUS_OK);
  MemberInfoList list{};
  ScanArchive(masks, &list);
  if (StatusOk()) pf::RemoveFile(Engine().ArchivePath);
  FreeMemberList(&list);
}

}  // namespace gzarc

extern "C" {

GZARC_API void GZARC_CALL ExtractFileMaskListArc(const FileMaskList* masks) {
  gzarc::SetStatus(GZARC_STATUS_OK);
  gzarc::RunExtraction(masks);
}

GZARC_API void GZARC_CALL DeleteFileMaskListArc(const FileMaskList* masks) {
  gzarc::SetStatus(GZARC_STATUS_OK);
  gzarc::DeleteMember(masks);
}

}  // extern "C"
