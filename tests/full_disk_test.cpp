// A disk that really fills up: a small memory file system mounted for the
// test (root only; skipped elsewhere). Compression into it and extraction
// into it must end with 101, leave nothing partial, and lose nothing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "deflate_inputs.h"
#include "gzarc.h"
#include "test_support.h"

namespace gzarc::test {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

class FullDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting needs root";
    disk_ = dir_.Native("disk");
    fs::create_directory(disk_);
    if (test::Run("mount -t tmpfs -o size=1m,mode=0777 gzarc-full-disk '" + disk_ +
                  "' 2>/dev/null") != 0) {
      GTEST_SKIP() << "mounting a tmpfs is not permitted here";
    }
    mounted_ = true;
    DoneArcFile(nullptr);
    // Something that was on the disk before and must stay.
    WriteFile(disk_ + "/precious.txt", kPrecious);
  }
  void TearDown() override {
    DoneArcFile(nullptr);
    if (mounted_) {
      EXPECT_EQ(test::Run("umount '" + disk_ + "'"), 0);
    }
  }

  // Names on the small disk besides precious.txt.
  std::vector<std::string> Leftovers() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(disk_)) {
      const std::string name = entry.path().filename().string();
      if (name != "precious.txt") names.push_back(name);
    }
    return names;
  }

  const std::string kPrecious = "must survive a full disk";
  TempDir dir_;
  std::string disk_;
  bool mounted_ = false;
};

TEST_F(FullDisk, CompressionIntoAFullDisk) {
  // Incompressible and three times the disk.
  const Bytes source = MakeInput(InputKind::kNoise, 3 << 20, 17);
  WriteFile(dir_.Native("big.bin"), source);
  const std::string archive = ToWin(disk_ + "/big.gz");
  CreateArcFile(archive.c_str());
  ASSERT_EQ(GetArchiveStatus(), 0);
  FileMaskList masks;
  InitFileMaskList(&masks);
  ASSERT_EQ(AppendFileMask(dir_.Win("big.bin").c_str(), &masks), 1);
  CompressFileMaskListArc(&masks);
  DoneFileMaskList(&masks);
  EXPECT_EQ(GetArchiveStatus(), GZARC_STATUS_WRITE_SHORT);
  EXPECT_TRUE(Leftovers().empty());
  EXPECT_EQ(ReadFile(dir_.Native("big.bin")), source);
  EXPECT_EQ(ReadFile(disk_ + "/precious.txt"), Bytes(kPrecious.begin(), kPrecious.end()));
}

int32_t GZARC_CALL Replace(void*, const FindData*, const FindData*) {
  return GZARC_REPLACE_EXTRACT;
}

// Extracts dir/big.gz into the small disk, as a host does.
uint16_t ExtractInto(const std::string& archive, const std::string& disk) {
  InitArcFile(archive.c_str());
  if (GetArchiveStatus() != 0) return GetArchiveStatus();
  SetOkToReplaceProc(nullptr, Replace);
  std::vector<char> record(GZARC_DECOMP_RECORD_SIZE, 0);
  const std::string target = ToWin(disk) + "\\";
  std::memcpy(record.data() + GZARC_DECOMP_EXTRACT_DIR, target.data(), target.size());
  SetDecompExtraFeatures(record.data());
  FileMaskList masks;
  InitFileMaskList(&masks);
  EXPECT_EQ(AppendFileMask("*.*", &masks), 1);
  ExtractFileMaskListArc(&masks);
  DoneFileMaskList(&masks);
  return GetArchiveStatus();
}

TEST_F(FullDisk, ExtractionIntoAFullDisk) {
  // Three times the disk once extracted; the archive itself lies elsewhere.
  const Bytes member = MakeInput(InputKind::kMixed, 3 << 20, 19);
  WriteFile(dir_.Native("big.bin"), member);
  CreateArcFile(dir_.Win("big.gz").c_str());
  FileMaskList masks;
  InitFileMaskList(&masks);
  ASSERT_EQ(AppendFileMask(dir_.Win("big.bin").c_str(), &masks), 1);
  CompressFileMaskListArc(&masks);
  DoneFileMaskList(&masks);
  ASSERT_EQ(GetArchiveStatus(), 0);
  DoneArcFile(nullptr);
  const Bytes archive = ReadFile(dir_.Native("big.gz"));

  EXPECT_EQ(ExtractInto(dir_.Win("big.gz"), disk_), GZARC_STATUS_WRITE_SHORT);
  EXPECT_TRUE(Leftovers().empty());

  // Over a file of that name: it stays as it was, and the room its
  // replacement took is given back.
  const Bytes old = MakeInput(InputKind::kText, 100000, 3);
  WriteFile(disk_ + "/big.bin", old);
  EXPECT_EQ(ExtractInto(dir_.Win("big.gz"), disk_), GZARC_STATUS_WRITE_SHORT);
  EXPECT_EQ(Leftovers(), std::vector<std::string>{"big.bin"});
  EXPECT_EQ(ReadFile(disk_ + "/big.bin"), old);
  EXPECT_EQ(ReadFile(disk_ + "/precious.txt"), Bytes(kPrecious.begin(), kPrecious.end()));
  EXPECT_EQ(ReadFile(dir_.Native("big.gz")), archive);
  // The disk has its room back: a file of 800 KB fits again.
  WriteFile(disk_ + "/room.bin", Bytes(800000, 1));
  EXPECT_EQ(ReadFile(disk_ + "/room.bin").size(), 800000u);
}

}  // namespace
}  // namespace gzarc::test
