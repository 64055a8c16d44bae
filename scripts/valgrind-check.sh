#!/usr/bin/env bash
# Runs the whole test suite under valgrind's memcheck: no invalid access, no
# use of uninitialised memory, no leak. Too slow for every test run (several
# minutes); run it by hand or in a nightly job.
#   scripts/valgrind-check.sh [gtest filter]
# Uses its own optimised build with debug information (build-valgrind); the
# sanitizer build cannot run under valgrind.
set -euo pipefail
cd "$(dirname "$0")/.."
filter=${1:-*}

if ! command -v valgrind >/dev/null; then
  bash scripts/install-deps.sh valgrind
fi

build=build-valgrind
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGZARC_BUILD_TOOLS=ON >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null

log=$build/valgrind.log
start=$(date +%s)
# Child processes (the command-line host and the reference tools some tests
# run) are not followed.
set +e
TZ=UTC valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite,indirect \
  --errors-for-leak-kinds=definite,indirect --track-origins=yes --error-exitcode=99 \
  --log-file="$log" "$build/tests/gzarc_tests" --gtest_filter="$filter" >"$build/valgrind-tests.log" 2>&1
rc=$?
set -e
end=$(date +%s)

grep -E '^\[  (PASSED|FAILED)|tests? ran' "$build/valgrind-tests.log" || true
grep -E 'ERROR SUMMARY|definitely lost|indirectly lost' "$log" || true
echo "valgrind: exit $rc after $((end - start)) s (log: $log)"
if [ "$rc" -ne 0 ]; then
  tail -60 "$log" >&2
  exit 1
fi
