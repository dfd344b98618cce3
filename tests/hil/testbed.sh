#!/usr/bin/env bash
# The station on a real Linux kernel: boots Debian's generic kernel under QEMU
# (TCG, no KVM) with a station's worth of emulated USB hubs and disks, runs
# qelvar-cli inside the guest and leaves its output in OUT for the host-side
# test (test_hil) to check.
#
#   testbed.sh --cli QELVAR_CLI --ata-identify HIL_ATA_IDENTIFY --station STATION_DIR --out OUT
#              [--cache DIR] [--work DIR]
#
# Two boots: the first runs udevd, scans, and then watches while this script
# plugs a disk into hub port 4 and pulls it again through the QEMU monitor;
# the second scans without udevd, to show that hub instance IDs and port
# numbers survive a boot, and watches briefly on the kernel's own events.
# Both boots also send IDENTIFY over the station's ATA route to the AHCI disk
# (hil-ata-identify). OUT receives boot1-*.{json,jsonl,txt}, boot2-*, hotplug.txt and timing.txt.
#
# Prepares what it needs on a fresh Debian 12 machine (as root): the packages
# below, and the kernel the linux-image-amd64 package depends on, downloaded
# into the cache folder and unpacked there, never installed. Exit status: 0
# done, 77 skipped (outside CI only; OUT/skipped says why), anything else
# failed. Under CI (QELVAR_CI=1) a reason to skip is a failure.
set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
CLI="" ATA_TOOL="" STATION="" OUT="" CACHE="$HERE/cache" WORK=""
while [ $# -gt 0 ]; do
  case "$1" in
    --cli) CLI=$2; shift 2 ;;
    --ata-identify) ATA_TOOL=$2; shift 2 ;;
    --station) STATION=$2; shift 2 ;;
    --out) OUT=$2; shift 2 ;;
    --cache) CACHE=$2; shift 2 ;;
    --work) WORK=$2; shift 2 ;;
    *) echo "testbed.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
if [ -z "$CLI" ] || [ -z "$ATA_TOOL" ] || [ -z "$STATION" ] || [ -z "$OUT" ]; then
  echo "usage: testbed.sh --cli QELVAR_CLI --ata-identify HIL_ATA_IDENTIFY --station STATION_DIR --out OUT [--cache DIR] [--work DIR]" >&2
  exit 2
fi
WORK=${WORK:-$OUT/work}
PACKAGES="qemu-system-x86 busybox-static kmod udev cpio gzip"
MODULES="usbcore usb-common xhci-hcd xhci-pci scsi_mod sd_mod sg usb-storage uas libata libahci ahci"
BOOT_TIMEOUT=150   # seconds one boot may take, hot plug included
WATCH_SECONDS=30   # how long the guest watches; the hot plug must fit in it
STEP_TIMEOUT=25    # seconds for one hot-plug step to show in the guest's table
QEMU_PID=""

rm -rf "$OUT"
mkdir -p "$OUT" "$WORK" "$CACHE"
START=$(date +%s)

