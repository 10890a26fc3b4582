#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Runs every fuzz target for a bounded time over its seed corpus.
# Usage: fuzz/run.sh BUILD_DIR SECONDS
# Exits non-zero when a target finds a crash, leak or time-out.
set -eu
build=${1:?usage: fuzz/run.sh BUILD_DIR SECONDS}
seconds=${2:-60}
here=$(cd "$(dirname "$0")" && pwd)
status=0
found=0
for seeds in "$here"/corpus/*/; do
  name=$(basename "$seeds")
  target="$build/fuzz/${name}_fuzz"
  if [ ! -x "$target" ]; then
    echo "fuzz: $target not built" >&2
    exit 1
  fi
  found=1
  # New inputs go to a working corpus in the build tree; the seeds stay as shipped.
  work="$build/fuzz/corpus-$name"
  artifacts="$build/fuzz/artifacts-$name/"
  mkdir -p "$work" "$artifacts"
  log="$build/fuzz/$name.log"
  echo "fuzz: $name for ${seconds}s (log $log)"
  rc=0
  "$target" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$artifacts" "$work" "$seeds" >"$log" 2>&1 || rc=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  echo "fuzz: $name executions: ${execs:-unknown}"
  if [ "$rc" -ne 0 ]; then
    echo "fuzz: $name FAILED (exit $rc); artifacts in $artifacts" >&2
    tail -n 40 "$log" >&2
    status=1
  else
    echo "fuzz: $name no finding"
  fi
done
[ "$found" -eq 1 ] || { echo "fuzz: no corpus under $here/corpus" >&2; exit 1; }
exit "$status"
