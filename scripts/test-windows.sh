#!/usr/bin/env bash
# Cross-builds the station for 64-bit Windows (preset windows-x64), runs the
# whole test suite under Wine, then a full MP run of qelvar-cli.exe on the
# simulated station with the example station folder, which must end with 16
# passed ports. Also compiles the Windows backend for 32-bit Windows
# (windows-x86), whose layout checks are compile-time only: 32-bit programs
# cannot run on these machines. Extra arguments go to ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

# The 64-bit loader, called directly: the wine wrapper would try the 32-bit one.
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver64
export WINEDEBUG=-all
export WINEPREFIX="$PWD/build/wine-prefix"
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko prompts in the prefix

start=$(date +%s)
cmake --preset windows-x64 -DQELVAR_WERROR=ON
cmake --build --preset windows-x64
cmake --preset windows-x86 -DQELVAR_WERROR=ON
cmake --build --preset windows-x86
built=$(date +%s)

# The program must start on a bare station PC: system DLLs only. (Wine finds
# Debian's mingw DLLs, so a run under Wine would not show a missing one.)
imports=$(x86_64-w64-mingw32-objdump -p build/windows-x64/src/app/qelvar-cli.exe |
  sed -n 's/.*DLL Name: //p' | sort -u)
for dll in $imports; do
  case "${dll^^}" in
    KERNEL32.DLL | USER32.DLL | ADVAPI32.DLL | SHELL32.DLL | SETUPAPI.DLL | CFGMGR32.DLL | MSVCRT.DLL) ;;
    *)
      echo "test-windows: qelvar-cli.exe needs $dll, which a station PC does not have" >&2
      exit 1
      ;;
  esac
done

# One prefix (about 6 s to create) and one server for the whole run: a
# server per test program costs seconds each. Wine's background processes
# inherit the descriptors of the program that starts them, so neither the
# server nor the prefix's first start may hold this script's output open.
mkdir -p "$WINEPREFIX"  # the server lives in the prefix's folder
"$WINESERVER" -p 600 </dev/null >/dev/null 2>&1 || true  # fails harmlessly when one runs
trap '"$WINESERVER" -k </dev/null >/dev/null 2>&1 || true' EXIT
# The prefix's start also starts Wine's background services; with a prefix
# kept from an earlier run, the first test program would start them holding
# ctest's pipe, and its test discovery would wait for them until its time-out.
boot=()
[ -f "$WINEPREFIX/system.reg" ] || boot=(-i)
"$WINE" wineboot "${boot[@]}" </dev/null >build/wine-prefix.log 2>&1 || {
  cat build/wine-prefix.log >&2
  exit 1
}

ctest --preset windows-x64 --timeout 600 "$@" </dev/null

station="$PWD/build/windows-x64/station"
rm -rf "$station"
cp -r examples/station "$station"
out=$("$WINE" build/windows-x64/src/app/qelvar-cli.exe --dir "$station" --sim --virtual-time \
  --json run </dev/null | tr -d '\r')
last=$(printf '%s\n' "$out" | grep '"ports"' | tail -n 1)
passed=$(printf '%s\n' "$last" | grep -o '"status":"Pass"' | wc -l)
if [ "$passed" -ne 16 ]; then
  echo "test-windows: the simulated run under Wine passed $passed ports, not 16:" >&2
  printf '%s\n' "$out" >&2
  exit 1
fi
echo "test-windows: 16 Pass under Wine; build $((built - start)) s, tests and run $(($(date +%s) - built)) s"
