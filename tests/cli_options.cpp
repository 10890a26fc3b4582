// SPDX-License-Identifier: GPL-2.0-or-later
// Command-line parsing of tovra-control: usage text, the parser's refusals,
// option spellings and order, range checks and --log.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include <filesystem>

#include "harness.h"

namespace {

using cli::codes_on;
using cli::RunOptions;
using cli::RunResult;
using cli::sent_codes;
using cli::usage_text;

const std::string kProgram = TOVRA_CONTROL_BIN;

class Options : public cli::CliTest {};

TEST_F(Options, NoArgumentsPrintsUsageUnderTheInvokedNameAndOpensNothing)
{
    RunOptions options;
    options.argv0 = "my-remote";
    const RunResult r = run({}, options);
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, usage_text("my-remote"));
    EXPECT_EQ(cli::split_lines(r.err).size(), 40u);
    EXPECT_TRUE(r.usb_log.empty()) << r;
}

struct Rejected {
    std::vector<std::string> args;
    std::string diagnostic;  // the parser's own line, after "<argv0>: "
};

void PrintTo(const Rejected& row, std::ostream* os)
{
    *os << ::testing::PrintToString(row.args);
}

class ParserRejects : public Options, public ::testing::WithParamInterface<Rejected> {};

TEST_P(ParserRejects, WithItsDiagnosticThenUsage)
{
    const RunResult r = run(GetParam().args);
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, kProgram + ": " + GetParam().diagnostic + "\n" + usage_text(kProgram));
    EXPECT_TRUE(r.usb_log.empty()) << r;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParserRejects,
    ::testing::Values(Rejected{{"--bogus", "0001"}, "unrecognized option '--bogus'"},
                      Rejected{{"--s", "0001"},
                               "option '--s' is ambiguous; possibilities: '--scontroller' '--setup' '--sky' "
                               "'--sky+' '--sky+hd'"},
                      Rejected{{"--sk", "--channel", "1"},
                               "option '--sk' is ambiguous; possibilities: '--sky' '--sky+' '--sky+hd'"},
                      Rejected{{"0001", "--output"}, "option '--output' requires an argument"},
                      Rejected{{"--debug=1"}, "option '--debug' doesn't allow an argument"},
                      // Only after "--" does a word like this reach raw-code mode.
                      Rejected{{"0001", "-1"}, "invalid option -- '1'"}));

// Spellings the parser accepts; an invalid channel text shows that channel
// mode was reached without waiting for a whole channel change.
struct Accepted {
    std::vector<std::string> args;
    std::string err;
    std::vector<std::string> codes;
};

void PrintTo(const Accepted& row, std::ostream* os)
{
    *os << ::testing::PrintToString(row.args);
}

class ParserAccepts : public Options, public ::testing::WithParamInterface<Accepted> {};

TEST_P(ParserAccepts, Spelling)
{
    const RunResult r = run(GetParam().args);
    EXPECT_EQ(r.status, GetParam().err.empty() ? 0 : 1) << r;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, GetParam().err);
    EXPECT_EQ(sent_codes(r.usb_log), GetParam().codes) << r;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParserAccepts,
    ::testing::Values(Accepted{{"--chan", "zz"}, "Invalid channel number 'zz'\n", {}},
                      Accepted{{"--channel=1y"}, "Invalid channel number '1y'\n", {}},
                      Accepted{{"--sky", "--channel", "a"}, "Invalid channel number 'a'\n", {}},
                      Accepted{{"--sky+", "--channel", "b"}, "Invalid channel number 'b'\n", {}},
                      Accepted{{"--sky+h", "--channel", "c"}, "Invalid channel number 'c'\n", {}},
                      Accepted{{"--out", "3", "0001"}, "", codes_on(3, {0x0001})},
                      Accepted{{"--output=4", "0001"}, "", codes_on(4, {0x0001})},
                      Accepted{{"0001", "0002", "--output", "3"}, "", codes_on(3, {0x0001, 0x0002})},
                      Accepted{{"--output", "2", "--", "0001", "--debug"},
                               "Invalid command code: '--debug'\n",
                               codes_on(2, {0x0001})}));

// Which output a run's codes reach.
struct OutputCase {
    std::vector<std::string> args;
    int output;
};

void PrintTo(const OutputCase& row, std::ostream* os)
{
    *os << ::testing::PrintToString(row.args);
}

class OutputSelection : public Options, public ::testing::WithParamInterface<OutputCase> {};

TEST_P(OutputSelection, CodeGoesToOutput)
{
    std::vector<std::string> args = GetParam().args;
    args.push_back("0001");
    const RunResult r = run(args);
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(sent_codes(r.usb_log), codes_on(GetParam().output, {0x0001})) << r;
}

INSTANTIATE_TEST_SUITE_P(Table, OutputSelection,
                         ::testing::Values(OutputCase{{}, 1}, OutputCase{{"--output", "1"}, 1},
                                           OutputCase{{"--output", "15"}, 15}, OutputCase{{"--box", "0"}, 1},
                                           OutputCase{{"--box", "14"}, 15}, OutputCase{{"--box", "abc"}, 1},
                                           OutputCase{{"--output", " 3"}, 3}, OutputCase{{"--output", "+3x"}, 3},
                                           OutputCase{{"--output", "2", "--output", "4"}, 4},
                                           OutputCase{{"--box", "3", "--output", "2"}, 2}));

struct OutOfRange {
    std::vector<std::string> args;
    std::string shown;
};

void PrintTo(const OutOfRange& row, std::ostream* os)
{
    *os << ::testing::PrintToString(row.args);
}

class OutputOutOfRange : public Options, public ::testing::WithParamInterface<OutOfRange> {};

