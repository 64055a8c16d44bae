// What the decoder tests share: running the decoder over a stream held in
// memory through a byte source and sink of the test's own, as extraction
// runs it, and data that gives a stream every kind of block and match.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "engine/engine_state.h"
#include "gzarc.h"
#include "gzip/member_stream.h"
#include "inflate/inflate.h"
#include "paths/strings.h"

namespace gzarc {

// A test's byte source and output for the decoder; a null read means the
// stream is taken from memory.
struct DecoderIo {
  int32_t (*read)(void* context, uint8_t* buffer, uint32_t count) = nullptr;
  int32_t (*write)(void* context, const uint8_t* data, uint32_t count) = nullptr;
  void* context = nullptr;
  bool (*truncate)(void* context, uint64_t length) = nullptr;
};

// The trailer's figures a decoded stream must reproduce.
struct MemberCheck {
  uint32_t crc32;
  uint32_t size;
};

// How the decoder is built for a run: its code loop, and how many full
// windows it writes together.
struct DecodeOptions {
  InflateCodesVariant codes = ChooseInflateCodes();
  uint32_t windowsPerWrite = kWindowCount;
};

namespace test {

// Decodes a raw DEFLATE stream of stream.size() bytes through io as an
// extraction decodes a member: progress reported to progress (or to the
// callback registered already, when null), total as the
// member's size, and check (or none) as its trailer, which the stream must
// then match exactly, with nothing after it. Returns the status, which is
// also left as the archive status.
inline uint16_t DecodeThrough(const std::vector<uint8_t>& stream, DecoderIo io,
                              ProgressProc progress, uint32_t total, const MemberCheck* check,
                              DecodeOptions options = {}) {
  static DecoderState* const state = new DecoderState;
  DecoderState& d = *state;
  uint8_t* buffer = nullptr;
  if (!AllocBlock(&buffer, kInputBufferSize)) return GZARC_STATUS_NO_MEMORY;
  struct Memory {
    const std::vector<uint8_t>* stream;
    std::size_t position;
    DecoderIo io;
  } memory{&stream, 0, io};
  const auto readMemory = [](void* context, uint8_t* out, uint32_t count) -> int32_t {
    auto* m = static_cast<Memory*>(context);
    const std::size_t n = std::min<std::size_t>(count, m->stream->size() - m->position);
    std::memcpy(out, m->stream->data() + m->position, n);
    m->position += n;
    return static_cast<int32_t>(n);
  };
  d.codes = options.codes;
  d.out.windowsPerWrite = options.windowsPerWrite;
  StartInput(
      d,
      io.read != nullptr ? InflateSource{io.read, io.context} : InflateSource{readMemory, &memory},
      buffer, stream.size());
  OutputAccount account;
  account.progressTotal = total;
  StartOutput(d.out, OutputSink{io.write, io.truncate, io.context}, ObserverOf(account));
  if (progress != nullptr) SetSetProgressProc(nullptr, progress);
  DecodeStream(d, account);
  if (account.status == GZARC_STATUS_OK && check != nullptr &&
      ((account.crc ^ 0xFFFFFFFFu) != check->crc32 || account.memberLength != check->size ||
       InputFollowsStream(d))) {
    account.status = GZARC_STATUS_BAD_DATA;
  }
  if (progress != nullptr) SetSetProgressProc(nullptr, nullptr);
  d.InputBuffer = nullptr;
  FreeBlock(&buffer);
  SetStatus(account.status);
  return account.status;
}

}  // namespace test

// Decodes a raw DEFLATE stream held in memory into sink (its read unused),
// with the progress callback the test registered.
inline uint16_t InflateMemory(const std::vector<uint8_t>& compressed, DecoderIo sink,
                              uint32_t unpackedSize, const MemberCheck* check,
                              DecodeOptions options = {}) {
  sink.read = nullptr;
  return test::DecodeThrough(compressed, sink, nullptr, unpackedSize, check, options);
}

namespace test {

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

}  // namespace test
}  // namespace gzarc
