// The one choice of CRC-32 routine for the processor.
#include "gzip/crc32.h"

#include "gzip/crc32_kernels.h"

namespace gzarc {
namespace {

using CrcRoutine = uint32_t (*)(uint32_t crc, const uint8_t* data, std::size_t length);

#ifdef GZARC_X86_DISPATCH
// Each folding takes the runs long enough for it (a few of its steps) and
// leaves shorter ones to the narrower routines.
uint32_t UpdateFrom128(uint32_t crc, const uint8_t* data, std::size_t length) {
  if (length >= 64) return UpdateCrc32Fold128(crc, data, length);
  return UpdateCrc32Sliced(crc, data, length);
}

uint32_t UpdateFrom256(uint32_t crc, const uint8_t* data, std::size_t length) {
  if (length >= 256) return UpdateCrc32Fold256(crc, data, length);
  return UpdateFrom128(crc, data, length);
}

uint32_t UpdateFrom512(uint32_t crc, const uint8_t* data, std::size_t length) {
  if (length >= 512) return UpdateCrc32Fold512(crc, data, length);
  return UpdateFrom256(crc, data, length);
}
#endif

CrcRoutine RoutineOf(CrcVariant variant) {
  switch (variant) {
#ifdef GZARC_X86_DISPATCH
    case CrcVariant::kFold128:
      return UpdateFrom128;
    case CrcVariant::kFold256:
      return UpdateFrom256;
    case CrcVariant::kFold512:
      return UpdateFrom512;
#endif
    default:
      return UpdateCrc32Sliced;
  }
}

CrcRoutine ChooseRoutine() {
  const uint32_t features = platform::CpuFeatures();
  CrcVariant best = CrcVariant::kSliced;
  for (const CrcVariant variant : kCrcVariants) {
    if (CrcVariantRuns(variant, features)) best = variant;
  }
  return RoutineOf(best);
}

}  // namespace

bool CrcVariantRuns(CrcVariant variant, uint32_t features) {
  namespace pf = platform;
  constexpr uint32_t kFold128 = pf::kCpuPclmul | pf::kCpuSse2;
  constexpr uint32_t kFold256 = kFold128 | pf::kCpuVpclmulqdq | pf::kCpuAvx2;
  switch (variant) {
    case CrcVariant::kSliced:
      return true;
#ifdef GZARC_X86_DISPATCH
    case CrcVariant::kFold128:
      return pf::HasCpuFeatures(features, kFold128);
    case CrcVariant::kFold256:
      return pf::HasCpuFeatures(features, kFold256);
    case CrcVariant::kFold512:
      return pf::HasCpuFeatures(features, kFold256 | pf::kCpuAvx512f);
#endif
    default:
      return false;
  }
}

uint32_t UpdateCrc32With(CrcVariant variant, uint32_t crc, const uint8_t* data,
                         std::size_t length) {
  return RoutineOf(variant)(crc, data, length);
}

uint32_t UpdateCrc32(uint32_t crc, const uint8_t* data, std::size_t length) {
  static const CrcRoutine chosen = ChooseRoutine();
  return chosen(crc, data, length);
}

}  // namespace gzarc
