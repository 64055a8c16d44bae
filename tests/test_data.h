// Test data shared by the tests, the fuzz targets and the Windows host:
// deterministic inputs of chosen kinds and sizes, a CRC-32 taken from its
// definition, and gzip members built field by field. Standard C++ only, so
// that every toolchain the tests are built with can take it.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gzarc::test {

using Bytes = std::vector<uint8_t>;

// splitmix64: small, fast and the same everywhere.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint32_t Below(uint32_t n) { return static_cast<uint32_t>(Next() % n); }

 private:
  uint64_t state_;
};

// Pinned stream hashes rest on these inputs, and kMixed draws its pieces
// from the first six kinds: new kinds go last, and no kind ever changes.
// kEchoes: text, runs, short periods, noise and copies from anywhere in the
// window, its far end often; kSkewed: bytes so unevenly spread that literal
// codes take from one bit to fifteen, with repeats now and then.
enum class InputKind {
  kText,
  kRecords,
  kRuns,
  kNoise,
  kMixed,
  kSparse,
  kLowAlphabet,
  kEchoes,
  kSkewed
};

inline const char* KindName(InputKind kind) {
  switch (kind) {
    case InputKind::kText:
      return "text";
    case InputKind::kRecords:
      return "records";
    case InputKind::kRuns:
      return "runs";
    case InputKind::kNoise:
      return "noise";
    case InputKind::kMixed:
      return "mixed";
    case InputKind::kSparse:
      return "sparse";
    case InputKind::kLowAlphabet:
      return "lowalpha";
    case InputKind::kEchoes:
      return "echoes";
    case InputKind::kSkewed:
      return "skewed";
  }
  return "?";
}

inline std::vector<uint8_t> MakeInput(InputKind kind, std::size_t size, uint64_t seed) {
  Random random(seed * 7919 + static_cast<uint64_t>(kind) + 1);
  std::vector<uint8_t> out;
  out.reserve(size + 64);
  static const char* const kWords[] = {
      "the",     "window", "slides", "over",     "a",       "stream", "of",      "bytes",
      "and",     "each",   "match",  "points",   "back",    "into",   "history", "while",
      "literal", "codes",  "carry",  "what",     "repeats", "never",  "archive", "header",
      "block",   "tree",   "length", "distance", "end",     "input",  "output",  "zero"};
  switch (kind) {
    case InputKind::kText:
      while (out.size() < size) {
        const std::string word = kWords[random.Below(32)];
        out.insert(out.end(), word.begin(), word.end());
        const uint32_t r = random.Below(20);
        out.push_back(r == 0 ? '\n' : r == 1 ? ',' : ' ');
      }
      break;
    case InputKind::kRecords: {
      uint32_t id = random.Below(1000);
      while (out.size() < size) {
        id += 1 + random.Below(3);
        const uint32_t value = random.Below(100000);
        const uint8_t record[12] = {static_cast<uint8_t>(id),
                                    static_cast<uint8_t>(id >> 8),
                                    0,
                                    0,
                                    static_cast<uint8_t>(value),
                                    static_cast<uint8_t>(value >> 8),
                                    static_cast<uint8_t>(value >> 16),
                                    0,
                                    'R',
                                    'E',
                                    'C',
                                    0};
        out.insert(out.end(), record, record + 12);
      }
      break;
    }
    case InputKind::kRuns:
      while (out.size() < size) {
        const uint8_t byte = static_cast<uint8_t>(random.Below(4) == 0 ? random.Below(256) : 'x');
        const uint32_t length = 1 + random.Below(random.Below(8) == 0 ? 2000 : 40);
        out.insert(out.end(), length, byte);
      }
      break;
    case InputKind::kNoise:
      while (out.size() < size) out.push_back(static_cast<uint8_t>(random.Next()));
      break;
    case InputKind::kMixed:
      while (out.size() < size) {
        const std::size_t piece = 1 + random.Below(5000);
        const auto sub = static_cast<InputKind>(random.Below(6));
        const auto part =
            MakeInput(sub == InputKind::kMixed ? InputKind::kText : sub, piece, random.Next());
        out.insert(out.end(), part.begin(), part.end());
      }
      break;
    case InputKind::kSparse:
      while (out.size() < size) out.push_back(random.Below(50) == 0 ? uint8_t(random.Next()) : 0);
      break;
    case InputKind::kLowAlphabet:
      while (out.size() < size) out.push_back(static_cast<uint8_t>('a' + random.Below(4)));
      break;
    case InputKind::kEchoes:
      while (out.size() < size) {
        switch (random.Below(6)) {
          case 0:
            for (uint32_t i = 1 + random.Below(20); i > 0; --i) {
              const std::string_view word = kWords[random.Below(32)];
              out.insert(out.end(), word.begin(), word.end());
              out.push_back(random.Below(8) == 0 ? '\n' : ' ');
            }
            break;
          case 1:
            out.insert(out.end(), 1 + random.Below(3000), static_cast<uint8_t>(random.Next()));
            break;
          case 2: {
            Bytes unit(2 + random.Below(14));
            for (auto& b : unit) b = static_cast<uint8_t>(random.Next());
            for (uint32_t i = random.Below(400); i > 0; --i) {
              out.insert(out.end(), unit.begin(), unit.end());
            }
            break;
          }
          case 3:
            for (uint32_t i = random.Below(300); i > 0; --i) {
              out.push_back(static_cast<uint8_t>(random.Next()));
            }
            break;
          default:
            if (out.size() > 1000) {
              const std::size_t reach = std::min<std::size_t>(out.size(), 32768);
              const std::size_t back = random.Below(2) == 0
                                           ? reach - random.Below(1000)
                                           : 1 + random.Below(static_cast<uint32_t>(reach));
              const std::size_t length = std::min<std::size_t>(back, 3 + random.Below(1000));
              const std::size_t from = out.size() - back;
              for (std::size_t i = 0; i < length; ++i) out.push_back(out[from + i]);
            }
            break;
        }
      }
      break;
    case InputKind::kSkewed: {
      // Geometric: each value ends the count with a chance of 35 % or 65 %.
      const uint32_t stop = random.Below(2) == 0 ? 35 : 65;
      while (out.size() < size) {
        uint8_t b = 0;
        while (b < 255 && random.Below(100) >= stop) ++b;
        out.push_back(b);
      }
      for (std::size_t at = 1000; at + 300 < size; at += 1 + random.Below(3000)) {
        const std::size_t back =
            1 + random.Below(static_cast<uint32_t>(std::min<std::size_t>(at, 32768)));
        for (std::size_t i = 0, n = 3 + random.Below(250); i < n; ++i)
          out[at + i] = out[at + i - back];
      }
      break;
    }
  }
  out.resize(size);
  return out;
}

