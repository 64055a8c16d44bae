// Scanning an archive: its member header and trailer.
#pragma once

#include <cstdint>

#include "gzarc.h"

namespace gzarc {

inline constexpr unsigned kMemberNameSize = 256;

// The engine's own record of one scanned member. Sizes and offsets in the
// archive are 64-bit: compressed data can reach 4 GiB and more.
struct MemberInfo {
  uint32_t reserved;
  uint32_t UnpackedSize;
  uint64_t PackedSize;
  uint64_t DataOffset;
  uint32_t MTime;
  uint32_t Attributes;
  uint32_t Crc32;
  char Name[kMemberNameSize];
  MemberInfo* Next;
};

struct MemberInfoList {
  uint32_t count;
  MemberInfo* head;
  MemberInfo* tail;
};

// Scans ArchivePath; fills the list with the member when it matches the
// masks. Returns the count; the status says why a scan came up empty.
uint32_t ScanArchive(const FileMaskList* masks, MemberInfoList* list);
void FreeMemberList(MemberInfoList* list);

}  // namespace gzarc
