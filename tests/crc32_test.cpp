// Every CRC-32 routine the processor runs against the definition.
#include "gzip/crc32.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "platform/cpu_features.h"
#include "test_data.h"

namespace {

using gzarc::CrcVariant;
using gzarc::kCrcStart;
using gzarc::test::ReferenceCrcUpdate;

std::vector<CrcVariant> RunningVariants() {
  std::vector<CrcVariant> running;
  for (const CrcVariant v : gzarc::kCrcVariants) {
    if (gzarc::CrcVariantRuns(v, gzarc::platform::CpuFeatures())) running.push_back(v);
  }
  return running;
}

TEST(Crc32, KnownValues) {
  const auto* check = reinterpret_cast<const uint8_t*>("123456789");
  const std::vector<uint8_t> zeros(600, 0), ones(600, 0xFF);
  for (const CrcVariant v : RunningVariants()) {
    const auto finished = [&](const std::vector<uint8_t>& bytes, std::size_t n) {
      return ~gzarc::UpdateCrc32With(v, kCrcStart, bytes.data(), n);
    };
    const int build = static_cast<int>(v);
    EXPECT_EQ(~gzarc::UpdateCrc32With(v, kCrcStart, check, 9), 0xCBF43926u) << build;
    EXPECT_EQ(gzarc::UpdateCrc32With(v, kCrcStart, nullptr, 0), kCrcStart) << build;
    EXPECT_EQ(finished(zeros, 32), 0x190A55ADu) << build;
    EXPECT_EQ(finished(ones, 32), 0xFF6CAB0Bu) << build;
    EXPECT_EQ(finished(zeros, 600), ~ReferenceCrcUpdate(kCrcStart, zeros.data(), 600)) << build;
  }
  EXPECT_EQ(~gzarc::UpdateCrc32(kCrcStart, check, 9), 0xCBF43926u);
}

// Every length up to several steps of the widest folding (and so across the
// length at which each routine hands over to the next), at every alignment
// of a 16-byte block, with a register that is not the start value.
TEST(Crc32, MatchesBytewiseDefinitionAtEveryLengthAndAlignment) {
  std::mt19937 random(7);
  const auto data = gzarc::test::MakeInput(gzarc::test::InputKind::kNoise, 1200, 7);
  for (const CrcVariant v : RunningVariants()) {
    const auto check = [&](std::size_t offset, std::size_t length) {
      const uint32_t start = static_cast<uint32_t>(random());
      ASSERT_EQ(gzarc::UpdateCrc32With(v, start, data.data() + offset, length),
                ReferenceCrcUpdate(start, data.data() + offset, length))
          << "build " << static_cast<int>(v) << " offset " << offset << " length " << length;
    };
    for (std::size_t offset = 0; offset < 16; ++offset) {
      for (std::size_t length = 0; offset + length <= 120; ++length) check(offset, length);
    }
    for (std::size_t length = 121; length <= 1100; ++length) check(random() % 64, length);
  }
}

// Feeding a buffer in pieces of any size gives the CRC of the whole, and
// long runs at any offset agree with the table routine.
TEST(Crc32, PiecewiseEqualsWhole) {
  std::mt19937 random(11);
  const auto data = gzarc::test::MakeInput(gzarc::test::InputKind::kNoise, 100000, 11);
  const uint32_t whole = ReferenceCrcUpdate(kCrcStart, data.data(), data.size());
  for (const CrcVariant v : RunningVariants()) {
    const int build = static_cast<int>(v);
    EXPECT_EQ(gzarc::UpdateCrc32With(v, kCrcStart, data.data(), data.size()), whole) << build;
    uint32_t crc = kCrcStart;
    std::size_t done = 0;
    while (done < data.size()) {
      const std::size_t piece = std::min<std::size_t>(random() % 1500, data.size() - done);
      crc = gzarc::UpdateCrc32With(v, crc, data.data() + done, piece);
      done += piece;
    }
    EXPECT_EQ(crc, whole) << build;
    for (int round = 0; round < 50; ++round) {
      const std::size_t offset = random() % 64;
      const std::size_t length = random() % (data.size() - offset);
      const uint32_t start = static_cast<uint32_t>(random());
      ASSERT_EQ(gzarc::UpdateCrc32With(v, start, data.data() + offset, length),
                gzarc::UpdateCrc32With(CrcVariant::kSliced, start, data.data() + offset, length))
          << "build " << build << " offset " << offset << " length " << length;
    }
  }
}

}  // namespace
