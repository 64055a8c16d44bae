// What the decoder tests and the inflate fuzz target share: the decoder run
// over a stream held in memory as extraction runs it, with a host of the
// test's own around it that records every read, write and progress call,
// and fails a read, a write or the disk, or cancels, where it is told to.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <vector>

#include "engine/engine_state.h"
#include "gzarc.h"
#include "gzip/member_stream.h"
#include "inflate/inflate.h"
#include "paths/strings.h"
#include "test_data.h"

namespace gzarc::test {

// The trailer's figures a decoded stream must reproduce.
struct MemberCheck {
  uint32_t crc32;
  uint32_t size;
};

inline MemberCheck CheckOf(const Bytes& data) {
  return {ReferenceCrc32(data), static_cast<uint32_t>(data.size())};
}

// How the decoder is built for a run: its code loop, and how many full
// windows it writes together.
struct DecodeOptions {
  InflateCodesVariant codes = ChooseInflateCodes();
  uint32_t windowsPerWrite = kWindowCount;
};

// What the host does to a run: the n-th read or write fails and the n-th
// progress call cancels (0: none); the output stores at most diskSpace
// bytes, as a full disk would.
struct HostFaults {
  int failRead = 0;
  int failWrite = 0;
  int cancelAt = 0;
  uint64_t diskSpace = UINT64_MAX;
};

struct HostEvent {
  enum Kind { kRead, kWrite, kProgress } kind;
  int64_t a;      // read, write: the count asked; progress: the percent
  int64_t b = 0;  // progress: the count
  bool operator==(const HostEvent&) const = default;
};

// What the host saw of a run, in order.
struct HostView {
  std::vector<HostEvent> events;
  Bytes output;
  uint16_t status = 0;
  std::vector<HostEvent> Of(HostEvent::Kind kind) const {
    std::vector<HostEvent> some;
    std::copy_if(events.begin(), events.end(), std::back_inserter(some),
                 [kind](const HostEvent& e) { return e.kind == kind; });
    return some;
  }
  // The same status, output and progress calls, however many reads and
  // writes each took.
  bool SameOutcome(const HostView& other) const {
    return status == other.status && output == other.output &&
           Of(HostEvent::kProgress) == other.Of(HostEvent::kProgress);
  }
  bool operator==(const HostView&) const = default;
};

// The host of a run: it serves input from position on, keeps the output,
// and answers progress calls while it is listening.
class TestHost {
 public:
  TestHost(const Bytes& input, const HostFaults& faults, std::size_t position = 0)
      : input_(input), faults_(faults), position_(position) {}
  ~TestHost() { SetSetProgressProc(nullptr, nullptr); }
  TestHost(const TestHost&) = delete;
  TestHost& operator=(const TestHost&) = delete;

  InflateSource Source() { return {Read, this}; }
  OutputSink Sink() { return {Write, Truncate, this}; }
  void Listen() { SetSetProgressProc(this, Progress); }

  HostView view;

 private:
  static int32_t Read(void* context, uint8_t* buffer, uint32_t count) {
    auto& h = *static_cast<TestHost*>(context);
    h.view.events.push_back({HostEvent::kRead, count});
    if (++h.reads_ == h.faults_.failRead) return -1;
    const std::size_t n = std::min<std::size_t>(count, h.input_.size() - h.position_);
    if (n != 0) std::memcpy(buffer, h.input_.data() + h.position_, n);
    h.position_ += n;
    return static_cast<int32_t>(n);
  }
  static int32_t Write(void* context, const uint8_t* data, uint32_t count) {
    auto& h = *static_cast<TestHost*>(context);
    h.view.events.push_back({HostEvent::kWrite, count});
    if (++h.writes_ == h.faults_.failWrite) return -1;
    Bytes& out = h.view.output;
    const uint64_t room = h.faults_.diskSpace - std::min<uint64_t>(h.faults_.diskSpace, out.size());
    const auto stored = static_cast<uint32_t>(std::min<uint64_t>(count, room));
    out.insert(out.end(), data, data + stored);
    return stored == 0 && count > 0 ? -1 : static_cast<int32_t>(stored);
  }
  static bool Truncate(void* context, uint64_t length) {
    static_cast<TestHost*>(context)->view.output.resize(length);
    return true;
  }
  static int32_t GZARC_CALL Progress(void* context, int32_t percent, int32_t count) {
    auto& h = *static_cast<TestHost*>(context);
    h.view.events.push_back({HostEvent::kProgress, percent, count});
    return ++h.calls_ == h.faults_.cancelAt ? 0 : 1;
  }

  const Bytes& input_;
  HostFaults faults_;
  std::size_t position_;
  int reads_ = 0, writes_ = 0, calls_ = 0;
};

// The decoder state the tests run, built as options say.
inline DecoderState& TestDecoder(const DecodeOptions& options = {}) {
  static DecoderState* const state = new DecoderState;
  state->codes = options.codes;
  state->out.windowsPerWrite = options.windowsPerWrite;
  return *state;
}

// Decodes a raw DEFLATE stream as extraction decodes a member: total is the
// member's size for the percentages, and check (or none) its trailer, which
// the stream must then match exactly, with nothing after it. The status is
// also left as the archive status.
inline HostView DecodeAsHost(const Bytes& stream, const HostFaults& faults = {},
                             const MemberCheck* check = nullptr, uint32_t total = 0,
                             const DecodeOptions& options = {}) {
  TestHost host(stream, faults);
  DecoderState& d = TestDecoder(options);
  uint8_t* buffer = nullptr;
  if (!AllocBlock(&buffer, kInputBufferSize)) {
    host.view.status = GZARC_STATUS_NO_MEMORY;
    return host.view;
  }
  StartInput(d, host.Source(), buffer, stream.size());
  OutputAccount account;
  account.progressTotal = total;
  StartOutput(d.out, host.Sink(), ObserverOf(account));
  host.Listen();
  DecodeStream(d, account);
  if (account.status == GZARC_STATUS_OK && check != nullptr &&
      ((account.crc ^ 0xFFFFFFFFu) != check->crc32 || account.memberLength != check->size ||
       InputFollowsStream(d))) {
    account.status = GZARC_STATUS_BAD_DATA;
  }
  d.InputBuffer = nullptr;
  FreeBlock(&buffer);
  SetStatus(account.status);
  host.view.status = account.status;
  return host.view;
}

}  // namespace gzarc::test
