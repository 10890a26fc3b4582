#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Several tuners on one controller: N confirmed channel changes started at the
# same moment on one simulated USB controller, as a PVR starts them, each
# 'tovra-control --sky+ --output K --feedback <box K> --channel 101' with its
# own sky-box that reports 1 s after each key. Prints, for N = 1, 2, 4, 8, the
# median wall time of ROUNDS rounds (default 3) from the start of the N runs to
# the end of the last, and its ratio to one tuner. The confirmations overlap
# only when a run lets go of the controller once its keys are out: the goal is
# 4 tuners within 1.5 x one (exit status 1 otherwise, or when a run fails).
# Usage: bench/tuners.sh <build dir holding tovra-control, sim/libtovra-simusb.so and sim/sky-box>
set -eu

build=${1:?usage: $0 <build dir>}
rounds=${ROUNDS:-3}
dir=$(cd "$build" && pwd)
tool=$dir/tovra-control
sim=$dir/sim/libtovra-simusb.so
box=$dir/sim/sky-box
for file in "$tool" "$sim" "$box"; do
    [ -e "$file" ] || { echo "tuners: $file not built" >&2; exit 1; }
done

work=$(mktemp -d)
boxes=
pids=
cleanup() {
    kill $boxes $pids 2>/dev/null || true
    wait
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' HUP INT TERM

# One controller; every run finds its lock in the same folders, so that the
# runs take turns on it as on a real PVR.
printf 'device 6666:f100\n' >"$work/scenario"

# The boxes read their stdin from a FIFO that only this script writes to: they
# end at its end of file even if this script is killed before its clean-up.
mkfifo "$work/hold"
exec 3<>"$work/hold"

# Fresh boxes for every round: a box's late reports of one round must not
# reach a run of the next. Sets port<K> and keys<K> for K = 1..N.
start_boxes() {
    for k in $(seq "$1"); do
        "$box" --output "$k" --latency 1000 --quiet <"$work/hold" >"$work/box$k" 3>&- &
        boxes="$boxes $!"
    done
    for k in $(seq "$1"); do
        tries=0
        until grep -qx ready "$work/box$k"; do
            tries=$((tries + 1))
            [ "$tries" -le 100 ] || { echo "tuners: sky-box $k not ready after 5 s" >&2; exit 1; }
            sleep 0.05
        done
        eval "port$k=\$(sed -n 's/^box-port //p' \"\$work/box$k\")"
        eval "keys$k=\$(sed -n 's/^keys-fifo //p' \"\$work/box$k\")"
    done
}

stop_boxes() {
    kill $boxes 2>/dev/null || true
    for pid in $boxes; do wait "$pid" || true; done
    boxes=
}

# Starts N runs at once and waits for them all (45 s at most each: 30 s for
# the lock, 10 s for the box, some to spare); sets $seconds to the wall time.
round() {
    n=$1
    pids=
    start=$(date +%s.%N)
    for k in $(seq "$n"); do
        eval "port=\$port$k keys=\$keys$k"
        timeout 45 env LD_PRELOAD="$sim" TOVRA_SIM_USB="$work/scenario" TOVRA_SIM_BOX="$keys" \
            TOVRA_SIM_LOCK_DIR="$work" TOVRA_SIM_USB_DEVDIR="$work/dev" \
            "$tool" --sky+ --output "$k" --feedback "$port" --channel 101 >"$work/out$k" 2>&1 3>&- &
        pids="$pids $!"
    done
    failed=
    k=1
    for pid in $pids; do
        wait "$pid" || failed="$failed $k"
        # A run that could not lock would overlap with the others for the wrong reason.
        ! grep -q 'cannot lock' "$work/out$k" || failed="$failed $k"
        k=$((k + 1))
    done
    seconds=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.3f", b - a }')
    for k in $failed; do
        echo "tuners: run $k of $n failed, its output:" >&2
        cat "$work/out$k" >&2
    done
    [ -z "$failed" ] || exit 1
    pids=
}

echo "tuners: N confirmed changes at once on one simulated USB controller, each box reporting 1 s after each key; median of $rounds rounds"
for n in 1 2 4 8; do
    times=
    i=0
    while [ "$i" -lt "$rounds" ]; do
        start_boxes "$n"
        round "$n"
        stop_boxes
        times="$times $seconds"
        i=$((i + 1))
    done
    median=$(printf '%s\n' $times | sort -n | sed -n "$(((rounds + 1) / 2))p")
    if [ "$n" -eq 1 ]; then one=$median; fi
    ratio=$(awk -v t="$median" -v one="$one" 'BEGIN { printf "%.2f", t / one }')
    printf 'tuners %d: %.2f s, %s x one tuner\n' "$n" "$median" "$ratio"
    if [ "$n" -eq 4 ]; then four=$ratio; fi
done
if awk -v r="$four" 'BEGIN { exit !(r <= 1.5) }'; then
    echo "tuners: 4 at once take $four x one: within 1.5 x one (ok)"
else
    echo "tuners: 4 at once take $four x one: not within 1.5 x one (MISSED)"
    exit 1
fi
