// SPDX-License-Identifier: GPL-2.0-or-later
// sky-box: a simulated Sky set-top box for the tests and the demo.
//
// The box's RS232 port is a pseudo-terminal, or a serial port given (the far
// end of a USB-serial adapter in the kernel test); the box writes Gnome
// packets on it as a real box does while a channel is typed. Keys reach the
// box two ways: "KEY <output> <code>" lines that a simulated USB controller
// writes into a FIFO, and the 3- or 4-byte frames of an RS232 tovra
// controller, on a second pseudo-terminal or serial port. Options make the
// box slow, silent, noisy, wrong or broken on purpose. Runs until
// SIGTERM/SIGINT or EOF on stdin.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <getopt.h>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "descriptor.h"
#include "gnome_packet.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A channel is reported as at most 4 characters.
constexpr int MAX_DIGITS = 4;
// Unread reports kept while nobody drains the port; beyond that they are dropped
// so that a chattering box with no listener cannot grow without bound.
constexpr std::size_t MAX_PENDING_OUTPUT = 64 * 1024;
constexpr std::size_t MAX_FIFO_LINE = 256;
constexpr std::string_view NOISE = "~#\r";
// A flooding box keeps this much queued so the port never runs dry.
constexpr std::size_t FLOOD_LEVEL = 4096;
// How long a hangup waits for the tool to take the bytes already written:
// closing the master discards whatever the slave has not read yet.
constexpr milliseconds HANGUP_DRAIN{2000};
constexpr milliseconds HANGUP_POLL{10};
// Bytes written to the master reach the slave's queue a moment later, so an
// empty queue right after a write does not yet mean that the tool read them.
constexpr milliseconds HANGUP_SETTLE{100};

constexpr unsigned FAMILIES[] = {0x0000, 0x0C00, 0x5C00};

enum Key : unsigned {
    KEY_SKY = 0x80,
    KEY_BACKUP = 0x83,
    KEY_SERVICES = 0x7E,
    KEY_DOWN = 0x59,
    KEY_SELECT = 0x5C,
};

struct Options {
    int output = 1;
    std::optional<unsigned> family;  // none: any of FAMILIES
    int digits = 3;
    std::string channelNow = "100";
    int latencyMs = 0;
    bool silent = false;
    bool noise = false;
    bool badChecksum = false;
    bool sevenF = false;
    bool quiet = false;
    std::optional<std::string> wrongChannel;
    std::optional<std::string> channelError;
    std::optional<int> chatterMs;  // 0: flood
    std::optional<long> hangupAfter;
    std::string logPath;
    std::string port;            // the box's port; empty: a pty of its own
    std::string controllerPort;  // the RS232 controller's; empty: a pty
    std::string keysFifo;        // empty: in a fresh temporary folder
};

using Fd = Descriptor;

// One line per event into the --log file, and on stderr unless --quiet.
struct EventLog {
    Fd file;
    bool echo = true;

    void line(const std::string& text) const
    {
        const std::string out = text + '\n';
        // One write per line, so that concurrent appenders never interleave.
        if (file && ::write(file.get(), out.data(), out.size()) < 0) {
            // A log that cannot be written must not stop the box.
        }
        if (echo && ::write(STDERR_FILENO, out.data(), out.size()) < 0) {
        }
    }
};

std::string printable(std::string_view bytes)
{
    std::string out;
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b <= 0x7E) {
            out += c;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "[%02X]", b);
            out += hex;
        }
    }
    return out;
}

std::string keyName(int output, unsigned code)
{
    char text[48];
    std::snprintf(text, sizeof text, "output=%d code=%04x", output, code);
    return text;
}

// ---------------------------------------------------------------- options

