// SPDX-License-Identifier: GPL-2.0-or-later
// USB controller library over the simulated controllers: discovery order, the
// detach/configure/claim sequence, report bytes, configuration and version
// reports, printed lines, failure paths and the precondition assertions.
// Each test writes a scenario, points the simulated libusb at it and
// re-initialises, then checks stdout, stderr and the simulator's call log.
#include "tovra-control-lib.h"

#include <usb.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using testing::ElementsAre;
using testing::ElementsAreArray;
using testing::HasSubstr;
using testing::IsEmpty;
using testing::StartsWith;

using UsbPtr = std::unique_ptr<TovraUsb, decltype(&tovra_usb_destroy)>;
using Lines = std::vector<std::string>;

constexpr int kTimeout = 250;  // not the program's 1000, to see it passed through
constexpr const char* kNotFound = "tovra_usb_finddevice(%d) failed to find device 6666-f100\n";
const Lines kClaim = {
    "usb_detach_kernel_driver_np(001/001, 0) = -61 (ENODATA)",
    "usb_set_configuration(001/001, 1) = 0",
    "usb_claim_interface(001/001, 0) = 0",
};
constexpr const char* kWrite = "usb_interrupt_write(001/001, ep 0x01, 8 bytes, timeout 250) = 8";
constexpr const char* kDetachDebug = "Trying to detach kernel driver\nDevice already detached\n";
constexpr std::array<int, TOVRA_CONFIG_ENTRIES> kSetup = {150, 150, 5, 220, 10, 139, 1, 75};

