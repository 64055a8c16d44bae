// Listing archives as a host does: InitArcFile, InitArcFileList,
// BuildArcFileList, GetExtraInfoArc, GetArchiveStatus, on archives built here
// byte by byte and on archives made by the tools users have.
#include "gzip/archive_list.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine_state.h"
#include "gzarc.h"
#include "gzip/archive_scan.h"
#include "gzip/member_format.h"
#include "platform/platform_faults.h"
#include "test_data.h"
#include "test_support.h"

namespace {

using gzarc::Engine;
using gzarc::test::TempDir;
namespace faults = gzarc::platform::faults;
using gzarc::test::Bytes;

// Members built here hold data bytes a listing does not parse.
using gzarc::test::GzipHeader;
using gzarc::test::GzipMember;

const Bytes kSomeData = {0x03, 0x00, 0xAA, 0xBB, 0xCC};

// DOS date and time fields as FileTimeToDosDateTime packs them.
uint32_t Dos(int year, int month, int day, int hour, int minute, int second) {
  const uint32_t date = static_cast<uint32_t>(((year - 1980) << 9) | (month << 5) | day);
  const uint32_t time = static_cast<uint32_t>((hour << 11) | (minute << 5) | (second / 2));
  return (date << 16) | time;
}

void SetTimeZone(const char* tz) {
  ::setenv("TZ", tz, 1);
  ::tzset();
}

ArcEntry ExpectedEntry(const std::string& name, uint64_t packed, uint64_t unpacked,
                       uint32_t dosDateTime) {
  ArcEntry e;
  std::memset(&e, 0, sizeof e);
  std::memcpy(e.name, name.data(), name.size());
  e.packedSize = static_cast<int64_t>(packed);
  e.unpackedSize = static_cast<int64_t>(unpacked);
  e.dosDateTime = dosDateTime;
  e.attributes = 128;
  e.hostWords[0] = 12;
  e.hostWords[7] = 1;
  e.hostWords[34] = 19;
  return e;
}

ArcExtraInfo ExpectedInfo(uint32_t hostCode, uint32_t count, int64_t packed, int64_t unpacked,
                          uint32_t ratio) {
  ArcExtraInfo i;
  std::memset(&i, 0, sizeof i);
  i.fixed[0] = 9;
  i.fixed[1] = 1;
  i.fixed[2] = 2;
  i.fixed[3] = 32;
  i.hostSystemCode = hostCode;
  i.count = count;
  i.totalPackedSize = packed;
  i.totalUnpackedSize = unpacked;
  i.ratio = ratio;
  return i;
}

// Every byte of the records, the unnamed ones included.
void ExpectSameEntry(const ArcEntry& actual, const ArcEntry& expected) {
  ArcEntry a = actual;
  a.next = nullptr;
  EXPECT_STREQ(a.name, expected.name);
  EXPECT_EQ(a.packedSize, expected.packedSize);
  EXPECT_EQ(a.unpackedSize, expected.unpackedSize);
  EXPECT_EQ(a.dosDateTime, expected.dosDateTime);
  EXPECT_EQ(0, std::memcmp(&a, &expected, sizeof a)) << "unnamed bytes differ";
}

void ExpectSameInfo(const ArcExtraInfo& actual, const ArcExtraInfo& expected) {
  EXPECT_EQ(actual.hostSystemCode, expected.hostSystemCode);
  EXPECT_EQ(actual.count, expected.count);
  EXPECT_EQ(actual.totalPackedSize, expected.totalPackedSize);
  EXPECT_EQ(actual.totalUnpackedSize, expected.totalUnpackedSize);
  EXPECT_EQ(actual.ratio, expected.ratio);
  EXPECT_EQ(0, std::memcmp(&actual, &expected, sizeof actual)) << "unnamed bytes differ";
}

class ArchiveListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Engine() = gzarc::EngineState{};
    faults::Disarm();
    SetTimeZone("UTC");
    InitFileMaskList(&masks_);
    InitArcFileList(&list_);
  }
  void TearDown() override {
    faults::Disarm();
    DoneArcFileList(&list_);
    SetTimeZone("UTC");
    Engine() = gzarc::EngineState{};
  }

  // Writes the archive and opens it as the current one.
  uint16_t Open(const Bytes& archive, const std::string& name = "a.gz") {
    gzarc::test::WriteFile(dir_.Native(name), archive);
    InitArcFile(dir_.Win(name).c_str());
    return GetArchiveStatus();
  }
  uint16_t Build(const FileMaskList* masks = nullptr) {
    BuildArcFileList(&list_, masks != nullptr ? masks : &masks_);
    return GetArchiveStatus();
  }
  static ArcExtraInfo Info() {
    ArcExtraInfo info;
    GetExtraInfoArc(&info);
    return info;
  }
  // A failed listing leaves the host's list and the information record as
  // they were.
  void ExpectFailureKeepsState(uint16_t expectedStatus) {
    const ArcEntry* head = list_.head;
    const ArcEntry* tail = list_.tail;
    const int32_t count = list_.count;
    const ArcExtraInfo before = Info();
    EXPECT_EQ(Build(), expectedStatus);
    EXPECT_EQ(list_.count, count);
    EXPECT_EQ(list_.head, head);
    EXPECT_EQ(list_.tail, tail);
    if (tail != nullptr) {
      EXPECT_EQ(tail->next, nullptr);
    }
    const ArcExtraInfo after = Info();
    EXPECT_EQ(0, std::memcmp(&before, &after, sizeof before));
    EXPECT_EQ(Engine().ArchiveFile, -1) << "archive left open";
  }

  TempDir dir_;
  FileMaskList masks_{};
  ArcEntryList list_{};
};

