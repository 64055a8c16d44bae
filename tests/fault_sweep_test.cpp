// Every open, read, write, folder creation, rename and allocation of a whole
// host operation fails once in turn (and every write once comes up short).
// After each run: the status that names the failing call, no partial archive
// or output file and no temporary file left, a file that existed before
// byte-identical, and no descriptor left open. Leaks show up in the
// sanitizer build of this suite.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "deflate_inputs.h"
#include "gzarc.h"
#include "platform/platform_faults.h"
#include "test_support.h"

namespace gzarc::test {
namespace {

namespace faults = platform::faults;
using faults::Call;
namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

constexpr std::size_t kKinds = static_cast<std::size_t>(Call::kCount);
constexpr std::array<Call, kKinds> kAllCalls = {
    Call::kOpen, Call::kRead, Call::kWrite, Call::kMakeDirectory, Call::kRename, Call::kAllocate};

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
    case Call::kCount:
      break;
  }
  return "?";
}

std::size_t OpenDescriptors() {
  std::size_t n = 0;
  std::error_code ec;
  for (auto it = fs::directory_iterator("/proc/self/fd", ec); it != fs::directory_iterator();
       it.increment(ec)) {
    ++n;
  }
  return n;
}

// Everything below a folder: files with their bytes, folders as empty
// entries flagged as such.
struct Tree {
  std::map<std::string, Bytes> files;
  std::map<std::string, bool> folders;
  bool operator==(const Tree&) const = default;
};

Tree Snapshot(const std::string& root) {
  Tree tree;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec);
       it != fs::recursive_directory_iterator(); it.increment(ec)) {
    const std::string rel = fs::relative(it->path(), root).string();
    if (it->is_directory()) {
      tree.folders[rel] = true;
    } else {
      tree.files[rel] = ReadFile(it->path().string());
    }
  }
  return tree;
}

std::string Describe(const Tree& tree) {
  std::string s;
  for (const auto& [name, bytes] : tree.files)
    s += name + "(" + std::to_string(bytes.size()) + ") ";
  for (const auto& [name, _] : tree.folders) s += name + "/ ";
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
void Enter(int step) {
  if (gLog != nullptr) gLog->Enter(step);
}

// Where the n-th call of a kind happened: the step and its place in it.
struct Site {
  int step = -1;
  uint64_t index = 0;  // 1-based within the step
};

Site Locate(const StepLog& log, Call call, uint64_t n) {
  Site site;
  const auto k = static_cast<std::size_t>(call);
  for (const auto& [step, counts] : log.marks) {
    if (counts[k] < n) site = Site{step, n - counts[k]};
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
    std::printf("[fault sweep] faults injected: %llu, survived: %llu\n",
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
    const std::size_t descriptors = OpenDescriptors();
    ASSERT_EQ(operation(), 0) << "the clean run fails";
    gLog = nullptr;
    std::array<uint64_t, kKinds> counts{};
    for (std::size_t k = 0; k < kKinds; ++k) counts[k] = faults::Count(static_cast<Call>(k));
    faults::Disarm();
    const Tree done = Snapshot(dir_.path());
    EXPECT_EQ(OpenDescriptors(), descriptors);

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
          const Site site = Locate(log, call, n);
          const std::string where = std::string(CallName(call)) + (shortWrite ? " (short)" : "") +
                                    " #" + std::to_string(n) + " (step " +
                                    std::to_string(site.step) + ", call " +
                                    std::to_string(site.index) + ")";
          ASSERT_TRUE(fired) << where << ": the clean run's call did not come again";
          ++gTotals.injected;
          const Outcome expected = expect(call, site);
          EXPECT_EQ(status, expected.status) << where;
          EXPECT_EQ(OpenDescriptors(), descriptors) << where << ": a descriptor stays open";
          Tree after = Snapshot(dir_.path());
          for (const std::string& name : expected.mayStay) {
            if (before.folders.count(name) == 0) after.folders.erase(name);
            const auto file = after.files.find(name);
            if (before.files.count(name) == 0 && file != after.files.end() &&
                file->second.empty()) {
              after.files.erase(file);
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

enum CompressionStep { kCreate, kMasks, kCompress };

int32_t GZARC_CALL KeepGoing(void*, int32_t, int32_t) {
  return 1;
}
int32_t GZARC_CALL NoteName(void*, const char*, const char*) {
  return 1;
}

// CreateArcFile, a one-entry mask list, CompressFileMaskListArc: the host
// stops at the first status that is not 0.
uint16_t CompressAsHost(const std::string& archive, const std::string& source) {
  SetSetProgressProc(nullptr, KeepGoing);
  SetSetFileNameProc(nullptr, NoteName);
  Enter(kCreate);
  CreateArcFile(archive.c_str());
  uint16_t status = GetArchiveStatus();
  if (status == 0) {
    Enter(kMasks);
    FileMaskList masks;
    InitFileMaskList(&masks);
    if (AppendFileMask(source.c_str(), &masks) == 0) {
      status = GetArchiveStatus();
    } else {
      Enter(kCompress);
      CompressFileMaskListArc(&masks);
      status = GetArchiveStatus();
    }
    DoneFileMaskList(&masks);
  }
  DoneArcFile(nullptr);
  return status;
}

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
  const Bytes source = MakeInput(InputKind::kMixed, 150000, 11);
  Sweep(
      [&] {
        fs::remove(dir_.Native("out.gz"));
        WriteFile(dir_.Native("source.bin"), source);
      },
      [&] { return CompressAsHost(dir_.Win("out.gz"), dir_.Win("source.bin")); },
      ExpectForCompression);
}

TEST_F(FaultSweep, CompressionOfAnEmptySource) {
  Sweep(
      [&] {
        fs::remove(dir_.Native("out.gz"));
        WriteFile(dir_.Native("empty"), Bytes{});
      },
      [&] { return CompressAsHost(dir_.Win("out.gz"), dir_.Win("empty")); }, ExpectForCompression);
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

}  // namespace
}  // namespace gzarc::test
