// SPDX-License-Identifier: GPL-2.0-or-later
// The serial module on pseudo-terminals: the test plays the device on the master side.
#include "serial.h"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <tuple>
#include <utility>
#include <fcntl.h>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

namespace {

struct Pty {
    int master = -1, slave = -1;
    std::array<char, 128> path{};
    Pty() { EXPECT_EQ(openpty(&master, &slave, path.data(), nullptr, nullptr), 0); }
    ~Pty() { close(master); close(slave); }
};

// The bytes that came on fd up to the marker, which the other side wrote last: what crossed the pty before it,
// and nothing that might still be on its way.
std::string before_marker(int fd, const char* marker = "#")
{
    std::string bytes;
    std::array<char, 64> buf{};
    for (int n = 0; !bytes.ends_with(marker) && (n = serial_readtimeout(fd, buf.data(), 1, 10000)) > 0;)
        bytes.append(buf.data(), static_cast<std::size_t>(n));
    return bytes.substr(0, bytes.size() - std::strlen(marker));
}

// Reads of one descriptor fail with EIO, in turn with real ones, as the script says ('F' a failure, '.' a read).
int scripted_fd = -1;
std::string script;

}  // namespace

extern "C" ssize_t read(int fd, void* buf, size_t count)
{
    static const auto real = reinterpret_cast<ssize_t (*)(int, void*, size_t)>(dlsym(RTLD_NEXT, "read"));
    if (fd == scripted_fd && !script.empty() && std::exchange(script, script.substr(1))[0] == 'F') {
        errno = EIO;
        return -1;
    }
    return real(fd, buf, count);
}

