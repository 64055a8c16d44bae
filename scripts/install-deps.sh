#!/usr/bin/env bash
# Installs what the build and the tests need and the machine lacks (Debian).
# Safe to run again: it only installs missing packages.
set -euo pipefail

packages=(cmake g++ make libgtest-dev libgmock-dev zlib1g-dev python3 gzip pigz
          libdeflate-tools isal zopfli busybox file clang libclang-rt-14-dev tabix
          dpkg-dev pkg-config groff-base)
[ "$#" -gt 0 ] && packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ "${#missing[@]}" -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: not root, cannot install: ${missing[*]}" >&2
  exit 0
fi
echo "install-deps: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq >/dev/null || true
# Peers are optional: install what the registry has, one by one if the batch fails.
if ! apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; then
  for p in "${missing[@]}"; do
    apt-get install -y -qq --no-install-recommends "$p" >/dev/null ||
      echo "install-deps: could not install $p" >&2
  done
fi
