// SPDX-License-Identifier: GPL-2.0-or-later
// Advisory locks: taking, waiting for and giving up on a lock.
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

}  // namespace
