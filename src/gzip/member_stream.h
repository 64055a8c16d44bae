// The gzip members of an extraction around the DEFLATE decoder: the account
// of what the decoder writes (CRC-32, lengths, status, the host's progress
// calls), each member's trailer, and the member after it.
#pragma once

#include <cstdint>

#include "gzip/crc32.h"
#include "inflate/inflate.h"

namespace gzarc {

// The running account of an extraction's output. status is what the host
// will read: the first failure, replaced by a later damage or failed read
// as the decoder finds them.
struct OutputAccount {
  uint16_t status = 0;
  uint32_t crc = kCrcStart;    // of the member being decoded
  uint32_t memberLength = 0;   // its length so far, modulo 2^32
  uint64_t total = 0;          // of all members so far
  uint32_t progressTotal = 0;  // the size the last trailer gives (ISIZE)
  // From the second member of a file on: its content can exceed the size
  // the last trailer gives, and the percentage then stays at 100.
  bool laterMember = false;
};

// The account as the decoder's observer.
InflateObserver ObserverOf(OutputAccount& account);

// A flush of n decoded bytes at data, written or not: the CRC-32, the
// counts, the status of the write, and the progress call that may cancel.
void FlushWindow(OutputAccount& account, const uint8_t* data, uint32_t n, bool written);

// Decodes one DEFLATE stream from the decoder's input into the account.
void DecodeStream(DecoderState& d, OutputAccount& account);

// Decodes a gzip file's members, from the first one's compressed data on,
// with the input running to the end of the file: each member's stream, its
// own trailer (CRC-32 and length), and then, while the file holds more, the
// next member's header and stream, into one output. Zero bytes after the
// last member are padding. The account's status ends as 0, 5, 101, 2926,
// 9960 (a later member with FTEXT) or 9964.
void DecodeMembers(DecoderState& d, OutputAccount& account);

// The same from a block boundary: inside a stream (midStream: the decoder's
// state is where that stream's next block begins), or where a member's
// stream begins. Stops early, true, when the decoder's block watch stops it
// at a boundary; false once the members have ended or failed.
bool DecodeMembersFrom(DecoderState& d, OutputAccount& account, bool midStream);

// What follows a member in a file: nothing, zero bytes to the end
// (padding), the header of a further member, or something else (not a
// member, or one with FTEXT, or a failed read).
enum class NextMember { kNone, kFound, kInvalid, kText };
// Reads what follows a member's trailer from the decoder's input.
NextMember FindNextMember(DecoderState& d);
// Reads the trailer behind a stream: false when the input ends first.
bool ReadTrailer(DecoderState& d, uint32_t* crc, uint32_t* size);

}  // namespace gzarc
