// The match finder's plain build, the window's upkeep, and the one choice of
// build for the processor.
#include "deflate/match_finder.h"

#include <cstring>

#include "deflate/match_search.h"

namespace gzarc::deflate {

namespace {

void DeflateStreamPlain(CompressorState& c) {
  DeflateStreamWith<ScalarMeasure>(c);
}

void SlideTablesPlain(CompressorState& c) {
  SlideTablesWith(c);
}

void ParseStreamPlain(CompressorState& c, ParseRecord& r) {
  DeflateStreamWith<ScalarMeasure, true>(c, &r);
}

constexpr MatchKernels kPlainMatchKernels{DeflateStreamPlain, SlideTablesPlain, ParseStreamPlain};

void SlideWindow(CompressorState& c) {
  std::memcpy(&c.Window[0], &c.Window[kWindowHalf], kWindowHalf);
  c.MatchStart -= kWindowHalf;
  c.StrStart -= kWindowHalf;
  c.BlockStart -= static_cast<int32_t>(kWindowHalf);
  // Positions in the discarded half become "none".
  c.Kernels->slideTables(c);
}

}  // namespace

bool MatchVariantRuns(MatchVariant variant, uint32_t features) {
  namespace pf = platform;
  switch (variant) {
    case MatchVariant::kPlain:
      return true;
#ifdef GZARC_X86_DISPATCH
    case MatchVariant::kSse2:
      return pf::HasCpuFeatures(features, pf::kCpuSse2);
    case MatchVariant::kAvx2:
      return pf::HasCpuFeatures(features, pf::kCpuAvx2 | pf::kCpuBmi | pf::kCpuBmi2);
    case MatchVariant::kAvx512:
      return pf::HasCpuFeatures(
          features, pf::kCpuAvx2 | pf::kCpuBmi | pf::kCpuBmi2 | pf::kCpuAvx512f | pf::kCpuAvx512bw);
#endif
    default:
      return false;
  }
}

MatchVariant BestMatchVariant(uint32_t features) {
  MatchVariant best = MatchVariant::kPlain;
  for (const MatchVariant variant : kMatchVariants) {
    if (MatchVariantRuns(variant, features)) best = variant;
  }
  return best;
}

MatchVariant DefaultMatchVariant() {
  static const MatchVariant chosen = BestMatchVariant(platform::CpuFeatures());
  return chosen;
}

const MatchKernels& MatchKernelsOf(MatchVariant variant) {
  switch (variant) {
#ifdef GZARC_X86_DISPATCH
    case MatchVariant::kSse2:
      return kSse2MatchKernels;
    case MatchVariant::kAvx2:
      return kAvx2MatchKernels;
    case MatchVariant::kAvx512:
      return kAvx512MatchKernels;
#endif
    default:
      return kPlainMatchKernels;
  }
}

const MatchConfigRow& MatchConfig(int row) {
  return kMatchConfig[static_cast<std::size_t>(row)];
}

uint32_t ReadInput(CompressorState& c, uint8_t* destination, uint32_t count) {
  const SourceRead read = c.Source.read(c.Source.context, destination, count & 0xFFFF);
  if (read.stop != CompressOutcome::kOk) c.Outcome = read.stop;
  return read.stop == CompressOutcome::kReadFailed ? 0 : read.size;
}

void LoadMatchParameters(CompressorState& c) {
  const MatchConfigRow& row = MatchConfig(kMatchConfigRow);
  c.GoodLength = row.GoodLength;
  c.MaxLazy = row.MaxLazy;
  c.NiceLength = row.NiceLength;
  c.MaxChain = row.MaxChain;
}

void InitMatchFinder(CompressorState& c) {
  // Nothing of an earlier file may reach this one: a comparison can read
  // past the end of the input, so the window and the storage behind it are
  // cleared, and the stream depends on this file alone.
  c.Window.fill(0);
  c.HashHead.fill(0);
  LoadMatchParameters(c);
  c.StrStart = 0;
  c.BlockStart = 0;
  c.MatchStart = 0;
  c.PrevLength = 0;

  c.Lookahead = ReadInput(c, &c.Window[0], kFirstRead);
  if (c.Lookahead == 0) {
    c.EndOfInput = true;
    return;
  }
  c.EndOfInput = false;
  while (c.Lookahead < kMinLookahead && !c.EndOfInput) FillWindow(c);
  c.InsertHash = 0;
  c.InsertHash = UpdateHash(c.InsertHash, c.Window[0]);
  c.InsertHash = UpdateHash(c.InsertHash, c.Window[1]);
}

void FillWindow(CompressorState& c) {
  uint32_t more = kWindowSize - c.Lookahead - c.StrStart;
  if (c.StrStart >= kSlideThreshold) {
    SlideWindow(c);
    more += kWindowHalf;
  }
  if (c.EndOfInput) return;
  const uint32_t n = ReadInput(c, &c.Window[c.StrStart + c.Lookahead], more);
  if (n == 0) {
    c.EndOfInput = true;
  } else {
    c.Lookahead += n;
  }
}

uint32_t LongestMatch(CompressorState& c, uint32_t cur) {
  uint32_t chain = c.MaxChain;
  if (c.PrevLength >= c.GoodLength) chain >>= 2;
  return SearchChain<ScalarMeasure>(c.Window.data(), c.HashPrev.data(), c.StrStart, c.PrevLength,
                                    chain, ChainFrom(c.HashPrev.data(), cur), c.MatchStart);
}

bool EndBlockHere(CompressorState& c) {
  EndBlock(c, BlockBuffer(c), BlockSize(c), 0);
  c.BlockStart = static_cast<int32_t>(c.StrStart);
  return c.Outcome == CompressOutcome::kOk;
}

void DeflateStream(CompressorState& c) {
  c.Kernels->deflateStream(c);
}

void ParseStream(CompressorState& c, ParseRecord& r) {
  c.Kernels->parseStream(c, r);
}

}  // namespace gzarc::deflate
