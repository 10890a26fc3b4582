// SPDX-License-Identifier: GPL-2.0-or-later
// Raw-code mode of tovra-control over the simulated USB controller: which
// words are codes, the reports that reach the controller, controller
// selection, and every failure on the way to the device.
#include <gmock/gmock.h>

#include "harness.h"

namespace {

using cli::codes_on;
using cli::count_calls;
using cli::reports_out;
using cli::RunResult;
using cli::sent_codes;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::Matcher;
using ::testing::StartsWith;

class Raw : public cli::CliTest {};

struct CodeWord {
    std::string word;
    unsigned code;
};

void PrintTo(const CodeWord& row, std::ostream* os)
{
    *os << ::testing::PrintToString(row.word);
}

class AcceptedCode : public Raw, public ::testing::WithParamInterface<CodeWord> {};

TEST_P(AcceptedCode, IsSent)
{
    const RunResult r = run({"--", GetParam().word});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(sent_codes(r.usb_log), codes_on(1, {GetParam().code})) << r;
}

INSTANTIATE_TEST_SUITE_P(Table, AcceptedCode,
                         ::testing::Values(CodeWord{"0C03", 0x0C03}, CodeWord{"c03", 0x0C03},
                                           CodeWord{"0x0C03", 0x0C03}, CodeWord{"0X0c03", 0x0C03},
                                           CodeWord{"0C03zz", 0x0C03}, CodeWord{"+c03", 0x0C03},
                                           CodeWord{" \t0C03", 0x0C03}, CodeWord{"0x", 0x0000},
                                           CodeWord{"0xg", 0x0000}, CodeWord{"-0", 0x0000},
                                           CodeWord{"000000FFFE", 0xFFFE},
                                           CodeWord{"FFFE", 0xFFFE}));

class RefusedCode : public Raw, public ::testing::WithParamInterface<std::string> {};

TEST_P(RefusedCode, EndsTheRunAfterEarlierCodes)
{
    const RunResult r = run({"--", "0001", GetParam(), "0002"});
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Invalid command code: '" + GetParam() + "'\n");
    EXPECT_EQ(sent_codes(r.usb_log), codes_on(1, {0x0001})) << r;
}

INSTANTIATE_TEST_SUITE_P(Table, RefusedCode,
                         ::testing::Values("zz", "", "10000", "FFFF", "0x10000", "100000000", "FFFFFFFFFFFFFFFF",
                                           "g1", "-1",
                                           // would wrap to FFFE through a 32-bit reading
                                           "-FFFF0002"));

struct ReportCase {
    std::vector<std::string> args;
    std::string report;
};

void PrintTo(const ReportCase& row, std::ostream* os)
{
    *os << ::testing::PrintToString(row.args);
}

class CommandReport : public Raw, public ::testing::WithParamInterface<ReportCase> {};

TEST_P(CommandReport, Bytes)
{
    const RunResult r = run(GetParam().args);
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_THAT(reports_out(r.usb_log), ElementsAre("report out 001/001: " + GetParam().report)) << r;
}

INSTANTIATE_TEST_SUITE_P(
    Table, CommandReport,
    ::testing::Values(ReportCase{{"0001"}, "30 00 01 7a 7a 7a 7a 7a | code 0001 output 1"},
                      ReportCase{{"--output", "2", "0C05"}, "31 0c 05 7a 7a 7a 7a 7a | code 0c05 output 2"},
                      ReportCase{{"--output", "5", "0C05"}, "43 04 0c 05 7a 7a 7a 7a | code 0c05 output 5"},
                      ReportCase{{"--output", "15", "FFFE"}, "43 0e ff fe 7a 7a 7a 7a | code fffe output 15"},
                      ReportCase{{"--box", "14", "FFFE"}, "43 0e ff fe 7a 7a 7a 7a | code fffe output 15"}));

TEST_F(Raw, WholeConversationClaimsOnceAndClosesAtTheEnd)
{
    const RunResult r = run({"0001", "0C80"});
    ASSERT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_THAT(r.usb_log,
                ElementsAre("usb_set_debug(0)", "usb_init()", StartsWith("usb_find_busses() = "),
                            StartsWith("usb_find_devices() = "), "usb_get_busses()", "usb_open(001/001) = ok",
                            "usb_detach_kernel_driver_np(001/001, 0) = -61 (ENODATA)",
                            "usb_set_configuration(001/001, 1) = 0", "usb_claim_interface(001/001, 0) = 0",
                            "usb_interrupt_write(001/001, ep 0x01, 8 bytes, timeout 1000) = 8",
                            "report out 001/001: 30 00 01 7a 7a 7a 7a 7a | code 0001 output 1",
                            "usb_interrupt_write(001/001, ep 0x01, 8 bytes, timeout 1000) = 8",
                            "report out 001/001: 30 0c 80 7a 7a 7a 7a 7a | code 0c80 output 1",
                            "usb_close(001/001) = 0"));
}

TEST_F(Raw, NoCodesOpensTheControllerAndSendsNothing)
{
    const RunResult r = run({"--output", "3"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(count_calls(r.usb_log, "usb_open(001/001) = ok"), 1u) << r;
    EXPECT_EQ(count_calls(r.usb_log, "usb_claim_interface"), 0u) << r;
    EXPECT_TRUE(reports_out(r.usb_log).empty()) << r;
}

// Identification claims the interface, so the code lines that follow carry no
// detach lines of their own.
TEST_F(Raw, DebugLinesForEachCode)
{
    const RunResult r = run({"--debug", "--output", "5", "0C05", "0001"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              cli::kDebugIdentification +
              "sending code 0c05 to output 5\n"
              "sending cmd 0c05 to output 5: bytes 67, 4, 12\n"
              "sending code 0001 to output 5\n"
              "sending cmd 0001 to output 5: bytes 67, 4, 0\n");
}

struct DetachCase {
    std::string setting;
    std::vector<std::string> lines;  // printed after "Trying to detach kernel driver"
};

void PrintTo(const DetachCase& row, std::ostream* os)
{
    *os << row.setting;
}

class Detach : public Raw, public ::testing::WithParamInterface<DetachCase> {};

TEST_P(Detach, OutcomeIsReportedAndTheClaimGoesOn)
{
    use_scenario("device 6666:f100 detach=" + GetParam().setting + "\n");
    const RunResult r = run({"--debug", "0001"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "");
    std::vector<std::string> expected{"Trying to detach kernel driver"};
    expected.insert(expected.end(), GetParam().lines.begin(), GetParam().lines.end());
    expected.push_back("sending: byte 113");
    const std::vector<std::string> out = r.out_lines();
    ASSERT_GE(out.size(), 3u) << r;
    EXPECT_EQ(std::vector<std::string>(out.begin() + 3, out.begin() + 3 + static_cast<long>(expected.size())),
              expected)
        << r;
    EXPECT_EQ(count_calls(r.usb_log, "usb_claim_interface(001/001, 0) = 0"), 1u) << r;
    EXPECT_EQ(sent_codes(r.usb_log), codes_on(1, {0x0001})) << r;
}

INSTANTIATE_TEST_SUITE_P(Table, Detach,
                         ::testing::Values(DetachCase{"ok", {"detach successful"}},
                                           DetachCase{"ENODATA", {"Device already detached"}},
                                           DetachCase{"EBUSY",
                                                      {"Detach failed: Device or resource busy[16]",
                                                       "Continueing anyway"}}));

TEST_F(Raw, FailedDetachIsSilentWithoutDebug)
{
    use_scenario("device 6666:f100 detach=EBUSY\n");
    const RunResult r = run({"0001"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(sent_codes(r.usb_log), codes_on(1, {0x0001})) << r;
}

// Controllers among other devices on two buses.
constexpr std::string_view kCrowdedBuses =
    "device 1234:5678\n"
    "device 6666:f101   # the maker's, but not a controller\n"
    "device 6666:f100\n"
    "bus\n"
    "device 6666:f100\n"
    "device 0001:f100\n"
    "device 6666:f100\n";

struct Selection {
    std::string number;
    std::string device;
};

void PrintTo(const Selection& row, std::ostream* os)
{
    *os << "--controller " << row.number;
}

class ControllerSelection : public Raw, public ::testing::WithParamInterface<Selection> {};

TEST_P(ControllerSelection, OpensTheNthController)
{
    use_scenario(kCrowdedBuses);
    const RunResult r = run({"--controller", GetParam().number, "0001"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(cli::log_lines(r.usb_log, "usb_open("), std::vector<std::string>{"usb_open(" + GetParam().device + ") = ok"})
        << r;
    EXPECT_THAT(reports_out(r.usb_log), ElementsAre(StartsWith("report out " + GetParam().device + ": "))) << r;
}

INSTANTIATE_TEST_SUITE_P(Table, ControllerSelection,
                         ::testing::Values(Selection{"1", "001/003"}, Selection{"2", "002/001"},
                                           Selection{"3", "002/003"}));

TEST_F(Raw, SearchStopsAtTheSelectedController)
{
    use_scenario(kCrowdedBuses);
    const RunResult r = run({"--debug", "--controller", "2"});
    EXPECT_EQ(r.status, 0) << r;
    const std::vector<std::string> out = r.out_lines();
    ASSERT_GE(out.size(), 7u) << r;
    EXPECT_EQ(std::vector<std::string>(out.begin(), out.begin() + 7),
              (std::vector<std::string>{"Found device: 1234-5678", "Found device: 6666-f101", "Found device: 6666-f100",
                                        "Found tovra control num 0", "Found device: 6666-f100",
                                        "Found tovra control num 1", "- Version Number: 1.0"}));
}

struct NotFound {
    std::string_view scenario;
    std::vector<std::string> args;
    std::string err;
};

void PrintTo(const NotFound& row, std::ostream* os)
{
    *os << ::testing::PrintToString(row.args) << " on " << ::testing::PrintToString(std::string(row.scenario));
}

const std::string kCheckConnected = "Please check the controller is connected.\n";
const std::string kSerialHint =
    "If you are using a serial controller please specify the port it is connected to use the --scontroller "
    "command line switch.\n";
const std::string kPermissionHintLine =
    "The USB controller is not writable for this user: install the tovra-control udev rules, join the plugdev "
    "group (or log in locally), then unplug and replug the controller.\n";

class ControllerNotFound : public Raw, public ::testing::WithParamInterface<NotFound> {};

TEST_P(ControllerNotFound, Messages)
{
    use_scenario(GetParam().scenario);
    const RunResult r = run(GetParam().args);
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, GetParam().err);
    EXPECT_TRUE(reports_out(r.usb_log).empty()) << r;
    EXPECT_EQ(count_calls(r.usb_log, "usb_init()"), 1u) << r;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ControllerNotFound,
    ::testing::Values(
        NotFound{"", {"0001"},
                 "tovra_usb_finddevice(0) failed to find device 6666-f100\n"
                 "unable to find USB tovra controller number 0\n" +
                     kCheckConnected + kSerialHint},
        NotFound{"device 1234:5678\ndevice 6666:f101\n", {"0001"},
                 "tovra_usb_finddevice(0) failed to find device 6666-f100\n"
                 "unable to find USB tovra controller number 0\n" +
                     kCheckConnected + kSerialHint},
        NotFound{cli::kOneController, {"--controller", "2", "0001"},
                 "tovra_usb_finddevice(1) failed to find device 6666-f100\n"
                 "unable to find USB tovra controller number 1\n" +
                     kCheckConnected},
        NotFound{kCrowdedBuses, {"--controller", "4", "0001"},
                 "tovra_usb_finddevice(3) failed to find device 6666-f100\n"
                 "unable to find USB tovra controller number 3\n" +
                     kCheckConnected},
        NotFound{cli::kOneController, {"--controller", "255", "0001"},
                 "tovra_usb_finddevice(1) failed to find device 6666-f100\n"
                 "unable to find USB tovra controller number 254\n" +
                     kCheckConnected},
        NotFound{"device 6666:f100 open=EACCES\n", {"0001"},
                 "usb_open failed: Permission denied\n"
                 "unable to find USB tovra controller number 0\n" +
                     kCheckConnected + kSerialHint + kPermissionHintLine},
        NotFound{"device 6666:f100 open=ENODEV\n", {"0001"},
                 "usb_open failed: No such device\n"
                 "unable to find USB tovra controller number 0\n" +
                     kCheckConnected + kSerialHint}));

const std::string kPermissionHint =
    "The USB controller is not writable for this user: install the tovra-control udev rules, join the plugdev "
    "group (or log in locally), then unplug and replug the controller.";

struct Failure {
    std::string device_settings;
    std::vector<Matcher<std::string>> err;
    std::vector<std::string> sent;  // codes that went out before the failure
};

void PrintTo(const Failure& row, std::ostream* os)
{
    *os << row.device_settings;
}

class SendFailure : public Raw, public ::testing::WithParamInterface<Failure> {};

TEST_P(SendFailure, EndsTheRunAtOnce)
{
    use_scenario("device 6666:f100 " + GetParam().device_settings + "\n");
    const RunResult r = run({"0001", "0002", "0003"});
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_EQ(r.out, "");
    EXPECT_THAT(r.err_lines(), ElementsAreArray(GetParam().err)) << r;
    EXPECT_EQ(sent_codes(r.usb_log), GetParam().sent) << r;
}

INSTANTIATE_TEST_SUITE_P(
    Table, SendFailure,
    ::testing::Values(
        Failure{"setconfig=EBUSY",
                {"usb_set_configuration failed: Device or resource busy",
                 "tovra_usb_sendcommand failed: Device or resource busy"},
                {}},
        Failure{"claim=fail",
                {"usb_claim_interface failed: Device or resource busy",
                 "tovra_usb_sendcommand failed: Device or resource busy"},
                {}},
        Failure{"claim=EACCES",
                {"usb_claim_interface failed: Permission denied", "tovra_usb_sendcommand failed: Permission denied",
                 kPermissionHint},
                {}},
        // The node is readable but not writable: libusb opens it read-only.
        Failure{"access=readonly",
                {"usb_set_configuration failed: Operation not permitted",
                 "tovra_usb_sendcommand failed: Operation not permitted", kPermissionHint},
                {}},
        Failure{"write_fail=1",
                {"usb_interrupt_write failed: Connection timed out",
                 "tovra_usb_sendcommand failed: Connection timed out"},
                {}},
        Failure{"write_fail=2:EIO",
                {"usb_interrupt_write failed: Input/output error", "tovra_usb_sendcommand failed: Input/output error"},
                codes_on(1, {0x0001})},
        // A short transfer sets no error number of its own.
        Failure{"write_short=3:7",
                {StartsWith("usb_interrupt_write failed: "), StartsWith("tovra_usb_sendcommand failed: ")},
                codes_on(1, {0x0001, 0x0002})},
        Failure{"write_short=2:0",
                {StartsWith("usb_interrupt_write failed: "), StartsWith("tovra_usb_sendcommand failed: ")},
                codes_on(1, {0x0001})}));

TEST_F(Raw, FailedWriteStopsFurtherTransfers)
{
    use_scenario("device 6666:f100 write_fail=2\n");
    const RunResult r = run({"0001", "0002", "0003"});
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_EQ(count_calls(r.usb_log, "usb_interrupt_write("), 2u) << r;
}

TEST_F(Raw, FeedbackPortIsNotOpenedWithoutAChannel)
{
    const RunResult r = run({"--feedback", dir.file("no-such-port"), "0001"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(sent_codes(r.usb_log), codes_on(1, {0x0001})) << r;
}

}  // namespace
