// Settings, status rules, callbacks and the current archive, driven through
// the exports as a host drives them.
#include "engine/engine_state.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/archive.h"
#include "gzarc.h"
#include "test_data.h"
#include "test_support.h"

namespace {

using gzarc::Engine;
using gzarc::test::TempDir;

class EngineStateTest : public ::testing::Test {
 protected:
  void SetUp() override { Engine() = gzarc::EngineState{}; }
  void TearDown() override { Engine() = gzarc::EngineState{}; }
};

const std::vector<uint8_t> kGzipBytes = gzarc::test::GzipMember({}, {0x03, 0x00}, 0, 0);

TEST_F(EngineStateTest, InputPathGetsSeparatorByLengthOnly) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"C:\\", "C:\\"}, {"abc", "abc"}, {"abcd", "abcd\\"}, {"C:\\dir\\", "C:\\dir\\\\"}, {"", ""}};
  for (const auto& c : cases) {
    SetInputPath(c.in);
    EXPECT_STREQ(Engine().InputPath, c.out) << c.in;
  }
}

TEST_F(EngineStateTest, OverlongStringsAreRefusedNotOverflowed) {
  SetInputPath("C:\\keep");
  SetRelativePath("rel");
  const std::string huge(5000, 'x');
  SetInputPath(huge.c_str());
  SetRelativePath(huge.c_str());
  EXPECT_STREQ(Engine().InputPath, "C:\\keep\\");
  EXPECT_STREQ(Engine().RelativePath, "rel");
  // 262 characters still fit InputPath with its separator, 263 do not.
  SetInputPath(std::string(262, 'a').c_str());
  EXPECT_EQ(std::strlen(Engine().InputPath), 263u);
  SetInputPath(std::string(263, 'b').c_str());
  EXPECT_EQ(Engine().InputPath[0], 'a');

  std::vector<char> record(GZARC_DECOMP_RECORD_SIZE, 'y');  // no terminator anywhere
  SetDecompExtraFeatures(record.data());
  EXPECT_STREQ(Engine().RelativePath, "rel");
  EXPECT_STREQ(Engine().ExtractDir, "");
}

TEST_F(EngineStateTest, DecompressionRecordSetsExtractDirThenRelativePath) {
  std::vector<char> record(GZARC_DECOMP_RECORD_SIZE, 0);
  auto put = [&](std::size_t offset, const char* text) {
    std::memset(record.data() + offset, 0, 272);
    std::memcpy(record.data() + offset, text, std::strlen(text));
  };
  put(GZARC_DECOMP_EXTRACT_DIR, "D:");
  SetDecompExtraFeatures(record.data());
  EXPECT_STREQ(Engine().ExtractDir, "D:");
  put(GZARC_DECOMP_EXTRACT_DIR, "C:\\out");
  put(GZARC_DECOMP_RELATIVE_PATH, "docs");
  SetDecompExtraFeatures(record.data());
  EXPECT_STREQ(Engine().ExtractDir, "C:\\out\\");
  EXPECT_STREQ(Engine().RelativePath, "docs");
  put(GZARC_DECOMP_EXTRACT_DIR, "C:\\out\\");
  put(GZARC_DECOMP_RELATIVE_PATH, "");
  SetDecompExtraFeatures(record.data());
  EXPECT_STREQ(Engine().ExtractDir, "C:\\out\\");
  EXPECT_STREQ(Engine().RelativePath, "docs");  // empty leaves it as it was
}

TEST_F(EngineStateTest, CompressionRecordEmptyStringsLeavePathsAlone) {
  SetRelativePath("keep-rel");
  SetInputPath("C:\\in");
  std::vector<char> record(GZARC_COMP_RECORD_SIZE, 0);
  SetCompExtraFeatures(record.data());
  EXPECT_STREQ(Engine().RelativePath, "keep-rel");
  EXPECT_STREQ(Engine().InputPath, "C:\\in\\");

  std::memcpy(record.data() + GZARC_COMP_RELATIVE_PATH, "sub", 3);
  std::memcpy(record.data() + GZARC_COMP_INPUT_PATH, "D:\\src", 6);
  const uint32_t value = 0xA5A5A5A5u;
  std::memcpy(record.data() + GZARC_COMP_VALUE_A, &value, 4);
  SetCompExtraFeatures(record.data());
  EXPECT_STREQ(Engine().RelativePath, "sub");
  EXPECT_STREQ(Engine().InputPath, "D:\\src\\");
  EXPECT_EQ(Engine().compValueA, value);
}

