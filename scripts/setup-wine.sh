#!/usr/bin/env bash
# Prepares the machine for the Windows build and its tests: the MinGW-w64 cross
# compilers, Wine (64-bit and, where the machine can run 32-bit x86 programs,
# 32-bit) and a Wine prefix. Safe to run again: it only does what is missing.
#
# Needs root for the packages and for binfmt_misc. Without root it only reports
# what is missing.
#
# Environment: WINEPREFIX (default ~/.wine-gzarc) is the prefix it creates.
set -uo pipefail

log() { echo "setup-wine: $*" >&2; }
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

export WINEPREFIX="${WINEPREFIX:-$HOME/.wine-gzarc}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export DEBIAN_FRONTEND=noninteractive

is_root=0
[ "$(id -u)" -eq 0 ] && is_root=1

# ---- packages ----------------------------------------------------------------
packages=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686
          binutils-mingw-w64-x86-64 wine wine64 wine32:i386 qemu-user-static
          binfmt-support)
missing=()
for p in "${packages[@]}"; do have_pkg "$p" || missing+=("$p"); done

if [ "${#missing[@]}" -gt 0 ]; then
  if [ "$is_root" -ne 1 ]; then
    log "not root, cannot install: ${missing[*]}"
  else
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
      log "adding the i386 architecture"
      dpkg --add-architecture i386
    fi
    log "installing ${missing[*]}"
    apt-get update -qq >/dev/null || log "apt-get update failed"
    if ! apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; then
      # Install one by one so that a missing 32-bit part does not block the rest.
      for p in "${missing[@]}"; do
        apt-get install -y -qq --no-install-recommends "$p" >/dev/null ||
          log "could not install $p"
      done
    fi
  fi
fi

# ---- 32-bit x86 programs -------------------------------------------------------
# The i386 dynamic loader is a 32-bit program that runs without arguments'
# side effects; it tells whether the kernel (natively or through binfmt_misc)
# can start 32-bit x86 programs.
can_run_i386() { [ -x /lib/ld-linux.so.2 ] && /lib/ld-linux.so.2 --help >/dev/null 2>&1; }

binfmt=/proc/sys/fs/binfmt_misc
if [ -e /lib/ld-linux.so.2 ] && ! can_run_i386; then
  if [ "$is_root" -ne 1 ]; then
    log "32-bit x86 programs do not run here and only root can register an emulator"
  else
    if [ ! -e "$binfmt/register" ]; then
      mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null ||
        log "cannot mount binfmt_misc"
    fi
    if [ -e "$binfmt/register" ] && [ ! -e "$binfmt/qemu-i386" ] &&
      [ -x /usr/bin/qemu-i386-static ]; then
      log "registering qemu-i386-static for 32-bit x86 programs"
      # The F flag opens the emulator now, so it also serves chroots and
      # namespaces that cannot see /usr/bin.
      printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' \
        >"$binfmt/register" 2>/dev/null || log "binfmt_misc registration failed"
    fi
    [ -e "$binfmt/qemu-i386" ] && echo 1 >"$binfmt/qemu-i386" 2>/dev/null
  fi
fi
if can_run_i386; then
  log "32-bit x86 programs run on this machine"
else
  log "32-bit x86 programs cannot run on this machine"
fi

# ---- the Wine prefix ---------------------------------------------------------------
if command -v wine >/dev/null 2>&1 && [ ! -f "$WINEPREFIX/system.reg" ]; then
  log "creating the Wine prefix $WINEPREFIX (takes minutes under emulation)"
  start=$(date +%s)
  wine wineboot --init </dev/null >/dev/null 2>&1 || log "wineboot failed"
  wineserver -w 2>/dev/null || true
  log "prefix ready after $(($(date +%s) - start)) s"
fi
exit 0
