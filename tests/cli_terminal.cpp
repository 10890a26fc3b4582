// SPDX-License-Identifier: GPL-2.0-or-later
// tovra-terminal run as a user would: the test holds the master side of a
// pseudo-terminal as the device and hands the program the slave's path; the
// console is a pipe, or a second pseudo-terminal when echo and the console
// settings matter.

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

constexpr auto patience = 10s;

// Every descriptor the test makes is close-on-exec, so the program sees only
// what it is handed as 0, 1 and 2 (and end of file comes when the test closes
// its side).
struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    void reset()
    {
        if (fd >= 0) {
            close(fd);
        }
        fd = -1;
    }
};

struct Pty {
    Fd master;
    Fd slave;
    std::string path;
    Pty()
    {
        std::array<char, 128> name{};
        if (openpty(&master.fd, &slave.fd, name.data(), nullptr, nullptr) != 0) {
            ADD_FAILURE() << "openpty: " << strerror(errno);
            return;
        }
        fcntl(master.fd, F_SETFD, FD_CLOEXEC);
        fcntl(slave.fd, F_SETFD, FD_CLOEXEC);
        path = name.data();
    }
};

struct Pipe {
    Fd read_end;
    Fd write_end;
    Pipe()
    {
        std::array<int, 2> fds{};
        if (pipe2(fds.data(), O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe2: " << strerror(errno);
            return;
        }
        read_end.fd = fds[0];
        write_end.fd = fds[1];
    }
};

// Starts the program with the given descriptors as stdin, stdout and stderr;
// console, when given, becomes its controlling terminal in a session of its own.
pid_t spawn(const std::vector<std::string>& args, int in, int out, int err, int console = -1)
{
    std::vector<char*> argv;
    std::string bin = TOVRA_TERMINAL_BIN;
    argv.push_back(bin.data());
    std::vector<std::string> copies = args;
    for (std::string& a : copies) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (console >= 0) {
            setsid();
            ioctl(console, TIOCSCTTY, 0);
        }
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// The exit status, or -1 (after killing it) when it did not end in time.
int wait_exit(pid_t pid)
{
    const auto deadline = std::chrono::steady_clock::now() + patience;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << "tovra-terminal did not end";
            return -1;
        }
        std::this_thread::sleep_for(10ms);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool readable_within(int fd, std::chrono::milliseconds wait)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    timeval tv{0, static_cast<suseconds_t>(wait.count() * 1000)};
    return select(fd + 1, &set, nullptr, nullptr, &tv) == 1;
}

// Appends what fd gives to got until got ends with tail (or, with tail empty,
// until end of file); false when that does not happen in time.
bool read_until(int fd, std::string& got, const std::string& tail = "")
{
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (tail.empty() || !got.ends_with(tail)) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        if (!readable_within(fd, 100ms)) {
            continue;
        }
        std::array<char, 256> buf{};
        const ssize_t n = read(fd, buf.data(), buf.size());
        if (n <= 0) {
            return tail.empty();
        }
        got.append(buf.data(), static_cast<size_t>(n));
    }
    return true;
}

// Runs tovra-terminal to its end with stdin from in: its status and both streams.
struct Ended {
    int status = -1;
    std::string out;
    std::string err;
    bool complete = false;  // both streams reached end of file in time
};

Ended run_to_end(const std::vector<std::string>& args, int in)
{
    Pipe out;
    Pipe err;
    const pid_t pid = spawn(args, in, out.write_end.fd, err.write_end.fd);
    out.write_end.reset();
    err.write_end.reset();
    Ended ended;
    ended.complete = read_until(out.read_end.fd, ended.out) && read_until(err.read_end.fd, ended.err);
    ended.status = wait_exit(pid);
    return ended;
}

// Everything the device has been sent, once the line has been quiet a while.
std::string device_received(int master)
{
    std::string got;
    std::array<char, 256> buf{};
    while (readable_within(master, 200ms)) {
        const ssize_t n = read(master, buf.data(), buf.size());
        if (n <= 0) {
            break;
        }
        got.append(buf.data(), static_cast<size_t>(n));
    }
    return got;
}

std::string connected(const Pty& port)
{
    return "Connected to " + port.path + " at 57600 baud; press Ctrl-] to leave\n";
}

