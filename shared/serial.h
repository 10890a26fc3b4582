// SPDX-License-Identifier: GPL-2.0-or-later
// RS232 ports as raw 8-bit lines, and an interactive terminal over one.
//
// A port is a plain descriptor owned by the caller. serial_openport gives it
// fixed raw 8N1 settings (2 stop bits on request) at one of five speeds and
// leaves it non-blocking, so every reader waits with select first. Only
// serial_openport and serial_terminal print diagnostics; the rest report
// through their results (and errno). Descriptors at or above FD_SETSIZE are
// refused by the waiting operations with -1 and errno EBADF.
#pragma once

#include <sys/time.h>

// Opens path at speed (300, 9600, 19200, 57600 or 115200) with two stop bits
// when stopbits is 2, one otherwise. Returns the descriptor, or -1 after a
// perror line (the descriptor is closed again). An unknown speed writes
// "Unknown baudrate: %d\n" on stderr and ends the process with status 1.
int serial_openport(const char* path, int speed, int stopbits);

// Waits until fd is readable, at most *timeout (null: no limit). Returns what
// select returns: 1 readable, 0 timed out, -1 failed (EBADF for fd >= FD_SETSIZE).
int serial_waitreadable(int fd, timeval* timeout);

// Waits for fd without limit, then one read of at most len bytes. Returns the
// read's count, 0 at end of file, -1 on an error or a failed wait.
int serial_read(int fd, void* buf, int len);

// As serial_read, waiting at most timeout_ms; -2 when nothing arrived in time.
int serial_readtimeout(int fd, void* buf, int len, int timeout_ms);

// One write; returns its count or -1.
int serial_write(int fd, const void* buf, int len);

// Closes fd; returns 0 or -1.
int serial_close(int fd);

// Interactive terminal between the console and port fd until escape is typed,
// either side reaches end of file, or a write fails. Typed bytes go out one by
// one, announced by "\nSend %d\n"; received bytes are shown with CR, LF and
// other non-printable bytes as marks. The console's settings are restored on
// every way out. Returns 0 (the settings restored) or -1.
int serial_terminal(int fd, int escape);
