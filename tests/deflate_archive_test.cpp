// Creating archives as a host does: CreateArcFile, a one-entry mask list and
// CompressFileMaskListArc. The member's bytes, real decoders, the callbacks,
// and every failure leaving no archive behind.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "deflate/compression.h"
#include "engine/engine_state.h"
#include "gzarc.h"
#include "gzip/crc32.h"
#include "gzip/member_format.h"
#include "platform/platform.h"
#include "platform/platform_faults.h"
#include "test_data.h"
#include "test_support.h"

namespace gzarc::test {
namespace {

namespace faults = platform::faults;

// A mask list built and released through the exports, as a host does.
class Masks {
 public:
  Masks() { InitFileMaskList(&list_); }
  ~Masks() { DoneFileMaskList(&list_); }
  Masks(const Masks&) = delete;
  Masks& operator=(const Masks&) = delete;
  void Add(const std::string& mask) { EXPECT_EQ(AppendFileMask(mask.c_str(), &list_), 1); }
  const FileMaskList* list() const { return &list_; }

 private:
  FileMaskList list_;
};

struct ProgressLog {
  std::vector<std::pair<int32_t, int32_t>> calls;
  int cancelAt = -1;  // 1-based call that answers 0
};

int32_t GZARC_CALL RecordProgress(void* context, int32_t percent, int32_t count) {
  auto* log = static_cast<ProgressLog*>(context);
  log->calls.emplace_back(percent, count);
  return static_cast<int>(log->calls.size()) == log->cancelAt ? 0 : 1;
}

struct NameLog {
  std::vector<std::pair<std::string, std::string>> calls;
};

int32_t GZARC_CALL RecordName(void* context, const char* from, const char* to) {
  static_cast<NameLog*>(context)->calls.emplace_back(from, to);
  return 1;
}

class DeflateArchive : public ::testing::Test {
 protected:
  void SetUp() override {
    faults::Disarm();
    SetInputPath("");
    SetSetProgressProc(nullptr, nullptr);
    SetSetFileNameProc(nullptr, nullptr);
    DoneArcFile(nullptr);
    // Sources are named relative to the input folder (the engine adds the
    // separator), so stored names are the bare names.
    SetInputPath(ToWin(dir_.path()).c_str());
  }
  void TearDown() override {
    faults::Disarm();
    SetInputPath("");
    SetSetProgressProc(nullptr, nullptr);
    SetSetFileNameProc(nullptr, nullptr);
    DoneArcFile(nullptr);
  }

  // Creates the archive and compresses the one source into it.
  uint16_t Compress(const std::string& mask, const std::string& archive = "out.gz") {
    CreateArcFile(dir_.Win(archive).c_str());
    EXPECT_EQ(GetArchiveStatus(), 0);
    Masks masks;
    masks.Add(mask);
    CompressFileMaskListArc(masks.list());
    return GetArchiveStatus();
  }

  std::string Archive(const std::string& name = "out.gz") const { return dir_.Native(name); }

