// SPDX-License-Identifier: GPL-2.0-or-later
// Exclusive advisory locks that serialise runs sharing one controller or port.
//
// A PVR with several tuners starts channel changes on one controller at the
// same moment; without a lock the second run's claim fails or its keys
// interleave with the first run's. Locks are flock()s on the device itself,
// so every run on a device, whatever its user, takes the same lock, and the
// kernel drops it when the descriptor is closed or its holder dies: there is
// never a stale lock to clean up.
#pragma once

// Seconds a run waits for another run holding the same controller or port.
inline constexpr int LOCK_WAIT_SECONDS = 30;

// Takes an exclusive lock on fd, waiting up to seconds while another run
// holds it; with debug, says on stdout that it waits for what.
// Returns 0 when locked, -2 when still held after the wait, -1 on an error (errno).
int lock_wait(int fd, const char* what, int seconds, int debug);

// Opens path only to lock it: a port, or a USB controller's device node,
// which every user who may read the node can open: with the package's udev
// rules those who may use the controller; without them (mode 0664) anyone,
// who can then hold up the runs, though not send a code. Read-only,
// non-blocking, never as a controlling terminal, closed on exec: nothing
// about the device changes, so a port may be opened so while another program
// holds it.
// Returns the descriptor, or -1 (errno).
int lock_open(const char* path);
