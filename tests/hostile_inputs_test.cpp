// Archives made to hurt: too short, fields that lie or run past the end,
// names too long or naming places outside the target folder, data that
// expands a thousandfold. Listing and extraction must answer with a clear
// status (or the right result where the input is valid), never write outside
// the target folder, never leave anything partial, and never crash.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "deflate/compression.h"
#include "gzarc.h"
#include "test_data.h"
#include "test_support.h"

namespace gzarc::test {
namespace {

namespace fs = std::filesystem;

uint64_t gTried = 0;

Bytes Deflate(const Bytes& data) {
  Bytes stream;
  EXPECT_EQ(deflate::CompressMemory(data, &stream), 0);
  return stream;
}

// A complete member holding data, with a trailer whose size may lie.
Bytes Member(const std::string& name, const Bytes& data, int64_t sizeDelta = 0) {
  return GzipMember({.name = name}, Deflate(data), ReferenceCrc32(data),
                    static_cast<uint32_t>(static_cast<int64_t>(data.size()) + sizeDelta));
}

struct Listing {
  uint16_t status = 0xFFFF;
  int32_t count = -1;
  std::string name;
  int64_t unpacked = -1;
};

struct Extraction {
  uint16_t status = 0xFFFF;
  std::string output;  // the file written below the target folder
  Bytes bytes;
};

class HostileInputs : public ::testing::Test {
 protected:
  void SetUp() override {
    DoneArcFile(nullptr);
    fs::create_directory(dir_.Native("in"));
    descriptors_ = gzarc::test::OpenDescriptorCount();
  }
  void TearDown() override {
    DoneArcFile(nullptr);
    EXPECT_EQ(gzarc::test::OpenDescriptorCount(), descriptors_) << "a descriptor stays open";
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

  // Extracts the archive into out/ as a host does, over whatever out/ holds.
  // Everything outside out/ must stay as it was, and out/ must afterwards
  // hold its earlier files plus, on success only, the one output file.
  Extraction Extract(const Bytes& archive, ProgressProc progress = nullptr,
                     void* context = nullptr) {
    ++gTried;
    WriteFile(dir_.Native("in/a.gz"), archive);
    fs::create_directories(dir_.Native("work/out"));
    const Tree before = Snapshot(dir_.path());
    Extraction result;
    InitArcFile(dir_.Win("in/a.gz").c_str());
    result.status = GetArchiveStatus();
    if (result.status == 0) {
      SetSetProgressProc(context, progress);
      SetExtractDir(dir_.Win("work/out") + "\\");
      FileMaskList masks;
      InitFileMaskList(&masks);
      EXPECT_EQ(AppendFileMask("*.*", &masks), 1);
      ExtractFileMaskListArc(&masks);
      result.status = GetArchiveStatus();
      DoneFileMaskList(&masks);
    }
    const Tree after = Snapshot(dir_.path());
    for (const auto& [name, bytes] : after) {
      const auto old = before.find(name);
      if (old != before.end() && old->second == bytes) continue;
      EXPECT_EQ(result.status, 0) << name << " written by a failed extraction";
      EXPECT_EQ(name.rfind("work/out/", 0), 0u) << name << " written outside the target folder";
      EXPECT_TRUE(result.output.empty()) << "a second file " << name;
      result.output = name.substr(std::min(name.size(), std::strlen("work/out/")));
      result.bytes = bytes;
    }
    for (const auto& [name, bytes] : before) {
      EXPECT_TRUE(after.count(name) != 0 || name == "work/out/" + result.output) << name << " lost";
    }
    EXPECT_TRUE(result.status != 0 || !result.output.empty()) << "success without a file";
    fs::remove_all(dir_.Native("work/out"));
    return result;
  }

  TempDir dir_;
  std::size_t descriptors_ = 0;
};

// ---- Listing and extraction ----------------------------------------------

TEST_F(HostileInputs, ArchivesOfZeroToTwentyBytes) {
  const std::string name = "a";
  const Bytes valid = Member(name, Bytes{'h', 'e', 'l', 'l', 'o'});
  ASSERT_GT(valid.size(), 20u);
  // Not one of the inputs below is a whole archive: extraction must refuse
  // every one of them.
  const auto refused = [&](const Bytes& bytes, uint16_t listed, const std::string& what) {
    const Extraction extraction = Extract(bytes);
    EXPECT_NE(extraction.status, 0) << what;
    EXPECT_TRUE(listed == 0 || extraction.status == listed) << what << ": " << extraction.status;
  };
  for (std::size_t length = 0; length <= 20; ++length) {
    // Every prefix of a real archive: too short for the magic, then a
    // header that ends early, then a header and trailer with nothing between.
    const Bytes prefix(valid.begin(), valid.begin() + static_cast<std::ptrdiff_t>(length));
    const uint16_t expected = length < 3 ? GZARC_STATUS_NOT_GZIP
                              : length < GzipHeader{.name = name}.Build().size() + 8
                                  ? GZARC_STATUS_FILE_ERROR
                                  : GZARC_STATUS_OK;
    EXPECT_EQ(List(prefix).status, expected) << "prefix of " << length;
    refused(prefix, expected, "prefix of " + std::to_string(length));

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
        const std::string what = std::to_string(length) + " bytes, flags " + std::to_string(flags);
        const Listing listing = List(bytes);
        if (flags & 0x01) {
          EXPECT_EQ(listing.status, GZARC_STATUS_TEXT_FLAG) << what;
        } else {
          EXPECT_TRUE(listing.status == GZARC_STATUS_FILE_ERROR || listing.status == 0)
              << what << ": " << listing.status;
        }
        refused(bytes, listing.status, what);
      }
    }
  }
  // The smallest whole archive is 20 bytes: an empty member.
  const Bytes empty = GzipMember({}, {0x03, 0x00}, 0, 0);
  const Extraction extraction = Extract(empty, nullptr, nullptr);
  EXPECT_EQ(extraction.status, 0);
  EXPECT_EQ(extraction.output, "a");  // named after the archive
  EXPECT_TRUE(extraction.bytes.empty());
}

TEST_F(HostileInputs, HugeExtraField) {
  const std::string name = "x.txt";
  // XLEN says 65535 but the file ends long before.
  Bytes cut = GzipHeader{.flags = 0x04 | 0x08}.Build();
  cut.push_back(0xFF);
  cut.push_back(0xFF);
  cut.insert(cut.end(), 100, 'e');
  EXPECT_EQ(List(cut).status, GZARC_STATUS_FILE_ERROR);
  EXPECT_EQ(Extract(cut).status, GZARC_STATUS_FILE_ERROR);

  // The whole 65535 bytes are there: the name and data after them count.
  const Bytes extra(65535, 0xEE);
  const Bytes data = {'o', 'k'};
  const Bytes whole =
      GzipMember({.extra = extra, .name = name}, Deflate(data), ReferenceCrc32(data), 2);
  const Listing listing = List(whole);
  EXPECT_EQ(listing.status, 0);
  EXPECT_EQ(listing.name, name);
  EXPECT_EQ(listing.unpacked, 2);
  const Extraction extraction = Extract(whole);
  EXPECT_EQ(extraction.status, 0);
  EXPECT_EQ(extraction.output, name);
  EXPECT_EQ(extraction.bytes, data);
}

TEST_F(HostileInputs, LongNames) {
  const std::size_t folder = dir_.Win("work/out").size() + 1;
  for (std::size_t length : {255 - folder, 256 - folder, 255ul, 256ul, 300ul, 5000ul}) {
    const std::string name(length, 'n');
    const Bytes archive = Member(name, Bytes{'z'});
    const Listing listing = List(archive);
    const Extraction extraction = Extract(archive);
    if (length <= 255) {
      EXPECT_EQ(listing.status, 0);
      EXPECT_EQ(listing.name, name);
    } else {
      // Refused rather than cut: two long names must not list as one.
      EXPECT_EQ(listing.status, GZARC_STATUS_FILE_ERROR) << length;
    }
    // The output path holds 255 characters; a longer one is refused, not cut.
    if (folder + length <= 255) {
      EXPECT_EQ(extraction.status, 0) << length;
      EXPECT_EQ(extraction.output, name);
    } else {
      EXPECT_EQ(extraction.status, GZARC_STATUS_FILE_ERROR) << length;
    }
    // A name without its terminator before the end of the file.
    Bytes unterminated = GzipHeader{.flags = 0x08}.Build();
    unterminated.insert(unterminated.end(), length, 'u');
    EXPECT_EQ(List(unterminated).status, GZARC_STATUS_FILE_ERROR) << length;
    EXPECT_EQ(Extract(unterminated).status, GZARC_STATUS_FILE_ERROR) << length;
  }
}

TEST_F(HostileInputs, NamesThatAreNoFileNames) {
  const Bytes data = {'q'};
  // Nothing is left of the first ones once the folders are taken off, or
  // what is left names a folder: the file is named after the archive
  // (in/a.gz), as a member stored without a name is; the listing keeps the
  // stored name. Folders in a name are never followed: the file lands in the
  // target. A ":" is an ordinary character here (no drives).
  const std::pair<std::string, std::string> cases[] = {
      {"", "a"},
      {".", "a"},
      {"..", "a"},
      {"/", "a"},
      {"\\", "a"},
      {"a/", "a"},
      {"dir\\..", "a"},
      {":", ":"},
      {"C:", "C:"},
      {"co:lon.txt", "co:lon.txt"},
      {"../../escape", "escape"},
      {"..\\..\\escape", "escape"},
      {"C:\\escape", "escape"},
      {"C:escape", "C:escape"},
      {"/etc/escape", "escape"},
      {"a/../../escape", "escape"},
      {"\\\\server\\share\\escape", "escape"},
  };
  for (const auto& [name, output] : cases) {
    const Bytes archive = Member(name, data);
    const Listing listing = List(archive);
    EXPECT_EQ(listing.status, 0) << name;
    EXPECT_EQ(listing.name, name);
    const Extraction extraction = Extract(archive);
    EXPECT_EQ(extraction.status, 0) << name;
    EXPECT_EQ(extraction.output, output) << name;
    EXPECT_EQ(extraction.bytes, data);
  }
}

TEST_F(HostileInputs, TrailersAndWhatFollowsTheMember) {
  const Bytes data = MakeInput(InputKind::kText, 100000, 1);
  // The listing can only tell what the trailer says; extraction finds out.
  for (int64_t delta : {int64_t{1}, int64_t{-1}, int64_t{-100000}, int64_t{0x100000000} - 100000}) {
    const Bytes archive = Member("lie", data, delta);
    EXPECT_EQ(List(archive).unpacked, static_cast<uint32_t>(100000 + delta));
    EXPECT_EQ(Extract(archive).status, GZARC_STATUS_BAD_DATA) << delta;
  }
  Bytes badCrc = Member("crc", data);
  badCrc[badCrc.size() - 8] ^= 1;
  EXPECT_EQ(Extract(badCrc).status, GZARC_STATUS_BAD_DATA);

  // Several members: the listing shows the first name and the last
  // trailer; extraction writes their concatenation, each member checked
  // against its own trailer. Zero bytes after the last member are padding;
  // anything else that is not a whole member is damage.
  const Bytes one = Member("one", data);
  const Bytes small(7, 's');
  const Bytes two = Member("two", small);
  const Bytes empty = Member("empty", {});
  const auto join = [](std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
  };
  Bytes damagedTwo = two;
  damagedTwo[damagedTwo.size() - 5] ^= 1;  // its CRC
  Bytes textTwo = two;
  textTwo[3] |= 0x01;  // FTEXT
  Bytes headerCrcTwo = GzipHeader{.flags = 0x02}.Build();
  headerCrcTwo.insert(headerCrcTwo.end(), {0x12, 0x34});  // not the header's CRC
  headerCrcTwo.insert(headerCrcTwo.end(), two.begin() + 14, two.end());
  const Bytes zeros(512, 0);
  struct Case {
    const char* what;
    Bytes archive;
    uint16_t status;
    Bytes output;
  };
  const Case cases[] = {
      {"two members", join({one, two}), 0, join({data, small})},
      {"the same twice", join({one, one}), 0, join({data, data})},
      {"an empty member between", join({two, empty, one}), 0, join({small, data})},
      {"padding", join({one, zeros}), 0, data},
      {"padding after two", join({one, two, zeros}), 0, join({data, small})},
      {"a byte of garbage", join({one, Bytes{0x1F}}), GZARC_STATUS_BAD_DATA, {}},
      {"garbage after padding", join({one, zeros, Bytes{7}}), GZARC_STATUS_BAD_DATA, {}},
      {"a damaged second member", join({one, damagedTwo}), GZARC_STATUS_BAD_DATA, {}},
      {"a truncated second member",
       join({one, Bytes(two.begin(), two.end() - 3)}),
       GZARC_STATUS_BAD_DATA,
       {}},
      {"a cut second header",
       join({one, Bytes(two.begin(), two.begin() + 6)}),
       GZARC_STATUS_BAD_DATA,
       {}},
      {"a second member with FTEXT", join({one, textTwo}), GZARC_STATUS_TEXT_FLAG, {}},
      {"a wrong header CRC", join({one, headerCrcTwo}), GZARC_STATUS_BAD_DATA, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Listing listing = List(c.archive);
    EXPECT_EQ(listing.status, 0);
    EXPECT_EQ(listing.name, c.archive == join({two, empty, one}) ? "two" : "one");
    // The listed size is the last member's: the percentage stops at 100.
    int32_t highest = 0;
    const Extraction extraction = Extract(
        c.archive,
        [](void* context, int32_t percent, int32_t) -> int32_t {
          auto* high = static_cast<int32_t*>(context);
          *high = std::max(*high, percent);
          return 1;
        },
        &highest);
    EXPECT_LE(highest, 100);
    EXPECT_EQ(extraction.status, c.status);
    EXPECT_EQ(extraction.bytes, c.output);
    EXPECT_EQ(extraction.output.empty(), c.status != 0);
  }
}

struct Cancel {
  int calls = 0;
  int64_t bytes = 0;
};

int32_t GZARC_CALL CancelAtOnce(void* context, int32_t, int32_t count) {
  auto* cancel = static_cast<Cancel*>(context);
  ++cancel->calls;
  cancel->bytes += count;
  return 0;
}

TEST_F(HostileInputs, BombCancelledFromTheProgressCallback) {
  // 8 MiB of zeros packed more than a thousandfold.
  const Bytes zeros(8u << 20, 0);
  const Bytes bomb = Member("bomb", zeros);
  ASSERT_GT(zeros.size() / bomb.size(), 1000u);
  Cancel cancel;
  const Extraction extraction = Extract(bomb, CancelAtOnce, &cancel);
  EXPECT_EQ(extraction.status, GZARC_STATUS_CANCELLED);
  // The first answer stops it: no more calls, and decoding ends with the
  // block it was in.
  EXPECT_EQ(cancel.calls, 1);
  EXPECT_EQ(cancel.bytes, 32768);
}

}  // namespace
}  // namespace gzarc::test
