// SPDX-License-Identifier: GPL-2.0-or-later
// Advisory locks for controllers and ports.
#include "lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace {

constexpr auto kRetryInterval = std::chrono::milliseconds(20);

bool safe_name(const char* part)
{
    if (*part == '\0')
        return false;
    for (const char* c = part; *c != '\0'; ++c)
        if (*c == '/' || *c == '.')
            return false;
    return true;
}

// Opens an existing lock file without O_CREAT first: in a sticky
// world-writable folder the kernel refuses O_CREAT on another user's file
// (protected_regular).
int open_lock_file(const std::string& path)
{
    for (;;) {
        int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0 || errno != ENOENT)
            return fd;
        fd = open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) {
            fchmod(fd, 0666);  // other users' runs must be able to open it too
            return fd;
        }
        if (errno != EEXIST)
            return -1;
    }
}

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

int lock_open_usb(const char* bus, const char* device)
{
    if (!safe_name(bus) || !safe_name(device)) {
        errno = EINVAL;
        return -1;
    }
    const int fd = open_lock_file(std::string(LOCK_FOLDER) + "/tovra-control-usb-" + bus + "-" + device + ".lock");
    if (fd >= 0)
        return fd;
    const int error = errno;
    const std::string node = std::string(USB_NODE_FOLDER) + "/" + bus + "/" + device;
    const int node_fd = open(node.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (node_fd < 0)
        errno = error;
    return node_fd;
}
