#!/usr/bin/env bash
# Installs what is missing, builds, and runs a full MP run on the built-in
# simulated 16-drive station, with pauses at 1/100 of their length.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset default
cmake --build --preset default
exec build/default/src/app/qelvar-cli --dir examples/station --sim --time-scale 0.01 run
