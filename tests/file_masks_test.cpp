// File mask lists as a host builds and uses them, the wildcard rules, and the
// small string and memory routines beneath them.
#include "paths/file_masks.h"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <string>

#include "gzarc.h"
#include "paths/strings.h"
#include "platform/platform_faults.h"

namespace gzarc {
namespace {

// A host's mask list: initialised, filled, released.
class Masks {
 public:
  explicit Masks(std::initializer_list<const char*> masks = {}) {
    InitFileMaskList(&list_);
    for (const char* mask : masks) EXPECT_EQ(AppendFileMask(mask, &list_), 1) << mask;
  }
  ~Masks() { DoneFileMaskList(&list_); }
  Masks(const Masks&) = delete;
  Masks& operator=(const Masks&) = delete;

  bool Matches(const std::string& name) const { return MatchFileMaskList(name.c_str(), &list_); }
  FileMaskList* list() { return &list_; }
  const FileMaskEntry& head() const { return *list_.head; }

 private:
  FileMaskList list_{};
};

struct FaultGuard {
  explicit FaultGuard(platform::faults::Call call, uint64_t at) {
    platform::faults::Arm({call, at, false});
  }
  ~FaultGuard() { platform::faults::Disarm(); }
};

TEST(FileMaskList, EmptyListSelectsEverything) {
  Masks masks;
  EXPECT_TRUE(masks.Matches("A.TXT"));
  EXPECT_TRUE(masks.Matches("SUB\\DIR\\X"));
  EXPECT_TRUE(masks.Matches(""));
}

TEST(FileMaskList, EntriesAreStoredSplitInOrder) {
  Masks masks{"C:\\Data\\Report.txt", "c:readme", "docs/old/*.*", ""};
  const FileMaskEntry* e = &masks.head();
  EXPECT_STREQ(e->folder, "C:\\Data\\");
  EXPECT_STREQ(e->name, "Report");
  EXPECT_STREQ(e->extension, "txt");

  e = e->next;
  EXPECT_STREQ(e->folder, "c:");
  EXPECT_STREQ(e->name, "readme");
  const char zeros[sizeof e->extension] = {};
  EXPECT_EQ(std::memcmp(e->extension, zeros, sizeof zeros), 0);

  e = e->next;
  EXPECT_STREQ(e->folder, "docs\\old\\");
  EXPECT_STREQ(e->name, "*");
  EXPECT_STREQ(e->extension, "*");

  e = e->next;
  EXPECT_STREQ(e->folder, "");
  EXPECT_STREQ(e->name, "");
  EXPECT_EQ(e->next, nullptr);
  EXPECT_EQ(masks.list()->tail, e);
}

TEST(FileMaskList, AppendLeavesTheStatusAlone) {
  SetArchiveStatus(9906);
  Masks masks{"*.TXT"};
  EXPECT_EQ(GetArchiveStatus(), 9906);
  SetArchiveStatus(0);
}

TEST(FileMaskList, DoneEmptiesAndTheListCanBeReused) {
  Masks masks{"A.TXT", "B.TXT"};
  DoneFileMaskList(masks.list());
  EXPECT_EQ(masks.list()->head, nullptr);
  EXPECT_EQ(masks.list()->tail, nullptr);
  DoneFileMaskList(masks.list());
  EXPECT_EQ(masks.list()->head, nullptr);

  ASSERT_EQ(AppendFileMask("C.TXT", masks.list()), 1);
  EXPECT_EQ(masks.list()->head, masks.list()->tail);
  EXPECT_FALSE(masks.Matches("A.TXT"));
  EXPECT_TRUE(masks.Matches("C.TXT"));
}

TEST(FileMaskList, NoMemoryLeavesTheListUnchanged) {
  Masks masks{"FIRST.TXT"};
  FileMaskEntry* const head = masks.list()->head;
  for (uint64_t failAt : {1u, 2u}) {  // the folder copy, then the entry
    SetArchiveStatus(0);
    {
      FaultGuard fault(platform::faults::Call::kAllocate, failAt);
      EXPECT_EQ(AppendFileMask("SECOND.TXT", masks.list()), 0);
      EXPECT_TRUE(platform::faults::Fired());
    }
    EXPECT_EQ(GetArchiveStatus(), GZARC_STATUS_NO_MEMORY);
    EXPECT_EQ(masks.list()->head, head);
    EXPECT_EQ(masks.list()->tail, head);
    EXPECT_EQ(head->next, nullptr);
  }
  SetArchiveStatus(0);
  EXPECT_FALSE(masks.Matches("SECOND.TXT"));
}

TEST(FileMaskList, NullArgumentsAreHarmless) {
  EXPECT_EQ(InitFileMaskList(nullptr), nullptr);
  EXPECT_EQ(AppendFileMask("A", nullptr), 0);
  DoneFileMaskList(nullptr);
  Masks masks;
  EXPECT_EQ(AppendFileMask(nullptr, masks.list()), 1);  // taken as the empty mask
  EXPECT_TRUE(masks.Matches(""));
}

TEST(Wildcards, AllFilesWithoutFolderMatchesAnyName) {
  Masks masks{"*.*"};
  for (const char* name : {"A.TXT", "README", "SUB\\A.TXT", "C:\\X\\Y.Z", ""}) {
    EXPECT_TRUE(masks.Matches(name)) << name;
  }
}

TEST(Wildcards, LoneStarNeedsAnEmptyExtension) {
  Masks masks{"*"};
  EXPECT_TRUE(masks.Matches("README"));
  EXPECT_FALSE(masks.Matches("README.TXT"));
}

TEST(Wildcards, FoldersMustBeEqualOutsideTheAllFilesMask) {
  Masks masks{"*.TXT"};
  EXPECT_TRUE(masks.Matches("A.TXT"));
  EXPECT_TRUE(masks.Matches("a.txt"));
  EXPECT_FALSE(masks.Matches("SUB\\A.TXT"));
  EXPECT_FALSE(masks.Matches("A.DOC"));

  Masks withDrive{"C:*.TXT"};
  EXPECT_TRUE(withDrive.Matches("c:a.txt"));
  EXPECT_FALSE(withDrive.Matches("C:\\A.TXT"));
}

TEST(Wildcards, QuestionMarkStandsForExactlyOneCharacter) {
  Masks masks{"A?C.T?T"};
  EXPECT_TRUE(masks.Matches("ABC.TXT"));
  EXPECT_TRUE(masks.Matches("a.c.txt"));  // any character, a dot too
  EXPECT_FALSE(masks.Matches("AC.TXT"));
  EXPECT_FALSE(masks.Matches("ABCD.TXT"));
  EXPECT_FALSE(masks.Matches("ABC.TX"));
}

TEST(Wildcards, StarIsLiteralUnlessItOpensThePart) {
  Masks inName{"AB*X.TXT"};
  EXPECT_FALSE(inName.Matches("AB.TXT"));
  EXPECT_FALSE(inName.Matches("ABQRS.TXT"));
  EXPECT_FALSE(inName.Matches("ABQX.TXT"));
  EXPECT_TRUE(inName.Matches("AB*X.TXT"));

  Masks inExtension{"*.T*"};
  EXPECT_FALSE(inExtension.Matches("A.TXT"));
  EXPECT_FALSE(inExtension.Matches("A.T"));
  EXPECT_TRUE(inExtension.Matches("A.T*"));

  Masks trailing{"*X.TXT"};  // what follows a leading star is ignored
  EXPECT_TRUE(trailing.Matches("ANYTHING.TXT"));
}

TEST(Wildcards, AllFilesMaskWithFolderDecidesByTheLastFolderIndex) {
  Masks masks{"DOCS\\*.*"};
  EXPECT_TRUE(masks.Matches("DOCS\\A.TXT"));
  EXPECT_TRUE(masks.Matches("DOCS\\OLD\\B.TXT"));
  EXPECT_TRUE(masks.Matches("docs\\c"));
  // Index 4 of X\DOCS\ is C, not the backslash of DOCS\.
  EXPECT_FALSE(masks.Matches("X\\DOCS\\C.TXT"));
  // Index 4 of ABCD\DOCS\ happens to be a backslash.
  EXPECT_TRUE(masks.Matches("ABCD\\DOCS\\E.TXT"));
  EXPECT_FALSE(masks.Matches("OTHER\\A.TXT"));
  EXPECT_FALSE(masks.Matches("A.TXT"));

  Masks typed{"DOCS\\*.TXT"};
  EXPECT_TRUE(typed.Matches("DOCS\\A.TXT"));
  EXPECT_FALSE(typed.Matches("DOCS\\OLD\\B.TXT"));
}

TEST(Wildcards, OnlyTheLastDotStartsTheExtension) {
  Masks gz{"*.GZ"};
  EXPECT_TRUE(gz.Matches("ARCHIVE.TAR.GZ"));
  Masks tar{"*.TAR"};
  EXPECT_FALSE(tar.Matches("ARCHIVE.TAR.GZ"));
  Masks full{"archive.tar.*"};
  EXPECT_TRUE(full.Matches("ARCHIVE.TAR.GZ"));
  Masks dottedFolder{"V1.0\\*.TXT"};
  EXPECT_TRUE(dottedFolder.Matches("v1.0\\notes.txt"));
}

TEST(Wildcards, ForwardSlashesAreSeparators) {
  Masks masks{"docs/*.txt", "SUB\\NOTE.TXT"};
  EXPECT_TRUE(masks.Matches("DOCS\\A.TXT"));
  EXPECT_TRUE(masks.Matches("docs/a.txt"));
  EXPECT_TRUE(masks.Matches("sub/note.txt"));
  EXPECT_FALSE(masks.Matches("sub/other.txt"));
}

TEST(Wildcards, FoldingUsesItsOwnSmallTable) {
  Masks masks{"\xC4.TXT", "\xD6.TXT", "\xDC.TXT"};
  EXPECT_TRUE(masks.Matches("\xE4.txt"));
  EXPECT_TRUE(masks.Matches("\xF6.txt"));
  EXPECT_FALSE(masks.Matches("\xFC.txt"));  // 0xFC has no upper-case partner here
  EXPECT_TRUE(masks.Matches("\xDC.TXT"));

  EXPECT_EQ(FoldChar('a'), 'A');
  EXPECT_EQ(FoldChar('z'), 'Z');
  EXPECT_EQ(FoldChar('{'), '{');
  EXPECT_EQ(FoldChar(0xE9), 0xE9);
  char text[] = "mix\xE4\xF6\xFC";
  EXPECT_STREQ(FoldString(text, text), "MIX\xC4\xD6\xFC");
}

TEST(Wildcards, EmptyMaskMatchesOnlyAnEmptyName) {
  Masks masks{""};
  EXPECT_TRUE(masks.Matches(""));
  EXPECT_FALSE(masks.Matches("A"));
  EXPECT_FALSE(masks.Matches(".TXT"));
}

TEST(Wildcards, AnyEntryOfTheListMaySelect) {
  Masks masks{"*.DOC", "A.TXT"};
  EXPECT_TRUE(masks.Matches("X.DOC"));
  EXPECT_TRUE(masks.Matches("A.TXT"));
  EXPECT_FALSE(masks.Matches("B.TXT"));
}

TEST(Bounds, OverLongMasksAreCutAndStillStored) {
  std::string deep;
  while (deep.size() < 600) deep += "DIR\\";
  deep += "*.TXT";
  const std::string longName(400, 'N');
  Masks masks{deep.c_str(), (longName + ".TXT").c_str(), ("X." + longName).c_str()};

  const FileMaskEntry* e = &masks.head();
  EXPECT_LE(std::strlen(e->folder), 255u);
  EXPECT_EQ(std::string(e->folder).substr(0, 8), "DIR\\DIR\\");
  e = e->next;
  EXPECT_EQ(std::strlen(e->name), 255u);  // cut within the 260-byte work buffer and the field
  EXPECT_STREQ(e->extension, "");
  e = e->next;
  EXPECT_STREQ(e->name, "X");
  EXPECT_EQ(std::strlen(e->extension), 254u);  // 255 with the dot
  EXPECT_EQ(e->next, nullptr);
}

TEST(Bounds, OverLongCandidatesAreSafe) {
  const std::string longName = std::string(300, 'A') + ".TXT";
  std::string deep;
  while (deep.size() < 400) deep += "SUB\\";
  Masks all{"*.*"};
  EXPECT_TRUE(all.Matches(longName));
  EXPECT_TRUE(all.Matches(deep + "F.TXT"));
  Masks some{"*.TXT", "SUB\\*.*"};
  EXPECT_FALSE(some.Matches(longName));  // the cut keeps 259 characters: no extension left
  EXPECT_TRUE(some.Matches(deep + "F.TXT"));
}

TEST(SplitPathPieces, DriveFolderNameAndExtension) {
  char drive[kPathPieceSize], folder[kPathPieceSize], name[kPathPieceSize], ext[kPathPieceSize];
  SplitPath("C:\\A.B\\C", drive, folder, name, ext);
  EXPECT_STREQ(drive, "C:");
  EXPECT_STREQ(folder, "\\A.B\\");
  EXPECT_STREQ(name, "C");
  EXPECT_STREQ(ext, "");

  SplitPath("dir/.profile", drive, folder, name, ext);
  EXPECT_STREQ(drive, "");
  EXPECT_STREQ(folder, "dir/");
  EXPECT_STREQ(name, "");
  EXPECT_STREQ(ext, ".profile");

  SplitPath("X:", drive, folder, name, ext);
  EXPECT_STREQ(drive, "X:");
  EXPECT_STREQ(name, "");
}

TEST(MemoryAndStrings, AllocBlockTakesSixteenBitSizes) {
  void* block = nullptr;
  ASSERT_TRUE(AllocBlock(&block, 65535));
  EXPECT_NE(block, nullptr);
  FreeBlock(&block);
  EXPECT_EQ(block, nullptr);
  FreeBlock(&block);  // null stays null

  block = &block;
  EXPECT_FALSE(AllocBlock(&block, 65536));  // never wrapped to a zero-size block
  EXPECT_EQ(block, nullptr);

  {
    FaultGuard fault(platform::faults::Call::kAllocate, 1);
    EXPECT_EQ(DuplicateString("text"), nullptr);
  }
  char* copy = DuplicateString("text");
  ASSERT_NE(copy, nullptr);
  EXPECT_STREQ(copy, "text");
  FreeBlock(&copy);
  const std::string huge(70000, 'x');
  EXPECT_EQ(DuplicateString(huge.c_str()), nullptr);
}

TEST(MemoryAndStrings, InsertAndDeleteStayWithinTheirBuffers) {
  char target[kShortStringSize] = "\\DATA\\";
  EXPECT_STREQ(InsertString("C:", target, 0), "C:\\DATA\\");
  EXPECT_STREQ(InsertString("X", target, 200), "C:\\DATA\\X");  // past the end appends
  EXPECT_STREQ(InsertString("-", target, 2), "C:-\\DATA\\X");

  std::string full(255, 'f');
  char big[kShortStringSize];
  std::memcpy(big, full.c_str(), full.size() + 1);
  InsertString("AB", big, 0);
  EXPECT_EQ(std::strlen(big), 255u);
  EXPECT_EQ(std::string(big, 3), "ABf");

  char text[] = ".TXT";
  EXPECT_STREQ(DeleteChars(text, 0, 1), "TXT");
  EXPECT_STREQ(DeleteChars(text, 1, 0), "TXT");
  EXPECT_STREQ(DeleteChars(text, 5, 1), "TXT");
  EXPECT_STREQ(DeleteChars(text, 1, 200), "T");
}

}  // namespace
}  // namespace gzarc
