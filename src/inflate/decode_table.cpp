// Building the decoder's lookup tables. All working storage of a build (the
// length counts, the symbols sorted by length and the stack of open tables)
// lives on the stack of BuildDecodeTable; the tables themselves are heap
// blocks owned by the caller until FreeDecodeTable.
#include "inflate/decode_table.h"

#include <algorithm>
#include <array>

#include "platform/platform.h"

namespace gzarc {
namespace {

constexpr unsigned kMaxSymbols = 288;

DecodeEntry InvalidEntry(unsigned bits) {
  DecodeEntry entry;
  entry.op = kOpInvalid;
  entry.bits = static_cast<uint8_t>(bits);
  entry.value = 0;
  return entry;
}

// One block of 2^bits + 1 entries, the link entry cleared and every proper
// entry invalid until a code claims it.
DecodeEntry* AllocateTable(unsigned bits) {
  const std::size_t size = (std::size_t{1} << bits) + 1;
  auto* block = static_cast<DecodeEntry*>(platform::AllocateMemory(size * sizeof(DecodeEntry)));
  if (block == nullptr) return nullptr;
  block[0].op = 0;
  block[0].bits = 0;
  block[0].table = nullptr;
  std::fill(block + 1, block + size, InvalidEntry(0));
  return block;
}

}  // namespace

int BuildDecodeTable(const uint8_t* lengths, unsigned n, unsigned s, const uint16_t* base,
                     const uint8_t* extra, const DecodeEntry** root, unsigned* rootBits) {
  *root = nullptr;
  if (n > kMaxSymbols) return kCodeOversubscribed;
  // The end-of-block code must end at a table's last index bit, so that the
  // decoder never asks for bits beyond it.
  const unsigned eobLength = n > 256 ? lengths[256] : kMaxCodeLength;

  std::array<unsigned, kMaxCodeLength + 1> count{};
  for (unsigned t = 0; t < n; ++t) {
    if (lengths[t] > kMaxCodeLength) return kCodeOversubscribed;
    ++count[lengths[t]];
  }
  if (count[0] == n) {
    *rootBits = 0;
    return kCodeComplete;
  }
  unsigned kmin = 1;
  while (count[kmin] == 0) ++kmin;
  unsigned g = kMaxCodeLength;
  while (count[g] == 0) --g;
  const unsigned m = std::min(std::max(*rootBits, kmin), g);

  // Room left at each length; what remains at the longest length is filled
  // with codes that have no symbol.
  int y = 1 << kmin;
  for (unsigned j = kmin; j < g; ++j) {
    y -= static_cast<int>(count[j]);
    if (y < 0) return kCodeOversubscribed;
    y <<= 1;
  }
  y -= static_cast<int>(count[g]);
  if (y < 0) return kCodeOversubscribed;
  count[g] += static_cast<unsigned>(y);

  std::array<unsigned, kMaxCodeLength + 2> offset{};
  for (unsigned j = 1; j <= kMaxCodeLength; ++j) offset[j + 1] = offset[j] + count[j];
  std::array<uint16_t, kMaxSymbols> symbols{};
  unsigned symbolCount = 0;
  for (unsigned t = 0; t < n; ++t) {
    if (lengths[t] != 0) {
      symbols[offset[lengths[t]]++] = static_cast<uint16_t>(t);
      ++symbolCount;
    }
  }

  // The stack of open tables: per level its entries, index bits and the low
  // code bits that lead to it.
  std::array<DecodeEntry*, kMaxCodeLength + 1> tables{};
  std::array<unsigned, kMaxCodeLength + 1> indexBits{};
  std::array<unsigned, kMaxCodeLength + 1> pattern{};
  int h = -1;
  unsigned w = 0;     // index bits decoded before table h
  unsigned i = 0;     // the current code, bit-reversed
  unsigned next = 0;  // next symbol in length order
  const DecodeEntry** chain = root;

  for (unsigned k = kmin; k <= g; ++k) {
    unsigned a = count[k];
    while (a-- > 0) {
      while (k > w + (h < 0 ? 0 : indexBits[h])) {
        if (h >= 0) w += indexBits[h];
        ++h;
        const unsigned z = std::min(g - w, m);
        unsigned j = k - w;
        unsigned f = 1u << j;
        if (f > a + 1 && j < z) {
          f -= a + 1;
          while (++j < z) {
            f <<= 1;
            if (f <= count[w + j]) break;
            f -= count[w + j];
          }
        }
        if (w + j > eobLength && w < eobLength) j = eobLength - w;

        DecodeEntry* block = AllocateTable(j);
        if (block == nullptr) {
          FreeDecodeTable(*root);
          *root = nullptr;
          return kCodeNoMemory;
        }
        *chain = block + 1;
        chain = &block[0].table;
        tables[h] = block + 1;
        indexBits[h] = j;
        pattern[h] = i & ((1u << w) - 1);
        if (h > 0) {
          DecodeEntry link;
          link.op = static_cast<uint8_t>(kOpLiteral + j);
          link.bits = static_cast<uint8_t>(indexBits[h - 1]);
          link.table = block + 1;
          tables[h - 1][pattern[h] >> (w - indexBits[h - 1])] = link;
        }
      }

      DecodeEntry entry = InvalidEntry(k - w);
      if (next < symbolCount) {
        const unsigned symbol = symbols[next++];
        if (symbol < s) {
          entry.op = symbol < 256 ? kOpLiteral : kOpEndOfBlock;
          entry.value = static_cast<uint16_t>(symbol);
        } else {
          entry.op = extra[symbol - s];
          entry.value = base[symbol - s];
        }
      }
      DecodeEntry* table = tables[h];
      const unsigned size = 1u << indexBits[h];
      for (unsigned t = i >> w; t < size; t += 1u << (k - w)) table[t] = entry;

      unsigned bit = 1u << (k - 1);
      while (i & bit) {
        i ^= bit;
        bit >>= 1;
      }
      i ^= bit;
      while ((i & ((1u << w) - 1)) != pattern[h]) {
        --h;
        w -= indexBits[h];
      }
    }
  }

  *rootBits = indexBits[0];
  return y != 0 && g != 1 ? kCodeIncomplete : kCodeComplete;
}

void FreeDecodeTable(const DecodeEntry* root) {
  while (root != nullptr) {
    DecodeEntry* block = const_cast<DecodeEntry*>(root - 1);
    root = block->table;
    platform::FreeMemory(block);
  }
}

FastEntry FastEntryOf(const DecodeEntry& e) {
  if (e.op == kOpLiteral) return PackFastLiteral(e.value, e.bits);
  if (e.op == kOpEndOfBlock) return PackFastEndOfBlock(e.bits);
  if (e.op < kOpEndOfBlock) return PackFastCode(e.bits, e.op, e.value);
  return kFastSlow;
}

namespace {

// A literal code short enough to have another after it within the index:
// its reversed code and its length.
struct ShortLiteral {
  uint16_t code;
  uint8_t bits;
};

// Joins each short literal with the literal that follows it where both
// codes fit the index: at index i the code of n bits is followed by the one
// at entry i >> n, which is right whenever that code fits the
// 2^(fastBits - n) indices that the known bits select. Those entries are
// read from a copy of the single ones, as the pairs replace them.
void PairLiterals(FastEntry* fast, unsigned fastBits, const ShortLiteral* firsts,
                  unsigned firstCount) {
  std::array<FastEntry, 1u << kMaxFastBits> single;
  const unsigned size = 1u << fastBits;
  std::copy(fast, fast + size, single.begin());
  for (unsigned f = 0; f < firstCount; ++f) {
    const unsigned n = firsts[f].bits;
    for (unsigned i = firsts[f].code; i < size; i += 1u << n) {
      // Without branches: whether two literals meet is as good as random.
      const FastEntry first = single[i];
      const FastEntry second = single[i >> n];
      const unsigned total = n + FastShift(second);
      const bool both = (second & kFastLiteral) != 0 && total <= fastBits;
      fast[i] = both ? PackFastLiteralPair(FastValue(first), FastValue(second), total) : first;
    }
  }
}

constexpr std::array<uint8_t, 256> kReversedBytes = [] {
  std::array<uint8_t, 256> table{};
  for (unsigned b = 0; b < 256; ++b) {
    unsigned r = 0;
    for (unsigned k = 0; k < 8; ++k) r |= ((b >> k) & 1u) << (7 - k);
    table[b] = static_cast<uint8_t>(r);
  }
  return table;
}();

// The low n bits of code in reverse order (n <= 16).
inline unsigned ReversedCode(unsigned code, unsigned n) {
  const unsigned r =
      (unsigned{kReversedBytes[code & 0xFF]} << 8) | kReversedBytes[(code >> 8) & 0xFF];
  return r >> (16 - n);
}

}  // namespace

void BuildFastTable(const uint8_t* lengths, unsigned n, unsigned s, const uint16_t* base,
                    const uint8_t* extra, FastEntry* fast, unsigned fastBits, bool literalTable) {
  // The symbols whose codes fit the index, in canonical order: by length,
  // then by symbol.
  std::array<unsigned, kMaxCodeLength + 2> offset{};
  for (unsigned t = 0; t < n; ++t) ++offset[lengths[t] + 1];
  offset[1] = 0;
  for (unsigned k = 2; k <= fastBits + 1; ++k) offset[k] += offset[k - 1];
  std::array<uint16_t, kMaxSymbols> sorted;
  std::array<unsigned, kMaxCodeLength + 2> at = offset;
  for (unsigned t = 0; t < n; ++t) {
    const unsigned k = lengths[t];
    if (k != 0 && k <= fastBits) sorted[at[k]++] = static_cast<uint16_t>(t);
  }

  // The table grows one index bit at a time: doubling it repeats every
  // shorter code over the new bit, and then each code of the new length
  // takes its one entry. Codes longer than the index keep the slow entries
  // at their prefixes, and so do the patterns of an incomplete code that no
  // symbol owns.
  fast[0] = fast[1] = kFastSlow;
  unsigned shortestLiteral = kMaxCodeLength + 1;
  std::array<ShortLiteral, 256> firsts;
  unsigned firstCount = 0;
  // Lengths with extra bits to resolve whole once the table has grown by
  // them: their symbols and reversed codes.
  std::array<uint16_t, 32> whole;
  std::array<uint16_t, 32> wholeCode;
  unsigned wholeCount = 0;
  unsigned code = 0;
  for (unsigned k = 1; k <= fastBits; ++k) {
    if (k > 1) std::copy(fast, fast + (1u << (k - 1)), fast + (1u << (k - 1)));
    // Where a length's code and extra bits span k bits, each value of the
    // extra bits takes one entry, which the doublings to come repeat.
    for (unsigned w = 0; w < wholeCount; ++w) {
      const unsigned t = whole[w];
      const unsigned codeBits = lengths[t];
      if (codeBits + extra[t - s] != k) continue;
      for (unsigned value = 0; value < (1u << extra[t - s]); ++value) {
        fast[wholeCode[w] | (value << codeBits)] = PackFastCode(k, 0, base[t - s] + value);
      }
    }
    for (unsigned j = offset[k]; j < offset[k + 1]; ++j, ++code) {
      const unsigned t = sorted[j];
      FastEntry entry = kFastSlow;
      if (t < s) {
        if (t < 256) {
          entry = PackFastLiteral(t, k);
          // Lengths come in order: the first literal has the shortest code.
          shortestLiteral = std::min(shortestLiteral, k);
          if (literalTable && k + shortestLiteral <= fastBits) {
            firsts[firstCount++] = {static_cast<uint16_t>(ReversedCode(code, k)),
                                    static_cast<uint8_t>(k)};
          }
        } else {
          entry = PackFastEndOfBlock(k);
        }
      } else if (extra[t - s] < kOpEndOfBlock) {
        entry = PackFastCode(k, extra[t - s], base[t - s]);
        if (literalTable) {
          if (k + extra[t - s] > fastBits) {
            entry |= kFastLengthExtra;
          } else if (extra[t - s] > 0 && wholeCount < whole.size()) {
            whole[wholeCount] = static_cast<uint16_t>(t);
            wholeCode[wholeCount++] = static_cast<uint16_t>(ReversedCode(code, k));
          }
        }
      }
      fast[ReversedCode(code, k)] = entry;
    }
    code <<= 1;
  }
  if (firstCount > 0) PairLiterals(fast, fastBits, firsts.data(), firstCount);
}

}  // namespace gzarc
