// SPDX-License-Identifier: GPL-2.0-or-later
// Advisory locks for controllers and ports.
#include "lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

namespace {

constexpr auto kRetryInterval = std::chrono::milliseconds(20);

}  // namespace

int lock_wait(int fd, const char* what, int seconds, int debug)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    bool said = false;
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0)
            return 0;
        if (errno == EINTR)
            continue;
        if (errno != EWOULDBLOCK)
            return -1;
        if (debug && !said) {
            printf("Waiting for another run using %s\n", what);
            said = true;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return -2;
        std::this_thread::sleep_for(kRetryInterval);
    }
}

int lock_open(const char* path)
{
    return open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}
