// SPDX-License-Identifier: GPL-2.0-or-later
// tovra-terminal as a user runs it: the test types on a file, or on a second pseudo-terminal as the console.
#include "harness.h"

namespace {

using namespace cli;
using namespace std::literals;

const std::string kTerminalUsage =
    "Usage: tovra-terminal <port> [speed]\n       tovra-terminal --help\n\n"
    "Interactive terminal on a serial port, 8 data bits, no parity, 1 stop bit.\nEvery typed byte is sent at once and "
    "announced as \"Send <value>\"; received\nbytes are shown as they are, CR and LF as [CR] and [LF], other\n"
    "non-printable bytes as [XX] in hexadecimal.\n\n  port   the serial device, such as /dev/ttyS0 or /dev/ttyUSB0\n"
    "  speed  300, 9600, 19200, 57600 or 115200 bits per second (default 57600)\n\nPress Ctrl-] to leave. The terminal "
    "also ends at the end of its input\nor of the port's. Exit status: 0 when it ended so and the console was\n"
    "restored, 1 when it ended through an error or the port is in use.\n";

// The arguments of sh that run script with the terminal and its port as "$@".
std::vector<std::string> shell(const std::string& script, const std::string& port)
{
    std::vector<std::string> args{"-c", script, "sh"};
    std::ranges::copy(launch(TOVRA_TERMINAL_BIN), std::back_inserter(args));
    args.push_back(port);
    return args;
}

struct Session {
    std::vector<std::string> args;  // "@pty": the device's line
    std::string typed;              // "/": a stdin that cannot be read
    int status;
    std::string out, err, sent = "";  // err: "@pty" stands for the line's path; sent: what the device received
    std::string env = "";             // one more for the environment, as a simulator's fault
};

TEST(Terminal, Sessions)
{
    const std::string connected = "Connected to @pty at 57600 baud; press Ctrl-] to leave\n";
    std::string failures = connected;
    for (int i = 0; i < 10; ++i) failures += "read(stdin): Is a directory\n";
    const Session table[] = {
        {{"--help"}, "", 0, kTerminalUsage, ""},
        {{}, "", 1, "", kTerminalUsage},
        {{"@pty", "96OO"}, "", 1, "", "tovra-terminal: speed '96OO' is not a number\n" + kTerminalUsage},
        {{"@pty", "2147483647"}, "", 1, "", "Unknown baudrate: 2147483647\n"},
        {{"@pty", "2147483648"}, "", 1, "", "tovra-terminal: speed '2147483648' is out of range\n" + kTerminalUsage},
        {{"@pty", "9600"}, "a\xff", 0, "\nSend 97\n\nSend 255\n",
         "Connected to @pty at 9600 baud; press Ctrl-] to leave\nGot EOF on stdin\n", "a\xff"},
        {{"@pty"}, "\0\x1c\x1e\x1dz"s, 0, "\nSend 0\n\nSend 28\n\nSend 30\n\nSend 29\n",
         connected + "\nGot escape char, exitting\n", "\0\x1c\x1e"s},
        {{"@pty"}, "/", 1, "", failures + "Reading stdin failed 10 times in a row, giving up\n"},
        {{"@pty"}, "a", 0, "\nSend 97\n", "tovra-terminal: warning: cannot lock @pty (Permission denied)\n" +
         connected + "Got EOF on stdin\n", "a", "TOVRA_SIM_TTY_LOCK=EACCES"},
        {{"/nonexistent/tty"}, "", 1, "", "/nonexistent/tty: No such file or directory\n"
                                          "tovra-terminal: cannot open serial port /nonexistent/tty\n"},
    };
    const int folder = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (const Session& s : table) {
        TempDir dir;
        Pty line;
        std::vector<std::string> args = s.args;
        std::replace(args.begin(), args.end(), std::string("@pty"), line.path());
        SCOPED_TRACE(testing::PrintToString(args));
        const Result r = run(dir, args, {.program = TOVRA_TERMINAL_BIN, .env = s.env.empty() ? std::vector<std::string>{} : std::vector{s.env}, .input = s.typed,
                                         .stdin_fd = s.typed == "/" ? folder : -1});
        const std::string err = replace_all(s.err, "@pty", line.path());
        EXPECT_EQ(std::tie(r.status, r.out, r.err), std::tie(s.status, s.out, err));
        EXPECT_EQ(line.received(s.sent.size()), s.sent);
        EXPECT_TRUE(!err.starts_with("Connected") || line.framing() == ((args.size() > 1 ? B9600 : B57600) | CS8));
    }
    close(folder);
}

// Fills the line as far as it goes from the test's side, so that the terminal finds it full from the start.
std::string fill(const Pty& line)
{
    std::string filler;
    for (bool more = fcntl(line.slave(), F_SETFL, O_NONBLOCK) == 0; more; usleep(50000))
        for (more = false; write(line.slave(), "~", 1) == 1; more = true) filler += '~';
    return filler;
}

// Typed bytes wait while the line is full; a byte that arrives meanwhile shows; a stale readable flag is no failure.
TEST(Terminal, WaitsForAFullLineAndLosesNothing)
{
    TempDir dir;
    Pty line;
    std::string typed, filler = fill(line);
    for (int i = 0; i < 65536; ++i) typed += static_cast<char>('a' + i % 26);
    line.send("!");
    Running run(dir, {line.path()}, {.program = TOVRA_TERMINAL_BIN, .input = typed});
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the line stays full meanwhile
    const std::string sent = line.received(filler.size() + typed.size());
    const Result r = run.finish();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Connected to " + line.path() + " at 57600 baud; press Ctrl-] to leave\nGot EOF on stdin\n");
    EXPECT_NE(r.out.find('!'), std::string::npos);
    EXPECT_TRUE(sent == filler + typed) << sent.size() << " bytes arrived";
}

