// SPDX-License-Identifier: GPL-2.0-or-later
// Runs the real command-line programs as a user would, with the simulated USB
// controller preloaded in place of libusb, and collects what they did: exit
// status (or signal), both output streams, the simulator's log and the time
// taken. Every run gets an explicit environment, so nothing from the caller's
// environment (POSIXLY_CORRECT, locale, ...) changes the program's behaviour.
//
// Typical use:
//
//   class Raw : public cli::CliTest {};
//   TEST_F(Raw, SendsCode) {
//       use_scenario("device 6666:f100\n");
//       const cli::RunResult r = run({"--output", "2", "0C05"});
//       ASSERT_EQ(r.status, 0) << r;
//       EXPECT_EQ(cli::reports_out(r.usb_log), ...);
//   }
#pragma once

#include <gtest/gtest.h>

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

// A scratch directory, removed with everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // Absolute path of name inside the directory (nothing is created).
    std::string file(std::string_view name) const;
    // Writes text to name in the directory (replacing it) and returns its path.
    std::string write(std::string_view name, std::string_view text) const;

private:
    std::string path_;
};

// Whole contents of a file; empty when it does not exist.
std::string read_file(const std::string& path);

// Lines of text without their newlines; a final line without one is kept.
std::vector<std::string> split_lines(std::string_view text);

struct RunOptions {
    std::string program = TOVRA_CONTROL_BIN;
    std::optional<std::string> argv0;  // name the program is invoked as; default: program
    bool simulate_usb = true;          // preload the simulated controller and log its calls
    std::string scenario;              // TOVRA_SIM_USB; empty: not set (no buses at all)
    std::vector<std::string> env;      // extra "NAME=value" entries
    std::optional<std::string> input;  // stdin contents; none: /dev/null
    bool merge_streams = false;        // stdout and stderr share one file: RunResult::out holds both, in order
    std::chrono::milliseconds timeout{60000};  // then the program is killed (RunResult::signal)
};

struct RunResult {
    int status = -1;  // exit status, -1 when ended by a signal
    int signal = 0;   // the ending signal, 0 when it exited
    std::string out;  // stdout (both streams with merge_streams)
    std::string err;  // stderr (empty with merge_streams)
    std::vector<std::string> usb_log;  // the simulator's lines of this run
    double seconds = 0;                // wall time from start to end

    std::vector<std::string> out_lines() const { return split_lines(out); }
    std::vector<std::string> err_lines() const { return split_lines(err); }
};

// Shows everything about a run, for failure messages: ASSERT_EQ(r.status, 0) << r;
std::ostream& operator<<(std::ostream& os, const RunResult& result);

// A started program; finish() waits for it. Several may run at once, which
// keeps tests of the program's fixed waits short. Runs whose scenarios share a
// folder also share the simulated controllers' lock files and so wait for
// each other: give each concurrent run its own "TOVRA_SIM_LOCK_DIR=<dir>".
class RunningTool {
public:
    RunningTool(const TempDir& dir, const std::vector<std::string>& args, const RunOptions& options);
    ~RunningTool();  // kills and reaps a program that was never finished
    RunningTool(const RunningTool&) = delete;
    RunningTool& operator=(const RunningTool&) = delete;
    RunningTool(RunningTool&&) noexcept;
    RunningTool& operator=(RunningTool&&) = delete;

    RunResult finish();

private:
    pid_t pid_ = -1;
    std::chrono::steady_clock::time_point start_;
    std::chrono::milliseconds timeout_{};
    bool merged_ = false;
    std::string out_path_, err_path_, log_path_, in_path_, wrapper_log_path_;
};

// How much slower runs are than plain ones: above 1 when TOVRA_TEST_WRAPPER
// (valgrind) wraps the programs. Scale upper bounds on time by it.
double time_scale();

// Runs the program to its end. Its output files live in dir and are removed
// after reading.
RunResult run_tool(const TempDir& dir, const std::vector<std::string>& args, const RunOptions& options = {});

// Log lines that begin with prefix, e.g. "usb_claim_interface(" or "report out".
std::vector<std::string> log_lines(const std::vector<std::string>& log, std::string_view prefix);
// The "report out" lines: every report the controller received whole.
std::vector<std::string> reports_out(const std::vector<std::string>& log);
// The decoded part of each command report, "code 0c05 output 5", in order.
std::vector<std::string> sent_codes(const std::vector<std::string>& log);
// The decoded parts expected for codes sent one after another to one output.
std::vector<std::string> codes_on(int output, std::initializer_list<unsigned> codes);
// Number of lines (log or output) that begin with prefix.
std::size_t count_calls(const std::vector<std::string>& lines, std::string_view prefix);

// Bytes as lower-case hex pairs separated by spaces, "30 00 01".
std::string hex(const std::vector<std::uint8_t>& bytes);

// The usage text, copied letter for letter, for the program invoked as name.
std::string usage_text(std::string_view name);

// A pseudo-terminal pair standing in for a serial port: the program opens
// slave_path(), the test holds both ends (so the line never hangs up) and
// reads what was written from the master.
class Pty {
public:
    Pty();  // the slave starts raw at 9600 baud
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    const std::string& slave_path() const { return slave_path_; }
    // Everything that arrives within quiet_ms of the previous byte (or of the call).
    std::vector<std::uint8_t> read_available(int quiet_ms = 200);
    // The slave's current output speed as a number of baud (0 if unknown).
    int slave_speed() const;

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slave_path_;
};

// Fixture: a scratch directory, a scenario (one controller unless changed)
// and run() for tovra-control in it.
class CliTest : public ::testing::Test {
protected:
    CliTest();

    // Replaces the simulated USB world for the following runs.
    void use_scenario(std::string_view text);
    RunResult run(const std::vector<std::string>& args, RunOptions options = {});
    RunningTool start(const std::vector<std::string>& args, RunOptions options = {});

    TempDir dir;
    std::string scenario;  // path of the current scenario file
};

// One controller with default settings: bus 1, device 1.
inline constexpr std::string_view kOneController = "device 6666:f100\n";

// What --debug prints first for that controller: search and identification.
inline const std::string kDebugIdentification =
    "Found device: 6666-f100\n"
    "Found tovra control num 0\n"
    "- Version Number: 1.0\n"
    "Trying to detach kernel driver\n"
    "Device already detached\n"
    "sending: byte 113\n"
    "- Full version 1.0.0\n";

}  // namespace cli
