// SPDX-License-Identifier: GPL-2.0-or-later
// Runs that share a controller or a port take turns; runs on different
// controllers do not wait for each other.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>

#include "harness.h"
#include "sim/gnome_packet.h"

namespace {

using cli::sending;

std::string waiting(const std::string& what)
{
    return "Waiting for another run using " + what + "\n";
}

TEST(Lock, RunsOnOneControllerTakeTurnsRunsOnTwoOverlap)
{
    cli::TempDir dir;
    std::filesystem::create_directory(dir.file("locks"));
    const cli::RunOptions one{.env = {"TOVRA_SIM_LOCK_DIR=" + dir.path, "TOVRA_SIM_USB_LOG=" + dir.file("usb.log")}};
    const cli::RunOptions two{.scenario = "device 6666:f100\nbus\ndevice 6666:f100\n",
                              .env = {"TOVRA_SIM_LOCK_DIR=" + dir.file("locks")}};
    cli::Run a(dir, {"--debug", "--output", "1", "--channel", "12"}, one);
    cli::Run b(dir, {"--debug", "--output", "2", "--sky+", "--channel", "34"}, one);
    cli::Run c(dir, {"--debug", "--controller", "1", "--channel", "1"}, two);
    cli::Run d(dir, {"--debug", "--controller", "2", "--channel", "2"}, two);
    const cli::Result rc = c.finish(), rd = d.finish(), ra = a.finish(), rb = b.finish();
    for (const cli::Result* r : {&ra, &rb, &rc, &rd})
        EXPECT_EQ(r->status, 0) << *r;
    EXPECT_LT(std::max(rc.seconds, rd.seconds), 3.5 * cli::time_scale()) << "they took turns";
    EXPECT_EQ((rc.out + rd.out).find("Waiting for"), std::string::npos);

    // Exactly one of a and b waited, and the other's keys all went out first.
    const bool b_waited = rb.out.find(waiting("USB controller 001/001")) != std::string::npos;
    EXPECT_NE(ra.out.find(waiting("USB controller 001/001")) != std::string::npos, b_waited);
    const std::string keys_a = "71 30 00 80 30 00 01 30 00 02 30 00 83";
    const std::string keys_b = "71 31 0c 80 31 0c 03 31 0c 04 31 0c 83";
    EXPECT_EQ(cli::wire(cli::read_file(dir.file("usb.log"))), b_waited ? keys_a + " " + keys_b : keys_b + " " + keys_a);
}

// The one test that waits out the 30-second bound.
TEST(Lock, GivesUpWhenTheControllerStaysBusy)
{
    cli::TempDir dir;
    const int held = open(dir.file("tovra-control-usb-001-001.lock").c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    const cli::Result r = cli::run(dir, {"0001"}, {.env = {"TOVRA_SIM_LOCK_DIR=" + dir.path}});
    close(held);
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_EQ(r.err, "USB controller 001/001 is still in use by another run after 30 seconds, giving up.\n");
    EXPECT_EQ(cli::wire(r.log), "");
    EXPECT_GE(r.seconds, 30.0);
}

// A run waits for whoever holds its ports: another program on the
// controller's line, then tovra-terminal on the box's.
TEST(Lock, PortsWaitForTheirHolders)
{
    cli::TempDir dir;
    cli::Pty controller, box, quiet;
    const int held = open(controller.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    cli::Run terminal(dir, {box.path()}, {.program = TOVRA_TERMINAL_BIN, .stdin_fd = quiet.slave()});
    ASSERT_TRUE(cli::eventually([&] { return !terminal.so_far(".err").empty(); }));
    cli::Run run(dir, {"--debug", "--scontroller", controller.path(), "--sky+", "--feedback", box.path(), "--channel",
                       "1"});
    const std::string first = waiting("serial port " + controller.path());
    EXPECT_TRUE(cli::eventually([&] { return run.so_far() == first; })) << run.so_far();
    close(held);
    const std::string second = "sending channel '1'\n" + waiting("feedback port " + box.path());
    EXPECT_TRUE(cli::eventually([&] { return run.so_far() == first + second; })) << run.so_far();
    kill(terminal.pid(), SIGTERM);
    EXPECT_EQ(terminal.finish().signal, SIGTERM);
    box.send(gnome_encodePacket({{"CE00", "1"}}));
    const cli::Result r = run.finish();
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out, first + second + sending(0x0C80) + sending(0x0C01) + sending(0x0C09) + sending(0x0C83) +
                         "CE00 : 1 [1 49]\nTuning successful, channel '1' selected\n");
    EXPECT_EQ(cli::hex(controller.received()), "30 0c 80 30 0c 01 30 0c 09 30 0c 83");
}

// Without a usable lock folder the controller's device node is locked; only
// when that cannot be opened either does the run go on unlocked, and say why.
TEST(Lock, DeviceNodeStandsInForTheLockFile)
{
    cli::TempDir dir;
    const cli::RunOptions options{
        .env = {"TOVRA_SIM_LOCK_DIR=" + dir.write("not-a-folder", ""), "TOVRA_SIM_USB_DEVDIR=" + dir.path}};
    cli::Result r = cli::run(dir, {"0001"}, options);
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "warning: cannot lock USB controller 001/001 (Not a directory); runs at the same time may "
                     "interfere.\n");
    EXPECT_EQ(cli::wire(r.log), "30 00 01");

    std::filesystem::create_directory(dir.file("001"));
    const int node = open(dir.write("001/001", "").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(node, LOCK_EX), 0);
    cli::Run run(dir, {"--debug", "0001"}, options);
    EXPECT_TRUE(cli::eventually([&] { return run.so_far() == cli::kFound + waiting("USB controller 001/001"); }));
    close(node);
    r = run.finish();
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out, cli::kFound + waiting("USB controller 001/001") + cli::kVersion + sending(0x0001));
    EXPECT_EQ(r.err, "");
}

}  // namespace
