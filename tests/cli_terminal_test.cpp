// SPDX-License-Identifier: GPL-2.0-or-later
// tovra-terminal as a user runs it: the test types on a file, or on a second pseudo-terminal as the console.
#include "harness.h"

namespace {

using namespace cli;

const std::string kTerminalUsage =
    "Usage: tovra-terminal <port> [speed]\n       tovra-terminal --help\n\n"
    "Interactive terminal on a serial port, 8 data bits, no parity, 1 stop bit.\n"
    "Every typed byte is sent at once and announced as \"Send <value>\"; received\n"
    "bytes are shown as they are, CR and LF as [CR] and [LF], other\nnon-printable bytes as [XX] in hexadecimal.\n\n"
    "  port   the serial device, such as /dev/ttyS0 or /dev/ttyUSB0\n"
    "  speed  300, 9600, 19200, 57600 or 115200 bits per second (default 57600)\n\n"
    "Press Ctrl-] to leave. The terminal also ends at the end of its input\n"
    "or of the port's. Exit status: 0 when it ended so and the console was\n"
    "restored, 1 when it ended through an error or the port is in use.\n";

struct Session {
    std::vector<std::string> args;  // "@pty": the device's line
    std::string typed;              // "/": a stdin that cannot be read
    int status;
    std::string out, err, sent = "";  // err: "@pty" stands for the line's path; sent: what the device received
};

TEST(Terminal, Sessions)
{
    const std::string connected = "Connected to @pty at 57600 baud; press Ctrl-] to leave\n";
    std::string failures = connected;
    for (int i = 0; i < 10; ++i)
        failures += "read(stdin): Is a directory\n";
    const Session table[] = {
        {{"--help"}, "", 0, kTerminalUsage, ""},
        {{}, "", 1, "", kTerminalUsage},
        {{"@pty", "96OO"}, "", 1, "", "tovra-terminal: speed '96OO' is not a number\n" + kTerminalUsage},
        {{"@pty", "2147483647"}, "", 1, "", "Unknown baudrate: 2147483647\n"},
        {{"@pty", "9600"}, "a\xff", 0, "\nSend 97\n\nSend 255\n",
         "Connected to @pty at 9600 baud; press Ctrl-] to leave\nGot EOF on stdin\n", "a\xff"},
        {{"@pty"}, "xy\x1dz", 0, "\nSend 120\n\nSend 121\n\nSend 29\n", connected + "\nGot escape char, exitting\n",
         "xy"},
        {{"@pty"}, "/", 1, "", failures + "Reading stdin failed 10 times in a row, giving up\n"},
    };
    const int folder = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (const Session& s : table) {
        TempDir dir;
        Pty line;
        std::vector<std::string> args = s.args;
        std::replace(args.begin(), args.end(), std::string("@pty"), line.path());
        SCOPED_TRACE(testing::PrintToString(args));
        const Result r =
            run(dir, args, {.program = TOVRA_TERMINAL_BIN, .input = s.typed, .stdin_fd = s.typed == "/" ? folder : -1});
        const std::string err = replace_all(s.err, "@pty", line.path());
        EXPECT_EQ(r.status, s.status) << r;
        EXPECT_EQ(r.out, s.out);
        EXPECT_EQ(r.err, err);
        EXPECT_EQ(line.received(), s.sent);
        EXPECT_TRUE(!err.starts_with("Connected") || line.framing() == ((args.size() > 1 ? B9600 : B57600) | CS8));
    }
    close(folder);
}

// The line takes some 20 kB; the rest waits until the device reads.
TEST(Terminal, WaitsForAFullLineAndLosesNothing)
{
    TempDir dir;
    Pty line;
    std::string typed;
    for (int i = 0; i < 65536; ++i)
        typed += static_cast<char>('a' + i % 26);
    Running run(dir, {line.path()}, {.program = TOVRA_TERMINAL_BIN, .input = typed});
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::string sent = line.received(typed.size(), static_cast<int>(5000 * time_scale()));
    const Result r = run.finish();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err.substr(r.err.find('\n') + 1), "Got EOF on stdin\n");  // after the connected line
    EXPECT_TRUE(sent == typed) << sent.size() << " bytes arrived";
}

// Received bytes show at once, in the order they came. The console loses line
// editing and echo while the terminal runs, and gets them back however it
// ends: the escape byte (0), the line going away (-1), or a signal.
class Console : public ::testing::TestWithParam<int> {};

TEST_P(Console, IsRestored)
{
    TempDir dir;
    Pty line, console(false);
    termios before{}, during{}, after{};
    tcgetattr(console.slave(), &before);
    Running run(dir, {line.path()}, {.program = TOVRA_TERMINAL_BIN, .stdin_fd = console.slave()});
    EXPECT_TRUE(eventually([&] { return tcgetattr(console.slave(), &during) == 0 && !(during.c_lflag & ICANON); }));
    EXPECT_EQ(during.c_lflag, before.c_lflag & ~(ICANON | ECHO));
    line.send("A\rB\nC\x01" "D");
    EXPECT_TRUE(eventually([&] { return run.so_far() == "A[CR]B[LF]\nC[01]D"; })) << run.so_far();
    if (GetParam() == 0)
        console.send("\x1d");
    else if (GetParam() < 0)
        line.hang_up();
    else
        kill(run.pid(), GetParam());
    const Result r = run.finish();
    EXPECT_EQ(r.signal, std::max(GetParam(), 0)) << r;
    EXPECT_EQ(r.err.substr(r.err.find('\n') + 1), GetParam() == 0  ? "\nGot escape char, exitting\n"
                                                   : GetParam() < 0 ? "Got EOF on serial port\n"
                                                                    : "");
    tcgetattr(console.slave(), &after);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
}

INSTANTIATE_TEST_SUITE_P(Endings, Console, ::testing::Values(0, -1, SIGINT, SIGTERM, SIGHUP));

}  // namespace
