#!/usr/bin/env bash
# The four guest runs the ctest test station_on_kernel checks, in two lanes
# side by side (each guest runs on one core of its own):
#   lane 1  OUT/healthy  the built-in 16-drive station, Format on;
#           OUT/bridges  two drives behind each kind of bridge (sim-bridges.ini);
#   lane 2  OUT/pulled   the built-in station, drive PULL pulled during its
#                        system firmware download;
#           OUT/mixed    the mixed-faults station with drives that leave the
#                        bus when they reboot or enter ROM mode
#                        (station-reenumerating.ini).
# The format run moves a gigabyte through the bridges and takes as long as
# the other two together.
#
#   station-on-kernel-ci.sh OUT QELVAR_CLI QELVAR_SIMBRIDGE STATION_DIR PULL
#
# Exit status: 0 all ran, 77 all skipped (outside CI only), 1 otherwise.
set -uo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
OUT=$1 CLI=$2 BRIDGE=$3 STATION=$4 PULL=$5
mkdir -p "$OUT"
START=$(date +%s)
LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg)
common=(--cli "$CLI" --bridge "$BRIDGE" --station "$STATION")
# Packages and kernel once, before the runs would fetch them side by side.
bash "$HERE/station-on-kernel.sh" "${common[@]}" --drives "$STATION/sim-default.ini" \
  --out "$OUT/prepare" --prepare-only >"$OUT/prepare.log" 2>&1
rp=$?
if [ $rp != 0 ]; then
  cat "$OUT/prepare.log"
  exit $rp
fi
lane_start=$(date +%s)
(
  bash "$HERE/station-on-kernel.sh" "${common[@]}" --drives "$STATION/sim-default.ini" --format \
    --out "$OUT/healthy" >"$OUT/healthy.log" 2>&1
  echo $? >"$OUT/healthy.rc"
  bash "$HERE/station-on-kernel.sh" "${common[@]}" --drives "$STATION/sim-bridges.ini" \
    --out "$OUT/bridges" >"$OUT/bridges.log" 2>&1
  echo $? >"$OUT/bridges.rc"
) &
healthy=$!
(
  bash "$HERE/station-on-kernel.sh" "${common[@]}" --drives "$STATION/sim-default.ini" \
    --pull "$PULL" --out "$OUT/pulled" >"$OUT/pulled.log" 2>&1
  echo $? >"$OUT/pulled.rc"
  bash "$HERE/station-on-kernel.sh" "${common[@]}" --drives "$HERE/station-reenumerating.ini" \
    --out "$OUT/mixed" >"$OUT/mixed.log" 2>&1
  echo $? >"$OUT/mixed.rc"
) &
lane2=$!
wait "$healthy"
rh=$(cat "$OUT/healthy.rc" 2>/dev/null || echo 1)
rb=$(cat "$OUT/bridges.rc" 2>/dev/null || echo 1)
lane1_s=$(($(date +%s) - lane_start))
wait "$lane2"
lane2_s=$(($(date +%s) - lane_start))
rpu=$(cat "$OUT/pulled.rc" 2>/dev/null || echo 1)
rm=$(cat "$OUT/mixed.rc" 2>/dev/null || echo 1)
{
  echo "healthy exit $rh, bridges exit $rb, pulled exit $rpu, mixed exit $rm"
  echo "lane 1 (healthy, bridges) ${lane1_s} s, lane 2 (pulled, mixed) ${lane2_s} s"
  echo "all in $(($(date +%s) - START)) s; load before: $LOAD_BEFORE"
} | tee "$OUT/ci.txt"
tail -n 3 "$OUT/healthy.log" "$OUT/bridges.log" "$OUT/pulled.log" "$OUT/mixed.log"
if [ "$rh" = 77 ] && [ "$rb" = 77 ] && [ "$rpu" = 77 ] && [ "$rm" = 77 ]; then exit 77; fi
if [ "$rh" = 0 ] && [ "$rb" = 0 ] && [ "$rpu" = 0 ] && [ "$rm" = 0 ]; then exit 0; fi
exit 1