TEST_F(ArchiveListTest, EveryOptionalFieldAndTheRecordsByteForByte) {
  GzipHeader h;
  h.mtime = 1700000000;  // 2023-11-14 22:13:20 UTC
  h.extra = Bytes{'A', 'B', 2, 0, 'x', 'y'};
  h.name = "docs\\a.txt";
  h.comment = "a comment";
  h.headerCrc = true;
  const Bytes header = h.Build();
  const Bytes archive = GzipMember(h, kSomeData, 0xDEADBEEF, 400);
  ASSERT_EQ(Open(archive), 0);
  ASSERT_EQ(Build(), 0);

  ASSERT_EQ(list_.count, 1);
  ASSERT_EQ(list_.head, list_.tail);
  EXPECT_EQ(list_.head->next, nullptr);
  ExpectSameEntry(*list_.head, ExpectedEntry("docs\\a.txt", kSomeData.size(), 400,
                                             Dos(2023, 11, 14, 22, 13, 20)));
  ExpectSameInfo(Info(), ExpectedInfo(5, 1, kSomeData.size(), 400, 1));

  // The engine's own record: the data begins right after the header CRC.
  gzarc::MemberInfoList members{};
  EXPECT_EQ(gzarc::ScanArchive(&masks_, &members), 1u);
  ASSERT_NE(members.head, nullptr);
  EXPECT_EQ(members.head->reserved, 0u);
  EXPECT_EQ(members.head->DataOffset, header.size());
  EXPECT_EQ(members.head->PackedSize, kSomeData.size());
  EXPECT_EQ(members.head->Crc32, 0xDEADBEEFu);
  EXPECT_EQ(members.head->MTime, 1700000000u);
  EXPECT_EQ(members.head->Attributes, 128u);
  gzarc::FreeMemberList(&members);
  EXPECT_EQ(members.count, 0u);
  EXPECT_EQ(members.head, nullptr);
}

