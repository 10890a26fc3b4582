// SPDX-License-Identifier: GPL-2.0-or-later
// RS232 ports as raw 8-bit lines, and an interactive terminal over one.
//
// A port is a plain descriptor owned by the caller. serial_openport gives it
// fixed raw 8N1 settings (2 stop bits on request) at one of five speeds and
// leaves it non-blocking, so every reader waits for it first. Only
// serial_openport and serial_terminal print diagnostics; the rest report
// through their results (and errno). The waits use poll, so descriptors of
// any number may be waited on, FD_SETSIZE (1024) and above included.
#pragma once

#include <time.h>

#include <chrono>

// Opens path at speed (300, 9600, 19200, 57600 or 115200) with two stop bits
// when stopbits is 2, one otherwise. Returns the descriptor, or -1 after a
// perror line (the descriptor is closed again). An unknown speed writes
// "Unknown baudrate: %d\n" on stderr and ends the process with status 1.
// With locked (a descriptor of the device the caller locked, or -1 for no
// check), a path that leads to another device, such as a link re-pointed by
// a replug, returns -2 without a message, before its line is touched.
int serial_openport(const char* path, int speed, int stopbits, int locked = -1);

// A wait's time-out for the time from now until deadline, both on the
// monotonic clock, to the nanosecond; zero once the deadline has passed.
timespec serial_timeleft(std::chrono::steady_clock::time_point deadline, std::chrono::steady_clock::time_point now);

// Waits until fd is readable (or at its end, or failed), at most *timeout
// (null: no limit). Returns 1 readable, 0 timed out, -1 failed (errno; EBADF
// for a descriptor that is not open).
int serial_waitreadable(int fd, const timespec* timeout);

// Waits for fd without limit, then one read of at most len bytes. Returns the
// read's count, 0 at end of file, -1 on an error or a failed wait.
int serial_read(int fd, void* buf, int len);

// As serial_read, waiting at most timeout_ms; -2 when nothing arrived in time.
int serial_readtimeout(int fd, void* buf, int len, int timeout_ms);

// One write; returns its count or -1.
int serial_write(int fd, const void* buf, int len);

// Writes all len bytes, waiting for room while the port takes nothing, each
// time at most stall_ms on the monotonic clock. Returns len; -2 when the port
// took nothing of them for stall_ms; the count taken when it stalled so
// part-way (the rest is not sent); -1 on an error (errno).
int serial_writeall(int fd, const void* buf, int len, int stall_ms);

// Whether bytes wait in fd's output queue, not yet sent: the port's driver
// counts some (TIOCOUTQ), or its queue is too full to take a byte now, as a
// stalled line's is (a pseudo-terminal counts none).
bool serial_outputwaiting(int fd);

// Waits until fd's output queue is empty, each time at most stall_ms on the
// monotonic clock without a byte leaving it. Returns 0 once it is empty (or
// the port does not count its queue), else the bytes still queued.
int serial_drain(int fd, int stall_ms);

// Closes fd; returns 0 or -1.
int serial_close(int fd);

// Interactive terminal between the console and port fd. Each typed byte is
// announced on stdout by "\nSend %d\n" as it is read and goes out in the
// order typed; while the port's output queue is full, typed bytes queue
// behind and stdin is read on (up to 1 MiB queued; beyond, stdin waits too).
// Every byte is read and written singly. Received bytes are shown on stdout
// in arrival order, CR as "[CR]", LF as "[LF]" and a line end, other
// non-printable bytes as "[%02X]". Stdin's canonical input and echo are off
// while it runs. It ends when:
//   - the escape byte is typed: "\nGot escape char, exitting\n" (it is not
//     sent, nor is what was typed after it or still waits in the queue);
//   - stdin reaches end of file and the port has taken every queued byte:
//     "Got EOF on stdin\n";
//   - the port reaches end of file: "Got EOF on serial port\n";
//   - the wait (reported as "select"), a write to the port or to stdout fails: a perror line;
//   - reading stdin or the port fails 10 times in a row (each failure has
//     its perror line and the terminal goes on until then; EAGAIN,
//     EWOULDBLOCK and EINTR mean nothing to read and are no failure).
// All on stderr. Every way out restores stdin's settings. Returns 0 when it
// ended through the escape byte or end of file and the settings were
// restored, -1 when it ended through an error or could not restore them.
int serial_terminal(int fd, unsigned char escape);
