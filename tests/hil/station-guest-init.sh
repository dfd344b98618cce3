#!/bin/busybox sh
# shellcheck shell=dash
# /init of the guest of station-on-kernel.sh: loads the USB and SCSI drivers,
# waits for the station's disks, runs a scan and a full MP run of qelvar-cli
# (no --sim: the drives are the bridges of qelvar-simbridge) and writes what
# the host reads to the second serial port between "@@HIL" marker lines. The
# kernel command line gives hil.disks=N, the disks to wait for.

/bin/busybox --install -s /bin
mkdir -p /proc /sys /dev /run /tmp
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
echo 1 >/proc/sys/kernel/printk

disks=0
for word in $(cat /proc/cmdline); do
  case "$word" in
    hil.disks=*) disks=${word#hil.disks=} ;;
  esac
done

data=/dev/ttyS1
stty -F "$data" raw -echo 2>/dev/null
say() { echo "@@HIL $*" >"$data"; }
section() {  # section NAME FILE
  say "$1-begin"
  [ -f "$2" ] && cat "$2" >"$data"
  say "$1-end"
}
uptime_s() { cut -d' ' -f1 /proc/uptime; }

say "boot kernel=$(uname -r)"
while read -r module; do
  insmod "/lib/modules/$module.ko" 2>>/tmp/insmod.err || echo "insmod $module failed" >>/tmp/insmod.err
done </modules.order
section insmod /tmp/insmod.err

# usb-storage waits a moment before it scans a new device, and TCG is slow:
# give the disks up to 120 s to appear, then a moment to settle.
i=0
while [ "$(ls -d /sys/block/sd* 2>/dev/null | wc -l)" -lt "$disks" ] && [ $i -lt 240 ]; do
  sleep 0.5
  i=$((i + 1))
done
say "disks $(ls -d /sys/block/sd* 2>/dev/null | wc -l) at $(uptime_s)"
sleep 2

say scan-begin
/bin/qelvar-cli --dir /station --json scan >"$data" 2>/tmp/scan.err
say "scan-end $?"
section scan-stderr /tmp/scan.err

say "run-start $(uptime_s)"
say run-begin
/bin/qelvar-cli --dir /station --json --diagnostics /tmp/diag.jsonl run >"$data" 2>/tmp/run.err
rc=$?
say run-end
say "run-exit $rc"
say "run-stop $(uptime_s)"
section run-stderr /tmp/run.err
section diag /tmp/diag.jsonl
# Raw reading speed through one bridge and the kernel's block layer.
first=""
for b in /sys/block/sd*; do [ -e "$b" ] && first=${b##*/} && break; done
if [ -n "$first" ]; then
  t0=$(uptime_s)
  dd if="/dev/$first" of=/dev/null bs=1M count=64 2>/dev/null
  say "read64MiB $first $t0 $(uptime_s)"
fi
dmesg >/tmp/dmesg.txt
section dmesg /tmp/dmesg.txt
say "done"
sync
poweroff -f
