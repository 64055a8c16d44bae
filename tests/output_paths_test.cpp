// Output files and the folder walk, on disk and against a scripted file
// system, and the small path routines extraction uses.
#include "paths/output_paths.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "gzarc.h"
#include "platform/platform.h"
#include "platform/platform_faults.h"
#include "test_support.h"

namespace gzarc {
namespace {

using test::FileExists;
using test::TempDir;

constexpr int kFakeHandle = 7;

// A file system in which folders exist or not as the test says, recording
// every step the walk takes. The file opens once `needs` exists.
struct FakeFileSystem {
  std::set<std::string> folders;
  std::set<std::string> refuse;  // folders that cannot be created
  std::string needs;             // empty: the file never opens
  std::vector<std::string> calls;

  OutputFileSystem table() {
    return {[](const char* path, void* self) {
              auto& fs = *static_cast<FakeFileSystem*>(self);
              fs.calls.push_back(std::string("open ") + path);
              return !fs.needs.empty() && fs.folders.count(fs.needs) != 0 ? kFakeHandle : -1;
            },
            [](const char* path, void* self) {
              auto& fs = *static_cast<FakeFileSystem*>(self);
              fs.calls.push_back(std::string("exists ") + path);
              return fs.folders.count(path) != 0;
            },
            [](const char* path, void* self) {
              auto& fs = *static_cast<FakeFileSystem*>(self);
              fs.calls.push_back(std::string("mkdir ") + path);
              if (fs.refuse.count(path) != 0) return -1;
              fs.folders.insert(path);
              return 0;
            },
            this};
  }

