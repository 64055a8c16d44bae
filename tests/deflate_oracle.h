// The machine's zlib as an independent reference: raw DEFLATE with the
// same search parameters as the engine or any others, and a raw inflater.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#if defined(GZARC_HAVE_ZLIB)
#include <zlib.h>

namespace gzarc::test {

// Raw DEFLATE by the machine's zlib at any level, memory level and
// strategy; empty when zlib refuses.
inline std::vector<uint8_t> ZlibDeflate(const std::vector<uint8_t>& input, int level, int memLevel,
                                        int strategy, bool engineSearch = false) {
  z_stream s{};
  if (deflateInit2(&s, level, Z_DEFLATED, -15, memLevel, strategy) != Z_OK) return {};
  if (engineSearch) deflateTune(&s, 4, 4, 258, 16);
  std::vector<uint8_t> out(deflateBound(&s, input.size()) + 64);
  s.next_in = const_cast<Bytef*>(input.data());
  s.avail_in = static_cast<uInt>(input.size());
  s.next_out = out.data();
  s.avail_out = static_cast<uInt>(out.size());
  const int result = ::deflate(&s, Z_FINISH);
  out.resize(result == Z_STREAM_END ? s.total_out : 0);
  deflateEnd(&s);
  return out;
}

// The engine's search parameters: level 4, tuned to good 4, lazy 4, nice
// 258, chain 16.
inline std::vector<uint8_t> ReferenceDeflate(const std::vector<uint8_t>& input) {
  return ZlibDeflate(input, 4, 8, Z_DEFAULT_STRATEGY, true);
}

// What zlib makes of a raw DEFLATE stream: the bytes it decoded (up to
// where it stopped, when it failed), whether the stream ended with its last
// block, and how many bytes of the input follow it.
struct ZlibInflated {
  std::vector<uint8_t> bytes;
  bool complete = false;
  std::size_t unread = 0;
};

inline ZlibInflated ZlibInflate(const std::vector<uint8_t>& stream) {
  ZlibInflated out;
  z_stream s{};
  if (inflateInit2(&s, -15) != Z_OK) return out;
  std::vector<uint8_t> chunk(1 << 16);
  s.next_in = const_cast<Bytef*>(stream.data());
  s.avail_in = static_cast<uInt>(stream.size());
  int result = Z_OK;
  while (result == Z_OK) {
    s.next_out = chunk.data();
    s.avail_out = static_cast<uInt>(chunk.size());
    result = inflate(&s, Z_NO_FLUSH);
    out.bytes.insert(out.bytes.end(), chunk.data(), chunk.data() + (chunk.size() - s.avail_out));
    if (result == Z_BUF_ERROR && s.avail_in == 0) break;
  }
  out.complete = result == Z_STREAM_END;
  out.unread = s.avail_in;
  inflateEnd(&s);
  return out;
}

}  // namespace gzarc::test
#endif