std::string read_file(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

Lines split_lines(const std::string& text)
{
    Lines lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string not_found(int count)
{
    char text[80];
    std::snprintf(text, sizeof text, kNotFound, count);
    return text;
}

struct Output {
    std::string out;
    std::string err;
};

class UsbLib : public testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "unit_usb_lib.XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }

    void TearDown() override
    {
        ::unsetenv("TOVRA_SIM_USB");
        ::unsetenv("TOVRA_SIM_USB_LOG");
        ::unsetenv("TOVRA_SIM_BOX");
        fs::remove_all(dir_);
    }

    // A fresh simulated world, then the library's start-up over it.
    void start(const std::string& scenario)
    {
        std::ofstream(dir_ / "scenario") << scenario;
        fs::remove(dir_ / "log");
        ::setenv("TOVRA_SIM_USB", (dir_ / "scenario").c_str(), 1);
        ::setenv("TOVRA_SIM_USB_LOG", (dir_ / "log").c_str(), 1);
        ASSERT_EQ(tovra_usb_initialise(), 0);
        mark_ = log().size();
    }

    Lines log() const { return split_lines(read_file(dir_ / "log")); }

    // Log lines since start() or the last call of this function.
    Lines new_calls()
    {
        Lines all = log();
        Lines fresh(all.begin() + static_cast<std::ptrdiff_t>(std::min(mark_, all.size())), all.end());
        mark_ = all.size();
        return fresh;
    }

    // Runs body with stdout and stderr going to files, and returns what it printed.
    Output capture(const std::function<void()>& body)
    {
        std::fflush(stdout);
        std::fflush(stderr);
        const int saved_out = ::dup(STDOUT_FILENO);
        const int saved_err = ::dup(STDERR_FILENO);
        const int out = ::open((dir_ / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open((dir_ / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(err, STDERR_FILENO);
        ::close(out);
        ::close(err);
        body();
        std::fflush(stdout);
        std::fflush(stderr);
        ::dup2(saved_out, STDOUT_FILENO);
        ::dup2(saved_err, STDERR_FILENO);
        ::close(saved_out);
        ::close(saved_err);
        return {read_file(dir_ / "stdout"), read_file(dir_ / "stderr")};
    }

    // A handle on controller `index`, opened quietly; the log mark follows it.
    UsbPtr open(int debug, int index = 0)
    {
        UsbPtr usb(tovra_usb_create(debug, kTimeout), &tovra_usb_destroy);
        EXPECT_NE(usb, nullptr);
        int result = -1;
        capture([&] { result = tovra_usb_finddevice(usb.get(), index); });
        EXPECT_EQ(result, 0);
        new_calls();
        return usb;
    }

    fs::path dir_;
    std::size_t mark_ = 0;
};

// ------------------------------------------------------------ discovery

constexpr const char* kTwoControllers =
    "device 1d6b:0002\n"
    "device 6666:f101   # same vendor, other product: never counted\n"
    "device 6666:f100\n"
    "device 046d:c52b\n"
    "bus\n"
    "device 6666:f101\n"
    "device 6666:f100\n"
    "device 1d6b:0003\n";
constexpr const char* kFirstFour =
    "Found device: 1d6b-0002\nFound device: 6666-f101\nFound device: 6666-f100\nFound tovra control num 0\n";
constexpr const char* kNextFour =
    "Found device: 046d-c52b\nFound device: 6666-f101\nFound device: 6666-f100\nFound tovra control num 1\n";

struct DiscoveryCase {
    const char* name;
    const char* scenario;
    int device_num;
    int debug;
    const char* opened;  // "bus/device", or null when nothing is opened
    std::string out;
    std::string err;
};

const DiscoveryCase kDiscovery[] = {
    {"first", kTwoControllers, 0, 1, "001/003", kFirstFour, ""},
    {"second_stops_at_it", kTwoControllers, 1, 1, "002/002", std::string(kFirstFour) + kNextFour, ""},
    {"second_quiet", kTwoControllers, 1, 0, "002/002", "", ""},
    {"sixth_of_two", kTwoControllers, 5, 1, nullptr,
     std::string(kFirstFour) + kNextFour + "Found device: 1d6b-0003\n", not_found(2)},
    {"last_index_of_two", kTwoControllers, 254, 0, nullptr, "", not_found(2)},
    {"no_buses", "", 0, 1, nullptr, "", not_found(0)},
    {"other_devices_only", "device 1d6b:0002\ndevice 6666:f101\n", 0, 1, nullptr,
     "Found device: 1d6b-0002\nFound device: 6666-f101\n", not_found(0)},
    {"after_empty_bus", "bus\nbus\ndevice 6666:f100\n", 0, 1, "002/001",
     "Found device: 6666-f100\nFound tovra control num 0\n", ""},
};

TEST_F(UsbLib, FindsControllersInBusThenDeviceOrder)
{
    for (const DiscoveryCase& c : kDiscovery) {
        SCOPED_TRACE(c.name);
        start(c.scenario);
        UsbPtr usb(tovra_usb_create(c.debug, kTimeout), &tovra_usb_destroy);
        int result = 0;
        const Output printed = capture([&] { result = tovra_usb_finddevice(usb.get(), c.device_num); });
        EXPECT_EQ(result, c.opened ? 0 : -1);
        EXPECT_EQ(printed.out, c.out);
        EXPECT_EQ(printed.err, c.err);
        Lines calls{"usb_get_busses()"};
        if (c.opened) {
            calls.push_back(std::string("usb_open(") + c.opened + ") = ok");
            ASSERT_NE(usb->device, nullptr);
            EXPECT_EQ(std::string(usb->device->bus->dirname) + "/" + usb->device->filename, c.opened);
            EXPECT_NE(usb->handle, nullptr);
        } else {
            EXPECT_EQ(usb->handle, nullptr);
        }
        EXPECT_EQ(new_calls(), calls);
        EXPECT_EQ(usb->interface_claimed, 0);
    }
}

TEST_F(UsbLib, InitialiseStartsLibusbQuietlyAndScansOnce)
{
    start(kTwoControllers);
    EXPECT_THAT(log(), ElementsAre("usb_set_debug(0)", "usb_init()", "usb_find_busses() = 2",
                                   "usb_find_devices() = 7"));
}

struct OpenFailure {
    const char* key;
    const char* err;
};

TEST_F(UsbLib, OpenFailureReportsErrnoAndKeepsDevice)
{
    const OpenFailure cases[] = {
        {"open=EACCES", "usb_open failed: Permission denied\n"},
        {"open=fail", "usb_open failed: Permission denied\n"},
        {"open=ENODEV", "usb_open failed: No such device\n"},
    };
    for (const OpenFailure& c : cases) {
        SCOPED_TRACE(c.key);
        start(std::string("device 6666:f100 ") + c.key + "\n");
        {
            UsbPtr usb(tovra_usb_create(0, kTimeout), &tovra_usb_destroy);
            int result = 0;
            const Output printed = capture([&] { result = tovra_usb_finddevice(usb.get(), 0); });
            EXPECT_EQ(result, -1);
            EXPECT_EQ(printed.out, "");
            EXPECT_EQ(printed.err, c.err);
            EXPECT_NE(usb->device, nullptr);
            EXPECT_EQ(usb->handle, nullptr);
        }
        // Destroying it must not close a handle that was never opened.
        EXPECT_THAT(new_calls(), ElementsAre("usb_get_busses()", StartsWith("usb_open(001/001) = NULL (")));
    }
}

TEST_F(UsbLib, DestroyClosesOnlyAnOpenHandle)
{
    start("device 6666:f100\n");
    tovra_usb_destroy(nullptr);
    tovra_usb_destroy(tovra_usb_create(1, kTimeout));
    EXPECT_THAT(new_calls(), IsEmpty());

    UsbPtr unfound(tovra_usb_create(0, kTimeout), &tovra_usb_destroy);
    capture([&] { tovra_usb_finddevice(unfound.get(), 1); });
    unfound.reset();
    EXPECT_THAT(new_calls(), ElementsAre("usb_get_busses()"));

    open(0).reset();
    EXPECT_THAT(new_calls(), ElementsAre("usb_close(001/001) = 0"));
}

// ------------------------------------------------------------ claim

TEST_F(UsbLib, ClaimsOncePerHandleOnItsFirstTransfer)
{
    start("device 6666:f100\n");
    UsbPtr usb = open(1);
    int first = -1;
    int second = -1;
    const Output printed = capture([&] {
        first = tovra_usb_sendcommand(usb.get(), 0, 0x0C01);
        second = tovra_usb_sendcommand(usb.get(), 0, 0x0C02);
    });
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 0);
    EXPECT_EQ(usb->interface_claimed, 1);
    EXPECT_EQ(printed.out, std::string(kDetachDebug) + "sending cmd 0c01 to output 1: bytes 48, 12, 1\n" +
                               "sending cmd 0c02 to output 1: bytes 48, 12, 2\n");
    EXPECT_EQ(printed.err, "");
    Lines expected = kClaim;
    expected.insert(expected.end(), {kWrite, "report out 001/001: 30 0c 01 7a 7a 7a 7a 7a | code 0c01 output 1", kWrite,
                                     "report out 001/001: 30 0c 02 7a 7a 7a 7a 7a | code 0c02 output 1"});
    EXPECT_EQ(new_calls(), expected);
}

struct DetachCase {
    const char* key;
    const char* logged;
    const char* debug_lines;
};

TEST_F(UsbLib, DetachOutcomeOnlyChangesDebugLines)
{
    const DetachCase cases[] = {
        {"", "= -61 (ENODATA)", kDetachDebug},
        {"detach=ok", "= 0", "Trying to detach kernel driver\ndetach successful\n"},
        {"detach=EPERM", "= -1 (EPERM)",
         "Trying to detach kernel driver\nDetach failed: Operation not permitted[1]\nContinueing anyway\n"},
        {"detach=EBUSY", "= -16 (EBUSY)",
         "Trying to detach kernel driver\nDetach failed: Device or resource busy[16]\nContinueing anyway\n"},
    };
    for (const DetachCase& c : cases) {
        for (const int debug : {0, 1}) {
            SCOPED_TRACE(std::string(c.key) + (debug ? " debug" : " quiet"));
            start(std::string("device 6666:f100 ") + c.key + "\n");
            UsbPtr usb = open(debug);
            int result = -1;
            const Output printed = capture([&] { result = tovra_usb_sendcommand(usb.get(), 1, 0x0005); });
            EXPECT_EQ(result, 0);
            EXPECT_EQ(printed.out, debug ? std::string(c.debug_lines) + "sending cmd 0005 to output 2: bytes 49, 0, 5\n"
                                         : "");
            EXPECT_EQ(printed.err, "");
            EXPECT_THAT(new_calls(), ElementsAre(std::string("usb_detach_kernel_driver_np(001/001, 0) ") + c.logged,
                                                 kClaim[1], kClaim[2], kWrite, StartsWith("report out")));
        }
    }
}

struct ClaimFailure {
    const char* key;
    Lines calls;  // one attempt
    const char* err;
};

TEST_F(UsbLib, FailedClaimIsRetriedWholeOnTheNextTransfer)
{
    const ClaimFailure cases[] = {
        {"setconfig=fail",
         {kClaim[0], "usb_set_configuration(001/001, 1) = -16 (EBUSY)"},
         "usb_set_configuration failed: Device or resource busy\n"},
        {"setconfig=ENODEV",
         {kClaim[0], "usb_set_configuration(001/001, 1) = -19 (ENODEV)"},
         "usb_set_configuration failed: No such device\n"},
        {"claim=EACCES",
         {kClaim[0], kClaim[1], "usb_claim_interface(001/001, 0) = -13 (EACCES)"},
         "usb_claim_interface failed: Permission denied\n"},
    };
    for (const ClaimFailure& c : cases) {
        SCOPED_TRACE(c.key);
        start(std::string("device 6666:f100 ") + c.key + "\n");
        UsbPtr usb = open(0);
        int command = 0;
        int config = 0;
        const Output printed = capture([&] {
            command = tovra_usb_sendcommand(usb.get(), 0, 0x0001);
            config = tovra_usb_sendconfig(usb.get(), 0, kSetup.data());
        });
        EXPECT_EQ(command, -1);
        EXPECT_EQ(config, -1);
        EXPECT_EQ(usb->interface_claimed, 0);
        EXPECT_EQ(printed.out, "");
        EXPECT_EQ(printed.err, std::string(c.err) + c.err);
        Lines twice = c.calls;
        twice.insert(twice.end(), c.calls.begin(), c.calls.end());
        EXPECT_EQ(new_calls(), twice);
    }
}

// ------------------------------------------------------------ command reports

struct CommandCase {
    int output;
    int command;
    const char* report;
    const char* debug_line;
};

TEST_F(UsbLib, CommandReportBytesAndDebugLine)
{
    const CommandCase cases[] = {
        {0, 0x0001, "30 00 01 7a 7a 7a 7a 7a | code 0001 output 1", "sending cmd 0001 to output 1: bytes 48, 0, 1\n"},
        {1, 0x0C05, "31 0c 05 7a 7a 7a 7a 7a | code 0c05 output 2", "sending cmd 0c05 to output 2: bytes 49, 12, 5\n"},
        {2, 0x0000, "43 02 00 00 7a 7a 7a 7a | code 0000 output 3", "sending cmd 0000 to output 3: bytes 67, 2, 0\n"},
        {4, 0x0C05, "43 04 0c 05 7a 7a 7a 7a | code 0c05 output 5", "sending cmd 0c05 to output 5: bytes 67, 4, 12\n"},
        {14, 0xFFFE, "43 0e ff fe 7a 7a 7a 7a | code fffe output 15",
         "sending cmd fffe to output 15: bytes 67, 14, 255\n"},
    };
    start("device 6666:f100\n");
    UsbPtr loud = open(1);
    capture([&] { tovra_usb_sendcommand(loud.get(), 0, 0); });  // claims
    new_calls();
    for (const CommandCase& c : cases) {
        SCOPED_TRACE(c.debug_line);
        int result = -1;
        const Output printed = capture([&] { result = tovra_usb_sendcommand(loud.get(), c.output, c.command); });
        EXPECT_EQ(result, 0);
        EXPECT_EQ(printed.out, c.debug_line);
        EXPECT_THAT(new_calls(), ElementsAre(kWrite, std::string("report out 001/001: ") + c.report));
    }
    loud.reset();
    UsbPtr quiet = open(0);
    EXPECT_EQ(capture([&] { tovra_usb_sendcommand(quiet.get(), 14, 0xFFFE); }).out, "");
}

struct WriteFailure {
    const char* key;
    const char* logged;
    const char* err;  // prefix: a short count leaves errno as it was
};

TEST_F(UsbLib, IncompleteWriteFailsAndKeepsTheClaim)
{
    const WriteFailure cases[] = {
        {"write_short=1:7", "= 7", "usb_interrupt_write failed: "},
        {"write_short=1:0", "= 0", "usb_interrupt_write failed: "},
        {"write_fail=1", "= -110 (ETIMEDOUT)", "usb_interrupt_write failed: Connection timed out\n"},
        {"write_fail=1:ENODEV", "= -19 (ENODEV)", "usb_interrupt_write failed: No such device\n"},
    };
    for (const WriteFailure& c : cases) {
        SCOPED_TRACE(c.key);
        start(std::string("device 6666:f100 ") + c.key + "\n");
        UsbPtr usb = open(0);
        int failed = 0;
        int next = -1;
        const Output printed = capture([&] {
            failed = tovra_usb_sendcommand(usb.get(), 0, 0x0C01);
            next = tovra_usb_sendcommand(usb.get(), 0, 0x0C02);
        });
        EXPECT_EQ(failed, -1);
        EXPECT_EQ(next, 0);
        EXPECT_THAT(printed.err, StartsWith(c.err));
        EXPECT_EQ(split_lines(printed.err).size(), 1u);
        Lines expected = kClaim;
        expected.insert(expected.end(),
                        {std::string("usb_interrupt_write(001/001, ep 0x01, 8 bytes, timeout 250) ") + c.logged, kWrite,
                         "report out 001/001: 30 0c 02 7a 7a 7a 7a 7a | code 0c02 output 1"});
        EXPECT_EQ(new_calls(), expected);
    }
}

// ------------------------------------------------------------ configuration reports

struct ConfigCase {
    const char* name;
    int output;
    std::array<int, TOVRA_CONFIG_ENTRIES> config;
    const char* faults;
    int result;
    Lines transfers;
};

TEST_F(UsbLib, ConfigReportsAThenB)
{
    const std::string a0 = "report out 001/001: 73 4b 96 96 05 dc 0a 8b | config A output 1";
    const ConfigCase cases[] = {
        {"output_1", 0, kSetup, "", 0,
         {kWrite, a0, kWrite, "report out 001/001: 75 01 7a 7a 7a 7a 7a 7a | config B output 1"}},
        {"output_2", 1, kSetup, "", 0,
         {kWrite, "report out 001/001: 74 4b 96 96 05 dc 0a 8b | config A output 2", kWrite,
          "report out 001/001: 76 01 7a 7a 7a 7a 7a 7a | config B output 2"}},
        {"low_8_bits", 0, {300, 1, 2, 3, 4, 5, -1, 0x17F}, "", 0,
         {kWrite, "report out 001/001: 73 7f 2c 01 02 03 04 05 | config A output 1", kWrite,
          "report out 001/001: 75 ff 7a 7a 7a 7a 7a 7a | config B output 1"}},
        {"a_fails", 0, kSetup, "write_fail=1", -1,
         {"usb_interrupt_write(001/001, ep 0x01, 8 bytes, timeout 250) = -110 (ETIMEDOUT)"}},
        {"b_short", 0, kSetup, "write_short=2:7", -1,
         {kWrite, a0, "usb_interrupt_write(001/001, ep 0x01, 8 bytes, timeout 250) = 7"}},
    };
    for (const ConfigCase& c : cases) {
        SCOPED_TRACE(c.name);
        start(std::string("device 6666:f100 ") + c.faults + "\n");
        UsbPtr usb = open(1);
        int result = 0;
        const Output printed = capture([&] { result = tovra_usb_sendconfig(usb.get(), c.output, c.config.data()); });
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(printed.out, kDetachDebug);  // no debug line of its own
        if (c.result == 0)
            EXPECT_EQ(printed.err, "");
        else
            EXPECT_THAT(split_lines(printed.err), ElementsAre(StartsWith("usb_interrupt_write failed: ")));
        Lines expected = kClaim;
        expected.insert(expected.end(), c.transfers.begin(), c.transfers.end());
        EXPECT_EQ(new_calls(), expected);
    }
}

// ------------------------------------------------------------ identification

struct InfoCase {
    const char* name;
    const char* device;
    int debug;
    std::string out;
    const char* err;  // prefix
    bool queried;     // the query report went out
};

constexpr const char* kAllStrings =
    "manufacturer=\"Tovra Ltd\" product=\"USB controller\" serial=00042 release=0110 version=1.2.3";
constexpr const char* kAllLines =
    "- Manufacturer : Tovra Ltd\n- Product : USB controller\n- Serial Number: 00042\n- Version Number: 1.16\n";

TEST_F(UsbLib, PrintInfoLines)
{
    const InfoCase cases[] = {
        {"everything", kAllStrings, 0, std::string(kAllLines) + "- Full version 1.2.3\n", "", true},
        {"debug", kAllStrings, 1,
         std::string(kAllLines) + kDetachDebug + "sending: byte 113\n- Full version 1.2.3\n", "", true},
        {"no_strings", "release=0102", 0, "- Version Number: 1.2\n- Full version 1.0.0\n", "", true},
        {"failing_and_empty", "manufacturer=fail product=\"\" serial=fail version=255.0.9", 0,
         "- Unable to fetch manufacturer string\n- Unable to fetch product string\n"
         "- Unable to fetch serial number string\n- Version Number: 1.0\n- Full version 255.0.9\n",
         "", true},
        {"serial_only", "serial=\"A B\"", 0, "- Serial Number: A B\n- Version Number: 1.0\n- Full version 1.0.0\n", "",
         true},
        {"short_reply", "version=1.2.3 reply=3", 0, "- Version Number: 1.0\n", "usb_interrupt_read failed: ", true},
        {"empty_reply", "reply=0", 0, "- Version Number: 1.0\n", "usb_interrupt_read failed: ", true},
        {"reply_times_out", "reply=fail", 0, "- Version Number: 1.0\n",
         "usb_interrupt_read failed: Connection timed out\n", true},
        {"query_fails", "write_fail=1", 0, "- Version Number: 1.0\n",
         "usb_interrupt_write failed: Connection timed out\n", false},
        {"claim_fails", "claim=fail", 1, "- Version Number: 1.0\n" + std::string(kDetachDebug),
         "usb_claim_interface failed: Device or resource busy\n", false},
    };
    for (const InfoCase& c : cases) {
        SCOPED_TRACE(c.name);
        start(std::string("device 6666:f100 ") + c.device + "\n");
        UsbPtr usb = open(c.debug);
        const Output printed = capture([&] { tovra_usb_printinfo(usb.get()); });
        EXPECT_EQ(printed.out, c.out);
        EXPECT_THAT(printed.err, StartsWith(c.err));
        EXPECT_EQ(split_lines(printed.err).size(), *c.err ? 1u : 0u);
        const Lines calls = new_calls();
        const auto count = [&](const std::string& prefix) {
            return std::count_if(calls.begin(), calls.end(),
                                 [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
        };
        EXPECT_EQ(count("report out 001/001: 71 7a 7a 7a 7a 7a 7a 7a | version query"), c.queried ? 1 : 0);
        EXPECT_EQ(count("usb_interrupt_read(001/001, ep 0x81, 8 bytes, timeout 250)"), c.queried ? 1 : 0);
    }
}

TEST_F(UsbLib, PrintInfoFetchesStringsThenClaimsForTheCommandsAfterIt)
{
    start(std::string("device 6666:f100 ") + kAllStrings + " reply=3\n");
    UsbPtr usb = open(0);
    capture([&] {
        tovra_usb_printinfo(usb.get());
        tovra_usb_sendcommand(usb.get(), 0, 0x0C01);
    });
    Lines expected = {
        "usb_get_string_simple(001/001, 1) = 9 \"Tovra Ltd\"",
        "usb_get_string_simple(001/001, 2) = 14 \"USB controller\"",
        "usb_get_string_simple(001/001, 3) = 5 \"00042\"",
    };
    expected.insert(expected.end(), kClaim.begin(), kClaim.end());
    expected.insert(expected.end(), {kWrite, "report out 001/001: 71 7a 7a 7a 7a 7a 7a 7a | version query",
                                     "usb_interrupt_read(001/001, ep 0x81, 8 bytes, timeout 250) = 3",
                                     "report in 001/001: 01 02 03", kWrite,
                                     "report out 001/001: 30 0c 01 7a 7a 7a 7a 7a | code 0c01 output 1"});
    EXPECT_EQ(new_calls(), expected);
}

// ------------------------------------------------------------ preconditions

struct Misuse {
    const char* name;
    std::function<void(TovraUsb*)> call;  // gets an opened, unclaimed handle
    const char* function;
    const char* relation;  // start of the asserted expression
};

TEST_F(UsbLib, PreconditionsAbortWithTheViolatedRelation)
{
    const int* config = kSetup.data();
    const auto claimed = [](TovraUsb* u) { tovra_usb_sendcommand(u, 0, 1); };
    const Misuse cases[] = {
        {"find_null", [](TovraUsb*) { tovra_usb_finddevice(nullptr, 0); }, "finddevice", ".tovra"},
        {"find_255", [](TovraUsb* u) { tovra_usb_finddevice(u, 255); }, "finddevice", ".device_num"},
        {"find_negative", [](TovraUsb* u) { tovra_usb_finddevice(u, -1); }, "finddevice", ".device_num"},
        {"find_claimed", [&](TovraUsb* u) { claimed(u); tovra_usb_finddevice(u, 0); }, "finddevice",
         ".*interface_claimed"},
        {"send_null", [](TovraUsb*) { tovra_usb_sendcommand(nullptr, 0, 1); }, "sendcommand", ".tovra"},
        {"send_output_15", [](TovraUsb* u) { tovra_usb_sendcommand(u, 15, 1); }, "sendcommand", ".output"},
        {"send_output_0_minus_1", [](TovraUsb* u) { tovra_usb_sendcommand(u, -1, 1); }, "sendcommand", ".output"},
        {"send_ffff", [](TovraUsb* u) { tovra_usb_sendcommand(u, 0, 0xFFFF); }, "sendcommand", ".command"},
        {"send_negative_code", [](TovraUsb* u) { tovra_usb_sendcommand(u, 0, -1); }, "sendcommand", ".command"},
        {"config_null", [config](TovraUsb*) { tovra_usb_sendconfig(nullptr, 0, config); }, "sendconfig", ".tovra"},
        {"config_output_3", [config](TovraUsb* u) { tovra_usb_sendconfig(u, 2, config); }, "sendconfig", ".output"},
        {"config_no_entries", [](TovraUsb* u) { tovra_usb_sendconfig(u, 0, nullptr); }, "sendconfig", ".config"},
        {"info_null", [](TovraUsb*) { tovra_usb_printinfo(nullptr); }, "printinfo", ".tovra"},
        {"info_claimed", [&](TovraUsb* u) { claimed(u); tovra_usb_printinfo(u); }, "printinfo", ".*interface_claimed"},
    };
    start("device 6666:f100\n");
    UsbPtr usb = open(0);
    for (const Misuse& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_DEATH(c.call(usb.get()),
                     std::string("tovra-control-lib.cpp.*tovra_usb_") + c.function + ".*Assertion " + c.relation);
    }
}

// ------------------------------------------------------------ the simulated controller itself

TEST_F(UsbLib, DeliveredCommandsReachTheBox)
{
    const fs::path fifo = dir_ / "keys";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    start("device 6666:f100 write_short=3:7\n");
    ::setenv("TOVRA_SIM_BOX", fifo.c_str(), 1);
    UsbPtr usb = open(0);
    capture([&] {
        tovra_usb_sendcommand(usb.get(), 0, 0x0C01);
        tovra_usb_sendconfig(usb.get(), 1, kSetup.data());  // writes 2 and 3: no keys
        tovra_usb_sendcommand(usb.get(), 1, 0x5C83);
        tovra_usb_sendcommand(usb.get(), 14, 0x00AB);
    });
    std::array<char, 256> text{};
    const ssize_t n = ::read(reader, text.data(), text.size());
    EXPECT_EQ(std::string(text.data(), n > 0 ? static_cast<std::size_t>(n) : 0),
              "KEY 1 0c01\nKEY 2 5c83\nKEY 15 00ab\n");

    // A box that went away costs the program nothing, not even a SIGPIPE.
    ::close(reader);
    int result = -1;
    capture([&] { result = tovra_usb_sendcommand(usb.get(), 0, 0x0C02); });
    EXPECT_EQ(result, 0);
}

struct BadScenario {
    const char* text;
    const char* message;
};

TEST_F(UsbLib, ScenarioMistakesEndTheProcess)
{
    const BadScenario cases[] = {
        {"device 6666:f100\nhub\n", "simusb: scenario line 2: unknown keyword 'hub'"},
        {"# typo\ndevice 6666:f100 relase=0110\n", "simusb: scenario line 2: unknown key 'relase'"},
        {"device 6666-f100\n", "simusb: scenario line 1: bad device ids '6666-f100'"},
        {"device 6666:f100 product=\"Tovra\n", "simusb: scenario line 1: unterminated quoted value"},
        {"device 6666:f100 reply=9\n", "simusb: scenario line 1: bad reply '9'"},
        {"device 6666:f100 write_short=1:8\n", "simusb: scenario line 1: bad count '8'"},
        {"device 6666:f100 detach=ENOSUCH\n", "simusb: scenario line 1: unknown error name 'ENOSUCH'"},
        {"device 6666:f100 claim=fail claim=EBUSY\n", "simusb: scenario line 1: key 'claim' given twice"},
        {"bus 2\n", "simusb: scenario line 1: unexpected text after 'bus'"},
        {"device 6666:f100 version=1.2\n", "simusb: scenario line 1: bad version '1.2'"},
    };
    for (const BadScenario& c : cases) {
        SCOPED_TRACE(c.text);
        std::ofstream(dir_ / "scenario") << c.text;
        ::setenv("TOVRA_SIM_USB", (dir_ / "scenario").c_str(), 1);
        EXPECT_EXIT(tovra_usb_initialise(), testing::ExitedWithCode(99), c.message);
    }
}

}  // namespace
