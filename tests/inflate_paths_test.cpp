// The decoder's fast path against its plain path: on valid, damaged and cut
// streams, and with reads, writes and the host failing at every turn, both
// must give the same bytes, the same status and the same sequence of reads,
// writes and progress calls.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/engine_state.h"
#include "gzarc.h"
#include "gzip/crc32.h"
#include "inflate/inflate.h"
#include "paths/strings.h"

#if defined(GZARC_HAVE_ZLIB)
#include <zlib.h>
#endif

namespace gzarc {
namespace {

using Bytes = std::vector<uint8_t>;

// What a host and the file system see of one decoding.
struct Trace {
  std::vector<int64_t> events;  // reads, writes and progress calls in order
  Bytes output;
  uint16_t status = 0;
  bool operator==(const Trace&) const = default;
};

enum Event : int64_t { kRead = 1, kWrite = 2, kProgress = 3 };

// The failures a run injects: the n-th read or write fails, the n-th
// progress call cancels (0: none).
struct Faults {
  int failRead = 0;
  int failWrite = 0;
  int cancelAt = 0;
};

struct Run {
  const Bytes* stream = nullptr;
  std::size_t position = 0;
  Faults faults;
  int reads = 0, writes = 0, calls = 0;
  Trace trace;
};

Run* gRun = nullptr;

int32_t ReadStream(void* context, uint8_t* buffer, uint32_t count) {
  auto* run = static_cast<Run*>(context);
  run->trace.events.push_back(kRead * 1000000 + count);
  if (++run->reads == run->faults.failRead) return -1;
  const std::size_t n = std::min<std::size_t>(count, run->stream->size() - run->position);
  std::memcpy(buffer, run->stream->data() + run->position, n);
  run->position += n;
  return static_cast<int32_t>(n);
}

int32_t WriteOutput(void* context, const uint8_t* data, uint32_t count) {
  auto* run = static_cast<Run*>(context);
  run->trace.events.push_back(kWrite * 1000000 + count);
  if (++run->writes == run->faults.failWrite) return -1;
  run->trace.output.insert(run->trace.output.end(), data, data + count);
  return static_cast<int32_t>(count);
}

int32_t GZARC_CALL Progress(void*, int32_t percent, int32_t count) {
  gRun->trace.events.push_back(kProgress * 1000000000LL + percent * 100000LL + count);
  return ++gRun->calls == gRun->faults.cancelAt ? 0 : 1;
}

Trace Decode(const Bytes& stream, bool plain, const Faults& faults, const MemberCheck* check,
             uint32_t total) {
  Run run;
  run.stream = &stream;
  run.faults = faults;
  gRun = &run;
  DecoderState& d = Decoder();
  const DecoderIo saved = d.io;
  uint8_t* buffer = nullptr;
  EXPECT_TRUE(AllocBlock(&buffer, kInputBufferSize));
  d.InputBuffer = buffer;
  d.io = DecoderIo{ReadStream, WriteOutput, &run};
  d.plainOnly = plain;
  SetSetProgressProc(nullptr, Progress);
  SetStatus(GZARC_STATUS_OK);
  StartMember(static_cast<uint32_t>(stream.size()), total, check);
  DecodeMember();
  run.trace.status = Status();
  SetSetProgressProc(nullptr, nullptr);
  d.plainOnly = false;
  d.io = saved;
  d.InputBuffer = nullptr;
  FreeBlock(&buffer);
  gRun = nullptr;
  return run.trace;
}

// Decodes with both paths and compares everything; returns the plain trace.
Trace ExpectSamePaths(const Bytes& stream, const Faults& faults, const MemberCheck* check,
                      uint32_t total, const std::string& what) {
  const Trace plain = Decode(stream, true, faults, check, total);
  const Trace fast = Decode(stream, false, faults, check, total);
  EXPECT_EQ(fast.status, plain.status) << what;
  EXPECT_TRUE(fast.output == plain.output) << what;
  EXPECT_TRUE(fast.events == plain.events) << what;
  return plain;
}

// Data that gives every kind of match: text, runs, short periods, noise and
// copies from far back.
Bytes MixedData(std::size_t n, std::mt19937& rng) {
  Bytes b;
  static const char* words[] = {"alpha ", "beta ", "gamma\n", "delta, ", "{ x = 1; }\n"};
  while (b.size() < n) {
    switch (rng() % 6) {
      case 0:
        for (int i = rng() % 20; i >= 0; --i) {
          const char* w = words[rng() % 5];
          b.insert(b.end(), w, w + std::strlen(w));
        }
        break;
      case 1:
        b.insert(b.end(), 1 + rng() % 3000, static_cast<uint8_t>(rng()));
        break;
      case 2: {
        const std::size_t period = 2 + rng() % 14;
        Bytes unit(period);
        for (auto& c : unit) c = static_cast<uint8_t>(rng());
        for (unsigned i = rng() % 400; i > 0; --i) b.insert(b.end(), unit.begin(), unit.end());
        break;
      }
      case 3:
        for (unsigned i = rng() % 300; i > 0; --i) b.push_back(static_cast<uint8_t>(rng()));
        break;
      default:
        if (b.size() > 1000) {
          const std::size_t back = 1 + rng() % std::min<std::size_t>(b.size(), 32768);
          const std::size_t length = std::min<std::size_t>(back, 3 + rng() % 1000);
          const std::size_t from = b.size() - back;
          for (std::size_t i = 0; i < length; ++i) b.push_back(b[from + i]);
        }
        break;
    }
  }
  b.resize(n);
  return b;
}

#if defined(GZARC_HAVE_ZLIB)
Bytes ZlibDeflate(const Bytes& input, int level, int memLevel, int strategy) {
  z_stream s{};
  if (deflateInit2(&s, level, Z_DEFLATED, -15, memLevel, strategy) != Z_OK) return {};
  Bytes out(deflateBound(&s, input.size()) + 64);
  s.next_in = const_cast<Bytef*>(input.data());
  s.avail_in = static_cast<uInt>(input.size());
  s.next_out = out.data();
  s.avail_out = static_cast<uInt>(out.size());
  const int result = ::deflate(&s, Z_FINISH);
  out.resize(result == Z_STREAM_END ? s.total_out : 0);
  deflateEnd(&s);
  return out;
}

TEST(InflatePaths, FastAndPlainAgreeOnValidDamagedAndCutStreams) {
  std::mt19937 rng(2024);
  const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
  for (int round = 0; round < 30; ++round) {
    const std::size_t size = round < 5 ? rng() % 2000 : 1000 + rng() % 200000;
    const Bytes data = MixedData(size, rng);
    const int level = static_cast<int>(rng() % 10);
    const int memLevel = 1 + static_cast<int>(rng() % 9);
    const int strategy = strategies[rng() % 5];
    const Bytes stream = ZlibDeflate(data, level, memLevel, strategy);
    ASSERT_FALSE(stream.empty());
    const MemberCheck check{UpdateCrc32(kCrcStart, data.data(), data.size()) ^ 0xFFFFFFFFu,
                            static_cast<uint32_t>(data.size())};
    const uint32_t total = static_cast<uint32_t>(data.size());
    const std::string what = "round " + std::to_string(round) + " level " + std::to_string(level) +
                             " strategy " + std::to_string(strategy);

    const Trace whole = ExpectSamePaths(stream, {}, &check, total, what);
    EXPECT_EQ(whole.status, 0) << what;
    EXPECT_TRUE(whole.output == data) << what;
    const int reads = static_cast<int>(std::count_if(
        whole.events.begin(), whole.events.end(), [](int64_t e) { return e / 1000000 == kRead; }));
    const int writes = static_cast<int>(std::count_if(
        whole.events.begin(), whole.events.end(), [](int64_t e) { return e / 1000000 == kWrite; }));

    for (int variant = 0; variant < 12; ++variant) {
      // Cut short.
      Bytes cut(stream.begin(),
                stream.begin() + static_cast<std::ptrdiff_t>(rng() % stream.size()));
      ExpectSamePaths(cut, {}, &check, total, what + " cut " + std::to_string(cut.size()));
      // A few bits flipped.
      Bytes damaged = stream;
      for (int flips = 1 + static_cast<int>(rng() % 3); flips > 0; --flips) {
        damaged[rng() % damaged.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
      }
      ExpectSamePaths(damaged, {}, nullptr, total, what + " damaged");
      // Garbage spliced in.
      Bytes spliced = stream;
      const std::size_t at = rng() % spliced.size();
      for (std::size_t i = at; i < std::min(spliced.size(), at + 1 + rng() % 64); ++i) {
        spliced[i] = static_cast<uint8_t>(rng());
      }
      ExpectSamePaths(spliced, {}, nullptr, total, what + " spliced");
      // A failing read, write or a cancel anywhere.
      ExpectSamePaths(stream, {1 + static_cast<int>(rng() % reads), 0, 0}, &check, total,
                      what + " read fails");
      ExpectSamePaths(stream, {0, 1 + static_cast<int>(rng() % writes), 0}, &check, total,
                      what + " write fails");
      ExpectSamePaths(stream, {0, 0, 1 + static_cast<int>(rng() % writes)}, &check, total,
                      what + " cancel");
    }
  }
}
#endif

// Random bytes are mostly invalid streams, some of them long-lived ones
// (fixed and dynamic blocks that decode for a while before they fail).
TEST(InflatePaths, FastAndPlainAgreeOnRandomBytes) {
  std::mt19937 rng(77);
  for (int round = 0; round < 3000; ++round) {
    Bytes stream(1 + rng() % (round % 10 == 0 ? 20000 : 300));
    for (auto& c : stream) c = static_cast<uint8_t>(rng());
    // Steer the first block header towards fixed and dynamic blocks.
    stream[0] = static_cast<uint8_t>((stream[0] & ~6u) | ((1 + rng() % 2) << 1));
    ExpectSamePaths(stream, {}, nullptr, 0, "round " + std::to_string(round));
  }
}

}  // namespace
}  // namespace gzarc
