#!/usr/bin/env bash
# Builds the Debian package of the station, qelvar_<version>_amd64.deb, from
# the default preset's build tree:
#
#   scripts/package-deb.sh [--out DIR]     (default DIR: build/package)
#
# Configures the default preset when needed (with the install prefix /usr the
# installed programs are built for), builds the programs, installs them with
# their files into a staging tree, computes the Debian dependencies of the
# binaries with dpkg-shlibdeps and packs the tree with dpkg-deb. Prints the
# package's path as its last line. Needs dpkg-dev (setup.sh installs it).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$ROOT/build/default
OUT=$ROOT/build/package
while [ $# -gt 0 ]; do
  case "$1" in
    --out) OUT=$2; shift 2 ;;
    *) echo "package-deb.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
cd "$ROOT"
umask 022
mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)

# The programs look for their station in /var/lib/qelvar/station only when
# they were built for the prefix they are installed under.
prefix=""
if [ -f "$BUILD/CMakeCache.txt" ]; then
  prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:[A-Z]*=//p' "$BUILD/CMakeCache.txt")
fi
if [ "$prefix" != /usr ] || [ ! -f "$BUILD/packaging/version.txt" ]; then
  cmake --preset default -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
fi
ui=$(sed -n 's/^QELVAR_BUILD_UI:BOOL=//p' "$BUILD/CMakeCache.txt")
targets=(qelvar-cli make_example_station qelvar_package_files)
if [ "$ui" = ON ]; then targets+=(qelvar); fi
cmake --build --preset default --target "${targets[@]}"

version=$(cat "$BUILD/packaging/version.txt")
arch=$(dpkg --print-architecture)
STAGE=$OUT/stage
DEB=$OUT/qelvar_${version}_${arch}.deb
rm -rf "$STAGE" "$DEB"
mkdir -p "$STAGE/DEBIAN"
DESTDIR=$STAGE cmake --install "$BUILD" --strip >/dev/null

# Dependencies: the libraries the binaries link (dpkg-shlibdeps wants a
# debian/control beside it; Qt's X11 platform plugin comes with its GUI
# library), the mkntfs of the format, setcap and groupadd for the
# maintainer scripts.
binaries=()
while IFS= read -r -d '' f; do binaries+=("$f"); done < <(
  find "$STAGE" -type f -perm -u+x ! -path "$STAGE/DEBIAN/*" -print0 | sort -z)
shlib=$OUT/shlibdeps
rm -rf "$shlib"
mkdir -p "$shlib/debian"
printf 'Source: qelvar\n\nPackage: qelvar\nArchitecture: any\n' >"$shlib/debian/control"
shlibs=$(cd "$shlib" && dpkg-shlibdeps -O "${binaries[@]}" 2>/dev/null | sed -n 's/^shlibs:Depends=//p')
rm -rf "$shlib"
[ -n "$shlibs" ] || { echo "package-deb.sh: dpkg-shlibdeps found no dependencies" >&2; exit 1; }
depends="$shlibs, ntfs-3g, libcap2-bin, passwd"

size=$(du -sk --exclude=DEBIAN "$STAGE" | cut -f1)
sed -e "s|@INSTALLED_SIZE@|$size|" -e "s|@DEPENDS@|$depends|" \
  "$BUILD/packaging/debian/control.in" >"$STAGE/DEBIAN/control"
install -m 0755 packaging/debian/postinst packaging/debian/postrm "$STAGE/DEBIAN/"
(cd "$STAGE" && find . -type f ! -path './DEBIAN/*' -printf '%P\0' | sort -z |
  xargs -0 md5sum) >"$STAGE/DEBIAN/md5sums"
chmod 0644 "$STAGE/DEBIAN/md5sums" "$STAGE/DEBIAN/control"

dpkg-deb --root-owner-group -Zxz --build "$STAGE" "$DEB" >/dev/null
echo "$DEB"
