// Compression on several threads against one: on inputs made to keep the
// parts' parses from meeting, the stream and every report to the host must
// be the same, and a cancel must end it as on one thread.
#include "deflate/parallel_compression.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "decoder_harness.h"
#include "deflate/compressor.h"

namespace gzarc::deflate {
namespace {

using test::Bytes;

struct Outcome {
  const Bytes* input;
  std::size_t position = 0;
  int cancelAt = 0;
  std::vector<int64_t> reports;  // asked and got of each report, in order
  Bytes output;
};

int32_t Read(void* context, uint8_t* destination, uint32_t count) {
  Outcome& r = *static_cast<Outcome*>(context);
  const std::size_t n = std::min<std::size_t>(count, r.input->size() - r.position);
  std::memcpy(destination, r.input->data() + r.position, n);
  r.position += n;
  return static_cast<int32_t>(n);
}

bool Report(void* context, uint32_t asked, uint32_t got) {
  Outcome& r = *static_cast<Outcome*>(context);
  r.reports.push_back(int64_t{asked} << 32 | got);
  return static_cast<int>(r.reports.size()) != r.cancelAt;
}

int32_t Write(void* context, const uint8_t* data, uint32_t count) {
  Bytes& out = static_cast<Outcome*>(context)->output;
  out.insert(out.end(), data, data + count);
  return static_cast<int32_t>(count);
}

// One compression; threads 1 is the one-thread path.
Outcome Compress(const Bytes& input, unsigned threads, uint64_t part, int cancelAt = 0) {
  Outcome run{&input, 0, 0, {}, {}};
  run.cancelAt = cancelAt;
  static CompressorState* const state = new CompressorState;
  const ReportedSource source{Read, Report, &run};
  const CompressSink sink{Write, &run};
  CompressOutcome outcome;
  if (threads == 1) {
    const CompressSource serial{[](void* c, uint8_t* d, uint32_t n) -> SourceRead {
                                  const int32_t got = Read(c, d, n);
                                  const bool goOn = Report(c, n, static_cast<uint32_t>(got));
                                  return {static_cast<uint32_t>(got),
                                          goOn ? CompressOutcome::kOk : CompressOutcome::kStopped};
                                },
                                &run};
    outcome = CompressStream(*state, serial, sink);
  } else {
    outcome = CompressInParallel(*state, source, sink, threads, DefaultMatchVariant(), input.size(),
                                 part);
  }
  if (outcome != CompressOutcome::kOk) run.output.assign(1, static_cast<uint8_t>(outcome));
  return run;
}

void ExpectSame(const Bytes& input, const std::string& what) {
  const Outcome one = Compress(input, 1, 0);
  ASSERT_GT(one.output.size(), 1u) << what;
  for (const unsigned threads : {2u, 3u, 5u}) {
    for (const uint64_t part : {uint64_t{64} << 10, uint64_t{200} << 10}) {
      const Outcome many = Compress(input, threads, part);
      EXPECT_TRUE(many.output == one.output)
          << what << ", " << threads << " threads, parts of " << part;
      EXPECT_TRUE(many.reports == one.reports) << what << ", " << threads << " threads";
    }
  }
  const test::MemberCheck check = test::CheckOf(input);
  const test::HostView decoded = test::DecodeAsHost(one.output, {}, &check);
  EXPECT_EQ(decoded.status, 0) << what;
  EXPECT_TRUE(decoded.output == input) << what;
}

// Noise of period bytes over and over.
Bytes Periodic(std::size_t size, std::size_t period, uint64_t seed) {
  const Bytes unit = test::MakeInput(test::InputKind::kNoise, period, seed);
  Bytes out(size);
  for (std::size_t i = 0; i < size; ++i) out[i] = unit[i % period];
  return out;
}

TEST(ParallelCompression, HardToJoinInputsGiveTheSameStream) {
  std::mt19937 rng(15);
  constexpr std::size_t kSize = 3 << 20;
  struct Input {
    std::string what;
    Bytes data;
  };
  std::vector<Input> inputs;
  inputs.push_back({"one byte repeated", Bytes(kSize, 'a')});
  for (const std::size_t period : {2, 3, 7, 258, 259, 32506, 32507}) {
    inputs.push_back({"period " + std::to_string(period), Periodic(kSize, period, 3)});
  }
  Bytes mixed;
  while (mixed.size() < kSize) {
    const Bytes noise = test::MakeInput(test::InputKind::kNoise, 50000 + rng() % 200000, rng());
    mixed.insert(mixed.end(), noise.begin(), noise.end());
    const Bytes run = Periodic(50000 + rng() % 300000, 1 + rng() % 300, rng());
    mixed.insert(mixed.end(), run.begin(), run.end());
  }
  inputs.push_back({"noise between repetitions", mixed});
  inputs.push_back({"text", test::MakeInput(test::InputKind::kEchoes, 4 << 20, rng())});
  const Bytes text =
      test::MakeInput(test::InputKind::kEchoes, kParallelCompressionMinimum + 1, rng());
  for (const int d : {-1, 0, 1}) {
    inputs.push_back({"threshold " + std::to_string(d),
                      Bytes(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(
                                                             kParallelCompressionMinimum + d))});
  }
  for (const Input& input : inputs) ExpectSame(input.data, input.what);
}

TEST(ParallelCompression, ACancelEndsItAsOnOneThread) {
  std::mt19937 rng(16);
  const Bytes text = test::MakeInput(test::InputKind::kEchoes, 3 << 20, rng());
  for (const int cancelAt : {1, 2, 17, 60, 95}) {
    const Outcome one = Compress(text, 1, 0, cancelAt);
    const Outcome many = Compress(text, 3, 64 << 10, cancelAt);
    EXPECT_EQ(many.output, one.output) << "cancel at " << cancelAt;
    // The reports may stop sooner, never differ.
    ASSERT_LE(many.reports.size(), one.reports.size());
    EXPECT_TRUE(std::equal(many.reports.begin(), many.reports.end(), one.reports.begin()));
  }
}

}  // namespace
}  // namespace gzarc::deflate
