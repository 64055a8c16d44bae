#!/usr/bin/env bash
# Builds the engine, the host and the tests, and runs every test:
#   1. the test suite on the Release build;
#   2. the same suite built with AddressSanitizer (leak checks included) and
#      UndefinedBehaviorSanitizer;
#   3. every fuzz target for a short fixed number of inputs;
#   4. the Windows DLLs under Wine, where this machine can run them.
# Set GZARC_QUICK=1 to run the first step only.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

bash scripts/install-deps.sh

echo "== test suite (Release)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DGZARC_WERROR=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --no-tests=error --output-on-failure -j"$jobs" --timeout 900

[ "${GZARC_QUICK:-0}" = 1 ] && exit 0

echo "== test suite (AddressSanitizer + UndefinedBehaviorSanitizer)"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DGZARC_SANITIZE=ON -DGZARC_WERROR=ON >/dev/null
cmake --build build-asan -j"$jobs"
# A foreign process (Python) cannot load an instrumented library.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --test-dir build-asan --no-tests=error --output-on-failure -j"$jobs" --timeout 1800 -E 'ctypes'

echo "== fuzz targets (short runs)"
bash fuzz/run --runs "${GZARC_FUZZ_RUNS:-3000}"

if [ -x scripts/test-windows.sh ]; then
  echo "== Windows DLLs under Wine"
  bash scripts/test-windows.sh
fi
