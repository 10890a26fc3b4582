#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Runs tovra-control against the simulated hardware and shows what each side saw:
# a simulated USB controller (preloaded in place of libusb-0.1) and a simulated
# Sky+ box on a pseudo-terminal, reached through the USB controller or through a
# simulated RS232 controller.
set -euo pipefail
build=${1:-build}
tool=${2:-$build/tovra-control}  # another tovra-control, such as the installed one, against the same simulators
simusb=$build/sim/libtovra-simusb.so
skybox=$build/sim/sky-box
work=$(mktemp -d)
box_pid=
cleanup() {
  [ -n "$box_pid" ] && kill "$box_pid" 2>/dev/null && wait "$box_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

cat > "$work/scenario" <<'SCENARIO'
bus
device 1d6b:0002
device 6666:f100 release=0102 manufacturer="Tovra" product="USB IR controller" serial="TC000417" version=2.1.0
SCENARIO

# Starts a box with the given switches and reads its ports from its first lines.
start_box() {
  [ -n "$box_pid" ] && kill "$box_pid" 2>/dev/null && wait "$box_pid" 2>/dev/null || true
  : > "$work/box.log"
  coproc BOX { exec "$skybox" --quiet --log "$work/box.log" "$@"; }
  box_pid=$BOX_PID
  while read -r key value <&"${BOX[0]}"; do
    case $key in
      box-port) box_port=$value ;;
      controller-port) controller_port=$value ;;
      keys-fifo) keys_fifo=$value ;;
      ready) break ;;
    esac
  done
}

run() {
  echo "\$ tovra-control $*"
  set +e
  TOVRA_SIM_USB=$work/scenario TOVRA_SIM_USB_LOG=$work/usb.log TOVRA_SIM_BOX=${keys_fifo:-} \
    LD_PRELOAD=$simusb "$tool" "$@" 2>&1 | sed 's/^/  | /'
  status=${PIPESTATUS[0]}
  set -e
  echo "  exit status $status"
}

show() {
  echo "  $1:"
  sed 's/^/    /' "$2"
  : > "$2"
}

banner() { printf '\n=== %s ===\n' "$1"; }

: > "$work/usb.log"
keys_fifo=
banner "Raw codes to output 2 of the first USB controller, with its identification"
run --debug --output 2 0C01 0C00 0C01
show "the simulated USB controller saw" "$work/usb.log"

banner "Confirmed channel change on a Sky+ box through the USB controller"
start_box --output 1 --channel-now 100
run --sky+ --feedback "$box_port" --channel 101
grep '^report out' "$work/usb.log" > "$work/reports" || true; : > "$work/usb.log"
show "reports that reached the USB controller" "$work/reports"
show "the simulated box saw and did" "$work/box.log"

banner "A change the box refuses"
start_box --output 1 --channel-error "Channel not available"
run --sky+ --feedback "$box_port" --channel 999
: > "$work/usb.log"
show "the simulated box saw and did" "$work/box.log"

banner "Confirmed channel change through a simulated RS232 controller"
start_box --output 3 --channel-now 101
run --scontroller "$controller_port" --output 3 --sky+ --feedback "$box_port" --channel 402
show "the simulated box saw and did" "$work/box.log"
