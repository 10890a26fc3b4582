// SPDX-License-Identifier: GPL-2.0-or-later
#include "serial.h"

#include "descriptor.h"
#include "same_device.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <optional>
#include <deque>
#include <span>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

struct Speed {
    int bps;
    speed_t constant;
};

constexpr std::array<Speed, 5> speeds{{
    {300, B300},
    {9600, B9600},
    {19200, B19200},
    {57600, B57600},
    {115200, B115200},
}};

std::optional<speed_t> speed_constant(int bps)
{
    for (const Speed& s : speeds) {
        if (s.bps == bps) {
            return s.constant;
        }
    }
    return std::nullopt;
}

// The one wait of the module: until one of fds is ready for its events, at
// most *timeout (null: no limit). poll, not select: a back-end that leaks
// descriptors hands a run ports at FD_SETSIZE and above, which select cannot
// wait on. A descriptor that is not open fails the wait (EBADF), as it would
// select's.
int wait_ready(std::span<pollfd> fds, const timespec* timeout)
{
    const int ready = ppoll(fds.data(), fds.size(), timeout, nullptr);
    if (ready > 0 && std::ranges::any_of(fds, [](const pollfd& p) { return (p.revents & POLLNVAL) != 0; })) {
        errno = EBADF;
        return -1;
    }
    return ready;
}

// Whether a read or write would not block: the data or room asked for, or the
// end of the line or an error, which the read or write then reports.
bool is_ready(const pollfd& p)
{
    return (p.revents & (p.events | POLLHUP | POLLERR)) != 0;
}

timespec timespec_from_ms(int ms)
{
    return timespec{.tv_sec = ms / 1000, .tv_nsec = (ms % 1000) * 1000000L};
}

// The console as the terminal found it; put back once, at its single way out.
struct Console {
    bool saved = false;
    termios settings{};
};

Console console_enter()
{
    Console console;
    console.saved = tcgetattr(STDIN_FILENO, &console.settings) == 0;
    termios working{};
    if (tcgetattr(STDIN_FILENO, &working) == 0) {
        working.c_lflag &= ~(ICANON | ECHO);
        tcsetattr(STDIN_FILENO, TCSANOW, &working);
    }
    return console;
}

int console_leave(const Console& console)
{
    if (!console.saved) {
        return 0; // not a terminal: nothing was changed
    }
    if (tcsetattr(STDIN_FILENO, TCSANOW, &console.settings) == 0) {
        return 0;
    }
    perror("tcsetattr");
    return -1;
}

// A non-blocking descriptor with nothing to take or no room, or a call cut
// short by a signal: no failure, try again at the next pass.
bool would_block()
{
    return errno == EAGAIN || errno == EINTR; // EWOULDBLOCK is EAGAIN on Linux
}

// Writes what stdout's stream holds; false after its perror line when it
// cannot (a reader that went away), which ends the terminal.
bool flush_stdout()
{
    if (fflush(stdout) == 0) {
        return true;
    }
    perror("write(stdout)");
    return false;
}

// How a pass of the terminal ended: go on, or end through the escape byte or
// end of file (done), or end through an error (failed).
enum class Step { go_on, done, failed };

// What one read brought: a byte, or how the terminal goes on without one.
struct Received {
    Step step;
    std::optional<unsigned char> byte;
};

// A side the terminal reads from, stdin or the port, one byte at a time. A
// failed read is reported and the terminal goes on; one that keeps coming
// back would be reported on every pass for ever, so ten in a row end it.
class Input {
public:
    Input(int fd, const char* call, const char* name) : fd_(fd), call_(call), name_(name) {}

    Received read_byte()
    {
        unsigned char byte = 0;
        const ssize_t n = read(fd_, &byte, 1);
        if (n < 0 && would_block()) {
            return {Step::go_on, std::nullopt}; // readable no more, or not yet: nothing to read
        }
        if (n < 0) {
            perror(call_);
            if (++failures_ < max_failures) {
                // A line that is being hung up fails its reads (EIO) until the
                // hang-up is done and they find its end: give it that time.
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                return {Step::go_on, std::nullopt};
            }
            fprintf(stderr, "Reading %s failed %d times in a row, giving up\n", name_, failures_);
            return {Step::failed, std::nullopt};
        }
        failures_ = 0;
        if (n == 0) {
            return {Step::done, std::nullopt};
        }
        return {Step::go_on, byte};
    }

private:
    static constexpr int max_failures = 10;
    int fd_;
    const char* call_; // named by perror
    const char* name_;
    int failures_ = 0;
};