// On a full line the escape byte leaves, and what was typed is not sent; a received byte shows at once also on a
// terminal, which stdio buffers by the line; a second terminal is refused at once, not when the first has ended.
TEST(Terminal, EscapesAFullLineAndRefusesASecondTerminalAtOnce)
{
    TempDir dir;
    Pty line, console(false);
    const std::string filler = fill(line);
    line.send("D");
    Running run(dir, shell("exec \"$@\" >&0", line.path()),
                {.program = "/bin/sh", .stdin_fd = console.slave(), .wrapped = false});
    EXPECT_EQ(console.received(1), "D");
    Running second(dir, {line.path()}, {.program = TOVRA_TERMINAL_BIN});
    EXPECT_TRUE(eventually([&] { return second.ended(); })) << "a second terminal waits for the first";
    console.send("ab\x1d");
    ASSERT_TRUE(eventually([&] { return run.so_far(".err").ends_with("\nGot escape char, exitting\n"); }));
    EXPECT_EQ(run.finish().status, 0);
    EXPECT_EQ(line.received().substr(filler.size() - 1), "~");  // the filler's last byte, and nothing after it
    const Result r = second.finish();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tovra-terminal: " + line.path() + " is in use by another program\n");
}

// Started with stdin closed, it reads /dev/null, not the port's lock: the device's bytes must not go back to it.
// The first of them cannot be shown on a full stdout, which ends the terminal; so does a reader of its output that
// went away, with the console restored, not by SIGPIPE.
TEST(Terminal, TakesAClosedStdinAsEmptyAndEndsWhenItsOutputCannotBeWritten)
{
    TempDir dir;
    Pty line, console(false);
    line.send("hi");
    const Result full = run(dir, shell("exec \"$@\" >/dev/full", line.path()),
                            {.program = "/bin/sh", .stdin_fd = -2, .wrapped = false});
    EXPECT_EQ(full.status, 1);
    EXPECT_EQ(full.err, "Connected to " + line.path() + " at 57600 baud; press Ctrl-] to leave\n"
                        "write(stdout): No space left on device\n");
    EXPECT_EQ(line.received(), "");
    termios before{}, after{};
    tcgetattr(console.slave(), &before);
    line.send("hi");
    const Result gone = run(dir, {line.path()}, {.program = TOVRA_TERMINAL_BIN, .stdin_fd = console.slave(),
                                                 .out = Stream::BrokenPipe});
    EXPECT_EQ(std::pair(gone.status, gone.signal), std::pair(1, 0));
    EXPECT_EQ(gone.err, "Connected to " + line.path() + " at 57600 baud; press Ctrl-] to leave\n"
                        "write(stdout): Broken pipe\n");
    EXPECT_EQ(tcgetattr(console.slave(), &after) + after.c_lflag, before.c_lflag);
}

