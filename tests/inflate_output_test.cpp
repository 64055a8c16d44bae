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
#include "engine/engine_state.h"
#include "gzarc.h"
#include "inflate/inflate.h"
#include "paths/strings.h"

namespace gzarc {
namespace {

using Bytes = std::vector<uint8_t>;

// What a host sees of one decoding.
struct Seen {
  std::vector<int64_t> progress;  // percent and count of each call, in order
  Bytes output;                   // what the output holds at the end
  uint16_t status = 0;
  bool operator==(const Seen&) const = default;
};

// The failures of one run: the n-th progress call cancels and the n-th read
// fails (0: none); the output stores at most diskSpace bytes, as a full disk
// would.
struct Faults {
  int cancelAt = 0;
  int failRead = 0;
  uint64_t diskSpace = UINT64_MAX;
};

struct Run {
  const Bytes* stream = nullptr;
  std::size_t position = 0;
  Faults faults;
  int reads = 0;
  int calls = 0;
  Seen seen;
};

Run* gRun = nullptr;

int32_t ReadStream(void* context, uint8_t* buffer, uint32_t count) {
  auto* run = static_cast<Run*>(context);
  if (++run->reads == run->faults.failRead) return -1;
  const std::size_t n = std::min<std::size_t>(count, run->stream->size() - run->position);
  std::memcpy(buffer, run->stream->data() + run->position, n);
  run->position += n;
  return static_cast<int32_t>(n);
}

int32_t WriteOutput(void* context, const uint8_t* data, uint32_t count) {
  auto* run = static_cast<Run*>(context);
  Bytes& out = run->seen.output;
  const uint64_t room = run->faults.diskSpace > out.size() ? run->faults.diskSpace - out.size() : 0;
  const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(count, room));
  out.insert(out.end(), data, data + n);
  return n == 0 && count > 0 ? -1 : static_cast<int32_t>(n);
}

bool TruncateOutput(void* context, uint64_t length) {
  static_cast<Run*>(context)->seen.output.resize(length);
  return true;
}

int32_t GZARC_CALL Progress(void*, int32_t percent, int32_t count) {
  gRun->seen.progress.push_back(int64_t{percent} * 1000000 + count);
  return ++gRun->calls == gRun->faults.cancelAt ? 0 : 1;
}

Seen Decode(const Bytes& stream, bool windowAtATime, const Faults& faults, uint32_t total) {
  Run run;
  run.stream = &stream;
  run.faults = faults;
  gRun = &run;
  DecodeOptions options;
  if (windowAtATime) options.windowsPerWrite = 1;
  run.seen.status =
      test::DecodeThrough(stream, DecoderIo{ReadStream, WriteOutput, &run, TruncateOutput},
                          Progress, total, nullptr, options);
  gRun = nullptr;
  return run.seen;
}

// Decodes both ways and compares; returns what the host saw.
Seen ExpectSameSeen(const Bytes& stream, const Faults& faults, uint32_t total,
                    const std::string& what) {
  const Seen single = Decode(stream, true, faults, total);
  const Seen together = Decode(stream, false, faults, total);
  EXPECT_EQ(together.status, single.status) << what;
  EXPECT_TRUE(together.progress == single.progress) << what;
  EXPECT_TRUE(together.output == single.output) << what;
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
    const Bytes data = test::MixedData(1000000 + rng() % 200000, rng);
    const Bytes stream = test::ZlibDeflate(data, shape.level, shape.memLevel, shape.strategy);
    ASSERT_FALSE(stream.empty());
    const uint32_t total = static_cast<uint32_t>(data.size());
    const std::string what = "level " + std::to_string(shape.level) + " memLevel " +
                             std::to_string(shape.memLevel) + " strategy " +
                             std::to_string(shape.strategy);

    const Seen whole = ExpectSameSeen(stream, {}, total, what);
    ASSERT_EQ(whole.status, 0) << what;
    ASSERT_TRUE(whole.output == data) << what;
    const int calls = static_cast<int>(whole.progress.size());

    // A cancel at every progress call for the first shapes, every third
    // for the others.
    const int step = &shape - shapes < 2 ? 1 : 3;
    for (int k = 1; k <= calls; k += step) {
      const Seen cancelled = ExpectSameSeen(stream, {k, 0, UINT64_MAX}, total,
                                            what + " cancel at " + std::to_string(k));
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
      const Seen full =
          ExpectSameSeen(stream, {0, 0, space}, total, what + " disk " + std::to_string(space));
      EXPECT_EQ(full.status, space < data.size() ? GZARC_STATUS_WRITE_SHORT : 0)
          << what << " disk " << space;
    }
    // A failing read, alone and with a cancel or a full disk before it.
    const int reads = static_cast<int>(stream.size() / kInputBufferSize) + 1;
    for (int n = 1; n <= reads; ++n) {
      const std::string at = what + " read " + std::to_string(n);
      ExpectSameSeen(stream, {0, n, UINT64_MAX}, total, at);
      ExpectSameSeen(stream, {1 + static_cast<int>(rng() % calls), n, UINT64_MAX}, total,
                     at + " and a cancel");
      ExpectSameSeen(stream, {0, n, rng() % data.size()}, total, at + " and a full disk");
    }
    // A cancel on a disk that fills up after it.
    for (int i = 0; i < 20; ++i) {
      const int k = 1 + static_cast<int>(rng() % calls);
      const uint64_t space =
          static_cast<uint64_t>(k) * kDecodeWindowSize + rng() % (4 * kDecodeWindowSize);
      ExpectSameSeen(stream, {k, 0, space}, total,
                     what + " cancel at " + std::to_string(k) + " disk " + std::to_string(space));
    }
  }
}

// Damaged streams: whatever the damage, the windows before it are flushed
// and reported the same way.
TEST(InflateOutput, DamageLooksTheSameEitherWay) {
  std::mt19937 rng(78);
  const Bytes data = test::MixedData(1200000, rng);
  const Bytes stream = test::ZlibDeflate(data, 2, 2, Z_DEFAULT_STRATEGY);
  const uint32_t total = static_cast<uint32_t>(data.size());
  for (int round = 0; round < 60; ++round) {
    Bytes damaged = stream;
    damaged[rng() % damaged.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
    const std::string what = "round " + std::to_string(round);
    const Seen seen = ExpectSameSeen(damaged, {}, total, what);
    const int calls = static_cast<int>(seen.progress.size());
    if (calls > 0) {
      ExpectSameSeen(damaged, {1 + static_cast<int>(rng() % calls), 0, UINT64_MAX}, total,
                     what + " and a cancel");
    }
    const Bytes cut(stream.begin(),
                    stream.begin() + static_cast<std::ptrdiff_t>(rng() % stream.size()));
    ExpectSameSeen(cut, {}, total, what + " cut");
  }
}
#endif

}  // namespace
}  // namespace gzarc
