// Extraction and deletion: the member's file in place with its time and
// attribute, the host's callbacks, and nothing lost when anything fails.
#include "inflate/extraction.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "deflate/compression.h"
#include "engine/engine_state.h"
#include "gzarc.h"
#include "inflate/inflate.h"
#include "paths/strings.h"
#include "platform/platform.h"
#include "platform/platform_faults.h"
#include "test_data.h"
#include "test_support.h"

namespace gzarc {
namespace {

using test::Bytes;
namespace fs = std::filesystem;

constexpr uint32_t kMTime = 1600000000;  // 2020-09-13 12:26:40 UTC

Bytes SampleData(std::size_t n, uint64_t seed) {
  return test::MakeInput(test::InputKind::kMixed, n, seed);
}

// A one-member gzip file of this engine's compressor, with the member's name
// and time set in its header.
Bytes MakeGzip(const Bytes& data, const std::string& name, uint32_t mtime = kMTime) {
  Bytes stream;
  EXPECT_EQ(deflate::CompressMemory(data, &stream), 0);
  return test::GzipMember({.mtime = mtime, .name = name}, stream, test::ReferenceCrc32(data),
                          static_cast<uint32_t>(data.size()));
}

// The record the archive scan yields for such a file.
MemberInfo InfoOf(const Bytes& gz, const std::string& name) {
  MemberInfo m{};
  const uint32_t offset = static_cast<uint32_t>(10 + name.size() + 1);
  m.UnpackedSize = test::Le32(gz, gz.size() - 4);
  m.Crc32 = test::Le32(gz, gz.size() - 8);
  m.PackedSize = static_cast<uint32_t>(gz.size()) - offset - 8;
  m.DataOffset = offset;
  m.MTime = test::Le32(gz, 4);
  m.Attributes = 128;
  std::copy_n(name.c_str(), std::min<std::size_t>(name.size(), 255), m.Name);
  return m;
}

struct Calls {
  std::vector<std::string> events;
  std::string from, to;
  FindData existing{}, member{};
  int32_t replaceAnswer = 0;
  int64_t signalSize = 0;
  int32_t signalCode = 0;
  int32_t progressAnswer = 1;
};
Calls* gCalls = nullptr;

int32_t OnFileName(void*, const char* from, const char* to) {
  gCalls->events.push_back("name");
  gCalls->from = from;
  gCalls->to = to;
  return 0;
}
int32_t OnReplace(void*, const FindData* existing, const FindData* member) {
  gCalls->events.push_back("replace");
  gCalls->existing = *existing;
  gCalls->member = *member;
  return gCalls->replaceAnswer;
}
void OnSignal(void*, int64_t size, int32_t code) {
  gCalls->events.push_back("signal");
  gCalls->signalSize = size;
  gCalls->signalCode = code;
}
int32_t OnProgress(void*, int32_t, int32_t) {
  gCalls->events.push_back("progress");
  return gCalls->progressAnswer;
}

class ExtractionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gCalls = &calls;
    EngineState& e = Engine();
    e.fileNameProc = {nullptr, OnFileName};
    e.replaceProc = {nullptr, OnReplace};
    e.signalProc = {nullptr, OnSignal};
    e.progressProc = {nullptr, OnProgress};
    e.RelativePath[0] = '\0';
    fs::create_directory(dir.Native("out"));
    CopyBounded(e.ExtractDir, kExtractDirSize, (dir.Win("out") + "\\").c_str());
    SetStatus(0);
  }
  void TearDown() override {
    EngineState& e = Engine();
    e.fileNameProc = {};
    e.replaceProc = {};
    e.signalProc = {};
    e.progressProc = {};
    e.ExtractDir[0] = '\0';
    e.ArchivePath[0] = '\0';
    platform::faults::Disarm();
    gCalls = nullptr;
  }

  // Writes the archive and extracts its member as the driver would after a
  // scan that found it.
  void Extract(const Bytes& gz, const MemberInfo& info, mode_t archiveMode = 0644) {
    test::WriteFile(dir.Native("a.gz"), gz);
    ::chmod(dir.Native("a.gz").c_str(), archiveMode);
    CopyBounded(Engine().ArchivePath, kArchivePathSize, dir.Win("a.gz").c_str());
    MemberInfo member = info;
    MemberInfoList list{1, &member, &member};
    SetStatus(0);
    ASSERT_TRUE(AllocBlock(&Decoder().InputBuffer, kInputBufferSize));
    ExtractMembers(&list);
    FreeBlock(&Decoder().InputBuffer);
  }