void put(int fd, const std::string& bytes)
{
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

struct UsageCase {
    const char* name;
    std::vector<std::string> args; // "@port" stands for a live port
    int status;
    const char* out_start;
    const char* err;
    bool err_exact; // otherwise err only starts the text
};

const char* const usage_start = "Usage: tovra-terminal <port> [speed]\n";

class Usage : public testing::TestWithParam<UsageCase> {};

TEST_P(Usage, StatusAndStreams)
{
    const UsageCase& c = GetParam();
    Pty port;
    std::vector<std::string> args = c.args;
    for (std::string& a : args) {
        if (a == "@port") {
            a = port.path;
        }
    }
    Fd null(open("/dev/null", O_RDONLY | O_CLOEXEC));
    const Ended run = run_to_end(args, null.fd);
    ASSERT_TRUE(run.complete);
    EXPECT_EQ(run.status, c.status);
    EXPECT_TRUE(run.out.starts_with(c.out_start)) << run.out;
    if (std::string(c.out_start).empty()) {
        EXPECT_EQ(run.out, "");
    }
    if (c.err_exact) {
        EXPECT_EQ(run.err, c.err);
    } else {
        EXPECT_TRUE(run.err.starts_with(c.err)) << run.err;
    }
    termios t{};
    ASSERT_EQ(tcgetattr(port.slave.fd, &t), 0);
    EXPECT_NE(t.c_lflag & ICANON, 0u) << "the port was set up";
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, Usage,
    testing::Values(
        UsageCase{"Help", {"--help"}, 0, usage_start, "", true},
        UsageCase{"NoPort", {}, 1, "", usage_start, false},
        UsageCase{"TooMany", {"@port", "57600", "x"}, 1, "", usage_start, false},
        UsageCase{"Option", {"-x"}, 1, "", usage_start, false},
        UsageCase{"SpeedNotANumber", {"@port", "96OO"}, 1, "",
                  "tovra-terminal: speed '96OO' is not a number\nUsage: tovra-terminal <port> [speed]\n", false},
        UsageCase{"UnsupportedSpeed", {"@port", "38400"}, 1, "", "Unknown baudrate: 38400\n", true},
        UsageCase{"MissingPort", {"/nonexistent/tty"}, 1, "",
                  "/nonexistent/tty: No such file or directory\n"
                  "tovra-terminal: cannot open serial port /nonexistent/tty\n",
                  true}),
    [](const auto& info) { return info.param.name; });

struct PipedCase {
    const char* name;
    std::string typed;
    std::string sent;
    std::string shown;
    std::string end_line;
};

class PipedInput : public testing::TestWithParam<PipedCase> {};

TEST_P(PipedInput, BytesGoOutOneByOne)
{
    const PipedCase& c = GetParam();
    Pty port;
    Pipe in;
    put(in.write_end.fd, c.typed);
    in.write_end.reset();
    const Ended run = run_to_end({port.path}, in.read_end.fd);
    ASSERT_TRUE(run.complete);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, c.shown);
    EXPECT_EQ(run.err, connected(port) + c.end_line);
    EXPECT_EQ(device_received(port.master.fd), c.sent);
}

INSTANTIATE_TEST_SUITE_P(
    Terminal, PipedInput,
    testing::Values(
        PipedCase{"EndOfInput", "ab", "ab", "\nSend 97\n\nSend 98\n", "Got EOF on stdin\n"},
        PipedCase{"RawBytes", std::string("\r\n\x00\xff\x03", 5), std::string("\r\n\x00\xff\x03", 5),
                  "\nSend 13\n\nSend 10\n\nSend 0\n\nSend 255\n\nSend 3\n", "Got EOF on stdin\n"},
        PipedCase{"EscapeNotSent", "xy\x1dz", "xy", "\nSend 120\n\nSend 121\n\nSend 29\n",
                  "\nGot escape char, exitting\n"},
        PipedCase{"EscapeFirst", "\x1d", "", "\nSend 29\n", "\nGot escape char, exitting\n"}),
    [](const auto& info) { return info.param.name; });

// The program with stdin held open on a pipe, ready once the port is set up.
struct PipedRun {
    Pty port;
    Pipe in;
    Pipe out;
    Pipe err;
    pid_t pid = -1;
    std::string err_text;

    PipedRun()
    {
        pid = spawn({port.path}, in.read_end.fd, out.write_end.fd, err.write_end.fd);
        out.write_end.reset();
        err.write_end.reset();
        EXPECT_TRUE(read_until(err.read_end.fd, err_text, connected(port)));
    }
};

