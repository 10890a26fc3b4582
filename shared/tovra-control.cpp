// SPDX-License-Identifier: GPL-2.0-or-later
// tovra-control: sends Sky remote codes through a tovra controller (USB or
// RS232) and, with --feedback, confirms a channel change from the box's own
// status reports.
#include <getopt.h>
#include <unistd.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <grp.h>
#include <termios.h>

#include <algorithm>
#include <array>
#include <cassert>
#include <cerrno>
#include <cstdarg>
#include <csignal>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <usb.h>

#include "descriptor.h"
#include "gnome.h"
#include "lock.h"
#include "same_device.h"
#include "serial.h"
#include "stdfds.h"
#include "tovra-control-lib.h"

namespace {

int debug = 0;

constexpr int kUsbTimeoutMs = 1000;
constexpr int kLineSpeed = 57600;
constexpr int kBackupWaitMs = 2000;
constexpr auto kFeedbackTime = std::chrono::seconds(10);
// A serial controller's line that takes nothing for this long ends the run.
constexpr int kStallSeconds = 5;

enum class BoxType { Sky, SkyPlus, SkyPlusHd };

constexpr unsigned family_of(BoxType box)
{
    switch (box) {
    case BoxType::SkyPlus: return 0x0C00;
    case BoxType::SkyPlusHd: return 0x5C00;
    case BoxType::Sky: break;
    }
    return 0x0000;
}

// Keys of a channel-change sequence, added to the box type's family.
constexpr unsigned kKeySky = 0x80;
constexpr unsigned kKeyBackup = 0x83;
constexpr unsigned kKeyServices = 0x7E;
constexpr unsigned kKeyDown = 0x59;
constexpr unsigned kKeySelect = 0x5C;
constexpr unsigned kKeyNine = 0x09;

constexpr std::array<option, 13> options_list = {{
    {"box", required_argument, nullptr, 0},
    {"output", required_argument, nullptr, 1},
    {"channel", required_argument, nullptr, 2},
    {"controller", required_argument, nullptr, 3},
    {"scontroller", required_argument, nullptr, 7},
    {"debug", no_argument, nullptr, 4},
    {"feedback", required_argument, nullptr, 5},
    {"log", required_argument, nullptr, 6},
    {"setup", no_argument, nullptr, 8},
    {"sky", no_argument, nullptr, 9},
    {"sky+", no_argument, nullptr, 10},
    {"sky+hd", no_argument, nullptr, 11},
    {nullptr, 0, nullptr, 0},
}};

// Compiled-in set-up block sent by --setup.
constexpr std::array<int, TOVRA_CONFIG_ENTRIES> kSetupConfig = {150, 150, 5, 220, 10, 139, 1, 75};

struct ControllerLink {
    TovraUsb* usb;  // used whenever set
    int fd;         // serial controller port, or -1
};

// The deadline is on the monotonic clock: a board without a real-time clock
// has its wall clock stepped by NTP, often by years, while it confirms.
struct FeedbackReadContext {
    int fd;
    std::chrono::steady_clock::time_point deadline;
};

struct Settings {
    long long output = 0;  // 0 to 14
    long long controller = 1;
    const char* controller_arg = "1";
    const char* controller_node = nullptr;  // --controller with a device path
    const char* channel = nullptr;
    const char* scontroller = nullptr;
    const char* feedback = nullptr;
    bool setup = false;
    BoxType box = BoxType::Sky;
    std::vector<const char*> codes;
};

void print_syntax(const char* name)
{
    fprintf(stderr,
            "%s syntax:\n"
            "[--controller <usb controller number - 1 for 1st controller connected on system, 2 for second, ...>]\n"
            "[--scontroller <serial device tovra controller is connected to>]\n"
            "[--output <output number, as labled on the controller>]\n"
            "[--sky] - tell --channel to send normal sky codes\n"
            "[--sky+] - tell --channel to send sky+ codes\n"
            "[--sky+hd] - tell --channel to send sky+hd codes\n"
            "[--setup] - send compiled in setup command to tovra-control\n"
            "[--debug] - print debug output\n"
            "[--log <logfile name>] - log output to file\n"
            "[--channel <x>] Change to channel 'x' - sends 'Sky', channel num, wait 2 secs,\n"
            "          'Backup'. Channel number may contain S (services), D (down),\n"
            "          X (select) to allow selection of 'other' channels\n"
            "[--feedback <serial port>] For channel change commands send using\n"
            "          --channel, wait for feedback from the sky box on given serial\n"
            "          port. eg. /dev/ttyS0\n"
            "<cmd1> <cmd2> <cmd3> ... - any number of 4 digit control codes\n"
            "\n"
            "Examples:\n"
            "\n"
            "send channel 123 to sky digibox on usb controller 1, output 1:\n"
            "%s --controller 1 --output 1 0001 0002 0003\n"
            "\n"
            "send channel 356 to sky+ on usb controller 1, output 2:\n"
            "%s --controller 1 --output 2 0C03 0C05 0C06\n"
            "\n"
            "send complete sequence to change to channel 123 on a Sky Box:\n"
            "%s --sky --channel 123\n"
            "\n"
            "send complete sequence to change to channel 123 on a Sky+ Box:\n"
            "%s --sky+ --channel 123\n"
            "\n"
            "send complete sequence to change to channel 123 on a Sky+ Box,\n"
            "using an RS232 controller connected to ttyS0:\n"
            "%s --scontroller /dev/ttyS0 --sky+ --channel 123\n"
            "\n"
            "send complete sequence to change to channel 123 on a Sky+ Box and\n"
            "wait for feedback from the sky box to confirm the channel change was ok:\n"
            "%s --sky+ --feedback /dev/ttyS0 --channel 123\n"
            "\n",
            name, name, name, name, name, name, name);
}

[[noreturn]] void usage_failure(const char* name)
{
    print_syntax(name);
    exit(1);
}

// Ends the run with status 1 after its one line on stream.
[[noreturn]] __attribute__((format(printf, 2, 3))) void fail(FILE* stream, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vfprintf(stream, format, args);
    va_end(args);
    exit(1);
}

// Ends the run with status 1 after a perror line.
[[noreturn]] void fail_errno(const char* what)
{
    perror(what);
    exit(1);
}

// strtoll's reading of a number: 64 bits on every system, 32-bit ones
// included, so that a range check sees a number beyond int as it is, never
// wrapped into a valid one. Beyond 64 bits it stops at the limit, still out
// of every range.
long long read_number(const char* text)
{
    return strtoll(text, nullptr, 10);
}

// The number text holds, as strtoll reads it, plus one when add_one: in
// decimal digits, so that a message shows the number typed however long.
std::string number_shown(const char* text, bool add_one)
{
    while (*text == ' ' || (*text >= '\t' && *text <= '\r'))
        ++text;
    bool negative = *text == '-';
    if (*text == '+' || *text == '-')
        ++text;
    std::string digits(text, strspn(text, "0123456789"));
    digits.erase(0, digits.find_first_not_of('0'));  // all of it for 0: no digits stand for 0
    if (add_one && negative && !digits.empty()) {  // |n| - 1, |n| >= 1
        const std::size_t last = digits.find_last_not_of('0');
        --digits[last];
        std::fill(digits.begin() + static_cast<std::ptrdiff_t>(last) + 1, digits.end(), '9');
        digits.erase(0, digits.find_first_not_of('0'));
    } else if (add_one) {  // |n| + 1
        const std::size_t last = digits.find_last_not_of('9');
        if (last == std::string::npos)
            digits.insert(0, "0");
        const std::size_t at = last == std::string::npos ? 0 : last;
        ++digits[at];
        std::fill(digits.begin() + static_cast<std::ptrdiff_t>(at) + 1, digits.end(), '0');
    }
    negative = negative && !digits.empty();
    return (negative ? "-" : "") + (digits.empty() ? std::string("0") : digits);
}

// Reads a raw code word as sscanf("%x") does (white space, sign, 0x prefix,
// hex digits up to the first other character), but without wrapping: a value
// beyond 32 bits or a negative one can never come out as a valid code.
std::optional<unsigned> read_code(const char* word)
{
    auto is_space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    auto hex_value = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };

