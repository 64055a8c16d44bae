// Extraction and deletion of the archive's member.
#pragma once

#include <cstdint>

#include "gzarc.h"
#include "gzip/archive_scan.h"
#include "inflate/inflate.h"

namespace gzarc {

// The decoder of extractions; its input buffer exists while one runs.
DecoderState& Decoder();

void RunExtraction(const FileMaskList* masks);
// Extracts each member of the list; needs the decoder's input buffer.
void ExtractMembers(const MemberInfoList* list);
// ExtractDir followed by the final component of the member name (the name
// derived from the archive's path when that component names no file);
// false (and an empty path) when that would exceed 255 characters or no
// file name is left.
bool BuildOutputPath(const char* name, char* outputPath);
// 0: extract (an existing file was made writable), 1: skip, 2: cancel, any
// other value: extract leaving the attributes alone.
int32_t ReplaceCheck(const MemberInfo* member, const char* outputPath);
void DeleteMember(const FileMaskList* masks);

}  // namespace gzarc
