#!/usr/bin/env bash
# Installs the Debian 12 packages the station needs to build, test and run.
# Idempotent: installs only what is missing. Run as root (or with sudo).
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev pkg-config
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  zlib1g-dev libudev-dev libusbredirparser-dev
  ntfs-3g
  qt6-base-dev xvfb xauth fonts-dejavu-core fonts-dejavu-extra fonts-wqy-microhei
  dpkg-dev debootstrap lintian
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix libz-mingw-w64-dev wine64
  libsqlite3-dev libpq-dev postgresql chromium
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
