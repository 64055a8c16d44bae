#!/usr/bin/env bash
# The engine driven from a separate process through Python's ctypes.
set -euo pipefail
exec python3 "$2/tests/abi_ctypes.py" "$1/libgzarc.so"
