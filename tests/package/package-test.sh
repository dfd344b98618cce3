#!/usr/bin/env bash
# The Debian package on a fresh Debian 12: builds qelvar_<version>_amd64.deb
# with scripts/package-deb.sh, checks it with lintian, installs it with apt
# (dependencies from the mirror) into a debootstrap chroot, and there runs
# the programs as an operator in the group qelvar and as a user outside it.
#
#   package-test.sh --out OUT [--cache DIR]
#
# The base chroot (minbase, with the machine's own Debian mirror) is kept as
# a tarball in the cache folder, and so are the packages apt downloads, so a
# second run needs the network only for the package lists. OUT receives the
# package, lintian.txt, the programs' output and timing.txt. Exit status: 0
# passed, 77 skipped (outside CI only; OUT/skipped says why), anything else
# failed. Needs root (debootstrap, chroot, mounts).
set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
SRC=$(cd "$HERE/../.." && pwd)
OUT="" CACHE="$HERE/cache"
while [ $# -gt 0 ]; do
  case "$1" in
    --out) OUT=$2; shift 2 ;;
    --cache) CACHE=$2; shift 2 ;;
    *) echo "package-test.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
[ -n "$OUT" ] || { echo "usage: package-test.sh --out OUT [--cache DIR]" >&2; exit 2; }
mkdir -p "$OUT" "$CACHE"
OUT=$(cd "$OUT" && pwd)
CACHE=$(cd "$CACHE" && pwd)

SUITE=bookworm
ROOT=$OUT/root
START=$(date +%s)
MOUNTS=()

log() { echo "package-test: $*" >&2; }
fail() { log "FAILED: $*"; exit 1; }
skip() {
  if [ "${QELVAR_CI:-}" = 1 ]; then fail "$* (in CI the package test must run)"; fi
  echo "$*" >"$OUT/skipped"
  log "SKIPPED: $*"
  exit 77
}
unmount_all() {
  local i
  for ((i = ${#MOUNTS[@]} - 1; i >= 0; i--)); do
    umount "${MOUNTS[$i]}" 2>/dev/null || umount -l "${MOUNTS[$i]}" 2>/dev/null || true
  done
  MOUNTS=()
}
trap unmount_all EXIT
trap 'exit 130' INT TERM
step() { log "$* ($(($(date +%s) - START)) s)"; }

# Removes the chroot, never following a mount into the machine's own files.
remove_root() {
  [ -d "$ROOT" ] || return 0
  if grep -q " $ROOT/" /proc/mounts; then fail "something is still mounted under $ROOT"; fi
  rm -rf --one-file-system "$ROOT"
}

mkdir -p "$OUT" "$CACHE/archives/partial"
rm -f "$OUT/skipped"
unmount_all
remove_root

[ "$(id -u)" = 0 ] || skip "needs root (debootstrap, chroot)"
missing=""
for p in debootstrap lintian dpkg-dev; do
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  log "installing$missing"
  # shellcheck disable=SC2086 # one word per package
  DEBIAN_FRONTEND=noninteractive timeout 600 apt-get install -y -qq --no-install-recommends $missing \
    >"$OUT/apt-host.log" 2>&1 || skip "cannot install$missing: see $OUT/apt-host.log"
fi

# --- the machine's Debian mirror --------------------------------------------
# Every "deb" entry of this machine for the suite and its updates, from the
# one-line and the deb822 formats: "URI SUITE" per line.
mirror_entries() {
  local f
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    awk -v s="$SUITE" '$1 == "deb" { i = 2; if ($2 ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
                        if ($(i + 1) ~ "^" s) print $i, $(i + 1) }' "$f"
  done
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk -v s="$SUITE" 'function flush() { if (types ~ /(^| )deb( |$)/) for (u in uris) for (x in suites)
                         if (suites[x] ~ "^" s) print uris[u], suites[x]; types = ""; delete uris; delete suites }
      /^[ \t]*$/ { flush(); next }
      /^Types:/ { types = $0; sub(/^Types:[ \t]*/, "", types) }
      /^URIs:/ { n = split($0, a, /[ \t]+/); for (i = 2; i <= n; i++) uris[i] = a[i] }
      /^Suites:/ { n = split($0, a, /[ \t]+/); for (i = 2; i <= n; i++) suites[i] = a[i] }
      END { flush() }' "$f"
  done
}
ENTRIES=$(mirror_entries | sort -u)
MIRROR=$(echo "$ENTRIES" | awk -v s="$SUITE" '$2 == s { print $1; exit }')
[ -n "$MIRROR" ] || skip "this machine's apt has no Debian mirror for $SUITE"
log "mirror $MIRROR"

# --- the package --------------------------------------------------------------
step "building the package"
DEB=$(bash "$SRC/scripts/package-deb.sh" --out "$OUT/deb" | tail -n 1)
[ -f "$DEB" ] || fail "package-deb.sh made no package"
VERSION=$(dpkg-deb -f "$DEB" Version)
log "package $(basename "$DEB")"
dpkg-deb -c "$DEB" >"$OUT/contents.txt"
dpkg-deb -I "$DEB" >"$OUT/info.txt"

step "lintian"
lintian --fail-on error "$DEB" >"$OUT/lintian.txt" 2>&1 ||
  { cat "$OUT/lintian.txt" >&2; fail "lintian reports errors (see $OUT/lintian.txt)"; }

# --- a fresh Debian 12 --------------------------------------------------------
BASE=$CACHE/$SUITE-minbase-$(dpkg --print-architecture)-$(echo "$MIRROR" | md5sum | cut -c1-8).tar
if [ ! -f "$BASE" ]; then
  step "debootstrap $SUITE from $MIRROR (first run: the base is kept in $BASE)"
  include=""
  case "$MIRROR" in https:*) include="--include=ca-certificates" ;; esac
  # shellcheck disable=SC2086
  timeout 1200 debootstrap --variant=minbase $include --cache-dir="$CACHE/archives" \
    "$SUITE" "$ROOT" "$MIRROR" >"$OUT/debootstrap.log" 2>&1 ||
    { remove_root; skip "debootstrap failed (no network or mirror?): see $OUT/debootstrap.log"; }
  tar -C "$ROOT" -cf "$BASE.tmp" . && mv "$BASE.tmp" "$BASE"