TEST_F(ArchiveListTest, DataOffsetFollowsEachOptionalField) {
  struct Case {
    const char* what;
    GzipHeader header;
  };
  std::vector<Case> cases;
  {
    GzipHeader h;
    h.extra = Bytes{};
    cases.push_back({"extra of length 0", h});
  }
  {
    GzipHeader h;
    h.extra = Bytes(6, 0x55);
    cases.push_back({"extra of length 6", h});
  }
  {
    GzipHeader h;
    h.extra = Bytes(700, 0);  // longer than one read of the header buffer
    h.name = "n";
    cases.push_back({"long extra", h});
  }
  {
    GzipHeader h;
    h.name = "x.bin";
    h.comment = "";
    cases.push_back({"name and empty comment", h});
  }
  {
    GzipHeader h;
    h.comment = std::string(5000, 'c');
    h.headerCrc = true;
    cases.push_back({"long comment and header CRC", h});
  }
  {
    GzipHeader h;
    h.headerCrc = true;
    cases.push_back({"header CRC alone", h});
  }
  {
    GzipHeader h;
    h.flags = 0xE0;  // reserved bits are not examined
    cases.push_back({"reserved flag bits", h});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes header = c.header.Build();
    ASSERT_EQ(Open(GzipMember(c.header, kSomeData, 1, 2)), 0);
    gzarc::MemberInfoList members{};
    ASSERT_EQ(gzarc::ScanArchive(&masks_, &members), 1u);
    EXPECT_EQ(members.head->DataOffset, header.size());
    EXPECT_EQ(members.head->PackedSize, kSomeData.size());
    gzarc::FreeMemberList(&members);
  }
}

TEST_F(ArchiveListTest, NameBytesAreTakenAsTheyStand) {
  GzipHeader h;
  h.name = std::string("\xFF\x80Z", 3);
  ASSERT_EQ(Open(GzipMember(h, {}, 0, 0)), 0);
  ASSERT_EQ(Build(), 0);
  EXPECT_STREQ(list_.head->name, "\xFF\x80Z");
  EXPECT_EQ(list_.head->packedSize, 0);
  EXPECT_EQ(Info().ratio, 0u);
}

TEST_F(ArchiveListTest, NamesFillTheFieldButNeverOverflowIt) {
  GzipHeader h;
  h.name = std::string(255, 'n');
  ASSERT_EQ(Open(GzipMember(h, kSomeData, 0, 9)), 0);
  ASSERT_EQ(Build(), 0);
  EXPECT_EQ(std::strlen(list_.head->name), 255u);

  for (std::size_t length : {256u, 300u, 70000u}) {
    h.name = std::string(length, 'n');
    gzarc::test::WriteFile(dir_.Native("a.gz"), GzipMember(h, kSomeData, 0, 9));
    ExpectFailureKeepsState(GZARC_STATUS_FILE_ERROR);
  }
}

TEST_F(ArchiveListTest, HeaderCrcMismatchIsRefused) {
  GzipHeader h;
  h.name = "a.txt";
  h.headerCrc = true;
  h.headerCrcDamage = 0x0100;
  ASSERT_EQ(Open(GzipMember(h, kSomeData, 0, 9)), 0);
  ExpectFailureKeepsState(GZARC_STATUS_FILE_ERROR);
}

TEST_F(ArchiveListTest, TextFlagIsRefused) {
  GzipHeader h;
  h.name = "a.txt";
  h.flags = gzarc::kFlagText;
  ASSERT_EQ(Open(GzipMember(h, kSomeData, 0, 9)), 0);
  ExpectFailureKeepsState(GZARC_STATUS_TEXT_FLAG);
  // Bit 1 alone is the header CRC, not a refusal.
  h.flags = 0;
  h.headerCrc = true;
  gzarc::test::WriteFile(dir_.Native("a.gz"), GzipMember(h, kSomeData, 0, 9));
  EXPECT_EQ(Build(), 0);
}

