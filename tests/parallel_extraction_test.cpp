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

namespace gzarc::test {
namespace {

// One extraction of gz's members (its first header read as the archive
// scan reads it) on threads threads, with parts of at most 24 KB.
HostView Extract(const Bytes& gz, unsigned threads, const HostFaults& faults = {},
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
  TestHost host(gz, faults, header.dataOffset);
  DecoderState& d = TestDecoder();
  std::vector<uint8_t> buffer(kInputBufferSize);
  d.InputBuffer = buffer.data();
  OutputAccount account;
  account.progressTotal = Le32(gz, gz.size() - 4);
  StartOutput(d.out, host.Sink(), ObserverOf(account));
  host.Listen();
  const uint64_t size = gz.size() - header.dataOffset;
  if (threads == 1) {
    StartInput(d, host.Source(), d.InputBuffer, size);
    DecodeMembers(d, account);
  } else {
    DecodeMembersInParallel(d, account, host.Source(), size, threads, 24 << 10, stats);
  }
  d.InputBuffer = nullptr;
  host.view.status = account.status;
  return host.view;
}

void ExpectSame(const Bytes& gz, const std::string& what, const HostFaults& faults = {}) {
  const HostView one = Extract(gz, 1, faults);
  for (const unsigned threads : {2u, 3u, 5u}) {
    const HostView many = Extract(gz, threads, faults);
    EXPECT_EQ(many.status, one.status) << what << ", " << threads << " threads";
    EXPECT_TRUE(many.SameOutcome(one)) << what << ", " << threads << " threads";
  }
}

class ParallelExtraction : public ::testing::Test {
 protected:
  void SetUp() override {
    data_ = MakeInput(InputKind::kEchoes, 3 << 20, 77);
    WriteFile(dir_.Native("data"), data_);
  }
  Bytes Made(const std::string& command) {
    EXPECT_EQ(test::Run("cd " + dir_.path() + " && " + command), 0) << command;
    return ReadFile(dir_.Native("data.gz"));
  }

  TempDir dir_;
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
    if (!HaveProgram(maker.needs)) {
      std::printf("(%s not installed: skipped)\n", maker.needs);
      continue;
    }
    const Bytes gz = Made(maker.command);
    const HostView one = Extract(gz, 1);
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
    ExpectSame(gz, "cancel at " + std::to_string(cancelAt), {.cancelAt = cancelAt});
  }
  for (const uint64_t space : {uint64_t{1} << 20, uint64_t{5} << 20}) {
    ExpectSame(gz, "disk of " + std::to_string(space), {.diskSpace = space});
  }
  const int reads = static_cast<int>(gz.size() / kInputBufferSize) + 1;
  for (const int n : {1, 2, reads / 2, reads - 1, reads}) {
    ExpectSame(gz, "read " + std::to_string(n), {.failRead = n});
    ExpectSame(gz, "read " + std::to_string(n) + " after a cancel", {.failRead = n, .cancelAt = 3});
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
  const HostView one = Extract(gz, 1);
  for (const uint64_t failAt : {1u, 2u}) {
    platform::faults::Arm({platform::faults::Call::kThread, failAt, false});
    const HostView fewer = Extract(gz, 3);
    platform::faults::Disarm();
    EXPECT_TRUE(fewer.SameOutcome(one)) << "thread " << failAt << " not started";
  }
  platform::faults::Arm({platform::faults::Call::kThread, 1, false});
  EXPECT_TRUE(Extract(gz, 2).SameOutcome(one)) << "no worker";
  platform::faults::Disarm();
}

}  // namespace
}  // namespace gzarc::test
