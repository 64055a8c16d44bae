#include "format.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string_view>

namespace gzarc_cli {

std::string HumanSize(int64_t bytes) {
  static constexpr const char* kUnits[] = {"KB", "MB", "GB", "TB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  double value = static_cast<double>(bytes) / 1024.0;
  int unit = 0;
  while (value >= 1024.0 && unit < 3) {
    value /= 1024.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

std::string GroupedBytes(int64_t bytes) {
  std::string digits = std::to_string(bytes < 0 ? -bytes : bytes);
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return bytes < 0 ? "-" + out : out;
}

int64_t RatioPercent(int64_t packed, int64_t unpacked) {
  return unpacked == 0 ? 0 : packed * 100 / unpacked;
}

DateTime FromDosDateTime(uint32_t dosDateTime) {
  const uint32_t date = dosDateTime >> 16;
  const uint32_t time = dosDateTime & 0xFFFF;
  DateTime t;
  t.year = static_cast<int>((date >> 9) + 1980);
  t.month = static_cast<int>((date >> 5) & 15);
  t.day = static_cast<int>(date & 31);
  t.hour = static_cast<int>(time >> 11);
  t.minute = static_cast<int>((time >> 5) & 63);
  t.second = static_cast<int>((time & 31) * 2);
  // A zero date (day 0, month 0) stands for a time DOS cannot express.
  t.valid = t.month >= 1 && t.month <= 12 && t.day >= 1;
  return t;
}

DateTime FromFileTime(const FindFileTime& fileTime) {
  constexpr uint64_t kUnixEpochTicks = 116444736000000000ULL;
  const uint64_t ticks = (uint64_t{fileTime.high} << 32) | fileTime.low;
  DateTime t;
  if (ticks < kUnixEpochTicks) return t;
  const std::time_t seconds = static_cast<std::time_t>((ticks - kUnixEpochTicks) / 10000000ULL);
  std::tm local{};
  if (::localtime_r(&seconds, &local) == nullptr) return t;
  t.year = local.tm_year + 1900;
  t.month = local.tm_mon + 1;
  t.day = local.tm_mday;
  t.hour = local.tm_hour;
  t.minute = local.tm_min;
  t.second = local.tm_sec;
  t.valid = true;
  return t;
}

std::string DateText(const DateTime& t) {
  if (!t.valid) return "-";
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", t.year % 10000, t.month, t.day);
  return text;
}

std::string TimeText(const DateTime& t) {
  if (!t.valid) return "-";
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", t.hour, t.minute, t.second);
  return text;
}

std::string HostSystemName(uint32_t code) {
  switch (code) {
    case 0:
      return "FAT";
    case 2:
      return "HPFS";
    case 3:
      return "Win32";
    case 4:
      return "NTFS";
    case 5:
      return "Unix";
    case 6:
      return "Macintosh";
    case 8:
      return "Atari";
    case 9:
      return "VMS";
    case 10:
      return "Amiga";
    case 13:
      return "CP/M";
    case 14:
      return "Z-System";
    case 15:
      return "VM/CMS";
    default:
      return "code " + std::to_string(code);
  }
}

namespace {

// Length of the valid UTF-8 sequence at text[i], or 0 when it is not one.
std::size_t Utf8SequenceLength(const std::string& text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  std::size_t length = 0;
  uint32_t code = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, code = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, code = lead & 0x07;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i + k) & 0x3F);
  }
  const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
  const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
  return overlong || surrogate || code > 0x10FFFF ? 0 : length;
}

// U+0080..U+009F, the C1 controls (CSI among them), in UTF-8.
bool IsC1Control(const std::string& text, std::size_t i, std::size_t length) {
  return length == 2 && static_cast<unsigned char>(text[i]) == 0xC2 &&
         static_cast<unsigned char>(text[i + 1]) < 0xA0;
}

void AppendUnicodeEscape(std::string& out, unsigned code) {
  char escape[8];
  std::snprintf(escape, sizeof escape, "\\u%04x", code);
  out += escape;
}

}  // namespace

// Bytes that are not UTF-8 (names from other code pages) become U+FFFD, so
// that the output stays valid JSON.
std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char ch = text[i];
    const auto c = static_cast<unsigned char>(ch);
    if (c >= 0x80) {
      const std::size_t length = Utf8SequenceLength(text, i);
      if (length == 0) {
        out += "\\ufffd";
      } else if (IsC1Control(text, i, length)) {
        AppendUnicodeEscape(out, static_cast<unsigned char>(text[i + 1]));
        i += 1;
      } else {
        out.append(text, i, length);
        i += length - 1;
      }
      continue;
    }
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          AppendUnicodeEscape(out, c);
        } else {
          out += ch;
        }
    }
  }
  return out + "\"";
}

std::string Printable(const std::string& text) {
  std::string out;
  const auto octal = [&out](unsigned char c) {
    char escape[8];
    std::snprintf(escape, sizeof escape, "\\%03o", c);
    out += escape;
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      const std::size_t length = Utf8SequenceLength(text, i);
      if (length == 0 || IsC1Control(text, i, length)) {
        for (std::size_t k = 0; k < std::max<std::size_t>(length, 1); ++k) {
          octal(static_cast<unsigned char>(text[i + k]));
        }
        i += std::max<std::size_t>(length, 1) - 1;
      } else {
        out.append(text, i, length);
        i += length - 1;
      }
      continue;
    }
    static constexpr std::string_view kNamed = "\a\b\t\n\v\f\r";
    static constexpr std::string_view kLetters = "abtnvfr";
    if (const auto named = kNamed.find(static_cast<char>(c)); named != std::string_view::npos) {
      out += '\\';
      out += kLetters[named];
    } else if (c < 0x20 || c == 0x7F) {
      octal(c);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace gzarc_cli
