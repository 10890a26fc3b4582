// SPDX-License-Identifier: GPL-2.0-or-later
// The real tovra-control, dynamically linked to the system libusb-0.1, run
// against controllers emulated at the usbfs level by umockdev: what the
// device receives is what real hardware would receive.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <linux/capability.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "umockdev_controller.h"

extern char** environ;

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

struct ProgramRun {
    int status = -1;  // exit status, or -1 when killed
    std::string out;
    std::string err;
};

// Runs tovra-control (or another program) inside the testbed. drop_override:
// the child loses CAP_DAC_OVERRIDE, so that root meets file modes as any user.
ProgramRun run_in_testbed(const UmockdevController& testbed, const std::vector<std::string>& args,
                   bool drop_override = false, const char* program = TOVRA_CONTROL_BIN)
{
    std::vector<std::string> env;
    std::string preload = umockdev_preload_library();
    std::string asan = "verify_asan_link_order=0";  // the preload comes before the sanitizer runtime
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        if (entry.starts_with("LD_PRELOAD="))
            preload += ":" + entry.substr(11);
        else if (entry.starts_with("ASAN_OPTIONS="))
            asan += ":" + entry.substr(13);
        else if (!entry.starts_with("UMOCKDEV_DIR="))
            env.push_back(entry);
    }
    env.push_back("LD_PRELOAD=" + preload);
    env.push_back("ASAN_OPTIONS=" + asan);
    env.push_back("UMOCKDEV_DIR=" + testbed.root());

    std::vector<std::string> argv_text = {program};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv, envp;
    for (auto& a : argv_text)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        return {};
    const bool root = geteuid() == 0;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        int null = open("/dev/null", O_RDONLY);
        dup2(null, STDIN_FILENO);
        if (drop_override && root) {
            prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0);
            prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0);
        }
        execve(program, argv.data(), envp.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    ProgramRun run;
    std::array<pollfd, 2> fds = {{{out[0], POLLIN, 0}, {err[0], POLLIN, 0}}};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    int open_pipes = 2;
    while (open_pipes > 0 && std::chrono::steady_clock::now() < deadline) {
        if (poll(fds.data(), fds.size(), 200) <= 0)
            continue;
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buffer[4096];
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_pipes;
            } else {
                (i == 0 ? run.out : run.err).append(buffer, static_cast<std::size_t>(n));
            }
        }
    }
    for (auto& fd : fds)
        if (fd.fd >= 0) {
            kill(pid, SIGKILL);
            close(fd.fd);
        }
    int status = 0;
    waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// Entries of a directory in readdir order, which is the order in which
// libusb-0.1 lists the buses and the devices on a bus.
std::vector<std::string> directory_order(const std::string& path)
{
    std::vector<std::string> names;
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr)
        return names;
    while (dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.')
            names.push_back(entry->d_name);
    closedir(dir);
    return names;
}

// Nodes in the order libusb-0.1 walks them.
std::vector<std::string> library_order(const UmockdevController& testbed)
{
    std::vector<std::string> nodes;
    const std::string base = testbed.root() + "/dev/bus/usb";
    for (const auto& bus : directory_order(base))
        for (const auto& device : directory_order(base + "/" + bus))
            nodes.push_back(bus + "/" + device);
    return nodes;
}

EmulatedUsbDevice root_hub(int bus)
{
    EmulatedUsbDevice hub;
    hub.bus = bus;
    hub.number = 1;
    hub.vendor = 0x1D6B;
    hub.product = 0x0002;
    hub.device_class = 9;
    return hub;
}

EmulatedUsbDevice controller(int bus, int number)
{
    EmulatedUsbDevice device;
    device.bus = bus;
    device.number = number;
    device.release = 0x0110;
    device.manufacturer = "Tovra Ltd";
    device.product_name = "Tovra USB controller";
    device.serial = "TV000" + std::to_string(bus) + std::to_string(number);
    device.version = {1, 2, 3};
    return device;
}

constexpr const char* kPermissionHint =
    "The USB controller is not writable for this user: install the tovra-control udev rules, join the "
    "plugdev group (or log in locally), then unplug and replug the controller.\n";

// The ioctls after enumeration: detach, configuration, claim and URBs.
std::vector<std::string> claim_and_transfers(const UmockdevController& testbed, const std::string& node)
{
    std::vector<std::string> lines;
    bool after_enumeration = false;
    for (const auto& line : testbed.log()) {
        if (!line.starts_with(node + " "))
            continue;
        const std::string what = line.substr(node.size() + 1);
        if (what.starts_with("IOCTL ifno 0 DISCONNECT"))
            after_enumeration = true;
        if (after_enumeration && !what.starts_with("REAPURBNDELAY = -1 EAGAIN") && what != "close")
            lines.push_back(what);
    }
    return lines;
}