// One select loop over both sides. Typed bytes queue until the port takes
// them, so that the keyboard, and with it the escape byte, is read on while
// the port's output queue is full.
class Terminal {
public:
    Terminal(int fd, unsigned char escape) : fd_(fd), escape_(escape) {}

    Step run()
    {
        for (;;) {
            if (stdin_ended_ && queue_.empty()) {
                fputs("Got EOF on stdin\n", stderr);
                return Step::done;
            }
            const bool typing = !stdin_ended_ && queue_.size() < max_queued;
            std::array<pollfd, 2> fds{{{typing ? STDIN_FILENO : -1, POLLIN, 0},
                                       {fd_, static_cast<short>(POLLIN | (queue_.empty() ? 0 : POLLOUT)), 0}}};
            if (wait_ready(fds, nullptr) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                perror("select");
                return Step::failed;
            }
            Step step = Step::go_on;
            if (typing && is_ready(fds[0])) {
                step = serve_stdin();
            }
            if (step == Step::go_on && !queue_.empty()) {
                step = send_queued(); // at once: a port with room needs no wait
            }
            if (step == Step::go_on && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                step = serve_port();
            }
            if (step != Step::go_on) {
                return step;
            }
        }
    }

private:
    // Typed bytes that wait for the port at most; beyond, stdin waits too.
    static constexpr std::size_t max_queued = std::size_t{1} << 20;

    Step serve_stdin()
    {
        const Received typed = stdin_.read_byte();
        if (typed.step == Step::done) {
            stdin_ended_ = true; // what is queued still goes out
            return Step::go_on;
        }
        if (!typed.byte) {
            return typed.step;
        }
        printf("\nSend %d\n", *typed.byte);
        if (!flush_stdout()) {
            return Step::failed;
        }
        if (*typed.byte == escape_) {
            // What still waits for the port is dropped with it.
            fputs("\nGot escape char, exitting\n", stderr);
            return Step::done;
        }
        queue_.push_back(*typed.byte);
        return Step::go_on;
    }

    // The port is non-blocking: a full output queue takes nothing yet.
    Step send_queued()
    {
        const ssize_t n = write(fd_, &queue_.front(), 1);
        if (n == 1) {
            queue_.pop_front();
            return Step::go_on;
        }
        if (n == 0 || would_block()) {
            return Step::go_on;
        }
        perror("write(serialfd)");
        return Step::failed;
    }

    Step serve_port()
    {
        const Received arrived = port_.read_byte();
        if (arrived.step == Step::done) {
            fputs("Got EOF on serial port\n", stderr);
        }
        return arrived.byte ? show(*arrived.byte) : arrived.step;
    }

    // Everything goes through the stdout stream, flushed at once, so that the
    // marks and the bytes show in the order they came, on a terminal or not.
    static Step show(unsigned char byte)
    {
        if (byte == '\r') {
            fputs("[CR]", stdout);
        } else if (byte == '\n') {
            fputs("[LF]\n", stdout);
        } else if (isprint(byte)) {
            putchar(byte);
        } else {
            printf("[%02X]", byte);
        }
        return flush_stdout() ? Step::go_on : Step::failed;
    }

    int fd_;
    unsigned char escape_;
    Input stdin_{STDIN_FILENO, "read(stdin)", "stdin"};
    Input port_{fd_, "read(serial)", "serial port"};
    std::deque<unsigned char> queue_; // typed, not yet taken by the port
    bool stdin_ended_ = false;
};

} // namespace

int serial_openport(const char* path, int speed, int stopbits, int locked)
{
    assert(path != nullptr);
    const std::optional<speed_t> constant = speed_constant(speed);
    if (!constant) {
        fprintf(stderr, "Unknown baudrate: %d\n", speed);
        exit(1);
    }

    // Owned until it is fully set up: a failed step closes it again.
    Descriptor port(open(path, O_RDWR | O_NOCTTY | O_NONBLOCK));
    if (port.get() < 0) {
        perror(path);
        return -1;
    }
    if (locked != -1 && !same_device(port.get(), locked)) {
        return -2;
    }
    if (fcntl(port.get(), F_SETFL, O_NONBLOCK) != 0) {
        perror("fcntl");
        return -1;
    }

    // Built from zeros so that every flag not named here is off. The control
    // modes come first: the speed functions record the speed in them too.
    termios settings{};
    settings.c_cflag = CS8 | CREAD | CLOCAL | (stopbits == 2 ? CSTOPB : 0);
    if (cfsetispeed(&settings, *constant) != 0) {
        perror("cfsetispeed");
        return -1;
    }
    if (cfsetospeed(&settings, *constant) != 0) {
        perror("cfsetospeed");
        return -1;
    }
    settings.c_iflag = IGNPAR;
    settings.c_oflag = 0;
    settings.c_lflag = 0;
    settings.c_cc[VTIME] = 0;
    settings.c_cc[VMIN] = 1;
    if (tcsetattr(port.get(), TCSANOW, &settings) != 0) {
        perror("tcsetattr");
        return -1;
    }
    return port.release();
}