inline Bytes ToBytes(std::string_view text) {
  return Bytes(text.begin(), text.end());
}
inline std::string AsText(const Bytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

inline uint32_t Le32(const Bytes& b, std::size_t at) {
  return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 |
         uint32_t{b[at + 3]} << 24;
}
inline void PutLe32(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// CRC-32 from its definition (reflected, polynomial 0xEDB88320), one byte
// per step, apart from every routine of the engine: the register before and
// after, neither inverted.
inline uint32_t ReferenceCrcUpdate(uint32_t crc, const uint8_t* data, std::size_t length) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  for (std::size_t i = 0; i < length; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return crc;
}
// The CRC-32 a gzip trailer holds.
inline uint32_t ReferenceCrc32(const Bytes& data) {
  return ~ReferenceCrcUpdate(0xFFFFFFFFu, data.data(), data.size());
}

// A gzip member's header, field by field: a field left empty is absent,
// and so is its flag.
struct GzipHeader {
  uint8_t flags = 0;  // set beyond those of the fields below (FTEXT, reserved)
  uint32_t mtime = 0;
  uint8_t xfl = 0;
  uint8_t os = 3;
  std::optional<Bytes> extra = {};
  std::optional<std::string> name = {};
  std::optional<std::string> comment = {};
  bool headerCrc = false;
  uint16_t headerCrcDamage = 0;  // XORed into the header CRC

  Bytes Build() const {
    const uint8_t all = flags | (headerCrc ? 0x02 : 0) | (extra ? 0x04 : 0) | (name ? 0x08 : 0) |
                        (comment ? 0x10 : 0);
    Bytes out = {0x1F, 0x8B, 0x08, all};
    PutLe32(out, mtime);
    out.push_back(xfl);
    out.push_back(os);
    if (extra) {
      out.push_back(static_cast<uint8_t>(extra->size()));
      out.push_back(static_cast<uint8_t>(extra->size() >> 8));
      out.insert(out.end(), extra->begin(), extra->end());
    }
    for (const auto* text : {&name, &comment}) {
      if (!*text) continue;
      out.insert(out.end(), (*text)->begin(), (*text)->end());
      out.push_back(0);
    }
    if (headerCrc) {
      const auto crc16 = static_cast<uint16_t>(ReferenceCrc32(out) ^ headerCrcDamage);
      out.push_back(static_cast<uint8_t>(crc16));
      out.push_back(static_cast<uint8_t>(crc16 >> 8));
    }
    return out;
  }
};

// A member: the header, body (its DEFLATE data, or whatever a test puts
// there) and a trailer that says crc and size.
inline Bytes GzipMember(const GzipHeader& header, const Bytes& body, uint32_t crc, uint32_t size) {
  Bytes out = header.Build();
  out.insert(out.end(), body.begin(), body.end());
  PutLe32(out, crc);
  PutLe32(out, size);
  return out;
}

// data as a DEFLATE stream of stored blocks, the decoder's simplest path.
inline Bytes StoredBlocks(const Bytes& data) {
  Bytes out;
  std::size_t at = 0;
  do {
    const std::size_t n = std::min<std::size_t>(65535, data.size() - at);
    const auto length = static_cast<uint16_t>(n), complement = static_cast<uint16_t>(~n);
    out.insert(out.end(),
               {static_cast<uint8_t>(at + n == data.size() ? 1 : 0), static_cast<uint8_t>(length),
                static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(complement),
                static_cast<uint8_t>(complement >> 8)});
    out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(at),
               data.begin() + static_cast<std::ptrdiff_t>(at + n));
    at += n;
  } while (at < data.size());
  return out;
}

// A member holding data in stored blocks, with its true trailer.
inline Bytes StoredMember(const GzipHeader& header, const Bytes& data) {
  return GzipMember(header, StoredBlocks(data), ReferenceCrc32(data),
                    static_cast<uint32_t>(data.size()));
}

}  // namespace gzarc::test