    const char* p = word;
    while (is_space(*p))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    bool converted = false;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        converted = true;  // "0x" alone reads as 0
        p += 2;
    }
    unsigned long value = 0;
    for (; hex_value(*p) >= 0; ++p) {
        converted = true;
        if (value <= TOVRA_MAX_CODE)
            value = value * 16 + static_cast<unsigned long>(hex_value(*p));
    }
    if (!converted || value > TOVRA_MAX_CODE || (negative && value != 0))
        return std::nullopt;
    return static_cast<unsigned>(value);
}

// Appends both streams to the log file. The file is opened before either
// stream is touched, so a failure still reaches the original stderr.
void redirect_to_log(const char* path)
{
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        fail_errno((std::string("opening log file ") + path + " for writing failed").c_str());
    }
    // Nothing waits in the streams: stdout goes by the line, every line ends
    // before an option is read, and stderr is unbuffered.
    dup2(fd, STDERR_FILENO);
    dup2(fd, STDOUT_FILENO);
    if (fd > STDERR_FILENO)  // else the file is itself one of the two streams now
        close(fd);
}

void output_out_of_range(const char* name, const std::string& shown)
{
    printf("output number '%s' out of range.\n", shown.c_str());
    usage_failure(name);
}

Settings parse_options(int argc, char** argv)
{
    Settings settings;
    for (;;) {
        int value = getopt_long(argc, argv, "", options_list.data(), nullptr);
        if (value == -1)
            break;
        switch (value) {
        case 0:    // --box, counted from 0
        case 1: {  // --output, as labelled on the controller
            const long long number = read_number(optarg);
            const long long first = value == 0 ? 0 : 1;  // the number that selects output 1
            if (number < first || number > first + TOVRA_OUTPUTS - 1)
                output_out_of_range(argv[0], number_shown(optarg, value == 0));  // --box shows N + 1
            settings.output = number - first;
            break;
        }
        case 2: settings.channel = optarg; break;
        case 3:  // a number counts controllers; a path names one
            settings.controller_node = strchr(optarg, '/') != nullptr ? optarg : nullptr;
            settings.controller = read_number(optarg);
            settings.controller_arg = optarg;
            break;
        case 4: debug = 1; break;
        case 5: settings.feedback = optarg; break;
        case 6: redirect_to_log(optarg); break;
        case 7: settings.scontroller = optarg; break;
        case 8: settings.setup = true; break;
        case 9: settings.box = BoxType::Sky; break;
        case 10: settings.box = BoxType::SkyPlus; break;
        case 11: settings.box = BoxType::SkyPlusHd; break;
        default: usage_failure(argv[0]);
        }
    }
    for (int i = optind; i < argc; ++i)
        settings.codes.push_back(argv[i]);

    // The USB library takes controller indexes 0 to 254 only; a serial
    // controller has no number, so there it plays no part.
    if (settings.scontroller == nullptr && settings.controller_node == nullptr &&
        (settings.controller < 1 || settings.controller > TOVRA_MAX_CONTROLLERS)) {
        fail(stderr, "controller number '%s' out of range: use 1 to %d\n", settings.controller_arg,
             TOVRA_MAX_CONTROLLERS);
    }
    return settings;
}

