// Arbitrary bytes as a raw DEFLATE stream, decoded in memory by every code
// loop of the decoder this processor runs, with its windows written together
// and one by one, and by the machine's zlib. The code loops must agree on
// everything a host sees (status, output, every read, write and progress
// call); with zlib they must agree on whether the stream is whole and valid
// with nothing after it, on its bytes when it is, and up to where the
// shorter output stops when it is not.
#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "decoder_harness.h"
#include "deflate_oracle.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace gzarc;
  using namespace gzarc::test;
  const Bytes stream(data, data + size);
  const ZlibInflated reference = ZlibInflate(stream);
  // A stream zlib takes whole is checked as a trailer would check it, so
  // that bytes after it fail as they fail a member.
  const MemberCheck check = CheckOf(reference.bytes);
  const MemberCheck* trailer = reference.complete ? &check : nullptr;
  const HostView plain = DecodeAsHost(stream, {}, trailer, 0, {InflateCodesVariant::kPlain});
  for (const auto codes : {InflateCodesVariant::kFast, InflateCodesVariant::kFastBmi2}) {
    if (CanRunInflateCodes(codes) && !(DecodeAsHost(stream, {}, trailer, 0, {codes}) == plain)) {
      std::abort();
    }
  }
  // Windows written one by one: other writes, nothing else to tell apart.
  const DecodeOptions single{InflateCodesVariant::kPlain, 1};
  if (!DecodeAsHost(stream, {}, trailer, 0, single).SameOutcome(plain)) std::abort();
  const bool whole = reference.complete && reference.unread == 0;
  if ((plain.status == GZARC_STATUS_OK) != whole) std::abort();
  if (reference.complete && plain.output != reference.bytes) std::abort();
  const std::size_t common = std::min(plain.output.size(), reference.bytes.size());
  if (!std::equal(plain.output.begin(), plain.output.begin() + common, reference.bytes.begin())) {
    std::abort();
  }
  return 0;
}
