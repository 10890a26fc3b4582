#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# /init of the kernel-test guest: file systems, the USB modules, udev, then the checks; powers off whatever happens so
# that QEMU ends.
mount -t devtmpfs dev /dev
# The checks' lines go to a port of their own, apart from kernel messages: the second serial port, or the one that the
# kernel's command line names (checks_port=), whose modules come first (/lib/modules/console).
port=${checks_port:-/dev/ttyS1}
if [ -e /lib/modules/console ]; then
    while read -r module; do insmod "/lib/modules/$module.ko"; done </lib/modules/console
    for _ in $(seq 100); do [ -e "$port" ] && break; sleep 0.1; done
fi
exec </dev/console >"$port" 2>/dev/console
mount -t proc proc /proc && mount -t sysfs sys /sys
mount -t tmpfs run /run && mount -t tmpfs tmp /tmp && mkdir -p /run/lock
mkdir /dev/pts && mount -t devpts devpts /dev/pts
uptime() { cut -d ' ' -f 1 /proc/uptime; }
echo "# /init at $(uptime) s"
# Another user space than the tree's (userland=armhf on the command line): its programs and simulators take the place
# of the tree's.
[ -n "${userland:-}" ] && [ -d "/$userland" ] && cp -a "/$userland/." /
echo "# ELF machine of tovra-control, sky-box, usbip-controller:" $(for f in /usr/bin/tovra-control /sim/sky-box /sim/usbip-controller; do od -An -tu2 -j18 -N2 "$f"; done)
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
