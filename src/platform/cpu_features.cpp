#include "platform/cpu_features.h"

namespace gzarc::platform {

uint32_t CpuFeatures() {
#ifdef GZARC_X86_DISPATCH
  static const uint32_t features = [] {
    __builtin_cpu_init();
    uint32_t found = 0;
    // __builtin_cpu_supports takes a literal only, hence one call per name.
    found |= __builtin_cpu_supports("sse2") ? kCpuSse2 : 0;
    found |= __builtin_cpu_supports("pclmul") ? kCpuPclmul : 0;
    found |= __builtin_cpu_supports("avx2") ? kCpuAvx2 : 0;
    found |= __builtin_cpu_supports("bmi") ? kCpuBmi : 0;
    found |= __builtin_cpu_supports("bmi2") ? kCpuBmi2 : 0;
    found |= __builtin_cpu_supports("avx512f") ? kCpuAvx512f : 0;
    found |= __builtin_cpu_supports("avx512bw") ? kCpuAvx512bw : 0;
    found |= __builtin_cpu_supports("vpclmulqdq") ? kCpuVpclmulqdq : 0;
    return found;
  }();
  return features;
#else
  return 0;
#endif
}

}  // namespace gzarc::platform
