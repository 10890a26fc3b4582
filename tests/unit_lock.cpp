// SPDX-License-Identifier: GPL-2.0-or-later
// Advisory locks: waiting, giving up, and lock file naming.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstdio>
#include <string>

#include "lock.h"

namespace {

struct TempFile {
    std::string path = "/tmp/tovra-lock-test-XXXXXX";
    int fd = -1;
    TempFile() { fd = mkstemp(path.data()); }
    ~TempFile()
    {
        close(fd);
        unlink(path.c_str());
    }
};

// Holds an exclusive lock on path in a child process for the given time.
pid_t hold_in_child(const std::string& path, int milliseconds)
{
    int ready[2];
    if (pipe(ready) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(path.c_str(), O_RDONLY);
        flock(fd, LOCK_EX);
        (void)!write(ready[1], "x", 1);
        usleep(static_cast<useconds_t>(milliseconds) * 1000);
        _exit(0);
    }
    char c;
    (void)!read(ready[0], &c, 1);
    close(ready[0]);
    close(ready[1]);
    return pid;
}

TEST(LockWait, FreeLockIsTakenAtOnceWithoutAWord)
{
    TempFile file;
    testing::internal::CaptureStdout();
    EXPECT_EQ(lock_wait(file.fd, "thing", 1, 1), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(LockWait, WaitsForTheHolderAndSaysSoOnce)
{
    TempFile file;
    pid_t holder = hold_in_child(file.path, 300);
    ASSERT_GT(holder, 0);
    testing::internal::CaptureStdout();
    int result = lock_wait(file.fd, "USB controller 001/002", 10, 1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(out, "Waiting for another run using USB controller 001/002\n");
    waitpid(holder, nullptr, 0);
}

TEST(LockWait, GivesUpWhenTheHolderKeepsIt)
{
    TempFile file;
    pid_t holder = hold_in_child(file.path, 3000);
    ASSERT_GT(holder, 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(lock_wait(file.fd, "serial port /dev/ttyS0", 1, 0), -2);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // silent without debug
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    // The kernel drops a dead holder's lock: nothing stale remains.
    EXPECT_EQ(lock_wait(file.fd, "serial port /dev/ttyS0", 1, 0), 0);
}

TEST(LockOpenUsb, RefusesNamesThatLeaveTheLockFolder)
{
    for (auto [bus, device] : {std::pair{"..", "001"}, {"001", "../x"}, {"", "001"}, {"001", "a/b"}}) {
        errno = 0;
        EXPECT_EQ(lock_open_usb(bus, device), -1) << bus << " " << device;
        EXPECT_EQ(errno, EINVAL);
    }
}

TEST(LockOpenUsb, CreatesAFileEveryUserCanOpenAndReusesIt)
{
    struct stat folder{};
    if (stat(LOCK_FOLDER, &folder) != 0 || access(LOCK_FOLDER, W_OK) != 0)
        GTEST_SKIP() << LOCK_FOLDER << " is not writable here";
    const std::string bus = "test" + std::to_string(getpid());
    const std::string path = std::string(LOCK_FOLDER) + "/tovra-control-usb-" + bus + "-002.lock";
    int first = lock_open_usb(bus.c_str(), "002");
    ASSERT_GE(first, 0);
    struct stat info{};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0666u);
    int second = lock_open_usb(bus.c_str(), "002");
    ASSERT_GE(second, 0);
    EXPECT_EQ(lock_wait(first, "x", 1, 0), 0);
    EXPECT_EQ(lock_wait(second, "x", 0, 0), -2);  // same file, so same lock
    close(first);
    close(second);
    unlink(path.c_str());
}

}  // namespace
