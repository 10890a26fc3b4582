// SPDX-License-Identifier: GPL-2.0-or-later
// tovra-terminal: talk by hand to whatever is on a serial port, such as a
// serial tovra controller or a set-top box's RS232 port.

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "serial.h"

namespace {

constexpr int default_speed = 57600;
constexpr int escape_char = 0x1D; // Ctrl-]

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
          "or when the port goes away. Exit status: 0 when the terminal ended and\n"
          "the console was restored, 1 otherwise.\n",
          stream);
}

// Whole decimal numbers only; a speed the port does not support is left to
// serial_openport, which names it.
bool parse_speed(const char* text, int& speed)
{
    char* end = nullptr;
    errno = 0;
    const long value = strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || value < INT_MIN || value > INT_MAX) {
        return false;
    }
    speed = static_cast<int>(value);
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc == 2 && (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h")) {
        print_usage(stdout);
        return 0;
    }
    if (argc < 2 || argc > 3 || argv[1][0] == '-' || argv[1][0] == '\0') {
        print_usage(stderr);
        return 1;
    }
    const char* port = argv[1];
    int speed = default_speed;
    if (argc == 3 && !parse_speed(argv[2], speed)) {
        fprintf(stderr, "tovra-terminal: speed '%s' is not a number\n", argv[2]);
        print_usage(stderr);
        return 1;
    }

    const int fd = serial_openport(port, speed, 1);
    if (fd < 0) {
        fprintf(stderr, "tovra-terminal: cannot open serial port %s\n", port);
        return 1;
    }
    fprintf(stderr, "Connected to %s at %d baud; press Ctrl-] to leave\n", port, speed);
    const int restored = serial_terminal(fd, escape_char);
    serial_close(fd);
    if (restored != 0) {
        fprintf(stderr, "tovra-terminal: could not restore the console settings\n");
        return 1;
    }
    return 0;
}