// Cutting the archive anywhere inside the header or its trailer fails with 5,
// after a successful listing whose list and record must survive untouched.
TEST_F(ArchiveListTest, TruncatedAtEveryByteFailsAndKeepsTheListing) {
  GzipHeader h;
  h.mtime = 1700000000;
  h.extra = Bytes{1, 2, 3};
  h.name = "a.txt";
  h.comment = "c";
  h.headerCrc = true;
  const Bytes header = h.Build();
  const Bytes whole = GzipMember(h, kSomeData, 7, 8);
  ASSERT_EQ(Open(whole), 0);
  ASSERT_EQ(Build(), 0);
  ASSERT_EQ(list_.count, 1);
  for (std::size_t length = 0; length < header.size() + 8; ++length) {
    SCOPED_TRACE(length);
    gzarc::test::WriteFile(dir_.Native("a.gz"), Bytes(whole.begin(), whole.begin() + length));
    ExpectFailureKeepsState(GZARC_STATUS_FILE_ERROR);
  }
  // Header and trailer with nothing between them is a member of packed size 0.
  gzarc::test::WriteFile(dir_.Native("a.gz"), GzipMember(h, {}, 7, 8));
  ASSERT_EQ(Build(), 0);
  EXPECT_EQ(list_.count, 2);
  EXPECT_EQ(list_.tail->packedSize, 0);
}

TEST_F(ArchiveListTest, FailuresOfOpenReadAndMemoryKeepTheListing) {
  GzipHeader h;
  h.name = "a.txt";
  ASSERT_EQ(Open(GzipMember(h, kSomeData, 0, 50)), 0);
  ASSERT_EQ(Build(), 0);

  const struct {
    faults::Call call;
    uint64_t at;
    uint16_t status;
  } cases[] = {
      {faults::Call::kOpen, 1, GZARC_STATUS_FILE_ERROR},
      {faults::Call::kRead, 1, GZARC_STATUS_FILE_ERROR},     // header
      {faults::Call::kRead, 2, GZARC_STATUS_FILE_ERROR},     // trailer
      {faults::Call::kAllocate, 1, GZARC_STATUS_NO_MEMORY},  // member record
      {faults::Call::kAllocate, 2, GZARC_STATUS_NO_MEMORY},  // host entry
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << static_cast<int>(c.call) << "@" << c.at);
    faults::Arm({c.call, c.at});
    ExpectFailureKeepsState(c.status);
    EXPECT_TRUE(faults::Fired());
    faults::Disarm();
  }
  EXPECT_EQ(Build(), 0);
  EXPECT_EQ(list_.count, 2);

  // No current archive at all.
  DoneArcFile(nullptr);
  ExpectFailureKeepsState(GZARC_STATUS_FILE_ERROR);
}

TEST_F(ArchiveListTest, MasksThatDoNotMatchLeaveTheListAlone) {
  GzipHeader h;
  h.name = "a.txt";
  ASSERT_EQ(Open(GzipMember(h, kSomeData, 0, 50)), 0);
  // A mask list written by hand: folder, base name and extension.
  char folder[] = "";
  FileMaskEntry entry{};
  entry.folder = folder;
  std::strcpy(entry.name, "other");
  FileMaskList masks{&entry, &entry};
  BuildArcFileList(&list_, &masks);
  EXPECT_EQ(GetArchiveStatus(), GZARC_STATUS_NO_MATCH);
  EXPECT_EQ(list_.count, 0);
  EXPECT_EQ(list_.head, nullptr);
  const ArcExtraInfo zero{};
  const ArcExtraInfo after = Info();
  EXPECT_EQ(0, std::memcmp(&zero, &after, sizeof zero));
}

// Masks from AppendFileMask select by the stored or derived name.
TEST_F(ArchiveListTest, MasksSelectTheMember) {
  GzipHeader named;
  named.name = "report.txt";
  GzipHeader unnamed;
  const struct {
    const GzipHeader* header;
    const char* file;
    const char* mask;
    uint16_t status;
  } cases[] = {
      {&named, "a.gz", "*.txt", 0},
      {&named, "a.gz", "REPORT.*", 0},
      {&named, "a.gz", "*.doc", GZARC_STATUS_NO_MATCH},
      {&unnamed, "backup.tgz", "*.tar", 0},
      {&unnamed, "backup.tgz", "*.tgz", GZARC_STATUS_NO_MATCH},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mask);
    ASSERT_EQ(Open(GzipMember(*c.header, kSomeData, 0, 5), c.file), 0);
    FileMaskList masks;
    InitFileMaskList(&masks);
    ASSERT_EQ(AppendFileMask(c.mask, &masks), 1);
    DoneArcFileList(&list_);
    BuildArcFileList(&list_, &masks);
    EXPECT_EQ(GetArchiveStatus(), c.status);
    EXPECT_EQ(list_.count, c.status == 0 ? 1 : 0);
    DoneFileMaskList(&masks);
  }
}

