// SPDX-License-Identifier: GPL-2.0-or-later
// The simulated USB library's files: the scenario, the device nodes and the
// sysfs view of a scenario's devices, kept in a folder of the test's own, where
// an interposed open() sends the product's paths (simfs.cpp; paths and modes in
// README.md). The interposed getgrnam() hides the group plugdev when the
// scenario says so.
#pragma once

#include <string>

#include "scenario.h"

namespace sim {

// $TOVRA_SIM_USB_DEVDIR, else the folder of the $TOVRA_SIM_USB scenario file
// plus "/dev"; "" with neither (then nothing is made or redirected).
std::string device_dir();

// The scenario of $TOVRA_SIM_USB (none when unset). A file that cannot be read
// or parsed ends the process with status 99 after a line on stderr.
Scenario read_scenario();

// 0 when the user may open device's node now with flags (O_RDWR, O_RDONLY),
// else the errno of the open: EACCES, or ENOENT without a node. Where no node
// could be made, the scenario's mode stands in for it.
int node_error(const Device& device, int flags);

// Makes each device's node (left alone when it exists: a test may hold it),
// for every device of the scenario, and keeps the scenario for write_sysfs.
void make_device_files(const Scenario& scenario);

// Writes the sysfs entries of the scenario that make_device_files last saw,
// once; the redirected open() calls it when a program first looks in sysfs.
void write_sysfs();

// The errno with which an open of path with flags fails as $TOVRA_SIM_TTY_LOCK
// asks (simline.cpp), or 0.
int tty_lock_error(const char* path, int flags);

// After the first successful open of LINK, re-points the link LINK to TARGET
// as $TOVRA_SIM_REPLUG="LINK:TARGET" asks (simline.cpp); keeps errno.
void replug_after_open(const char* path);

}  // namespace sim
