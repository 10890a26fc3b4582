#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# /init of the kernel-test guest: file systems, the USB modules, udev, then
# the checks; powers off whatever happens so that QEMU ends.
mount -t devtmpfs dev /dev
# The checks' lines go to the second serial port, apart from kernel messages.
exec </dev/console >/dev/ttyS1 2>/dev/console
mount -t proc proc /proc && mount -t sysfs sys /sys
mount -t tmpfs run /run && mount -t tmpfs tmp /tmp && mkdir -p /run/lock
mkdir /dev/pts && mount -t devpts devpts /dev/pts
uptime() { cut -d ' ' -f 1 /proc/uptime; }
echo "# /init at $(uptime) s"
while read -r module; do
    case $module in dummy_hcd) set -- num=4 ;; *) set -- ;; esac
    insmod "/lib/modules/$module.ko" "$@" || echo "# insmod $module failed"
done </lib/modules/order
mount -t configfs configfs /sys/kernel/config
ip link set lo up
/lib/systemd/systemd-udevd --daemon
udevadm trigger --action=add && udevadm settle --timeout=30
echo "# udev settled at $(uptime) s"
sh /checks.sh
echo "# checks done at $(uptime) s"
poweroff -f