TEST_F(ArchiveListTest, TwoBuildsOnOneListAppendAndTotalTheWholeList) {
  GzipHeader h;
  h.name = "a.txt";
  const Bytes archive = GzipMember(h, Bytes(100, 0), 0, 400);
  ASSERT_EQ(Open(archive), 0);
  ASSERT_EQ(Build(), 0);
  ExpectSameInfo(Info(), ExpectedInfo(5, 1, 100, 400, 25));
  ASSERT_EQ(Build(), 0);
  ASSERT_EQ(list_.count, 2);
  EXPECT_EQ(list_.head->next, list_.tail);
  EXPECT_EQ(list_.tail->next, nullptr);
  EXPECT_NE(list_.head, list_.tail);
  ExpectSameInfo(Info(), ExpectedInfo(5, 2, 200, 800, 25));

  // A different archive on the same list: the record shows its OS byte and
  // the totals of all three entries.
  GzipHeader other;
  other.name = "b.bin";
  other.os = 14;
  ASSERT_EQ(Open(GzipMember(other, Bytes(50, 0), 0, 50), "b.gz"), 0);
  ASSERT_EQ(Build(), 0);
  ASSERT_EQ(list_.count, 3);
  EXPECT_STREQ(list_.tail->name, "b.bin");
  ExpectSameInfo(Info(), ExpectedInfo(3, 3, 250, 850, 29));

  DoneArcFileList(&list_);
  EXPECT_EQ(list_.count, 0);
  EXPECT_EQ(list_.head, nullptr);
  EXPECT_EQ(list_.tail, nullptr);
}

TEST_F(ArchiveListTest, HostSystemCodes) {
  const uint32_t expected[17] = {0, 10, 9, 5, 15, 8, 2, 6, 14, 13, 0, 4, 0, 0, 3, 0, 16};
  for (int os = 0; os < 256; ++os) {
    EXPECT_EQ(gzarc::MapHostSystem(static_cast<uint8_t>(os)), os < 17 ? expected[os] : 0u) << os;
  }
  for (const auto& [os, code] : {std::pair{3, 5u}, {14, 3u}, {255, 0u}, {16, 16u}}) {
    GzipHeader h;
    h.name = "a";
    h.os = static_cast<uint8_t>(os);
    ASSERT_EQ(Open(GzipMember(h, kSomeData, 0, 5)), 0);
    ASSERT_EQ(Build(), 0);
    EXPECT_EQ(Info().hostSystemCode, code) << os;
  }
}

TEST_F(ArchiveListTest, RatioHalvesLargeTotals) {
  EXPECT_EQ(gzarc::CompressionRatio(100, 400), 25u);
  EXPECT_EQ(gzarc::CompressionRatio(0, 0), 0u);
  EXPECT_EQ(gzarc::CompressionRatio(5, 0), 0u);
  EXPECT_EQ(gzarc::CompressionRatio(0x1400000, 0x2800000), 50u);
  EXPECT_EQ(gzarc::CompressionRatio(1, 3), 33u);
  EXPECT_EQ(gzarc::CompressionRatio(410, 400), 102u);
  // Halving drops low bits of both totals: 0x13FFFFF is not halved.
  EXPECT_EQ(gzarc::CompressionRatio(0x13FFFFF, 0x13FFFFF), 100u);
  // Unsigned 32-bit sizes: 3 GiB of 4 GiB - 1.
  EXPECT_EQ(gzarc::CompressionRatio(3LL << 30, 0xFFFFFFFFLL), 75u);
  // Unpacked halved to 0 while packed is not: 0, not a division by zero.
  EXPECT_EQ(gzarc::CompressionRatio(0x1400000, 1), 0u);
}