TEST_F(EngineStateTest, StatusRulesOfTheExports) {
  EXPECT_EQ(SetArchiveStatus(0x12345u), 0x2345);
  EXPECT_EQ(GetArchiveStatus(), 0x2345);

  TestArc();
  EXPECT_EQ(GetArchiveStatus(), GZARC_STATUS_UNSUPPORTED);
  EXPECT_EQ(GetArchiveStatus(), 0x8002);
  for (auto* notSupported :
       {&AddDamageGuardArc, &BuildUnDamagedArc, &CreateArcSfx2, &CreateDirectoryArc, &CreateExeArc,
        &SetFileCommentsArc, &SetMainCommentArc, &StripDamageGuardArc}) {
    SetArchiveStatus(0);
    notSupported(1, 2, 3);
    EXPECT_EQ(GetArchiveStatus(), GZARC_STATUS_UNSUPPORTED);
  }
  SetArchiveStatus(77);
  SetCryptKey("secret", 1, 2);
  SetSetCryptKeyProc(nullptr, nullptr);
  SetPackLevel(9);
  SetRelativePath("x");
  EXPECT_EQ(GetArchiveStatus(), 77);

  MainComment comment{1, 2};
  EXPECT_EQ(GetMainCommentArc(&comment), &comment);
  EXPECT_EQ(comment.word0, 0u);
  EXPECT_EQ(comment.word1, 0u);
  EXPECT_EQ(GetArchiveStatus(), 77);
}

int32_t GZARC_CALL Progress(void*, int32_t, int32_t) {
  return 1;
}
void GZARC_CALL Signal(void*, int64_t, int32_t) {}
void GZARC_CALL Opaque() {}

TEST_F(EngineStateTest, OpeningAnArchiveResetsMostCallbacks) {
  TempDir dir;
  gzarc::test::WriteFile(dir.Native("a.gz"), kGzipBytes);
  int context = 0;
  SetSetProgressProc(&context, &Progress);
  SetSetSignalProc(&context, &Signal);
  SetSetWarningProc(&context, &Opaque);
  SetSkipFileProc(&context, &Opaque);
  SetGetNextDiskProc(&context, &Opaque);
  SetSetSfxProgressProc(&context, &Opaque);
  SetPackLevel(7);
  SetRelativePath("gone");
  SetInputPath("C:\\stays");

  InitArcFile(dir.Win("a.gz").c_str());
  ASSERT_EQ(GetArchiveStatus(), 0);
  const auto& e = Engine();
  EXPECT_EQ(e.progressProc.proc, nullptr);
  EXPECT_EQ(e.progressProc.context, nullptr);
  EXPECT_EQ(e.nextDiskProc.proc, nullptr);
  EXPECT_EQ(e.sfxProgressProc.proc, nullptr);
  EXPECT_EQ(e.signalProc.proc, &Signal);  // survives, with no context
  EXPECT_EQ(e.signalProc.context, nullptr);
  EXPECT_EQ(e.warningProc.proc, &Opaque);
  EXPECT_EQ(e.skipFileProc.proc, &Opaque);
  EXPECT_EQ(e.PackLevel, 0);
  EXPECT_STREQ(e.RelativePath, "");
  EXPECT_STREQ(e.InputPath, "C:\\stays\\");

  // Creating an archive resets nothing.
  SetSetProgressProc(&context, &Progress);
  CreateArcFile(dir.Win("new").c_str());
  EXPECT_EQ(e.progressProc.proc, &Progress);
}

TEST_F(EngineStateTest, ArchiveNamesGetTheDefaultExtension) {
  char out[256];
  ASSERT_TRUE(gzarc::MakeArchiveName("C:\\data\\x", "GZ", out, sizeof out));
  EXPECT_STREQ(out, "C:\\data\\x.GZ");
  ASSERT_TRUE(gzarc::MakeArchiveName("C:\\my.dir\\x", "GZ", out, sizeof out));
  EXPECT_STREQ(out, "C:\\my.dir\\x.GZ");
  ASSERT_TRUE(gzarc::MakeArchiveName("x.tgz", "GZ", out, sizeof out));
  EXPECT_STREQ(out, "x.tgz");
  ASSERT_TRUE(gzarc::MakeArchiveName("dir/x.", "GZ", out, sizeof out));
  EXPECT_STREQ(out, "dir/x.");  // only a backslash hides a dot
  ASSERT_TRUE(gzarc::MakeArchiveName("", "GZ", out, sizeof out));
  EXPECT_STREQ(out, "");
  EXPECT_FALSE(gzarc::MakeArchiveName(std::string(253, 'n').c_str(), "GZ", out, sizeof out));
}