void usage(std::FILE* out)
{
    std::fprintf(out,
        "usage: sky-box [options]\n"
        "  --output N           output of the controller the box listens to (1-15, default 1)\n"
        "  --family F           accept only keys of family sky, sky+ or sky+hd (default: all)\n"
        "  --digits N           digits of a channel entry (1-%d, default 3)\n"
        "  --channel-now N      channel shown at start (default 100)\n"
        "  --latency MS         delay before each report\n"
        "  --silent             never report what keys do (chatter still goes out)\n"
        "  --noise              stray bytes and a carriage return before each packet\n"
        "  --bad-checksum       every report carries a wrong checksum\n"
        "  --wrong-channel N    tune to N whatever was entered\n"
        "  --channel-error TXT  report CEER with TXT instead of tuning\n"
        "  --chatter MS         send a description packet every MS ms, forever (0: flood)\n"
        "  --hangup-after N     close the box port after N bytes of reports\n"
        "  --seven-f            report 4-character channels with 0x7F for a leading 0\n"
        "  --log FILE           append one line per event to FILE\n"
        "  --quiet              do not echo events on stderr\n"
        "  --port PATH          speak on this serial port instead of a pty of its own\n"
        "  --controller-port PATH  take RS232 controller frames on this serial port\n"
        "  --keys-fifo PATH     make the key FIFO at PATH\n"
        "Prints the box port, the controller port and the key FIFO, then \"ready\".\n",
        MAX_DIGITS);
}

std::optional<long> parseNumber(std::string_view text, long low, long high)
{
    long value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < low ||
        value > high)
        return std::nullopt;
    return value;
}