TEST_F(ArchiveListTest, DosDateTimeInLocalTime) {
  EXPECT_EQ(gzarc::UnixTimeToDosDateTime(315532800), Dos(1980, 1, 1, 0, 0, 0));
  EXPECT_EQ(gzarc::UnixTimeToDosDateTime(1709214331), Dos(2024, 2, 29, 13, 45, 31));
  EXPECT_EQ(gzarc::UnixTimeToDosDateTime(0x7FFFFFFF), Dos(2038, 1, 19, 3, 14, 7));
  // No DOS form: before 1980, and the upper half read as negative.
  for (uint32_t t : {0u, 1u, 315532799u, 0x80000000u, 0xFFFFFFFFu}) {
    EXPECT_EQ(gzarc::UnixTimeToDosDateTime(t), 0u) << t;
  }
  SetTimeZone("XYZ-2");  // two hours east of UTC
  EXPECT_EQ(gzarc::UnixTimeToDosDateTime(1700000000), Dos(2023, 11, 15, 0, 13, 20));
  EXPECT_EQ(gzarc::UnixTimeToDosDateTime(315532800 - 3600), Dos(1980, 1, 1, 1, 0, 0));
  SetTimeZone("XYZ+5");
  EXPECT_EQ(gzarc::UnixTimeToDosDateTime(1700000000), Dos(2023, 11, 14, 17, 13, 20));
  EXPECT_EQ(gzarc::UnixTimeToDosDateTime(315532800 + 3600), 0u);
}

// Sizes of 2 GiB and more list as their unsigned values.
TEST_F(ArchiveListTest, LargeSizesWidenUnsigned) {
  GzipHeader h;
  h.name = "big";
  const Bytes header = h.Build();
  const std::string path = dir_.Native("big.gz");
  const uint64_t length = 3ULL << 30;
  {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(header.data()),
              static_cast<std::streamsize>(header.size()));
  }
  std::error_code ec;
  std::filesystem::resize_file(path, length, ec);
  if (ec) GTEST_SKIP() << "no room for a sparse 3 GiB file";
  {
    Bytes trailer;
    gzarc::test::PutLe32(trailer, 0);
    gzarc::test::PutLe32(trailer, 0xFFFFFFF0u);
    std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
    out.seekp(static_cast<std::streamoff>(length - 8));
    out.write(reinterpret_cast<const char*>(trailer.data()), 8);
  }
  InitArcFile(dir_.Win("big.gz").c_str());
  ASSERT_EQ(GetArchiveStatus(), 0);
  ASSERT_EQ(Build(), 0);
  const int64_t packed = static_cast<int64_t>(length - header.size() - 8);
  EXPECT_EQ(list_.head->packedSize, packed);
  EXPECT_EQ(list_.head->unpackedSize, 0xFFFFFFF0LL);
  // Both totals halved eight times: 12582911 * 100 / 16777215.
  ExpectSameInfo(Info(), ExpectedInfo(5, 1, packed, 0xFFFFFFF0LL, 74));
}

TEST_F(ArchiveListTest, NameDerivedFromTheArchiveName) {
  const struct {
    const char* path;
    const char* name;
  } cases[] = {
      {"x.tgz", "x.tar"},
      {"x.gz", "x"},
      {"x.tar.gz", "x.tar"},
      {"x.taz", "x.tar"},
      {"x.Tz", "x.tar"},
      {"C:\\dir.d\\x.taz", "x"},      // two dots, not .TGZ
      {"C:\\dir.d\\x.TgZ", "x.tar"},  // two dots, .TGZ in any case
      {"C:\\dir.d\\x", "x"},          // the only dot is in a folder
      {"C:\\dir.t\\x", "x"},          // ... even when a "t" follows it
      {"\\\\server\\share\\report", "report"},
      {"x", "x"},
      {"x.", "x"},
      {"a.b.c.tgz", "a.b.c.tar"},
      {"dir/x.tgz", "x.tar"},
  };
  for (const auto& c : cases) {
    char name[gzarc::kMemberNameSize] = {};
    ASSERT_TRUE(gzarc::DeriveMemberName(c.path, name, sizeof name)) << c.path;
    EXPECT_STREQ(name, c.name) << c.path;
  }
  // Through a listing: dots in the temporary folder cannot change these two.
  GzipHeader h;
  for (const auto& [file, name] : {std::pair{"backup.tgz", "backup.tar"}, {"notes.gz", "notes"}}) {
    ASSERT_EQ(Open(GzipMember(h, kSomeData, 0, 5), file), 0);
    ASSERT_EQ(Build(), 0);
    EXPECT_STREQ(list_.tail->name, name);
  }
}

