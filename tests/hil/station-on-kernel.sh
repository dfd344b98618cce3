#!/usr/bin/env bash
# A whole station on a real Linux kernel: qelvar-simbridge serves every drive
# of a station file as a USB-to-SATA bridge over usbredir, QEMU (TCG) attaches
# each at its hub port behind the station file's usb-hubs, and the guest runs
# qelvar-cli's scan and a full MP run, without --sim, at real speed.
#
#   station-on-kernel.sh --cli QELVAR_CLI --station STATION_DIR --drives STATION_FILE --out OUT
#                        [--format] [--bridge QELVAR_SIMBRIDGE] [--pull N] [--cache DIR] [--work DIR]
#
# OUT receives scan.json, run.json (the guest's stdout), exit (the run's exit
# status), diagnostics.jsonl, trace.jsonl (the bridge's trace of every drive),
# dmesg.txt, timing.txt and bridge.txt (the bridge's summary). --format turns
# the station's Format option on; the backing files of the drives are then
# checked here for an MBR and the NTFS label UDISK-<letter> (format.txt).
# --pull N removes drive N's bridge (QEMU monitor device_del) while its system
# firmware downloads (pull.txt says when). --prepare-only installs what is
# missing and fetches the kernel, then ends.
#
# Needs what testbed.sh needs and uses the same kernel cache. Exit status: 0
# done, 77 skipped (outside CI only; OUT/skipped says why), anything else
# failed. Under CI (QELVAR_CI=1) a reason to skip is a failure.
set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
CLI="" STATION="" DRIVES="" OUT="" BRIDGE="" CACHE="$HERE/cache" WORK="" FORMAT=0 PULL="" PREPARE=0
while [ $# -gt 0 ]; do
  case "$1" in
    --cli) CLI=$2; shift 2 ;;
    --station) STATION=$2; shift 2 ;;
    --drives) DRIVES=$2; shift 2 ;;
    --out) OUT=$2; shift 2 ;;
    --bridge) BRIDGE=$2; shift 2 ;;
    --cache) CACHE=$2; shift 2 ;;
    --work) WORK=$2; shift 2 ;;
    --format) FORMAT=1; shift ;;
    --pull) PULL=$2; shift 2 ;;
    --prepare-only) PREPARE=1; shift ;;
    *) echo "station-on-kernel.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
if [ -z "$CLI" ] || [ -z "$STATION" ] || [ -z "$DRIVES" ] || [ -z "$OUT" ]; then
  echo "usage: station-on-kernel.sh --cli QELVAR_CLI --station STATION_DIR --drives STATION_FILE --out OUT [--format]" >&2
  exit 2
fi
BRIDGE=${BRIDGE:-$(dirname "$CLI")/../../tools/simbridge/qelvar-simbridge}
WORK=${WORK:-$OUT/work}
PACKAGES="qemu-system-x86 busybox-static kmod cpio gzip ntfs-3g"
MODULES="usbcore usb-common xhci-hcd xhci-pci scsi_mod sd_mod sg usb-storage"
GUEST_TIMEOUT=500  # seconds the guest may take, boot to power-off
QEMU_PID="" BRIDGE_PID=""

rm -rf "$OUT"
mkdir -p "$OUT" "$WORK" "$CACHE"
OUT=$(cd "$OUT" && pwd) WORK=$(cd "$WORK" && pwd)
START=$(date +%s.%N)

