// A disk that really fills up: a small memory file system mounted for the
// test (root only; skipped elsewhere). Compression into it and extraction
// into it must end with 101, leave nothing partial, and lose nothing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "gzarc.h"
#include "test_data.h"
#include "test_support.h"

namespace gzarc::test {
namespace {

namespace fs = std::filesystem;

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

  const std::string kPrecious = "must survive a full disk";
  TempDir dir_;
  std::string disk_;
  bool mounted_ = false;
};

TEST_F(FullDisk, CompressionIntoAFullDisk) {
  // Incompressible and three times the disk.
  const Bytes source = MakeInput(InputKind::kNoise, 3 << 20, 17);
  WriteFile(dir_.Native("big.bin"), source);
  EXPECT_EQ(CompressAsHost(ToWin(disk_ + "/big.gz"), dir_.Win("big.bin")),
            GZARC_STATUS_WRITE_SHORT);
  EXPECT_EQ(Names(disk_), std::set<std::string>{"precious.txt"});
  EXPECT_EQ(ReadFile(dir_.Native("big.bin")), source);
  EXPECT_EQ(ReadFile(disk_ + "/precious.txt"), Bytes(kPrecious.begin(), kPrecious.end()));
}

TEST_F(FullDisk, ExtractionIntoAFullDisk) {
  // Three times the disk once extracted; the archive itself lies elsewhere.
  const Bytes member = MakeInput(InputKind::kMixed, 3 << 20, 19);
  WriteFile(dir_.Native("big.bin"), member);
  ASSERT_EQ(CompressAsHost(dir_.Win("big.gz"), dir_.Win("big.bin")), 0);
  const Bytes archive = ReadFile(dir_.Native("big.gz"));
  const std::string target = ToWin(disk_) + "\\";

  EXPECT_EQ(ExtractAsHost(dir_.Win("big.gz"), target), GZARC_STATUS_WRITE_SHORT);
  EXPECT_EQ(Names(disk_), std::set<std::string>{"precious.txt"});

  // Over a file of that name: it stays as it was, and the room its
  // replacement took is given back.
  const Bytes old = MakeInput(InputKind::kText, 100000, 3);
  WriteFile(disk_ + "/big.bin", old);
  EXPECT_EQ(ExtractAsHost(dir_.Win("big.gz"), target), GZARC_STATUS_WRITE_SHORT);
  EXPECT_EQ(Names(disk_), (std::set<std::string>{"big.bin", "precious.txt"}));
  EXPECT_EQ(ReadFile(disk_ + "/big.bin"), old);
  EXPECT_EQ(ReadFile(disk_ + "/precious.txt"), Bytes(kPrecious.begin(), kPrecious.end()));
  EXPECT_EQ(ReadFile(dir_.Native("big.gz")), archive);
  // The disk has its room back: a file of 800 KB fits again.
  WriteFile(disk_ + "/room.bin", Bytes(800000, 1));
  EXPECT_EQ(ReadFile(disk_ + "/room.bin").size(), 800000u);
}

}  // namespace
}  // namespace gzarc::test
