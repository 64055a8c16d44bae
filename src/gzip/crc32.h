// CRC-32 of RFC 1952 (reflected polynomial 0xEDB88320). The register starts
// at 0xFFFFFFFF for each file and the trailer holds its complement; these
// routines only advance the register.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace gzarc {

inline constexpr uint32_t kCrcStart = 0xFFFFFFFFu;

// Advances the register with the fastest routine this processor runs.
uint32_t UpdateCrc32(uint32_t crc, const uint8_t* data, std::size_t length);

// The routines: the portable table routine (sixteen lookups per 16 bytes),
// and the carry-less multiply foldings of 128, 256 and 512 bits a step,
// each of which leaves runs too short for it to the narrower ones.
enum class CrcVariant : uint8_t { kSliced, kFold128, kFold256, kFold512 };
inline constexpr std::array<CrcVariant, 4> kCrcVariants = {
    CrcVariant::kSliced, CrcVariant::kFold128, CrcVariant::kFold256, CrcVariant::kFold512};

// Whether a processor with these features (platform::CpuFeatures() bits)
// runs the variant.
bool CrcVariantRuns(CrcVariant variant, uint32_t features);
// Advances the register with the given routine.
uint32_t UpdateCrc32With(CrcVariant variant, uint32_t crc, const uint8_t* data, std::size_t length);

}  // namespace gzarc
