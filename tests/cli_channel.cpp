// SPDX-License-Identifier: GPL-2.0-or-later
// Channel mode of tovra-control: the key sequence per box type, refused
// channel texts, the wait before Backup, and the feedback port.
#include <gmock/gmock.h>

#include <filesystem>
#include <string>

#include "harness.h"

namespace {

using cli::codes_on;
using cli::count_calls;
using cli::reports_out;
using cli::RunResult;
using cli::sent_codes;

// Every whole sequence waits 2 s before Backup, so the cases run side by side.
class Channel : public cli::CliTest {};

struct Sequence {
    std::vector<std::string> args;
    std::vector<std::string> codes;
};

TEST_F(Channel, SequencesForEachBoxTypeAndText)
{
    cli::Pty feedback;
    const std::vector<Sequence> table{
        {{"--channel", "123"}, codes_on(1, {0x0080, 0x0001, 0x0002, 0x0003, 0x0083})},
        {{"--sky", "--channel", "0"}, codes_on(1, {0x0080, 0x0000, 0x0083})},
        {{"--sky+", "--channel", "356"}, codes_on(1, {0x0C80, 0x0C03, 0x0C05, 0x0C06, 0x0C83})},
        {{"--sky+hd", "--channel", "101"}, codes_on(1, {0x5C80, 0x5C01, 0x5C00, 0x5C01, 0x5C83})},
        {{"--channel", "S2X"}, codes_on(1, {0x0080, 0x007E, 0x0002, 0x005C, 0x0083})},
        {{"--sky+", "--channel", "DD9"}, codes_on(1, {0x0C80, 0x0C59, 0x0C59, 0x0C09, 0x0C83})},
        {{"--channel", ""}, codes_on(1, {0x0080, 0x0083})},
        // The last box option wins, wherever it stands.
        {{"--sky+hd", "--sky", "--channel", "1"}, codes_on(1, {0x0080, 0x0001, 0x0083})},
        {{"--channel", "1", "--sky+"}, codes_on(1, {0x0C80, 0x0C01, 0x0C83})},
        // Positional words are no codes in channel mode.
        {{"--channel", "42", "zz", "0001"}, codes_on(1, {0x0080, 0x0004, 0x0002, 0x0083})},
        {{"--output", "5", "--sky+hd", "--channel", "7"}, codes_on(5, {0x5C80, 0x5C07, 0x5C83})},
        // Not a plain number: the port is opened, never read, and the run
        // ends as without it.
        {{"--feedback", feedback.slave_path(), "--channel", "4S"}, codes_on(1, {0x0080, 0x0004, 0x007E, 0x0083})},
    };

    // Each run has a controller of its own, so no run waits for another's lock.
    std::vector<cli::RunningTool> running;
    for (std::size_t i = 0; i < table.size(); ++i) {
        const std::string locks = dir.file("locks" + std::to_string(i));
        std::filesystem::create_directory(locks);
        cli::RunOptions options;
        options.env = {"TOVRA_SIM_LOCK_DIR=" + locks};
        running.push_back(start(table[i].args, options));
    }
    for (std::size_t i = 0; i < table.size(); ++i) {
        const RunResult r = running[i].finish();
        SCOPED_TRACE(::testing::PrintToString(table[i].args));
        EXPECT_EQ(r.status, 0) << r;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(sent_codes(r.usb_log), table[i].codes) << r;
        EXPECT_GE(r.seconds, 1.9) << "no wait before Backup";
    }
    EXPECT_EQ(feedback.slave_speed(), 57600) << "feedback port not opened";
    EXPECT_TRUE(feedback.read_available(0).empty());
}

TEST_F(Channel, DebugLinesAndTheWaitBeforeBackup)
{
    const RunResult r = run({"--debug", "--sky+", "--channel", "12"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              cli::kDebugIdentification +
              "sending channel '12'\n"
              "sending code 0c80 to output 1\n"
              "sending cmd 0c80 to output 1: bytes 48, 12, 128\n"
              "sending code 0c01 to output 1\n"
              "sending cmd 0c01 to output 1: bytes 48, 12, 1\n"
              "sending code 0c02 to output 1\n"
              "sending cmd 0c02 to output 1: bytes 48, 12, 2\n"
              "Waiting 2000 ms...\n"
              "sending code 0c83 to output 1\n"
              "sending cmd 0c83 to output 1: bytes 48, 12, 131\n");
    EXPECT_GE(r.seconds, 1.9);
}

class InvalidChannel : public Channel, public ::testing::WithParamInterface<std::string> {};

TEST_P(InvalidChannel, RefusedBeforeAnyKey)
{
    const RunResult r = run({"--channel", GetParam()});
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Invalid channel number '" + GetParam() + "'\n");
    EXPECT_EQ(count_calls(r.usb_log, "usb_open(001/001) = ok"), 1u) << r;
    EXPECT_EQ(count_calls(r.usb_log, "usb_interrupt_write("), 0u) << r;
}

INSTANTIATE_TEST_SUITE_P(Table, InvalidChannel, ::testing::Values("12a", "12s", "1 2", "x", "-1", "123\n", "١"));

TEST_F(Channel, DebugEchoesAnInvalidChannelFirst)
{
    const RunResult r = run({"--debug", "--channel", "12a"});
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_THAT(r.out, ::testing::EndsWith("\nsending channel '12a'\n"));
    EXPECT_EQ(r.err, "Invalid channel number '12a'\n");
    EXPECT_EQ(count_calls(r.usb_log, "report out 001/001: 71"), 1u) << "identification still runs";
    EXPECT_TRUE(sent_codes(r.usb_log).empty()) << r;
}

TEST_F(Channel, InvalidTextIsRefusedBeforeTheFeedbackPortIsTried)
{
    const RunResult r = run({"--feedback", dir.file("no-such-port"), "--channel", "9a"});
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_EQ(r.err, "Invalid channel number '9a'\n");
}

TEST_F(Channel, FeedbackPortThatCannotBeOpenedEndsTheRunBeforeAnyKey)
{
    const std::string port = dir.file("no-such-port");
    const RunResult r = run({"--feedback", port, "--channel", "101"});
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, port + ": No such file or directory\n"
                           "Opening feedback serial port failed: No such file or directory\n");
    EXPECT_TRUE(reports_out(r.usb_log).empty()) << r;
}

}  // namespace
