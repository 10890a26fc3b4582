// SPDX-License-Identifier: GPL-2.0-or-later
// Built in place of the umockdev suite when libumockdev is not installed.
#include <gtest/gtest.h>

TEST(RealLibusb, NeedsUmockdev)
{
    GTEST_SKIP() << "umockdev is not installed (Debian packages umockdev and libumockdev-dev): "
                    "the runs against the real libusb-0.1 were not made";
}