timespec serial_timeleft(std::chrono::steady_clock::time_point deadline, std::chrono::steady_clock::time_point now)
{
    if (deadline <= now) {
        return timespec{};
    }
    const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - now).count();
    return timespec{.tv_sec = static_cast<time_t>(left / 1000000000), .tv_nsec = static_cast<long>(left % 1000000000)};
}

int serial_waitreadable(int fd, const timespec* timeout)
{
    std::array<pollfd, 1> port{{{fd, POLLIN, 0}}};
    return wait_ready(port, timeout);
}

int serial_read(int fd, void* buf, int len)
{
    assert(len >= 0);
    if (serial_waitreadable(fd, nullptr) != 1) {
        return -1;
    }
    return static_cast<int>(read(fd, buf, static_cast<size_t>(len)));
}

int serial_readtimeout(int fd, void* buf, int len, int timeout_ms)
{
    assert(len >= 0);
    const timespec timeout = timespec_from_ms(timeout_ms);
    const int ready = serial_waitreadable(fd, &timeout);
    if (ready == 0) {
        return -2;
    }
    if (ready != 1) {
        return -1;
    }
    return static_cast<int>(read(fd, buf, static_cast<size_t>(len)));
}

int serial_write(int fd, const void* buf, int len)
{
    assert(len >= 0);
    return static_cast<int>(write(fd, buf, static_cast<size_t>(len)));
}

int serial_writeall(int fd, const void* buf, int len, int stall_ms)
{
    assert(len >= 0);
    using std::chrono::steady_clock;
    const auto stall = std::chrono::milliseconds(stall_ms);
    const auto* bytes = static_cast<const std::uint8_t*>(buf);
    int sent = 0;
    auto limit = steady_clock::now() + stall;
    while (sent < len) {
        const ssize_t n = write(fd, bytes + sent, static_cast<size_t>(len - sent));
        if (n > 0) {
            sent += static_cast<int>(n);
            limit = steady_clock::now() + stall;
            continue;
        }
        if (n < 0 && !would_block()) {
            return -1;
        }
        // No room: the port's output queue is full. A pseudo-terminal does
        // not always wake its writer when room comes, so the room is tried
        // again at least every 50 ms until the limit.
        const auto now = steady_clock::now();
        if (now >= limit) {
            return sent == 0 ? -2 : sent;
        }
        const timespec left = serial_timeleft(std::min(limit, now + std::chrono::milliseconds(50)), now);
        std::array<pollfd, 1> port{{{fd, POLLOUT, 0}}};
        if (wait_ready(port, &left) < 0 && errno != EINTR) {
            return -1;
        }
    }
    return sent;
}

bool serial_outputwaiting(int fd)
{
    int queued = 0;
    std::array<pollfd, 1> port{{{fd, POLLOUT, 0}}};
    const timespec now{};
    return (ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0) || wait_ready(port, &now) == 0;
}

int serial_drain(int fd, int stall_ms)
{
    using std::chrono::steady_clock;
    auto queued = [fd] {
        int bytes = 0;
        return ioctl(fd, TIOCOUTQ, &bytes) == 0 ? bytes : 0;
    };
    const auto stall = std::chrono::milliseconds(stall_ms);
    auto limit = steady_clock::now() + stall;
    for (int left = queued(); left > 0;) {
        if (steady_clock::now() >= limit) {
            return left;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const int now_left = queued();
        if (now_left < left) {
            limit = steady_clock::now() + stall; // the line moves: a new stall limit
        }
        left = now_left;
    }
    return 0;
}

int serial_close(int fd)
{
    return close(fd);
}

int serial_terminal(int fd, unsigned char escape)
{
    const Console console = console_enter();
    const Step end = Terminal(fd, escape).run();
    const int restored = console_leave(console);
    return end == Step::done && restored == 0 ? 0 : -1;
}
