// SPDX-License-Identifier: GPL-2.0-or-later
// tovra-terminal: the test plays the device on a pseudo-terminal and types on
// a file, or on a second pseudo-terminal as the console.
#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>

#include "harness.h"

namespace {

const std::string kUsage =
    "Usage: tovra-terminal <port> [speed]\n"
    "       tovra-terminal --help\n"
    "\n"
    "Interactive terminal on a serial port, 8 data bits, no parity, 1 stop bit.\n"
    "Every typed byte is sent at once and announced as \"Send <value>\"; received\n"
    "bytes are shown as they are, CR and LF as [CR] and [LF], other\n"
    "non-printable bytes as [XX] in hexadecimal.\n"
    "\n"
    "  port   the serial device, such as /dev/ttyS0 or /dev/ttyUSB0\n"
    "  speed  300, 9600, 19200, 57600 or 115200 bits per second (default 57600)\n"
    "\n"
    "Press Ctrl-] to leave. The terminal also ends at the end of its input\n"
    "or of the port's. Exit status: 0 when it ended so and the console was\n"
    "restored, 1 when it ended through an error or the port is in use.\n";

const cli::RunOptions kTerminal{.program = TOVRA_TERMINAL_BIN};

std::string connected(const cli::Pty& line, int speed = 57600)
{
    return "Connected to " + line.path() + " at " + std::to_string(speed) + " baud; press Ctrl-] to leave\n";
}

struct Session {
    std::vector<std::string> args;  // "@pty": the device's line
    std::string typed;
    int status;
    std::string out;
    std::string err;        // after the connected line when the session got going
    std::string sent = "";  // what the device received
    bool held = false;      // another program holds the line's lock
};

TEST(Terminal, Sessions)
{
    const Session table[] = {
        {{"--help"}, "", 0, kUsage, ""},
        {{"@pty", "96OO"}, "", 1, "", "tovra-terminal: speed '96OO' is not a number\n" + kUsage},
        {{"@pty", "38400"}, "", 1, "", "Unknown baudrate: 38400\n"},
        {{"/nonexistent/tty"}, "", 1, "",
         "/nonexistent/tty: No such file or directory\ntovra-terminal: cannot open serial port /nonexistent/tty\n"},
        {{"@pty"}, "a", 1, "", "tovra-terminal: @pty is in use by another program\n", "", true},
        {{"@pty", "9600"}, "a\xff", 0, "\nSend 97\n\nSend 255\n", "Got EOF on stdin\n", "a\xff"},
        {{"@pty"}, "xy\x1dz", 0, "\nSend 120\n\nSend 121\n\nSend 29\n", "\nGot escape char, exitting\n", "xy"},
    };
    for (const Session& s : table) {
        cli::TempDir dir;
        cli::Pty line;
        std::vector<std::string> args = s.args;
        std::replace(args.begin(), args.end(), std::string("@pty"), line.path());
        SCOPED_TRACE(testing::PrintToString(args));
        const int other = open(line.path().c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
        EXPECT_EQ(flock(other, s.held ? LOCK_EX : LOCK_UN), 0);
        cli::RunOptions options = kTerminal;
        options.input = s.typed;
        const cli::Result r = cli::run(dir, args, options);
        close(other);
        std::string err = s.err;
        if (const std::size_t at = err.find("@pty"); at != std::string::npos)
            err.replace(at, 4, line.path());
        EXPECT_EQ(r.status, s.status) << r;
        EXPECT_EQ(r.out, s.out);
        EXPECT_EQ(r.err, (s.status == 0 && args != s.args ? connected(line, args.size() > 1 ? 9600 : 57600) : "") + err);
        EXPECT_EQ(line.received(), s.sent);
    }
}

TEST(Terminal, ShowsPortBytesInOrderUntilThePortEnds)
{
    cli::TempDir dir;
    cli::Pty line, quiet;
    cli::RunOptions options = kTerminal;
    options.stdin_fd = quiet.slave();
    cli::Run run(dir, {line.path()}, options);
    line.send("A\rB\nC\x01" "D");
    EXPECT_TRUE(cli::eventually([&] { return run.so_far() == "A[CR]B[LF]\nC[01]D"; })) << run.so_far();
    line.hang_up();
    const cli::Result r = run.finish();
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, connected(line) + "Got EOF on serial port\n");
}

TEST(Terminal, GivesUpAfterTenFailedReads)
{
    cli::TempDir dir;
    cli::Pty line;
    cli::RunOptions options = kTerminal;
    options.stdin_fd = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const cli::Result r = cli::run(dir, {line.path()}, options);
    close(options.stdin_fd);
    std::string err = connected(line);
    for (int i = 0; i < 10; ++i)
        err += "read(stdin): Is a directory\n";
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_EQ(r.err, err + "Reading stdin failed 10 times in a row, giving up\n");
}

// The line takes some 20 kB; the rest waits until the device reads.
TEST(Terminal, WaitsForAFullLineAndLosesNothing)
{
    cli::TempDir dir;
    cli::Pty line;
    cli::RunOptions options = kTerminal;
    std::string shown;
    for (int i = 0; i < 65536; ++i) {
        options.input += static_cast<char>('a' + i % 26);
        shown += "\nSend " + std::to_string('a' + i % 26) + "\n";
    }
    cli::Run run(dir, {line.path()}, options);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::string sent = line.received(options.input.size(), static_cast<int>(5000 * cli::time_scale()));
    const cli::Result r = run.finish();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, connected(line) + "Got EOF on stdin\n");
    EXPECT_TRUE(sent == options.input) << sent.size() << " bytes arrived";
    EXPECT_TRUE(r.out == shown);
}

// The console loses line editing and echo while the terminal runs, and gets
// them back however it ends: through the escape byte (0) or a signal.
class Console : public ::testing::TestWithParam<int> {};

TEST_P(Console, IsRestored)
{
    cli::TempDir dir;
    cli::Pty line, console(false);
    termios before{}, during{}, after{};
    tcgetattr(console.slave(), &before);
    cli::RunOptions options = kTerminal;
    options.stdin_fd = console.slave();
    cli::Run run(dir, {line.path()}, options);
    EXPECT_TRUE(cli::eventually([&] { return tcgetattr(console.slave(), &during) == 0 && !(during.c_lflag & ICANON); }));
    EXPECT_EQ(during.c_lflag, before.c_lflag & ~(ICANON | ECHO));
    if (GetParam() == 0)
        console.send("\x1d");
    else
        kill(run.pid(), GetParam());
    const cli::Result r = run.finish();
    EXPECT_EQ(r.signal, GetParam()) << r;
    tcgetattr(console.slave(), &after);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
}

INSTANTIATE_TEST_SUITE_P(Endings, Console, ::testing::Values(0, SIGINT, SIGTERM, SIGHUP));

}  // namespace