void warn_unlocked(const std::string& what)
{
    fprintf(stderr, "warning: cannot lock %s (%s); runs at the same time may interfere.\n", what.c_str(),
            strerror(errno));
}

// Serialises this run with others on the same controller or port, until the
// lock is dropped or the run ends. An empty fd (errno says why) or a lock
// that fails is warned about, and the run goes on unlocked.
Descriptor hold_exclusively(Descriptor fd, const std::string& what)
{
    if (fd.get() == -1) {
        warn_unlocked(what);
        return fd;
    }
    switch (lock_wait(fd.get(), what.c_str(), LOCK_WAIT_SECONDS, debug)) {
    case 0: return fd;
    case -2:
        fail(stderr, "%s is still in use by another run after %d seconds, giving up.\n", what.c_str(),
             LOCK_WAIT_SECONDS);
    default: warn_unlocked(what); return {};
    }
}

// A serial port and its lock.
struct Port {
    Descriptor lock;  // none when the port could not be locked, or is locked as another port already
    Descriptor line;
};

// Locks a port, on a descriptor of its own, then sets its line up at once: a
// run that waits leaves a port it does not hold as it found it, and a port
// that it holds never sits in its boot-time settings, echoing the box's
// bytes back to the box. A port that the run has locked already (held) is
// not locked twice. The port must be the device locked, which is checked
// before its line is touched: a link re-pointed by a replug while the run
// waited leads to another device, left as it is. A port that cannot be
// opened or set up ends the run with failure's perror line.
Port open_port(const char* path, const std::string& what, const char* failure, int held = -1)
{
    Port port;
    Descriptor fd(lock_open(path));
    const int lock_error = errno;
    const bool lockable = fd.get() != -1;
    if (lockable && (held == -1 || !same_device(fd.get(), held)))
        port.lock = hold_exclusively(std::move(fd), what);
    const int line = serial_openport(path, kLineSpeed, 1, port.lock ? port.lock.get() : -1);
    if (line == -2)
        fail(stderr, "%s leads to another device than the one this run locked: it was replugged meanwhile. "
                     "Nothing was sent.\n", path);
    if (line == -1)
        fail_errno(failure);
    port.line.reset(line);
    if (!lockable) {  // said once the port is known to be usable, not before its own failure
        errno = lock_error;
        warn_unlocked(what);
    }
    return port;
}

