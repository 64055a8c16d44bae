// Deterministic inputs for the compressor tests: text, binary records,
// runs, noise and mixtures, of chosen sizes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace gzarc::test {

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

enum class InputKind { kText, kRecords, kRuns, kNoise, kMixed, kSparse, kLowAlphabet };

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
  }
  out.resize(size);
  return out;
}

}  // namespace gzarc::test
