// SPDX-License-Identifier: GPL-2.0-or-later
// Runs sharing a controller or port wait for each other; runs on different
// controllers do not.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

namespace {

using cli::CliTest;
using cli::RunResult;

class Lock : public CliTest {};

// Index of the first and last report for output n, to check that one run's
// keys are not split by another's.
std::pair<long, long> span_of(const std::vector<std::string>& codes, const std::string& output)
{
    long first = -1, last = -1;
    for (long i = 0; i < static_cast<long>(codes.size()); ++i) {
        if (codes[i].ends_with(output)) {
            if (first < 0)
                first = i;
            last = i;
        }
    }
    return {first, last};
}

bool said_waiting(const RunResult& r, const std::string& what)
{
    const auto lines = r.out_lines();
    return std::count(lines.begin(), lines.end(), "Waiting for another run using " + what) == 1;
}

TEST_F(Lock, TwoRunsOnOneControllerTakeTurnsAndBothSucceed)
{
    cli::RunOptions shared_log;  // both runs log to one file, in the order of their calls
    shared_log.env = {"TOVRA_SIM_USB_LOG=" + dir.file("usb.log")};
    auto first = start({"--debug", "--output", "1", "--channel", "12"}, shared_log);
    auto second = start({"--debug", "--output", "2", "--sky+", "--channel", "34"}, shared_log);
    RunResult a = first.finish();
    RunResult b = second.finish();
    ASSERT_EQ(a.status, 0) << a;
    ASSERT_EQ(b.status, 0) << b;

    // Exactly one of them waited, and said so.
    EXPECT_NE(said_waiting(a, "USB controller 001/001"), said_waiting(b, "USB controller 001/001")) << a << b;

    const auto codes = cli::sent_codes(cli::split_lines(cli::read_file(dir.file("usb.log"))));
    ASSERT_EQ(codes.size(), 8u);
    auto [a_first, a_last] = span_of(codes, "output 1");
    auto [b_first, b_last] = span_of(codes, "output 2");
    EXPECT_EQ(a_last - a_first, 3) << "output 1's sequence was interleaved";
    EXPECT_EQ(b_last - b_first, 3) << "output 2's sequence was interleaved";
    const std::vector<std::string> one = cli::codes_on(1, {0x0080, 0x0001, 0x0002, 0x0083});
    const std::vector<std::string> two = cli::codes_on(2, {0x0c80, 0x0c03, 0x0c04, 0x0c83});
    EXPECT_EQ(std::vector(codes.begin() + a_first, codes.begin() + a_last + 1), one);
    EXPECT_EQ(std::vector(codes.begin() + b_first, codes.begin() + b_last + 1), two);
    // The second started only after the first had ended: 2 s each, one after the other.
    EXPECT_GE(std::max(a.seconds, b.seconds), 3.8);
}

TEST_F(Lock, RunsOnTwoControllersOverlap)
{
    use_scenario("device 6666:f100\nbus\ndevice 6666:f100\n");
    auto first = start({"--debug", "--controller", "1", "--channel", "1"});
    auto second = start({"--debug", "--controller", "2", "--channel", "2"});
    RunResult a = first.finish();
    RunResult b = second.finish();
    ASSERT_EQ(a.status, 0) << a;
    ASSERT_EQ(b.status, 0) << b;
    EXPECT_FALSE(said_waiting(a, "USB controller 001/001")) << a;
    EXPECT_FALSE(said_waiting(b, "USB controller 002/001")) << b;
    EXPECT_LT(std::max(a.seconds, b.seconds), 2.0 + 1.8 * cli::time_scale()) << "runs on different controllers waited for each other";
}

TEST_F(Lock, GivesUpWhenTheControllerStaysBusy)
{
    int held = open(dir.file("tovra-control-usb-001-001.lock").c_str(), O_RDONLY | O_CREAT, 0666);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    RunResult r = run({"0001"});
    close(held);
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_EQ(r.err, "USB controller 001/001 is still in use by another run after 30 seconds, giving up.\n");
    EXPECT_TRUE(cli::reports_out(r.usb_log).empty()) << r;
    EXPECT_EQ(cli::count_calls(r.usb_log, "usb_claim_interface("), 0u) << r;
}

TEST_F(Lock, SerialControllerPortWaitsForItsHolder)
{
    cli::Pty port;
    int held = open(port.slave_path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    std::thread release([held] {
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        close(held);
    });
    RunResult r = run({"--debug", "--scontroller", port.slave_path(), "0001"});
    release.join();
    ASSERT_EQ(r.status, 0) << r;
    EXPECT_TRUE(said_waiting(r, "serial port " + port.slave_path())) << r;
    EXPECT_EQ(cli::hex(port.read_available()), "30 00 01");
}

}  // namespace

namespace {

TEST_F(Lock, RunsUnlockedWithAWarningWhenNoLockFileCanBeHad)
{
    cli::RunOptions options;
    options.env = {"TOVRA_SIM_LOCK_DIR=" + dir.file("missing-folder")};
    RunResult r = run({"0001"}, options);
    ASSERT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err,
              "warning: cannot lock USB controller 001/001 (No such file or directory); runs at the same time may "
              "interfere.\n");
    EXPECT_EQ(cli::sent_codes(r.usb_log), cli::codes_on(1, {0x0001}));
}

}  // namespace
