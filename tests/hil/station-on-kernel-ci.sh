#!/usr/bin/env bash
# The two guest runs the ctest test station_on_kernel checks, started side by
# side (each guest runs on one core of its own):
#   OUT/healthy  the built-in 16-drive station, Format on;
#   OUT/mixed    the mixed-faults station, drive PULL pulled mid-run.
#
#   station-on-kernel-ci.sh OUT QELVAR_CLI QELVAR_SIMBRIDGE STATION_DIR PULL
#
# Exit status: 0 both ran, 77 both skipped (outside CI only), 1 otherwise.
set -uo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
OUT=$1 CLI=$2 BRIDGE=$3 STATION=$4 PULL=$5
mkdir -p "$OUT"
START=$(date +%s)
common=(--cli "$CLI" --bridge "$BRIDGE" --station "$STATION")
# Packages and kernel once, before the two runs would fetch them side by side.
bash "$HERE/station-on-kernel.sh" "${common[@]}" --drives "$STATION/sim-default.ini" \
  --out "$OUT/prepare" --prepare-only >"$OUT/prepare.log" 2>&1
rp=$?
if [ $rp != 0 ]; then
  cat "$OUT/prepare.log"
  exit $rp
fi
bash "$HERE/station-on-kernel.sh" "${common[@]}" --drives "$STATION/sim-default.ini" --format \
  --out "$OUT/healthy" >"$OUT/healthy.log" 2>&1 &
healthy=$!
bash "$HERE/station-on-kernel.sh" "${common[@]}" --drives "$STATION/sim-mixed-faults.ini" \
  --pull "$PULL" --out "$OUT/mixed" >"$OUT/mixed.log" 2>&1 &
mixed=$!
wait "$healthy"
rh=$?
wait "$mixed"
rm=$?
echo "healthy exit $rh, mixed exit $rm, both in $(($(date +%s) - START)) s" | tee "$OUT/ci.txt"
tail -n 3 "$OUT/healthy.log" "$OUT/mixed.log"
if [ $rh = 77 ] && [ $rm = 77 ]; then exit 77; fi
if [ $rh = 0 ] && [ $rm = 0 ]; then exit 0; fi
exit 1