TEST_F(EngineStateTest, CreateArcFileCreatesOnlyNewFiles) {
  TempDir dir;
  CreateArcFile(dir.Win("fresh").c_str());
  EXPECT_EQ(GetArchiveStatus(), 0);
  EXPECT_TRUE(gzarc::test::FileExists(dir.Native("fresh.GZ")));
  EXPECT_STREQ(Engine().ArchivePath, dir.Win("fresh.GZ").c_str());
  EXPECT_EQ(Engine().ArchiveIsNew, 1);

  gzarc::test::WriteFile(dir.Native("old.gz"), "precious");
  CreateArcFile(dir.Win("old.gz").c_str());
  EXPECT_EQ(GetArchiveStatus(), GZARC_STATUS_EXISTS);
  EXPECT_EQ(gzarc::test::ReadFile(dir.Native("old.gz")).size(), 8u);
  EXPECT_STREQ(Engine().ArchivePath, dir.Win("fresh.GZ").c_str());

  gzarc::test::WriteFile(dir.Native("ro.gz"), "read only");
  ::chmod(dir.Native("ro.gz").c_str(), 0444);
  CreateArcFile(dir.Win("ro.gz").c_str());
  EXPECT_EQ(GetArchiveStatus(), GZARC_STATUS_FILE_ERROR);
  EXPECT_STREQ(Engine().ArchivePath, dir.Win("ro.gz").c_str());
  EXPECT_EQ(Engine().ArchiveIsNew, 1);
  EXPECT_EQ(gzarc::test::ReadFile(dir.Native("ro.gz")).size(), 9u);

  DoneArcFile(nullptr);
  CreateArcFile("");
  EXPECT_EQ(GetArchiveStatus(), GZARC_STATUS_FILE_ERROR);
  EXPECT_STREQ(Engine().ArchivePath, "");
}

TEST_F(EngineStateTest, InitArcFileChecksMagicAndRefusesSafely) {
  TempDir dir;
  gzarc::test::WriteFile(dir.Native("good.gz"), kGzipBytes);
  gzarc::test::WriteFile(dir.Native("short.gz"), std::vector<uint8_t>{0x1F, 0x8B});
  gzarc::test::WriteFile(dir.Native("zip.gz"), std::vector<uint8_t>{0x1F, 0x8B, 0x07, 0});

  InitArcFile(dir.Win("good.gz").c_str());
  EXPECT_EQ(GetArchiveStatus(), 0);
  EXPECT_STREQ(Engine().ArchivePath, dir.Win("good.gz").c_str());
  EXPECT_EQ(Engine().ArchiveIsNew, 0);
  ArcExtraInfo info;
  std::memset(&info, 0xCC, sizeof info);
  GetExtraInfoArc(&info);
  const std::vector<uint8_t> zeros(sizeof info, 0);
  EXPECT_EQ(std::memcmp(&info, zeros.data(), sizeof info), 0);

  InitArcFile(dir.Win("short.gz").c_str());
  EXPECT_EQ(GetArchiveStatus(), GZARC_STATUS_NOT_GZIP);
  InitArcFile(dir.Win("zip.gz").c_str());
  EXPECT_EQ(GetArchiveStatus(), GZARC_STATUS_NOT_GZIP);
  InitArcFile(dir.Win("missing.gz").c_str());
  EXPECT_EQ(GetArchiveStatus(), GZARC_STATUS_FILE_ERROR);
  InitArcFile(dir.Win("").c_str());  // a folder is not an archive
  EXPECT_EQ(GetArchiveStatus(), GZARC_STATUS_FILE_ERROR);
  InitArcFile(std::string(300, 'q').c_str());
  EXPECT_EQ(GetArchiveStatus(), GZARC_STATUS_FILE_ERROR);
  // The refused state keeps the earlier archive and never lets compression
  // take it for a new one.
  EXPECT_STREQ(Engine().ArchivePath, dir.Win("good.gz").c_str());
  EXPECT_EQ(Engine().ArchiveIsNew, 0);
  FileMaskList masks;
  InitFileMaskList(&masks);
  AppendFileMask(dir.Win("good.gz").c_str(), &masks);
  CompressFileMaskListArc(&masks);
  DoneFileMaskList(&masks);
  EXPECT_EQ(GetArchiveStatus(), GZARC_STATUS_NOT_NEW);
  EXPECT_EQ(gzarc::test::ReadFile(dir.Native("good.gz")), kGzipBytes);
}

TEST_F(EngineStateTest, OpeningLeavesNoDescriptorBehind) {
  TempDir dir;
  gzarc::test::WriteFile(dir.Native("good.gz"), kGzipBytes);
  gzarc::test::WriteFile(dir.Native("plain.txt"), "hello");
  const std::size_t before = gzarc::test::OpenDescriptorCount();
  for (int i = 0; i < 20; ++i) {
    InitZipFile(dir.Win("plain.txt").c_str());
    EXPECT_EQ(GetArchiveStatus(), 0);
    CreateArcFile(dir.Win("plain.txt").c_str());
    EXPECT_EQ(GetArchiveStatus(), GZARC_STATUS_EXISTS);
    InitArcFile(dir.Win("good.gz").c_str());
    InitArcFile(dir.Win("plain.txt").c_str());
  }
  EXPECT_EQ(gzarc::test::OpenDescriptorCount(), before);

  InitZipFile(dir.Win("nothing-here").c_str());
  EXPECT_EQ(GetArchiveStatus(), GZARC_STATUS_FILE_ERROR);
  InitZipFile(dir.Win("plain.txt").c_str());
  EXPECT_STREQ(Engine().ArchivePath, dir.Win("plain.txt").c_str());
  DoneArcFile(nullptr);
  EXPECT_STREQ(Engine().ArchivePath, "");
  EXPECT_EQ(Engine().ArchiveIsNew, 0);
}

}  // namespace