  TempDir dir_;
};

TEST_F(DeflateArchive, MemberBytesAndRealDecoders) {
  const auto content = MakeInput(InputKind::kMixed, 150000, 7);
  WriteFile(dir_.Native("REPORT.TXT"), content);
  ASSERT_EQ(platform::SetFileTimes(dir_.Win("REPORT.TXT").c_str(), 1000000000, 1234567890), 0);

  ASSERT_EQ(Compress("REPORT.TXT"), 0);
  const auto archive = ReadFile(Archive());
  const std::vector<uint8_t> header = {0x1F, 0x8B, 0x08, 0x08, 0xD2, 0x02, 0x96,
                                       0x49, 0x00, 0x0E, 'R',  'E',  'P',  'O',
                                       'R',  'T',  '.',  'T',  'X',  'T',  0};
  ASSERT_GT(archive.size(), header.size() + 8);
  EXPECT_TRUE(std::equal(header.begin(), header.end(), archive.begin()));
  // The DEFLATE data is exactly what the compressor makes of the bytes.
  std::vector<uint8_t> stream;
  ASSERT_EQ(deflate::CompressMemory(content, &stream), 0);
  EXPECT_TRUE(std::equal(stream.begin(), stream.end(), archive.begin() + header.size()));
  EXPECT_EQ(archive.size(), header.size() + stream.size() + 8);
  EXPECT_EQ(Le32(archive, archive.size() - 8),
            ~UpdateCrc32(kCrcStart, content.data(), content.size()));
  EXPECT_EQ(Le32(archive, archive.size() - 4), content.size());

  platform::FileStatus status{};
  ASSERT_TRUE(platform::StatFile(dir_.Win("out.gz").c_str(), &status));
  EXPECT_EQ(status.modificationTime, 1234567890);

  if (HaveProgram("gzip")) {
    EXPECT_EQ(test::Run("gzip -t '" + Archive() + "'"), 0);
    EXPECT_EQ(test::Run("gzip -dc '" + Archive() + "' > '" + dir_.Native("gzip.out") + "'"), 0);
    EXPECT_EQ(ReadFile(dir_.Native("gzip.out")), content);
  }
  if (HaveProgram("python3")) {
    EXPECT_EQ(test::Run("python3 -c \"import sys,zlib; d=open(sys.argv[1],'rb').read(); "
                        "open(sys.argv[2],'wb').write(zlib.decompress(d, 31))\" '" +
                        Archive() + "' '" + dir_.Native("py.out") + "'"),
              0);
    EXPECT_EQ(ReadFile(dir_.Native("py.out")), content);
  }
}

TEST_F(DeflateArchive, VariedSourcesDecodeWithGzip) {
  if (!HaveProgram("gzip")) GTEST_SKIP() << "no gzip";
  int n = 0;
  for (auto kind : {InputKind::kText, InputKind::kNoise, InputKind::kRuns, InputKind::kSparse}) {
    for (std::size_t size : {0, 1, 65536 + 300, 700000}) {
      char name[32], archive[32];
      std::snprintf(name, sizeof name, "src%d.bin", n);
      std::snprintf(archive, sizeof archive, "a%d.gz", n);
      ++n;
      const auto content = MakeInput(kind, size, n);
      WriteFile(dir_.Native(name), content);
      ASSERT_EQ(Compress(name, archive), 0);
      EXPECT_EQ(test::Run("gzip -dc '" + Archive(archive) + "' > '" + dir_.Native("x.out") + "'"),
                0);
      EXPECT_EQ(ReadFile(dir_.Native("x.out")), content) << KindName(kind) << " " << size;
    }
  }
}

TEST_F(DeflateArchive, EmptySourceAndItsSingleProgressCall) {
  WriteFile(dir_.Native("empty"), std::vector<uint8_t>{});
  ProgressLog log;
  SetSetProgressProc(&log, RecordProgress);
  ASSERT_EQ(Compress("empty"), 0);
  ASSERT_EQ(log.calls.size(), 1u);
  EXPECT_EQ(log.calls[0], (std::pair<int32_t, int32_t>{32768, 0}));
  const auto archive = ReadFile(Archive());
  const std::vector<uint8_t> expected = {
      0x1F, 0x8B, 8, 8,    archive[4], archive[5], archive[6], archive[7], 0, 0x0E, 'e', 'm', 'p',
      't',  'y',  0, 0x03, 0x00,       0,          0,          0,          0, 0,    0,   0,   0};
  EXPECT_EQ(archive, expected);
}

TEST_F(DeflateArchive, ProgressFollowsEveryRead) {
  const auto content = MakeInput(InputKind::kText, 200000, 1);
  WriteFile(dir_.Native("p.txt"), content);
  ProgressLog log;
  SetSetProgressProc(&log, RecordProgress);
  ASSERT_EQ(Compress("p.txt"), 0);
  ASSERT_GE(log.calls.size(), 3u);
  EXPECT_EQ(log.calls.front().second, 32768);
  EXPECT_EQ(log.calls.front().first, 32768 * 100 / 200000);
  EXPECT_EQ(log.calls.back(), (std::pair<int32_t, int32_t>{100, 0}));
  int64_t total = 0;
  for (std::size_t i = 0; i < log.calls.size(); ++i) {
    total += log.calls[i].second;
    EXPECT_EQ(log.calls[i].first, total * 100 / 200000);
    if (i > 0) {
      EXPECT_GE(log.calls[i].first, log.calls[i - 1].first);
    }
  }
  EXPECT_EQ(total, 200000);
}

TEST_F(DeflateArchive, CancelLeavesNoArchive) {
  const auto content = MakeInput(InputKind::kText, 300000, 2);
  WriteFile(dir_.Native("c.txt"), content);
  for (int cancelAt : {1, 2, 5}) {
    ProgressLog log;
    log.cancelAt = cancelAt;
    SetSetProgressProc(&log, RecordProgress);
    EXPECT_EQ(Compress("c.txt"), GZARC_STATUS_CANCELLED) << cancelAt;
    EXPECT_FALSE(FileExists(Archive())) << cancelAt;
    // Reading goes on to the end of the block; a cancel at the first read
    // stops before the first symbol.
    if (cancelAt == 1) {
      EXPECT_EQ(log.calls.size(), 1u);
    } else {
      EXPECT_GE(static_cast<int>(log.calls.size()), cancelAt);
    }
  }
}

TEST_F(DeflateArchive, FileNameCallbackGetsSourcePathAndStoredName) {
  WriteFile(dir_.Native("f.dat"), "data");
  NameLog names;
  SetSetFileNameProc(&names, RecordName);
  ASSERT_EQ(Compress("f.dat"), 0);
  ASSERT_EQ(names.calls.size(), 1u);
  EXPECT_EQ(names.calls[0].first, dir_.Win("f.dat"));
  EXPECT_EQ(names.calls[0].second, "\\f.dat");
}

TEST_F(DeflateArchive, FolderOfTheMaskIsStoredButNotTheInputPath) {
  ASSERT_EQ(platform::MakeDirectory(dir_.Win("docs").c_str()), 0);
  WriteFile(dir_.Native("docs/a.txt"), "hello hello hello");
  ASSERT_EQ(Compress("docs\\a.txt"), 0);
  const auto archive = ReadFile(Archive());
  const std::string name(reinterpret_cast<const char*>(&archive[10]));
  EXPECT_EQ(name, "docs\\a.txt");
}

TEST_F(DeflateArchive, FailuresLeaveNoArchive) {
  WriteFile(dir_.Native("ok.txt"), "some text");
  ASSERT_EQ(platform::MakeDirectory(dir_.Win("folder").c_str()), 0);

  EXPECT_EQ(Compress("missing.txt"), GZARC_STATUS_FILE_ERROR);
  EXPECT_FALSE(FileExists(Archive()));
  EXPECT_EQ(Compress("*.txt"), GZARC_STATUS_FILE_ERROR);
  EXPECT_FALSE(FileExists(Archive()));
  EXPECT_EQ(Compress("o?.txt"), GZARC_STATUS_FILE_ERROR);
  EXPECT_FALSE(FileExists(Archive()));
  EXPECT_EQ(Compress("folder"), GZARC_STATUS_IS_DIRECTORY);
  EXPECT_FALSE(FileExists(Archive()));
  EXPECT_EQ(Compress(".txt"), GZARC_STATUS_NOTHING);  // empty name
  EXPECT_FALSE(FileExists(Archive()));

  // An empty list and a list of two.
  CreateArcFile(dir_.Win("out.gz").c_str());
  Masks none;
  CompressFileMaskListArc(none.list());
  EXPECT_EQ(GetArchiveStatus(), GZARC_STATUS_NOTHING);
  EXPECT_FALSE(FileExists(Archive()));
  CreateArcFile(dir_.Win("out.gz").c_str());
  Masks two;
  two.Add("ok.txt");
  two.Add("ok.txt");
  CompressFileMaskListArc(two.list());
  EXPECT_EQ(GetArchiveStatus(), GZARC_STATUS_MANY_FILES);
  EXPECT_FALSE(FileExists(Archive()));
  CompressFileMaskListArc(nullptr);
  EXPECT_EQ(GetArchiveStatus(), GZARC_STATUS_NOTHING);
}

TEST_F(DeflateArchive, ArchiveNotJustCreatedIsLeftAlone) {
  WriteFile(dir_.Native("ok.txt"), "some text");
  ASSERT_EQ(Compress("ok.txt"), 0);
  const auto before = ReadFile(Archive());
  // After DoneArcFile, and after opening it as an existing archive.
  DoneArcFile(nullptr);
  Masks masks;
  masks.Add("ok.txt");
  CompressFileMaskListArc(masks.list());
  EXPECT_EQ(GetArchiveStatus(), GZARC_STATUS_NOT_NEW);
  InitArcFile(dir_.Win("out.gz").c_str());
  ASSERT_EQ(GetArchiveStatus(), 0);
  CompressFileMaskListArc(masks.list());
  EXPECT_EQ(GetArchiveStatus(), GZARC_STATUS_NOT_NEW);
  Masks none;
  CompressFileMaskListArc(none.list());
  EXPECT_EQ(GetArchiveStatus(), GZARC_STATUS_NOTHING);
  EXPECT_EQ(ReadFile(Archive()), before);
}

// Every write of a compression fails once in turn, whole or short.
TEST_F(DeflateArchive, AnyFailedWriteGives101AndNoArchive) {
  const auto content = MakeInput(InputKind::kMixed, 120000, 3);
  WriteFile(dir_.Native("w.bin"), content);
  faults::Disarm();
  ASSERT_EQ(Compress("w.bin"), 0);
  const uint64_t writes = faults::Count(faults::Call::kWrite);
  ASSERT_GT(writes, 5u);
  for (bool shortWrite : {false, true}) {
    for (uint64_t k = 1; k <= writes; ++k) {
      CreateArcFile(dir_.Win("out.gz").c_str());
      Masks masks;
      masks.Add("w.bin");
      faults::Arm({faults::Call::kWrite, k, shortWrite});
      CompressFileMaskListArc(masks.list());
      const uint64_t attempted = faults::Count(faults::Call::kWrite);
      faults::Disarm();
      EXPECT_EQ(GetArchiveStatus(), GZARC_STATUS_WRITE_SHORT) << k;
      EXPECT_EQ(attempted, k) << "writes went on after the failure";
      EXPECT_FALSE(FileExists(Archive())) << k;
    }
  }
}

TEST_F(DeflateArchive, AllocationAndReadFailures) {
  WriteFile(dir_.Native("m.bin"), MakeInput(InputKind::kText, 50000, 1));
  for (uint64_t k = 1; k <= 16; ++k) {
    CreateArcFile(dir_.Win("out.gz").c_str());
    Masks masks;
    masks.Add("m.bin");
    faults::Arm({faults::Call::kAllocate, k, false});
    CompressFileMaskListArc(masks.list());
    faults::Disarm();
    EXPECT_EQ(GetArchiveStatus(), GZARC_STATUS_NO_MEMORY) << k;
    EXPECT_FALSE(FileExists(Archive()));
  }
  for (uint64_t k = 1; k <= 2; ++k) {
    CreateArcFile(dir_.Win("out.gz").c_str());
    Masks masks;
    masks.Add("m.bin");
    faults::Arm({faults::Call::kRead, k, false});
    CompressFileMaskListArc(masks.list());
    faults::Disarm();
    EXPECT_EQ(GetArchiveStatus(), GZARC_STATUS_FILE_ERROR) << k;
    EXPECT_FALSE(FileExists(Archive()));
  }
  // The source cannot be opened (the archive is the first open).
  CreateArcFile(dir_.Win("out.gz").c_str());
  Masks masks;
  masks.Add("m.bin");
  faults::Arm({faults::Call::kOpen, 2, false});
  CompressFileMaskListArc(masks.list());
  faults::Disarm();
  EXPECT_EQ(GetArchiveStatus(), GZARC_STATUS_FILE_ERROR);
  EXPECT_FALSE(FileExists(Archive()));
}

TEST_F(DeflateArchive, SecondCompressionRewritesTheArchive) {
  WriteFile(dir_.Native("one.txt"), "first first first");
  WriteFile(dir_.Native("two.txt"), "second");
  ASSERT_EQ(Compress("one.txt"), 0);
  Masks masks;
  masks.Add("two.txt");
  CompressFileMaskListArc(masks.list());
  ASSERT_EQ(GetArchiveStatus(), 0);
  const auto archive = ReadFile(Archive());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&archive[10])), "two.txt");
  EXPECT_EQ(Le32(archive, archive.size() - 4), 6u);
}

