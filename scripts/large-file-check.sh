#!/usr/bin/env bash
# A file larger than 4.5 GiB through the engine and back, checked against the
# gzip tool: not part of the test suite (it needs ~10 GiB of disk and some
# minutes). Steps:
#   1. generate the file (streamed, text-like so that the archive stays well
#      below 4 GiB);
#   2. compress it with the engine through a tiny host that loads the library
#      as any host does and records every progress call;
#   3. check ISIZE = size mod 2^32 and the CRC against gzip's, decompress with
#      gzip -dc and compare;
#   4. extract with the engine and compare; progress always within 0..100;
#   5. the same file in a member of stored blocks, whose compressed data pass
#      4 GiB: listed with its true packed size, extracted and compared.
#   scripts/large-file-check.sh [SIZE_BYTES] [WORK_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
size=${1:-$((4608 * 1024 * 1024 + 12345))}  # 4.5 GiB and a bit
work=${2:-$(mktemp -d "${TMPDIR:-/tmp}/gzarc-large-XXXXXX")}
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT

# The source, an archive as large as the source and the engine's output:
# about 3 x the size.
need_kb=$((size / 1024 * 31 / 10))
free_kb=$(df -Pk "$work" | awk 'NR == 2 { print $4 }')
if [ "$free_kb" -lt "$need_kb" ]; then
  echo "large-file: not enough room in $work: $((free_kb / 1024)) MiB free, $((need_kb / 1024)) MiB needed" >&2
  exit 2
fi

build=$root/build
if [ ! -f "$build/libgzarc.so" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" -j"$(nproc)" --target gzarc >/dev/null
fi

# ---- The tiny host ----------------------------------------------------------
cat >"$work/host.cpp" <<'EOF'
// Loads the engine, compresses or extracts one file, and checks that every
// progress call reports a percentage within 0..100.
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "gzarc.h"

namespace {

struct Progress {
  uint64_t calls = 0;
  int32_t low = 1000, high = -1000;
  int64_t bytes = 0;
};

int32_t GZARC_CALL OnProgress(void* context, int32_t percent, int32_t count) {
  auto* p = static_cast<Progress*>(context);
  ++p->calls;
  if (percent < p->low) p->low = percent;
  if (percent > p->high) p->high = percent;
  p->bytes += count;
  return 1;
}

int32_t GZARC_CALL Replace(void*, const FindData*, const FindData*) {
  return GZARC_REPLACE_EXTRACT;
}

template <typename F>
F Load(void* library, const char* name) {
  void* symbol = dlsym(library, name);
  if (symbol == nullptr) {
    std::fprintf(stderr, "host: %s missing\n", name);
    std::exit(3);
  }
  return reinterpret_cast<F>(symbol);
}

std::string Win(std::string path) {
  for (char& c : path) c = c == '/' ? '\\' : c;
  return path;
}

}  // namespace

// host LIBRARY compress ARCHIVE SOURCE | host LIBRARY extract ARCHIVE FOLDER |
// host LIBRARY list ARCHIVE -
int main(int argc, char** argv) {
  if (argc != 5) return 2;
  void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    std::fprintf(stderr, "host: %s\n", dlerror());
    return 3;
  }
  auto getStatus = Load<uint16_t (*)()>(lib, "GetArchiveStatus");
  auto setProgress = Load<void (*)(void*, ProgressProc)>(lib, "SetSetProgressProc");
  auto setReplace = Load<void (*)(void*, OkToReplaceProc)>(lib, "SetOkToReplaceProc");
  auto setDecomp = Load<void (*)(const void*)>(lib, "SetDecompExtraFeatures");
  auto initArc = Load<void (*)(const char*)>(lib, "InitArcFile");
  auto createArc = Load<void (*)(const char*)>(lib, "CreateArcFile");
  auto doneArc = Load<void (*)(void*)>(lib, "DoneArcFile");
  auto initMasks = Load<FileMaskList* (*)(FileMaskList*)>(lib, "InitFileMaskList");
  auto appendMask = Load<uint8_t (*)(const char*, FileMaskList*)>(lib, "AppendFileMask");
  auto doneMasks = Load<void (*)(FileMaskList*)>(lib, "DoneFileMaskList");
  auto compress = Load<void (*)(const FileMaskList*)>(lib, "CompressFileMaskListArc");
  auto extract = Load<void (*)(const FileMaskList*)>(lib, "ExtractFileMaskListArc");
  auto initList = Load<void (*)(ArcEntryList*)>(lib, "InitArcFileList");
  auto buildList = Load<void (*)(ArcEntryList*, const FileMaskList*)>(lib, "BuildArcFileList");
  auto doneList = Load<void (*)(ArcEntryList*)>(lib, "DoneArcFileList");

  const std::string op = argv[2];
  Progress progress;
  FileMaskList masks;
  initMasks(&masks);
  uint16_t status = 0;
  if (op == "list") {
    initArc(Win(argv[3]).c_str());
    status = getStatus();
    ArcEntryList list;
    initList(&list);
    if (status == 0) buildList(&list, &masks);
    status = getStatus();
    if (status == 0 && list.head != nullptr) {
      std::printf("packed %lld\n", static_cast<long long>(list.head->packedSize));
    }
    doneList(&list);
    doneMasks(&masks);
    doneArc(nullptr);
    return status == 0 ? 0 : 1;
  }
  if (op == "compress") {
    createArc(Win(argv[3]).c_str());
    status = getStatus();
    if (status == 0 && appendMask(Win(argv[4]).c_str(), &masks) != 1) status = getStatus();
    if (status == 0) {
      setProgress(&progress, OnProgress);
      compress(&masks);
      status = getStatus();
    }
  } else {
    initArc(Win(argv[3]).c_str());
    status = getStatus();
    if (status == 0 && appendMask("*.*", &masks) != 1) status = getStatus();
    if (status == 0) {
      setProgress(&progress, OnProgress);
      setReplace(nullptr, Replace);
      std::vector<char> record(GZARC_DECOMP_RECORD_SIZE, 0);
      const std::string folder = Win(argv[4]) + "\\";
      std::memcpy(record.data() + GZARC_DECOMP_EXTRACT_DIR, folder.data(),
                  std::min<size_t>(folder.size(), 255));
      setDecomp(record.data());
      extract(&masks);
      status = getStatus();
    }
  }
  doneMasks(&masks);
  doneArc(nullptr);
  std::printf("%s: status %u, progress calls %llu, percent %d..%d, bytes %lld\n", op.c_str(),
              status, static_cast<unsigned long long>(progress.calls), progress.low, progress.high,
              static_cast<long long>(progress.bytes));
  if (status != 0) return 1;
  if (progress.calls == 0 || progress.low < 0 || progress.high > 100) {
    std::fprintf(stderr, "host: progress outside 0..100\n");
    return 1;
  }
  return 0;
}
EOF
c++ -std=c++20 -O2 -Wall -Wextra -Werror -I"$root/include" "$work/host.cpp" -o "$work/host" -ldl

