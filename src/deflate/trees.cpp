#include "deflate/trees.h"

namespace gzarc::deflate {
namespace {

inline uint16_t FixedLength(const TreeNode* fixed, int symbol) {
  return fixed[symbol].ParentOrLength;
}

}  // namespace

uint16_t ReverseBits(uint32_t code, int length) {
  uint32_t result = 0;
  for (int i = 0; i < length; ++i) {
    result = (result << 1) | (code & 1);
    code >>= 1;
  }
  return static_cast<uint16_t>(result);
}

void SiftDown(CompressorState& c, const TreeNode* tree, int k) {
  int16_t* const heap = c.Heap;
  const uint8_t* const depth = c.NodeDepth;
  const int count = c.HeapCount;
  // Heap order: by frequency, and on equal frequency the shallower subtree
  // first, which keeps the codes short; a full tie favours the node named
  // first (the right child over the left, the sifted node over a child).
  // As one comparison of keys: the frequency above the depth (a depth fits
  // 8 bits), n before m exactly when n's key is not greater.
  const auto key = [&](int n) {
    return (static_cast<uint32_t>(tree[n].FreqOrCode) << 8) | depth[n];
  };
  const int v = heap[k];
  const uint32_t vKey = key(v);
  int j = k << 1;
  while (j <= count) {
    uint32_t jKey = key(heap[j]);
    if (j < count) {
      const uint32_t rightKey = key(heap[j + 1]);
      if (rightKey <= jKey) {
        ++j;
        jKey = rightKey;
      }
    }
    if (vKey <= jKey) break;
    heap[k] = heap[j];
    k = j;
    j <<= 1;
  }
  heap[k] = static_cast<int16_t>(v);
}

void AssignBitLengths(CompressorState& c, TreeDesc& desc) {
  TreeNode* tree = desc.Tree;
  const TreeNode* fixed = desc.FixedTree;
  const uint16_t* extra = desc.ExtraBits;
  const int base = desc.FirstExtra;
  const int last = desc.LastUsed;
  const int limit = desc.LengthLimit;
  uint16_t* count = c.BitLengthCount;
  int16_t* heap = c.Heap;

  for (int bits = 0; bits <= kMaxCodeBits; ++bits) count[bits] = 0;
  int overflow = 0;
  tree[heap[c.SortedStart]].ParentOrLength = 0;

  // Parents leave the heap after their children, so the sorted part lists
  // them first and each node finds its parent's length already set.
  for (int h = c.SortedStart + 1; h < kHeapSize; ++h) {
    const int n = heap[h];
    int bits = tree[tree[n].ParentOrLength].ParentOrLength + 1;
    if (bits > limit) {
      bits = limit;
      ++overflow;
    }
    tree[n].ParentOrLength = static_cast<uint16_t>(bits);
    if (n > last) continue;
    ++count[bits];
    const int xbits = n >= base ? extra[n - base] : 0;
    const int32_t f = tree[n].FreqOrCode;
    c.OptimalBits += f * (bits + xbits);
    if (fixed != nullptr) c.FixedBits += f * (FixedLength(fixed, n) + xbits);
  }
  if (overflow == 0) return;

  // Move leaves down from the limit: each step turns a leaf of some shorter
  // length into an internal node with two children one level deeper.
  do {
    int bits = limit - 1;
    while (count[bits] == 0) --bits;
    --count[bits];
    count[bits + 1] += 2;
    --count[limit];
    overflow -= 2;
  } while (overflow > 0);

  // Hand the repaired lengths out again, longest to the least frequent.
  int h = kHeapSize;
  for (int bits = limit; bits != 0; --bits) {
    int k = count[bits];
    while (k != 0) {
      const int m = heap[--h];
      if (m > last) continue;
      if (tree[m].ParentOrLength != bits) {
        c.OptimalBits += (bits - static_cast<int32_t>(tree[m].ParentOrLength)) *
                         static_cast<int32_t>(tree[m].FreqOrCode);
        tree[m].ParentOrLength = static_cast<uint16_t>(bits);
      }
      --k;
    }
  }
}

void AssignCodes(const CompressorState& c, TreeNode* tree, int last) {
  const uint16_t* count = c.BitLengthCount;
  std::array<uint16_t, kMaxCodeBits + 1> next{};
  uint16_t code = 0;
  for (int bits = 1; bits <= kMaxCodeBits; ++bits) {
    code = static_cast<uint16_t>((code + count[bits - 1]) << 1);
    next[bits] = code;
  }
  for (int n = 0; n <= last; ++n) {
    const int length = tree[n].ParentOrLength;
    if (length == 0) continue;
    tree[n].FreqOrCode = ReverseBits(next[length]++, length);
  }
}

void BuildHuffmanTree(CompressorState& c, TreeDesc& desc) {
  TreeNode* tree = desc.Tree;
  const TreeNode* fixed = desc.FixedTree;
  const int symbols = desc.SymbolCount;
  int16_t* heap = c.Heap;
  uint8_t* depth = c.NodeDepth;

  int last = -1;
  c.HeapCount = 0;
  c.SortedStart = kHeapSize;
  for (int n = 0; n < symbols; ++n) {
    if (tree[n].FreqOrCode != 0) {
      heap[++c.HeapCount] = static_cast<int16_t>(n);
      last = n;
      depth[n] = 0;
    } else {
      tree[n].ParentOrLength = 0;
    }
  }

  // DEFLATE needs at least two codes in a tree; missing ones are forced in
  // with frequency 1 and their cost taken back from the estimates.
  while (c.HeapCount < 2) {
    const int forced = last < 2 ? ++last : 0;
    heap[++c.HeapCount] = static_cast<int16_t>(forced);
    tree[forced].FreqOrCode = 1;
    depth[forced] = 0;
    c.OptimalBits -= 1;
    if (fixed != nullptr) c.FixedBits -= FixedLength(fixed, forced);
  }
  desc.LastUsed = static_cast<int16_t>(last);

  for (int n = c.HeapCount / 2; n >= 1; --n) SiftDown(c, tree, n);

  int node = symbols;
  do {
    const int n = heap[1];
    heap[1] = heap[c.HeapCount--];
    SiftDown(c, tree, 1);
    const int m = heap[1];
    heap[--c.SortedStart] = static_cast<int16_t>(n);
    heap[--c.SortedStart] = static_cast<int16_t>(m);
    tree[node].FreqOrCode = static_cast<uint16_t>(tree[n].FreqOrCode + tree[m].FreqOrCode);
    depth[node] = static_cast<uint8_t>((depth[n] >= depth[m] ? depth[n] : depth[m]) + 1);
    tree[n].ParentOrLength = tree[m].ParentOrLength = static_cast<uint16_t>(node);
    heap[1] = static_cast<int16_t>(node);
    ++node;
    SiftDown(c, tree, 1);
  } while (c.HeapCount >= 2);
  heap[--c.SortedStart] = heap[1];

  AssignBitLengths(c, desc);
  AssignCodes(c, tree, last);
}

void CountCodeLengthRuns(CompressorState& c, TreeNode* tree, int last) {
  TreeNode* counts = c.CodeLengthTree;
  int prev = -1;
  int run = 0;
  int next = tree[0].ParentOrLength;
  int longest = NextRunLimits(-1, next).longest;
  int shortest = NextRunLimits(-1, next).shortest;
  // A guard that equals no real length ends the last run.
  tree[last + 1].ParentOrLength = 0xFFFF;

  for (int n = 0; n <= last; ++n) {
    const int cur = next;
    next = tree[n + 1].ParentOrLength;
    if (++run < longest && cur == next) continue;
    if (run < shortest) {
      counts[cur].FreqOrCode = static_cast<uint16_t>(counts[cur].FreqOrCode + run);
    } else if (cur != 0) {
      if (cur != prev) ++counts[cur].FreqOrCode;
      ++counts[kRepeatPrevious].FreqOrCode;
    } else if (run <= 10) {
      ++counts[kRepeatZeros].FreqOrCode;
    } else {
      ++counts[kRepeatManyZeros].FreqOrCode;
    }
    run = 0;
    prev = cur;
    const RunLimits limits = NextRunLimits(cur, next);
    longest = limits.longest;
    shortest = limits.shortest;
  }
}

int BuildCodeLengthTree(CompressorState& c) {
  CountCodeLengthRuns(c, c.LiteralTree, c.LiteralDesc.LastUsed);
  CountCodeLengthRuns(c, c.DistanceTree, c.DistanceDesc.LastUsed);
  BuildHuffmanTree(c, c.CodeLengthDesc);
  int p = kCodeLengthSymbols - 1;
  while (p > 3 && c.CodeLengthTree[CodeLengthOrder[p]].ParentOrLength == 0) --p;
  c.OptimalBits += 3 * (p + 1) + 5 + 5 + 4;
  return p;
}

void ResetBlock(CompressorState& c) {
  for (int n = 0; n < kLiteralSymbols; ++n) c.LiteralTree[n].FreqOrCode = 0;
  for (int n = 0; n < kDistanceSymbols; ++n) c.DistanceTree[n].FreqOrCode = 0;
  for (int n = 0; n < kCodeLengthSymbols; ++n) c.CodeLengthTree[n].FreqOrCode = 0;
  c.LiteralTree[kEndOfBlock].FreqOrCode = 1;
  c.OptimalBits = c.FixedBits = 0;
  c.LiteralCount = c.DistanceCount = c.FlagCount = 0;
  c.FlagByte = 0;
  c.FlagBit = 1;
}

void InitTrees(CompressorState& c) {
  c.LiteralDesc = {c.LiteralTree,
                   c.FixedLiteralTree,
                   LengthExtraBits.data(),
                   257,
                   kLiteralSymbols,
                   kMaxCodeBits,
                   0};
  c.DistanceDesc = {c.DistanceTree,
                    c.FixedDistanceTree,
                    DistanceExtraBits.data(),
                    0,
                    kDistanceSymbols,
                    kMaxCodeBits,
                    0};
  c.CodeLengthDesc = {
      c.CodeLengthTree,   nullptr, CodeLengthExtraBits.data(), 0, kCodeLengthSymbols,
      kMaxCodeLengthBits, 0};

  int length = 0;
  for (int code = 0; code < kLengthCodes - 1; ++code) {
    c.LengthBase[code] = static_cast<uint16_t>(length);
    for (int k = 0; k < (1 << LengthExtraBits[code]); ++k) {
      c.LengthCode[length++] = static_cast<uint8_t>(code);
    }
  }
  // Length 258 has a code of its own; without this it would take the last
  // slot of code 27's range.
  c.LengthCode[255] = kLengthCodes - 1;

  int dist = 0;
  for (int code = 0; code < 16; ++code) {
    c.DistanceBase[code] = static_cast<uint16_t>(dist);
    for (int k = 0; k < (1 << DistanceExtraBits[code]); ++k) {
      c.DistanceCode[dist++] = static_cast<uint8_t>(code);
    }
  }
  dist >>= 7;
  for (int code = 16; code < kDistanceSymbols; ++code) {
    c.DistanceBase[code] = static_cast<uint16_t>(dist << 7);
    for (int k = 0; k < (1 << (DistanceExtraBits[code] - 7)); ++k) {
      c.DistanceCode[256 + dist++] = static_cast<uint8_t>(code);
    }
  }

  for (int bits = 0; bits <= kMaxCodeBits; ++bits) c.BitLengthCount[bits] = 0;
  auto setFixed = [&](int from, int to, uint16_t bits) {
    for (int n = from; n <= to; ++n) {
      c.FixedLiteralTree[n].ParentOrLength = bits;
      ++c.BitLengthCount[bits];
    }
  };
  setFixed(0, 143, 8);
  setFixed(144, 255, 9);
  setFixed(256, 279, 7);
  setFixed(280, 287, 8);
  AssignCodes(c, c.FixedLiteralTree, kFixedLiteralSymbols - 1);

  for (int n = 0; n < kDistanceSymbols; ++n) {
    c.FixedDistanceTree[n].ParentOrLength = 5;
    c.FixedDistanceTree[n].FreqOrCode = ReverseBits(static_cast<uint32_t>(n), 5);
  }

  ResetBlock(c);
}

}  // namespace gzarc::deflate