// A run ends with success only once its frames have left the RS232
// controller's port: an adapter that keeps them queued has not sent them.
// They are left there, whole frames, for the next run to drop as a failed
// run's (open_serial_controller).
void finish_sending(int port)
{
    if (port == -1)
        return;
    if (const int left = serial_drain(port, kStallSeconds * 1000); left > 0)
        fail(stderr, "tovra_serial_sendcommand failed: the serial port sent nothing for %d seconds; %d bytes are "
                     "still waiting to be sent\n", kStallSeconds, left);
}

// The controller link and what keeps it: the USB handle and the lock on its
// node, or the RS232 controller's port and its lock.
struct Controller {
    ControllerLink link{nullptr, -1};
    std::unique_ptr<TovraUsb, decltype(&tovra_usb_destroy)> usb{nullptr, tovra_usb_destroy};
    Port port;

    // Lets other runs have the controller once what it was sent has left:
    // closes the USB handle or the port, and with it the lock. A port that is
    // also the box's keeps its lock, which the feedback port holds.
    void release()
    {
        finish_sending(link.fd);
        link = {nullptr, -1};
        usb.reset();
        port = {};
    }
};

// How a user gets at the controller. The rules give its node to plugdev; a
// system without that group (Fedora, Arch) leaves the node root's.
const char* access_fix()
{
    if (getgrnam("plugdev") != nullptr)
        return "install the tovra-control udev rules, join the plugdev group (or log in locally), then unplug "
               "and replug the controller.";
    return "this system has no plugdev group: create it (groupadd --system plugdev) or name a group of your own "
           "in the tovra-control udev rules, install the rules, join the group (or log in locally), then unplug "
           "and replug the controller.";
}

// The device node of the controller cannot be written: say how to fix it.
void permission_hint(int error)
{
    if (error == EACCES || error == EPERM)
        fprintf(stderr, "The USB controller is not writable for this user: %s\n", access_fix());
}

// A controller whose node cannot be opened: which node and why; for a lack
// of permission, whose node it is and how to fix it.
void node_hint(const std::string& node, int error)
{
    struct stat info{};
    Descriptor fd(open(node.c_str(), O_PATH | O_CLOEXEC));
    if ((error != EACCES && error != EPERM) || fd.get() == -1 || fstat(fd.get(), &info) != 0) {
        fprintf(stderr, "The USB controller %s cannot be opened: %s\n", node.c_str(), strerror(error));
        return;
    }
    const group* owner = getgrgid(info.st_gid);
    const std::string group_name = owner != nullptr ? owner->gr_name : std::to_string(info.st_gid);
    fprintf(stderr, "The USB controller %s (group %s, mode %04o) cannot be opened by this user: %s\n", node.c_str(),
            group_name.c_str(), static_cast<unsigned>(info.st_mode & 07777), access_fix());
}

