// SPDX-License-Identifier: GPL-2.0-or-later
// Controller identification (--debug), configuration (--setup) and the RS232
// controller (--scontroller) of tovra-control.
#include <fcntl.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include "harness.h"

namespace {

using cli::codes_on;
using cli::count_calls;
using cli::hex;
using cli::reports_out;
using cli::RunResult;
using cli::sent_codes;
using ::testing::ElementsAre;
using ::testing::StartsWith;

class Setup : public cli::CliTest {};

struct Identification {
    std::string device;
    std::string lines;  // between "Found tovra control num 0" and the detach lines
    std::string version;
};

void PrintTo(const Identification& row, std::ostream* os)
{
    *os << row.device;
}

class Identify : public Setup, public ::testing::WithParamInterface<Identification> {};

TEST_P(Identify, PrintsStringsReleaseAndFirmwareWithOneTransfer)
{
    use_scenario("device 6666:f100 " + GetParam().device + "\n");
    const RunResult r = run({"--debug"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "Found device: 6666-f100\n"
                     "Found tovra control num 0\n" +
                         GetParam().lines +
                         "Trying to detach kernel driver\n"
                         "Device already detached\n"
                         "sending: byte 113\n"
                         "- Full version " +
                         GetParam().version + "\n");
    EXPECT_THAT(reports_out(r.usb_log), ElementsAre("report out 001/001: 71 7a 7a 7a 7a 7a 7a 7a | version query"))
        << r;
    EXPECT_EQ(count_calls(r.usb_log, "usb_interrupt_write("), 1u) << r;
    EXPECT_EQ(count_calls(r.usb_log, "usb_interrupt_read(001/001, ep 0x81, 8 bytes, timeout 1000) = 8"), 1u) << r;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Identify,
    ::testing::Values(
        Identification{R"(release=0110 manufacturer="Tovra Ltd" product="USB remote" serial="A0042" version=1.2.3)",
                       "- Manufacturer : Tovra Ltd\n"
                       "- Product : USB remote\n"
                       "- Serial Number: A0042\n"
                       "- Version Number: 1.16\n",
                       "1.2.3"},
        Identification{"release=0102", "- Version Number: 1.2\n", "1.0.0"},
        Identification{R"(manufacturer=fail product="" serial=fail release=0a00 version=255.0.7)",
                       "- Unable to fetch manufacturer string\n"
                       "- Unable to fetch product string\n"
                       "- Unable to fetch serial number string\n"
                       "- Version Number: 10.0\n",
                       "255.0.7"},
        Identification{R"(product="Remote")",
                       "- Product : Remote\n"
                       "- Version Number: 1.0\n",
                       "1.0.0"}));

TEST_F(Setup, ShortVersionReplyPrintsNoFullVersion)
{
    use_scenario("device 6666:f100 reply=3 version=1.2.3\n");
    const RunResult r = run({"--debug", "0001"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_THAT(r.out, ::testing::Not(::testing::HasSubstr("- Full version")));
    EXPECT_THAT(r.err_lines(), ElementsAre(StartsWith("usb_interrupt_read failed: "))) << r;
    EXPECT_EQ(sent_codes(r.usb_log), codes_on(1, {0x0001})) << r;
}

TEST_F(Setup, IdentificationThenCodesClaimsOnce)
{
    const RunResult r = run({"--debug", "0001", "0002"});
    EXPECT_EQ(r.status, 0) << r;
    for (const char* call : {"usb_detach_kernel_driver_np(", "usb_set_configuration(", "usb_claim_interface("})
        EXPECT_EQ(count_calls(r.usb_log, call), 1u) << call << r;
    EXPECT_EQ(count_calls(r.out_lines(), "Trying to detach kernel driver"), 1u) << r;
    EXPECT_EQ(sent_codes(r.usb_log), codes_on(1, {0x0001, 0x0002})) << r;
}

struct ConfigCase {
    std::vector<std::string> args;
    std::vector<std::string> reports;
};

void PrintTo(const ConfigCase& row, std::ostream* os)
{
    *os << ::testing::PrintToString(row.args);
}

class SetupReports : public Setup, public ::testing::WithParamInterface<ConfigCase> {};

TEST_P(SetupReports, ToTheByte)
{
    const RunResult r = run(GetParam().args);
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(reports_out(r.usb_log), GetParam().reports) << r;
    EXPECT_EQ(count_calls(r.usb_log, "usb_claim_interface("), 1u) << r;
}

const std::string kConfigA1 = "report out 001/001: 73 4b 96 96 05 dc 0a 8b | config A output 1";
const std::string kConfigB1 = "report out 001/001: 75 01 7a 7a 7a 7a 7a 7a | config B output 1";
const std::string kConfigA2 = "report out 001/001: 74 4b 96 96 05 dc 0a 8b | config A output 2";
const std::string kConfigB2 = "report out 001/001: 76 01 7a 7a 7a 7a 7a 7a | config B output 2";

INSTANTIATE_TEST_SUITE_P(
    Table, SetupReports,
    ::testing::Values(ConfigCase{{"--setup"}, {kConfigA1, kConfigB1}},
                      ConfigCase{{"--setup", "--output", "2"}, {kConfigA2, kConfigB2}},
                      ConfigCase{{"--box", "1", "--setup"}, {kConfigA2, kConfigB2}},
                      ConfigCase{{"--setup", "0C03", "0001"},
                                 {kConfigA1, kConfigB1,
                                  "report out 001/001: 30 0c 03 7a 7a 7a 7a 7a | code 0c03 output 1",
                                  "report out 001/001: 30 00 01 7a 7a 7a 7a 7a | code 0001 output 1"}}));

TEST_F(Setup, IdentificationComesBeforeTheConfiguration)
{
    const RunResult r = run({"--setup", "--debug", "--output", "2", "0001"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_THAT(reports_out(r.usb_log),
                ElementsAre(StartsWith("report out 001/001: 71 "), kConfigA2, kConfigB2,
                            "report out 001/001: 31 00 01 7a 7a 7a 7a 7a | code 0001 output 2"))
        << r;
}

TEST_F(Setup, RefusedForOutputsBeyondTwo)
{
    const RunResult r = run({"--setup", "--output", "3", "0001"});
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Setup can only be sent to output 1 or 2, not output 3.\n");
    EXPECT_EQ(count_calls(r.usb_log, "usb_interrupt_write("), 0u) << r;
}

struct ConfigFailure {
    std::string device_settings;
    std::vector<std::string> err;
    std::vector<std::string> reports;
};

void PrintTo(const ConfigFailure& row, std::ostream* os)
{
    *os << row.device_settings;
}

class SetupFailure : public Setup, public ::testing::WithParamInterface<ConfigFailure> {};

TEST_P(SetupFailure, EndsTheRunBeforeAnyCode)
{
    use_scenario("device 6666:f100 " + GetParam().device_settings + "\n");
    const RunResult r = run({"--setup", "0001"});
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err_lines(), GetParam().err);
    EXPECT_EQ(reports_out(r.usb_log), GetParam().reports) << r;
}

INSTANTIATE_TEST_SUITE_P(
    Table, SetupFailure,
    ::testing::Values(
        ConfigFailure{"write_fail=1",
                      {"usb_interrupt_write failed: Connection timed out",
                       "tovra_usb_sendconfig failed: Connection timed out"},
                      {}},
        ConfigFailure{"write_fail=2:EIO",
                      {"usb_interrupt_write failed: Input/output error", "tovra_usb_sendconfig failed: Input/output error"},
                      {kConfigA1}},
        ConfigFailure{"claim=EACCES",
                      {"usb_claim_interface failed: Permission denied", "tovra_usb_sendconfig failed: Permission denied",
                       "The USB controller is not writable for this user: install the tovra-control udev rules, join "
                       "the plugdev group (or log in locally), then unplug and replug the controller."},
                      {}}));

TEST_F(Setup, ReportBIsNotSentWhenAFails)
{
    use_scenario("device 6666:f100 write_fail=1\n");
    const RunResult r = run({"--setup"});
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_EQ(count_calls(r.usb_log, "usb_interrupt_write("), 1u) << r;
}

// The RS232 controller: frames as read on a pseudo-terminal.
struct Frame {
    std::vector<std::string> args;
    std::string bytes;
    std::string debug;
};

void PrintTo(const Frame& row, std::ostream* os)
{
    *os << ::testing::PrintToString(row.args);
}

class SerialFrames : public Setup, public ::testing::WithParamInterface<Frame> {};

TEST_P(SerialFrames, WithDebugLinesAndNoUsb)
{
    cli::Pty controller;
    std::vector<std::string> args{"--debug", "--scontroller", controller.slave_path()};
    args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());
    const RunResult r = run(args);
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, GetParam().debug);
    EXPECT_EQ(hex(controller.read_available()), GetParam().bytes);
    EXPECT_EQ(controller.slave_speed(), 57600);
    EXPECT_TRUE(r.usb_log.empty()) << r;
}

INSTANTIATE_TEST_SUITE_P(
    Table, SerialFrames,
    ::testing::Values(Frame{{"0001"},
                            "30 00 01",
                            "sending code 0001 to output 1\n"
                            "sending cmd 0001 to output 1: bytes 48, 0, 1\n"},
                      Frame{{"--output", "2", "0C05"},
                            "31 0c 05",
                            "sending code 0c05 to output 2\n"
                            "sending cmd 0c05 to output 2: bytes 49, 12, 5\n"},
                      Frame{{"--output", "5", "0C05"},
                            "43 04 0c 05",
                            "sending code 0c05 to output 5\n"
                            "sending cmd 0c05 to output 5: bytes 67, 4, 12, 5\n"},
                      Frame{{"--output", "15", "FFFE"},
                            "43 0e ff fe",
                            "sending code fffe to output 15\n"
                            "sending cmd fffe to output 15: bytes 67, 14, 255, 254\n"},
                      Frame{{"--controller", "7", "0A00", "0001"},
                            "30 0a 00 30 00 01",
                            "sending code 0a00 to output 1\n"
                            "sending cmd 0a00 to output 1: bytes 48, 10, 0\n"
                            "sending code 0001 to output 1\n"
                            "sending cmd 0001 to output 1: bytes 48, 0, 1\n"}));

TEST_F(Setup, SerialControllerQuietWithoutDebug)
{
    cli::Pty controller;
    const RunResult r = run({"--scontroller", controller.slave_path(), "--box", "2", "0C05"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(hex(controller.read_available()), "43 02 0c 05");
}

TEST_F(Setup, SerialControllerChannelChange)
{
    cli::Pty controller;
    const RunResult r = run({"--scontroller", controller.slave_path(), "--sky+", "--channel", "101"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(hex(controller.read_available()), "30 0c 80 30 0c 01 30 0c 00 30 0c 01 30 0c 83");
    EXPECT_TRUE(r.usb_log.empty()) << r;
}

TEST_F(Setup, SerialControllerWriteThatFailsEndsTheRun)
{
    cli::Pty controller;
    // Nobody drains the line: fill it until a write is refused, so the
    // run's first frame cannot go out.
    const int line = open(controller.slave_path().c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(line, 0);
    // The pty moves bytes to the master's side in the background, so the
    // line is full only when a write is still refused after a pause.
    const std::vector<char> block(4096, 'x');
    do {
        while (write(line, block.data(), block.size()) > 0) {
        }
        while (write(line, block.data(), 1) > 0) {
        }
        usleep(50000);
    } while (write(line, block.data(), 1) > 0);
    const RunResult r = run({"--scontroller", controller.slave_path(), "0001", "0002"});
    close(line);
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "tovra_serial_sendcommand failed: Resource temporarily unavailable\n");
}

TEST_F(Setup, SerialControllerPortThatCannotBeOpened)
{
    const std::string port = dir.file("no-such-port");
    for (const bool setup : {false, true}) {
        std::vector<std::string> args{"--scontroller", port, "0001"};
        if (setup)
            args.push_back("--setup");
        const RunResult r = run(args);
        EXPECT_EQ(r.status, 1) << r;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, port + ": No such file or directory\n"
                               "Opening serial port failed: No such file or directory\n");
        EXPECT_TRUE(r.usb_log.empty()) << r;
    }
}

TEST_F(Setup, SetupIsRefusedForASerialControllerAfterOpeningIt)
{
    cli::Pty controller;
    const RunResult r = run({"--setup", "--scontroller", controller.slave_path(), "0001"});
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Configuration sending not supported for serial devices.\n");
    EXPECT_EQ(controller.slave_speed(), 57600) << "port not opened first";
    EXPECT_TRUE(controller.read_available().empty());
    EXPECT_TRUE(r.usb_log.empty()) << r;
}

}  // namespace