TEST_P(OutputOutOfRange, MessageOnStdoutThenUsage)
{
    std::vector<std::string> args = GetParam().args;
    args.push_back("0001");
    const RunResult r = run(args);
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_EQ(r.out, "output number '" + GetParam().shown + "' out of range.\n");
    EXPECT_EQ(r.err, usage_text(kProgram));
    EXPECT_TRUE(r.usb_log.empty()) << r;
}

INSTANTIATE_TEST_SUITE_P(
    Table, OutputOutOfRange,
    ::testing::Values(OutOfRange{{"--output", "0"}, "0"}, OutOfRange{{"--output", "16"}, "16"},
                      OutOfRange{{"--output", "-1"}, "-1"}, OutOfRange{{"--box", "15"}, "16"},
                      OutOfRange{{"--box", "-1"}, "0"}, OutOfRange{{"--output", "abc"}, "0"},
                      // Numbers beyond int are refused as they are, never wrapped into range.
                      OutOfRange{{"--output", "4294967297"}, "4294967297"},
                      OutOfRange{{"--box", "4294967296"}, "4294967297"},
                      // Refused at once, although a later option would be valid.
                      OutOfRange{{"--output", "16", "--output", "1"}, "16"}));

class ControllerOutOfRange : public Options, public ::testing::WithParamInterface<std::string> {};

TEST_P(ControllerOutOfRange, RefusedBeforeAnyDeviceSearch)
{
    const RunResult r = run({"--controller", GetParam(), "0001"});
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "controller number '" + GetParam() + "' out of range: use 1 to 255\n");
    EXPECT_TRUE(r.usb_log.empty()) << r;
}

INSTANTIATE_TEST_SUITE_P(Table, ControllerOutOfRange,
                         ::testing::Values("0", "-1", "abc", "256", "4294967297", "4294967296"));

// With one file behind both streams, stdout's lines keep their place between
// stderr's: stdout must not hold them back in a buffer.
const std::string kDebugThenWriteFailure =
    cli::kDebugIdentification +
    "sending code 0001 to output 1\n"
    "sending cmd 0001 to output 1: bytes 48, 0, 1\n"
    "usb_interrupt_write failed: Connection timed out\n"
    "tovra_usb_sendcommand failed: Connection timed out\n";

TEST_F(Options, StreamsKeepTheirOrderInOneFile)
{
    use_scenario("device 6666:f100 write_fail=2\n");  // the version query, then the code fails
    RunOptions options;
    options.merge_streams = true;
    const RunResult r = run({"--debug", "0001"}, options);
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_EQ(r.out, kDebugThenWriteFailure);
}

TEST_F(Options, LogAppendsBothStreamsInOrder)
{
    use_scenario("device 6666:f100 write_fail=2\n");
    const std::string log = dir.write("run.log", "earlier run\n");
    const RunResult r = run({"--log", log, "--debug", "0001"});
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(cli::read_file(log), "earlier run\n" + kDebugThenWriteFailure);
}

TEST_F(Options, LogTakesTheRangeMessageAndUsageOfLaterOptions)
{
    const std::string log = dir.file("new.log");
    const RunResult r = run({"--log", log, "--output", "0"});
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(cli::read_file(log), "output number '0' out of range.\n" + usage_text(kProgram));
}

TEST_F(Options, LogAfterARefusedOptionIsNeverOpened)
{
    const std::string log = dir.file("never.log");
    const RunResult r = run({"--output", "0", "--log", log});
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_EQ(r.out, "output number '0' out of range.\n");
    EXPECT_EQ(r.err, usage_text(kProgram));
    EXPECT_FALSE(std::filesystem::exists(log));
}

TEST_F(Options, LogThatCannotBeOpenedIsReportedOnTheOriginalStderr)
{
    const std::string log = dir.file("missing/run.log");
    const RunResult r = run({"--log", log, "0001"});
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "opening log file " + log + " for writing failed: No such file or directory\n");
    EXPECT_TRUE(r.usb_log.empty()) << r;
}

}  // namespace

namespace {

TEST_F(Options, CallerEnvironmentDoesNotStopOptionsAtTheFirstCode)
{
    cli::RunOptions options;
    options.env = {"POSIXLY_CORRECT=1"};
    const RunResult r = run({"0001", "0002", "--output", "3"}, options);
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(sent_codes(r.usb_log), codes_on(3, {0x0001, 0x0002}));
}

// A reader that closes its end of the pipe early must not stop the run
// between two keys: every key still goes out and the status still tells.
TEST_F(Options, RunOutlivesAReaderThatClosedItsPipe)
{
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    close(out[0]);
    const std::string log = dir.file("pipe.usblog");
    const std::string scenario_env = "TOVRA_SIM_USB=" + scenario;
    const std::string log_env = "TOVRA_SIM_USB_LOG=" + log;
    const std::string preload_env = std::string("LD_PRELOAD=") + SIMUSB_LIB;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, STDERR_FILENO);
        char* const argv[] = {const_cast<char*>(TOVRA_CONTROL_BIN), const_cast<char*>("--debug"),
                              const_cast<char*>("0001"), const_cast<char*>("0002"), nullptr};
        // The sanitizer build must accept the simulator preloaded ahead of it.
        char* const envp[] = {const_cast<char*>(scenario_env.c_str()), const_cast<char*>(log_env.c_str()),
                              const_cast<char*>(preload_env.c_str()),
                              const_cast<char*>("ASAN_OPTIONS=verify_asan_link_order=0"), nullptr};
        execve(TOVRA_CONTROL_BIN, argv, envp);
        _exit(127);
    }
    close(out[1]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(sent_codes(cli::split_lines(cli::read_file(log))), codes_on(1, {0x0001, 0x0002}));
}

}  // namespace
