#!/usr/bin/env bash
# Builds qelvar-windows-x64.zip in build/: qelvar-cli.exe (64-bit, static
# runtime: no DLLs needed), the example station folder and a README for the
# station PC. Builds the windows-x64 preset's program first.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset windows-x64
cmake --build --preset windows-x64 --target qelvar-cli

stage=build/package-windows/qelvar
rm -rf build/package-windows
mkdir -p "$stage"
cp build/windows-x64/src/app/qelvar-cli.exe "$stage/"
x86_64-w64-mingw32-strip "$stage/qelvar-cli.exe"
cp -r examples/station "$stage/station"
# Text for Notepad: CR LF line ends.
sed 's/$/\r/' packaging/windows/README.txt > "$stage/README.txt"

rm -f build/qelvar-windows-x64.zip
(cd build/package-windows && cmake -E tar cf ../qelvar-windows-x64.zip --format=zip qelvar)
echo "package-windows: build/qelvar-windows-x64.zip"