FileMaskEntry Entry(char* folder, const char* name, const char* extension) {
  FileMaskEntry e{};
  e.folder = folder;
  std::strcpy(e.name, name);
  std::strcpy(e.extension, extension);
  return e;
}

TEST_F(ArchiveListTest, StoredNameOfNewMembers) {
  const struct {
    const char* folder;
    const char* name;
    const char* extension;
    const char* stored;
  } cases[] = {
      {"C:\\docs\\", "a", "txt", "docs\\a.txt"},
      {"\\docs\\", "a", "txt", "docs\\a.txt"},
      {"..\\docs\\", "a", "txt", "docs\\a.txt"},
      {"\\..\\docs\\", "a", "txt", "docs\\a.txt"},
      {"C:\\..\\", "a", "txt", "a.txt"},
      {"..\\..\\", "a", "txt", "..\\a.txt"},  // one parent reference goes
      {"", "a", "", "a"},
      {"", "a", "b.c", "a.b.c"},
      {"C:DATA\\", "A", "TXT", "DATA\\A.TXT"},  // drive-relative keeps its folder
      {"C:", "A", "TXT", "A.TXT"},
      {"", "..notes", "", "..notes"},  // two dots that are part of a name
      {"\\\\server\\share\\", "a", "", "\\server\\share\\a"},
  };
  for (const auto& c : cases) {
    std::string folder = c.folder;
    FileMaskEntry e = Entry(folder.data(), c.name, c.extension);
    char stored[256];
    ASSERT_TRUE(gzarc::BuildStoredName(&e, stored, sizeof stored)) << c.folder << c.name;
    EXPECT_STREQ(stored, c.stored) << c.folder << c.name;
  }
  // Too long for the buffer: refused, not cut.
  std::string folder(200, 'd');
  folder += '\\';
  FileMaskEntry e = Entry(folder.data(), std::string(100, 'n').c_str(), "txt");
  char stored[256];
  EXPECT_FALSE(gzarc::BuildStoredName(&e, stored, sizeof stored));
  EXPECT_STREQ(stored, "");
}

// ---- Archives made by the tools users have -------------------------------

class ToolArchiveTest : public ArchiveListTest {
 protected:
  // A source file with a fixed modification time.
  std::string MakeSource(const std::string& name, std::size_t size, long mtime) {
    std::string text;
    for (std::size_t i = 0; text.size() < size; ++i)
      text += "line " + std::to_string(i % 97) + "\n";
    text.resize(size);
    gzarc::test::WriteFile(dir_.Native(name), text);
    EXPECT_EQ(
        gzarc::test::Run("touch -d @" + std::to_string(mtime) + " '" + dir_.Native(name) + "'"), 0);
    return dir_.Native(name);
  }
  uint64_t SizeOf(const std::string& name) { return std::filesystem::file_size(dir_.Native(name)); }
};