  std::set<std::string> OutFiles() const { return test::Names(dir.Native("out")); }

  test::TempDir dir;
  Calls calls;
};

TEST_F(ExtractionTest, WritesTheMemberWithItsTimeAndAttribute) {
  const Bytes data = SampleData(100000, 1);
  const Bytes gz = MakeGzip(data, "docs/readme.txt");
  Extract(gz, InfoOf(gz, "docs/readme.txt"));
  EXPECT_EQ(Status(), 0);
  struct stat st {};
  ASSERT_EQ(::stat(dir.Native("out/readme.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, kMTime);
  EXPECT_EQ(st.st_atime, kMTime);
  EXPECT_EQ(test::ReadFile(dir.Native("out/readme.txt")), data);
  EXPECT_EQ(OutFiles(), std::set<std::string>{"readme.txt"});
  EXPECT_EQ(platform::GetFileAttributesA(dir.Win("out/readme.txt").c_str()),
            platform::kAttributeArchive);
  // No file there: no replace question; the signal before the progress.
  ASSERT_GE(calls.events.size(), 3u);
  EXPECT_EQ(calls.events[0], "name");
  EXPECT_EQ(calls.events[1], "signal");
  EXPECT_EQ(calls.events[2], "progress");
  EXPECT_EQ(calls.from, "\\docs/readme.txt");
  EXPECT_EQ(calls.to, dir.Win("out") + "\\readme.txt");
  EXPECT_EQ(calls.signalSize, 100000);
  EXPECT_EQ(calls.signalCode, GZARC_SIGNAL_EXTRACTING);
}

TEST_F(ExtractionTest, ReplaceAnswersOnAnExistingFile) {
  const Bytes data = SampleData(5000, 2);
  const Bytes gz = MakeGzip(data, "f.txt");
  const std::string target = dir.Native("out/f.txt");
  const Bytes old = {'o', 'l', 'd'};
  struct Case {
    int32_t answer;
    bool readOnly;
    uint16_t status;
    bool replaced;
  };
  constexpr int32_t kExtract = GZARC_REPLACE_EXTRACT, kSkip = GZARC_REPLACE_SKIP,
                    kCancel = GZARC_REPLACE_CANCEL, kKeep = GZARC_REPLACE_KEEP_ATTRIBUTES;
  // 5 and -1 stand for every answer the engine does not name.
  const Case cases[] = {
      {kExtract, false, 0, true},
      {kExtract, true, 0, true},
      {kSkip, false, 0, false},
      {kSkip, true, 0, false},
      {kCancel, false, GZARC_STATUS_CANCELLED, false},
      {kCancel, true, GZARC_STATUS_CANCELLED, false},
      {kKeep, false, 0, true},
      {kKeep, true, GZARC_STATUS_FILE_ERROR, false},
      {5, false, 0, true},
      {5, true, GZARC_STATUS_FILE_ERROR, false},
      {-1, false, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "answer " << c.answer << " read-only " << c.readOnly);
    fs::remove(target);
    test::WriteFile(target, old);
    ::chmod(target.c_str(), c.readOnly ? 0444 : 0644);
    calls = Calls{};
    calls.replaceAnswer = c.answer;
    Extract(gz, InfoOf(gz, "f.txt"));
    EXPECT_EQ(Status(), c.status);
    EXPECT_EQ(test::ReadFile(target), c.replaced ? data : old);
    EXPECT_EQ(OutFiles(), std::set<std::string>{"f.txt"});
    const bool signalled =
        std::find(calls.events.begin(), calls.events.end(), "signal") != calls.events.end();
    EXPECT_EQ(signalled,
              c.answer != kSkip && c.answer != kCancel && (c.answer == kExtract || !c.readOnly));
    if (c.replaced) {
      EXPECT_EQ(platform::GetFileAttributesA(dir.Win("out/f.txt").c_str()),
                platform::kAttributeArchive);
    } else {
      EXPECT_EQ(platform::GetFileAttributesA(dir.Win("out/f.txt").c_str()),
                c.readOnly ? platform::kAttributeReadOnly : platform::kAttributeArchive);
    }
  }
}

TEST_F(ExtractionTest, ReplaceCallbackSeesBothFiles) {
  const Bytes data = SampleData(777, 3);
  const Bytes gz = MakeGzip(data, "sub\\g.bin");
  test::WriteFile(dir.Native("out/g.bin"), Bytes(12, 'x'));
  calls.replaceAnswer = GZARC_REPLACE_SKIP;
  Extract(gz, InfoOf(gz, "sub\\g.bin"));
  ASSERT_EQ(calls.events, (std::vector<std::string>{"name", "replace"}));
  EXPECT_EQ(calls.existing.sizeLow, 12u);
  EXPECT_STREQ(calls.existing.fileName, "g.bin");
  EXPECT_EQ(calls.member.attributes, 128u);
  EXPECT_EQ(calls.member.sizeLow, 777u);
  EXPECT_EQ(calls.member.sizeHigh, 0u);
  EXPECT_STREQ(calls.member.fileName, "sub\\g.bin");
  // With the zone at UTC, local and UTC file times agree.
  const uint64_t ticks = (uint64_t{kMTime} + 11644473600ull) * 10000000ull;
  for (const FindFileTime& t :
       {calls.member.creationTime, calls.member.lastAccessTime, calls.member.lastWriteTime}) {
    EXPECT_EQ((uint64_t{t.high} << 32) | t.low, ticks);
  }
  EXPECT_EQ(calls.member.alternateFileName[0], '\0');
}

TEST_F(ExtractionTest, TheFileTakesTheArchivesPermissions) {
  const Bytes data = SampleData(300000, 10);
  const Bytes gz = MakeGzip(data, "p.txt");
  const std::string target = dir.Native("out/p.txt");
  // Nobody else can open the file while its content is written.
  static std::string out;
  static int seen, shared;
  out = dir.Native("out");
  seen = shared = 0;
  Engine().progressProc = {nullptr, [](void*, int32_t, int32_t) -> int32_t {
                             for (const auto& entry : fs::directory_iterator(out)) {
                               struct stat st {};
                               if (entry.path().filename().string().rfind(".gzarc-", 0) == 0 &&
                                   ::stat(entry.path().c_str(), &st) == 0) {
                                 ++seen;
                                 shared += (st.st_mode & 0777) != 0600;
                               }
                             }
                             return 1;
                           }};
  // Whatever the umask and the file replaced (the one before); read-only
  // stays the attributes' business, and set-id bits are not carried over.
  const mode_t previous = ::umask(022);
  const std::pair<mode_t, mode_t> modes[] = {
      {0600, 0600}, {0666, 0666}, {0755, 0755}, {0444, 0644}, {04755, 0755}};
  for (const auto& [archive, expected] : modes) {
    Extract(gz, InfoOf(gz, "p.txt"), archive);
    EXPECT_EQ(Status(), 0);
    struct stat st {};
    EXPECT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, expected) << std::oct << archive;
  }
  ::umask(previous);
  EXPECT_GT(seen, 0);
  EXPECT_EQ(shared, 0);

  // What the compressor uses: a file created for its owner alone, then the
  // source's permissions.
  const int source = ::open(target.c_str(), O_RDONLY);
  const int created = platform::OpenFile(
      dir.Native("new").c_str(), platform::kOpenReadWrite | platform::kOpenCreate,
      platform::kPermissionRead | platform::kPermissionWrite | platform::kPermissionOwnerOnly);
  struct stat st {};
  ASSERT_EQ(::fstat(created, &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(platform::CopyPermissions(source, created), 0);
  ASSERT_EQ(::fstat(created, &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
  ::close(source);
  ::close(created);
}

TEST_F(ExtractionTest, WithoutReplaceCallbackWritableFilesAreOverwrittenReadOnlyOnesRefused) {
  Engine().replaceProc = {};
  const Bytes data = SampleData(3000, 4);
  const Bytes gz = MakeGzip(data, "h.txt");
  const std::string target = dir.Native("out/h.txt");
  test::WriteFile(target, std::string("keep"));
  Extract(gz, InfoOf(gz, "h.txt"));
  EXPECT_EQ(Status(), 0);
  EXPECT_EQ(test::ReadFile(target), data);

  test::WriteFile(target, std::string("keep"));
  ::chmod(target.c_str(), 0444);
  Extract(gz, InfoOf(gz, "h.txt"));
  EXPECT_EQ(Status(), GZARC_STATUS_FILE_ERROR);
  EXPECT_EQ(test::ReadFile(target), (Bytes{'k', 'e', 'e', 'p'}));
  EXPECT_EQ(OutFiles(), std::set<std::string>{"h.txt"});
}

TEST_F(ExtractionTest, FailuresLeaveAnExistingFileAsItWasAndNoOutput) {
  const Bytes data = SampleData(200000, 5);
  const Bytes gz = MakeGzip(data, "v.dat");
  const MemberInfo info = InfoOf(gz, "v.dat");
  Bytes corrupt = gz;
  corrupt[info.DataOffset + info.PackedSize / 2] ^= 0x55;
  Bytes badCrc = gz;
  badCrc[gz.size() - 8] ^= 1;
  const MemberInfo badCrcInfo = InfoOf(badCrc, "v.dat");
  const Bytes truncated(gz.begin(), gz.begin() + static_cast<std::ptrdiff_t>(gz.size() / 2));
  MemberInfo truncatedInfo = info;
  truncatedInfo.PackedSize = truncated.size() - info.DataOffset - 8;

  const std::string target = dir.Native("out/v.dat");
  for (bool existing : {false, true}) {
    struct Run {
      const char* what;
      const Bytes* archive;
      const MemberInfo* info;
      platform::faults::Plan plan;
      int32_t progress;
      uint16_t status;
    };
    using platform::faults::Call;
    const Run runs[] = {
        {"corrupt", &corrupt, &info, {}, 1, GZARC_STATUS_BAD_DATA},
        {"crc", &badCrc, &badCrcInfo, {}, 1, GZARC_STATUS_BAD_DATA},
        {"truncated", &truncated, &truncatedInfo, {}, 1, GZARC_STATUS_BAD_DATA},
        {"cancel", &gz, &info, {}, 0, GZARC_STATUS_CANCELLED},
        {"read", &gz, &info, {Call::kRead, 2, false}, 1, GZARC_STATUS_FILE_ERROR},
        {"write", &gz, &info, {Call::kWrite, 1, true}, 1, GZARC_STATUS_WRITE_SHORT},
        {"rename", &gz, &info, {Call::kRename, 1, false}, 1, GZARC_STATUS_FILE_ERROR},
    };
    for (const Run& run : runs) {
      SCOPED_TRACE(testing::Message() << run.what << (existing ? " over a file" : ""));
      fs::remove(target);
      if (existing) test::WriteFile(target, std::string("precious"));
      calls = Calls{};
      calls.progressAnswer = run.progress;
      test::WriteFile(dir.Native("a.gz"), *run.archive);
      CopyBounded(Engine().ArchivePath, kArchivePathSize, dir.Win("a.gz").c_str());
      MemberInfo member = *run.info;
      MemberInfoList list{1, &member, &member};
      SetStatus(0);
      ASSERT_TRUE(AllocBlock(&Decoder().InputBuffer, kInputBufferSize));
      if (run.plan.call != Call::kCount) platform::faults::Arm(run.plan);
      ExtractMembers(&list);
      platform::faults::Disarm();
      FreeBlock(&Decoder().InputBuffer);
      EXPECT_EQ(Status(), run.status);
      if (existing) {
        EXPECT_EQ(OutFiles(), std::set<std::string>{"v.dat"});
        EXPECT_EQ(test::ReadFile(target), (Bytes{'p', 'r', 'e', 'c', 'i', 'o', 'u', 's'}));
      } else {
        EXPECT_TRUE(OutFiles().empty());
      }
    }
  }
}

TEST_F(ExtractionTest, ReplacingALinkReplacesTheLinkOnly) {
  const Bytes data = SampleData(4000, 6);
  const Bytes gz = MakeGzip(data, "l.txt");
  test::WriteFile(dir.Native("pointee"), std::string("pointee"));
  ::chmod(dir.Native("pointee").c_str(), 0444);
  ASSERT_EQ(::symlink(dir.Native("pointee").c_str(), dir.Native("out/l.txt").c_str()), 0);
  calls.replaceAnswer = GZARC_REPLACE_EXTRACT;
  Extract(gz, InfoOf(gz, "l.txt"));
  // The link to a read-only file cannot be opened for writing: refused.
  EXPECT_EQ(Status(), GZARC_STATUS_FILE_ERROR);
  EXPECT_TRUE(fs::is_symlink(dir.Native("out/l.txt")));
  ::chmod(dir.Native("pointee").c_str(), 0644);
  Extract(gz, InfoOf(gz, "l.txt"));
  EXPECT_EQ(Status(), 0);
  EXPECT_FALSE(fs::is_symlink(dir.Native("out/l.txt")));
  EXPECT_EQ(test::ReadFile(dir.Native("out/l.txt")), data);
  EXPECT_EQ(test::ReadFile(dir.Native("pointee")), (Bytes{'p', 'o', 'i', 'n', 't', 'e', 'e'}));
  // A dangling link is replaced too.
  fs::remove(dir.Native("out/l.txt"));
  ASSERT_EQ(::symlink(dir.Native("nowhere").c_str(), dir.Native("out/l.txt").c_str()), 0);
  Extract(gz, InfoOf(gz, "l.txt"));
  EXPECT_EQ(Status(), 0);
  EXPECT_EQ(test::ReadFile(dir.Native("out/l.txt")), data);
  EXPECT_FALSE(test::FileExists(dir.Native("nowhere")));
}

TEST_F(ExtractionTest, TheArchiveItselfIsNeverTheOutput) {
  const Bytes data = SampleData(1000, 9);
  ASSERT_EQ(::symlink("../a.gz", dir.Native("out/link.gz").c_str()), 0);
  // Written over, the archive would be lost to its own content: refused
  // under another spelling of its folder or through a link, whether the
  // host is asked about replacing files (it is not) or not.
  const std::pair<std::string, std::string> cases[] = {{dir.Win("out") + "\\..\\", "a.gz"},
                                                       {dir.Win("out") + "\\", "link.gz"}};
  for (const auto& [folder, name] : cases) {
    for (const bool ask : {true, false}) {
      SCOPED_TRACE(testing::Message() << folder << name << (ask ? " asked" : ""));
      const Bytes gz = MakeGzip(data, name);
      CopyBounded(Engine().ExtractDir, kExtractDirSize, folder.c_str());
      Engine().replaceProc = {nullptr, ask ? OnReplace : nullptr};
      calls = Calls{};
      Extract(gz, InfoOf(gz, name));
      EXPECT_EQ(Status(), GZARC_STATUS_FILE_ERROR);
      EXPECT_EQ(calls.events, std::vector<std::string>{"name"});
      EXPECT_EQ(test::ReadFile(dir.Native("a.gz")), gz);
      EXPECT_EQ(OutFiles(), std::set<std::string>{"link.gz"});
      EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);
    }
  }
}

TEST_F(ExtractionTest, LongNamesAndPaths) {
  const Bytes data = SampleData(100, 7);
  // A 255-byte name in the current folder (empty extraction folder).
  const std::string longName(255, 'n');
  const Bytes gz = MakeGzip(data, longName);
  const fs::path before = fs::current_path();
  fs::current_path(dir.Native("out"));
  Engine().ExtractDir[0] = '\0';
  Extract(gz, InfoOf(gz, longName));
  fs::current_path(before);
  EXPECT_EQ(Status(), 0);
  EXPECT_EQ(test::ReadFile(dir.Native("out/" + longName)), data);
  EXPECT_EQ(OutFiles(), std::set<std::string>{longName});

  // A path of exactly 255 characters extracts; one more is refused.
  const std::string folder = dir.Win("out") + "\\";
  CopyBounded(Engine().ExtractDir, kExtractDirSize, folder.c_str());
  for (std::size_t total : {255u, 256u}) {
    const std::string name(total - folder.size(), 'p');
    const Bytes archive = MakeGzip(data, name);
    calls = Calls{};
    Extract(archive, InfoOf(archive, name));
    EXPECT_EQ(Status(), total == 255 ? 0 : GZARC_STATUS_FILE_ERROR) << total;
    EXPECT_EQ(test::FileExists(dir.Native("out/" + name)), total == 255);
  }
}

TEST_F(ExtractionTest, MissingFoldersOfTheExtractionFolderAreCreated) {
  const Bytes data = SampleData(100, 8);
  const Bytes gz = MakeGzip(data, "deep.txt");
  CopyBounded(Engine().ExtractDir, kExtractDirSize, (dir.Win("new\\er") + "\\").c_str());
  Extract(gz, InfoOf(gz, "deep.txt"));
  EXPECT_EQ(Status(), 0);
  EXPECT_EQ(test::ReadFile(dir.Native("new/er/deep.txt")), data);
  EXPECT_EQ(fs::directory_iterator(dir.Native("new/er"))->path().filename(), "deep.txt");
}

TEST_F(ExtractionTest, OutputPathTakesTheFinalComponent) {
  char path[256];
  CopyBounded(Engine().ExtractDir, kExtractDirSize, "C:\\out\\");
  ASSERT_TRUE(BuildOutputPath("docs/readme.txt", path));
  EXPECT_STREQ(path, "C:\\out\\readme.txt");
  ASSERT_TRUE(BuildOutputPath("a\\b:c.txt", path));
  EXPECT_STREQ(path, "C:\\out\\b:c.txt");  // no drives here: the colon is the name's
  // A name that names a folder takes the archive's, as one stored without a
  // name would; so does an archive name that leaves none.
  for (const auto& [archive, expected] :
       {std::pair<const char*, const char*>{"\\in\\notes.tgz", "C:\\out\\notes.tar"},
        {"\\in\\.gz", ""},
        {"\\in\\...gz", ""}}) {
    CopyBounded(Engine().ArchivePath, kArchivePathSize, archive);
    EXPECT_EQ(BuildOutputPath("dir/..", path), expected[0] != '\0') << archive;
    EXPECT_STREQ(path, expected) << archive;
  }
  // The relative path drops its length and one more from a longer name.
  CopyBounded(Engine().RelativePath, kRelativePathSize, "ab");
  ASSERT_TRUE(BuildOutputPath("dir/xyzname.txt", path));
  EXPECT_STREQ(path, "C:\\out\\name.txt");
  ASSERT_TRUE(BuildOutputPath("dir/ab", path));
  EXPECT_STREQ(path, "C:\\out\\ab");
  Engine().RelativePath[0] = '\0';
  Engine().ExtractDir[0] = '\0';
  ASSERT_TRUE(BuildOutputPath("x/y.txt", path));
  EXPECT_STREQ(path, "y.txt");
}

TEST_F(ExtractionTest, ArchiveThatCannotBeOpened) {
  CopyBounded(Engine().ArchivePath, kArchivePathSize, dir.Win("missing.gz").c_str());
  MemberInfo member{};
  std::strcpy(member.Name, "m.txt");
  MemberInfoList list{1, &member, &member};
  SetStatus(0);
  ExtractMembers(&list);
  EXPECT_EQ(Status(), GZARC_STATUS_FILE_ERROR);
  EXPECT_TRUE(calls.events.empty());
  EXPECT_TRUE(OutFiles().empty());
}

}  // namespace
}  // namespace gzarc

// ---- Through the exports, as a host drives them ---------------------------

namespace gzarc {
namespace {

class HostExtractionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitFileMaskList(&masks);
    test::SetExtractDir(dir.Win("out"));
  }
  void TearDown() override {
    DoneFileMaskList(&masks);
    DoneArcFile(nullptr);
    SetSetFileNameProc(nullptr, nullptr);
    SetSetProgressProc(nullptr, nullptr);
    SetOkToReplaceProc(nullptr, nullptr);
    SetSetSignalProc(nullptr, nullptr);
    Engine().ExtractDir[0] = '\0';
  }
  void Open(const std::string& posixPath) {
    InitArcFile(test::ToWin(posixPath).c_str());
    ASSERT_EQ(GetArchiveStatus(), 0);
  }

  test::TempDir dir;
  FileMaskList masks{};
};

TEST_F(HostExtractionTest, ArchivesMadeByTheCommonToolsExtractByteIdentical) {
  const Bytes data = SampleData(250000, 11);
  test::WriteFile(dir.Native("sample.bin"), data);
  struct Tool {
    const char* program;
    const char* command;  // %d: level
    int first, last;
  };
  const Tool tools[] = {
      {"gzip", "gzip -%d -c sample.bin > t.gz", 1, 9},
      {"pigz", "pigz -%d -c sample.bin > t.gz", 0, 9},
      {"pigz", "pigz -%d -c sample.bin > t.gz", 11, 11},
      {"zopfli", "zopfli --i%d -c sample.bin > t.gz", 1, 1},
      {"busybox", "busybox gzip -%d -c sample.bin > t.gz", 1, 9},
      {"libdeflate-gzip", "libdeflate-gzip -%d -c sample.bin > t.gz", 1, 12},
      {"igzip", "igzip -%d -c sample.bin > t.gz", 0, 3},
      {"python3",
       "python3 -c \"import gzip,shutil;shutil.copyfileobj(open('sample.bin','rb'),"
       "gzip.GzipFile('sample.bin','wb',%d,open('t.gz','wb')))\"",
       0, 9},
  };
  for (const Tool& tool : tools) {
    if (!test::HaveProgram(tool.program)) {
      std::printf("(%s not installed: skipped)\n", tool.program);
      continue;
    }
    for (int level = tool.first; level <= tool.last; ++level) {
      char command[320];
      std::snprintf(command, sizeof command, tool.command, level);
      ASSERT_EQ(test::Run("cd " + dir.path() + " && " + command), 0) << command;
      Open(dir.Native("t.gz"));
      ExtractFileMaskListArc(&masks);
      EXPECT_EQ(GetArchiveStatus(), 0) << command;
      // The name is the stored one, or the archive's own name less ".gz".
      const std::string name =
          test::FileExists(dir.Native("out/sample.bin")) ? "out/sample.bin" : "out/t";
      EXPECT_TRUE(test::ReadFile(dir.Native(name)) == data) << command;
      fs::remove_all(dir.Native("out"));
      DoneArcFile(nullptr);
    }
  }
}

TEST_F(HostExtractionTest, ArchivesMadeByThisEngineExtractByteIdentical) {
  const Bytes inputs[] = {Bytes{}, SampleData(1, 16), SampleData(300000, 17), Bytes(70000, 'z')};
  for (const Bytes& data : inputs) {
    test::WriteFile(dir.Native("source.bin"), data);
    std::remove(dir.Native("own.gz").c_str());
    ASSERT_EQ(test::CompressAsHost(dir.Win("own.gz"), dir.Win("source.bin")), 0);
    Open(dir.Native("own.gz"));
    ExtractFileMaskListArc(&masks);
    EXPECT_EQ(GetArchiveStatus(), 0) << data.size();
    EXPECT_TRUE(test::ReadFile(dir.Native("out/source.bin")) == data) << data.size();
    fs::remove_all(dir.Native("out"));
    DoneArcFile(nullptr);
  }
}

// Files as the common tools make and join them extract as gzip -dc reads
// them: several members concatenated, blocked members, zero padding.
TEST_F(HostExtractionTest, SeveralMembersAndPaddingAsTheCommonToolsWriteThem) {
  test::WriteFile(dir.Native("one"), SampleData(150000, 21));
  test::WriteFile(dir.Native("two"), SampleData(90000, 22));
  test::WriteFile(dir.Native("none"), Bytes{});
  const std::string big = "big";
  test::WriteFile(dir.Native(big), SampleData(200000, 23));
  struct Join {
    const char* needs;
    const char* command;  // writes m.gz
  };
  const Join joins[] = {
      {"gzip", "gzip -c one > m.gz && gzip -c two >> m.gz"},
      {"pigz", "gzip -9 -c one > m.gz && gzip -c none >> m.gz && pigz -c two >> m.gz"},
      {"libdeflate-gzip",
       "libdeflate-gzip -c one > m.gz && gzip -c none >> m.gz && libdeflate-gzip -1 -c two >> "
       "m.gz"},
      {"bgzip", "bgzip -c big > m.gz"},
      {"gzip", "gzip -n -c one > m.gz && head -c 512 /dev/zero >> m.gz"},
  };
  for (const Join& join : joins) {
    SCOPED_TRACE(join.command);
    if (!test::HaveProgram(join.needs)) {
      std::printf("(%s not installed: skipped)\n", join.needs);
      continue;
    }
    ASSERT_EQ(test::Run("cd " + dir.path() + " && " + join.command +
                        " && touch -d @1500000000 m.gz && (gzip -dc m.gz > expected 2>/dev/null;"
                        " true)"),
              0);
    const Bytes expected = test::ReadFile(dir.Native("expected"));
    const Bytes archive = test::ReadFile(dir.Native("m.gz"));
    ASSERT_FALSE(expected.empty());
    Open(dir.Native("m.gz"));
    ExtractFileMaskListArc(&masks);
    EXPECT_EQ(GetArchiveStatus(), 0);
    const std::vector<std::string> names = {"out/one", "out/big", "out/m"};
    const auto written = std::find_if(names.begin(), names.end(), [&](const std::string& n) {
      return test::FileExists(dir.Native(n));
    });
    ASSERT_NE(written, names.end());
    EXPECT_TRUE(test::ReadFile(dir.Native(*written)) == expected);
    // Without a time stamp the file takes the archive's time.
    struct stat st {};
    ASSERT_EQ(stat(dir.Native(*written).c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, test::Le32(archive, 4) != 0 ? test::Le32(archive, 4) : 1500000000);
    fs::remove_all(dir.Native("out"));
    DoneArcFile(nullptr);
  }
}

TEST_F(HostExtractionTest, NoMatchCallsNothingAndWritesNothing) {
  static int callbacks;
  callbacks = 0;
  const Bytes gz = MakeGzip(SampleData(100, 12), "a.txt");
  test::WriteFile(dir.Native("a.gz"), gz);
  Open(dir.Native("a.gz"));
  SetSetFileNameProc(nullptr, [](void*, const char*, const char*) -> int32_t {
    ++callbacks;
    return 0;
  });
  AppendFileMask("*.doc", &masks);
  ExtractFileMaskListArc(&masks);
  EXPECT_EQ(GetArchiveStatus(), GZARC_STATUS_NO_MATCH);
  EXPECT_EQ(callbacks, 0);
  EXPECT_FALSE(fs::exists(dir.Native("out")));
}

TEST_F(HostExtractionTest, SignalReceivesTheSizeSignExtended) {
  static int64_t size;
  // A member claiming 2^31 bytes: the size reaches the signal callback
  // before decoding (which then fails the size check).
  Bytes gz = MakeGzip(SampleData(10, 13), "big");
  gz[gz.size() - 1] = 0x80;
  gz[gz.size() - 2] = gz[gz.size() - 3] = gz[gz.size() - 4] = 0;
  test::WriteFile(dir.Native("big.gz"), gz);
  Open(dir.Native("big.gz"));
  SetSetSignalProc(nullptr, [](void*, int64_t s, int32_t) { size = s; });
  ExtractFileMaskListArc(&masks);
  EXPECT_EQ(size, -2147483648LL);
  EXPECT_EQ(GetArchiveStatus(), GZARC_STATUS_BAD_DATA);
  EXPECT_FALSE(test::FileExists(dir.Native("out/big")));
}

TEST_F(HostExtractionTest, DeleteRemovesTheArchiveOnlyWhenItsMemberMatches) {
  const Bytes gz = MakeGzip(SampleData(100, 14), "keep.txt");
  test::WriteFile(dir.Native("d.gz"), gz);
  Open(dir.Native("d.gz"));
  AppendFileMask("*.bin", &masks);
  DeleteFileMaskListArc(&masks);
  EXPECT_EQ(GetArchiveStatus(), GZARC_STATUS_NO_MATCH);
  EXPECT_TRUE(test::FileExists(dir.Native("d.gz")));
  AppendFileMask("*.txt", &masks);
  DeleteFileMaskListArc(&masks);
  EXPECT_EQ(GetArchiveStatus(), 0);
  EXPECT_FALSE(test::FileExists(dir.Native("d.gz")));
}

TEST_F(HostExtractionTest, ExtractionWithoutInputBufferMemory) {
  const Bytes gz = MakeGzip(SampleData(100, 15), "n.txt");
  test::WriteFile(dir.Native("n.gz"), gz);
  Open(dir.Native("n.gz"));
  // The scan allocates the member record first, then the input buffer.
  platform::faults::Arm({platform::faults::Call::kAllocate, 2, false});
  ExtractFileMaskListArc(&masks);
  platform::faults::Disarm();
  EXPECT_EQ(GetArchiveStatus(), GZARC_STATUS_NO_MEMORY);
  EXPECT_FALSE(fs::exists(dir.Native("out/n.txt")));
}

}  // namespace
}  // namespace gzarc