else
  step "unpacking the base chroot"
  mkdir -p "$ROOT"
  tar -C "$ROOT" -xf "$BASE"
fi
echo "$ENTRIES" | awk '{ print "deb", $1, $2, "main" }' >"$ROOT/etc/apt/sources.list"

chroot_mount() {
  mkdir -p "$ROOT$2"
  mount "${@:3}" "$1" "$ROOT$2"
  MOUNTS+=("$ROOT$2")
}
chroot_mount proc /proc -t proc
chroot_mount "$CACHE/archives" /var/cache/apt/archives --bind
in_root() { chroot "$ROOT" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"; }

step "apt install ./$(basename "$DEB")"
cp "$DEB" "$ROOT/tmp/"
in_root apt-get update -q >"$OUT/apt-update.log" 2>&1 ||
  skip "apt-get update in the chroot failed (no network?): see $OUT/apt-update.log"
# The chroot is thrown away afterwards: dpkg need not sync every file.
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
  -o Dpkg::Options::=--force-unsafe-io "/tmp/$(basename "$DEB")" >"$OUT/apt-install.log" 2>&1 ||
  { tail -n 30 "$OUT/apt-install.log" >&2; fail "apt could not install the package (see $OUT/apt-install.log)"; }

# --- what the package set up ---------------------------------------------------
step "checking the installation"
in_root getent group qelvar >/dev/null || fail "no group qelvar"
for program in qelvar-cli qelvar; do
  got=$(in_root stat -c '%U:%G %a' "/usr/bin/$program")
  [ "$got" = "root:qelvar 750" ] || fail "/usr/bin/$program is $got, not root:qelvar 750"
  caps=$(in_root getcap "/usr/bin/$program")
  case "$caps" in
    *"cap_sys_rawio,cap_sys_admin=ep"* | *"cap_sys_admin,cap_sys_rawio=ep"*) ;;
    *) fail "/usr/bin/$program has the capabilities '$caps', not cap_sys_rawio,cap_sys_admin=ep" ;;
  esac
done
STATION=/var/lib/qelvar/station
for f in flash.ini speedQelvar.ini; do
  in_root test -f "$STATION/$f" || fail "$STATION/$f is missing"
done
got=$(in_root stat -c '%U:%G %a' "$STATION")
[ "$got" = "root:qelvar 2775" ] || fail "$STATION is $got, not root:qelvar 2775"
in_root test -d "$STATION/Firmware" || fail "$STATION/Firmware is missing"
for f in /usr/share/man/man1/qelvar-cli.1.gz /usr/share/man/man1/qelvar.1.gz \
  /usr/share/applications/qelvar.desktop /usr/share/icons/hicolor/scalable/apps/qelvar.svg \
  /usr/lib/udev/rules.d/70-qelvar.rules; do
  in_root test -f "$f" || fail "$f is missing"
done

# "operator" is a group of the base system already.
in_root useradd -m -G qelvar stationop
in_root useradd -m outsider
as() { local who=$1; shift; in_root runuser -u "$who" -- env HOME="/home/$who" "$@"; }