log() { echo "testbed: $*" >&2; }
fail() { log "FAILED: $*"; exit 1; }
skip() {
  if [ "${QELVAR_CI:-}" = 1 ]; then fail "$* (in CI the test bed must run)"; fi
  echo "$*" >"$OUT/skipped"
  log "SKIPPED: $*"
  exit 77
}
cleanup() {
  if [ -n "$QEMU_PID" ] && kill -0 "$QEMU_PID" 2>/dev/null; then
    kill "$QEMU_PID" 2>/dev/null || true
    sleep 1
    kill -9 "$QEMU_PID" 2>/dev/null || true
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- packages ---------------------------------------------------------------
missing_packages() {
  local p
  for p in $PACKAGES; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
  done
}
ensure_packages() {
  local missing
  missing=$(missing_packages | tr '\n' ' ')
  [ -z "$missing" ] && return 0
  [ "$(id -u)" = 0 ] || skip "packages missing (${missing% }) and not root to install them"
  log "installing ${missing% }"
  # shellcheck disable=SC2086 # one word per package
  if ! DEBIAN_FRONTEND=noninteractive timeout 600 apt-get install -y -qq --no-install-recommends $missing >"$WORK/apt.log" 2>&1; then
    timeout 300 apt-get update -qq >>"$WORK/apt.log" 2>&1 || true
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive timeout 600 apt-get install -y -qq --no-install-recommends $missing >>"$WORK/apt.log" 2>&1 ||
      skip "cannot install ${missing% } (no network or package source?): see $WORK/apt.log"
  fi
}

# The kernel, its modules and the programs the guest runs.
# shellcheck source=guest-kernel.sh
. "$HERE/guest-kernel.sh"

# --- the initramfs ----------------------------------------------------------
build_initramfs() {
  local m path base
  ROOT="$WORK/root"
  rm -rf "$ROOT"
  mkdir -p "$ROOT"/{bin,lib/modules,proc,sys,dev,run,tmp,etc}
  install -m 0755 /bin/busybox "$ROOT/bin/busybox"
  ldd /bin/busybox >/dev/null 2>&1 && fail "/bin/busybox is not the static build (busybox-static)"
  install -m 0755 "$HERE/guest-init.sh" "$ROOT/init"
  copy_with_libs "$CLI" /bin/qelvar-cli
  copy_with_libs "$ATA_TOOL" /bin/hil-ata-identify
  # udevd is the same program as udevadm, chosen by the name it is run as.
  copy_with_libs "$(readlink -f /lib/systemd/systemd-udevd)" /lib/systemd/systemd-udevd
  cp -r "$STATION" "$ROOT/station"
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
    base=${base%%.ko*}
    echo "$base" >>"$ROOT/modules.order"
  done
  (cd "$ROOT" && find . | cpio -o -H newc --quiet) | gzip -1 >"$WORK/initramfs.cpio.gz"
  log "initramfs: $(du -h "$WORK/initramfs.cpio.gz" | cut -f1), modules: $(tr '\n' ' ' <"$ROOT/modules.order")"
}

# --- one boot ---------------------------------------------------------------
# The station: an external hub on root port 1 with disks on its ports 2, 5
# (removable medium) and 7 and a second hub on its port 8 with a disk on port
# 3; a disk on root port 2; a uas disk (SuperSpeed) on root port 3; a SATA
# disk on the AHCI controller. The xHCI sits at a fixed PCI address, so its
# device path, and with it every hub instance ID, is the same at every boot.
DISKS_AT_BOOT=7
set_qemu_args() {  # set_qemu_args MODE BOOT: fills QEMU_ARGS
  local d="$WORK/disks"
  # shellcheck disable=SC2054 # the commas belong to QEMU's option values
  QEMU_ARGS=(
    -machine q35,accel=tcg -cpu max -smp 1 -m 256 -nodefaults -display none -no-reboot
    -kernel "$VMLINUZ" -initrd "$WORK/initramfs.cpio.gz"
    -append "console=ttyS0 panic=-1 quiet loglevel=1 hil.mode=$1 hil.disks=$DISKS_AT_BOOT hil.watch=$WATCH_SECONDS"
    -serial "file:$WORK/boot$2-console.log" -serial "file:$WORK/boot$2-data.log"
    -chardev "pipe,id=mon0,path=$WORK/mon" -mon chardev=mon0,mode=readline
    -device qemu-xhci,id=xhci,addr=05.0
    -device usb-hub,bus=xhci.0,port=1
    -drive "if=none,id=d1,file=$d/d1.img,format=raw" -device usb-storage,bus=xhci.0,port=1.2,drive=d1,serial=HIL0001
    -drive "if=none,id=d2,file=$d/d2.img,format=raw" -device usb-storage,bus=xhci.0,port=1.5,drive=d2,serial=HIL0002,removable=on
    -drive "if=none,id=d3,file=$d/d3.img,format=raw" -device usb-storage,bus=xhci.0,port=1.7,drive=d3,serial=HIL0003
    -device usb-hub,bus=xhci.0,port=1.8
    -drive "if=none,id=d4,file=$d/d4.img,format=raw" -device usb-storage,bus=xhci.0,port=1.8.3,drive=d4,serial=HIL0004
    -drive "if=none,id=d5,file=$d/d5.img,format=raw" -device usb-storage,bus=xhci.0,port=2,drive=d5,serial=HIL0005
    -device usb-uas,id=uas,bus=xhci.0,port=3
    -drive "if=none,id=d6,file=$d/d6.img,format=raw" -device scsi-hd,bus=uas.0,scsi-id=0,lun=0,drive=d6,serial=HIL0006
    -drive "if=none,id=d7,file=$d/d7.img,format=raw" -device ide-hd,bus=ide.0,drive=d7,serial=HIL0007
  )
}

monitor() {  # monitor COMMAND: one line to the QEMU monitor
  echo "$(stamp) monitor: $*" >>"$OUT/hotplug.txt"
  # shellcheck disable=SC2016 # $1 and $2 belong to the inner shell
  timeout 5 sh -c 'echo "$1" >"$2"' _ "$*" "$WORK/mon.in" || fail "the QEMU monitor does not take commands"
}

# The data port's lines so far, carriage returns dropped.
data_lines() { { tr -d '\r' <"$DATA"; } 2>/dev/null || true; }

# Waits until `predicate` (a shell function) succeeds, QEMU ends, or SECONDS pass.
wait_for() {  # wait_for SECONDS WHAT PREDICATE
  local deadline=$(($(date +%s) + $1))
  while ! "$3"; do
    kill -0 "$QEMU_PID" 2>/dev/null || fail "QEMU ended while waiting for $2 (see $WORK/boot$BOOT-console.log)"
    [ "$(date +%s)" -lt "$deadline" ] || fail "no $2 within $1 s"
    sleep 0.3
  done
}

# The watch's tables after the marker, one JSON line each.
watch_tables() { data_lines | sed -n '/^@@HIL watch-begin/,/^@@HIL watch-end/p' | grep '^{' || true; }
watch_started() { [ -n "$(watch_tables)" ]; }
HOT_PORT_FILLED='{"port":7,"status":"Unsupported bridge"'  # port 6 counted from 0; QEMU's usb-storage passes no ATA command
HOT_PORT_EMPTY='{"port":7,"status":"",'
hot_disk_listed() { watch_tables | tail -n 1 | grep -qF "$HOT_PORT_FILLED"; }
hot_disk_gone() { watch_tables | tail -n 1 | grep -qF "$HOT_PORT_EMPTY"; }
guest_done() { data_lines | grep -q '^@@HIL done'; }

# Seconds since QEMU started, for the hot-plug timeline.
stamp() { echo "$(($(date +%s) - BOOT_START)) s"; }

hot_plug() {
  wait_for 120 "watch table in the guest" watch_started
  echo "$(stamp) tables before plugging: $(watch_tables | wc -l)" >>"$OUT/hotplug.txt"
  monitor "drive_add 0 if=none,id=d8,file=$WORK/disks/d8.img,format=raw"
  monitor "device_add usb-storage,bus=xhci.0,port=1.4,drive=d8,id=hp8,serial=HIL0008"
  wait_for "$STEP_TIMEOUT" "table listing the plugged disk" hot_disk_listed
  echo "$(stamp) tables after plugging: $(watch_tables | wc -l)" >>"$OUT/hotplug.txt"
  monitor "device_del hp8"
  wait_for "$STEP_TIMEOUT" "table without the pulled disk" hot_disk_gone
  echo "$(stamp) tables after pulling: $(watch_tables | wc -l)" >>"$OUT/hotplug.txt"
}

# Splits the data port's output into OUT/bootN-<section> files.
split_sections() {
  data_lines | awk -v out="$OUT/boot$BOOT" '
    /^@@HIL [a-z-]+-begin/ { name = $2; sub(/-begin$/, "", name); file = out "-" name ".txt"; printf "" > file; next }
    /^@@HIL [a-z-]+-end/ { file = ""; next }
    /^@@HIL / { print > (out "-markers.txt"); next }
    file != "" { print > file }'
  mv "$OUT/boot$BOOT-scan.txt" "$OUT/boot$BOOT-scan.json"
  mv "$OUT/boot$BOOT-diag.txt" "$OUT/boot$BOOT-diag.jsonl"
  mv "$OUT/boot$BOOT-ata-identify.txt" "$OUT/boot$BOOT-ata-identify.json"
  local f
  for f in watch kernel-watch; do
    [ ! -f "$OUT/boot$BOOT-$f.txt" ] || mv "$OUT/boot$BOOT-$f.txt" "$OUT/boot$BOOT-$f.jsonl"
  done
}

boot() {  # boot MODE N
  local mode=$1
  BOOT=$2
  DATA="$WORK/boot$BOOT-data.log"
  rm -f "$WORK/mon.in" "$WORK/mon.out" "$DATA"
  mkfifo "$WORK/mon.in" "$WORK/mon.out"
  BOOT_START=$(date +%s)
  set_qemu_args "$mode" "$BOOT"
  # The guest powers off by itself; timeout bounds QEMU even should this
  # script be killed before its cleanup runs.
  timeout -k 5 $((BOOT_TIMEOUT + 30)) qemu-system-x86_64 "${QEMU_ARGS[@]}" >"$WORK/boot$BOOT-qemu.log" 2>&1 &
  QEMU_PID=$!
  # QEMU blocks on a full monitor pipe: keep it drained.
  timeout $((BOOT_TIMEOUT + 10)) cat "$WORK/mon.out" >"$WORK/boot$BOOT-monitor.log" 2>/dev/null &
  if [ "$mode" = hotplug ]; then hot_plug; fi
  wait_for "$BOOT_TIMEOUT" "end of boot $BOOT" guest_done
  # The guest powers off after "done"; never wait long for it.
  for _ in 1 2 3 4 5 6 7 8 9 10; do kill -0 "$QEMU_PID" 2>/dev/null || break; sleep 0.5; done
  cleanup
  QEMU_PID=""
  split_sections
  echo "boot$BOOT $mode $(($(date +%s) - BOOT_START)) s" >>"$OUT/timing.txt"
  log "boot $BOOT ($mode) took $(($(date +%s) - BOOT_START)) s"
}

# --- the run ----------------------------------------------------------------
[ -x "$CLI" ] || fail "no qelvar-cli at $CLI"
[ -x "$ATA_TOOL" ] || fail "no hil-ata-identify at $ATA_TOOL"
ensure_packages
ensure_kernel
command -v qemu-system-x86_64 >/dev/null || fail "qemu-system-x86_64 missing after installing"
build_initramfs
mkdir -p "$WORK/disks"
for i in 1 2 3 4 5 6 7 8; do rm -f "$WORK/disks/d$i.img"; truncate -s 64M "$WORK/disks/d$i.img"; done
echo "prepare $(($(date +%s) - START)) s" >>"$OUT/timing.txt"
: >"$OUT/hotplug.txt"
boot hotplug 1
boot scan 2
echo "total $(($(date +%s) - START)) s" >>"$OUT/timing.txt"
log "done in $(($(date +%s) - START)) s; output in $OUT"
