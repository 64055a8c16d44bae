#!/usr/bin/env bash
# Cross-builds gzarc.dll for 32- and 64-bit Windows with MinGW-w64, checks its
# export and import tables, and runs the Windows test host against each DLL
# under Wine: the 64-bit one always, the 32-bit one (the product) wherever
# this machine can run 32-bit x86 programs, natively or through qemu.
#
# As root it first prepares the machine (scripts/setup-wine.sh). Exits
# non-zero on any failure, and on any check the host reports as skipped: the
# host runs every check when given a share, which this script always does.
# What may be left out is only what this machine cannot run at all (a
# toolchain or Wine that a non-root user cannot install, or 32-bit programs
# on a kernel that cannot start them), each with a loud message.
#
# Environment: WINEPREFIX (default ~/.wine-gzarc), GZARC_WINE_TIMEOUT
# (seconds for one host run, default 1800).
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

started=$(date +%s)
log() { echo "test-windows: $*"; }
loud() {
  echo "########################################################################"
  echo "test-windows: $*"
  echo "########################################################################"
}
elapsed() { echo "$(($(date +%s) - started)) s"; }

if [ "$(id -u)" -eq 0 ]; then
  bash scripts/setup-wine.sh || log "setup-wine.sh reported a problem"
fi

export WINEPREFIX="${WINEPREFIX:-$HOME/.wine-gzarc}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
timeout_s="${GZARC_WINE_TIMEOUT:-1800}"

failed=0
fail() {
  log "FAILED: $*"
  failed=1
}

