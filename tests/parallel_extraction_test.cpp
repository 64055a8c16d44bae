// Extraction on several threads against one: on streams from every common
// tool and strategy, blocked and flushed streams, and damage, the host must
// see the same bytes, the same status and the same progress calls, whatever
// the host answers and however full the disk.
#include "gzip/parallel_extraction.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "decoder_harness.h"
#include "engine/engine_state.h"
#include "gzip/member_format.h"
#include "gzip/member_stream.h"
#include "paths/strings.h"
#include "platform/byte_order.h"
#include "platform/platform_faults.h"
#include "test_support.h"

namespace gzarc {
namespace {

using Bytes = std::vector<uint8_t>;

struct Seen {
  std::vector<int64_t> progress;  // percent and count of each call
  Bytes output;
  uint16_t status = 0;
  bool operator==(const Seen&) const = default;
};

struct Run {
  const Bytes* data;
  std::size_t position;
  int cancelAt;
  uint64_t diskSpace;
  int failRead;
  int reads;
  int calls;
  Seen seen;
};
Run* gRun = nullptr;

int32_t GZARC_CALL Progress(void*, int32_t percent, int32_t count) {
  gRun->seen.progress.push_back(int64_t{percent} * 1000000 + count);
  return ++gRun->calls == gRun->cancelAt ? 0 : 1;
}

// One extraction of gz's members (its first header read as the archive
// scan reads it) on threads threads, with parts of at most part bytes.
struct Faults {
  int cancelAt = 0;  // the progress call that cancels
  uint64_t diskSpace = UINT64_MAX;
  int failRead = 0;  // the read of the archive that fails
};

Seen Extract(const Bytes& gz, unsigned threads, const Faults& faults = {},
             ParallelStats* stats = nullptr) {
  struct Cursor {
    const Bytes* gz;
    std::size_t at;
  } cursor{&gz, 0};
  MemberHeader header;
  const HeaderSource source{[](void* c) {
                              auto* k = static_cast<Cursor*>(c);
                              return k->at < k->gz->size() ? int{(*k->gz)[k->at++]} : -1;
                            },
                            &cursor};
  EXPECT_EQ(ParseMemberHeader(source, false, true, &header), HeaderResult::kOk);
  Run run{&gz, header.dataOffset, faults.cancelAt, faults.diskSpace, faults.failRead, 0, 0, {}};
  gRun = &run;
  static DecoderState* const d = new DecoderState;
  std::vector<uint8_t> buffer(kInputBufferSize);
  d->InputBuffer = buffer.data();
  d->codes = ChooseInflateCodes();
  OutputAccount account;
  account.progressTotal = static_cast<uint32_t>(LoadLittle32(gz.data() + gz.size() - 4));
  const OutputSink sink{
      [](void* c, const uint8_t* data, uint32_t n) -> int32_t {
        Run& r = *static_cast<Run*>(c);
        const uint64_t room = r.diskSpace - std::min<uint64_t>(r.diskSpace, r.seen.output.size());
        const uint32_t stored = static_cast<uint32_t>(std::min<uint64_t>(n, room));
        r.seen.output.insert(r.seen.output.end(), data, data + stored);
        return stored == 0 && n > 0 ? -1 : static_cast<int32_t>(stored);
      },
      [](void* c, uint64_t length) {
        static_cast<Run*>(c)->seen.output.resize(length);
        return true;
      },
      &run};
  StartOutput(d->out, sink, ObserverOf(account));
  SetSetProgressProc(nullptr, Progress);
  const InflateSource file{[](void* c, uint8_t* out, uint32_t n) -> int32_t {
                             Run& r = *static_cast<Run*>(c);
                             if (++r.reads == r.failRead) return -1;
                             const std::size_t k =
                                 std::min<std::size_t>(n, r.data->size() - r.position);
                             std::memcpy(out, r.data->data() + r.position, k);
                             r.position += k;
                             return static_cast<int32_t>(k);
                           },
                           &run};
  const uint64_t size = gz.size() - header.dataOffset;
  if (threads == 1) {
    StartInput(*d, file, d->InputBuffer, size);
    DecodeMembers(*d, account);
  } else {
    DecodeMembersInParallel(*d, account, file, size, threads, 24 << 10, stats);
  }
  SetSetProgressProc(nullptr, nullptr);
  d->InputBuffer = nullptr;
  run.seen.status = account.status;
  gRun = nullptr;
  return run.seen;
}

void ExpectSame(const Bytes& gz, const std::string& what, const Faults& faults = {}) {
  const Seen one = Extract(gz, 1, faults);
  for (const unsigned threads : {2u, 3u, 5u}) {
    const Seen many = Extract(gz, threads, faults);
    EXPECT_EQ(many.status, one.status) << what << ", " << threads << " threads";
    EXPECT_TRUE(many.progress == one.progress) << what << ", " << threads << " threads";
    EXPECT_TRUE(many.output == one.output) << what << ", " << threads << " threads";
  }
}

class ParallelExtraction : public ::testing::Test {
 protected:
  void SetUp() override {
    std::mt19937 rng(77);
    data_ = test::MixedData(3 << 20, rng);
    test::WriteFile(dir_.Native("data"), data_);
  }
  Bytes Made(const std::string& command) {
    EXPECT_EQ(test::Run("cd " + dir_.path() + " && " + command), 0) << command;
    return test::ReadFile(dir_.Native("data.gz"));
  }