class RealLibusb : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The preload must take effect in a child: it then sees the testbed's sysfs.
        EmulatedUsbDevice marker;
        marker.bus = 1;
        marker.number = 1;
        marker.vendor = 0x6A6B;
        UmockdevController probe({marker});
        ProgramRun seen = run_in_testbed(probe, {"-c", "cat /sys/bus/usb/devices/usb1/idVendor"}, false, "/bin/sh");
        if (!seen.out.starts_with("6a6b"))
            GTEST_SKIP() << "umockdev cannot emulate devices here (" << umockdev_preload_library()
                         << " not in effect): status " << seen.status << " " << seen.out << seen.err;
    }
};

struct RawCase {
    std::vector<std::string> args;
    std::vector<std::string> urbs;
};

TEST_F(RealLibusb, RawCodesGoOutAsInterruptReportsOnEndpointOne)
{
    const RawCase cases[] = {
        {{"0001"}, {"interrupt ep 0x01 out 30 00 01 7a 7a 7a 7a 7a"}},
        {{"--output", "1", "0C05", "0c06"},
         {"interrupt ep 0x01 out 30 0c 05 7a 7a 7a 7a 7a", "interrupt ep 0x01 out 30 0c 06 7a 7a 7a 7a 7a"}},
        {{"--output", "2", "0c05"}, {"interrupt ep 0x01 out 31 0c 05 7a 7a 7a 7a 7a"}},
        {{"--output", "15", "fffe"}, {"interrupt ep 0x01 out 43 0e ff fe 7a 7a 7a 7a"}},
        {{"--box", "4", "0c05"}, {"interrupt ep 0x01 out 43 04 0c 05 7a 7a 7a 7a"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        UmockdevController testbed({root_hub(1), controller(1, 2)});
        ProgramRun run = run_in_testbed(testbed, c.args);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "");
        EXPECT_THAT(testbed.urbs_of("001/002"), ElementsAreArray(c.urbs));
        EXPECT_THAT(testbed.urbs_of("001/001"), IsEmpty());

        // The first transfer claims: detach (no driver: ENODATA), configuration 1,
        // interface 0; every URB is reaped whole.
        std::vector<std::string> expected = {"IOCTL ifno 0 DISCONNECT = -1 ENODATA", "SETCONFIGURATION 1 = 0",
                                             "CLAIMINTERFACE 0 = 0"};
        for (const auto& urb : c.urbs) {
            expected.push_back("SUBMITURB " + urb + " = 0");
            expected.push_back("REAPURBNDELAY ep 0x01 status 0 actual 8 = 0");
        }
        EXPECT_THAT(claim_and_transfers(testbed, "001/002"), ElementsAreArray(expected));
    }
}

TEST_F(RealLibusb, ControllerNumberCountsMatchingDevicesInLibraryOrder)
{
    EmulatedUsbDevice other;  // same vendor, other product: never counted
    other.bus = 2;
    other.number = 3;
    other.product = 0xF101;
    for (int number : {1, 2}) {
        SCOPED_TRACE(number);
        UmockdevController bed({root_hub(1), controller(1, 2), root_hub(2), other, controller(2, 2)});
        std::vector<std::string> order;
        for (const auto& node : library_order(bed))
            if (node == "001/002" || node == "002/002")
                order.push_back(node);
        ASSERT_EQ(order.size(), 2u);
        ProgramRun run = run_in_testbed(bed, {"--controller", std::to_string(number), "--output", "2", "0001"});
        EXPECT_EQ(run.status, 0) << run.err;
        const std::string chosen = order[static_cast<std::size_t>(number - 1)];
        const std::string passed = order[static_cast<std::size_t>(2 - number)];
        EXPECT_THAT(bed.urbs_of(chosen), ElementsAre("interrupt ep 0x01 out 31 00 01 7a 7a 7a 7a 7a"));
        EXPECT_THAT(bed.urbs_of(passed), IsEmpty());
        EXPECT_THAT(bed.urbs_of("002/003"), IsEmpty());
    }

    UmockdevController testbed({root_hub(1), controller(1, 2), root_hub(2), other, controller(2, 2)});
    ProgramRun missing = run_in_testbed(testbed, {"--controller", "3", "0001"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err,
              "tovra_usb_finddevice(2) failed to find device 6666-f100\n"
              "unable to find USB tovra controller number 2\n"
              "Please check the controller is connected.\n");
    EXPECT_THAT(testbed.urbs(), IsEmpty());
}

TEST_F(RealLibusb, DebugIdentifiesTheControllerWithItsFullVersion)
{
    UmockdevController testbed({root_hub(1), controller(1, 2)});
    ProgramRun run = run_in_testbed(testbed, {"--debug"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");

    std::string found;
    int index = 0;
    for (const auto& node : library_order(testbed)) {
        found += node == "001/001" ? "Found device: 1d6b-0002\n" : "Found device: 6666-f100\n";
        if (node == "001/002") {
            found += "Found tovra control num " + std::to_string(index++) + "\n";
            break;
        }
    }
    EXPECT_EQ(run.out, found +
                           "- Manufacturer : Tovra Ltd\n"
                           "- Product : Tovra USB controller\n"
                           "- Serial Number: TV00012\n"
                           "- Version Number: 1.16\n"
                           "Trying to detach kernel driver\n"
                           "Device already detached\n"
                           "sending: byte 113\n"
                           "- Full version 1.2.3\n");
    EXPECT_THAT(testbed.urbs_of("001/002"),
                ElementsAre("interrupt ep 0x01 out 71 7a 7a 7a 7a 7a 7a 7a", "interrupt ep 0x81 in 8"));

    // Each string: the language table first, then the string in that language.
    std::vector<std::string> control;
    for (const auto& line : testbed.log())
        if (line.starts_with("001/002 CONTROL"))
            control.push_back(line.substr(8));
    EXPECT_THAT(control, ElementsAre("CONTROL 80 06 0300 0000 len 255 = 4", "CONTROL 80 06 0301 0409 len 255 = 20",
                                     "CONTROL 80 06 0300 0000 len 255 = 4", "CONTROL 80 06 0302 0409 len 255 = 42",
                                     "CONTROL 80 06 0300 0000 len 255 = 4", "CONTROL 80 06 0303 0409 len 255 = 16"));
}

TEST_F(RealLibusb, SetupSendsBothConfigurationReportsBeforeTheCodes)
{
    const RawCase cases[] = {
        {{"--setup"},
         {"interrupt ep 0x01 out 73 4b 96 96 05 dc 0a 8b", "interrupt ep 0x01 out 75 01 7a 7a 7a 7a 7a 7a"}},
        {{"--setup", "--output", "2", "0c05"},
         {"interrupt ep 0x01 out 74 4b 96 96 05 dc 0a 8b", "interrupt ep 0x01 out 76 01 7a 7a 7a 7a 7a 7a",
          "interrupt ep 0x01 out 31 0c 05 7a 7a 7a 7a 7a"}},
        {{"--setup", "--output", "3", "0c05"}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        UmockdevController testbed({controller(1, 2)});
        ProgramRun run = run_in_testbed(testbed, c.args);
        EXPECT_EQ(run.status, c.urbs.empty() ? 1 : 0) << run.err;
        EXPECT_THAT(testbed.urbs_of("001/002"), ElementsAreArray(c.urbs));
    }
}

// A user without write access: libusb-0.1 falls back to opening the node
// read-only, and usbfs then refuses every ioctl with EPERM.
TEST_F(RealLibusb, ReadOnlyNodeFailsAtTheClaimWithThePermissionHint)
{
    EmulatedUsbDevice device = controller(1, 2);
    device.writable = false;
    UmockdevController testbed({root_hub(1), device});

    ProgramRun run = run_in_testbed(testbed, {"0001"}, true);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, std::string("usb_set_configuration failed: Operation not permitted\n"
                                   "tovra_usb_sendcommand failed: Operation not permitted\n") +
                           kPermissionHint);
    EXPECT_THAT(testbed.urbs(), IsEmpty());
    EXPECT_THAT(claim_and_transfers(testbed, "001/002"),
                ElementsAre("IOCTL ifno 0 DISCONNECT = -1 EPERM", "SETCONFIGURATION 1 = -1 EPERM"));

    UmockdevController again({root_hub(1), device});
    ProgramRun debug = run_in_testbed(again, {"--debug", "--setup"}, true);
    EXPECT_EQ(debug.status, 1);
    EXPECT_THAT(debug.out, HasSubstr("- Unable to fetch manufacturer string\n"
                                     "- Unable to fetch product string\n"
                                     "- Unable to fetch serial number string\n"
                                     "- Version Number: 1.16\n"
                                     "Trying to detach kernel driver\n"
                                     "Detach failed: Operation not permitted[1]\n"
                                     "Continueing anyway\n"));
    EXPECT_THAT(debug.out, Not(HasSubstr("Full version")));
    EXPECT_THAT(debug.err, HasSubstr("tovra_usb_sendconfig failed: Operation not permitted\n" +
                                     std::string(kPermissionHint)));
    EXPECT_THAT(debug.err, Not(HasSubstr("usb_open failed")));
    EXPECT_THAT(again.urbs(), IsEmpty());
}

}  // namespace
