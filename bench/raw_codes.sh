#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Whole-process cost of one typical run: tovra-control sending four raw codes
# through the simulated USB controller. Reports the median and 95th percentile
# wall time and the peak resident memory over RUNS runs (default 200).
# Usage: bench/raw_codes.sh <build dir holding tovra-control and sim/libtovra-simusb.so>
set -eu

build=${1:?usage: $0 <build dir>}
runs=${RUNS:-200}
tool=$(cd "$build" && pwd)/tovra-control
sim=$(cd "$build" && pwd)/sim/libtovra-simusb.so
for file in "$tool" "$sim"; do
    [ -e "$file" ] || { echo "raw_codes: $file not built" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf 'device 6666:f100\n' >"$work/scenario"

# Spawns the program RUNS times with exactly the given environment and takes
# the wall time of each run and the children's peak RSS from wait4.
cat >"$work/spawn.cpp" <<'EOF'
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

int main(int argc, char** argv)
{
    // spawn RUNS NAME=VALUE... -- PROGRAM ARGS...
    const int runs = std::atoi(argv[1]);
    std::vector<char*> env;
    int i = 2;
    for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
        env.push_back(argv[i]);
    env.push_back(nullptr);
    char** command = argv + i + 1;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);

    std::vector<double> ms;
    long peak_kb = 0;
    for (int run = 0; run < runs; ++run) {
        const auto start = std::chrono::steady_clock::now();
        pid_t pid;
        if (posix_spawn(&pid, command[0], &actions, nullptr, command, env.data()) != 0) {
            std::perror("posix_spawn");
            return 1;
        }
        int status = 0;
        rusage usage{};
        if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::fprintf(stderr, "run %d failed (status %d)\n", run, status);
            return 1;
        }
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        peak_kb = std::max(peak_kb, usage.ru_maxrss);
    }
    std::sort(ms.begin(), ms.end());
    const double median = ms[ms.size() / 2];
    const double p95 = ms[std::min(ms.size() - 1, ms.size() * 95 / 100)];
    std::printf("%.3f %.3f %ld\n", median, p95, peak_kb);
    return 0;
}
EOF
${CXX:-c++} -std=c++20 -O2 -o "$work/spawn" "$work/spawn.cpp"

codes="0001 0002 0003 0004"

# One checked run first: all four codes must reach the simulated controller.
"$work/spawn" 1 "TOVRA_SIM_USB=$work/scenario" "TOVRA_SIM_USB_LOG=$work/usb.log" "LD_PRELOAD=$sim" \
    -- "$tool" $codes >/dev/null
sent=$(grep -c '^report out .*| code 000[1-4] output 1$' "$work/usb.log" || true)
[ "$sent" -eq 4 ] || { echo "raw_codes: expected 4 codes at the controller, saw $sent" >&2; exit 1; }

# The measured runs keep no simulator log, so only the program's own work counts.
figures=$("$work/spawn" "$runs" "TOVRA_SIM_USB=$work/scenario" "LD_PRELOAD=$sim" -- "$tool" $codes) || exit 1
set -- $figures
median=$1 p95=$2 peak=$3

verdict() { awk -v v="$1" -v limit="$2" 'BEGIN { print (v < limit) ? "ok" : "MISSED" }'; }
echo "raw_codes: $runs runs of 'tovra-control $codes' on the simulated USB controller"
echo "  wall time median ${median} ms (target < 5 ms: $(verdict "$median" 5)), 95th percentile ${p95} ms"
echo "  peak RSS ${peak} kB (target < 4096 kB: $(verdict "$peak" 4096))"
