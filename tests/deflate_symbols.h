// The DEFLATE format as the tests see it, apart from the engine: its tables,
// canonical codes, and a small, slow reader of raw streams that lists what
// a stream says: block headers, literals, matches and stored runs. Tests use
// the reader to compare two streams symbol by symbol and to look at block
// layout, and the tables to write streams by hand.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

namespace gzarc::test {

// Base and extra bits of the length symbols 257..285 and the distance
// symbols 0..29; the order in which code-length code lengths are sent.
inline constexpr std::array<uint16_t, 29> kLengthBase = {
    3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
    31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
inline constexpr std::array<uint8_t, 29> kLengthExtra = {
    0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
inline constexpr std::array<uint16_t, 30> kDistanceBase = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
inline constexpr unsigned DistanceExtra(unsigned symbol) {
  return symbol < 4 ? 0 : symbol / 2 - 1;
}
inline constexpr std::array<uint8_t, 19> kCodeLengthOrder = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                             11, 4,  12, 3, 13, 2, 14, 1, 15};

// The fixed literal/length code's lengths.
inline std::vector<uint8_t> FixedLiteralLengths() {
  std::vector<uint8_t> lengths(288, 8);
  std::fill(lengths.begin() + 144, lengths.begin() + 256, 9);
  std::fill(lengths.begin() + 256, lengths.begin() + 280, 7);
  return lengths;
}

// The canonical code of each symbol given its length (0: none).
inline std::vector<uint32_t> CanonicalCodes(const std::vector<uint8_t>& lengths) {
  std::array<uint32_t, 17> count{}, next{};
  for (uint8_t l : lengths) ++count[l];
  count[0] = 0;
  for (unsigned bits = 1, code = 0; bits <= 16; ++bits)
    next[bits] = code = (code + count[bits - 1]) << 1;
  std::vector<uint32_t> codes(lengths.size(), 0);
  for (std::size_t s = 0; s < lengths.size(); ++s) {
    if (lengths[s] != 0) codes[s] = next[lengths[s]]++;
  }
  return codes;
}

struct StreamSymbol {
  enum Kind { kBlock, kLiteral, kMatch, kStored } kind;
  uint32_t a;         // block: type; literal: byte; match: length; stored: length
  uint32_t b;         // block: final flag; match: distance
  uint64_t position;  // input position where the symbol starts
  bool operator==(const StreamSymbol&) const = default;
};

class StreamReader {
 public:
  explicit StreamReader(const std::vector<uint8_t>& data) : data_(data) {}

  // False when the stream is malformed or truncated.
  bool Read(std::vector<StreamSymbol>* out) {
    uint64_t position = 0;
    for (;;) {
      uint32_t final = 0, type = 0;
      if (!Get(1, &final) || !Get(2, &type) || type == 3) return false;
      out->push_back({StreamSymbol::kBlock, type, final, position});
      if (type == 0) {
        bit_ = (bit_ + 7) & ~uint64_t{7};
        uint32_t length = 0, complement = 0;
        if (!Get(16, &length) || !Get(16, &complement) || (length ^ complement) != 0xFFFF) {
          return false;
        }
        if (bit_ / 8 + length > data_.size()) return false;
        bit_ += 8ull * length;
        out->push_back({StreamSymbol::kStored, length, 0, position});
        position += length;
      } else {
        Code literals, distances;
        if (type == 1) {
          literals = Build(FixedLiteralLengths());
          distances = Build(std::vector<uint8_t>(30, 5));
        } else if (!ReadDynamicCodes(&literals, &distances)) {
          return false;
        }
        for (;;) {
          int symbol = 0;
          if (!Decode(literals, &symbol)) return false;
          if (symbol < 256) {
            out->push_back({StreamSymbol::kLiteral, static_cast<uint32_t>(symbol), 0, position});
            ++position;
            continue;
          }
          if (symbol == 256) break;
          const int k = symbol - 257;
          if (k >= 29) return false;
          uint32_t extra = 0;
          if (!Get(kLengthExtra[k], &extra)) return false;
          const uint32_t length = kLengthBase[k] + extra;
          int d = 0;
          if (!Decode(distances, &d) || d >= 30) return false;
          if (!Get(static_cast<int>(DistanceExtra(d)), &extra)) return false;
          const uint32_t distance = kDistanceBase[d] + extra;
          if (distance > position) return false;
          out->push_back({StreamSymbol::kMatch, length, distance, position});
          position += length;
        }
      }
      if (final != 0) return bit_ <= data_.size() * 8;
    }
  }

 private:
  using Code = std::map<std::pair<int, uint32_t>, int>;  // (length, code) -> symbol

  bool Get(int count, uint32_t* value) {
    *value = 0;
    for (int i = 0; i < count; ++i, ++bit_) {
      if (bit_ / 8 >= data_.size()) return false;
      *value |= static_cast<uint32_t>((data_[bit_ / 8] >> (bit_ % 8)) & 1) << i;
    }
    return true;
  }

  static Code Build(const std::vector<uint8_t>& lengths) {
    const std::vector<uint32_t> codes = CanonicalCodes(lengths);
    Code table;
    for (std::size_t s = 0; s < lengths.size(); ++s) {
      if (lengths[s] != 0) table[{lengths[s], codes[s]}] = static_cast<int>(s);
    }
    return table;
  }

  bool Decode(const Code& code, int* symbol) {
    uint32_t value = 0;
    for (int length = 1; length <= 15; ++length) {
      uint32_t bit = 0;
      if (!Get(1, &bit)) return false;
      value = (value << 1) | bit;
      const auto it = code.find({length, value});
      if (it != code.end()) {
        *symbol = it->second;
        return true;
      }
    }
    return false;
  }

  bool ReadDynamicCodes(Code* literals, Code* distances) {
    uint32_t hlit = 0, hdist = 0, hclen = 0;
    if (!Get(5, &hlit) || !Get(5, &hdist) || !Get(4, &hclen)) return false;
    std::vector<uint8_t> codeLengths(19, 0);
    for (uint32_t i = 0; i < hclen + 4; ++i) {
      uint32_t v = 0;
      if (!Get(3, &v)) return false;
      codeLengths[kCodeLengthOrder[i]] = static_cast<uint8_t>(v);
    }
    const Code lengthCode = Build(codeLengths);
    std::vector<uint8_t> lengths;
    const std::size_t total = hlit + 257 + hdist + 1;
    while (lengths.size() < total) {
      int s = 0;
      uint32_t repeat = 0;
      if (!Decode(lengthCode, &s)) return false;
      if (s < 16) {
        lengths.push_back(static_cast<uint8_t>(s));
      } else if (s == 16) {
        if (lengths.empty() || !Get(2, &repeat)) return false;
        lengths.insert(lengths.end(), 3 + repeat, lengths.back());
      } else {
        if (!Get(s == 17 ? 3 : 7, &repeat)) return false;
        lengths.insert(lengths.end(), (s == 17 ? 3 : 11) + repeat, 0);
      }
    }
    if (lengths.size() != total) return false;
    *literals = Build({lengths.begin(), lengths.begin() + hlit + 257});
    *distances = Build({lengths.begin() + hlit + 257, lengths.end()});
    return true;
  }

  const std::vector<uint8_t>& data_;
  uint64_t bit_ = 0;
};

inline std::vector<StreamSymbol> ReadSymbols(const std::vector<uint8_t>& stream, bool* ok) {
  std::vector<StreamSymbol> symbols;
  *ok = StreamReader(stream).Read(&symbols);
  return symbols;
}

}  // namespace gzarc::test
