#!/usr/bin/env bash
# Installs what is missing, builds the default preset and runs every test,
# two at a time (many wait on pauses or on QEMU).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset default
cmake --build --preset default
ctest --preset default --timeout 600 -j2 "$@"
