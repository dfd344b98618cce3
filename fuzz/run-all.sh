#!/usr/bin/env bash
# Runs every libFuzzer target (executables named fuzz_*) of a build for
# SECONDS each, on a working corpus kept in the build folder plus the seeds in
# fuzz/corpus/<name>/. Exits non-zero when any target reports a finding; the
# input that caused it is left in BUILD_DIR/fuzz-artifacts/<name>/.
#
# usage: fuzz/run-all.sh BUILD_DIR SECONDS
set -euo pipefail

usage="usage: $0 BUILD_DIR SECONDS"
build=${1:?$usage}
seconds=${2:?$usage}
here=$(cd "$(dirname "$0")" && pwd)

mapfile -t targets < <(find "$build" -type f -executable -name 'fuzz_*' | sort)
if [ ${#targets[@]} -eq 0 ]; then
  echo "run-all: no fuzz targets under $build (build the fuzz preset first)" >&2
  exit 2
fi

failed=()
for bin in "${targets[@]}"; do
  target=$(basename "$bin")
  name=${target#fuzz_}
  work="$build/fuzz-corpus/$name"
  artifacts="$build/fuzz-artifacts/$name"
  mkdir -p "$work" "$artifacts"
  extra=()
  [ -d "$here/corpus/$name" ] && extra+=("$here/corpus/$name")
  options=(-max_total_time="$seconds" -timeout=25 -print_final_stats=1
           -artifact_prefix="$artifacts/")
  [ -f "$here/$name.dict" ] && options+=(-dict="$here/$name.dict")
  echo "run-all: $target for ${seconds}s"
  if ! "$bin" "${options[@]}" "$work" "${extra[@]}"; then
    failed+=("$target")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "run-all: findings in ${failed[*]} (inputs in $build/fuzz-artifacts/)" >&2
  exit 1
fi
echo "run-all: ${#targets[@]} target(s), no findings"
