// SPDX-License-Identifier: GPL-2.0-or-later
// The serial module on real kernel pseudo-terminals: the test holds the master
// side and plays the device; the module opens the slave by its path.

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

#include <fcntl.h>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include "serial.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Pty {
    int master = -1;
    int slave = -1;
    std::string path;

    Pty()
    {
        std::array<char, 128> name{};
        if (openpty(&master, &slave, name.data(), nullptr, nullptr) != 0) {
            ADD_FAILURE() << "openpty: " << strerror(errno);
            return;
        }
        path = name.data();
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    ~Pty()
    {
        close(master);
        close(slave);
    }
};

// A port opened on a fresh pty, closed at the end of the test.
struct Port {
    Pty pty;
    int fd = serial_openport(pty.path.c_str(), 57600, 1);
    ~Port()
    {
        if (fd >= 0) {
            serial_close(fd);
        }
    }
};

// Reads until count bytes came or nothing arrives for a second.
std::string read_bytes(int fd, size_t count)
{
    std::string got;
    while (got.size() < count) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(fd, &set);
        timeval tv{1, 0};
        if (select(fd + 1, &set, nullptr, nullptr, &tv) != 1) {
            break;
        }
        std::array<char, 64> buf{};
        const ssize_t n = read(fd, buf.data(), std::min(buf.size(), count - got.size()));
        if (n <= 0) {
            break;
        }
        got.append(buf.data(), static_cast<size_t>(n));
    }
    return got;
}

bool readable_within(int fd, int ms)
{
    timeval tv{0, ms * 1000};
    return serial_waitreadable(fd, &tv) == 1;
}

struct SettingsCase {
    int bps;
    speed_t constant;
    int stopbits;
};

class LineSettings : public testing::TestWithParam<SettingsCase> {};

TEST_P(LineSettings, ReadBackFromTheDevice)
{
    const SettingsCase& c = GetParam();
    Pty pty;
    const int fd = serial_openport(pty.path.c_str(), c.bps, c.stopbits);
    ASSERT_GE(fd, 0);
    termios t{};
    ASSERT_EQ(tcgetattr(pty.slave, &t), 0);
    const tcflag_t stop = c.stopbits == 2 ? CSTOPB : 0;
    EXPECT_EQ(t.c_cflag & ~CBAUD, static_cast<tcflag_t>(CS8 | CREAD | CLOCAL) | stop);
    EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNPAR));
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_lflag, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    EXPECT_EQ(cfgetispeed(&t), c.constant);
    EXPECT_EQ(cfgetospeed(&t), c.constant);
    EXPECT_EQ(fcntl(fd, F_GETFL) & (O_NONBLOCK | O_ACCMODE), O_NONBLOCK | O_RDWR);
    EXPECT_EQ(serial_close(fd), 0);
}

std::vector<SettingsCase> settings_cases()
{
    constexpr std::array<std::pair<int, speed_t>, 5> speeds{{
        {300, B300}, {9600, B9600}, {19200, B19200}, {57600, B57600}, {115200, B115200}}};
    std::vector<SettingsCase> cases;
    for (auto [bps, constant] : speeds) {
        for (int stopbits : {0, 1, 2, 3}) {
            cases.push_back({bps, constant, stopbits});
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(SpeedsAndStopBits, LineSettings, testing::ValuesIn(settings_cases()),
                         [](const auto& info) {
                             return std::to_string(info.param.bps) + "_stop" +
                                    std::to_string(info.param.stopbits);
                         });

TEST(Serial, ControlBytesPassUnchangedBothWays)
{
    Port port;
    ASSERT_GE(port.fd, 0);
    const std::string bytes = "\x0D\x0A\x11\x13";

    ASSERT_EQ(write(port.pty.master, bytes.data(), bytes.size()), 4);
    EXPECT_EQ(read_bytes(port.fd, 4), bytes);
    EXPECT_FALSE(readable_within(port.pty.master, 100)) << "echoed back to the device";

    EXPECT_EQ(serial_write(port.fd, bytes.data(), 4), 4);
    EXPECT_EQ(read_bytes(port.pty.master, 4), bytes);
}

TEST(Serial, ReadReturnsWaitingBytesUpToTheLength)
{
    Port port;
    ASSERT_GE(port.fd, 0);
    ASSERT_EQ(write(port.pty.master, "hello", 5), 5);
    ASSERT_TRUE(readable_within(port.fd, 1000));

    std::array<char, 16> buf{};
    ASSERT_EQ(serial_read(port.fd, buf.data(), 3), 3);
    EXPECT_EQ(std::string(buf.data(), 3), "hel");
    ASSERT_EQ(serial_readtimeout(port.fd, buf.data(), 16, 1000), 2);
    EXPECT_EQ(std::string(buf.data(), 2), "lo");
}

TEST(Serial, ReadsSeeEndOfFileWhenTheDeviceGoes)
{
    Port port;
    ASSERT_GE(port.fd, 0);
    close(port.pty.master);
    port.pty.master = -1;
    std::array<char, 4> buf{};
    EXPECT_EQ(serial_read(port.fd, buf.data(), 4), 0);
    EXPECT_EQ(serial_readtimeout(port.fd, buf.data(), 4, 1000), 0);
}

TEST(Serial, ReadTimeoutOnASilentLine)
{
    Port port;
    ASSERT_GE(port.fd, 0);
    std::array<char, 4> buf{};

    auto start = Clock::now();
    EXPECT_EQ(serial_readtimeout(port.fd, buf.data(), 4, 0), -2);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));

    start = Clock::now();
    EXPECT_EQ(serial_readtimeout(port.fd, buf.data(), 4, 1500), -2);
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(1400));
    EXPECT_LT(waited, std::chrono::milliseconds(5000));
}

