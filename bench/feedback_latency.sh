#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Confirmed channel change (--feedback) on the simulated USB controller, the
# box played on a pseudo-terminal:
#  (a) latency from the write of the last byte of the deciding packet on the
#      box's port to the exit of tovra-control: median and 95th percentile over
#      RUNS runs (default 50);
#  (b) CPU time (user + sys, from wait4) that tovra-control spends per kB read
#      from the port while the box sends packets that decide nothing at line
#      rate (57600 baud, 8N1: 5760 bytes/s) for CPU_SECONDS (default 3), once
#      byte by byte as a UART without a FIFO delivers them (the worst case),
#      once a whole packet per write. The cost of a run without chatter is
#      subtracted; each figure is the median of 3 runs.
# Usage: bench/feedback_latency.sh <build dir holding tovra-control and sim/libtovra-simusb.so>
set -eu

build=${1:?usage: $0 <build dir>}
runs=${RUNS:-50}
seconds=${CPU_SECONDS:-3}
here=$(cd "$(dirname "$0")" && pwd)
tool=$(cd "$build" && pwd)/tovra-control
sim=$(cd "$build" && pwd)/sim/libtovra-simusb.so
for file in "$tool" "$sim"; do
    [ -e "$file" ] || { echo "feedback_latency: $file not built" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf 'device 6666:f100\n' >"$work/scenario"

cat >"$work/box.cpp" <<'EOF'
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "sim/gnome_packet.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr double kLineBytesPerSecond = 57600.0 / 10;  // 8N1: ten bits a byte

[[noreturn]] void die(const char* what)
{
    std::perror(what);
    std::exit(1);
}

std::string tool, sim, scenario, work, fifo_path;
int fifo = -1;

// One run of the tool against a fresh box port; the port's master is ours.
struct Run {
    pid_t pid = -1;
    int master = -1;
    int slave = -1;
};

Run start_run(const char* out_path)
{
    Run run;
    if (openpty(&run.master, &run.slave, nullptr, nullptr, nullptr) != 0)
        die("openpty");
    termios raw{};
    tcgetattr(run.slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(run.slave, TCSANOW, &raw);
    char name[128];
    if (ptsname_r(run.master, name, sizeof name) != 0)
        die("ptsname_r");

    std::vector<std::string> args{tool, "--sky+", "--feedback", name, "--channel", "101"};
    std::vector<std::string> env{"TOVRA_SIM_USB=" + scenario, "LD_PRELOAD=" + sim, "TOVRA_SIM_BOX=" + fifo_path,
                                 "TOVRA_SIM_LOCK_DIR=" + work, "PATH=/usr/bin:/bin", "LC_ALL=C"};
    std::vector<char*> argv, envp;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, out_path, O_WRONLY | O_APPEND, 0);
    posix_spawn_file_actions_addclose(&actions, run.master);
    posix_spawn_file_actions_addclose(&actions, run.slave);
    posix_spawn_file_actions_addclose(&actions, fifo);
    if (posix_spawn(&run.pid, tool.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0)
        die("posix_spawn");
    posix_spawn_file_actions_destroy(&actions);
    return run;
}

// Waits until the simulated controller has delivered Backup: the tool is
// then in its confirmation, reading the port.
void wait_for_backup()
{
    static std::string lines;
    const auto deadline = Clock::now() + 10s;
    while (lines.find("KEY 1 0c83\n") == std::string::npos) {
        if (Clock::now() > deadline) {
            std::fprintf(stderr, "feedback_latency: the keys never went out\n");
            std::exit(1);
        }
        pollfd ready{fifo, POLLIN, 0};
        if (poll(&ready, 1, 100) == 1) {
            char chunk[512];
            const ssize_t n = read(fifo, chunk, sizeof chunk);
            if (n > 0)
                lines.append(chunk, static_cast<std::size_t>(n));
        }
    }
    lines.clear();
}

void send(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n <= 0)
            die("write to the box port");
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

// Waits until the tool has taken every byte written so far.
void wait_drained(const Run& run)
{
    int waiting = 1;
    const auto deadline = Clock::now() + 5s;
    while (ioctl(run.slave, FIONREAD, &waiting) == 0 && waiting > 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(200us);
}

double finish_run(Run& run, const char* out_path)
{
    int status = 0;
    rusage usage{};
    if (wait4(run.pid, &status, 0, &usage) != run.pid)
        die("wait4");
    close(run.master);
    close(run.slave);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "feedback_latency: run failed (status %d), its output:\n", status);
        std::FILE* out = std::fopen(out_path, "r");
        for (int c; out != nullptr && (c = std::fgetc(out)) != EOF;)
            std::fputc(c, stderr);
        std::exit(1);
    }
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6 +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

const std::string kDecider = gnome_encodePacket({{"CE00", "101"}, {"SSCN", "101"}});
const std::string kChatter = gnome_encodePacket({{"SSCN", "100"}, {"SSCA", "Sky News HD"}});

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void latency(int runs)
{
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        Run run = start_run("/dev/null");
        wait_for_backup();
        send(run.master, std::string_view(kDecider).substr(0, kDecider.size() - 1));
        wait_drained(run);
        std::this_thread::sleep_for(5ms);  // back asleep in select
        const auto start = Clock::now();
        send(run.master, std::string_view(kDecider).substr(kDecider.size() - 1));
        finish_run(run, "/dev/null");
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(ms.begin(), ms.end());
    std::printf("%.3f %.3f %.3f\n", ms[ms.size() / 2], ms[std::min(ms.size() - 1, ms.size() * 95 / 100)], ms.front());
}

// One run with chatter at line rate for the given time; returns the tool's
// CPU microseconds and the bytes it read.
std::pair<double, double> chatter_run(double seconds, bool byte_by_byte)
{
    const std::string out = work + "/out";
    Run run = start_run(out.c_str());
    wait_for_backup();
    const std::size_t total = static_cast<std::size_t>(seconds * kLineBytesPerSecond) / kChatter.size() * kChatter.size();
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    const std::size_t step = byte_by_byte ? 1 : kChatter.size();
    for (std::size_t sent = 0; sent < total; sent += step) {
        // Each write goes out when the line would have carried its last byte.
        const double due = static_cast<double>(sent + step) / kLineBytesPerSecond;
        timespec at = start;
        at.tv_sec += static_cast<time_t>(due);
        at.tv_nsec += static_cast<long>((due - static_cast<double>(static_cast<time_t>(due))) * 1e9);
        if (at.tv_nsec >= 1000000000L) {
            at.tv_sec += 1;
            at.tv_nsec -= 1000000000L;
        }
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) != 0) {
        }
        send(run.master, std::string_view(kChatter).substr(sent % kChatter.size(), step));
    }
    send(run.master, kDecider);
    const double cpu = finish_run(run, out.c_str());
    return {cpu, static_cast<double>(total + kDecider.size())};
}

}  // namespace

