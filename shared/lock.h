// SPDX-License-Identifier: GPL-2.0-or-later
// Exclusive advisory locks that serialise runs sharing one controller or port.
//
// A PVR with several tuners starts channel changes on one controller at the
// same moment; without a lock the second run's claim fails or its keys
// interleave with the first run's. Locks are flock()s, so the kernel drops
// them when the holder exits or dies: there is never a stale lock to clean up.
#pragma once

// Seconds a run waits for another run holding the same controller or port.
inline constexpr int LOCK_WAIT_SECONDS = 30;

// Folder of the USB controllers' lock files.
inline constexpr const char* LOCK_FOLDER = "/run/lock";

// Folder of the USB device nodes, the lock of last resort.
inline constexpr const char* USB_NODE_FOLDER = "/dev/bus/usb";

// Takes an exclusive lock on fd, waiting up to seconds while another run
// holds it; with debug, says on stdout that it waits for what.
// Returns 0 when locked, -2 when still held after the wait, -1 on an error (errno).
int lock_wait(int fd, const char* what, int seconds, int debug);

// Opens what stands for USB controller bus/device (libusb's directory and
// file names) in a lock: its lock file in LOCK_FOLDER, created if needed, or,
// when the folder cannot be used (missing, or not writable for this user),
// the controller's device node, which every user of the controller can open.
// Returns the descriptor to lock, or -1 with the lock file's errno when
// neither can be had.
int lock_open_usb(const char* bus, const char* device);
