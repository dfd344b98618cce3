#!/usr/bin/env bash
# Runs every libFuzzer target of a build for a fixed time and fails on a
# finding.   usage: fuzz/run-all.sh BUILD_DIR SECONDS
# Targets are the executables BUILD_DIR/fuzz/fuzz_*; seeds come from
# fuzz/corpus/<target>/ when present; findings are kept in
# BUILD_DIR/fuzz/findings/<target>/.
set -uo pipefail
build=${1:?usage: run-all.sh BUILD_DIR SECONDS}
seconds=${2:?usage: run-all.sh BUILD_DIR SECONDS}
here=$(cd "$(dirname "$0")" && pwd)

found=0
failed=()
for target in "$build"/fuzz/fuzz_*; do
  [ -f "$target" ] && [ -x "$target" ] || continue
  found=$((found + 1))
  name=$(basename "$target")
  work=$(mktemp -d)
  findings="$build/fuzz/findings/$name"
  mkdir -p "$findings"
  seeds=()
  [ -d "$here/corpus/$name" ] && seeds=("$here/corpus/$name")
  echo "== $name, ${seconds} s"
  if ! "$target" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$findings/" "$work" "${seeds[@]}" >"$work.log" 2>&1; then
    tail -n 60 "$work.log"
    failed+=("$name")
  else
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)' "$work.log" || true
  fi
  rm -rf "$work" "$work.log"
done

if [ "$found" -eq 0 ]; then
  echo "no fuzz targets under $build/fuzz" >&2
  exit 1
fi
if [ "${#failed[@]}" -ne 0 ]; then
  echo "findings in: ${failed[*]}" >&2
  exit 1
fi
echo "$found fuzz targets ran ${seconds} s each without a finding"