// A source that grows or shrinks while it is read is stored as read: the
// trailer describes those bytes, so the archive extracts, and progress never
// passes 100. Large sources go through the reads made ahead of the parts
// compressed on several threads.
TEST_F(DeflateArchive, ASourceThatChangesWhileReadIsStoredAsRead) {
  if (!HaveProgram("gzip")) GTEST_SKIP() << "no gzip";
  static std::string path;
  static uint64_t changeTo;
  static bool changed;
  static int maxPercent;
  path = dir_.Native("live.bin");
  struct Case {
    std::size_t size;
    std::size_t changeTo;
  };
  int n = 0;
  for (const Case c : {Case{200000, 300000}, Case{200000, 50000}, Case{6 << 20, 7 << 20},
                       Case{12 << 20, 6 << 20}}) {
    char name[16];
    std::snprintf(name, sizeof name, "c%d.gz", n++);
    const auto content = MakeInput(InputKind::kMixed, std::max(c.size, c.changeTo), 21);
    WriteFile(path, std::vector<uint8_t>(content.begin(), content.begin() + c.size));
    changeTo = c.changeTo;
    changed = false;
    maxPercent = 0;
    SetSetProgressProc(nullptr, [](void*, int32_t percent, int32_t) -> int32_t {
      maxPercent = std::max(maxPercent, percent);
      if (!changed) {
        changed = true;
        ::truncate(path.c_str(), static_cast<off_t>(changeTo));
      }
      return 1;
    });
    ASSERT_EQ(Compress("live.bin", name), 0) << c.size << " to " << c.changeTo;
    EXPECT_LE(maxPercent, 100);
    EXPECT_EQ(test::Run("gzip -dc '" + Archive(name) + "' > '" + dir_.Native("x.out") + "'"), 0)
        << c.size << " to " << c.changeTo;
    const auto out = ReadFile(dir_.Native("x.out"));
    // Growth is zeros from the truncate; what was read is a prefix of the
    // content before or after the change.
    auto expected = std::vector<uint8_t>(content.begin(), content.begin() + c.size);
    expected.resize(c.changeTo, 0);
    ASSERT_LE(out.size(), std::max(c.size, c.changeTo));
    EXPECT_GE(out.size(), std::min(c.size, c.changeTo));
    EXPECT_TRUE(std::equal(out.begin(), out.end(), expected.begin()));
    const auto archive = ReadFile(Archive(name));
    EXPECT_EQ(Le32(archive, archive.size() - 4), static_cast<uint32_t>(out.size()));
  }
}

