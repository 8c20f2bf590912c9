#!/bin/busybox sh
# The test guest's init: mounts what the kernel offers, loads the HID and
# USB gadget modules (dummy_hcd with three ports), starts udevd, runs every
# case of /cases.sh and powers off. Everything for the host goes to the
# serial console as marker lines: KORVID-BOOT, KORVID-CASE NAME PASS|FAIL,
# KORVID-LOG NAME | ..., KORVID-DONE.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp
mount -t tmpfs tmpfs /run
ln -s /proc/self/fd /dev/fd

while read -r module; do
  case $module in
    dummy_hcd.ko) insmod "/lib/modules/$module" num=3 ;;
    *) insmod "/lib/modules/$module" ;;
  esac || echo "KORVID-BOOT failed to load $module"
done </lib/modules/order
mount -t configfs configfs /sys/kernel/config

echo "KORVID-BOOT $(uname -r) modules=$(wc -l </lib/modules/order) udcs=$(ls /sys/class/udc | wc -l)"
. /cases.sh
run_all_cases
echo "KORVID-DONE"
sync
poweroff -f
