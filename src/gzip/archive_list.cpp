// The host's archive file list and the archive information record.
#include "gzip/archive_list.h"

#include <array>
#include <cstring>

#include "engine/engine_state.h"
#include "gzip/archive_scan.h"
#include "paths/strings.h"
#include "platform/platform.h"

namespace gzarc {
namespace {

namespace pf = platform;

// Values the host expects in every entry, by word index from hostWords.
inline constexpr uint32_t kEntryKind = 12;     // word 0, offset 304
inline constexpr uint32_t kEntryFlag = 1;      // word 7, offset 332
inline constexpr uint32_t kEntryTrailer = 19;  // word 34, offset 440
inline constexpr std::array<uint32_t, 4> kExtraInfoFixed = {9, 1, 2, 32};

constexpr std::array<uint8_t, 17> kHostSystemCodes = {
    0,   // FAT
    10,  // Amiga
    9,   // VMS
    5,   // Unix
    15,  // VM/CMS
    8,   // Atari TOS
    2,   // HPFS
    6,   // Macintosh
    14,  // Z-System
    13,  // CP/M
    0,   // TOPS-20
    4,   // NTFS
    0,   // QDOS
    0,   // Acorn RISCOS
    3,   // this engine
    0,   //
    16,  //
};

void FillArcEntry(const MemberInfo& member, ArcEntry* entry) {
  std::memset(entry, 0, sizeof *entry);
  static_assert(sizeof entry->name >= sizeof member.Name);
  std::memcpy(entry->name, member.Name, sizeof member.Name);
  entry->name[sizeof member.Name - 1] = '\0';
  // Widened as unsigned: members of 2 to 4 GiB list with their true size.
  entry->packedSize = static_cast<int64_t>(member.PackedSize);
  entry->unpackedSize = static_cast<int64_t>(uint64_t{member.UnpackedSize});
  entry->dosDateTime = UnixTimeToDosDateTime(member.MTime);
  entry->attributes = member.Attributes;
  entry->hostWords[0] = kEntryKind;
  entry->hostWords[4] = 0;
  entry->hostWords[5] = 0;
  entry->hostWords[6] = 0;
  entry->hostWords[7] = kEntryFlag;
  entry->hostWords[34] = kEntryTrailer;
}

void AppendArcEntry(ArcEntryList* list, ArcEntry* entry) {
  if (list->head == nullptr) {
    list->head = entry;
  } else {
    list->tail->next = entry;
  }
  list->tail = entry;
  ++list->count;
}

void FillArcExtraInfo(const ArcEntryList* list) {
  ArcExtraInfo& info = Engine().arcExtraInfo;
  std::memset(&info, 0, sizeof info);
  for (std::size_t i = 0; i < kExtraInfoFixed.size(); ++i) info.fixed[i] = kExtraInfoFixed[i];
  info.zero28 = 0;
  info.hostSystemCode = MapHostSystem(Engine().scannedHostSystem);
  info.count = static_cast<uint32_t>(list->count);
  int64_t packed = 0;
  int64_t unpacked = 0;
  for (const ArcEntry* entry = list->head; entry != nullptr; entry = entry->next) {
    packed += entry->packedSize;
    unpacked += entry->unpackedSize;
  }
  info.totalPackedSize = packed;
  info.totalUnpackedSize = unpacked;
  info.ratio = CompressionRatio(packed, unpacked);
}

}  // namespace

uint32_t MapHostSystem(uint8_t os) {
  return os < kHostSystemCodes.size() ? kHostSystemCodes[os] : 0;
}

uint32_t CompressionRatio(int64_t packedTotal, int64_t unpackedTotal) {
  while (packedTotal >= kRatioHalvingThreshold) {
    packedTotal >>= 1;
    unpackedTotal >>= 1;
  }
  if (unpackedTotal == 0) return 0;
  return static_cast<uint32_t>(packedTotal * 100 / unpackedTotal);
}

uint32_t UnixTimeToDosDateTime(uint32_t mtime) {
  pf::LocalTimeFields local{};
  if (!pf::LocalTime(static_cast<int32_t>(mtime), &local)) return 0;
  pf::SystemTime system{};
  system.year = static_cast<uint16_t>(local.year);
  system.month = static_cast<uint16_t>(local.month);
  system.dayOfWeek = static_cast<uint16_t>(local.weekday);
  system.day = static_cast<uint16_t>(local.day);
  system.hour = static_cast<uint16_t>(local.hour);
  system.minute = static_cast<uint16_t>(local.minute);
  system.second = static_cast<uint16_t>(local.second);
  system.milliseconds = 0;
  // The file time stays in local time: the DOS fields show the local clock.
  FindFileTime fileTime{};
  if (!pf::SystemTimeToFileTime(system, &fileTime)) return 0;
  uint16_t dosDate = 0;
  uint16_t dosTime = 0;
  if (!pf::FileTimeToDosDateTime(fileTime, &dosDate, &dosTime)) return 0;
  return (uint32_t{dosDate} << 16) | dosTime;
}

}  // namespace gzarc

using namespace gzarc;

extern "C" {

GZARC_API void GZARC_CALL InitArcFileList(ArcEntryList* list) {
  if (list == nullptr) return;
  list->count = 0;
  list->head = list->tail = nullptr;
}

GZARC_API void GZARC_CALL BuildArcFileList(ArcEntryList* list, const FileMaskList* masks) {
  SetStatus(GZARC_STATUS_OK);
  if (list == nullptr) {
    SetStatus(GZARC_STATUS_NO_MEMORY);
    return;
  }
  MemberInfoList members{};
  ScanArchive(masks, &members);
  if (!StatusOk()) {
    FreeMemberList(&members);
    return;
  }
  for (const MemberInfo* member = members.head; member != nullptr; member = member->Next) {
    ArcEntry* entry = nullptr;
    if (!AllocBlock(&entry, sizeof(ArcEntry))) {
      SetStatus(GZARC_STATUS_NO_MEMORY);
      FreeMemberList(&members);
      return;
    }
    FillArcEntry(*member, entry);
    AppendArcEntry(list, entry);
  }
  FreeMemberList(&members);
  FillArcExtraInfo(list);
}

GZARC_API void GZARC_CALL DoneArcFileList(ArcEntryList* list) {
  if (list == nullptr) return;
  ArcEntry* entry = list->head;
  while (entry != nullptr) {
    ArcEntry* next = entry->next;
    FreeBlock(&entry);
    entry = next;
  }
  list->count = 0;
  list->head = list->tail = nullptr;
}

}  // extern "C"
