// Every open, read, write, folder creation, rename and allocation of a whole
// host operation fails once in turn (and every write once comes up short).
// After each run: the status that names the failing call, no partial archive
// or output file and no temporary file left, a file that existed before
// byte-identical, and no descriptor left open. Leaks show up in the
// sanitizer build of this suite.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "gzarc.h"
#include "platform/platform_faults.h"
#include "test_data.h"
#include "test_support.h"

namespace gzarc::test {
namespace {

namespace faults = platform::faults;
using faults::Call;
namespace fs = std::filesystem;

constexpr std::size_t kKinds = static_cast<std::size_t>(Call::kCount);
constexpr std::array<Call, kKinds> kAllCalls = {
    Call::kOpen,   Call::kRead,     Call::kWrite, Call::kMakeDirectory,
    Call::kRename, Call::kAllocate, Call::kThread};

const char* CallName(Call call) {
  switch (call) {
    case Call::kOpen:
      return "open";
    case Call::kRead:
      return "read";
    case Call::kWrite:
      return "write";
    case Call::kMakeDirectory:
      return "mkdir";
    case Call::kRename:
      return "rename";
    case Call::kAllocate:
      return "allocate";
    case Call::kThread:
      return "thread";
    case Call::kCount:
      break;
  }
  return "?";
}

std::string Describe(const Tree& tree) {
  std::string s;
  for (const auto& [name, bytes] : tree) s += name + "(" + std::to_string(bytes.size()) + ") ";
  return s;
}

// The host's steps mark where they begin, so that a failing call can be
// traced to the export that made it.
struct StepLog {
  std::vector<std::pair<int, std::array<uint64_t, kKinds>>> marks;
  void Enter(int step) {
    std::array<uint64_t, kKinds> counts{};
    for (std::size_t k = 0; k < kKinds; ++k) counts[k] = faults::Count(static_cast<Call>(k));
    marks.emplace_back(step, counts);
  }
};

StepLog* gLog = nullptr;
void Enter(HostStep step) {
  if (gLog != nullptr) gLog->Enter(step);
}

// Where the n-th call of a kind happened: the step and its place in it.
struct Site {
  int step = -1;
  uint64_t index = 0;   // 1-based within the step
  uint64_t inStep = 0;  // calls of the kind the clean run made in the step
};

Site Locate(const StepLog& log, Call call, uint64_t n, uint64_t total) {
  Site site;
  const auto k = static_cast<std::size_t>(call);
  for (std::size_t i = 0; i < log.marks.size(); ++i) {
    const uint64_t first = log.marks[i].second[k];
    const uint64_t end = i + 1 < log.marks.size() ? log.marks[i + 1].second[k] : total;
    if (first < n && n <= end) site = Site{log.marks[i].first, n - first, end - first};
  }
  return site;
}

// One run of the host's operation; returns the status the host reads last.
using Operation = std::function<uint16_t()>;
// What a failure at a site must give: its status, and what may stay in the
// folder besides what was there before: empty folders created on the way,
// or the empty archive CreateArcFile made when the host gave up after it.
struct Outcome {
  uint16_t status;
  std::vector<std::string> mayStay = {};
  // The operation may also get round the failure (status 0, the clean
  // run's result): a parallel path that falls back to one thread.
  bool mayGetRound = false;
};
using Expectation = std::function<Outcome(Call call, const Site& site)>;

struct SweepFigures {
  uint64_t injected = 0;
  uint64_t survived = 0;
};

SweepFigures gTotals;

class FaultSweep : public ::testing::Test {
 protected:
  void SetUp() override { ResetHost(); }
  void TearDown() override {
    faults::Disarm();
    ResetHost();
  }
  static void TearDownTestSuite() {
    std::printf("[fault sweep] faults injected so far: %llu, survived: %llu\n",
                static_cast<unsigned long long>(gTotals.injected),
                static_cast<unsigned long long>(gTotals.survived));
  }

  static void ResetHost() {
    faults::Disarm();
    DoneArcFile(nullptr);
    SetInputPath("");
    SetSetProgressProc(nullptr, nullptr);
    SetSetFileNameProc(nullptr, nullptr);
    SetOkToReplaceProc(nullptr, nullptr);
    SetSetSignalProc(nullptr, nullptr);
  }

