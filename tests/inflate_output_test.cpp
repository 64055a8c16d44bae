// The decoder writes its full windows together and replays their progress
// calls afterwards. A host must not be able to tell: against a decoder that
// writes each window as it fills, the progress calls, the status and the
// bytes the output holds must be the same, whatever block the host cancels
// in, wherever the disk fills up and whichever read fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "decoder_harness.h"
#include "deflate_oracle.h"
#include "gzarc.h"

namespace gzarc::test {
namespace {

// Decodes with each window written as it fills and with full windows
// written together, and compares what the host sees; returns the first.
HostView ExpectSameSeen(const Bytes& stream, const HostFaults& faults, uint32_t total,
                        const std::string& what) {
  const HostView single = DecodeAsHost(stream, faults, nullptr, total, {.windowsPerWrite = 1});
  const HostView together = DecodeAsHost(stream, faults, nullptr, total);
  EXPECT_EQ(together.status, single.status) << what;
  EXPECT_TRUE(together.SameOutcome(single)) << what;
  return single;
}

#if defined(GZARC_HAVE_ZLIB)
TEST(InflateOutput, WindowsWrittenTogetherLookWrittenOneByOne) {
  std::mt19937 rng(77);
  // Long enough to fill the decode buffer a few times; small memory levels
  // give many short blocks, level 0 stored ones.
  struct Shape {
    int level, memLevel, strategy;
  };
  const Shape shapes[] = {{6, 8, Z_DEFAULT_STRATEGY}, {1, 1, Z_DEFAULT_STRATEGY},
                          {0, 2, Z_DEFAULT_STRATEGY}, {4, 2, Z_FIXED},
                          {9, 9, Z_HUFFMAN_ONLY},     {3, 1, Z_RLE}};
  for (const Shape& shape : shapes) {
    const Bytes data = MakeInput(InputKind::kEchoes, 1000000 + rng() % 200000, rng());
    const Bytes stream = ZlibDeflate(data, shape.level, shape.memLevel, shape.strategy);
    ASSERT_FALSE(stream.empty());
    const uint32_t total = static_cast<uint32_t>(data.size());
    const std::string what = "level " + std::to_string(shape.level) + " memLevel " +
                             std::to_string(shape.memLevel) + " strategy " +
                             std::to_string(shape.strategy);

    const HostView whole = ExpectSameSeen(stream, {}, total, what);
    ASSERT_EQ(whole.status, 0) << what;
    ASSERT_TRUE(whole.output == data) << what;
    const auto calls = static_cast<int>(whole.Of(HostEvent::kProgress).size());

    // A cancel at every progress call for the first shapes, every third
    // for the others.
    const int step = &shape - shapes < 2 ? 1 : 3;
    for (int k = 1; k <= calls; k += step) {
      const HostView cancelled =
          ExpectSameSeen(stream, {.cancelAt = k}, total, what + " cancel at " + std::to_string(k));
      EXPECT_EQ(cancelled.status, GZARC_STATUS_CANCELLED) << what << " cancel at " << k;
    }
    // A disk that fills up at window boundaries, just around them and
    // anywhere, and at the end of the output.
    std::vector<uint64_t> spaces = {0, 1, data.size() - 1, data.size()};
    for (uint64_t w = kDecodeWindowSize; w < data.size();
         w += kDecodeWindowSize * (2 + rng() % 6)) {
      spaces.insert(spaces.end(), {w - 1, w, w + 1});
    }
    for (int i = 0; i < 20; ++i) spaces.push_back(rng() % data.size());
    for (const uint64_t space : spaces) {
      const HostView full = ExpectSameSeen(stream, {.diskSpace = space}, total,
                                           what + " disk " + std::to_string(space));
      EXPECT_EQ(full.status, space < data.size() ? GZARC_STATUS_WRITE_SHORT : 0)
          << what << " disk " << space;
    }
    // A failing read, alone and with a cancel or a full disk before it.
    const int reads = static_cast<int>(stream.size() / kInputBufferSize) + 1;
    for (int n = 1; n <= reads; ++n) {
      const std::string at = what + " read " + std::to_string(n);
      ExpectSameSeen(stream, {.failRead = n}, total, at);
      ExpectSameSeen(stream, {.failRead = n, .cancelAt = 1 + static_cast<int>(rng() % calls)},
                     total, at + " and a cancel");
      ExpectSameSeen(stream, {.failRead = n, .diskSpace = rng() % data.size()}, total,
                     at + " and a full disk");
    }
    // A cancel on a disk that fills up after it.
    for (int i = 0; i < 20; ++i) {
      const int k = 1 + static_cast<int>(rng() % calls);
      const uint64_t space =
          static_cast<uint64_t>(k) * kDecodeWindowSize + rng() % (4 * kDecodeWindowSize);
      ExpectSameSeen(stream, {.cancelAt = k, .diskSpace = space}, total,
                     what + " cancel at " + std::to_string(k) + " disk " + std::to_string(space));
    }
  }
}

// Damaged streams: whatever the damage, the windows before it are flushed
// and reported the same way.
TEST(InflateOutput, DamageLooksTheSameEitherWay) {
  std::mt19937 rng(78);
  const Bytes data = MakeInput(InputKind::kEchoes, 1200000, rng());
  const Bytes stream = ZlibDeflate(data, 2, 2, Z_DEFAULT_STRATEGY);
  const uint32_t total = static_cast<uint32_t>(data.size());
  for (int round = 0; round < 60; ++round) {
    Bytes damaged = stream;
    damaged[rng() % damaged.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
    const std::string what = "round " + std::to_string(round);
    const HostView seen = ExpectSameSeen(damaged, {}, total, what);
    const auto calls = static_cast<int>(seen.Of(HostEvent::kProgress).size());
    if (calls > 0) {
      ExpectSameSeen(damaged, {.cancelAt = 1 + static_cast<int>(rng() % calls)}, total,
                     what + " and a cancel");
    }
    const Bytes cut(stream.begin(),
                    stream.begin() + static_cast<std::ptrdiff_t>(rng() % stream.size()));
    ExpectSameSeen(cut, {}, total, what + " cut");
  }
}
#endif

}  // namespace
}  // namespace gzarc::test