  int Create(const std::string& path) {
    int handle = 12345;
    CreateOutputFileIn(&handle, path.c_str(), table());
    return handle;
  }
};

using Calls = std::vector<std::string>;

TEST(FolderWalk, CreatesEachMissingLevelAndRetriesTheFile) {
  const std::string path = "C:\\out\\a\\b\\f.txt";
  FakeFileSystem fs{{"C:\\out"}, {}, "C:\\out\\a\\b", {}};
  SetArchiveStatus(9964);
  EXPECT_EQ(fs.Create(path), kFakeHandle);
  EXPECT_EQ(GetArchiveStatus(), GZARC_STATUS_OK);
  const std::string open = "open " + path;
  EXPECT_EQ(fs.calls, (Calls{open, "exists C:\\out", open, "exists C:\\out\\a", "mkdir C:\\out\\a",
                             open, "exists C:\\out\\a\\b", "mkdir C:\\out\\a\\b", open}));
}

TEST(FolderWalk, NetworkServerAndShareAreNeverCreated) {
  FakeFileSystem fs{{}, {}, "\\\\server\\share\\dir", {}};
  const std::string path = "\\\\server\\share\\dir\\f.txt";
  EXPECT_EQ(fs.Create(path), kFakeHandle);
  const std::string open = "open " + path;
  EXPECT_EQ(fs.calls,
            (Calls{open, "exists \\\\server\\share\\dir", "mkdir \\\\server\\share\\dir", open}));

  // A doubled backslash after the share does not double in the folder.
  FakeFileSystem doubled{{}, {}, "\\\\server\\share\\dir", {}};
  const std::string path2 = "\\\\server\\share\\\\dir\\f.txt";
  EXPECT_EQ(doubled.Create(path2), kFakeHandle);
  EXPECT_EQ(doubled.calls[1], "exists \\\\server\\share\\dir");
}

TEST(FolderWalk, NothingToCreateBeforeTheFileName) {
  // Bare names, drive roots, the root and network shares hold no folder to make.
  for (const char* path : {"f.txt", "C:\\f.txt", "C:f.txt", "\\f.txt", "\\\\server\\share\\f.txt",
                           "\\\\server\\share", "\\\\server\\f.txt"}) {
    FakeFileSystem fs;
    SetArchiveStatus(0);
    EXPECT_EQ(fs.Create(path), -1) << path;
    EXPECT_EQ(GetArchiveStatus(), GZARC_STATUS_FILE_ERROR) << path;
    EXPECT_EQ(fs.calls, (Calls{std::string("open ") + path})) << path;
  }
}

TEST(FolderWalk, ExistingFoldersOrFilesOnTheWayEndInStatusFive) {
  FakeFileSystem fs{{"\\top", "\\top\\sub"}, {}, "", {}};
  EXPECT_EQ(fs.Create("\\top\\sub\\f.txt"), -1);
  EXPECT_EQ(GetArchiveStatus(), GZARC_STATUS_FILE_ERROR);
  EXPECT_EQ(fs.calls.size(), 5u);  // three opens, two existence tests, nothing created
}

TEST(FolderWalk, FolderThatCannotBeMadeStopsTheWalk) {
  FakeFileSystem fs{{}, {"a\\b"}, "a\\b\\c", {}};
  EXPECT_EQ(fs.Create("a\\b\\c\\f.txt"), -1);
  EXPECT_EQ(GetArchiveStatus(), GZARC_STATUS_FILE_ERROR);
  EXPECT_EQ(fs.calls.back(), "mkdir a\\b");
  EXPECT_EQ(fs.folders, (std::set<std::string>{"a"}));  // what was made stays
}

TEST(FolderWalk, PathsBeyond255CharactersAreRefusedUntouched) {
  std::string path = "d\\" + std::string(253, 'x');
  FakeFileSystem fits{{"d"}, {}, "d", {}};
  EXPECT_EQ(fits.Create(path), kFakeHandle);

  path += 'x';
  FakeFileSystem tooLong{{"d"}, {}, "d", {}};
  SetArchiveStatus(0);
  EXPECT_EQ(tooLong.Create(path), -1);
  EXPECT_EQ(GetArchiveStatus(), GZARC_STATUS_FILE_ERROR);
  EXPECT_TRUE(tooLong.calls.empty());
}

TEST(OutputFile, WalkCreatesSeveralLevelsOnDisk) {
  TempDir dir;
  ASSERT_EQ(::mkdir(dir.Native("out").c_str(), 0755), 0);
  int handle = -1;
  CreateOutputFile(&handle, dir.Win("out\\a\\b\\f.txt").c_str());
  ASSERT_GE(handle, 0);
  EXPECT_EQ(GetArchiveStatus(), GZARC_STATUS_OK);
  EXPECT_EQ(platform::WriteFile(handle, "hi", 2), 2);
  platform::CloseFile(handle);
  EXPECT_EQ(test::ReadFile(dir.Native("out/a/b/f.txt")), (std::vector<uint8_t>{'h', 'i'}));

  // An existing file is truncated.
  CreateOutputFile(&handle, dir.Win("out\\a\\b\\f.txt").c_str());
  ASSERT_GE(handle, 0);
  EXPECT_EQ(platform::FileLength(handle), 0);
  platform::CloseFile(handle);
}

// The decoder cuts an output back when a cancel turns out to have ended
// decoding earlier than it had written; writing goes on from the cut.
TEST(OutputFile, TruncateCutsBackAndWritesFromThere) {
  TempDir dir;
  int handle = -1;
  CreateOutputFile(&handle, dir.Win("t.bin").c_str());
  ASSERT_GE(handle, 0);
  std::vector<uint8_t> bytes(100);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i);
  ASSERT_EQ(platform::WriteFile(handle, bytes.data(), 100), 100);
  EXPECT_EQ(platform::TruncateFile(handle, 40), 0);
  EXPECT_EQ(platform::FileLength(handle), 40);
  EXPECT_EQ(platform::WriteFile(handle, "abcde", 5), 5);
  platform::CloseFile(handle);
  std::vector<uint8_t> expected(bytes.begin(), bytes.begin() + 40);
  expected.insert(expected.end(), {'a', 'b', 'c', 'd', 'e'});
  EXPECT_EQ(test::ReadFile(dir.Native("t.bin")), expected);
  EXPECT_NE(platform::TruncateFile(-1, 0), 0);
}

TEST(OutputFile, NetworkFormOnDisk) {
  TempDir dir;
  // The temporary folder's first two components stand in for server and share.
  std::string path = dir.Win("dir\\f.txt");
  path.insert(path.begin(), '\\');
  int handle = -1;
  CreateOutputFile(&handle, path.c_str());
  ASSERT_GE(handle, 0);
  platform::CloseFile(handle);
  EXPECT_TRUE(FileExists(dir.Native("dir/f.txt")));
}

TEST(OutputFile, FileOnTheWayCannotHoldAFolder) {
  TempDir dir;
  test::WriteFile(dir.Native("plain"), "x");
  int handle = 0;
  CreateOutputFile(&handle, dir.Win("plain\\sub\\f.txt").c_str());
  EXPECT_EQ(handle, -1);
  EXPECT_EQ(GetArchiveStatus(), GZARC_STATUS_FILE_ERROR);
  EXPECT_FALSE(FileExists(dir.Native("plain/sub")));

  CreateOutputFile(&handle, dir.Win("plain\\f.txt").c_str());
  EXPECT_EQ(handle, -1);
  EXPECT_EQ(GetArchiveStatus(), GZARC_STATUS_FILE_ERROR);
}

TEST(OutputFile, FolderCreationFailureKeepsEarlierLevels) {
  TempDir dir;
  int handle = 0;
  platform::faults::Arm({platform::faults::Call::kMakeDirectory, 2, false});
  CreateOutputFile(&handle, dir.Win("a\\b\\c\\f.txt").c_str());
  platform::faults::Disarm();
  EXPECT_EQ(handle, -1);
  EXPECT_EQ(GetArchiveStatus(), GZARC_STATUS_FILE_ERROR);
  EXPECT_TRUE(FileExists(dir.Native("a")));
  EXPECT_FALSE(FileExists(dir.Native("a/b")));
}

TEST(OutputFile, ReadOnlyFolderRefusesANewLevel) {
  if (::geteuid() == 0) GTEST_SKIP() << "root may create folders anywhere";
  TempDir dir;
  ASSERT_EQ(::mkdir(dir.Native("ro").c_str(), 0555), 0);
  int handle = 0;
  CreateOutputFile(&handle, dir.Win("ro\\new\\f.txt").c_str());
  EXPECT_EQ(handle, -1);
  EXPECT_EQ(GetArchiveStatus(), GZARC_STATUS_FILE_ERROR);
  EXPECT_FALSE(FileExists(dir.Native("ro/new")));
}

TEST(OutputFile, ReadOnlyTargetNeedsItsAttributesReset) {
  TempDir dir;
  const std::string native = dir.Native("f.txt");
  test::WriteFile(native, "keep");
  ASSERT_EQ(::chmod(native.c_str(), 0444), 0);
  int handle = 0;
  CreateOutputFile(&handle, dir.Win("f.txt").c_str());
  EXPECT_EQ(handle, -1);
  EXPECT_EQ(GetArchiveStatus(), GZARC_STATUS_FILE_ERROR);
  EXPECT_EQ(test::ReadFile(native).size(), 4u);

  ResetFileAttributes(dir.Win("f.txt").c_str());
  ResetFileAttributes(dir.Win("missing").c_str());  // quietly nothing
  CreateOutputFile(&handle, dir.Win("f.txt").c_str());
  ASSERT_GE(handle, 0);
  platform::CloseFile(handle);
  EXPECT_TRUE(test::ReadFile(native).empty());
}

TEST(OutputFile, OtherOpenerRunsTheSameWalk) {
  TempDir dir;
  struct Seen {
    std::vector<std::string> paths;
  } seen;
  const auto opener = [](const char* path, void* context) {
    static_cast<Seen*>(context)->paths.push_back(path);
    const std::string part = std::string(path) + ".part";
    return platform::OpenFile(part.c_str(), platform::kOpenReadWrite | platform::kOpenCreate,
                              platform::kPermissionRead | platform::kPermissionWrite);
  };
  const std::string path = dir.Win("x\\y\\f.txt");
  int handle = -1;
  CreateOutputFileWith(&handle, path.c_str(), opener, &seen);
  ASSERT_GE(handle, 0);
  platform::CloseFile(handle);
  // Once at first, then once per folder level on the way.
  EXPECT_EQ(seen.paths.size(),
            static_cast<std::size_t>(std::count(path.begin(), path.end(), '\\')));
  for (const auto& p : seen.paths) EXPECT_EQ(p, path);
  EXPECT_TRUE(FileExists(dir.Native("x/y/f.txt.part")));
  EXPECT_FALSE(FileExists(dir.Native("x/y/f.txt")));

  CreateOutputFileWith(
      &handle, path.c_str(), [](const char*, void*) { return -1; }, nullptr);
  EXPECT_EQ(handle, -1);
  EXPECT_EQ(GetArchiveStatus(), GZARC_STATUS_FILE_ERROR);
}

TEST(PathRoutines, SplitUncPath) {
  char remainder[kUncPartSize];
  char prefix[kUncPartSize] = "untouched";
  EXPECT_EQ(SplitUncPath("\\\\server", remainder, prefix), 0);
  EXPECT_STREQ(remainder, "\\\\server");
  EXPECT_STREQ(prefix, "untouched");
  EXPECT_EQ(SplitUncPath("\\\\", remainder, prefix), 0);
  EXPECT_EQ(SplitUncPath("C:\\dir\\f", remainder, prefix), 0);
  EXPECT_STREQ(remainder, "C:\\dir\\f");

  EXPECT_EQ(SplitUncPath("\\\\server\\share", remainder, prefix), 1);
  EXPECT_STREQ(prefix, "\\\\server\\share");
  EXPECT_STREQ(remainder, "");

  EXPECT_EQ(SplitUncPath("\\\\server\\share\\dir\\f.txt", remainder, prefix), 1);
  EXPECT_STREQ(prefix, "\\\\server\\share\\");
  EXPECT_STREQ(remainder, "dir\\f.txt");
}

TEST(PathRoutines, AddTrailingBackslash) {
  char out[kOutputPathSize];
  for (const char* same : {"", "C:", "C:\\dir\\"}) {
    EXPECT_TRUE(AddTrailingBackslash(same, out));
    EXPECT_STREQ(out, same);
  }
  char path[kOutputPathSize] = "C:\\dir";
  EXPECT_TRUE(AddTrailingBackslash(path, path));
  EXPECT_STREQ(path, "C:\\dir\\");

  const std::string full(255, 'd');
  EXPECT_FALSE(AddTrailingBackslash(full.c_str(), out));
  EXPECT_EQ(std::strlen(out), 255u);
}

TEST(PathRoutines, FileNamePart) {
  char out[kOutputPathSize];
  for (const char* path : {"dir\\sub\\f.txt", "f.txt", "\\\\s\\h\\f.txt"}) {
    EXPECT_TRUE(FileNamePart(path, out));
    EXPECT_STREQ(out, "f.txt") << path;
  }
  FileNamePart("dir\\", out);
  EXPECT_STREQ(out, "");
  // Only Windows has drives; the Windows host checks "C:f.txt" there.
  FileNamePart("C:f.txt", out);
  EXPECT_STREQ(out, "C:f.txt");
  char same[kOutputPathSize] = "a:b\\c:d";
  FileNamePart(same, same);
  EXPECT_STREQ(same, "c:d");

  const std::string longName = "dir\\" + std::string(300, 'n');
  EXPECT_FALSE(FileNamePart(longName.c_str(), out));
  EXPECT_EQ(std::strlen(out), 255u);
}

TEST(PathRoutines, CopyCharsAndFindChar) {
  char out[kOutputPathSize];
  CopyChars("abcdef", 2, 3, out);
  EXPECT_STREQ(out, "cde");
  CopyChars("abcdef", 4, 200, out);
  EXPECT_STREQ(out, "ef");
  CopyChars("abcdef", 6, 1, out);
  EXPECT_STREQ(out, "");
  CopyChars("abcdef", 0, 0, out);
  EXPECT_STREQ(out, "");

  EXPECT_EQ(FindChar('\\', "ab\\c\\d"), 2);
  EXPECT_EQ(FindChar('\\', "abc"), kCharNotFound);
  EXPECT_EQ(FindChar('\\', ""), kCharNotFound);
  const std::string beyond = std::string(300, 'a') + "\\";
  EXPECT_EQ(FindChar('\\', beyond.c_str()), kCharNotFound);  // only 255 characters are seen
}

TEST(PathRoutines, PathExists) {
  TempDir dir;
  test::WriteFile(dir.Native("f"), "x");
  EXPECT_TRUE(PathExists(dir.Win("f").c_str()));
  EXPECT_TRUE(PathExists(test::ToWin(dir.path()).c_str()));
  EXPECT_FALSE(PathExists(dir.Win("g").c_str()));
  EXPECT_FALSE(PathExists(""));
}

}  // namespace
}  // namespace gzarc