TEST(Terminal, ReceivedBytesShownWithMarks)
{
    PipedRun run;
    put(run.port.master.fd, std::string("OK\r\nA\x00\x7f\x80 ~", 10));
    // Printable bytes skip the stream's buffer, the marks wait in it until
    // a non-printable byte flushes it.
    std::string out_text;
    ASSERT_TRUE(read_until(run.out.read_end.fd, out_text, "[80] ~")) << out_text;
    run.in.write_end.reset();
    EXPECT_EQ(wait_exit(run.pid), 0);
    EXPECT_EQ(out_text, "OKA[CR][LF]\n[00][7F][80] ~");
    ASSERT_TRUE(read_until(run.err.read_end.fd, run.err_text));
    EXPECT_EQ(run.err_text, connected(run.port) + "Got EOF on stdin\n");
}

TEST(Terminal, EndOfFileOnThePortEnds)
{
    PipedRun run;
    run.port.master.reset();
    ASSERT_TRUE(read_until(run.err.read_end.fd, run.err_text));
    EXPECT_EQ(wait_exit(run.pid), 0);
    EXPECT_EQ(run.err_text, connected(run.port) + "Got EOF on serial port\n");
}

TEST(Terminal, PersistentReadErrorGivesUp)
{
    Pty port;
    Pipe err;
    Fd dir(open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    Fd null(open("/dev/null", O_WRONLY | O_CLOEXEC));
    const pid_t pid = spawn({port.path}, dir.fd, null.fd, err.write_end.fd);
    err.write_end.reset();
    std::string text;
    ASSERT_TRUE(read_until(err.read_end.fd, text));
    EXPECT_EQ(wait_exit(pid), 0);
    std::string expected = connected(port);
    for (int i = 0; i < 10; ++i) {
        expected += "read(stdin): Is a directory\n";
    }
    expected += "Reading stdin failed 10 times in a row, giving up\n";
    EXPECT_EQ(text, expected);
}

TEST(Terminal, ConsoleRawWhileRunningAndRestoredAfter)
{
    Pty port;
    Pty console;
    Pipe err;
    termios before{};
    ASSERT_EQ(tcgetattr(console.slave.fd, &before), 0);
    ASSERT_NE(before.c_lflag & (ICANON | ECHO), 0u);
    const pid_t pid = spawn({port.path}, console.slave.fd, console.slave.fd, err.write_end.fd, console.slave.fd);
    err.write_end.reset();
    std::string err_text;
    ASSERT_TRUE(read_until(err.read_end.fd, err_text, connected(port)));

    termios during{};
    const auto deadline = std::chrono::steady_clock::now() + patience;
    do {
        ASSERT_EQ(tcgetattr(console.slave.fd, &during), 0);
    } while ((during.c_lflag & ICANON) != 0 && std::chrono::steady_clock::now() < deadline);
    EXPECT_EQ(during.c_lflag, before.c_lflag & ~(ICANON | ECHO));
    EXPECT_EQ(during.c_iflag, before.c_iflag);
    EXPECT_EQ(during.c_oflag, before.c_oflag);

    // Sent at once, without Enter, and not echoed.
    put(console.master.fd, "a");
    std::string screen;
    ASSERT_TRUE(read_until(console.master.fd, screen, "Send 97\r\n"));
    EXPECT_EQ(screen, "\r\nSend 97\r\n");
    EXPECT_EQ(device_received(port.master.fd), "a");

    put(port.master.fd, "OK\r\n");
    screen.clear();
    ASSERT_TRUE(read_until(console.master.fd, screen, "[LF]\r\n"));
    EXPECT_EQ(screen, "OK[CR][LF]\r\n");

    put(console.master.fd, "\x1d");
    screen.clear();
    ASSERT_TRUE(read_until(console.master.fd, screen, "Send 29\r\n"));
    EXPECT_EQ(screen, "\r\nSend 29\r\n");
    ASSERT_TRUE(read_until(err.read_end.fd, err_text));
    EXPECT_EQ(wait_exit(pid), 0);
    EXPECT_EQ(err_text, connected(port) + "\nGot escape char, exitting\n");
    EXPECT_EQ(device_received(port.master.fd), "");

    termios after{};
    ASSERT_EQ(tcgetattr(console.slave.fd, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
}

} // namespace
