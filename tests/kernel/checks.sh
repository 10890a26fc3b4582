#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# The checks of make kernel-test, run as root by the guest's /init: the real
# tovra-control on the kernel's USB stack, against a controller played over
# USB/IP (usbip-controller) and USB-serial adapters played by ACM gadgets
# (usb-serial.sh). One line per check, "ok - BEHAVIOUR" or "FAIL - BEHAVIOUR:
# WHY", and the closing "N passed, N failed".
passed=0 failed=0 nl='
'
# check BEHAVIOUR EXPECTED ACTUAL: ACTUAL must match EXPECTED, a shell pattern.
check() {
    case $3 in
    $2) passed=$((passed + 1)) && echo "ok - $1" ;;
    *) failed=$((failed + 1)) && printf 'FAIL - %s: expected [%s], got [%s]' "$1" "$2" "$3" | tr '\n' '|' && echo ;;
    esac
}
# Runs a command (at most 20 s); its status, stdout and stderr in $status, $out, $err.
run() { timeout 20 "$@" >/tmp/out 2>/tmp/err; status=$? out=$(cat /tmp/out) err=$(cat /tmp/err); }
# Evaluates CONDITION until it holds, for at most 10 s.
waitfor() { for _ in $(seq 100); do eval "$1" >/dev/null 2>&1 && return; sleep 0.1; done; return 1; }
controller() { grep -l 6666 /sys/bus/usb/devices/*/idVendor | sed 's,/idVendor,,'; }
# Plugs in a controller of the scenario line given, once usbhid has it and udev is done.
plug() {
    echo "$1" >/tmp/scenario && : >/tmp/usb.log
    /sim/usbip-controller /tmp/scenario /tmp/usb.log >/tmp/sim.out &
    sim=$!
    waitfor 'dev=$(controller) && [ -e $dev:1.0/driver ]' && udevadm settle
    node=/dev/bus/usb/$(printf %03d/%03d "$(cat "$dev/busnum")" "$(cat "$dev/devnum")")
}
unplug() { kill $sim 2>/dev/null; wait $sim; waitfor '[ -z "$(controller)" ]' && udevadm settle; }
# Waits until some process has FILE open.
opened() { waitfor "ls -l /proc/[0-9]*/fd | grep -q ' $1\$'"; }
# FROM TO TEXT: TEXT written on port FROM arrives on port TO.
cross() {
    timeout 5 head -c ${#3} "$2" >/tmp/got & opened "$2"
    printf %s "$3" >"$1" && wait $! && cat /tmp/got
}

plug 'device 6666:f100 manufacturer="Tovra Ltd" product="USB controller" serial="A0042" release=0110 version=1.2.3'
check "the controller enumerates as 6666:f100, release 0110" "6666:f100 0110" "$(cat "$dev/idVendor"):$(cat "$dev/idProduct") $(cat "$dev/bcdDevice")"
check "usbhid binds to its interface 0" "usbhid" "$(basename "$(readlink "$dev:1.0/driver")")"
check "the host sees its endpoints 0x01 and 0x81" "ep_01 ep_81" "$(cd "$dev:1.0" && echo ep_*)"
check "udev gives its node to plugdev (0660) with links by serial and by path" "plugdev 660 $node $node" \
    "$(stat -c '%G %a' "$node") $(readlink -f /dev/tovra/by-serial/A0042) $(readlink -f /dev/tovra/by-path/*)"
run tovra-control --debug
check "the first run detaches usbhid and reads the version" "0 *detach successful*- Full version 1.2.3" "$status $out"
check "the controller gets the version query" "*report out 001/001: 71 7a 7a 7a 7a 7a 7a 7a | version query*" "$(cat /tmp/usb.log)"
run tovra-control --debug
check "a second run finds no driver to detach" "0 *Device already detached*" "$status $out"
run tovra-control --output 15 FFFE
check "code FFFE to output 15 arrives as 43 0e ff fe 7a 7a 7a 7a" "0 *report out 001/001: 43 0e ff fe 7a 7a 7a 7a |*" "$status $(cat /tmp/usb.log)"
run su pvr -c 'tovra-control 0001'
check "a member of plugdev may use the controller" "0" "$status"
run su guest -c 'tovra-control 0001'
check "a user outside plugdev is told which node he cannot open" \
    "1 *The USB controller $node (group plugdev, mode 0660) cannot be opened by this user:*" "$status $err"
unplug

# Faults of the run's only write; the errno names what the controller does.
for fault in "ETIMEDOUT:Connection timed out:never answers a report" "EPIPE:Input/output error:stalls a report" \
    "ENODEV:Input/output error:is pulled out during a report"; do
    plug "device 6666:f100 write_fail=1:${fault%%:*}"
    run tovra-control 0001
    reason=${fault#*:} && reason=${reason%%:*}
    check "a controller that ${fault##*:} fails the run" \
        "1 usb_interrupt_write failed: $reason${nl}tovra_usb_sendcommand failed: $reason" "$status $err"
    unplug
done

ports="$(/sim/usb-serial.sh plug 0) $(/sim/usb-serial.sh plug 1)"
check "two USB-serial adapters appear as ttyACM0 and ttyACM1, with links by id" \
    "/dev/ttyACM0 /dev/ttyGS0 /dev/ttyACM1 /dev/ttyGS1 /dev/ttyACM0 /dev/ttyACM1" \
    "$ports $(readlink -f /dev/serial/by-id/usb-Tovra_test_USB-serial_0_S0000-if00) $(readlink -f /dev/serial/by-id/*_1_S0001-if00)"
stty -F /dev/ttyACM0 57600 raw -echo && stty -F /dev/ttyGS0 raw -echo
check "bytes cross between ttyACM0 and ttyGS0 both ways at 57600 raw" "hello world" \
    "$(cross /dev/ttyACM0 /dev/ttyGS0 hello) $(cross /dev/ttyGS0 /dev/ttyACM0 world)"
timeout 5 dd if=/dev/ttyACM0 bs=1 count=1 2>/tmp/err & opened /dev/ttyACM0
/sim/usb-serial.sh unplug 0 && wait $!
check "a reader of a ttyACM whose adapter is pulled out finds end of file" "0 0+0 records in" "$? $(head -n 1 /tmp/err)"
udevadm settle
check "the ttyACM goes with its adapter" "gone" "$([ -e /dev/ttyACM0 ] || echo gone)"
ports=$(/sim/usb-serial.sh plug 0) && stty -F /dev/ttyACM0 57600 raw -echo
check "a replugged adapter is ttyACM0 again and carries bytes" "/dev/ttyACM0 /dev/ttyGS0 again" "$ports $(cross /dev/ttyACM0 /dev/ttyGS0 again)"

[ "$failed" -eq 0 ] || dmesg | tail -n 60 >&2  # into the console log
echo "$passed passed, $failed failed"
