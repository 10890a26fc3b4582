// SPDX-License-Identifier: GPL-2.0-or-later
// tovra-terminal: talk by hand to whatever is on a serial port, such as a
// serial tovra controller or a set-top box's RS232 port.

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "lock.h"
#include "serial.h"
#include "stdfds.h"

namespace {

constexpr int default_speed = 57600;
constexpr unsigned char escape_char = 0x1D; // Ctrl-]

void print_usage(FILE* stream)
{
    fputs("Usage: tovra-terminal <port> [speed]\n"
          "       tovra-terminal --help\n"
          "\n"
          "Interactive terminal on a serial port, 8 data bits, no parity, 1 stop bit.\n"
          "Every typed byte is sent at once and announced as \"Send <value>\"; received\n"
          "bytes are shown as they are, CR and LF as [CR] and [LF], other\n"
          "non-printable bytes as [XX] in hexadecimal.\n"
          "\n"
          "  port   the serial device, such as /dev/ttyS0 or /dev/ttyUSB0\n"
          "  speed  300, 9600, 19200, 57600 or 115200 bits per second (default 57600)\n"
          "\n"
          "Press Ctrl-] to leave. The terminal also ends at the end of its input\n"
          "or of the port's. Exit status: 0 when it ended so and the console was\n"
          "restored, 1 when it ended through an error or the port is in use.\n",
          stream);
}

// Whole decimal numbers only; a speed the port does not support is left to
// serial_openport, which names it.
enum class Speed { read, not_a_number, out_of_range };

Speed parse_speed(const char* text, int& speed)
{
    char* end = nullptr;
    errno = 0;
    const long long value = strtoll(text, &end, 10);
    if (end == text || *end != '\0') {
        return Speed::not_a_number;
    }
    if (errno == ERANGE || value < INT_MIN || value > INT_MAX) {
        return Speed::out_of_range;
    }
    speed = static_cast<int>(value);
    return Speed::read;
}

// The console as it was before the terminal changed it, for the signal
// handler: a terminal killed by Ctrl-C, Ctrl-\, kill or a hang-up still
// restores it.
termios saved_console{};

extern "C" void restore_and_die(int signal)
{
    tcsetattr(STDIN_FILENO, TCSANOW, &saved_console); // async-signal-safe
    raise(signal); // the handler was reset on entry: this ends the process
}

void restore_console_on_signals()
{
    if (tcgetattr(STDIN_FILENO, &saved_console) != 0) {
        return; // not a terminal: nothing to restore
    }
    struct sigaction action{};
    action.sa_handler = restore_and_die;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGQUIT, SIGTERM, SIGHUP}) {
        struct sigaction before{};
        // One the caller ignores (a hang-up under nohup) must not end us.
        if (sigaction(signal, nullptr, &before) == 0 && before.sa_handler != SIG_IGN) {
            sigaction(signal, &action, nullptr);
        }
    }
}

void warn_unlocked(const char* port, int error)
{
    fprintf(stderr, "tovra-terminal: warning: cannot lock %s (%s)\n", port, strerror(error));
}

// The same lock a tovra-control run takes on its ports, without waiting:
// a run confirming a channel must not lose the box's reports to us. It is
// taken on a descriptor of its own (fd, from lock_open), before the line
// settings are touched, so a port in use keeps its speed; it lasts until
// the process ends. Returns the lock's descriptor, -1 when the port goes
// unlocked, -2 when it is in use.
int lock_port(const char* port, int fd)
{
    switch (lock_wait(fd, port, 0, 0)) {
    case 0:
        return fd;
    case -2:
        fprintf(stderr, "tovra-terminal: %s is in use by another program\n", port);
        return -2;
    default:
        warn_unlocked(port, errno);
        close(fd);
        return -1;
    }
}

} // namespace

int main(int argc, char* argv[])
{
    // Else the port's lock could become stdin, and the port's bytes typed input.
    if (!open_standard_descriptors()) {
        return 1;
    }
    if (argc == 2 && (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h")) {
        print_usage(stdout);
        return 0;
    }
    if (argc < 2 || argc > 3 || argv[1][0] == '-' || argv[1][0] == '\0') {
        print_usage(stderr);
        return 1;
    }
    // A reader of our output that goes away (tovra-terminal ... | grep -m1 OK)
    // ends the session through the failed write, console restored, not
    // through a signal.
    signal(SIGPIPE, SIG_IGN);
    const char* port = argv[1];
    int speed = default_speed;
    if (const Speed read = argc == 3 ? parse_speed(argv[2], speed) : Speed::read; read != Speed::read) {
        fprintf(stderr, "tovra-terminal: speed '%s' is %s\n", argv[2],
                read == Speed::not_a_number ? "not a number" : "out of range");
        print_usage(stderr);
        return 1;
    }

    const int lock_fd = lock_open(port);
    const int lock_error = errno;
    const int lock = lock_fd < 0 ? -1 : lock_port(port, lock_fd);
    if (lock == -2) {
        return 1;
    }
    // A link re-pointed by a replug between the two opens leads elsewhere:
    // that device is left as it is.
    const int fd = serial_openport(port, speed, 1, lock);
    if (fd == -2) {
        fprintf(stderr, "tovra-terminal: %s leads to another device than the one locked: it was replugged\n",
                port);
        return 1;
    }
    if (fd < 0) {
        fprintf(stderr, "tovra-terminal: cannot open serial port %s\n", port);
        return 1;
    }
    if (lock_fd < 0) { // said once the port is known to be usable, not before its own failure
        warn_unlocked(port, lock_error);
    }
    fprintf(stderr, "Connected to %s at %d baud; press Ctrl-] to leave\n", port, speed);
    restore_console_on_signals();
    const int ended = serial_terminal(fd, escape_char);
    serial_close(fd);
    return ended == 0 ? 0 : 1;
}