# ---- Build ---------------------------------------------------------------------
declare -A triple=([32]=i686-w64-mingw32 [64]=x86_64-w64-mingw32)
built=()
for bits in 32 64; do
  t=${triple[$bits]}
  if ! command -v "$t-g++" >/dev/null 2>&1 && ! command -v "$t-g++-win32" >/dev/null 2>&1; then
    loud "SKIPPED: the $bits-bit Windows build: no $t toolchain (run scripts/setup-wine.sh as root)"
    [ "$(id -u)" -eq 0 ] && fail "no $t toolchain although setup ran as root"
    continue
  fi
  dir=build-win$bits
  log "building $dir"
  if ! cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="cmake/$t.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DGZARC_BUILD_TOOLS=OFF -DGZARC_WERROR=ON >"$dir.configure.log" 2>&1; then
    cat "$dir.configure.log"
    fail "configuring $dir"
    continue
  fi
  rm -f "$dir.configure.log"
  if ! cmake --build "$dir" -j2 >"$dir.build.log" 2>&1; then
    cat "$dir.build.log"
    fail "building $dir"
    continue
  fi
  rm -f "$dir.build.log"

  # Exactly the 41 plain names, and only system DLLs among the imports.
  objdump=$(command -v "$t-objdump" || command -v objdump)
  table=$("$objdump" -p "$dir/gzarc.dll")
  exported=$(echo "$table" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p' | sort)
  if [ "$exported" != "$(sort cmake/exports.txt)" ]; then
    diff <(echo "$exported") <(sort cmake/exports.txt)
    fail "$dir/gzarc.dll does not export exactly the names of cmake/exports.txt"
  else
    log "$dir/gzarc.dll exports the $(echo "$exported" | wc -l) names of cmake/exports.txt"
  fi
  imports=$(echo "$table" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'a-z' 'A-Z' | sort -u | xargs)
  if [ "$imports" != "KERNEL32.DLL MSVCRT.DLL USER32.DLL" ]; then
    fail "$dir/gzarc.dll imports $imports (expected KERNEL32, MSVCRT and USER32 only)"
  else
    log "$dir/gzarc.dll imports $imports"
  fi
  # The zip for a host's setup: the DLL as built, the header and README.txt.
  package=$dir/package
  rm -rf "$package"
  if ! (cd "$dir" && cpack -G ZIP -B "$root/$package") >"$dir.cpack.log" 2>&1; then
    cat "$dir.cpack.log"
    fail "cpack -G ZIP in $dir"
  else
    rm -f "$dir.cpack.log"
    zip=$(ls "$root/$package"/gzarc-*-win"$bits".zip 2>/dev/null | head -1)
    contents=$([ -n "$zip" ] && cd "$package" && cmake -E tar tf "$zip" | sed 's|^[^/]*/||' | sort | xargs)
    if [ "$contents" != "README.txt gzarc.dll gzarc.h" ]; then
      fail "the $bits-bit zip holds '$contents' (expected gzarc.dll, gzarc.h, README.txt)"
    elif ! (cd "$package" && cmake -E tar xf "$zip" && cmp -s ./*/gzarc.dll "$root/$dir/gzarc.dll"); then
      fail "the $bits-bit zip's gzarc.dll is not the one built"
    else
      log "$(basename "$zip"): gzarc.dll, gzarc.h, README.txt"
    fi
  fi
  built+=("$bits")
done

# ---- Run under Wine ----------------------------------------------------------------
can_run_i386() { [ -x /lib/ld-linux.so.2 ] && /lib/ld-linux.so.2 --help >/dev/null 2>&1; }

wine64_loader=""
for candidate in /usr/lib/wine/wine64 "$(command -v wine64 || true)"; do
  [ -n "$candidate" ] && [ -x "$candidate" ] && wine64_loader=$candidate && break
done

# A network share for the host's path checks: Wine serves \\server\share
# from dosdevices/unc/server/share, so the prefix must exist first.
if [ ! -d "$WINEPREFIX/dosdevices" ] && [ -n "$wine64_loader" ]; then
  log "creating the Wine prefix $WINEPREFIX"
  "$wine64_loader" wineboot --init </dev/null >/dev/null 2>&1 || log "wineboot failed"
fi
share_dir=$(mktemp -d)
if [ -d "$WINEPREFIX/dosdevices" ]; then
  mkdir -p "$WINEPREFIX/dosdevices/unc/gzarc-host"
  ln -sfn "$share_dir" "$WINEPREFIX/dosdevices/unc/gzarc-host/share"
fi
share='\\gzarc-host\share'

run_host() {
  local bits=$1 loader=$2
  local dir=build-win$bits
  log "running the $bits-bit host under Wine ($loader); started at $(elapsed)"
  local out
  out=$(cd "$dir" && timeout "$timeout_s" "$loader" win_host.exe gzarc.dll "$share" </dev/null 2>&1)
  local rc=$?
  echo "$out" | tr -d '\r' | sed "s/^/  [win$bits] /"
  local skipped
  skipped=$(echo "$out" | tr -d '\r' | grep -c '^SKIPPED')
  if [ $rc -ne 0 ]; then
    fail "the $bits-bit host exited with $rc"
  elif ! echo "$out" | tr -d '\r' | grep -Eq '^win_host: [0-9]+ passed, 0 failed, 0 skipped$'; then
    fail "the $bits-bit host did not report its results, or skipped checks"
  fi
  # Every check can run here: a skipped one is a check that no longer runs.
  [ "$skipped" -ne 0 ] && fail "the $bits-bit host skipped $skipped check(s)"
  log "the $bits-bit run ended at $(elapsed)"
}

for bits in "${built[@]}"; do
  if [ "$bits" = 64 ]; then
    if [ -z "$wine64_loader" ]; then
      loud "SKIPPED: the 64-bit host: Wine is not installed (run scripts/setup-wine.sh as root)"
      [ "$(id -u)" -eq 0 ] && fail "no 64-bit Wine although setup ran as root"
      continue
    fi
    WINELOADER=$wine64_loader run_host 64 "$wine64_loader"
  else
    if ! command -v wine >/dev/null 2>&1 || [ ! -x /usr/lib/wine/wine ]; then
      loud "SKIPPED: the 32-bit host (the product's DLL) was NOT run: 32-bit Wine is not installed"
      [ "$(id -u)" -eq 0 ] && fail "no 32-bit Wine although setup ran as root"
      continue
    fi
    if ! can_run_i386; then
      loud "SKIPPED: the 32-bit host (the product's DLL) was NOT run: this machine cannot execute 32-bit x86 programs (no IA-32 support and no qemu-i386 binfmt registration)"
      continue
    fi
    # One Wine process for the whole 32-bit test: under emulation each Wine
    # start costs about a minute.
    run_host 32 wine
  fi
done

command -v wineserver >/dev/null 2>&1 && wineserver -k >/dev/null 2>&1
rm -f "$WINEPREFIX/dosdevices/unc/gzarc-host/share" 2>/dev/null
rm -rf "$share_dir"

if [ $failed -ne 0 ]; then
  log "FAILED after $(elapsed)"
  exit 1
fi
log "passed after $(elapsed)"
