#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# USB-serial adapters for the kernel test, in the guest: adapter N is a CDC ACM
# gadget (configfs, usb_f_acm) on dummy_hcd's UDC dummy_udc.N. The computer's
# side is /dev/ttyACM* through the real cdc-acm driver; the far end of the
# cable is the gadget's /dev/ttyGS*, where a simulator speaks.
# Usage: usb-serial.sh plug N     makes adapter N the first time, plugs it in,
#                                 waits for its ttyACM and prints "/dev/ttyACMk /dev/ttyGSj"
#        usb-serial.sh unplug N   pulls it out (the ttyACM hangs up and goes away)
set -eu
gadget=/sys/kernel/config/usb_gadget/serial$2
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
    for _ in $(seq 100); do
        for tty in /sys/class/tty/ttyACM*; do
            case $(readlink -f "$tty/device") in */dummy_hcd.$2/*)
                [ -e "/dev/${tty##*/}" ] && echo "/dev/${tty##*/} /dev/ttyGS$(cat "$gadget/functions/acm.usb0/port_num")" && exit 0 ;;
            esac
        done
        sleep 0.1
    done
    echo "usb-serial.sh: no ttyACM for adapter $2" >&2
    exit 1 ;;
unplug) echo "" >"$gadget/UDC" ;;
*) echo "usage: usb-serial.sh plug|unplug N" >&2; exit 2 ;;
esac