TEST(Serial, DescriptorsBeyondTheSelectSetAreRefused)
{
    Port port;
    ASSERT_GE(port.fd, 0);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    if (saved.rlim_cur <= FD_SETSIZE) {
        if (saved.rlim_max <= FD_SETSIZE) {
            GTEST_SKIP() << "descriptor limit too low to reach FD_SETSIZE";
        }
        rlimit raised{FD_SETSIZE + 1, saved.rlim_max};
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    }
    const int high = dup2(port.fd, FD_SETSIZE);
    ASSERT_EQ(high, FD_SETSIZE);
    ASSERT_EQ(write(port.pty.master, "x", 1), 1);
    ASSERT_TRUE(readable_within(port.fd, 1000));

    std::array<char, 4> buf{};
    timeval tv{0, 0};
    for (int fd : {high, -1}) {
        SCOPED_TRACE(fd);
        errno = 0;
        EXPECT_EQ(serial_waitreadable(fd, &tv), -1);
        EXPECT_EQ(errno, EBADF);
        EXPECT_EQ(serial_read(fd, buf.data(), 4), -1);
        EXPECT_EQ(serial_readtimeout(fd, buf.data(), 4, 0), -1);
    }
    close(high);
    setrlimit(RLIMIT_NOFILE, &saved);
}

TEST(SerialDeathTest, UnknownSpeedEndsTheProcessWithoutTouchingTheDevice)
{
    testing::FLAGS_gtest_death_test_style = "threadsafe";
    Pty pty;
    for (int bps : {38400, 1200, 2400, 4800, 0, -1, 57601}) {
        SCOPED_TRACE(bps);
        const std::string message = "^Unknown baudrate: " + std::to_string(bps) + "\n$";
        EXPECT_EXIT(serial_openport(pty.path.c_str(), bps, 1), testing::ExitedWithCode(1), message);
        // A missing path would give a perror line and -1 if it were opened first.
        EXPECT_EXIT(serial_openport("/nonexistent/tty", bps, 1), testing::ExitedWithCode(1), message);
    }
    termios t{};
    ASSERT_EQ(tcgetattr(pty.slave, &t), 0);
    EXPECT_NE(t.c_lflag & ICANON, 0u) << "the device was configured";
}

TEST(Serial, MissingPathIsReportedByName)
{
    testing::internal::CaptureStderr();
    errno = 0;
    EXPECT_EQ(serial_openport("/nonexistent/ttyX", 57600, 1), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "/nonexistent/ttyX: No such file or directory\n");
}

TEST(Serial, FailedSetupClosesTheDescriptor)
{
    const int next_free = dup(0);
    ASSERT_GE(next_free, 0);
    close(next_free);

    testing::internal::CaptureStderr();
    errno = 0;
    EXPECT_EQ(serial_openport("/dev/null", 9600, 1), -1);
    EXPECT_EQ(errno, ENOTTY) << "the caller's report needs the failure's errno";
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "tcsetattr: Inappropriate ioctl for device\n");

    const int again = dup(0);
    EXPECT_EQ(again, next_free) << "descriptor leaked";
    close(again);
}

} // namespace