namespace {

TEST(Serial, LineSettingsReadBackFromTheDevice)
{
    for (auto [bps, constant] : {std::pair<int, speed_t>{300, B300}, {9600, B9600}, {19200, B19200},
                                 {57600, B57600}, {115200, B115200}}) {
        for (int stopbits : {-2, 0, 1, 2, 3}) {
            SCOPED_TRACE(std::to_string(bps) + " bps, stop bits " + std::to_string(stopbits));
            Pty pty;
            const int fd = serial_openport(pty.path.data(), bps, stopbits);
            termios t{};
            ASSERT_EQ(tcgetattr(pty.slave, &t), 0);
            EXPECT_EQ(t.c_cflag & ~CBAUD, static_cast<tcflag_t>(CS8 | CREAD | CLOCAL | (stopbits == 2 ? CSTOPB : 0)));
            EXPECT_EQ(std::make_tuple(t.c_iflag, t.c_oflag, t.c_lflag, t.c_cc[VMIN], t.c_cc[VTIME]),
                      std::make_tuple(tcflag_t{IGNPAR}, 0u, 0u, cc_t{1}, cc_t{0}));
            EXPECT_EQ(std::make_pair(cfgetispeed(&t), cfgetospeed(&t)), std::make_pair(constant, constant));
            EXPECT_EQ(fcntl(fd, F_GETFL) & (O_NONBLOCK | O_ACCMODE), O_NONBLOCK | O_RDWR);
            serial_close(fd);
        }
    }
}

TEST(Serial, BytesPassUnchangedTheTerminalEndsAndOnlySelectableDescriptorsAreRead)
{
    Pty pty;
    const int fd = serial_openport(pty.path.data(), 57600, 1);
    std::array<char, 8> buf{};
    EXPECT_EQ(serial_readtimeout(fd, buf.data(), 8, 0), -2);
    const auto began = std::chrono::steady_clock::now();  // both the second and the 200 ms, and not 10 times as long
    EXPECT_EQ(serial_readtimeout(fd, buf.data(), 8, 1200), -2);
    const auto took = std::chrono::steady_clock::now() - began;
    EXPECT_TRUE(took >= std::chrono::milliseconds(1200) && took < std::chrono::seconds(6)) << took.count() << " ns";
    ASSERT_EQ(write(pty.master, "\r\n\x11\x13hello#", 10), 10);
    ASSERT_EQ(serial_readtimeout(fd, buf.data(), 1, 10000), 1);  // the first byte has come: the rest is there too
    EXPECT_EQ(serial_readtimeout(fd, buf.data() + 1, 7, 0), 7);
    EXPECT_EQ(std::string(buf.data(), 8), "\r\n\x11\x13hell");
    EXPECT_EQ(serial_read(fd, buf.data(), 8), 2);
    EXPECT_EQ(std::string(buf.data(), 2), "o#");
    EXPECT_EQ(serial_write(fd, "\r\n\x11\x13#", 5), 5);
    EXPECT_EQ(before_marker(pty.master), "\r\n\x11\x13") << "changed, or the device's bytes echoed back to it";
    // The terminal ends on an escape byte with the top bit set, and sends nothing; with -1 when the port refuses a
    // typed byte (here the port is stdin's own read end); not at a failed read of the port (scripted when nothing is
    // typed: its byte shows in the next session); and after reads of stdin that fail 10 times in a row, counted
    // again from a read that worked. Stdin's pipe has its writing end closed: a terminal that missed the escape
    // would end at end of file, not hang.
    ASSERT_EQ(write(pty.master, "x", 1), 1);
    ASSERT_EQ(serial_waitreadable(fd, nullptr), 1);
    const int saved_stdin = dup(STDIN_FILENO);
    std::string failed;
    for (int i = 0; i < 9; ++i) failed += "read(stdin): Input/output error\n";
    for (auto [port, typed, reads, ended, out, err] :
         {std::tuple{fd, "\xC0", "", 0, "\nSend 192\n", std::string("\nGot escape char, exitting\n")},
          {STDIN_FILENO, "a", "", -1, "\nSend 97\n", "write(serialfd): Bad file descriptor\n"},
          {fd, "", "F", 0, "", "read(serial): Input/output error\nGot EOF on stdin\n"},
          {fd, "ab", "FFFFFFFFF.FFFFFFFFF.", 0, "x\nSend 97\n\nSend 98\n", failed + failed + "Got EOF on stdin\n"}}) {
        int in[2];
        ASSERT_EQ(pipe(in), 0);
        ASSERT_EQ(write(in[1], typed, strlen(typed)), std::ssize(std::string(typed)));
        dup2(in[0], STDIN_FILENO);
        close(in[0]);
        close(in[1]);
        std::tie(scripted_fd, script) = std::pair(*typed ? STDIN_FILENO : port, reads);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_EQ(serial_terminal(port, 0xC0), ended);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), out);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), err);
    }
    scripted_fd = -1;
    dup2(saved_stdin, STDIN_FILENO);
    close(saved_stdin);
    EXPECT_EQ(serial_write(fd, "#", 1), 1);
    EXPECT_EQ(before_marker(pty.master), "ab");
    // Descriptors of any number are waited on, FD_SETSIZE and above too; one that is not open fails the wait.
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = FD_SETSIZE + 1;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    ASSERT_EQ(dup2(fd, FD_SETSIZE), FD_SETSIZE);
    EXPECT_EQ(serial_readtimeout(FD_SETSIZE, buf.data(), 8, 0), -2);
    ASSERT_EQ(write(pty.master, "x", 1), 1);
    EXPECT_EQ(std::pair(serial_read(FD_SETSIZE, buf.data(), 8), buf[0]), std::pair(1, 'x'));
    close(FD_SETSIZE);
    errno = 0;
    EXPECT_EQ(std::pair(serial_waitreadable(FD_SETSIZE, nullptr), errno), std::pair(-1, EBADF));
    EXPECT_EQ(serial_readtimeout(FD_SETSIZE, buf.data(), 8, 0), -1) << "a failed wait is no time-out";
    serial_close(fd);
}

// An unknown speed ends the process before opening; a failed open or set-up keeps no descriptor.
TEST(SerialDeathTest, FailuresAreReported)
{
    for (int bps : {38400, 1200, 0, -300})
        EXPECT_EXIT(serial_openport("/nonexistent/tty", bps, 1), testing::ExitedWithCode(1),
                    "^Unknown baudrate: " + std::to_string(bps) + "\n$");
    for (auto [path, report] : {std::pair{"/nonexistent/tty", "/nonexistent/tty: No such file or directory\n"},
                                {"/dev/null", "tcsetattr: Inappropriate ioctl for device\n"}}) {
        testing::internal::CaptureStderr();  // first: the capture takes a descriptor of its own
        const int next_free = dup(0);
        close(next_free);
        EXPECT_EQ(serial_openport(path, 9600, 1), -1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), report);
        EXPECT_EQ(fcntl(next_free, F_GETFD), -1) << path << ": descriptor leaked";
    }
}

}  // namespace
