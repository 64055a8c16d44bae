#include "inflate/block_finder.h"

#include <algorithm>
#include <array>
#include <bit>

#include "platform/byte_order.h"

namespace gzarc {
namespace {

constexpr std::array<uint8_t, 19> kCodeLengthOrder = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                      11, 4,  12, 3, 13, 2, 14, 1, 15};

// Reads bits from data without running past its end.
class BitCursor {
 public:
  BitCursor(const uint8_t* data, std::size_t size, uint64_t bit)
      : data_(data), size_(size), bit_(bit) {}
  // The next n bits (n <= 32); false past the end.
  bool Take(unsigned n, uint32_t* value) {
    if (bit_ + n > uint64_t{size_} * 8) return false;
    *value = static_cast<uint32_t>(Peek64() & ((uint64_t{1} << n) - 1));
    bit_ += n;
    return true;
  }
  uint64_t Peek64() const {
    const uint64_t at = bit_ >> 3;
    uint64_t v = 0;
    if (at + 8 <= size_) {
      v = LoadLittle64(data_ + at);
    } else {
      for (uint64_t i = 0; at + i < size_; ++i) v |= uint64_t{data_[at + i]} << (8 * i);
    }
    return v >> (bit_ & 7);
  }
  void Skip(unsigned n) { bit_ += n; }

 private:
  const uint8_t* data_;
  std::size_t size_;
  uint64_t bit_;
};

// Whether code lengths (of at most maxBits bits) make a code the decoder
// accepts: complete, or one code of one bit; all zero counts when allowed.
bool CodeAccepted(const uint8_t* lengths, unsigned n, unsigned maxBits, bool emptyAllowed) {
  uint64_t sum = 0;
  unsigned used = 0;
  unsigned lastLength = 0;
  for (unsigned i = 0; i < n; ++i) {
    if (lengths[i] == 0) continue;
    sum += uint64_t{1} << (maxBits - lengths[i]);
    ++used;
    lastLength = lengths[i];
  }
  if (used == 0) return emptyAllowed;
  if (used == 1) return lastLength == 1;
  return sum == (uint64_t{1} << maxBits);
}

// The canonical code of the code-length code as a table of its 7-bit
// patterns (read least significant bit first): symbol and length.
struct LengthCode {
  std::array<uint8_t, 128> symbol;
  std::array<uint8_t, 128> length;
};

void BuildLengthCode(const uint8_t* lengths, LengthCode* code) {
  code->length.fill(0);
  std::array<unsigned, 8> count{};
  for (unsigned s = 0; s < 19; ++s) ++count[lengths[s]];
  count[0] = 0;
  std::array<unsigned, 8> next{};
  unsigned c = 0;
  for (unsigned bits = 1; bits <= 7; ++bits) {
    c = (c + count[bits - 1]) << 1;
    next[bits] = c;
  }
  for (unsigned s = 0; s < 19; ++s) {
    const unsigned len = lengths[s];
    if (len == 0) continue;
    const unsigned value = next[len]++;
    unsigned reversed = 0;
    for (unsigned b = 0; b < len; ++b) reversed |= ((value >> b) & 1) << (len - 1 - b);
    for (unsigned fill = reversed; fill < 128; fill += 1u << len) {
      code->symbol[fill] = static_cast<uint8_t>(s);
      code->length[fill] = static_cast<uint8_t>(len);
    }
  }
}

// For four 3-bit code lengths (12 bits): the sum of 2^(7 - length) over the
// non-zero ones, the Kraft sum of a 7-bit code. The order of the lengths
// does not matter to it, so the fields can be summed as they lie.
constexpr std::array<uint16_t, 4096> kKraftOfFour = [] {
  std::array<uint16_t, 4096> table{};
  for (unsigned v = 0; v < 4096; ++v) {
    unsigned sum = 0;
    for (unsigned f = 0; f < 4; ++f) {
      const unsigned length = (v >> (3 * f)) & 7;
      if (length != 0) sum += 128u >> length;
    }
    table[v] = static_cast<uint16_t>(sum);
  }
  return table;
}();

// The cheap tests first, on the 64 bits at the position: not the last
// block, dynamic codes, at most 286 and 30 lengths, and a code-length code
// whose Kraft sum is exact (a single code of one bit aside, which sums to
// 64 and which the full test below takes). Nearly every position fails one.
inline bool MayBeHeader(uint64_t head, uint64_t lengthBits) {
  if ((head & 7) != 4) return false;
  if (((head >> 3) & 31) > 29 || ((head >> 8) & 31) > 29) return false;
  const unsigned nb = static_cast<unsigned>((head >> 13) & 15) + 4;
  lengthBits &= (uint64_t{1} << (3 * nb)) - 1;
  const unsigned sum = kKraftOfFour[lengthBits & 4095] + kKraftOfFour[(lengthBits >> 12) & 4095] +
                       kKraftOfFour[(lengthBits >> 24) & 4095] +
                       kKraftOfFour[(lengthBits >> 36) & 4095] +
                       kKraftOfFour[(lengthBits >> 48) & 4095];
  return sum == 128 || sum == 64;
}

bool HeaderAt(const uint8_t* data, std::size_t size, uint64_t bit) {
  BitCursor cursor(data, size, bit);
  const uint64_t head = cursor.Peek64();
  const unsigned hlit = (head >> 3) & 31;
  const unsigned hdist = (head >> 8) & 31;
  const unsigned nb = ((head >> 13) & 15) + 4;
  if ((head & 7) != 4 || hlit > 29 || hdist > 29) return false;
  cursor.Skip(17);
  std::array<uint8_t, 19> codeLengths{};
  for (unsigned j = 0; j < nb; ++j) {
    uint32_t v = 0;
    if (!cursor.Take(3, &v)) return false;
    codeLengths[kCodeLengthOrder[j]] = static_cast<uint8_t>(v);
  }
  if (!CodeAccepted(codeLengths.data(), 19, 7, false)) return false;

  LengthCode code;
  BuildLengthCode(codeLengths.data(), &code);
  const unsigned nl = hlit + 257;
  const unsigned total = nl + hdist + 1;
  std::array<uint8_t, 316> lengths{};
  unsigned filled = 0;
  uint8_t previous = 0;
  while (filled < total) {
    const unsigned pattern = static_cast<unsigned>(cursor.Peek64() & 127);
    const unsigned len = code.length[pattern];
    if (len == 0) return false;
    const unsigned symbol = code.symbol[pattern];
    uint32_t ignored = 0;
    if (!cursor.Take(len, &ignored)) return false;
    if (symbol < 16) {
      previous = static_cast<uint8_t>(symbol);
      lengths[filled++] = previous;
      continue;
    }
    const unsigned extra = symbol == 16 ? 2 : symbol == 17 ? 3 : 7;
    uint32_t repeat = 0;
    if (!cursor.Take(extra, &repeat)) return false;
    repeat += symbol == 18 ? 11 : 3;
    if (filled + repeat > total) return false;
    const uint8_t value = symbol == 16 ? previous : 0;
    if (symbol != 16) previous = 0;
    for (uint32_t r = 0; r < repeat; ++r) lengths[filled++] = value;
  }
  // The block must be able to end, and both codes must be ones the decoder
  // takes.
  return lengths[256] != 0 && CodeAccepted(lengths.data(), nl, 15, false) &&
         CodeAccepted(lengths.data() + nl, hdist + 1, 15, true);
}

}  // namespace

