#include "gzip/archive_scan.h"

#include <cstring>

#include "engine/engine_state.h"
#include "gzip/member_format.h"
#include "paths/file_masks.h"
#include "paths/strings.h"
#include "platform/byte_order.h"
#include "platform/platform.h"

namespace gzarc {
namespace {

namespace pf = platform;

// Holds the archive open in ArchiveFile for one scan and closes it on every
// way out.
class OpenArchive {
 public:
  OpenArchive() {
    EngineState& e = Engine();
    // A descriptor left open by an earlier open that kept it is closed here
    // rather than leaked.
    if (e.ArchiveFile != pf::kNoFile) pf::CloseFile(e.ArchiveFile);
    e.ArchiveFile = pf::OpenFile(e.ArchivePath, pf::kOpenReadOnly | pf::kOpenBinary);
  }
  ~OpenArchive() {
    EngineState& e = Engine();
    if (e.ArchiveFile != pf::kNoFile) pf::CloseFile(e.ArchiveFile);
    e.ArchiveFile = pf::kNoFile;
  }
  OpenArchive(const OpenArchive&) = delete;
  OpenArchive& operator=(const OpenArchive&) = delete;

  bool ok() const { return Engine().ArchiveFile != pf::kNoFile; }
  int fd() const { return Engine().ArchiveFile; }
};

// CRC32 and ISIZE from the last 8 bytes of the file.
bool ReadTrailer(int fd, int64_t archiveLength, uint32_t* crc, uint32_t* size) {
  uint8_t trailer[kTrailerSize];
  const int64_t at = archiveLength - static_cast<int64_t>(kTrailerSize);
  if (at < 0 || pf::SeekFile(fd, at, pf::kSeekSet) != at) return false;
  if (pf::ReadFile(fd, trailer, sizeof trailer) != static_cast<int32_t>(sizeof trailer)) {
    return false;
  }
  *crc = LoadLittle32(trailer);
  *size = LoadLittle32(trailer + 4);
  return true;
}

void AppendMember(MemberInfoList* list, MemberInfo* member) {
  if (list->head == nullptr) {
    list->head = member;
  } else {
    list->tail->Next = member;
  }
  list->tail = member;
  ++list->count;
}

// The scan proper: false with the status set when it failed; true when it
// ran through, whether or not the member matched.
bool ScanMember(const FileMaskList* masks, MemberInfoList* list) {
  EngineState& e = Engine();
  OpenArchive archive;
  if (!archive.ok()) {
    SetStatus(GZARC_STATUS_FILE_ERROR);
    return false;
  }
  const int64_t archiveLength = pf::FileLength(archive.fd());
  if (archiveLength < 0) {
    SetStatus(GZARC_STATUS_FILE_ERROR);
    return false;
  }

  MemberHeader header;
  const uint16_t headerStatus = ReadMemberHeader(archive.fd(), e.ArchivePath, &header);
  if (headerStatus != GZARC_STATUS_OK) {
    SetStatus(headerStatus);
    return false;
  }
  e.scannedHostSystem = header.hostSystem;

  // A header that reaches into the last 8 bytes means the archive ends
  // inside it; its packed size would come out negative.
  if (header.dataOffset + kTrailerSize > static_cast<uint64_t>(archiveLength)) {
    SetStatus(GZARC_STATUS_FILE_ERROR);
    return false;
  }
  uint32_t crc = 0;
  uint32_t unpackedSize = 0;
  if (!ReadTrailer(archive.fd(), archiveLength, &crc, &unpackedSize)) {
    SetStatus(GZARC_STATUS_FILE_ERROR);
    return false;
  }

  // Masks are matched against the name as stored, before the code-page
  // conversion.
  if (masks != nullptr && !MatchFileMaskList(header.name, masks)) return true;

  MemberInfo* member = nullptr;
  if (!AllocBlock(&member, sizeof(MemberInfo))) {
    SetStatus(GZARC_STATUS_NO_MEMORY);
    return false;
  }
  std::memset(member, 0, sizeof *member);
  member->UnpackedSize = unpackedSize;
  member->PackedSize = static_cast<uint64_t>(archiveLength) - header.dataOffset - kTrailerSize;
  member->DataOffset = header.dataOffset;
  member->MTime = header.MTime;
  member->Attributes = pf::kAttributeNormal;
  member->Crc32 = crc;
  std::memcpy(member->Name, header.name, sizeof member->Name);
  pf::OemToCharA(member->Name);
  member->Next = nullptr;
  AppendMember(list, member);
  return true;
}

}  // namespace

uint32_t ScanArchive(const FileMaskList* masks, MemberInfoList* list) {
  list->count = 0;
  list->head = list->tail = nullptr;
  if (ScanMember(masks, list) && list->count == 0) SetStatus(GZARC_STATUS_NO_MATCH);
  return list->count;
}

void FreeMemberList(MemberInfoList* list) {
  MemberInfo* member = list->head;
  while (member != nullptr) {
    MemberInfo* next = member->Next;
    FreeBlock(&member);
    member = next;
  }
  list->count = 0;
  list->head = list->tail = nullptr;
}

}  // namespace gzarc