// Received bytes show at once, in the order they came. The console loses line
// editing and echo while the terminal runs, and gets them back however it
// ends: the escape byte (0), the line going away (-1), or a signal; a SIGHUP
// that the caller ignores leaves it running until the escape byte (-2).
class Console : public ::testing::TestWithParam<int> {};

TEST_P(Console, IsRestored)
{
    TempDir dir;
    Pty line, console(false);
    auto lflag = [&] { termios t{}; return tcgetattr(console.slave(), &t) == 0 ? t.c_lflag : 0; };
    const tcflag_t before = lflag();
    const auto caller = signal(SIGHUP, GetParam() == -2 ? SIG_IGN : SIG_DFL);
    Running run(dir, {line.path()}, {.program = TOVRA_TERMINAL_BIN, .stdin_fd = console.slave()});
    signal(SIGHUP, caller);
    EXPECT_TRUE(eventually([&] { return lflag() == (before & ~(ICANON | ECHO)); })) << lflag();
    line.send("A\rB\nC\x01 ~\x7f\x80\xff\0D"sv);
    EXPECT_TRUE(eventually([&] { return run.so_far() == "A[CR]B[LF]\nC[01] ~[7F][80][FF][00]D"; })) << run.so_far();
    console.send("x");  // announced at once, although stdout is a file
    EXPECT_TRUE(eventually([&] { return run.so_far().ends_with("D\nSend 120\n"); })) << run.so_far();
    if (GetParam() == -1)
        line.hang_up();
    else if (kill(run.pid(), GetParam() == -2 ? SIGHUP : GetParam()); GetParam() <= 0)  // signal 0: none
        console.send("\x1d");
    const Result r = run.finish();
    EXPECT_EQ(r.signal, std::max(GetParam(), 0)) << r;
    EXPECT_EQ(r.err.substr(r.err.find('\n') + 1),
              GetParam() == -1 ? "Got EOF on serial port\n" : GetParam() <= 0 ? "\nGot escape char, exitting\n" : "");
    EXPECT_EQ(lflag(), before);
}

INSTANTIATE_TEST_SUITE_P(Endings, Console, ::testing::Values(0, -1, -2, SIGINT, SIGQUIT, SIGTERM, SIGHUP));

// A port whose link is re-pointed between the lock's open and the port's (a replug) leads to another device than
// the one locked: the program stops there, sends nothing, and leaves that device's line as it found it.
TEST(Replug, BetweenLockAndOpenStopsTheProgramAndLeavesTheOtherDeviceAlone)
{
    const std::string terminal = "tovra-terminal: @link leads to another device than the one locked: it was replugged\n";
    const std::string control = "@link leads to another device than the one this run locked: it was replugged "
                                "meanwhile. Nothing was sent.\n";
    for (const auto& [program, args, err] :
         {std::tuple{TOVRA_TERMINAL_BIN, std::vector<std::string>{"@link"}, terminal},
          {TOVRA_CONTROL_BIN, {"--sky+", "--feedback", "@link", "--channel", "1"}, control}}) {
        TempDir dir;
        Pty locked, other(false);  // other: a console as a user has it
        const std::string link = dir.file("port");
        std::filesystem::create_symlink(locked.path(), link);
        std::vector<std::string> argv = args;
        std::replace(argv.begin(), argv.end(), std::string("@link"), link);
        SCOPED_TRACE(testing::PrintToString(argv));
        auto line = [&] {
            termios t{};
            tcgetattr(other.slave(), &t);
            return std::tuple(t.c_iflag, t.c_oflag, t.c_cflag, t.c_lflag);
        };
        const auto before = line();
        const Result r = run(dir, argv, {.program = program, .env = {"TOVRA_SIM_REPLUG=" + link + ":" + other.path()},
                                         .input = "x"});
        EXPECT_EQ(std::tie(r.status, r.out, r.err, r.log), std::tuple(1, "", replace_all(err, "@link", link), "")) << r;
        EXPECT_EQ(std::filesystem::read_symlink(link), other.path()) << "not replugged";
        EXPECT_EQ(locked.received() + other.received(), "") << "sent";
        EXPECT_EQ(line(), before) << "the other device's line settings";
    }
}

}  // namespace
