// SPDX-License-Identifier: GPL-2.0-or-later
// The real tovra-control, dynamically linked to the system libusb-0.1, against controllers emulated
// at the usbfs level (sim/usbfs.h): what the emulated node receives is what real hardware would receive.
#include <fcntl.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "usbfs.h"

namespace {

using Outcome = std::tuple<int, std::string, std::string>;  // exit status (-1: killed), stdout, stderr

std::string read_file(const std::string& path)
{
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Runs a program in the testbed. The child loses CAP_DAC_OVERRIDE, so that
// root meets the nodes' file modes as any user does.
Outcome run_in(const UsbfsTestbed& bed, const std::vector<std::string>& args, std::string program = TOVRA_CONTROL_BIN)
{
    const char* asan = std::getenv("ASAN_OPTIONS");  // the preload comes before a sanitizer's runtime
    std::vector<std::string> env{"UMOCKDEV_DIR=" + bed.root(), std::string("LD_PRELOAD=") + UsbfsTestbed::kPreload,
                                 "ASAN_OPTIONS=verify_asan_link_order=0:" + std::string(asan ? asan : "")};
    std::vector<char*> argv{program.data()};
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    std::vector<char*> envp;
    for (std::string& entry : env)
        envp.push_back(entry.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    const std::string out = bed.root() + "/stdout";
    const std::string err = bed.root() + "/stderr";
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(open("/dev/null", O_RDONLY), STDIN_FILENO);
        dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDOUT_FILENO);
        dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
        prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file(out), read_file(err)};
}

struct Case {
    std::string name;
    std::vector<std::string> args;
    std::string scenario;
    std::vector<std::string> log;  // without string requests; '@' stands for the chosen controller's node
    int status = 0;
    std::string out{};
    std::string err{};
};

void PrintTo(const Case& c, std::ostream* os)
{
    *os << c.name;
}

// The claim before the first transfer (no kernel driver is bound), each report written, then what follows.
std::vector<std::string> claim_then(std::vector<std::string> reports, std::vector<std::string> after = {})
{
    std::vector<std::string> log{"DISCONNECT(@, 0) = -61 (ENODATA)", "SETCONFIGURATION(@, 1) = 0",
                                 "CLAIMINTERFACE(@, 0) = 0"};
    for (const std::string& report : reports)
        log.insert(log.end(), {"SUBMITURB(@, ep 0x01, 8 bytes) = 0", "report out @: " + report});
    log.insert(log.end(), after.begin(), after.end());
    return log;
}

const std::string kScenario =
    "device 6666:f100 manufacturer=\"Tovra Ltd\" product=\"USB controller\" serial=TV01 release=0110 version=1.2.3\n";

const Case kCases[] = {
    {"Output1", {"0001"}, kScenario, claim_then({"30 00 01 7a 7a 7a 7a 7a | code 0001 output 1"})},
    {"Output2", {"--output", "2", "0c05"}, kScenario, claim_then({"31 0c 05 7a 7a 7a 7a 7a | code 0c05 output 2"})},
    {"Output15", {"--output", "15", "FFFE"}, kScenario, claim_then({"43 0e ff fe 7a 7a 7a 7a | code fffe output 15"})},
    {"SecondController", {"--controller", "2", "--output", "2", "0001"}, kScenario + "bus\n" + kScenario,
     claim_then({"31 00 01 7a 7a 7a 7a 7a | code 0001 output 2"})},
    {"DebugIdentifies", {"--debug"}, kScenario,
     claim_then({"71 7a 7a 7a 7a 7a 7a 7a | version query"},
                {"SUBMITURB(@, ep 0x81, 8 bytes) = 0", "report in @: 01 02 03 7a 7a 7a 7a 7a"}),
     0,
     "Found device: 6666-f100\nFound tovra control num 0\n- Manufacturer : Tovra Ltd\n- Product : USB controller\n"
     "- Serial Number: TV01\n- Version Number: 1.16\nTrying to detach kernel driver\nDevice already detached\n"
     "sending: byte 113\n- Full version 1.2.3\n"},
    {"Setup", {"--setup"}, kScenario,
     claim_then({"73 4b 96 96 05 dc 0a 8b | config A output 1", "75 01 7a 7a 7a 7a 7a 7a | config B output 1"})},
    // libusb-0.1 opens a node it cannot write read-only; usbfs then refuses every ioctl.
    {"ReadOnlyNode", {"0001"}, "device 6666:f100 access=readonly",
     {"DISCONNECT(@, 0) = -1 (EPERM)", "SETCONFIGURATION(@, 1) = -1 (EPERM)"}, 1, "",
     "usb_set_configuration failed: Operation not permitted\ntovra_usb_sendcommand failed: Operation not permitted\n"
     "The USB controller is not writable for this user: install the tovra-control udev rules, join the plugdev "
     "group (or log in locally), then unplug and replug the controller.\n"},
};

class RealLibusb : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override
    {
        // The preload must bring a child's reads of a node to the emulator: the descriptor names the vendor.
        UsbfsTestbed probe("device 6a6b:0001");
        const auto [status, out, err] = run_in(probe, {"-c", "18", "/dev/bus/usb/001/001"}, "/usr/bin/head");
        if (out.size() < 10 || out.compare(8, 2, "\x6b\x6a") != 0)
            GTEST_SKIP() << "umockdev cannot emulate devices here (" << UsbfsTestbed::kPreload
                         << " not in effect): status " << status << " " << err;
    }
};

TEST_P(RealLibusb, SendsExactlyTheseRequests)
{
    const Case& c = GetParam();
    UsbfsTestbed bed(c.scenario);
    EXPECT_EQ(run_in(bed, c.args), std::tie(c.status, c.out, c.err));
    // Controllers count in bus order, whatever order libusb-0.1 reads the bus folders in; device 001 of each
    // bus is a controller here.
    const std::string node = "00" + (c.args[0] == "--controller" ? c.args[1] : "1") + "/001";
    std::vector<std::string> expected = c.log;
    for (std::string& line : expected)
        line.replace(line.find('@'), 1, node);
    std::vector<std::string> log = bed.log();
    std::erase_if(log, [](const std::string& line) { return line.starts_with("CONTROL("); });
    EXPECT_THAT(log, ::testing::ElementsAreArray(expected));
}

INSTANTIATE_TEST_SUITE_P(Runs, RealLibusb, testing::ValuesIn(kCases), [](const auto& info) { return info.param.name; });

}  // namespace