  // Runs the operation once cleanly to count its calls, then once per call
  // with that call failing (and once per write with that write short).
  // prepare() restores the folder before each run; afterwards the folder
  // must hold what it held before (or, for a fault the operation survives,
  // what the clean run left) plus at most the folders in mayStay.
  void Sweep(const std::function<void()>& prepare, const Operation& operation,
             const Expectation& expect) {
    prepare();
    StepLog log;
    gLog = &log;
    faults::Arm({});
    const std::size_t descriptors = gzarc::test::OpenDescriptorCount();
    ASSERT_EQ(operation(), 0) << "the clean run fails";
    gLog = nullptr;
    std::array<uint64_t, kKinds> counts{};
    for (std::size_t k = 0; k < kKinds; ++k) counts[k] = faults::Count(static_cast<Call>(k));
    faults::Disarm();
    const Tree done = Snapshot(dir_.path());
    EXPECT_EQ(gzarc::test::OpenDescriptorCount(), descriptors);
    std::string calls;
    for (Call call : kAllCalls) {
      calls += std::string(" ") + CallName(call) + " " +
               std::to_string(counts[static_cast<std::size_t>(call)]);
    }
    std::printf("[fault sweep] %s: calls of a clean run:%s\n",
                ::testing::UnitTest::GetInstance()->current_test_info()->name(), calls.c_str());

    for (Call call : kAllCalls) {
      const auto k = static_cast<std::size_t>(call);
      for (bool shortWrite : {false, true}) {
        if (shortWrite && call != Call::kWrite) continue;
        for (uint64_t n = 1; n <= counts[k]; ++n) {
          prepare();
          const Tree before = Snapshot(dir_.path());
          faults::Arm({call, n, shortWrite});
          const uint16_t status = operation();
          const bool fired = faults::Fired();
          faults::Disarm();
          const Site site = Locate(log, call, n, counts[k]);
          const std::string where = std::string(CallName(call)) + (shortWrite ? " (short)" : "") +
                                    " #" + std::to_string(n) + " (step " +
                                    std::to_string(site.step) + ", call " +
                                    std::to_string(site.index) + ")";
          ASSERT_TRUE(fired) << where << ": the clean run's call did not come again";
          ++gTotals.injected;
          Outcome expected = expect(call, site);
          if (expected.mayGetRound && status == 0) expected.status = 0;
          EXPECT_EQ(status, expected.status) << where;
          EXPECT_EQ(gzarc::test::OpenDescriptorCount(), descriptors)
              << where << ": a descriptor stays open";
          Tree after = Snapshot(dir_.path());
          // A folder made on the way, or an empty file, that was not there.
          for (const std::string& name : expected.mayStay) {
            for (const std::string& key : {name + "/", name}) {
              const auto it = after.find(key);
              if (it != after.end() && it->second.empty() && before.count(key) == 0) {
                after.erase(it);
              }
            }
          }
          const Tree& wanted = status == 0 ? done : before;
          EXPECT_TRUE(after == wanted)
              << where << "\n  left:   " << Describe(after) << "\n  wanted: " << Describe(wanted);
          if (status == expected.status && after == wanted) ++gTotals.survived;
        }
      }
    }
  }

