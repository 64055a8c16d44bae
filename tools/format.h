// Text forms of sizes, times and JSON strings for the host's output.
#pragma once

#include <cstdint>
#include <string>

#include "gzarc.h"

namespace gzarc_cli {

// "1.5 MB"-style size with binary units; plain bytes below 1 KiB.
std::string HumanSize(int64_t bytes);
// Bytes with thousands separators: "1,234,567".
std::string GroupedBytes(int64_t bytes);
// packed * 100 / unpacked, 0 for an empty member.
int64_t RatioPercent(int64_t packed, int64_t unpacked);

struct DateTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  bool valid = false;
};
// The entry's DOS date and time (local time, as the engine gives it).
DateTime FromDosDateTime(uint32_t dosDateTime);
// A Windows file time (UTC) shown in local time.
DateTime FromFileTime(const FindFileTime& fileTime);
std::string DateText(const DateTime& t);  // "2024-05-01", or "-"
std::string TimeText(const DateTime& t);  // "13:45:10", or "-"

// The name the engine's OS code stands for.
std::string HostSystemName(uint32_t code);

// A JSON string literal, quotes included. Control characters (C0, DEL, C1)
// are escaped, so the exact name survives and a terminal that shows the
// JSON sees no control sequence.
std::string JsonString(const std::string& text);

// A name or message as human output shows it: control characters (C0, DEL
// and the C1 range) and bytes that are not UTF-8 become escapes, as ls -b
// writes them (\t, \n, \033, \302\233), so that a stored name cannot send
// the terminal a control sequence. A backslash stays as it is: Windows
// names use it as the folder separator.
std::string Printable(const std::string& text);

}  // namespace gzarc_cli
