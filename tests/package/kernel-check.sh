#!/usr/bin/env bash
# What the package grants, checked on Debian's own kernel under QEMU (TCG):
#
#   kernel-check.sh --out OUT [--kernel-dir DIR]
#
# The guest has a disk behind a USB bridge (usb-storage on xHCI) and a SATA
# disk (AHCI). udevd runs there with Debian's block rules and the package's
# 70-qelvar.rules: the USB disk must end up root:qelvar 0660 and the SATA
# disk must keep its own group. Then capability_probe tries, as an
# unprivileged user with each set of capabilities, the vendor commands'
# SG_IO and the format's O_EXCL open, write and BLKRRPART: SG_IO must need
# CAP_SYS_RAWIO and nothing else, BLKRRPART CAP_SYS_ADMIN and nothing else,
# the open and write no capability at all.
#
# The kernel is the one the QEMU test bed unpacks into tests/hil/cache (it
# runs first: the ctest fixture "hil"). Exit status: 0 passed, 77 skipped
# (outside CI only), anything else failed.
set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
SRC=$(cd "$HERE/../.." && pwd)
OUT="" KDIR=""
while [ $# -gt 0 ]; do
  case "$1" in
    --out) OUT=$2; shift 2 ;;
    --kernel-dir) KDIR=$2; shift 2 ;;
    *) echo "kernel-check.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
[ -n "$OUT" ] || { echo "usage: kernel-check.sh --out OUT [--kernel-dir DIR]" >&2; exit 2; }
rm -rf "$OUT"
mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)

log() { echo "kernel-check: $*" >&2; }
fail() { log "FAILED: $*"; exit 1; }
skip() {
  if [ "${QELVAR_CI:-}" = 1 ]; then fail "$* (in CI the kernel check must run)"; fi
  echo "$*" >"$OUT/skipped"
  log "SKIPPED: $*"
  exit 77
}

if [ -z "$KDIR" ]; then
  KDIR=$(find "$SRC/tests/hil/cache" -maxdepth 1 -type d -name 'linux-image-*' 2>/dev/null |
    sort -V | tail -n 1 || true)
fi
if [ -z "$KDIR" ] || [ ! -f "$KDIR/.unpacked" ]; then
  skip "no kernel unpacked by the QEMU test bed in tests/hil/cache"
fi
VMLINUZ=$(find "$KDIR/boot" -name 'vmlinuz-*' | head -n 1)
MODDIR=$KDIR/lib/modules/${VMLINUZ##*/vmlinuz-}
for tool in qemu-system-x86_64 cpio cc; do
  command -v "$tool" >/dev/null || skip "$tool is missing (the test bed's packages and g++ bring it)"
done
if [ ! -x /bin/busybox ] || ldd /bin/busybox >/dev/null 2>&1; then skip "no static busybox (busybox-static)"; fi
UDEVD=$(readlink -f /lib/systemd/systemd-udevd)
[ -x "$UDEVD" ] || skip "no systemd-udevd on this machine (udev)"

ROOT=$OUT/root
mkdir -p "$ROOT"/{bin,proc,sys,dev,run,tmp,etc,lib/modules,usr/lib/udev/rules.d}
cp /bin/busybox "$ROOT/bin/"
cc -static -O2 -o "$ROOT/bin/capability_probe" "$HERE/capability_probe.c" ||
  skip "cannot build a static program (libc6-dev)"
copy_with_libs() {  # copy_with_libs FILE DEST_IN_ROOT
  local lib
  install -D -m 0755 "$1" "$ROOT/$2"
  for lib in $(ldd "$1" | awk '/=> \// {print $3} /^\t\// {print $1}'); do
    [ -e "$ROOT$lib" ] || install -D -m 0755 "$(readlink -f "$lib")" "$ROOT$lib"
  done
}
copy_with_libs "$UDEVD" /lib/systemd/systemd-udevd
ln -s /lib/systemd/systemd-udevd "$ROOT/bin/udevadm"
for rules in 50-udev-default.rules 60-persistent-storage.rules; do
  cp "/usr/lib/udev/rules.d/$rules" "$ROOT/usr/lib/udev/rules.d/" || skip "no $rules on this machine"
done
cp "$SRC/packaging/70-qelvar.rules" "$ROOT/usr/lib/udev/rules.d/"
printf 'root:x:0:\ndisk:x:6:\nnogroup:x:65534:\nqelvar:x:990:\n' >"$ROOT/etc/group"
printf 'root:x:0:0:root:/:/bin/sh\nnobody:x:65534:65534:nobody:/:/bin/sh\n' >"$ROOT/etc/passwd"

LOAD_ORDER=""
add_module() {
  local path dep
  path=$(find "$MODDIR/kernel" -name "$1.ko*" | head -n 1)
  [ -n "$path" ] || return 0  # built in
  for dep in $(modinfo -F depends "$path" | tr ',' ' '); do add_module "$dep"; done
  case " $LOAD_ORDER " in *" $path "*) ;; *) LOAD_ORDER="$LOAD_ORDER $path" ;; esac
}
for m in usb-common usbcore xhci-hcd xhci-pci scsi_mod sd_mod usb-storage libata libahci ahci; do
  add_module "$m"