bool isChannel(std::string_view text)
{
    return !text.empty() && text.size() <= MAX_DIGITS &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::optional<Options> parseOptions(int argc, char** argv)
{
    enum : int {
        OPT_OUTPUT = 256, OPT_FAMILY, OPT_DIGITS, OPT_CHANNEL_NOW, OPT_LATENCY, OPT_SILENT,
        OPT_NOISE, OPT_BAD_CHECKSUM, OPT_WRONG_CHANNEL, OPT_CHANNEL_ERROR, OPT_CHATTER,
        OPT_HANGUP_AFTER, OPT_SEVEN_F, OPT_LOG, OPT_QUIET, OPT_HELP, OPT_PORT, OPT_CONTROLLER_PORT, OPT_KEYS_FIFO,
    };
    static const option longOptions[] = {
        {"output", required_argument, nullptr, OPT_OUTPUT},
        {"family", required_argument, nullptr, OPT_FAMILY},
        {"digits", required_argument, nullptr, OPT_DIGITS},
        {"channel-now", required_argument, nullptr, OPT_CHANNEL_NOW},
        {"latency", required_argument, nullptr, OPT_LATENCY},
        {"silent", no_argument, nullptr, OPT_SILENT},
        {"noise", no_argument, nullptr, OPT_NOISE},
        {"bad-checksum", no_argument, nullptr, OPT_BAD_CHECKSUM},
        {"wrong-channel", required_argument, nullptr, OPT_WRONG_CHANNEL},
        {"channel-error", required_argument, nullptr, OPT_CHANNEL_ERROR},
        {"chatter", required_argument, nullptr, OPT_CHATTER},
        {"hangup-after", required_argument, nullptr, OPT_HANGUP_AFTER},
        {"seven-f", no_argument, nullptr, OPT_SEVEN_F},
        {"log", required_argument, nullptr, OPT_LOG},
        {"quiet", no_argument, nullptr, OPT_QUIET},
        {"help", no_argument, nullptr, OPT_HELP},
        {"port", required_argument, nullptr, OPT_PORT},
        {"controller-port", required_argument, nullptr, OPT_CONTROLLER_PORT},
        {"keys-fifo", required_argument, nullptr, OPT_KEYS_FIFO},
        {nullptr, 0, nullptr, 0},
    };

    Options opt;
    const auto bad = [](const char* what, const char* value) {
        std::fprintf(stderr, "sky-box: invalid %s '%s'\n", what, value);
        return std::nullopt;
    };
    int c;
    while ((c = getopt_long(argc, argv, "", longOptions, nullptr)) != -1) {
        const char* arg = optarg;
        switch (c) {
        case OPT_OUTPUT:
            if (auto n = parseNumber(arg, 1, 15))
                opt.output = static_cast<int>(*n);
            else
                return bad("output (1-15)", arg);
            break;
        case OPT_FAMILY:
            if (std::string_view(arg) == "sky")
                opt.family = 0x0000;
            else if (std::string_view(arg) == "sky+")
                opt.family = 0x0C00;
            else if (std::string_view(arg) == "sky+hd")
                opt.family = 0x5C00;
            else
                return bad("family (sky, sky+, sky+hd)", arg);
            break;
        case OPT_DIGITS:
            if (auto n = parseNumber(arg, 1, MAX_DIGITS))
                opt.digits = static_cast<int>(*n);
            else
                return bad("digit count (1-4)", arg);
            break;
        case OPT_CHANNEL_NOW:
            if (!isChannel(arg))
                return bad("channel (1-4 digits)", arg);
            opt.channelNow = arg;
            break;
        case OPT_LATENCY:
            if (auto n = parseNumber(arg, 0, 600000))
                opt.latencyMs = static_cast<int>(*n);
            else
                return bad("latency (0-600000 ms)", arg);
            break;
        case OPT_SILENT: opt.silent = true; break;
        case OPT_NOISE: opt.noise = true; break;
        case OPT_BAD_CHECKSUM: opt.badChecksum = true; break;
        case OPT_SEVEN_F: opt.sevenF = true; break;
        case OPT_QUIET: opt.quiet = true; break;
        case OPT_WRONG_CHANNEL:
            if (!isChannel(arg))
                return bad("channel (1-4 digits)", arg);
            opt.wrongChannel = arg;
            break;
        case OPT_CHANNEL_ERROR:
            // Leave room for the packet's other bytes within the 999-byte total.
            if (std::strlen(arg) > GNOME_PACKET_MAX_VALUE)
                return bad("channel error text (too long)", arg);
            opt.channelError = arg;
            break;
        case OPT_CHATTER:
            if (auto n = parseNumber(arg, 0, 600000))
                opt.chatterMs = static_cast<int>(*n);
            else
                return bad("chatter period (0-600000 ms)", arg);
            break;
        case OPT_HANGUP_AFTER:
            if (auto n = parseNumber(arg, 0, 1L << 30))
                opt.hangupAfter = *n;
            else
                return bad("byte count", arg);
            break;
        case OPT_LOG: opt.logPath = arg; break;
        case OPT_PORT: opt.port = arg; break;
        case OPT_CONTROLLER_PORT: opt.controllerPort = arg; break;
        case OPT_KEYS_FIFO: opt.keysFifo = arg; break;
        case OPT_HELP:
            usage(stdout);
            std::exit(0);
        default:
            usage(stderr);
            return std::nullopt;
        }
    }
    if (optind < argc) {
        std::fprintf(stderr, "sky-box: unexpected argument '%s'\n", argv[optind]);
        usage(stderr);
        return std::nullopt;
    }
    return opt;
}

// ---------------------------------------------------------------- ports

// A pty (the box's end is the master), or a serial port given, opened once.
struct Pty {
    Fd master;
    Fd slave;  // a pty's, kept open so the master never sees EIO when the tool closes its side
    std::string path;
};

// A pty whose slave is raw at 57600 baud before anyone opens it, so that
// nothing is echoed or translated.
std::optional<Pty> openPty(const char* what)
{
    int m = -1;
    int s = -1;
    if (::openpty(&m, &s, nullptr, nullptr, nullptr) < 0) {
        std::fprintf(stderr, "sky-box: openpty for the %s: %s\n", what, std::strerror(errno));
        return std::nullopt;
    }
    Pty pty{Fd(m), Fd(s), {}};
    termios tio{};
    char name[256];
    bool ok = ::tcgetattr(s, &tio) == 0;
    if (ok) {
        ::cfmakeraw(&tio);
        ok = ::cfsetispeed(&tio, B57600) == 0 && ::cfsetospeed(&tio, B57600) == 0 &&
             ::tcsetattr(s, TCSANOW, &tio) == 0 && ::ttyname_r(s, name, sizeof name) == 0;
    }
    if (!ok) {
        std::fprintf(stderr, "sky-box: setting up the %s: %s\n", what, std::strerror(errno));
        return std::nullopt;
    }
    pty.path = name;
    const int flags = ::fcntl(m, F_GETFL);
    if (flags < 0 || ::fcntl(m, F_SETFL, flags | O_NONBLOCK) < 0) {
        std::fprintf(stderr, "sky-box: fcntl on the %s: %s\n", what, std::strerror(errno));
        return std::nullopt;
    }
    return pty;
}

// The serial port at path, raw at 57600 baud as the box's own port is; or a
// pty when no path is given.
std::optional<Pty> openPort(const char* what, const std::string& path)
{
    if (path.empty())
        return openPty(what);
    Pty port{Fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)), {}, path};
    termios tio{};
    if (!port.master || ::tcgetattr(port.master.get(), &tio) != 0) {
        std::fprintf(stderr, "sky-box: opening the %s %s: %s\n", what, path.c_str(), std::strerror(errno));
        return std::nullopt;
    }
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL;
    if (::cfsetispeed(&tio, B57600) != 0 || ::cfsetospeed(&tio, B57600) != 0 ||
        ::tcsetattr(port.master.get(), TCSANOW, &tio) != 0) {
        std::fprintf(stderr, "sky-box: setting up the %s %s: %s\n", what, path.c_str(), std::strerror(errno));
        return std::nullopt;
    }
    return port;
}