int main(int argc, char** argv)
{
    // box TOOL SIM SCENARIO WORK latency RUNS | cpu SECONDS
    if (argc != 7)
        return 2;
    tool = argv[1];
    sim = argv[2];
    scenario = argv[3];
    work = argv[4];
    fifo_path = work + "/keys";
    if (mkfifo(fifo_path.c_str(), 0600) != 0 && errno != EEXIST)
        die("mkfifo");
    fifo = open(fifo_path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fifo < 0)
        die("open fifo");

    if (std::strcmp(argv[5], "latency") == 0) {
        latency(std::atoi(argv[6]));
        return 0;
    }
    const double seconds = std::atof(argv[6]);
    std::vector<double> base;
    for (int i = 0; i < 3; ++i)
        base.push_back(chatter_run(0, false).first);
    const double idle = median(base);
    std::printf("%.0f", idle);
    for (bool byte_by_byte : {true, false}) {
        std::vector<double> per_kb;
        double kb = 0;
        for (int i = 0; i < 3; ++i) {
            const auto [cpu, bytes] = chatter_run(seconds, byte_by_byte);
            kb = bytes / 1000;
            per_kb.push_back((cpu - idle) / kb);
        }
        std::printf(" %.1f %.1f", kb, median(per_kb));
    }
    std::printf("\n");
    return 0;
}
EOF
${CXX:-c++} -std=c++20 -O2 -Wall -Wextra -I"$here/.." -o "$work/box" "$work/box.cpp" -lutil

verdict() { awk -v v="$1" -v limit="$2" 'BEGIN { print (v < limit) ? "ok" : "MISSED" }'; }

set -- $("$work/box" "$tool" "$sim" "$work/scenario" "$work" latency "$runs")
echo "feedback_latency: $runs runs of 'tovra-control --sky+ --feedback <pty> --channel 101' on the simulated USB controller"
echo "  last byte of the deciding packet -> process exit: median $1 ms (target < 2 ms: $(verdict "$1" 2)), 95th percentile $2 ms, fastest $3 ms"

set -- $("$work/box" "$tool" "$sim" "$work/scenario" "$work" cpu "$seconds")
echo "  CPU per kB read from the port, chatter at 57600 baud for ${seconds} s (a run without chatter costs $1 us, subtracted):"
echo "    byte by byte:      $3 us CPU per kB ($2 kB read)"
echo "    packet per write:  $5 us CPU per kB ($4 kB read)"