// Sends a code as one frame, waiting for room on a line that takes nothing
// for a while, up to kStallSeconds. Returns 0 when the frame went out whole;
// otherwise what serial_writeall returned: -1 (errno), -2 when no byte of it
// went, or the count of its bytes that went before the line stalled, which
// are dropped again from the port's queue with whatever else waits there.
int tovra_serial_sendcommand(int fd, int output, unsigned command)
{
    assert(fd != -1);
    assert(output >= 0);
    assert(output < TOVRA_OUTPUTS);
    assert(command <= TOVRA_MAX_CODE);

    const auto high = static_cast<std::uint8_t>(command >> 8);
    const auto low = static_cast<std::uint8_t>(command & 0xFF);
    std::array<std::uint8_t, 4> frame{};
    std::size_t length = 0;
    if (output < 2) {
        frame = {static_cast<std::uint8_t>('0' + output), high, low, 0};
        length = 3;
        if (debug)
            printf("sending cmd %04x to output %d: bytes %d, %d, %d\n", command, output + 1, frame[0], frame[1],
                   frame[2]);
    } else {
        frame = {'C', static_cast<std::uint8_t>(output), high, low};
        length = 4;
        if (debug)
            printf("sending cmd %04x to output %d: bytes %d, %d, %d, %d\n", command, output + 1, frame[0], frame[1],
                   frame[2], frame[3]);
    }
    // Half a frame left in the port's queue would go out when the line moves
    // again and put the controller out of step for every later code. So the
    // signals that end a run (a back-end's SIGTERM) wait until the frame is
    // whole, and a frame that stalls part-way is dropped with the rest of
    // what this run left unsent.
    sigset_t ending{};
    sigset_t before{};
    sigemptyset(&ending);
    for (int signal : {SIGINT, SIGQUIT, SIGTERM, SIGHUP})
        sigaddset(&ending, signal);
    sigprocmask(SIG_BLOCK, &ending, &before);
    const int sent = serial_writeall(fd, frame.data(), static_cast<int>(length), kStallSeconds * 1000);
    const int error = errno;
    if (sent > 0 && sent < static_cast<int>(length))
        tcflush(fd, TCOFLUSH);
    sigprocmask(SIG_SETMASK, &before, nullptr);
    errno = error;
    return sent == static_cast<int>(length) ? 0 : sent;
}

// Every code of a run goes out here; a code that cannot be sent ends the run.
void send_sky_code(ControllerLink* link, int output, unsigned command)
{
    if (debug)
        printf("sending code %04x to output %d\n", command, output + 1);
    if (link->usb != nullptr) {
        if (tovra_usb_sendcommand(link->usb, output, static_cast<int>(command)) == -1) {
            int error = errno;
            perror("tovra_usb_sendcommand failed");
            permission_hint(error);
            exit(1);
        }
        return;
    }
    const int sent = tovra_serial_sendcommand(link->fd, output, command);
    if (sent == -1)
        fail_errno("tovra_serial_sendcommand failed");
    if (sent == -2)
        fail(stderr, "tovra_serial_sendcommand failed: the serial port took nothing for %d seconds\n", kStallSeconds);
    if (sent != 0)
        fail(stderr,
             "tovra_serial_sendcommand failed: the serial port took nothing for %d seconds after %d bytes of a "
             "frame; what it had not sent is dropped\n",
             kStallSeconds, sent);
}

// The packet reader's byte source: waits on the box's port until the
// confirmation's overall deadline, then takes what is already there. A read
// that finds nothing after all (another program on the port, such as
// ModemManager probing it, took the bytes) or a wait or read cut short by a
// signal is no failure: it waits again, until the deadline.
int readFunc(void* context, std::uint8_t* dest, unsigned max)
{
    auto* feedback = static_cast<FeedbackReadContext*>(context);
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        const timespec timeout = serial_timeleft(feedback->deadline, now);
        const int ready = serial_waitreadable(feedback->fd, &timeout);
        if (ready == -1 && errno == EINTR)
            continue;
        if (ready == 1) {
            const ssize_t got = read(feedback->fd, dest, max);
            if (got != -1 || (errno != EAGAIN && errno != EINTR))
                return static_cast<int>(got);
            if (now < feedback->deadline)
                continue;
        } else if (ready != 0) {
            perror("select");
            return -1;
        }
        fputs("select timed out\n", stdout);  // nothing waits, and the deadline has passed
        return -1;
    }
}