  test::TempDir dir_;
  Bytes data_;
};

TEST_F(ParallelExtraction, StreamsOfEveryToolAndStrategy) {
  struct Maker {
    const char* needs;
    std::string command;  // data -> data.gz
  };
  const std::string zlib =
      "python3 -c \"import zlib,sys;d=open('data','rb').read();s=int(sys.argv[1]);"
      "c=zlib.compressobj(6,8,-15,9,s);"
      "z=c.compress(d)+c.flush();"
      "import struct;open('data.gz','wb').write(b'\\x1f\\x8b\\x08\\x00\\0\\0\\0\\0\\0\\x03'+z+"
      "struct.pack('<II',zlib.crc32(d),len(d)))\" ";
  // Sync and full flushes at places chosen at random.
  const std::string flushes =
      "python3 -c \"import zlib,random,struct;d=open('data','rb').read();r=random.Random(5);"
      "c=zlib.compressobj(6,8,-15);o=[];i=0\n"
      "while i<len(d):\n j=i+r.randint(1,200000);o.append(c.compress(d[i:j]));"
      "o.append(c.flush(r.choice([zlib.Z_SYNC_FLUSH,zlib.Z_FULL_FLUSH])));i=j\n"
      "o.append(c.flush());open('data.gz','wb').write(b'\\x1f\\x8b\\x08\\x00\\0\\0\\0\\0\\0\\x03'+"
      "b''.join(o)+struct.pack('<II',zlib.crc32(d),len(d)))\"";
  const Maker makers[] = {
      {"gzip", "gzip -1 -c data > data.gz"},
      {"gzip", "gzip -6 -c data > data.gz"},
      {"gzip", "gzip -9 -c data > data.gz"},
      {"pigz", "pigz -c data > data.gz"},
      {"libdeflate-gzip", "libdeflate-gzip -1 -c data > data.gz"},
      {"libdeflate-gzip", "libdeflate-gzip -12 -c data > data.gz"},
      {"igzip", "igzip -0 -c data > data.gz"},
      {"igzip", "igzip -3 -c data > data.gz"},
      {"python3", zlib + "3"},  // run-length
      {"python3", zlib + "2"},  // Huffman codes only
      {"python3", zlib + "4"},  // fixed codes
      {"python3",
       "python3 -c \"import gzip;open('data.gz','wb').write(gzip.compress("
       "open('data','rb').read(),0))\""},  // stored
      {"python3", flushes},
      {"bgzip", "bgzip -c data > data.gz"},
  };
  for (const Maker& maker : makers) {
    if (!test::HaveProgram(maker.needs)) {
      std::printf("(%s not installed: skipped)\n", maker.needs);
      continue;
    }
    const Bytes gz = Made(maker.command);
    const Seen one = Extract(gz, 1);
    ASSERT_EQ(one.status, 0) << maker.command;
    ASSERT_TRUE(one.output == data_) << maker.command;
    ExpectSame(gz, maker.command);
    ParallelStats stats;
    Extract(gz, 3, {}, &stats);
    std::printf("%-40.40s %zu bytes, parts: %llu taken, %llu in order, %llu wasted\n",
                maker.command.c_str(), gz.size(), static_cast<unsigned long long>(stats.partsTaken),
                static_cast<unsigned long long>(stats.partsInOrder),
                static_cast<unsigned long long>(stats.partsWasted));
  }
}

TEST_F(ParallelExtraction, CancelsFullDisksFailedReadsAndDamage) {
  const Bytes gz = Made("gzip -6 -c data > data.gz && gzip -1 -c data >> data.gz");
  const std::size_t windows = 2 * data_.size() / kDecodeWindowSize;
  for (const int cancelAt : {1, 7, static_cast<int>(windows / 2), static_cast<int>(windows)}) {
    ExpectSame(gz, "cancel at " + std::to_string(cancelAt), {cancelAt});
  }
  for (const uint64_t space : {uint64_t{1} << 20, uint64_t{5} << 20}) {
    ExpectSame(gz, "disk of " + std::to_string(space), {0, space});
  }
  const int reads = static_cast<int>(gz.size() / kInputBufferSize) + 1;
  for (const int n : {1, 2, reads / 2, reads - 1, reads}) {
    ExpectSame(gz, "read " + std::to_string(n), {0, UINT64_MAX, n});
    ExpectSame(gz, "read " + std::to_string(n) + " after a cancel", {3, UINT64_MAX, n});
  }
  // Damage late in the stream, in the second member, and in a trailer.
  for (const std::size_t at : {gz.size() / 2 - 999, gz.size() - 5000, gz.size() - 6}) {
    Bytes damaged = gz;
    damaged[at] ^= 0x21;
    ExpectSame(damaged, "damage at " + std::to_string(at));
  }
  // Cut short.
  ExpectSame(Bytes(gz.begin(), gz.end() - 70000), "cut short");
  // Threads that cannot be started: fewer do the work, or the calling
  // thread alone.
  const Seen one = Extract(gz, 1);
  for (const uint64_t failAt : {1u, 2u}) {
    platform::faults::Arm({platform::faults::Call::kThread, failAt, false});
    const Seen fewer = Extract(gz, 3);
    platform::faults::Disarm();
    EXPECT_TRUE(fewer == one) << "thread " << failAt << " not started";
  }
  platform::faults::Arm({platform::faults::Call::kThread, 1, false});
  EXPECT_TRUE(Extract(gz, 2) == one) << "no worker";
  platform::faults::Disarm();
}

}  // namespace
}  // namespace gzarc
