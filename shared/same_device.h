// SPDX-License-Identifier: GPL-2.0-or-later
// Whether two files are one device. A port or a USB device node may be
// reached through several paths (udev links, /dev/serial/by-id): character
// devices are the same when their device numbers are, other files when they
// are the same file.
#pragma once

#include <sys/stat.h>

inline bool same_device(const struct stat& a, const struct stat& b)
{
    if (S_ISCHR(a.st_mode) && S_ISCHR(b.st_mode))
        return a.st_rdev == b.st_rdev;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The same for two open descriptors; false when either cannot be looked at.
inline bool same_device(int a, int b)
{
    struct stat first{};
    struct stat second{};
    return fstat(a, &first) == 0 && fstat(b, &second) == 0 && same_device(first, second);
}
