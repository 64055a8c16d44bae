// The match finder's builds for x86 processors with vector extensions, 32-
// and 64-bit alike: the same lazy loop with a long match measured 16 or 64
// bytes a step, and the table slide over wider vectors. match_finder.cpp
// chooses among them.
#include "platform/cpu_features.h"

#ifdef GZARC_X86_DISPATCH

#include <immintrin.h>

#include "deflate/match_search.h"

namespace gzarc::deflate {
namespace {

// 16-byte steps: the first difference is the lowest clear bit of the mask
// of equal bytes. From len 8 the last step starts at 248, so the reads end
// where the plain measure's do.
struct Sse2Measure {
  __attribute__((target("sse2"))) static inline uint32_t Length(const uint8_t* a, const uint8_t* b,
                                                                uint32_t len) {
    for (;;) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + len));
      const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + len));
      const auto equal = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, y)));
      if (equal != 0xFFFF) {
        len += static_cast<uint32_t>(std::countr_zero(~equal));
        return len < kMaxMatch ? len : kMaxMatch;
      }
      len += 16;
      if (len >= kMaxMatch) return kMaxMatch;
    }
  }
};

#define GZARC_AVX2_TARGET "avx2,bmi,bmi2"

// 64 bytes a step in two vectors. From len 8 the last step starts at 200.
struct Avx2Measure {
  __attribute__((target(GZARC_AVX2_TARGET))) static inline uint32_t Length(const uint8_t* a,
                                                                           const uint8_t* b,
                                                                           uint32_t len) {
    for (;;) {
      const auto* x = reinterpret_cast<const __m256i*>(a + len);
      const auto* y = reinterpret_cast<const __m256i*>(b + len);
      const auto low = static_cast<uint32_t>(
          _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_loadu_si256(x), _mm256_loadu_si256(y))));
      const auto high = static_cast<uint32_t>(_mm256_movemask_epi8(
          _mm256_cmpeq_epi8(_mm256_loadu_si256(x + 1), _mm256_loadu_si256(y + 1))));
      if constexpr (kWideWords) {
        const uint64_t equal = (static_cast<uint64_t>(high) << 32) | low;
        if (equal != ~uint64_t{0}) {
          len += static_cast<uint32_t>(std::countr_zero(~equal));
          return len < kMaxMatch ? len : kMaxMatch;
        }
      } else {
        // Two 32-bit counts: a 64-bit one would take a register pair.
        if (low != ~0u) {
          len += static_cast<uint32_t>(std::countr_zero(~low));
          return len < kMaxMatch ? len : kMaxMatch;
        }
        if (high != ~0u) {
          len += 32 + static_cast<uint32_t>(std::countr_zero(~high));
          return len < kMaxMatch ? len : kMaxMatch;
        }
      }
      len += 64;
      if (len >= kMaxMatch) return kMaxMatch;
    }
  }
};

__attribute__((target("sse2"))) void DeflateStreamSse2(CompressorState& c) {
  DeflateStreamWith<Sse2Measure>(c);
}

// The same loop built for processors with AVX2 and the BMI instructions:
// wider compares for long matches, and shifts and bit counts without the
// older forms' register constraints.
__attribute__((target(GZARC_AVX2_TARGET))) void DeflateStreamAvx2(CompressorState& c) {
  DeflateStreamWith<Avx2Measure>(c);
}

// The recording builds of both loops.
__attribute__((target("sse2"))) void ParseStreamSse2(CompressorState& c, ParseRecord& r) {
  DeflateStreamWith<Sse2Measure, true>(c, &r);
}

__attribute__((target(GZARC_AVX2_TARGET))) void ParseStreamAvx2(CompressorState& c,
                                                                ParseRecord& r) {
  DeflateStreamWith<Avx2Measure, true>(c, &r);
}

// The tables are 320 KB, slid after every 32 KB of input: the same loops
// over vectors of 128, 256 or 512 bits.
__attribute__((target("sse2"))) void SlideTablesSse2(CompressorState& c) {
  SlideTablesWith(c);
}

__attribute__((target("avx2"))) void SlideTablesAvx2(CompressorState& c) {
  SlideTablesWith(c);
}

// GCC keeps to 256-bit vectors unless told otherwise; clang has no such
// option in the attribute.
#if defined(__clang__)
#define GZARC_SLIDE512_TARGET "avx512f,avx512bw"
#else
#define GZARC_SLIDE512_TARGET "avx512f,avx512bw,prefer-vector-width=512"
#endif
__attribute__((target(GZARC_SLIDE512_TARGET))) void SlideTablesAvx512(CompressorState& c) {
  SlideTablesWith(c);
}

}  // namespace

const MatchKernels kSse2MatchKernels{DeflateStreamSse2, SlideTablesSse2, ParseStreamSse2};
const MatchKernels kAvx2MatchKernels{DeflateStreamAvx2, SlideTablesAvx2, ParseStreamAvx2};
const MatchKernels kAvx512MatchKernels{DeflateStreamAvx2, SlideTablesAvx512, ParseStreamAvx2};

}  // namespace gzarc::deflate

#endif  // GZARC_X86_DISPATCH