uint64_t FindDynamicBlock(const uint8_t* data, std::size_t size, uint64_t from, uint64_t to) {
  const uint64_t end = std::min<uint64_t>(to, uint64_t{size} * 8);
  uint64_t bit = from;
  // Eight byte positions a step: the first tests run on all bit positions
  // of a word at once. Bit s of candidates is set where a header could
  // begin s bits past the word's start: a 0 (not the last block), the
  // block type 2 (bits 0 1), and HLIT and HDIST below 30 (not all of their
  // top four bits set). The bits of positions 0..7 need bits up to 12 past
  // them, so a word of 64 bits serves eight positions.
  while (bit < end && (bit >> 3) + 32 <= size) {
    const uint8_t* at = data + (bit >> 3);
    const uint64_t w = LoadLittle64(at);
    uint64_t candidates = ~w & ~(w >> 1) & (w >> 2);
    candidates &= ~((w >> 4) & (w >> 5) & (w >> 6) & (w >> 7));
    candidates &= ~((w >> 9) & (w >> 10) & (w >> 11) & (w >> 12));
    const unsigned skip = bit & 7;
    candidates &= 0xFFu << skip;
    candidates &= 0xFF;
    while (candidates != 0) {
      const unsigned shift = static_cast<unsigned>(std::countr_zero(candidates));
      candidates &= candidates - 1;
      const uint64_t position = (bit & ~uint64_t{7}) + shift;
      if (position >= end) return kNoBlockFound;
      const uint64_t low = LoadLittle64(at);
      const uint64_t high = LoadLittle64(at + 8);
      const uint64_t head = shift == 0 ? low : (low >> shift) | (high << (64 - shift));
      const unsigned lengthShift = shift + 17;
      const uint64_t lengthBits = (low >> lengthShift) | (high << (64 - lengthShift));
      if (MayBeHeader(head, lengthBits) && HeaderAt(data, size, position)) return position;
    }
    bit = (bit & ~uint64_t{7}) + 8;
  }
  for (; bit < end; ++bit) {
    if (HeaderAt(data, size, bit)) return bit;
  }
  return kNoBlockFound;
}

}  // namespace gzarc