// The FIFO in a fresh directory; removed with it when the box ends.
struct KeyFifo {
    std::string dir;
    std::string path;
    Fd reader;
    Fd keepOpen;  // our own writer: without one the reader sees EOF and POLLHUP between writers

    KeyFifo() = default;
    KeyFifo(const KeyFifo&) = delete;
    KeyFifo& operator=(const KeyFifo&) = delete;
    ~KeyFifo()
    {
        reader.reset();
        keepOpen.reset();
        if (!path.empty())
            ::unlink(path.c_str());
        if (!dir.empty())
            ::rmdir(dir.c_str());
    }
};

bool openFifo(KeyFifo& fifo, std::string path)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/sky-box.XXXXXX";
    if (path.empty() && !::mkdtemp(pattern.data())) {
        std::fprintf(stderr, "sky-box: mkdtemp %s: %s\n", pattern.c_str(), std::strerror(errno));
        return false;
    }
    if (path.empty()) {
        fifo.dir = pattern;
        path = fifo.dir + "/keys";
    }
    if (::mkfifo(path.c_str(), 0600) < 0) {
        std::fprintf(stderr, "sky-box: mkfifo %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    fifo.path = path;
    fifo.reader = Fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fifo.reader)
        fifo.keepOpen = Fd(::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fifo.reader || !fifo.keepOpen) {
        std::fprintf(stderr, "sky-box: opening %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- the box

struct Report {
    Clock::time_point due;
    std::vector<std::pair<std::string, std::string>> fields;  // tag, value
};

struct Box {
    const Options& opt;
    const EventLog& log;
    std::string channel;        // what the box shows
    std::string entry;          // digits typed so far
    std::deque<Report> queue;   // reports waiting for their latency

    Pty boxPort;
    bool portOpen = true;
    std::string output;         // bytes not yet taken by the port
    long written = 0;           // bytes of reports written so far
    Clock::time_point lastWrite;
    std::optional<Clock::time_point> hangupBy;  // set once --hangup-after is reached
    std::string lastChatter;    // logged only when it changes: chatter may come every ms
    bool dropping = false;      // logged once per run of dropped packets
};

void hangUp(Box& box, const std::string& why)
{
    box.hangupBy.reset();
    box.boxPort.master.reset();
    box.boxPort.slave.reset();
    box.portOpen = false;
    box.output.clear();
    box.log.line(why);
}

// Unread bytes in the slave's input queue; on a serial port, bytes not yet sent.
int unreadOnPort(const Box& box)
{
    int n = 0;
    if (!box.boxPort.slave)
        return ::ioctl(box.boxPort.master.get(), TIOCOUTQ, &n) == 0 ? n : 0;
    return ::ioctl(box.boxPort.slave.get(), FIONREAD, &n) == 0 ? n : 0;
}

// Hangs up once the tool has read what was written, or when it takes too long.
void hangUpWhenDrained(Box& box)
{
    if (!box.hangupBy)
        return;
    const Clock::time_point now = Clock::now();
    if ((now - box.lastWrite >= HANGUP_SETTLE && unreadOnPort(box) == 0) || now >= *box.hangupBy)
        hangUp(box, "hangup after " + std::to_string(box.written) + " bytes");
}

// Writes as much of the pending output as the port takes; --hangup-after cuts
// the port off once its byte count is reached, mid-packet or not.
void flushOutput(Box& box)
{
    while (box.portOpen && !box.hangupBy) {
        if (box.opt.hangupAfter && box.written >= *box.opt.hangupAfter) {
            if (!box.output.empty())
                box.hangupBy = Clock::now() + HANGUP_DRAIN;
            return;
        }
        if (box.output.empty())
            return;
        std::size_t n = box.output.size();
        if (box.opt.hangupAfter)
            n = std::min<std::size_t>(n, static_cast<std::size_t>(*box.opt.hangupAfter - box.written));
        const ssize_t r = ::write(box.boxPort.master.get(), box.output.data(), n);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN)
                box.log.line(std::string("write on box port failed: ") + std::strerror(errno));
            return;
        }
        box.written += r;
        box.lastWrite = Clock::now();
        box.output.erase(0, static_cast<std::size_t>(r));
        if (box.opt.hangupAfter && box.written >= *box.opt.hangupAfter)
            box.hangupBy = Clock::now() + HANGUP_DRAIN;
    }
}

std::string describe(const Report& report)
{
    std::string text;
    for (const auto& [tag, value] : report.fields)
        text += (text.empty() ? "" : " ") + tag + '=' + printable(value);
    return text;
}

// Chatter is asked for explicitly, so --silent only mutes what keys cause.
void sendReport(Box& box, const Report& report, bool chatter = false)
{
    const std::string what = describe(report);
    if (box.opt.silent && !chatter) {
        box.log.line("silent, not sent: " + what);
        return;
    }
    if (!box.portOpen || box.hangupBy) {
        box.log.line("port closed, dropped: " + what);
        return;
    }
    std::vector<GnomeField> fields;
    for (const auto& [tag, value] : report.fields)
        fields.push_back({tag, value});
    std::string bytes = gnome_encodePacket(fields, GNOME_PACKET_REMAINDER, box.opt.badChecksum ? 1 : 0);
    if (box.opt.noise)
        bytes.insert(0, NOISE);
    if (box.output.size() + bytes.size() > MAX_PENDING_OUTPUT) {
        if (!std::exchange(box.dropping, true))
            box.log.line("port full, dropping reports from: " + what);
        return;
    }
    box.dropping = false;
    box.output += bytes;
    const std::string suffix = box.opt.badChecksum ? " (bad checksum)" : "";
    if (!chatter)
        box.log.line("report " + what + suffix);
    else if (std::exchange(box.lastChatter, what) != what)
        box.log.line("chatter " + what +
                     (*box.opt.chatterMs == 0 ? " flood" : " every " + std::to_string(*box.opt.chatterMs) + " ms") +
                     suffix);
    flushOutput(box);
}

void queueReport(Box& box, std::vector<std::pair<std::string, std::string>> fields)
{
    box.queue.push_back({Clock::now() + milliseconds(box.opt.latencyMs), std::move(fields)});
}

// The CE00 form of a channel: some boxes send a leading 0 of a 4-character
// channel as 0x7F.
std::string ce00Value(const Box& box, std::string channel)
{
    if (box.opt.sevenF && channel.size() == 4 && channel[0] == '0')
        channel[0] = '\x7F';
    return channel;
}

void tune(Box& box)
{
    const std::string entered = std::exchange(box.entry, {});
    if (box.opt.channelError) {
        box.log.line("channel error on " + entered);
        queueReport(box, {{"CEER", *box.opt.channelError}});
        return;
    }
    box.channel = box.opt.wrongChannel.value_or(entered);
    box.log.line("tune " + box.channel + (box.channel == entered ? "" : " (entered " + entered + ")"));
    queueReport(box, {{"CE00", ce00Value(box, box.channel)}, {"SSCN", box.channel}});
    queueReport(box, {{"SSCA", "Channel " + box.channel}});
}

// A real port drops what the box says while no one has it open; here our own
// slave keeps it all, so a new key sequence drops reports that no one read,
// lest the next run take a stale report for its verdict. (Bytes still on
// their way into the slave's queue escape; stale ones have long arrived.)
void discardUnread(Box& box)
{
    if (!box.portOpen || box.hangupBy)
        return;
    const std::size_t unread = static_cast<std::size_t>(unreadOnPort(box)) + box.output.size();
    if (unread == 0)
        return;
    if (box.boxPort.slave)
        ::tcflush(box.boxPort.slave.get(), TCIFLUSH);
    else
        ::tcflush(box.boxPort.master.get(), TCOFLUSH);
    box.output.clear();
    box.log.line("discarded " + std::to_string(unread) + " unread bytes");
}

bool acceptedFamily(const Options& opt, unsigned family)
{
    if (opt.family)
        return family == *opt.family;
    return std::find(std::begin(FAMILIES), std::end(FAMILIES), family) != std::end(FAMILIES);
}

void handleKey(Box& box, int output, unsigned code)
{
    const std::string name = keyName(output, code);
    if (output != box.opt.output) {
        box.log.line("ignored key " + name);
        return;
    }
    if (!acceptedFamily(box.opt, code & 0xFF00)) {
        box.log.line("ignored key " + name + " other family");
        return;
    }
    const unsigned key = code & 0xFF;
    if (key <= 9) {
        box.log.line("key " + name + " digit " + std::to_string(key));
        box.entry += static_cast<char>('0' + key);
        if (static_cast<int>(box.entry.size()) >= box.opt.digits)
            tune(box);
        else
            queueReport(box, {{"CE00", box.entry + std::string(box.opt.digits - box.entry.size(), '-')}});
        return;
    }
    switch (key) {
    case KEY_SKY:
        box.log.line("key " + name + " sky");
        discardUnread(box);
        box.entry.clear();
        break;
    case KEY_BACKUP:
        box.log.line("key " + name + " backup");
        if (!box.entry.empty()) {
            box.entry.clear();
            queueReport(box, {{"CE00", ce00Value(box, box.channel)}});
        }
        break;
    case KEY_SERVICES: box.log.line("key " + name + " services"); break;
    case KEY_DOWN: box.log.line("key " + name + " down"); break;
    case KEY_SELECT: box.log.line("key " + name + " select"); break;
    default: box.log.line("key " + name + " other"); break;
    }
}

// "KEY <output> <code>" from the simulated USB controller.
void handleFifoLine(Box& box, std::string_view line)
{
    constexpr std::string_view prefix = "KEY ";
    const std::size_t space = line.find(' ', prefix.size());
    if (line.substr(0, prefix.size()) == prefix && space != std::string_view::npos) {
        const auto output = parseNumber(line.substr(prefix.size(), space - prefix.size()), 1, 15);
        const std::string_view hex = line.substr(space + 1);
        unsigned code = 0;
        const auto [end, ec] = std::from_chars(hex.data(), hex.data() + hex.size(), code, 16);
        if (output && hex.size() == 4 && ec == std::errc() && end == hex.data() + hex.size()) {
            handleKey(box, static_cast<int>(*output), code);
            return;
        }
    }
    box.log.line("bad key line: " + printable(line));
}

// Frames of an RS232 controller arrive back to back, possibly split across
// reads, so they are decoded byte by byte.
struct FrameDecoder {
    unsigned char bytes[4] = {};
    std::size_t have = 0;
    std::size_t need = 0;
};

void handleControllerByte(Box& box, FrameDecoder& dec, unsigned char b)
{
    if (dec.have == 0) {
        if (b == 0x30 || b == 0x31) {
            dec.need = 3;
        } else if (b == 0x43) {
            dec.need = 4;
        } else {
            char text[40];
            std::snprintf(text, sizeof text, "stray controller byte %02x", b);
            box.log.line(text);
            return;
        }
    }
    dec.bytes[dec.have++] = b;
    if (dec.have < dec.need)
        return;
    std::string text = "frame";
    for (std::size_t i = 0; i < dec.need; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02x", dec.bytes[i]);
        text += hex;
    }
    box.log.line(text);
    const unsigned char* tail = dec.bytes + dec.need - 2;
    const int output = dec.need == 3 ? dec.bytes[0] - 0x30 + 1 : dec.bytes[1] + 1;
    dec.have = 0;
    handleKey(box, output, static_cast<unsigned>(tail[0] << 8 | tail[1]));
}

// ---------------------------------------------------------------- main loop

int run(const Options& opt)
{
    EventLog log;
    log.echo = !opt.quiet;
    if (!opt.logPath.empty()) {
        log.file = Fd(::open(opt.logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
        if (!log.file) {
            std::fprintf(stderr, "sky-box: opening log %s: %s\n", opt.logPath.c_str(), std::strerror(errno));
            return 1;
        }
    }

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    ::sigprocmask(SIG_BLOCK, &signals, nullptr);
    const Fd signalFd(::signalfd(-1, &signals, SFD_CLOEXEC));
    ::signal(SIGPIPE, SIG_IGN);

    auto boxPort = openPort("box port", opt.port);
    auto controller = openPort("controller port", opt.controllerPort);
    KeyFifo fifo;
    if (!signalFd || !boxPort || !controller || !openFifo(fifo, opt.keysFifo))
        return 1;

    Box box{opt, log, opt.channelNow, {}, {}, std::move(*boxPort), true, {}, 0, {}, {}, {}, false};
    std::printf("box-port %s\ncontroller-port %s\nkeys-fifo %s\nready\n", box.boxPort.path.c_str(),
                controller->path.c_str(), fifo.path.c_str());
    std::fflush(stdout);
    log.line("start channel " + box.channel);

    FrameDecoder decoder;
    std::string fifoLine;
    bool stdinOpen = true;
    const auto chatterPeriod = milliseconds(opt.chatterMs.value_or(0));
    Clock::time_point nextChatter = Clock::now() + chatterPeriod;

    for (;;) {
        hangUpWhenDrained(box);
        const Clock::time_point now = Clock::now();
        while (!box.queue.empty() && box.queue.front().due <= now) {
            sendReport(box, box.queue.front());
            box.queue.pop_front();
        }
        const Report chatter{now, {{"SSCA", "Channel " + box.channel}}};
        if (opt.chatterMs == 0) {
            while (box.portOpen && !box.hangupBy && box.output.size() < FLOOD_LEVEL)
                sendReport(box, chatter, true);
        } else if (opt.chatterMs && nextChatter <= now) {
            if (box.portOpen && !box.hangupBy)  // no one left to talk to otherwise
                sendReport(box, chatter, true);
            nextChatter = std::max(nextChatter + chatterPeriod, now);
        }

        int timeout = -1;
        const auto waitUntil = [&](Clock::time_point t) {
            const auto ms = std::chrono::ceil<milliseconds>(t - Clock::now()).count();
            const int clipped = static_cast<int>(std::clamp<long long>(ms, 0, 60000));
            timeout = timeout < 0 ? clipped : std::min(timeout, clipped);
        };
        if (!box.queue.empty())
            waitUntil(box.queue.front().due);
        if (opt.chatterMs > 0)
            waitUntil(nextChatter);  // a flood waits for the port instead
        if (box.hangupBy)
            waitUntil(Clock::now() + HANGUP_POLL);

        enum { SIG, STDIN, FIFO, CONTROLLER, BOXPORT, COUNT };
        pollfd fds[COUNT] = {};
        fds[SIG] = {signalFd.get(), POLLIN, 0};
        fds[STDIN] = {stdinOpen ? STDIN_FILENO : -1, POLLIN, 0};
        fds[FIFO] = {fifo.reader.get(), POLLIN, 0};
        fds[CONTROLLER] = {controller->master.get(), POLLIN, 0};
        const bool wantOut = !box.output.empty() && !box.hangupBy;
        fds[BOXPORT] = {box.portOpen ? box.boxPort.master.get() : -1,
                        static_cast<short>(POLLIN | (wantOut ? POLLOUT : 0)), 0};
        if (::poll(fds, COUNT, timeout) < 0) {
            if (errno == EINTR)
                continue;
            std::fprintf(stderr, "sky-box: poll: %s\n", std::strerror(errno));
            return 1;
        }

        if (fds[SIG].revents) {
            signalfd_siginfo info{};
            if (::read(signalFd.get(), &info, sizeof info) == sizeof info)
                log.line(std::string("stop on signal ") + sigabbrev_np(static_cast<int>(info.ssi_signo)));
            return 0;
        }
        if (fds[STDIN].revents & POLLNVAL) {
            stdinOpen = false;
        } else if (fds[STDIN].revents) {
            char discard[256];
            const ssize_t n = ::read(STDIN_FILENO, discard, sizeof discard);
            if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
                log.line("stop on end of input");
                return 0;
            }
        }
        if (fds[FIFO].revents) {
            char data[512];
            ssize_t n;
            while ((n = ::read(fifo.reader.get(), data, sizeof data)) > 0) {
                for (const char c : std::string_view(data, static_cast<std::size_t>(n))) {
                    if (c == '\n') {
                        handleFifoLine(box, fifoLine);
                        fifoLine.clear();
                    } else if (fifoLine.size() < MAX_FIFO_LINE) {
                        fifoLine += c;
                    }
                }
            }
        }
        // A serial port given ends when its adapter is pulled out: it hangs up.
        const auto hungUp = [](ssize_t n) { return n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR); };
        if (fds[CONTROLLER].revents) {
            unsigned char data[256];
            const ssize_t n = ::read(controller->master.get(), data, sizeof data);
            for (ssize_t i = 0; i < n; ++i)
                handleControllerByte(box, decoder, data[i]);
            if (hungUp(n) && !controller->slave) {
                log.line("controller port hung up");
                controller->master.reset();
            }
        }
        if (fds[BOXPORT].revents & (POLLIN | POLLHUP | POLLERR)) {
            // The tool never writes to the box; drain whatever arrives anyway.
            char data[256];
            const ssize_t n = ::read(box.boxPort.master.get(), data, sizeof data);
            if (n > 0)
                log.line("box port received " + printable(std::string_view(data, static_cast<std::size_t>(n))));
            else if (hungUp(n) && !box.boxPort.slave)
                hangUp(box, "box port hung up");
        }
        if (box.portOpen && !box.output.empty())
            flushOutput(box);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    const std::optional<Options> opt = parseOptions(argc, argv);
    if (!opt)
        return 1;
    return run(*opt);
}
