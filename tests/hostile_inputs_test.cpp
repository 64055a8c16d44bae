// Archives made to hurt: too short, fields that lie or run past the end,
// names too long or naming places outside the target folder, data that
// expands a thousandfold. Listing and extraction must answer with a clear
// status (or the right result where the input is valid), never write outside
// the target folder, never leave anything partial, and never crash.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "deflate/compression.h"
#include "gzarc.h"
#include "gzip/crc32.h"
#include "test_support.h"

namespace gzarc::test {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

uint64_t gTried = 0;

void Put32(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

Bytes Deflate(const Bytes& data) {
  Bytes stream;
  EXPECT_EQ(deflate::CompressMemory(data, &stream), 0);
  return stream;
}

uint32_t Crc(const Bytes& data) {
  return ~UpdateCrc32(kCrcStart, data.data(), data.size());
}

// A member header with a name (when given) and optional extra field.
Bytes Header(const std::string* name, const Bytes* extra = nullptr, uint8_t flags = 0) {
  if (name != nullptr) flags |= 0x08;
  if (extra != nullptr) flags |= 0x04;
  Bytes out;
  out.reserve(16 + (extra != nullptr ? extra->size() : 0) + (name != nullptr ? name->size() : 0));
  for (uint8_t b : {0x1F, 0x8B, 0x08, 0x00, 0x00, 0x5E, 0xD0, 0x5F, 0x00, 0x03}) out.push_back(b);
  out[3] = flags;
  if (extra != nullptr) {
    out.push_back(static_cast<uint8_t>(extra->size()));
    out.push_back(static_cast<uint8_t>(extra->size() >> 8));
    for (uint8_t b : *extra) out.push_back(b);
  }
  if (name != nullptr) {
    for (char c : *name) out.push_back(static_cast<uint8_t>(c));
    out.push_back(0);
  }
  return out;
}

// A complete member holding data, with a trailer that may lie.
Bytes Member(const std::string& name, const Bytes& data, int64_t sizeDelta = 0) {
  Bytes out = Header(&name);
  const Bytes stream = Deflate(data);
  out.insert(out.end(), stream.begin(), stream.end());
  Put32(out, Crc(data));
  Put32(out, static_cast<uint32_t>(static_cast<int64_t>(data.size()) + sizeDelta));
  return out;
}

struct Listing {
  uint16_t status = 0xFFFF;
  int32_t count = -1;
  std::string name;
  int64_t unpacked = -1;
};

std::size_t OpenDescriptors() {
  std::size_t n = 0;
  std::error_code ec;
  for (auto it = fs::directory_iterator("/proc/self/fd", ec); it != fs::directory_iterator();
       it.increment(ec)) {
    ++n;
  }
  return n;
}

class HostileInputs : public ::testing::Test {
 protected:
  void SetUp() override {
    DoneArcFile(nullptr);
    fs::create_directory(dir_.Native("in"));
    descriptors_ = OpenDescriptors();
  }
  void TearDown() override {
    DoneArcFile(nullptr);
    EXPECT_EQ(OpenDescriptors(), descriptors_) << "a descriptor stays open";
  }
  static void TearDownTestSuite() {
    std::printf("[hostile inputs] inputs tried: %llu\n", static_cast<unsigned long long>(gTried));
  }

  // Opens and lists the archive as a host does.
  Listing List(const Bytes& archive, const std::string& file = "in/a.gz") {
    ++gTried;
    WriteFile(dir_.Native(file), archive);
    Listing result;
    InitArcFile(dir_.Win(file).c_str());
    result.status = GetArchiveStatus();
    if (result.status != 0) return result;
    FileMaskList masks;
    InitFileMaskList(&masks);
    EXPECT_EQ(AppendFileMask("*.*", &masks), 1);
    ArcEntryList list;
    InitArcFileList(&list);
    BuildArcFileList(&list, &masks);
    result.status = GetArchiveStatus();
    result.count = list.count;
    if (list.head != nullptr) {
      result.name = std::string(list.head->name, strnlen(list.head->name, sizeof list.head->name));
      result.unpacked = list.head->unpackedSize;
    }
    // Nothing is listed unless the scan succeeded.
    EXPECT_EQ(result.count, result.status == 0 ? 1 : 0) << result.status;
    DoneArcFileList(&list);
    DoneFileMaskList(&masks);
    return result;
  }

  TempDir dir_;
  std::size_t descriptors_ = 0;
};

// ---- Listing ---------------------------------------------------------------

TEST_F(HostileInputs, ArchivesOfZeroToTwentyBytes) {
  const std::string name = "a";
  const Bytes valid = Member(name, Bytes{'h', 'e', 'l', 'l', 'o'});
  ASSERT_GT(valid.size(), 20u);
  for (std::size_t length = 0; length <= 20; ++length) {
    // Every prefix of a real archive: too short for the magic, then a
    // header that ends early, then a header and trailer with nothing between.
    const Listing prefix = List(Bytes(valid.begin(), valid.begin() + length));
    const uint16_t expected = length < 3                          ? GZARC_STATUS_NOT_GZIP
                              : length < Header(&name).size() + 8 ? GZARC_STATUS_FILE_ERROR
                                                                  : GZARC_STATUS_OK;
    EXPECT_EQ(prefix.status, expected) << "prefix of " << length;

    for (uint8_t fill : {0x00, 0xFF}) {
      EXPECT_EQ(List(Bytes(length, fill)).status, GZARC_STATUS_NOT_GZIP) << length;
      if (length < 4) continue;
      // The magic, then each flag and some combinations over a body of fill
      // bytes.
      for (int flags : {0x00, 0x01, 0x02, 0x04, 0x08, 0x10, 0x0C, 0x1E, 0x20, 0xE0, 0xFF}) {
        Bytes bytes(length, fill);
        bytes[0] = 0x1F;
        bytes[1] = 0x8B;
        bytes[2] = 0x08;
        bytes[3] = static_cast<uint8_t>(flags);
        const Listing listing = List(bytes);
        if (flags & 0x01) {
          EXPECT_EQ(listing.status, GZARC_STATUS_TEXT_FLAG) << length << " " << flags;
        } else {
          EXPECT_TRUE(listing.status == GZARC_STATUS_FILE_ERROR || listing.status == 0)
              << length << " " << flags << ": " << listing.status;
        }
      }
    }
  }
}

TEST_F(HostileInputs, HugeExtraField) {
  const std::string name = "x.txt";
  // XLEN says 65535 but the file ends long before.
  Bytes cut = Header(nullptr, nullptr, 0x04 | 0x08);
  cut.push_back(0xFF);
  cut.push_back(0xFF);
  cut.insert(cut.end(), 100, 'e');
  EXPECT_EQ(List(cut).status, GZARC_STATUS_FILE_ERROR);

  // The whole 65535 bytes are there: the name after them still counts.
  const Bytes extra(65535, 0xEE);
  Bytes whole = Header(&name, &extra);
  const Bytes data = {'o', 'k'};
  const Bytes stream = Deflate(data);
  whole.insert(whole.end(), stream.begin(), stream.end());
  Put32(whole, Crc(data));
  Put32(whole, 2);
  const Listing listing = List(whole);
  EXPECT_EQ(listing.status, 0);
  EXPECT_EQ(listing.name, name);
  EXPECT_EQ(listing.unpacked, 2);
}

TEST_F(HostileInputs, LongNames) {
  for (std::size_t length : {255u, 256u, 300u, 5000u}) {
    const std::string name(length, 'n');
    const Listing listing = List(Member(name, Bytes{'z'}));
    if (length <= 255) {
      EXPECT_EQ(listing.status, 0);
      EXPECT_EQ(listing.name, name);
    } else {
      // Refused rather than cut: two long names must not list as one.
      EXPECT_EQ(listing.status, GZARC_STATUS_FILE_ERROR) << length;
    }
    // A name without its terminator before the end of the file.
    Bytes unterminated = Header(nullptr, nullptr, 0x08);
    unterminated.insert(unterminated.end(), length, 'u');
    EXPECT_EQ(List(unterminated).status, GZARC_STATUS_FILE_ERROR) << length;
  }
}

TEST_F(HostileInputs, NamesThatAreNoFileNames) {
  for (const std::string name : {"", "..", "/", "\\", ":", "../../escape", "..\\..\\escape",
                                 "C:\\escape", "/etc/escape", "a/../../escape"}) {
    const Listing listing = List(Member(name, Bytes{'q'}));
    EXPECT_EQ(listing.status, 0) << name;
    EXPECT_EQ(listing.name, name);
  }
}

TEST_F(HostileInputs, TrailersAndWhatFollowsTheMember) {
  const Bytes data(1000, 'd');
  // The listing can only tell what the trailer says.
  EXPECT_EQ(List(Member("lie", data, +1)).unpacked, 1001);
  EXPECT_EQ(List(Member("lie", data, -1000)).unpacked, 0);
  // Two members: the size listed is the last trailer's.
  Bytes two = Member("one", data);
  const Bytes second = Member("two", Bytes(7, 's'));
  two.insert(two.end(), second.begin(), second.end());
  const Listing concatenated = List(two);
  EXPECT_EQ(concatenated.status, 0);
  EXPECT_EQ(concatenated.name, "one");
  EXPECT_EQ(concatenated.unpacked, 7);
  // Trailing zeros make a trailer of zeros.
  Bytes padded = Member("pad", data);
  padded.insert(padded.end(), 512, 0);
  EXPECT_EQ(List(padded).unpacked, 0);
}

}  // namespace
}  // namespace gzarc::test
