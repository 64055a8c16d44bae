// The CRC-32 by carry-less multiplication, for x86 processors that have
// it (32- and 64-bit alike): the data folds forward 128, 256 or 512 bits a
// step, and the table routine finishes the last block and the tail.
#include "gzip/crc32_kernels.h"

#ifdef GZARC_X86_DISPATCH

#include <immintrin.h>

namespace gzarc {
namespace {

// x^n mod P in the register's reflected form (bit 31 is x^0): multiplying by
// x is one step of the bitwise CRC.
constexpr uint64_t XPowerModP(unsigned n) {
  uint32_t v = 0x80000000u;
  for (unsigned i = 0; i < n; ++i) v = (v >> 1) ^ ((v & 1) ? kCrcPolynomial : 0);
  return v;
}

// Folding a 128-bit block F bits forward: its low 64 bits H (the higher
// powers) become H * x^(F+64) and its high 64 bits L become L * x^F, both
// reduced modulo P to at most 96 bits. A carry-less product of reflected
// operands comes out one bit short, hence the exponents less one; a constant
// sits in the upper half of its 64-bit lane, where bit 63 is x^0.
consteval uint64_t FoldConstant(unsigned bits) {
  return XPowerModP(bits - 1) << 32;
}

__attribute__((target("pclmul,sse2"))) inline __m128i Fold(__m128i block, __m128i constants) {
  return _mm_xor_si128(_mm_clmulepi64_si128(block, constants, 0x00),
                       _mm_clmulepi64_si128(block, constants, 0x11));
}

__attribute__((target("pclmul,sse2"))) inline __m128i LoadBlock(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// The end of both foldings: the remaining whole blocks fold into x one at a
// time; the CRC of x's 16 bytes from a zero register is then the remainder
// of everything so far, and the last bytes go on from it.
__attribute__((target("pclmul,sse2"))) inline uint32_t FoldRemainder(__m128i x, const uint8_t* data,
                                                                     std::size_t length,
                                                                     __m128i fold128) {
  while (length >= 16) {
    x = _mm_xor_si128(Fold(x, fold128), LoadBlock(data));
    data += 16;
    length -= 16;
  }
  alignas(16) uint8_t block[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(block), x);
  return UpdateCrc32Sliced(UpdateCrc32Sliced(0, block, 16), data, length);
}

}  // namespace

// Four blocks fold 512 bits at a time, in parallel; then they fold into one,
// and the CRC of that one block's 16 bytes from a zero register is the
// remainder of everything so far.
__attribute__((target("pclmul,sse2"))) uint32_t UpdateCrc32Fold128(uint32_t crc,
                                                                   const uint8_t* data,
                                                                   std::size_t length) {
  const __m128i fold512 = _mm_set_epi64x(static_cast<int64_t>(FoldConstant(512)),
                                         static_cast<int64_t>(FoldConstant(512 + 64)));
  const __m128i fold128 = _mm_set_epi64x(static_cast<int64_t>(FoldConstant(128)),
                                         static_cast<int64_t>(FoldConstant(128 + 64)));

  // The register enters as a change of the first four bytes.
  __m128i x0 = _mm_xor_si128(LoadBlock(data), _mm_cvtsi32_si128(static_cast<int>(crc)));
  __m128i x1 = LoadBlock(data + 16);
  __m128i x2 = LoadBlock(data + 32);
  __m128i x3 = LoadBlock(data + 48);
  data += 64;
  length -= 64;
  while (length >= 64) {
    x0 = _mm_xor_si128(Fold(x0, fold512), LoadBlock(data));
    x1 = _mm_xor_si128(Fold(x1, fold512), LoadBlock(data + 16));
    x2 = _mm_xor_si128(Fold(x2, fold512), LoadBlock(data + 32));
    x3 = _mm_xor_si128(Fold(x3, fold512), LoadBlock(data + 48));
    data += 64;
    length -= 64;
  }
  __m128i x = _mm_xor_si128(Fold(x0, fold128), x1);
  x = _mm_xor_si128(Fold(x, fold128), x2);
  x = _mm_xor_si128(Fold(x, fold128), x3);
  return FoldRemainder(x, data, length, fold128);
}

#define GZARC_CRC_WIDE __attribute__((target("vpclmulqdq,avx2,pclmul,sse2")))

namespace {

GZARC_CRC_WIDE inline __m256i LoadWideBlock(const uint8_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

GZARC_CRC_WIDE inline __m256i FoldWide(__m256i blocks, __m256i constants) {
  return _mm256_xor_si256(_mm256_clmulepi64_epi128(blocks, constants, 0x00),
                          _mm256_clmulepi64_epi128(blocks, constants, 0x11));
}

// Folds x forward over both blocks of a wide register, in the data's order.
GZARC_CRC_WIDE inline __m128i FoldInWide(__m128i x, __m256i blocks, __m128i fold128) {
  x = _mm_xor_si128(Fold(x, fold128), _mm256_castsi256_si128(blocks));
  return _mm_xor_si128(Fold(x, fold128), _mm256_extracti128_si256(blocks, 1));
}

}  // namespace

// The same folding on 256-bit registers, each carrying two blocks: four of
// them fold 1024 bits at a time, twice the work of each step above for the
// same wait on the multiplier. Takes at least 128 bytes.
GZARC_CRC_WIDE uint32_t UpdateCrc32Fold256(uint32_t crc, const uint8_t* data, std::size_t length) {
  const __m256i fold1024 = _mm256_set_epi64x(
      static_cast<int64_t>(FoldConstant(1024)), static_cast<int64_t>(FoldConstant(1024 + 64)),
      static_cast<int64_t>(FoldConstant(1024)), static_cast<int64_t>(FoldConstant(1024 + 64)));
  const __m128i fold128 = _mm_set_epi64x(static_cast<int64_t>(FoldConstant(128)),
                                         static_cast<int64_t>(FoldConstant(128 + 64)));

  // The register enters as a change of the first four bytes.
  __m256i y0 = _mm256_xor_si256(LoadWideBlock(data),
                                _mm256_zextsi128_si256(_mm_cvtsi32_si128(static_cast<int>(crc))));
  __m256i y1 = LoadWideBlock(data + 32);
  __m256i y2 = LoadWideBlock(data + 64);
  __m256i y3 = LoadWideBlock(data + 96);
  data += 128;
  length -= 128;
  while (length >= 128) {
    y0 = _mm256_xor_si256(FoldWide(y0, fold1024), LoadWideBlock(data));
    y1 = _mm256_xor_si256(FoldWide(y1, fold1024), LoadWideBlock(data + 32));
    y2 = _mm256_xor_si256(FoldWide(y2, fold1024), LoadWideBlock(data + 64));
    y3 = _mm256_xor_si256(FoldWide(y3, fold1024), LoadWideBlock(data + 96));
    data += 128;
    length -= 128;
  }
  // The eight blocks fold into one in the data's order.
  __m128i x = _mm256_castsi256_si128(y0);
  x = _mm_xor_si128(Fold(x, fold128), _mm256_extracti128_si256(y0, 1));
  x = FoldInWide(x, y1, fold128);
  x = FoldInWide(x, y2, fold128);
  x = FoldInWide(x, y3, fold128);
  return FoldRemainder(x, data, length, fold128);
}

#define GZARC_CRC_WIDEST __attribute__((target("avx512f,vpclmulqdq,avx2,pclmul,sse2")))

namespace {

GZARC_CRC_WIDEST inline __m512i FoldWidest(__m512i blocks, __m512i constants) {
  return _mm512_xor_si512(_mm512_clmulepi64_epi128(blocks, constants, 0x00),
                          _mm512_clmulepi64_epi128(blocks, constants, 0x11));
}

template <uint64_t kHigh, uint64_t kLow>
GZARC_CRC_WIDEST inline __m512i FoldConstants512() {
  constexpr auto high = static_cast<int64_t>(kHigh);
  constexpr auto low = static_cast<int64_t>(kLow);
  return _mm512_set_epi64(high, low, high, low, high, low, high, low);
}

}  // namespace

// Again on 512-bit registers of four blocks each: four registers fold 2048
// bits at a time. Where a 512-bit carry-less multiply exists it costs no
// more than the 256-bit one, so each step does twice the work again. Takes
// at least 256 bytes.
GZARC_CRC_WIDEST uint32_t UpdateCrc32Fold512(uint32_t crc, const uint8_t* data,
                                             std::size_t length) {
  const __m512i fold2048 = FoldConstants512<FoldConstant(2048), FoldConstant(2048 + 64)>();
  const __m128i fold128 = _mm_set_epi64x(static_cast<int64_t>(FoldConstant(128)),
                                         static_cast<int64_t>(FoldConstant(128 + 64)));

  // The register enters as a change of the first four bytes.
  __m512i z0 = _mm512_xor_si512(_mm512_loadu_si512(data),
                                _mm512_zextsi128_si512(_mm_cvtsi32_si128(static_cast<int>(crc))));
  __m512i z1 = _mm512_loadu_si512(data + 64);
  __m512i z2 = _mm512_loadu_si512(data + 128);
  __m512i z3 = _mm512_loadu_si512(data + 192);
  data += 256;
  length -= 256;
  while (length >= 256) {
    z0 = _mm512_xor_si512(FoldWidest(z0, fold2048), _mm512_loadu_si512(data));
    z1 = _mm512_xor_si512(FoldWidest(z1, fold2048), _mm512_loadu_si512(data + 64));
    z2 = _mm512_xor_si512(FoldWidest(z2, fold2048), _mm512_loadu_si512(data + 128));
    z3 = _mm512_xor_si512(FoldWidest(z3, fold2048), _mm512_loadu_si512(data + 192));
    data += 256;
    length -= 256;
  }
  // The four registers fold into one, then its four blocks into one, in the
  // data's order.
  const __m512i fold512 = FoldConstants512<FoldConstant(512), FoldConstant(512 + 64)>();
  __m512i z = _mm512_xor_si512(FoldWidest(z0, fold512), z1);
  z = _mm512_xor_si512(FoldWidest(z, fold512), z2);
  z = _mm512_xor_si512(FoldWidest(z, fold512), z3);
  // (The zero-masked extraction: the plain one, and the cast built on it,
  // leave an undefined operand that some compilers warn about.)
  __m128i x = _mm512_maskz_extracti32x4_epi32(0xF, z, 0);
  x = _mm_xor_si128(Fold(x, fold128), _mm512_maskz_extracti32x4_epi32(0xF, z, 1));
  x = _mm_xor_si128(Fold(x, fold128), _mm512_maskz_extracti32x4_epi32(0xF, z, 2));
  x = _mm_xor_si128(Fold(x, fold128), _mm512_maskz_extracti32x4_epi32(0xF, z, 3));
  return FoldRemainder(x, data, length, fold128);
}

}  // namespace gzarc

#endif  // GZARC_X86_DISPATCH
