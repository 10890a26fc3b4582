#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Runs every built Google Benchmark binary, then every whole-process benchmark
# script beside this one. Usage: bench/run.sh BUILD_DIR
set -eu
build=${1:?usage: bench/run.sh BUILD_DIR}
here=$(cd "$(dirname "$0")" && pwd)
status=0
ran=0
for bin in "$build"/bench/*_bench; do
  [ -x "$bin" ] || continue
  ran=1
  echo "== $(basename "$bin")"
  "$bin" --benchmark_counters_tabular=true || status=1
done
for script in "$here"/*.sh; do
  [ "$(basename "$script")" = run.sh ] && continue
  [ -x "$script" ] || continue
  ran=1
  echo "== $(basename "$script")"
  "$script" "$build" || status=1
done
[ "$ran" -eq 1 ] || { echo "bench: nothing built under $build/bench" >&2; exit 1; }
exit "$status"
