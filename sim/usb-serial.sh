#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# USB-serial adapters for the kernel test, in the guest: adapter N is a CDC ACM
# gadget (configfs, usb_f_acm) on dummy_hcd's UDC dummy_udc.N. The computer's
# side is /dev/ttyACM* through the real cdc-acm driver; the far end of the
# cable is the gadget's /dev/ttyGS*, where a simulator speaks.
# Usage: usb-serial.sh plug N     makes adapter N the first time, plugs it in,
#                                 waits until udev has linked its ttyACM by id and prints
#                                 "/dev/ttyACMk /dev/ttyGSj"
#        usb-serial.sh unplug N   pulls it out (the ttyACM hangs up and goes away) and
#                                 waits until udev has taken its link by id away
set -eu
gadget=/sys/kernel/config/usb_gadget/serial$2
# The link by id that udev makes for adapter N's tty (serial number S000N), or the pattern itself.
byid() { echo /dev/serial/by-id/*_S000"$1"-if00; }
case $1 in
plug)
    if [ ! -d "$gadget" ]; then
        mkdir "$gadget" "$gadget/strings/0x409" "$gadget/configs/c.1" "$gadget/functions/acm.usb0"
        echo 0x0525 >"$gadget/idVendor" # Linux-USB's "Gadget Serial" in CDC ACM mode
        echo 0xa4a7 >"$gadget/idProduct"
        echo "Tovra test" >"$gadget/strings/0x409/manufacturer"
        echo "USB-serial $2" >"$gadget/strings/0x409/product"
        echo "S000$2" >"$gadget/strings/0x409/serialnumber"
        ln -s "$gadget/functions/acm.usb0" "$gadget/configs/c.1/"
    fi
    echo "dummy_udc.$2" >"$gadget/UDC"
    # The tty's node comes from the kernel at once; its links by id and by path
    # come from udev later. Done when a link by id leads to it and udev is idle.
    for _ in $(seq 100); do
        for tty in /sys/class/tty/ttyACM*; do
            case $(readlink -f "$tty/device") in */dummy_hcd.$2/*)
                tty=/dev/${tty##*/}
                [ "$(readlink -f "$(byid "$2")")" = "$tty" ] && udevadm settle --timeout=10 &&
                    echo "$tty /dev/ttyGS$(cat "$gadget/functions/acm.usb0/port_num")" && exit 0 ;;
            esac
        done
        sleep 0.1
    done
    echo "usb-serial.sh: no ttyACM linked by id for adapter $2" >&2
    exit 1 ;;
unplug)
    echo "" >"$gadget/UDC"
    # Done when udev has taken the link by id away: a plug that follows cannot
    # take a stale link for the new tty's.
    for _ in $(seq 100); do
        [ -L "$(byid "$2")" ] || { udevadm settle --timeout=10; exit 0; }
        sleep 0.1
    done
    echo "usb-serial.sh: the link by id of adapter $2 stays" >&2
    exit 1 ;;
*) echo "usage: usb-serial.sh plug|unplug N" >&2; exit 2 ;;
esac