bool same_text(const std::uint8_t* value, int length, std::string_view channel)
{
    return static_cast<std::size_t>(length) == channel.size() &&
           (length == 0 || memcmp(value, channel.data(), channel.size()) == 0);
}

// The box's report of the channel it selected: 1 success, -1 failure, 0 no verdict.
// The whole value is compared, so channels longer than four digits confirm too.
int judge_selected_channel(const std::uint8_t* value, int length, std::string_view channel)
{
    std::string text(reinterpret_cast<const char*>(value), static_cast<std::size_t>(length));
    if (auto zero = text.find('\0'); zero != std::string::npos)
        std::fill(text.begin() + static_cast<std::ptrdiff_t>(zero), text.end(), '\0');
    if (length == 4 && text[0] == 0x7F)
        text[0] = '0';
    if (length >= 1 && text.back() == '-')
        return 0;  // the box is still taking digits
    if (same_text(reinterpret_cast<const std::uint8_t*>(text.data()), length, channel)) {
        printf("Tuning successful, channel '%s' selected\n", text.c_str());
        return 1;
    }
    printf("Tuning failed, channel '%s' selected\n", text.c_str());
    return -1;
}

int judge_field(const std::uint8_t* tag, const std::uint8_t* value, int length, std::string_view channel,
                int verdict)
{
    auto is = [tag](const char* name) { return memcmp(tag, name, 4) == 0; };
    const char* text = reinterpret_cast<const char*>(value);
    if (is("CE00")) {
        int selected = judge_selected_channel(value, length, channel);
        return selected != 0 ? selected : verdict;
    }
    if (is("CEER")) {
        printf("Channel error: %.*s\n", length, text);
        return -1;
    }
    if (is("SSCN"))
        printf("Current channel '%.*s' [%s]\n", length, text, same_text(value, length, channel) ? "correct" : "incorrect");
    else if (is("SSCA"))
        printf("Channel description '%.*s'\n", length, text);
    else if (is("PUCP") || is("PUSP"))
        printf("Error '%.*s'\n", length, text);
    return verdict;
}

// Reads the box's reports until one decides: 1 the channel asked for, -1
// another or an error. A read that fails ends the run.
int read_verdict(std::string_view channel, int fd)
{
    FeedbackReadContext context{fd, std::chrono::steady_clock::now() + kFeedbackTime};
    std::unique_ptr<Gnome, decltype(&Gnome_destroy)> reader(Gnome_create(readFunc, &context), Gnome_destroy);
    if (!reader)
        fail(stderr, "unable to create the reader for the feedback port: out of memory\n");

    int verdict = 0;
    while (verdict == 0) {
        int count = 0;
        const std::uint8_t* const* tags = nullptr;
        const std::uint8_t* const* values = nullptr;
        const int* lengths = nullptr;
        if (Gnome_readPacket(reader.get(), &count, &tags, &values, &lengths) == -1)
            fail(stdout, "Failed reading response from sky box.\n");
        for (int i = 0; i < count; ++i) {
            if (debug)
                printf("%.4s : %.*s [%d %d]\n", reinterpret_cast<const char*>(tags[i]), lengths[i],
                       reinterpret_cast<const char*>(values[i]), lengths[i], static_cast<signed char>(values[i][0]));
            verdict = judge_field(tags[i], values[i], lengths[i], channel, verdict);
        }
    }
    return verdict;
}

std::optional<unsigned> channel_key(char c)
{
    if (c >= '0' && c <= '9')
        return static_cast<unsigned>(c - '0');
    switch (c) {
    case 'S': return kKeyServices;
    case 'D': return kKeyDown;
    case 'X': return kKeySelect;
    default: return std::nullopt;
    }
}

