// What the decoder tests share: running the decoder over a stream held in
// memory through a byte source and sink of the test's own, as extraction
// runs it, and data that gives a stream every kind of block and match.
#pragma once

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "engine/engine_state.h"
#include "gzarc.h"
#include "inflate/inflate.h"
#include "paths/strings.h"

namespace gzarc::test {

// Decodes one member of stream.size() compressed bytes through io, with
// progress reported to progress, total as the member's size and check (or
// none) as its trailer; returns the status. The decoder's own source and
// sink are restored afterwards.
inline uint16_t DecodeThrough(const std::vector<uint8_t>& stream, DecoderIo io,
                              ProgressProc progress, uint32_t total, const MemberCheck* check) {
  DecoderState& d = Decoder();
  const DecoderIo saved = d.io;
  uint8_t* buffer = nullptr;
  if (!AllocBlock(&buffer, kInputBufferSize)) return GZARC_STATUS_NO_MEMORY;
  d.InputBuffer = buffer;
  d.io = io;
  SetSetProgressProc(nullptr, progress);
  SetStatus(GZARC_STATUS_OK);
  StartMember(static_cast<uint32_t>(stream.size()), total, check);
  DecodeMember();
  const uint16_t status = Status();
  SetSetProgressProc(nullptr, nullptr);
  d.io = saved;
  d.InputBuffer = nullptr;
  FreeBlock(&buffer);
  return status;
}

// Data that gives every kind of match: text, runs, short periods, noise and
// copies from far back.
inline std::vector<uint8_t> MixedData(std::size_t n, std::mt19937& rng) {
  std::vector<uint8_t> b;
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
        std::vector<uint8_t> unit(period);
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

}  // namespace gzarc::test