done
: >"$ROOT/modules.order"
for path in $LOAD_ORDER; do
  base=$(basename "$path")
  case "$base" in
    *.ko.xz) xz -dc "$path" >"$ROOT/lib/modules/${base%.xz}" ;;
    *.ko.zst) zstd -qdc "$path" >"$ROOT/lib/modules/${base%.zst}" ;;
    *) cp "$path" "$ROOT/lib/modules/" ;;
  esac
  echo "${base%%.ko*}" >>"$ROOT/modules.order"
done

cat >"$ROOT/init" <<'INIT'
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for m in $(cat /modules.order); do insmod "/lib/modules/$m.ko" 2>/dev/null; done
i=0
while [ $i -lt 60 ] && ! { [ -b /dev/sda ] && [ -b /dev/sdb ]; }; do sleep 1; i=$((i + 1)); done
/lib/systemd/systemd-udevd --daemon 2>/tmp/udevd.err
udevadm trigger --action=add --subsystem-match=block
udevadm settle --timeout=60
for d in /sys/class/block/sd*; do
  name=${d##*/}
  echo "node $name $(stat -c '%G %a' "/dev/$name") $(readlink "$d")"
done
# The probe needs the nodes open to its user: the group's access is what
# the udev rule gives, checked above.
chmod 0666 /dev/sda /dev/sdb
/bin/capability_probe /dev/sda /dev/sdb
echo "probe done"
poweroff -f
INIT
chmod 0755 "$ROOT/init"
(cd "$ROOT" && find . | cpio -o -H newc --quiet) | gzip -1 >"$OUT/initramfs.gz"
truncate -s 64M "$OUT/usb.img" "$OUT/sata.img"
# One partition on each disk (MBR entry 1: type 07h, sectors 2048-10239), so
# the rule's handling of partitions shows too.
for image in "$OUT/usb.img" "$OUT/sata.img"; do
  printf '\000\000\000\000\007\000\000\000\000\010\000\000\000\040\000\000' |
    dd of="$image" bs=1 seek=446 conv=notrunc status=none
  printf '\125\252' | dd of="$image" bs=1 seek=510 conv=notrunc status=none
done

log "booting $(basename "$VMLINUZ")"
# shellcheck disable=SC2054 # the commas belong to QEMU's option values
timeout 300 qemu-system-x86_64 -machine q35,accel=tcg -cpu max -smp 1 -m 256 -nodefaults \
  -display none -no-reboot -kernel "$VMLINUZ" -initrd "$OUT/initramfs.gz" \
  -append "console=ttyS0 panic=-1 quiet loglevel=1" -serial "file:$OUT/console.log" \
  -device qemu-xhci,id=xhci -drive if=none,id=usb,file="$OUT/usb.img",format=raw \
  -device usb-storage,bus=xhci.0,drive=usb -drive if=none,id=sata,file="$OUT/sata.img",format=raw \
  -device ide-hd,drive=sata,bus=ide.0 || fail "QEMU failed (see $OUT/console.log)"
tr -d '\r' <"$OUT/console.log" >"$OUT/guest.txt"
grep -q "^probe done" "$OUT/guest.txt" || fail "the guest did not finish (see $OUT/console.log)"

expect() {  # expect LINE: the guest printed it
  grep -qxF "$1" "$OUT/guest.txt" || fail "expected '$1' (see $OUT/guest.txt)"
}
usb=$(awk '$1 == "node" && $5 ~ /\/usb/ && $2 !~ /[0-9]$/ { print $2 }' "$OUT/guest.txt")
sata=$(awk '$1 == "node" && $5 ~ /\/ata/ && $2 !~ /[0-9]$/ { print $2 }' "$OUT/guest.txt")
if [ -z "$usb" ] || [ -z "$sata" ]; then
  fail "the guest has no USB disk or no SATA disk (see $OUT/guest.txt)"
fi
for node in "$usb" "${usb}1"; do
  grep -q "^node $node qelvar 660 " "$OUT/guest.txt" || fail "the USB disk's /dev/$node is not root:qelvar 0660"
done
for node in "$sata" "${sata}1"; do
  grep -q "^node $node disk 660 " "$OUT/guest.txt" || fail "the SATA disk's /dev/$node is not root:disk 0660"
done

for disk in "/dev/$usb" "/dev/$sata"; do
  for caps in none rawio admin rawio+admin; do
    expect "$caps $disk open-read ok"
    expect "$caps $disk open-excl ok"
    expect "$caps $disk pwrite ok"
  done
  expect "none $disk sg_io Operation not permitted"
  expect "admin $disk sg_io Operation not permitted"
  expect "rawio $disk sg_io ok"
  expect "rawio+admin $disk sg_io ok"
  expect "none $disk blkrrpart Permission denied"
  expect "rawio $disk blkrrpart Permission denied"
  expect "admin $disk blkrrpart ok"
  expect "rawio+admin $disk blkrrpart ok"
done
# The package grants exactly these two.
grep -q 'CAPABILITIES=cap_sys_rawio,cap_sys_admin+ep$' "$SRC/packaging/debian/postinst" ||
  fail "postinst grants other capabilities than the check found"
log "passed"
