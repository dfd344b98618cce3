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

# The sd disks and the USB port each hangs on, a line at every change, so the
# host sees drives leave and come back (and under which name) and when.
watch_disks() {
  prev=""
  while [ ! -e /tmp/watch.stop ]; do
    names=""
    for b in /sys/block/sd*; do [ -e "$b" ] && names="$names ${b##*/}"; done
    if [ "$names" != "$prev" ]; then
      line=$(uptime_s)
      for n in $names; do
        link=$(readlink "/sys/block/$n")
        usb=${link%%:1.0/host*}
        line="$line $n=${usb##*/}"
      done
      echo "$line" >>/tmp/disks.txt
      prev=$names
    fi
    sleep 0.1
  done
}

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

# The guest's wall clock against its uptime, at a second's turn: the run's
# records carry wall-clock times, the disk watch uptimes.
s0=$(date +%s)
while [ "$(date +%s)" = "$s0" ]; do :; done
say "clock $(date +%s) $(uptime_s)"
watch_disks &
watcher=$!
say "run-start $(uptime_s)"
say run-begin
/bin/qelvar-cli --dir /station --json --diagnostics /tmp/diag.jsonl run >"$data" 2>/tmp/run.err
rc=$?
say run-end
say "run-exit $rc"
say "run-stop $(uptime_s)"
touch /tmp/watch.stop
wait "$watcher"
section disks /tmp/disks.txt
/bin/qelvar-cli --dir /station history --json >/tmp/history.json 2>&1
section history /tmp/history.json
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