log() { echo "station-on-kernel: $*" >&2; }
fail() { log "FAILED: $*"; exit 1; }
skip() {
  if [ "${QELVAR_CI:-}" = 1 ]; then fail "$* (in CI the scenario must run)"; fi
  echo "$*" >"$OUT/skipped"
  log "SKIPPED: $*"
  exit 77
}
stop_pid() {  # stop_pid PID: TERM, then KILL after 5 s
  local pid=$1 i
  [ -n "$pid" ] || return 0
  kill "$pid" 2>/dev/null || return 0
  for i in 1 2 3 4 5 6 7 8 9 10; do kill -0 "$pid" 2>/dev/null || return 0; sleep 0.5; done
  kill -9 "$pid" 2>/dev/null || true
}
cleanup() {
  stop_pid "$QEMU_PID"
  stop_pid "$BRIDGE_PID"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
elapsed() { awk -v a="$START" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }'; }

# --- packages and kernel (as testbed.sh, sharing its cache) -----------------
ensure_packages() {
  local p missing=""
  for p in $PACKAGES; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
  done
  [ -z "$missing" ] && return 0
  [ "$(id -u)" = 0 ] || skip "packages missing ($missing) and not root to install them"
  log "installing$missing"
  # shellcheck disable=SC2086 # one word per package
  DEBIAN_FRONTEND=noninteractive timeout 600 apt-get install -y -qq --no-install-recommends $missing >"$WORK/apt.log" 2>&1 ||
    { timeout 300 apt-get update -qq >>"$WORK/apt.log" 2>&1 || true
      # shellcheck disable=SC2086
      DEBIAN_FRONTEND=noninteractive timeout 600 apt-get install -y -qq --no-install-recommends $missing >>"$WORK/apt.log" 2>&1; } ||
    skip "cannot install$missing: see $WORK/apt.log"
}
# The kernel, its modules and the programs the guest runs.
# shellcheck source=guest-kernel.sh
. "$HERE/guest-kernel.sh"

build_initramfs() {
  local m path base
  ROOT="$WORK/root"
  rm -rf "$ROOT"
  mkdir -p "$ROOT"/{bin,lib/modules,proc,sys,dev,run,tmp,etc}
  install -m 0755 /bin/busybox "$ROOT/bin/busybox"
  install -m 0755 "$HERE/station-guest-init.sh" "$ROOT/init"
  copy_with_libs "$CLI" /bin/qelvar-cli
  # Without its debug information the program is a twentieth of its size:
  # the guest's kernel unpacks the initramfs faster.
  strip --strip-debug "$ROOT/bin/qelvar-cli" 2>/dev/null || true
  [ "$FORMAT" = 0 ] || copy_with_libs /usr/sbin/mkntfs /usr/sbin/mkntfs
  cp -r "$STATION" "$ROOT/station"
  if [ "$FORMAT" = 1 ]; then
    grep -qi '^FormatEn=' "$ROOT/station/speedQelvar.ini" || fail "no FormatEn in the station's settings"
    sed -i 's/^FormatEn=.*/FormatEn=1/I' "$ROOT/station/speedQelvar.ini"
  fi
  : >"$ROOT/modules.order"
  for m in $MODULES; do add_module "$m"; done
  for path in "${LOAD_ORDER[@]}"; do
    base=$(basename "$path")
    case "$base" in
      *.ko) cp "$path" "$ROOT/lib/modules/$base" ;;
      *.ko.xz) xz -dc "$path" >"$ROOT/lib/modules/${base%.xz}" ;;
      *.ko.zst) zstd -qdc "$path" >"$ROOT/lib/modules/${base%.zst}" ;;
      *.ko.gz) gzip -dc "$path" >"$ROOT/lib/modules/${base%.gz}" ;;
    esac
    echo "${base%%.ko*}" >>"$ROOT/modules.order"
  done
  (cd "$ROOT" && find . | cpio -o -H newc --quiet) | gzip -1 >"$WORK/initramfs.cpio.gz"
}

# --- the station's layout, from the bridge ----------------------------------
read_layout() {
  local kind a b c
  HUBS=0 ROOT_PORTS=4 DRIVE_IDS=() DRIVE_PORTS=()
  while read -r kind a b c _; do
    case "$kind" in
      hubs) HUBS=$a; [ "$a" -le "$ROOT_PORTS" ] || ROOT_PORTS=$a ;;
      drive)
        DRIVE_IDS+=("$a")
        # Hub h hangs on root port h + 1; -1 is a root-hub port.
        if [ "$b" -ge 0 ]; then
          DRIVE_PORTS+=("$((b + 1)).$c")
        else
          DRIVE_PORTS+=("$c")
          [ "$c" -le "$ROOT_PORTS" ] || ROOT_PORTS=$c
        fi
        ;;
    esac
  done < <("$BRIDGE" --station "$DRIVES" --list)
  [ "${#DRIVE_IDS[@]}" -gt 0 ] || fail "no drives in $DRIVES"
}