// On POSIX the archive is as private as its source.
TEST_F(DeflateArchive, TheArchiveTakesTheSourcesPermissions) {
  WriteFile(dir_.Native("m.txt"), "mode test");
  const mode_t previous = ::umask(022);
  for (const mode_t mode : {0600, 0640, 0644}) {
    ASSERT_EQ(::chmod(dir_.Native("m.txt").c_str(), mode), 0);
    char name[16];
    std::snprintf(name, sizeof name, "m%o.gz", static_cast<unsigned>(mode));
    ASSERT_EQ(Compress("m.txt", name), 0);
    struct stat st {};
    ASSERT_EQ(::stat(Archive(name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, mode) << std::oct << mode;
  }
  ::umask(previous);
}

// The stored name drops a leading backslash and a leading "..\" but keeps
// the rest of the folder; a drive-relative folder loses only the drive.
TEST_F(DeflateArchive, StoredNameOfQualifiedPaths) {
  auto storedName = [&](const char* archiveName) {
    const auto archive = ReadFile(Archive(archiveName));
    return std::string(reinterpret_cast<const char*>(&archive.at(10)));
  };
  ASSERT_EQ(platform::MakeDirectory(dir_.Win("sub").c_str()), 0);
  WriteFile(dir_.Native("n.txt"), "name test");

  SetInputPath("");
  ASSERT_EQ(Compress(dir_.Win("n.txt"), "a1.gz"), 0);
  EXPECT_EQ(storedName("a1.gz"), dir_.Win("n.txt").substr(1));

  SetInputPath(dir_.Win("sub").c_str());
  ASSERT_EQ(Compress("..\\n.txt", "a2.gz"), 0);
  EXPECT_EQ(storedName("a2.gz"), "n.txt");

  Masks masks;
  masks.Add("C:DATA\\A.TXT");
  char name[261] = {};
  ASSERT_TRUE(BuildStoredName(masks.list()->head, name, sizeof name));
  EXPECT_STREQ(name, "DATA\\A.TXT");
}

// Sources of 4 GiB and more: ISIZE holds the length modulo 2^32 and the
// progress stays within 0..100. Slow (the whole file is read), so it runs
// only when GZARC_LARGE_TESTS is set.
TEST_F(DeflateArchive, SourceOfMoreThan4GiB) {
  if (std::getenv("GZARC_LARGE_TESTS") == nullptr) GTEST_SKIP() << "set GZARC_LARGE_TESTS";
  const uint64_t size = (uint64_t{1} << 32) + 1000;
  {
    WriteFile(dir_.Native("big.bin"), "head of a sparse file");
    ASSERT_EQ(
        test::Run("truncate -s " + std::to_string(size) + " '" + dir_.Native("big.bin") + "'"), 0);
  }
  ProgressLog log;
  SetSetProgressProc(&log, RecordProgress);
  ASSERT_EQ(Compress("big.bin"), 0);
  for (const auto& call : log.calls) {
    EXPECT_GE(call.first, 0);
    EXPECT_LE(call.first, 100);
  }
  EXPECT_EQ(log.calls.back().first, 100);
  const auto archive = ReadFile(Archive());
  EXPECT_EQ(Le32(archive, archive.size() - 4), 1000u);
  if (HaveProgram("gzip")) {
    EXPECT_EQ(test::Run("gzip -t '" + Archive() + "'"), 0);
  }
}

}  // namespace
}  // namespace gzarc::test
