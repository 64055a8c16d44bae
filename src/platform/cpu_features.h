// What the processor can do beyond the baseline the engine is built for.
//
// Hot routines come in a plain, portable build and in builds for processor
// extensions; each codec picks its builds once from this set. Only x86 (32-
// and 64-bit alike) has extension builds; elsewhere the set is empty.
#pragma once

#include <cstdint>

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
// Extension builds are compiled (as target attributes) and dispatched to.
#define GZARC_X86_DISPATCH 1
#endif

namespace gzarc::platform {

// Feature bits.
inline constexpr uint32_t kCpuSse2 = 1u << 0;
inline constexpr uint32_t kCpuPclmul = 1u << 1;
inline constexpr uint32_t kCpuAvx2 = 1u << 2;
inline constexpr uint32_t kCpuBmi = 1u << 3;
inline constexpr uint32_t kCpuBmi2 = 1u << 4;
inline constexpr uint32_t kCpuAvx512f = 1u << 5;
inline constexpr uint32_t kCpuAvx512bw = 1u << 6;
inline constexpr uint32_t kCpuVpclmulqdq = 1u << 7;

// The features of the processor the engine runs on, found once.
uint32_t CpuFeatures();

inline bool HasCpuFeatures(uint32_t features, uint32_t wanted) {
  return (features & wanted) == wanted;
}

}  // namespace gzarc::platform
