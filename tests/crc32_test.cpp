// The fast CRC-32 against the one-byte-per-step definition.
#include "gzip/crc32.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

using gzarc::kCrcStart;
using gzarc::UpdateCrc32;

uint32_t ReferenceCrc(uint32_t crc, const uint8_t* data, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k) crc = (crc & 1) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
  }
  return crc;
}

uint32_t Finished(const std::vector<uint8_t>& bytes) {
  return ~UpdateCrc32(kCrcStart, bytes.data(), bytes.size());
}

TEST(Crc32, KnownValues) {
  const char* check = "123456789";
  EXPECT_EQ(~UpdateCrc32(kCrcStart, reinterpret_cast<const uint8_t*>(check), 9), 0xCBF43926u);
  EXPECT_EQ(UpdateCrc32(kCrcStart, nullptr, 0), kCrcStart);
  EXPECT_EQ(Finished({}), 0u);
  EXPECT_EQ(Finished(std::vector<uint8_t>(32, 0)), 0x190A55ADu);
  EXPECT_EQ(Finished(std::vector<uint8_t>(32, 0xFF)), 0xFF6CAB0Bu);
}

// Every length up to several slices, at every alignment, with a register that
// is not the start value: the sliced loop and the tail must agree bytewise.
TEST(Crc32, MatchesBytewiseDefinitionAtEveryLengthAndAlignment) {
  std::mt19937 random(7);
  std::vector<uint8_t> data(200);
  for (auto& b : data) b = static_cast<uint8_t>(random());
  for (std::size_t offset = 0; offset < 16; ++offset) {
    for (std::size_t length = 0; offset + length <= 120; ++length) {
      const uint32_t start = static_cast<uint32_t>(random());
      ASSERT_EQ(UpdateCrc32(start, data.data() + offset, length),
                ReferenceCrc(start, data.data() + offset, length))
          << "offset " << offset << " length " << length;
    }
  }
}

// Feeding a buffer in pieces of any size gives the CRC of the whole.
TEST(Crc32, PiecewiseEqualsWhole) {
  std::mt19937 random(11);
  std::vector<uint8_t> data(100000);
  for (auto& b : data) b = static_cast<uint8_t>(random());
  const uint32_t whole = UpdateCrc32(kCrcStart, data.data(), data.size());
  EXPECT_EQ(whole, ReferenceCrc(kCrcStart, data.data(), data.size()));
  uint32_t crc = kCrcStart;
  std::size_t done = 0;
  while (done < data.size()) {
    const std::size_t piece = std::min<std::size_t>(random() % 70, data.size() - done);
    crc = UpdateCrc32(crc, data.data() + done, piece);
    done += piece;
  }
  EXPECT_EQ(crc, whole);
}

// Long runs take the carry-less multiply path where the processor has one:
// it must agree with the table routine at every length and alignment around
// its block sizes.
TEST(Crc32, FoldingAgreesWithTheTables) {
  std::mt19937 random(13);
  std::vector<uint8_t> data(70000);
  for (auto& b : data) b = static_cast<uint8_t>(random());
  for (std::size_t length = 60; length <= 700; ++length) {
    const std::size_t offset = random() % 16;
    const uint32_t start = static_cast<uint32_t>(random());
    ASSERT_EQ(UpdateCrc32(start, data.data() + offset, length),
              ReferenceCrc(start, data.data() + offset, length))
        << "offset " << offset << " length " << length;
  }
  for (int round = 0; round < 50; ++round) {
    const std::size_t offset = random() % 64;
    const std::size_t length = random() % (data.size() - offset);
    const uint32_t start = static_cast<uint32_t>(random());
    ASSERT_EQ(UpdateCrc32(start, data.data() + offset, length),
              gzarc::UpdateCrc32Sliced(start, data.data() + offset, length))
        << "offset " << offset << " length " << length;
  }
  EXPECT_EQ(~UpdateCrc32(kCrcStart, data.data(), 32768),
            ~ReferenceCrc(kCrcStart, data.data(), 32768));
}

}  // namespace