bool valid_channel(std::string_view channel)
{
    return std::ranges::all_of(channel, [](char c) { return channel_key(c).has_value(); });
}

// Channel mode. The box's port (feedback), when the change confirms, was
// opened and locked before the controller.
void run_channel(Controller& controller, const Settings& settings, const Port& feedback)
{
    const unsigned family = family_of(settings.box);
    const std::string_view channel = settings.channel;
    if (debug)
        printf("sending channel '%s'\n", settings.channel);
    if (!valid_channel(channel))
        fail(stderr, "Invalid channel number '%s'\n", settings.channel);

    // What the box said before the first key is about an earlier change: a
    // run that waited for the port finds the last run's reports queued.
    const int port = feedback.line.get();
    if (port != -1)
        tcflush(port, TCIFLUSH);

    ControllerLink* link = &controller.link;
    const int output = static_cast<int>(settings.output);
    send_sky_code(link, output, family + kKeySky);
    for (char c : channel)
        send_sky_code(link, output, family + *channel_key(c));

    const bool plain_number = channel.find_first_of("SDX") == std::string_view::npos;
    if (plain_number && port != -1) {
        send_sky_code(link, output, family + kKeyNine);
        send_sky_code(link, output, family + kKeyBackup);
        // The wait for the box's report needs no controller: other tuners'
        // changes go out meanwhile.
        controller.release();
        if (read_verdict(channel, port) == -1)  // the reader is gone by then
            fail(stdout, "Failed\n");
        return;
    }
    if (debug)
        printf("Waiting %d ms...\n", kBackupWaitMs);
    std::this_thread::sleep_for(std::chrono::milliseconds(kBackupWaitMs));
    send_sky_code(link, output, family + kKeyBackup);
}

void run_raw_codes(ControllerLink* link, const Settings& settings)
{
    for (const char* word : settings.codes) {
        const std::optional<unsigned> code = read_code(word);
        if (!code)
            fail(stderr, "Invalid command code: '%s'\n", word);
        send_sky_code(link, static_cast<int>(settings.output), *code);
    }
}

[[noreturn]] void controller_not_found(const TovraUsb* usb, const Settings& settings, int index)
{
    const int error = errno;
    const bool open_failed = usb->device != nullptr && usb->handle == nullptr;
    if (settings.controller_node != nullptr)
        fprintf(stderr, "unable to find USB tovra controller %s\n", settings.controller_node);
    else
        fprintf(stderr, "unable to find USB tovra controller number %d\n", index);
    fputs("Please check the controller is connected.\n", stderr);
    if (index == 0 && settings.controller_node == nullptr)
        fputs("If you are using a serial controller please specify the port it is connected to use the "
              "--scontroller command line switch.\n",
              stderr);
    if (open_failed)
        node_hint(tovra_usb_node(usb), error);
    else
        for (const auto& [node, why] : tovra_usb_unopenable())
            node_hint(node, why);
    exit(1);
}

// Libusb counts only the controllers this user can open: a controller left
// out before the selected one makes --controller N another controller than
// for a user who can open them all.
void warn_uncounted(const TovraUsb* usb, const Settings& settings)
{
    const std::string selected = tovra_usb_node(usb);
    auto before = tovra_usb_unopenable();
    std::erase_if(before, [&selected](const auto& node) { return node.first > selected; });  // both /dev/bus/usb/BBB/DDD
    if (before.empty())
        return;
    fprintf(stderr, "warning: --controller %lld counts only the controllers this user can open: it selects %s.\n",
            settings.controller, selected.c_str());
    for (const auto& [node, why] : before)
        node_hint(node, why);
}