qemu_args() {
  local i h
  # QEMU's xHCI has at most 15 root ports.
  [ "$ROOT_PORTS" -le 15 ] || fail "the station names root port $ROOT_PORTS; QEMU has 15"
  # shellcheck disable=SC2054 # the commas belong to QEMU's option values
  QEMU_ARGS=(
    -machine q35,accel=tcg -cpu max -smp 1 -m 384 -nodefaults -display none -no-reboot
    -kernel "$VMLINUZ" -initrd "$WORK/initramfs.cpio.gz"
    # no_timer_check: on a busy host TCG can be too slow for the kernel's
    # IO-APIC timer check, which then panics at boot.
    -append "console=ttyS0 panic=-1 quiet loglevel=1 no_timer_check hil.disks=${#DRIVE_IDS[@]}"
    -serial "file:$WORK/console.log" -serial "file:$WORK/data.log"
    -chardev "pipe,id=mon0,path=$WORK/mon" -mon chardev=mon0,mode=readline
    -device "qemu-xhci,id=xhci,addr=05.0,p2=$ROOT_PORTS,p3=$ROOT_PORTS"
  )
  for ((h = 0; h < HUBS; h++)); do QEMU_ARGS+=(-device "usb-hub,bus=xhci.0,port=$((h + 1))"); done
  for i in "${!DRIVE_IDS[@]}"; do
    local n=${DRIVE_IDS[$i]}
    QEMU_ARGS+=(-chardev "socket,id=ur$n,path=$WORK/sock/drive$n.sock,reconnect=1"
      -device "usb-redir,chardev=ur$n,id=redir$n,bus=xhci.0,port=${DRIVE_PORTS[$i]}")
  done
}

monitor() {
  echo "$(elapsed) s monitor: $*" >>"$OUT/pull.txt"
  # shellcheck disable=SC2016
  timeout 5 sh -c 'echo "$1" >"$2"' _ "$*" "$WORK/mon.in" || fail "the QEMU monitor does not take commands"
}
data_lines() { { tr -d '\r' <"$WORK/data.log"; } 2>/dev/null || true; }
guest_done() { data_lines | grep -q '^@@HIL done'; }

# Download chunks drive N received, as the bridge's trace shows them. While
# the burner runs every image comes in chunks of mode 03h: the burner's 96
# first, then the system firmware's 192.
chunks() {
  grep -c "\"drive\":\"Drive$1\".*\"cdb\":\"a10a0303" "$OUT/trace.jsonl" 2>/dev/null || true
}
PULL_AT_CHUNK=$((96 + 40))

pull_drive() {
  local deadline=$(($(date +%s) + GUEST_TIMEOUT))
  while [ "$(chunks "$PULL")" -lt "$PULL_AT_CHUNK" ]; do
    kill -0 "$QEMU_PID" 2>/dev/null || fail "QEMU ended before drive $PULL's firmware download"
    [ "$(date +%s)" -lt "$deadline" ] || fail "drive $PULL never downloaded its system firmware"
    sleep 0.2
  done
  echo "$(elapsed) s drive $PULL: $(($(chunks "$PULL") - 96)) system firmware chunks received" >>"$OUT/pull.txt"
  monitor "device_del redir$PULL"
}