  TempDir dir_;
};

// ---- Compression -----------------------------------------------------------

Outcome ExpectForCompression(Call call, const Site& site) {
  switch (call) {
    case Call::kOpen:
      // The existence test of CreateArcFile failing reads as "no such file",
      // which is the answer the clean run had anyway.
      if (site.step == kCreate && site.index == 1) return {GZARC_STATUS_OK};
      return {GZARC_STATUS_FILE_ERROR};
    case Call::kRead:
      return {GZARC_STATUS_FILE_ERROR};
    case Call::kWrite:
      return {GZARC_STATUS_WRITE_SHORT};
    case Call::kAllocate:
      // A host that cannot build its mask list gives up with the empty
      // archive CreateArcFile made; it is the host's to discard.
      if (site.step == kMasks) return {GZARC_STATUS_NO_MEMORY, {"out.gz"}};
      return {GZARC_STATUS_NO_MEMORY};
    default:
      return {0xFFFF};  // not made by a compression
  }
}

TEST_F(FaultSweep, Compression) {
  // Written once: its time goes into the archive's header.
  WriteFile(dir_.Native("source.bin"), MakeInput(InputKind::kMixed, 150000, 11));
  Sweep([&] { fs::remove(dir_.Native("out.gz")); },
        [&] { return CompressAsHost(dir_.Win("out.gz"), dir_.Win("source.bin"), Enter); },
        ExpectForCompression);
}

// A source large enough for the parallel path (on a machine with more than
// one processor): a thread that cannot start or memory for the parts that
// cannot be had leaves the work to fewer threads.
TEST_F(FaultSweep, CompressionOnEveryProcessor) {
  WriteFile(dir_.Native("source.bin"), MakeInput(InputKind::kMixed, 1200000, 12));
  Sweep([&] { fs::remove(dir_.Native("out.gz")); },
        [&] { return CompressAsHost(dir_.Win("out.gz"), dir_.Win("source.bin"), Enter); },
        [](Call call, const Site& site) {
          if (call == Call::kThread) return Outcome{GZARC_STATUS_OK};
          Outcome outcome = ExpectForCompression(call, site);
          outcome.mayGetRound = call == Call::kAllocate && site.step == kCompress;
          return outcome;
        });
}

TEST_F(FaultSweep, CompressionOfAnEmptySource) {
  WriteFile(dir_.Native("empty"), Bytes{});
  Sweep([&] { fs::remove(dir_.Native("out.gz")); },
        [&] { return CompressAsHost(dir_.Win("out.gz"), dir_.Win("empty"), Enter); },
        ExpectForCompression);
}

// An archive of the name exists already: CreateArcFile refuses it, and no
// failing call may lead it to create the archive afresh over that file.
TEST_F(FaultSweep, CreationOverAnExistingArchiveNeverTouchesIt) {
  const Bytes old = MakeInput(InputKind::kText, 5000, 2);
  WriteFile(dir_.Native("source.bin"), MakeInput(InputKind::kMixed, 40000, 5));
  for (Call call : kAllCalls) {
    for (uint64_t n = 1; n <= 4; ++n) {
      WriteFile(dir_.Native("out.gz"), old);
      faults::Arm({call, n, false});
      const uint16_t status = CompressAsHost(dir_.Win("out.gz"), dir_.Win("source.bin"));
      const bool fired = faults::Fired();
      faults::Disarm();
      if (fired) ++gTotals.injected;
      const bool untouched = ReadFile(dir_.Native("out.gz")) == old;
      EXPECT_TRUE(untouched) << CallName(call) << " #" << n;
      EXPECT_NE(status, 0) << CallName(call) << " #" << n;
      if (fired && untouched && status != 0) ++gTotals.survived;
    }
  }
}

// ---- Extraction ------------------------------------------------------------

// The scan allocates the member record and extraction its input buffer;
// every later allocation is a lookup table of the decoder, whose failure is
// reported as a failed block.
constexpr uint64_t kExtractionBuffers = 2;

// mayStay: the folders extraction makes on the way; they stay whatever
// happens after them.
Outcome ExpectForExtraction(Call call, const Site& site, const std::vector<std::string>& mayStay) {
  switch (call) {
    case Call::kOpen:
      if (site.step != kExtract || site.index <= 2) return {GZARC_STATUS_FILE_ERROR};
      // After the scan's open and extraction's own, the opens create the
      // output; a failure there walks the target's folders and tries again,
      // so it is outlived unless it is the last try, after the last folder.
      if (!mayStay.empty() && site.index == site.inStep) {
        return {GZARC_STATUS_FILE_ERROR, mayStay};
      }
      return {GZARC_STATUS_OK};
    case Call::kRead:
      // InitArcFile's probe cannot tell a failed read from a short file.
      if (site.step == kOpenArchive) return {GZARC_STATUS_NOT_GZIP};
      return {GZARC_STATUS_FILE_ERROR, mayStay};
    case Call::kWrite:
      return {GZARC_STATUS_WRITE_SHORT, mayStay};
    case Call::kMakeDirectory:
      return {GZARC_STATUS_FILE_ERROR, mayStay};
    case Call::kRename:
      return {GZARC_STATUS_FILE_ERROR, mayStay};
    case Call::kAllocate:
      if (site.step == kExtract && site.index > kExtractionBuffers) {
        return {GZARC_STATUS_BAD_DATA, mayStay};
      }
      return {GZARC_STATUS_NO_MEMORY};
    default:
      return {0xFFFF};
  }
}

class ExtractionSweep : public FaultSweep {
 protected:
  void SetUp() override {
    FaultSweep::SetUp();
    // An archive of this engine's own making, with dynamic blocks (their
    // tables are allocated) and more than one window of output.
    content_ = MakeInput(InputKind::kMixed, 200000, 23);
    WriteFile(dir_.Native("member.bin"), content_);
    ASSERT_EQ(CompressAsHost(dir_.Win("a.gz"), dir_.Win("member.bin")), 0);
    fs::remove(dir_.Native("member.bin"));
    ResetHost();
  }

  // Extracts into targetDir (made beforehand when makeFolder), over a file
  // holding existing when that is given.
  void SweepInto(const std::string& targetDir, bool makeFolder, const Bytes* existing,
                 const std::vector<std::string>& mayStay = {}) {
    const std::string target = dir_.Native(targetDir + "/member.bin");
    Sweep(
        [&] {
          fs::remove_all(dir_.Native("out"));
          if (makeFolder) fs::create_directories(dir_.Native(targetDir));
          if (existing != nullptr) WriteFile(target, *existing);
        },
        [&] {
          const uint16_t status =
              ExtractAsHost(dir_.Win("a.gz"), dir_.Win(targetDir) + "\\", Enter);
          EXPECT_TRUE(status != 0 || ReadFile(target) == content_);
          return status;
        },
        [&](Call call, const Site& site) { return ExpectForExtraction(call, site, mayStay); });
  }

  Bytes content_;
};

TEST_F(ExtractionSweep, IntoAnEmptyFolder) {
  SweepInto("out", true, nullptr);
}

TEST_F(ExtractionSweep, OverAnExistingFile) {
  const Bytes existing = MakeInput(InputKind::kText, 70000, 29);
  SweepInto("out", true, &existing);
}

TEST_F(ExtractionSweep, IntoFoldersStillToBeMade) {
  SweepInto("out/deeper", false, nullptr, {"out", "out/deeper"});
}

}  // namespace
}  // namespace gzarc::test