TEST_F(ToolArchiveTest, GzipCommand) {
  if (!gzarc::test::HaveProgram("gzip")) GTEST_SKIP() << "no gzip";
  const std::string source = MakeSource("data.txt", 100000, 1700000000);
  const struct {
    const char* options;
    const char* name;
    uint32_t dosDateTime;
    std::size_t headerSize;
  } cases[] = {
      {"", "data.txt", Dos(2023, 11, 14, 22, 13, 20), 10 + 9},
      {"-N", "data.txt", Dos(2023, 11, 14, 22, 13, 20), 10 + 9},
      {"-9", "data.txt", Dos(2023, 11, 14, 22, 13, 20), 10 + 9},
      // No name and no time: the name comes from "data.txt.gz", the time has
      // no DOS form.
      {"-n", "data.txt", 0, 10},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options);
    ASSERT_EQ(gzarc::test::Run(std::string("gzip -c ") + c.options + " '" + source + "' > '" +
                               dir_.Native("data.txt.gz") + "'"),
              0);
    InitArcFile(dir_.Win("data.txt.gz").c_str());
    ASSERT_EQ(GetArchiveStatus(), 0);
    InitArcFileList(&list_);
    ASSERT_EQ(Build(), 0);
    const uint64_t packed = SizeOf("data.txt.gz") - c.headerSize - 8;
    ExpectSameEntry(*list_.head, ExpectedEntry(c.name, packed, 100000, c.dosDateTime));
    ExpectSameInfo(Info(), ExpectedInfo(5, 1, static_cast<int64_t>(packed), 100000,
                                        static_cast<uint32_t>(packed * 100 / 100000)));
    DoneArcFileList(&list_);
  }
}

TEST_F(ToolArchiveTest, PythonGzipModule) {
  if (!gzarc::test::HaveProgram("python3")) GTEST_SKIP() << "no python3";
  const std::string source = MakeSource("in.bin", 54321, 0);
  const std::string named = dir_.Native("named.gz");
  const std::string plain = dir_.Native("plain.tgz");
  const std::string script =
      "import gzip,sys\n"
      "data=open(sys.argv[1],'rb').read()\n"
      "with open(sys.argv[2],'wb') as f:\n"
      "  with gzip.GzipFile(filename='inner.bin',mode='wb',fileobj=f,mtime=1234567890) as g:\n"
      "    g.write(data)\n"
      "open(sys.argv[3],'wb').write(gzip.compress(data,compresslevel=1,mtime=987654321))\n";
  gzarc::test::WriteFile(dir_.Native("make.py"), script);
  ASSERT_EQ(gzarc::test::Run("python3 '" + dir_.Native("make.py") + "' '" + source + "' '" + named +
                             "' '" + plain + "'"),
            0);

  InitArcFile(dir_.Win("named.gz").c_str());
  ASSERT_EQ(GetArchiveStatus(), 0);
  ASSERT_EQ(Build(), 0);
  const uint64_t namedPacked = SizeOf("named.gz") - (10 + 10) - 8;
  // 2009-02-13 23:31:30 UTC; Python writes OS 255, which maps to 0.
  ExpectSameEntry(*list_.head,
                  ExpectedEntry("inner.bin", namedPacked, 54321, Dos(2009, 2, 13, 23, 31, 30)));
  ExpectSameInfo(Info(), ExpectedInfo(0, 1, static_cast<int64_t>(namedPacked), 54321,
                                      static_cast<uint32_t>(namedPacked * 100 / 54321)));

  // Same list: the second archive has no name, so "plain.tgz" names it.
  InitArcFile(dir_.Win("plain.tgz").c_str());
  ASSERT_EQ(GetArchiveStatus(), 0);
  ASSERT_EQ(Build(), 0);
  ASSERT_EQ(list_.count, 2);
  const uint64_t plainPacked = SizeOf("plain.tgz") - 10 - 8;
  // 2001-04-19 04:25:21 UTC
  ExpectSameEntry(*list_.tail,
                  ExpectedEntry("plain.tar", plainPacked, 54321, Dos(2001, 4, 19, 4, 25, 21)));
  const int64_t packedTotal = static_cast<int64_t>(namedPacked + plainPacked);
  ExpectSameInfo(Info(), ExpectedInfo(0, 2, packedTotal, 2 * 54321,
                                      static_cast<uint32_t>(packedTotal * 100 / (2 * 54321))));
}

}  // namespace