# --- the operator, in the group --------------------------------------------------
step "qelvar-cli as an operator in the group qelvar"
if as stationop qelvar-cli --help 2>&1 | grep -q -- --version; then
  as stationop qelvar-cli --version >"$OUT/version.txt" 2>&1 || fail "qelvar-cli --version failed"
  grep -qF "$VERSION" "$OUT/version.txt" ||
    fail "qelvar-cli --version prints '$(cat "$OUT/version.txt")', not the package version $VERSION"
else
  log "NOTE: this qelvar-cli has no --version yet; the version check is left out"
fi
# The firmware images are the technician's: the simulated drives take the
# example station's, copied in as the README says.
in_root sh -c "cp /usr/share/qelvar/example-station/Firmware/* $STATION/Firmware/"
status=0
# shellcheck disable=SC2016 # $HOME is the operator's
as stationop sh -c 'cd "$HOME" && qelvar-cli --sim --virtual-time --json run' \
  >"$OUT/operator-run.json" 2>"$OUT/operator-run.err" || status=$?
[ "$status" = 0 ] || { cat "$OUT/operator-run.err" >&2; fail "the operator's run exited with $status"; }
grep -q '"pass":16' "$OUT/operator-run.json" ||
  { cat "$OUT/operator-run.json" "$OUT/operator-run.err" >&2; fail "the operator's run did not pass 16 drives"; }
# The run's reports went into the station folder the operator may write.
[ -n "$(in_root find "$STATION/dbug" -type f -user stationop)" ] ||
  fail "the operator's run wrote no report into $STATION/dbug"

step "the window as the operator (offscreen)"
status=0
# shellcheck disable=SC2016 # $HOME is the operator's
as stationop env QT_QPA_PLATFORM=offscreen sh -c \
  'cd "$HOME" && qelvar --sim --virtual-time --run --screenshot "$HOME/window.png"' \
  >"$OUT/window.out" 2>&1 || status=$?
if [ "$status" != 0 ] || ! in_root test -s /home/stationop/window.png; then
  cat "$OUT/window.out" >&2
  fail "the window did not run for the operator (exit $status)"
fi

# --- what each refusal says --------------------------------------------------------
step "refusals"
status=0
as outsider qelvar-cli --sim --virtual-time run >"$OUT/outsider.out" 2>&1 || status=$?
if [ "$status" = 0 ] || ! grep -q "Permission denied" "$OUT/outsider.out"; then
  cat "$OUT/outsider.out" >&2
  fail "a user outside the group was not refused (exit $status)"
fi

# A station folder the operator cannot write is named before any drive is touched.
in_root sh -c "cp -r $STATION /tmp/readonly-station && chown -R root:root /tmp/readonly-station &&
               chmod -R go-w /tmp/readonly-station"
status=0
as stationop qelvar-cli --dir /tmp/readonly-station --sim --virtual-time run \
  >"$OUT/readonly.out" 2>&1 || status=$?
if [ "$status" != 2 ] ||
  ! grep -q "cannot write the station folder /tmp/readonly-station" "$OUT/readonly.out"; then
  cat "$OUT/readonly.out" >&2
  fail "an unwritable station folder was not named (exit $status)"
fi

# A copy of the program has lost the file capabilities: it says so.
in_root sh -c "cp /usr/bin/qelvar-cli /tmp/qelvar-cli-copy && chgrp qelvar /tmp/qelvar-cli-copy &&
               chmod 0750 /tmp/qelvar-cli-copy"
status=0
as stationop /tmp/qelvar-cli-copy scan >"$OUT/nocaps.out" 2>&1 || status=$?
if [ "$status" != 2 ] || ! grep -q "carries no file capabilities" "$OUT/nocaps.out"; then
  cat "$OUT/nocaps.out" >&2
  fail "a program without its capabilities did not say so (exit $status)"
fi

# --- removal ----------------------------------------------------------------------
step "apt purge"
in_root env DEBIAN_FRONTEND=noninteractive apt-get purge -y -q qelvar >"$OUT/apt-purge.log" 2>&1 ||
  fail "apt could not purge the package (see $OUT/apt-purge.log)"
[ -z "$(in_root dpkg-statoverride --list '/usr/bin/qelvar*')" ] || fail "purge left the owner overrides"
# The operator's reports stay; the package's own files are gone.
in_root test ! -e "$STATION/speedQelvar.ini" || fail "purge left $STATION/speedQelvar.ini"
in_root test -d "$STATION/dbug" || fail "purge removed the run reports"

unmount_all
remove_root
ELAPSED=$(($(date +%s) - START))
echo "package test: ${ELAPSED} s" >"$OUT/timing.txt"
log "passed in ${ELAPSED} s"