// Finds, opens and locks the USB controller, the Nth or the one at a device
// path; a failure ends the run.
void open_usb_controller(Controller& controller, const Settings& settings)
{
    const int index = static_cast<int>(settings.controller - 1);
    if (tovra_usb_initialise() != 0)
        fail(stderr, "tovra_usb_initalise failed\n");
    controller.usb.reset(tovra_usb_create(debug, kUsbTimeoutMs));
    TovraUsb* usb = controller.usb.get();
    if (usb == nullptr && settings.controller_node != nullptr)
        fail(stderr, "unable to create tovra controller handle %s\n", settings.controller_node);
    if (usb == nullptr)
        fail(stderr, "unable to create tovra controller handle %d\n", index);
    const int found = settings.controller_node != nullptr ? tovra_usb_findnode(usb, settings.controller_node)
                                                          : tovra_usb_finddevice(usb, index);
    if (found != 0)
        controller_not_found(usb, settings, index);
    if (settings.controller_node == nullptr)
        warn_uncounted(usb, settings);
    const char* bus = nullptr;
    const char* device = nullptr;
    tovra_usb_location(usb, &bus, &device);
    controller.port.lock = hold_exclusively(Descriptor(lock_open(tovra_usb_node(usb).c_str())),
                                            std::string("USB controller ") + bus + "/" + device);
    controller.link.usb = usb;
}

// Identification with --debug, then the set-up block with --setup.
void prepare_usb_controller(TovraUsb* usb, const Settings& settings)
{
    if (debug)
        tovra_usb_printinfo(usb);
    if (!settings.setup)
        return;
    if (settings.output > 1)
        fail(stderr, "Setup can only be sent to output 1 or 2, not output %lld.\n", settings.output + 1);
    if (tovra_usb_sendconfig(usb, static_cast<int>(settings.output), kSetupConfig.data()) != 0) {
        int error = errno;
        perror("tovra_usb_sendconfig failed");
        permission_hint(error);
        exit(1);
    }
}

// The RS232 controller's port, unless it is also the box's port, locked
// already as such.
void open_serial_controller(Controller& controller, const Settings& settings, const Port& feedback)
{
    controller.port = open_port(settings.scontroller, std::string("serial port ") + settings.scontroller,
                                "Opening serial port failed", feedback.lock.get());
    if (settings.setup)
        fail(stderr, "Configuration sending not supported for serial devices.\n");
    const int port = controller.port.line.get();
    // A run that succeeded has emptied the queue: what is still there (or
    // what keeps it full) was left by a run that failed or was killed, half a
    // frame perhaps, and would go out before this run's frames.
    if (serial_outputwaiting(port)) {
        if (debug)
            printf("Dropping what an earlier run left unsent on %s\n", settings.scontroller);
        tcflush(port, TCOFLUSH);
    }
    controller.link.fd = port;
}

}  // namespace

int main(int argc, char** argv)
{
    if (!open_standard_descriptors())
        return 1;
    // Line by line, so that a log or a reading pipe sees lines in the order
    // they were written, and a killed run loses nothing already reported.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    // perror on an unoriented stderr tries fdopen(dup(2), "w+"), which fails
    // with EINVAL on a write-only stderr (a pipe or the log) and so clobbers
    // errno for the caller's line after a library's line. Orient it now.
    fwide(stderr, -1);
    // A reader that goes away (a PVR closing its pipe) must not kill the run
    // between two keys and leave the box half-tuned: finish, unheard.
    signal(SIGPIPE, SIG_IGN);
    // Options and codes mix in any order, whatever the caller's environment.
    unsetenv("POSIXLY_CORRECT");

    if (argc < 2)
        usage_failure(argc > 0 ? argv[0] : "tovra-control");
    const Settings settings = parse_options(argc, argv);

    // Ports before the controller: a run that waits for its box's port holds
    // no controller meanwhile, so other tuners' changes go on. A channel
    // change opens the box's port when its channel is one to send.
    Port feedback;
    if (settings.channel != nullptr && settings.feedback != nullptr && valid_channel(settings.channel))
        feedback = open_port(settings.feedback, std::string("feedback port ") + settings.feedback,
                             "Opening feedback serial port failed");

    Controller controller;
    if (settings.scontroller != nullptr) {
        open_serial_controller(controller, settings, feedback);
    } else {
        open_usb_controller(controller, settings);
        prepare_usb_controller(controller.usb.get(), settings);
    }

    if (settings.channel != nullptr)
        run_channel(controller, settings, feedback);
    else
        run_raw_codes(&controller.link, settings);

    const bool usb = settings.scontroller == nullptr;
    controller.release();
    if (usb)
        tovra_usb_finalise();
    return 0;
}
