#!/bin/busybox sh
# /init of the test bed's guest. Loads the USB, SCSI and SATA drivers, waits
# for the disks, runs qelvar-cli and writes everything the host reads to the
# second serial port (/dev/ttyS1) between "@@HIL" marker lines, so kernel
# messages on the console never mix with it. The kernel command line says
# what to run: hil.mode=scan (a scan, then a short watch without udevd) or
# hil.mode=hotplug (udevd, a scan, then watch while the host plugs and pulls
# a disk), hil.disks=N (how many sd disks to wait for) and hil.watch=SECONDS.

/bin/busybox --install -s /bin
mkdir -p /proc /sys /dev /run /tmp
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
echo 1 >/proc/sys/kernel/printk

mode=scan disks=0 watch=30
for word in $(cat /proc/cmdline); do
  case "$word" in
    hil.mode=*) mode=${word#hil.mode=} ;;
    hil.disks=*) disks=${word#hil.disks=} ;;
    hil.watch=*) watch=${word#hil.watch=} ;;
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
finish() {
  say "done"
  sync
  poweroff -f
}

say "boot mode=$mode kernel=$(uname -r)"
while read -r module; do
  insmod "/lib/modules/$module.ko" 2>>/tmp/insmod.err || echo "insmod $module failed" >>/tmp/insmod.err
done </modules.order
section insmod /tmp/insmod.err

if [ "$mode" = hotplug ] && [ -x /lib/systemd/systemd-udevd ]; then
  /lib/systemd/systemd-udevd --daemon --resolve-names=never 2>/tmp/udevd.err
  # Its control socket is what tells the station that udevd runs.
  i=0
  while [ ! -e /run/udev/control ] && [ $i -lt 50 ]; do sleep 0.1; i=$((i + 1)); done
  section udevd /tmp/udevd.err
fi

# usb-storage waits a second before it scans a new device, and TCG is slow:
# give the disks up to 90 s to appear, then a moment to settle.
i=0
while [ "$(ls -d /sys/block/sd* 2>/dev/null | wc -l)" -lt "$disks" ] && [ $i -lt 180 ]; do
  sleep 0.5
  i=$((i + 1))
done
ls -l /sys/block/ >/tmp/block.txt 2>&1
section block /tmp/block.txt
sleep 1

say scan-begin
/bin/qelvar-cli --dir /station --json --diagnostics /tmp/diag.jsonl scan >"$data" 2>/tmp/scan.err
say "scan-end $?"
section diag /tmp/diag.jsonl
section scan-stderr /tmp/scan.err

# IDENTIFY over the ATA route on the SATA disk: libata answers ATA
# PASS-THROUGH itself, so the task file and the returned registers are real.
sata=""
for b in /sys/block/sd*; do
  case "$(readlink "$b")" in */ata[0-9]*) sata=${b##*/} ;; esac
done
if [ -n "$sata" ]; then
  /bin/hil-ata-identify "/dev/$sata" >/tmp/ata-identify.json 2>/tmp/ata-identify.err
  say "ata-identify-rc $?"
else
  echo "no SATA disk under an ata port" >/tmp/ata-identify.err
fi
section ata-identify /tmp/ata-identify.json
section ata-identify-stderr /tmp/ata-identify.err

if [ "$mode" = hotplug ]; then
  say watch-begin
  /bin/qelvar-cli --dir /station --json watch --for "$watch" >"$data" 2>/tmp/watch.err
  say "watch-end $?"
  section watch-stderr /tmp/watch.err
else
  # No udevd here: watch must fall back to the kernel's events and say so.
  /bin/qelvar-cli --dir /station --json watch --for 2 >/tmp/kwatch.out 2>/tmp/kwatch.err
  say "kernel-watch-rc $?"
  section kernel-watch /tmp/kwatch.out
  section kernel-watch-stderr /tmp/kwatch.err
fi
finish