# When the kernel saw the pulled bridge go (dmesg, in uptime) and when the
# station ended that port (the run's record, in wall-clock time), both on
# the guest's clock.
pull_outcome() {
  local usb clock_epoch clock_up gone ended ended_s
  usb="1-${DRIVE_PORTS[$(pulled_position)]}"
  read -r clock_epoch clock_up < <(sed -n 's/^@@HIL clock //p' "$WORK/sec-markers")
  gone=$(sed -n "s/^\[ *\([0-9.]*\)\] usb $usb: USB disconnect.*/\1/p" "$OUT/dmesg.txt" | head -n 1)
  # The ledger's records count ports 1-16, as the Port column does.
  ended=$(grep -o "\"port\":$((PULL + 1)),[^}]*" "$OUT/history.json" |
    sed -n 's/.*"endedAt":"\([^"]*\)".*/\1/p' | head -n 1)
  {
    echo "pulled_usb $usb"
    echo "usb_disconnect_uptime_s ${gone:-unknown}"
    echo "port_ended_at ${ended:-unknown}"
    if [ -n "$gone" ] && [ -n "$ended" ] && [ -n "$clock_epoch" ]; then
      ended_s=$(date -u -d "$ended" +%s.%N)
      awk -v e="$ended_s" -v g="$gone" -v ce="$clock_epoch" -v cu="$clock_up" \
        'BEGIN { printf "port_failed_after_pull_s %.2f\n", e - (g + ce - cu) }'
    fi
  } >>"$OUT/pull.txt"
}
pulled_position() {
  local i
  for i in "${!DRIVE_IDS[@]}"; do [ "${DRIVE_IDS[$i]}" = "$PULL" ] && echo "$i" && return; done
  fail "no drive $PULL in the station"
}

split_sections() {
  data_lines | awk -v out="$WORK/sec" '
    /^@@HIL [a-z-]+-begin/ { name = $2; sub(/-begin$/, "", name); file = out "-" name; printf "" > file; next }
    /^@@HIL [a-z-]+-end/ { file = ""; next }
    /^@@HIL / { print > (out "-markers"); next }
    file != "" { print > file }'
}

check_format() {
  local i n img label
  : >"$OUT/format.txt"
  for i in "${!DRIVE_IDS[@]}"; do
    n=${DRIVE_IDS[$i]}
    img="$WORK/disks/drive$n.img"
    # MBR: signature 55AA, partition 1 of type 07h from sector 2048.
    local sig type start
    sig=$(od -An -tx1 -j510 -N2 "$img" | tr -d ' \n')
    type=$(od -An -tx1 -j450 -N1 "$img" | tr -d ' \n')
    start=$(od -An -tu4 -j454 -N4 "$img" | tr -d ' \n')
    label=""
    if [ "$sig" = 55aa ] && [ "$type" = 07 ] && [ "$start" -gt 0 ]; then
      # ntfslabel reads a whole volume: cut the sectors before the partition
      # off the (sparse) backing file, which is not needed any more.
      fallocate --collapse-range --offset 0 --length $((start * 512)) "$img" &&
        label=$(timeout 60 ntfslabel "$img" 2>/dev/null || true)
    fi
    echo "drive $n mbr=$sig type=$type start=$start label=$label" >>"$OUT/format.txt"
  done
}

