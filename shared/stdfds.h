// SPDX-License-Identifier: GPL-2.0-or-later
// Standard descriptors that the caller left closed.
//
// A program may be started with stdin, stdout or stderr closed. Whatever it
// opens next (a port, a lock, a log) then takes that number: a port on 0 is
// read as typed input and echoed back to the device, a controller on 1 gets
// the lines meant for stdout as remote codes. Call this first in main.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

// Opens /dev/null on every closed descriptor from 0 to 2, for reading on 0
// and for writing on 1 and 2. Returns true when all three are open; false
// after a perror line ("/dev/null: ...") when /dev/null cannot be opened.
inline bool open_standard_descriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        // The ones below are open, so open() hands out this very number.
        if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY) < 0) {
            perror("/dev/null");
            return false;
        }
    }
    return true;
}