# ---- The source ---------------------------------------------------------------
echo "large-file: generating $size bytes in $work"
t0=$(date +%s)
python3 - "$work/big.txt" "$size" <<'EOF'
# Lines of words from a small vocabulary, seeded: text-like, compressible,
# and the same on every run.
import random, sys
path, size = sys.argv[1], int(sys.argv[2])
rng = random.Random(4242)
words = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9)))
         for _ in range(4096)]
# One 4 MiB block of lines, varied per block by a counter line.
with open(path, "wb") as out:
    written, block_no = 0, 0
    lines, length = [], 0
    while length < (4 << 20):
        lines.append(b" ".join(rng.choice(words) for _ in range(rng.randint(4, 14))) + b"\n")
        length += len(lines[-1])
    block = b"".join(lines)
    while written < size:
        chunk = b"block %d\n" % block_no + block[block_no % 997:] + block[:block_no % 997]
        chunk = chunk[: size - written]
        out.write(chunk)
        written += len(chunk)
        block_no += 1
EOF
t1=$(date +%s)
echo "large-file: generated in $((t1 - t0)) s"

# ---- Compress with the engine, check against gzip -------------------------------
"$work/host" "$build/libgzarc.so" compress "$work/big.gz" "$work/big.txt"
t2=$(date +%s)
archive_size=$(stat -c %s "$work/big.gz")
echo "large-file: compressed to $archive_size bytes in $((t2 - t1)) s"
isize=$(tail -c 4 "$work/big.gz" | od -An -tu4 | tr -d ' ')
want=$((size % 4294967296))
[ "$isize" = "$want" ] || { echo "large-file: ISIZE $isize, want $want" >&2; exit 1; }
echo "large-file: ISIZE $isize = size mod 2^32"

want_sum=$(sha256sum <"$work/big.txt" | cut -d' ' -f1)
got_sum=$(gzip -dc "$work/big.gz" | sha256sum | cut -d' ' -f1)
t3=$(date +%s)
[ "$got_sum" = "$want_sum" ] || { echo "large-file: gzip -dc gives other bytes" >&2; exit 1; }
echo "large-file: gzip -dc gives the source back ($((t3 - t2)) s)"

# ---- Extract with the engine -------------------------------------------------
mkdir -p "$work/out"
"$work/host" "$build/libgzarc.so" extract "$work/big.gz" "$work/out"
t4=$(date +%s)
cmp "$work/big.txt" "$work/out/big.txt"
echo "large-file: the engine extracts the source back ($((t4 - t3)) s)"
rm -f "$work/out/big.txt" "$work/big.gz"

# ---- Compressed data past 4 GiB: stored blocks ----------------------------------
python3 - "$work/big.txt" "$work/stored.gz" <<'EOF'
# One member of stored blocks (65535 bytes each) holding the source.
import struct, sys, zlib
source, archive = sys.argv[1], sys.argv[2]
crc, size = 0, 0
with open(source, "rb") as inp, open(archive, "wb") as out:
    out.write(b"\x1f\x8b\x08\x08\x00\x5e\xd0\x5f\x00\x03stored.txt\x00")
    block = inp.read(65535)
    while True:
        following = inp.read(65535)
        last = 1 if not following else 0
        out.write(struct.pack("<BHH", last, len(block), len(block) ^ 0xFFFF) + block)
        crc, size = zlib.crc32(block, crc), size + len(block)
        if last:
            break
        block = following
    out.write(struct.pack("<II", crc, size & 0xFFFFFFFF))
EOF
t5=$(date +%s)
stored_size=$(stat -c %s "$work/stored.gz")
want_packed=$((stored_size - 21 - 8))
listed=$("$work/host" "$build/libgzarc.so" list "$work/stored.gz" - | sed -n 's/^packed //p')
[ "$listed" = "$want_packed" ] || { echo "large-file: packed size $listed, want $want_packed" >&2; exit 1; }
echo "large-file: a member of $stored_size bytes lists its packed size $listed"
"$work/host" "$build/libgzarc.so" extract "$work/stored.gz" "$work/out"
t6=$(date +%s)
cmp "$work/big.txt" "$work/out/stored.txt"
echo "large-file: and extracts the source back ($((t6 - t5)) s)"
echo "large-file: OK, $size bytes, total $((t6 - t0)) s"