# --- the scenario ------------------------------------------------------------
[ -x "$CLI" ] || fail "no qelvar-cli at $CLI"
[ -x "$BRIDGE" ] || fail "no qelvar-simbridge at $BRIDGE"
ensure_packages
ensure_kernel
if [ "$PREPARE" = 1 ]; then exit 0; fi
build_initramfs
read_layout
mkdir -p "$WORK/sock" "$WORK/disks"
rm -f "$WORK"/disks/*.img "$WORK"/sock/*.sock
echo "prepare $(elapsed) s" >>"$OUT/timing.txt"

"$BRIDGE" --station "$DRIVES" --sockets "$WORK/sock" --disks "$WORK/disks" \
  --trace "$OUT/trace.jsonl" --summary "$OUT/bridge.txt" 2>"$OUT/bridge.log" &
BRIDGE_PID=$!
for _ in $(seq 50); do
  grep -q "simbridge: ready" "$OUT/bridge.log" 2>/dev/null && break
  kill -0 "$BRIDGE_PID" 2>/dev/null || fail "qelvar-simbridge ended: $(cat "$OUT/bridge.log")"
  sleep 0.1
done
grep -q "simbridge: ready" "$OUT/bridge.log" || fail "qelvar-simbridge not ready"

qemu_args
rm -f "$WORK/mon.in" "$WORK/mon.out" "$WORK/data.log"
mkfifo "$WORK/mon.in" "$WORK/mon.out"
: >"$OUT/pull.txt"
QEMU_START=$(date +%s.%N)
timeout -k 5 $((GUEST_TIMEOUT + 30)) qemu-system-x86_64 "${QEMU_ARGS[@]}" >"$WORK/qemu.log" 2>&1 &
QEMU_PID=$!
timeout $((GUEST_TIMEOUT + 40)) cat "$WORK/mon.out" >"$WORK/monitor.log" 2>/dev/null &
if [ -n "$PULL" ]; then pull_drive; fi
deadline=$(($(date +%s) + GUEST_TIMEOUT))
while ! guest_done; do
  kill -0 "$QEMU_PID" 2>/dev/null || fail "QEMU ended early (see $WORK/console.log, $WORK/qemu.log)"
  [ "$(date +%s)" -lt "$deadline" ] || fail "the guest did not finish within $GUEST_TIMEOUT s"
  sleep 0.5
done
for _ in 1 2 3 4 5 6 7 8 9 10; do kill -0 "$QEMU_PID" 2>/dev/null || break; sleep 0.5; done
stop_pid "$QEMU_PID"
QEMU_PID=""
QEMU_END=$(date +%s.%N)
stop_pid "$BRIDGE_PID"
BRIDGE_PID=""

split_sections
cp "$WORK/sec-scan" "$OUT/scan.json" 2>/dev/null || fail "no scan output from the guest"
cp "$WORK/sec-run" "$OUT/run.json" 2>/dev/null || fail "no run output from the guest"
cp "$WORK/sec-diag" "$OUT/diagnostics.jsonl" 2>/dev/null || : >"$OUT/diagnostics.jsonl"
cp "$WORK/sec-dmesg" "$OUT/dmesg.txt" 2>/dev/null || : >"$OUT/dmesg.txt"
cp "$WORK/sec-disks" "$OUT/disks.txt" 2>/dev/null || : >"$OUT/disks.txt"
cp "$WORK/sec-history" "$OUT/history.json" 2>/dev/null || : >"$OUT/history.json"
sed -n 's/^@@HIL run-exit //p' "$WORK/sec-markers" >"$OUT/exit"
[ -s "$OUT/exit" ] || fail "no exit status of the run"

# Design time of the run's pauses: the same station run in-process on
# virtual time, where every pause takes no real time but is counted.
# A copy of the station: a run writes its next serial number and its logs there.
rm -rf "$WORK/host-station" && cp -r "$STATION" "$WORK/host-station"
# A run with failed ports ends with status 1: only its time matters here.
(cd "$WORK" && timeout 120 "$CLI" --dir "$WORK/host-station" --sim "$DRIVES" --virtual-time run \
  >"$WORK/design-run.txt" 2>&1) || true
design=$(sed -n 's/^Time: \([0-9]*\) H::\([0-9]*\) M::\([0-9]*\) S$/\1 \2 \3/p' "$WORK/design-run.txt" |
  awk '{print $1 * 3600 + $2 * 60 + $3}')
run_start=$(sed -n 's/^@@HIL run-start //p' "$WORK/sec-markers")
run_stop=$(sed -n 's/^@@HIL run-stop //p' "$WORK/sec-markers")
{
  echo "design_s ${design:-unknown}"
  echo "run_wall_s $(awk -v a="$run_start" -v b="$run_stop" 'BEGIN { printf "%.1f", b - a }')"
  if [ -n "$design" ] && [ "$design" -gt 0 ]; then
    echo "ratio $(awk -v a="$run_start" -v b="$run_stop" -v d="$design" 'BEGIN { printf "%.2f", (b - a) / d }')"
  fi
  echo "guest_s $(awk -v a="$QEMU_START" -v b="$QEMU_END" 'BEGIN { printf "%.1f", b - a }')"
  grep '^total' "$OUT/bridge.txt" | sed 's/^total /bridge /'
  sed -n 's/^@@HIL read64MiB //p' "$WORK/sec-markers" |
    awk '$3 > $2 { printf "guest_read_MiB_per_s %.1f (64 MiB from /dev/%s)\n", 64 / ($3 - $2), $1 }'
} >>"$OUT/timing.txt"

if [ -n "$PULL" ]; then pull_outcome; fi
if [ "$FORMAT" = 1 ]; then check_format; fi
echo "total $(elapsed) s" >>"$OUT/timing.txt"
log "done in $(elapsed) s; output in $OUT"
