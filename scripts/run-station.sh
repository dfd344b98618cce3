#!/usr/bin/env bash
# Installs what is missing, builds, and runs a full MP run on the built-in
# simulated 16-drive station, with every pause at half its length (about a
# minute). The station folder is a copy of examples/station in build/station,
# so the run's reports and the next serial number never touch the checkout.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset default
cmake --build --preset default --target qelvar-cli
if [ ! -d build/station ]; then
  cp -r examples/station build/station
fi
exec build/default/src/app/qelvar-cli --dir build/station --sim --time-scale 0.5 run
