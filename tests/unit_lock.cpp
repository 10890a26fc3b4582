// SPDX-License-Identifier: GPL-2.0-or-later
// Advisory locks: taking, waiting for and giving up on a lock; USB lock files.
#include "lock.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The other run is a second open file description of any file (the test's own program): none (-1),
// holding the lock throughout (0) or letting it go after so many milliseconds; whether the wait is told.
TEST(LockWait, TakesWaitsAndGivesUpAfterTheBound)
{
    const std::tuple<int, int, int, bool> rows[] = {
        {-1, 1, 0, false}, {200, 1, 0, true}, {0, 1, -2, true}, {0, 0, -2, false}};
    for (const auto& [releaseMs, debug, result, says] : rows) {
        const int other = open("/proc/self/exe", O_RDONLY);
        const int fd = open("/proc/self/exe", O_RDONLY);
        EXPECT_TRUE(releaseMs < 0 || flock(other, LOCK_EX) == 0);
        std::jthread release([&, releaseMs] {
            std::this_thread::sleep_for(std::chrono::milliseconds(releaseMs));
            if (releaseMs > 0)
                flock(other, LOCK_UN);
        });
        testing::internal::CaptureStdout();
        EXPECT_EQ(lock_wait(fd, "X", 1, debug), result) << releaseMs;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), says ? "Waiting for another run using X\n" : "");
        close(other);
        close(fd);
    }
    EXPECT_EQ(lock_wait(-1, "X", 1, 1), -1) << "a descriptor that cannot be locked at all";
}

// A lock file is made for every user's runs whatever the umask; an existing one is opened as it is.
TEST(LockOpenUsb, RefusesUnsafeNamesCreatesForEveryUserAndOpensAnExistingFile)
{
    for (auto [bus, device] : {std::pair{"..", "001"}, {"001", "a/b"}, {"", "001"}, {"001", ""}}) {
        errno = 0;
        EXPECT_EQ(lock_open_usb(bus, device), -1) << bus << " " << device;
        EXPECT_EQ(errno, EINVAL);
    }
    if (access(LOCK_FOLDER, W_OK) != 0)
        GTEST_SKIP() << LOCK_FOLDER << " is not writable here";
    const std::string bus = "test" + std::to_string(getpid());
    const std::string path = std::string(LOCK_FOLDER) + "/tovra-control-usb-" + bus + "-002.lock";
    const mode_t umask_before = umask(077);
    const int created = lock_open_usb(bus.c_str(), "002");
    umask(umask_before);
    struct stat info{};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0666u);
    chmod(path.c_str(), 0600);
    const int opened = lock_open_usb(bus.c_str(), "002");
    struct stat again{};
    EXPECT_EQ(fstat(opened, &again), 0);
    EXPECT_EQ(std::make_pair(again.st_ino, again.st_mode & 07777), std::make_pair(info.st_ino, 0600u));
    close(created);
    close(opened);
    unlink(path.c_str());
}

}  // namespace
