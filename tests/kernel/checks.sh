#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# The checks of make kernel-test, run as root by the guest's /init: the real tovra-control on the kernel's USB stack,
# against controllers played over USB/IP (usbip-controller), USB-serial adapters played by ACM gadgets (usb-serial.sh)
# and boxes (sky-box) at the adapters' far ends. One line per check, "ok - BEHAVIOUR" or "FAIL - BEHAVIOUR: WHY", and
# the closing "N passed, N failed".
passed=0 failed=0 nl='
'
# check BEHAVIOUR EXPECTED ACTUAL: ACTUAL must match EXPECTED, a shell pattern.
check() {
    case $3 in
    $2) passed=$((passed + 1)) && echo "ok - $1" ;;
    *) failed=$((failed + 1)) && printf 'FAIL - %s: expected [%s], got [%s]' "$1" "$2" "$3" | tr '\n' '|' && echo ;;
    esac
}
# Runs a command (at most 20 s); its status, stdout and stderr in $status, $out, $err, its times in /tmp/time.
run() { time -f '%e %U %S' -o /tmp/time timeout 20 "$@" >/tmp/out 2>/tmp/err; status=$? out=$(cat /tmp/out) err=$(cat /tmp/err); }
# took CONDITION WORDS: WORDS when the last timed command's seconds (real $1, user $2, system $3) meet CONDITION.
took() { tail -n 1 /tmp/time | awk "{ print (($1) ? \"$2\" : \$0) }"; }
# The processor time (user and system) that process PID has taken so far, in seconds.
cputime() { awk '{ print ($14 + $15) / 100 }' "/proc/$1/stat"; }
# Evaluates CONDITION until it holds, for at most 10 s.
waitfor() { for _ in $(seq 100); do eval "$1" >/dev/null 2>&1 && return; sleep 0.1; done; return 1; }
# The sysfs folder and the node of the controller with serial number SERIAL.
sysfs() { d=$(grep -lx "$1" /sys/bus/usb/devices/*/serial) && echo "${d%/serial}"; }
nodeof() { printf /dev/bus/usb/%03d/%03d "$(cat "$(sysfs "$1")/busnum")" "$(cat "$(sysfs "$1")/devnum")"; }
# plug SERIAL [KEYS [BUSES]]: plugs in a controller of that serial number and scenario KEYS, on the vhci_hcd that
# BUSES ("bus" lines) lead to; it logs to /tmp/SERIAL.log and hands keys to the boxes. Returns once usbhid has it and
# udev is done, with its sysfs folder in $dev, its node in $node.
plug() {
    printf '%sdevice 6666:f100 serial="%s" %s\n' "$3" "$1" "$2" >"/tmp/$1.scenario" && : >"/tmp/$1.log"
    TOVRA_SIM_BOX=/tmp/box0:/tmp/box1:/tmp/box2:/tmp/box3 /sim/usbip-controller "/tmp/$1.scenario" "/tmp/$1.log" >/dev/null &
    echo $! >"/tmp/$1.pid"
    waitfor "dev=\$(sysfs $1) && [ -e \$dev:1.0/driver ]" && udevadm settle
    node=$(nodeof "$1")
}
unplug() {
    for serial; do kill "$(cat "/tmp/$serial.pid")" 2>/dev/null; wait "$(cat "/tmp/$serial.pid")"; waitfor "! sysfs $serial"; done
    udevadm settle
}
# The reports in controller SERIAL's log: their bytes, "2s " before one that came 2 to 4 s after the one before it,
# "late " before one after another wait of 1 s or more; joined by "|".
reports() {
    awk -F' [|] ' '/^report out/ { sub(/.*: /, "", $1); t = $NF + 0; g = n++ ? t - p : 0; p = t
        printf "%s%s%s", (n > 1 ? "|" : ""), (g >= 2000 && g < 4000 ? "2s " : g >= 1000 ? "late " : ""), $1 }' "/tmp/$1.log"
}
# Reports as reports() shows them, from "|"-separated ones given without their filler bytes (7a).
want() { echo "$1" | tr '|' '\n' | awk '{ s = $0; for (n = NF - ($1 == "2s"); n < 8; n++) s = s " 7a"; printf "%s%s", (NR > 1 ? "|" : ""), s }'; }
# Waits until some process has FILE open.
opened() { waitfor "ls -l /proc/[0-9]*/fd | grep -q ' $1\$'"; }
# FROM TO TEXT: TEXT written on port FROM arrives on port TO.
cross() {
    timeout 5 head -c ${#3} "$2" >/tmp/got & opened "$2"
    printf %s "$3" >"$1" && wait $! && cat /tmp/got
}
# box N [OPTIONS]: (re)starts the box at adapter N's far end, /dev/ttyGSN, its keys coming through /tmp/boxN, its
# events in /tmp/boxN.log.
mkfifo /tmp/hold  # an input that never ends, for the programs that would stop at its end
box() {
    n=$1 && shift
    [ -e "/tmp/box$n.pid" ] && kill "$(cat "/tmp/box$n.pid")" && wait "$(cat "/tmp/box$n.pid")"
    : >"/tmp/box$n.log" && : >"/tmp/box$n.out"
    /sim/sky-box --port "/dev/ttyGS$n" --keys-fifo "/tmp/box$n" --log "/tmp/box$n.log" --quiet "$@" <>/tmp/hold >"/tmp/box$n.out" &
    echo $! >"/tmp/box$n.pid" && waitfor "grep -q ready /tmp/box$n.out"
}

ports=$(for n in 0 1 2 3; do /sim/usb-serial.sh plug $n; done | tr '\n' ' ')
check "four USB-serial adapters appear as ttyACM0 to ttyACM3, with links by id" \
    "/dev/ttyACM0 /dev/ttyGS0 /dev/ttyACM1 /dev/ttyGS1 /dev/ttyACM2 /dev/ttyGS2 /dev/ttyACM3 /dev/ttyGS3 /dev/ttyACM0 /dev/ttyACM3" \
    "$ports$(readlink -f /dev/serial/by-id/usb-Tovra_test_USB-serial_0_S0000-if00) $(readlink -f /dev/serial/by-id/*_3_S0003-if00)"
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

plug A0042 'manufacturer="Tovra Ltd" product="USB controller" release=0110 version=1.2.3'
check "the controller enumerates as 6666:f100, release 0110" "6666:f100 0110" "$(cat "$dev/idVendor"):$(cat "$dev/idProduct") $(cat "$dev/bcdDevice")"
check "usbhid binds to its interface 0" "usbhid" "$(basename "$(readlink "$dev:1.0/driver")")"
check "the host sees its endpoints 0x01 and 0x81" "ep_01 ep_81" "$(cd "$dev:1.0" && echo ep_*)"
check "udev gives its node to plugdev (0660) with links by serial and by path" "plugdev 660 $node $node" \
    "$(stat -c '%G %a' "$node") $(readlink -f /dev/tovra/by-serial/A0042) $(readlink -f /dev/tovra/by-path/*)"
run tovra-control --debug
check "the first run after a plug identifies the controller, detaches usbhid and reads the version" \
    "0 Found device: 1d6b-0002${nl}Found device: 6666-f100${nl}Found tovra control num 0${nl}- Manufacturer : Tovra Ltd${nl}- Product : USB controller${nl}- Serial Number: A0042${nl}- Version Number: 1.16${nl}Trying to detach kernel driver${nl}detach successful${nl}sending: byte 113${nl}- Full version 1.2.3" \
    "$status $out"
check "the controller gets the version query and its reply goes back" \
    "report out 001/001: 71 7a 7a 7a 7a 7a 7a 7a | version query | * ms${nl}report in 001/001: 01 02 03 7a 7a 7a 7a 7a | * ms" \
    "$(grep ^report /tmp/A0042.log)"
run tovra-control --debug
check "a second run finds no driver to detach" "0 *${nl}Trying to detach kernel driver${nl}Device already detached${nl}*" "$status $out"
for row in "1 0001:30 00 01" "2 0C01 0c00:31 0c 01|31 0c 00" "5 5C80:43 04 5c 80" "15 FFFE:43 0e ff fe"; do
    set -- ${row%%:*} && : >/tmp/A0042.log && run tovra-control --output "$@"
    output=$1 && shift
    check "codes $* to output $output go out as $(want "${row#*:}")" "0 $(want "${row#*:}")" "$status $(reports A0042)"
done
for row in "--sky 1 123:30 00 80|30 00 01|30 00 02|30 00 03|2s 30 00 83" "--sky+ 2 356:31 0c 80|31 0c 03|31 0c 05|31 0c 06|2s 31 0c 83" \
    "--sky+hd 5 101:43 04 5c 80|43 04 5c 01|43 04 5c 00|43 04 5c 01|2s 43 04 5c 83"; do
    set -- ${row%%:*} && : >/tmp/A0042.log && run tovra-control "$1" --output "$2" --channel "$3"
    check "$1 --channel $3 to output $2: Sky and digits at once, Backup 2 s later, as $(want "${row#*:}")" \
        "0 $(want "${row#*:}")" "$status $(reports A0042)"
done
for row in "1:73 4b 96 96 05 dc 0a 8b|75 01" "2:74 4b 96 96 05 dc 0a 8b|76 01"; do
    : >/tmp/A0042.log && run tovra-control --setup --output "${row%%:*}"
    check "--setup on output ${row%%:*} sends $(want "${row#*:}")" "0 $(want "${row#*:}")" "$status $(reports A0042)"
done
run su pvr -c 'tovra-control 0001'
check "a member of plugdev may use the controller" "0" "$status"
run su guest -c 'tovra-control 0001'
check "a user outside plugdev is told which node he cannot open" \
    "1 *The USB controller $node (group plugdev, mode 0660) cannot be opened by this user:*" "$status $err"

# Confirmed changes: the box at the far end of adapter 0, the run on ttyACM0.
box 0
run tovra-control --feedback /dev/ttyACM0 --channel 101
check "a box that reports the channel asked for confirms the change" "0 Tuning successful, channel '101' selected${nl}*" "$status $out"
box 0 --wrong-channel 100
run tovra-control --feedback /dev/ttyACM0 --channel 101
check "a box that reports another channel fails the change" "1 Tuning failed, channel '100' selected${nl}*${nl}Failed" "$status $out"
box 0 --silent
(sleep 3 && stty -F /dev/ttyACM0 -g >/tmp/stty) &
run tovra-control --feedback /dev/ttyACM0 --channel 101
check "a box that says nothing fails the change after 10 s" "1 select timed out${nl}Failed reading response from sky box. after 10 s" \
    "$status $out $(took '$1 >= 9 && $1 < 12' 'after 10 s')"
check "while it waits the run holds the box's port raw at 57600 baud, 8N1 (flags, VTIME, VMIN)" "4:0:18b1:0:0:1" "$(cut -d: -f1-4,10,11 /tmp/stty)"
box 0 --output 3 --family sky+ --controller-port /dev/ttyGS1
run tovra-control --scontroller /dev/ttyACM1 --output 3 --sky+ --feedback /dev/ttyACM0 --channel 101
check "an RS232 controller on adapter 1 sends the frames and the box on adapter 0 confirms" \
    "0 Tuning successful, channel '101' selected${nl}*|frame 43 02 0c 80|frame 43 02 0c 01|frame 43 02 0c 00|frame 43 02 0c 01|frame 43 02 0c 09|frame 43 02 0c 83|" \
    "$status $out|$(grep ^frame /tmp/box0.log | tr '\n' '|')"
box 0 --silent && : >/tmp/A0042.log
time -f '%e %U %S' -o /tmp/time timeout 20 tovra-control --feedback /dev/ttyACM0 --channel 101 >/tmp/out 2>&1 & pid=$!
# Its processor time counts from its last key on (a busy host makes a TCG guest charge a run's start dearly): waiting
# 1 s takes none, spinning all of it.
waitfor "grep -q 'code 0083' /tmp/A0042.log" && start=$(cputime "$(pidof tovra-control)") && sleep 1 && /sim/usb-serial.sh unplug 0
wait $pid
check "a run whose box's adapter is pulled out while it waits ends at once, without spinning" \
    "1 Failed reading response from sky box. at once" "$? $(cat /tmp/out) $(took "\$1 < 5 && \$2 + \$3 - ${start:-0} < 0.5" 'at once')"
: >/tmp/A0042.log && run tovra-control --feedback /dev/ttyACM0 --channel 101
check "a run whose box's adapter is absent says so and sends nothing" \
    "1 /dev/ttyACM0: No such file or directory${nl}Opening feedback serial port failed: No such file or directory " "$status $err $(reports A0042)"
/sim/usb-serial.sh plug 0 >/dev/null && box 0
run tovra-control --feedback /dev/ttyACM0 --channel 101
check "a replugged adapter confirms a change again" "0 Tuning successful, channel '101' selected${nl}*" "$status $out"
timeout 20 script -q -c 'stty -g >/tmp/before; tovra-terminal /dev/ttyACM0 2>/tmp/term; echo $? >>/tmp/term; stty -g >/tmp/after' /dev/null \
    <>/tmp/hold >/dev/null & pid=$!
waitfor 'grep -q Connected /tmp/term' && sleep 0.3 && /sim/usb-serial.sh unplug 0
wait $pid
check "tovra-terminal ends when its adapter is pulled out and restores its console" "Got EOF on serial port${nl}0 same" \
    "$(tail -n 2 /tmp/term) $(cmp -s /tmp/before /tmp/after && echo same)"

# Four tuners on one controller, each box on an adapter of its own; two runs by root, two by pvr.
/sim/usb-serial.sh plug 0 >/dev/null
for n in 0 1 2 3; do box $n --output $((n + 1)); done
: >/tmp/A0042.log && pids=
for n in 1 2 3 4; do
    command="tovra-control --output $n --feedback /dev/ttyACM$((n - 1)) --channel ${n}0$n"
    [ $n -le 2 ] || command="su pvr -c '$command'"
    (eval "timeout 20 $command"; echo "status $?") >/tmp/tuner$n 2>&1 & pids="$pids $!"
done
wait $pids
check "four confirmed changes at once on one controller, two by pvr, each get their box's verdict" \
    "$(for n in 1 2 3 4; do printf "Tuning successful, channel '%s' selected status 0 " ${n}0$n; done)" \
    "$(grep -h -e Tuning -e status /tmp/tuner[1-4] | tr '\n' ' ')"
check "each tuner's Sky, digits, 9 and Backup go out together" \
    "1: 0080 0001 0000 0001 0009 0083|2: 0080 0002 0000 0002 0009 0083|3: 0080 0003 0000 0003 0009 0083|4: 0080 0004 0000 0004 0009 0083|" \
    "$(awk -F' [|] ' '/^report out/ { split($2, w, " "); if (w[4] != o) printf "%s%s:", (o == "" ? "" : "\n"), w[4]
        printf " %s", w[2]; o = w[4] } END { print "" }' /tmp/A0042.log | sort | tr '\n' '|')"

: >/tmp/A0042.log
timeout 20 tovra-control --channel 123 >/tmp/out 2>/tmp/err & pid=$!
waitfor "grep -q 'code 0003 output 1' /tmp/A0042.log"; unplug A0042; wait $pid
check "a controller pulled out during the 2-second wait fails the Backup" \
    "1 usb_interrupt_write failed: No such device${nl}tovra_usb_sendcommand failed: No such device" "$? $(cat /tmp/err)"

# A PVR ends a run at any moment (SIGTERM, then SIGKILL) and starts the next at once: what the killed run held (the
# lock, the claim, a transfer in flight, the box's port) is the next run's, usbhid stays detached, and the controller
# got only what the killed run had sent.
# Row: MOMENT;SCENARIO;KILLED RUN'S ARGUMENTS;CONDITION THAT THE MOMENT HAS COME;TRANSFERS THE KERNEL
# CANCELLED;REPORTS BY THEN. The lock is held by a run stopped in its 2-second wait, whose Backup follows the kill. A
# fault counts the device's writes: each of its runs gets a fresh plug.
for row in "waits for the lock;;--debug 0001;grep -q 'Waiting for another run' /tmp/killed;0;30 00 83" \
    "sends its keys;write_fail=2:ETIMEDOUT;--channel 123;grep -q ^HELD /tmp/K1.log;1;30 00 80" \
    "waits 2 s before Backup;;--channel 123;grep -q 'code 0003' /tmp/K1.log;0;30 00 80|30 00 01|30 00 02|30 00 03" \
    "waits for the box's report;;--feedback /dev/ttyACM0 --channel 101;grep -q 'code 0083' /tmp/K1.log && ! ls -l /proc/\$pid/fd | grep -q \" \$node\$\";0;30 00 80|30 00 01|30 00 00|30 00 01|30 00 09|30 00 83"; do
    IFS=';' read -r moment keys args condition cancelled sent <<EOF
$row
EOF
    for signal in TERM:143 KILL:137; do
        [ "$signal" = TERM:143 ] || [ -n "$keys" ] && plug K1 "$keys"
        holder= && : >/tmp/K1.log
        case $moment in
        *lock) tovra-control --channel 123 >/dev/null 2>&1 & holder=$!
            waitfor "grep -q 'code 0003' /tmp/K1.log" && kill -STOP $holder && : >/tmp/K1.log ;;
        *report) box 0 --silent ;;
        esac
        tovra-control $args >/tmp/killed 2>&1 & pid=$!
        waitfor "$condition"; kill -"${signal%:*}" $pid; wait $pid
        killed=$?
        [ -z "$holder" ] || { kill -CONT $holder && wait $holder; killed="$killed, its holder $?"; }
        case $moment in *report) box 0 ;; esac
        killed="$killed $(basename "$(readlink "$dev:1.0/driver" || echo detached)"), $(grep -c '^UNLINK.*ECONNRESET' /tmp/K1.log) cancelled: $(reports K1)"
        : >/tmp/K1.log && run tovra-control --debug --feedback /dev/ttyACM0 --channel 101
        check "a run killed by SIG${signal%:*} while it $moment leaves controller and port to the next run" \
            "${signal#*:}$([ -z "$holder" ] || echo ', its holder 0') detached, $cancelled cancelled: $(want "$sent") | 0 *${nl}Trying to detach kernel driver${nl}Device already detached${nl}*Tuning successful, channel '101' selected* $(want "71|30 00 80|30 00 01|30 00 00|30 00 01|30 00 09|30 00 83")" \
            "$killed | $status $out $(reports K1)"
        [ "$signal" = KILL:137 ] || [ -n "$keys" ] && unplug K1
    done
done

# Faults of the run's only write; the errno names what the controller does.
for fault in "ETIMEDOUT:Connection timed out:never answers a report" "EPIPE:Input/output error:stalls a report" \
    "ENODEV:Input/output error:is pulled out during a report"; do
    plug F0001 "write_fail=1:${fault%%:*}"
    run tovra-control 0001
    reason=${fault#*:} && reason=${reason%%:*}
    # Pulled out mid-report, the transfer fails (EIO), or the reap does when the node has gone first (ENODEV, seen
    # with armhf programs on the emulated arm64 kernel): both are the kernel's answer to a pull-out.
    [ "${fault%%:*}" = ENODEV ] && [ "$err" = "usb_interrupt_write failed: No such device${nl}tovra_usb_sendcommand failed: No such device" ] &&
        reason="No such device"
    check "a controller that ${fault##*:} fails the run" \
        "1 usb_interrupt_write failed: $reason${nl}tovra_usb_sendcommand failed: $reason" "$status $err"
    unplug F0001
done

# Without the package's rules udev leaves the node root's, readable by all. udevd starts afresh on each change of its
# rules: once, after a reload, they still gave the next controller's node to plugdev. The node's marking tells whether
# they ran.
restart_udev() { udevadm control --exit && waitfor '! pidof systemd-udevd' && /lib/systemd/systemd-udevd --daemon; }
mkdir /tmp/rules && mv /lib/udev/rules.d/6?-tovra-control*.rules /tmp/rules/ && restart_udev
plug R0001
check "without the package's rules the controller's node is root's, mode 0664" "root root 664" \
    "$(stat -c '%U %G %a' "$node")$(udevadm info -q property "$node" | sed -n 's/^ID_TOVRA_CONTROLLER=/, marked /p')"
run su pvr -c 'tovra-control 0001'
check "a user who may only read the node is told that it is not writable" \
    "1 usb_set_configuration failed: Operation not permitted${nl}tovra_usb_sendcommand failed: Operation not permitted${nl}The USB controller is not writable for this user: install the tovra-control udev rules, join the plugdev group (or log in locally), then unplug and replug the controller." \
    "$status $err"
unplug R0001 && mv /tmp/rules/* /lib/udev/rules.d/ && restart_udev

# Two controllers, each known by its serial number and its own log.
# selected ARGS: the serial number that --debug shows for the controller ARGS select, and the one whose log got the code.
selected() {
    : >/tmp/C1.log && : >/tmp/C2.log && run tovra-control --debug "$@" 0001
    echo "$(echo "$out" | sed -n 's/^- Serial Number: //p')" "$(grep -l 'code 0001' /tmp/C?.log | sed 's,/tmp/\(.*\)\.log,\1,')"
}
plug C1 && plug C2
check "on one bus --controller 1 and 2 are C1 and C2, in the order plugged" "C1 C1 C2 C2" "$(selected --controller 1) $(selected --controller 2)"
unplug C1 C2 && plug C2 && plug C1
check "on one bus --controller 1 and 2 are C2 and C1 when C2 was plugged first" "C2 C2 C1 C1" "$(selected --controller 1) $(selected --controller 2)"
unplug C1 C2 && plug C2 '' "bus${nl}bus${nl}" && plug C1
check "C1 on bus 1 is --controller 1 before C2 on a later bus, plugged first with a lower device number" "C1 C1 C2 C2 lower" \
    "$(selected --controller 1) $(selected --controller 2) $([ "$(cat "$(sysfs C2)/busnum")" -gt 1 ] && [ "$(cat "$(sysfs C2)/devnum")" -lt "$(cat "$(sysfs C1)/devnum")" ] && echo lower)"
check "udev links each controller by serial and by path" "$(nodeof C1) $(nodeof C2)${nl}$(printf '%s\n' "$(nodeof C1)" "$(nodeof C2)" | sort)" \
    "$(readlink -f /dev/tovra/by-serial/C1) $(readlink -f /dev/tovra/by-serial/C2)${nl}$(for link in /dev/tovra/by-path/*; do readlink -f "$link"; done | sort)"
for path in "$(nodeof C2)" /dev/tovra/by-serial/C2 "$(for link in /dev/tovra/by-path/*; do [ "$(readlink -f "$link")" = "$(nodeof C2)" ] && echo "$link"; done)"; do
    check "--controller $path selects C2" "C2 C2" "$(selected --controller "$path")"
done

[ "$failed" -eq 0 ] || dmesg | tail -n 60 >&2  # into the console log
echo "$passed passed, $failed failed"
