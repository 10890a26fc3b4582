// SPDX-License-Identifier: GPL-2.0-or-later
// libtovra-simusb: simulated tovra USB controllers behind the libusb-0.1 API.
//
// A stand-in for libusb-0.1 (Debian's libusb 0.1.12), preloaded into the real
// tovra-control binary or linked into unit tests. It serves a small world of
// buses and devices read from a scenario file, answers like the real library
// (negative errno results with errno set, 0x80 OR-ed into the read endpoint,
// the write endpoint passed through as given), logs every call and every report, and
// hands delivered remote codes to the simulated Sky box. No real USB is used.
//
// Environment (a test fixture may read it; the product reads none):
//   TOVRA_SIM_USB      scenario file. Unset or empty file: no buses at all.
//                      Read when usb_find_busses runs after usb_init, so a
//                      process can set it and re-initialise for a new world.
//   TOVRA_SIM_USB_LOG  log file, appended to (O_APPEND, one write per line).
//                      Unset: no log.
//   TOVRA_SIM_BOX      FIFO of the simulated box. Every command report that was
//                      delivered whole (byte 0 '0', '1' or 'C') writes one line
//                      "KEY <output 1..15> <code as 4 lower-case hex digits>\n"
//                      in a single write (O_WRONLY|O_NONBLOCK, kept open; no
//                      reader: ignored).
//
// Scenario file, one item per line, '#' starts a comment, blank lines ignored:
//   bus                                  starts a new bus: buses are 001, 002, ... in order
//   device 6666:f100 [key=value ...]     a device on the current bus (a first bus is implied)
// Devices on a bus are numbered 001, 002, ... in order; "001/002" names bus 1
// device 2. Values with spaces go in double quotes (\" and \\ escape).
//   release=0110             bcdDevice in hex (default 0100)
//   manufacturer="Tovra Ltd", product="...", serial="..."
//                            the string is present (string indexes 1, 2, 3);
//                            =fail the fetch fails (-EPIPE, errno EPIPE: a stall); ="" the
//                            fetch returns 0; key absent: index 0 in the descriptor
//   version=1.2.3            first three bytes of the version reply (rest 0x7A; default 1.0.0)
//   reply=N                  the reply read returns only N bytes (0..8);
//   reply=fail               the reply read fails with -ETIMEDOUT
//   open=fail|ERRNO          usb_open returns NULL with errno set (fail: EACCES)
//   detach=ok|ERRNO          detach result (default ENODATA: no kernel driver bound)
//   setconfig=fail|ERRNO     usb_set_configuration fails (fail: EBUSY)
//   claim=fail|ERRNO         usb_claim_interface fails (fail: EBUSY)
//   write_fail=N[:ERRNO]     the Nth interrupt write on this device (1-based, every
//                            write counts) fails (default ETIMEDOUT), nothing delivered
//   write_short=N:COUNT      the Nth interrupt write returns COUNT (0..7), nothing delivered
// write_fail and write_short may be given once per N; any other key may be given
// once. An unknown keyword, key or value is a fault of the fixture: the library
// prints "simusb: scenario line N: ..." on stderr and ends the process with 99.
//
// Log, one line per libusb call (NAME is the errno name, e.g. ENODATA):
//   usb_set_debug(0)
//   usb_init()
//   usb_find_busses() = 2
//   usb_find_devices() = 3
//   usb_get_busses()
//   usb_open(001/002) = ok                            | usb_open(001/002) = NULL (EACCES)
//   usb_close(001/002) = 0
//   usb_get_string_simple(001/002, 1) = 9 "Tovra Ltd" | ... = -32 (EPIPE)| ... = 0 ""
//   usb_detach_kernel_driver_np(001/002, 0) = 0       | ... = -61 (ENODATA)
//   usb_set_configuration(001/002, 1) = 0             | ... = -16 (EBUSY)
//   usb_claim_interface(001/002, 0) = 0               | ... = -13 (EACCES)
//   usb_interrupt_write(001/002, ep 0x01, 8 bytes, timeout 1000) = 8
//   report out 001/002: 30 00 01 7a 7a 7a 7a 7a | code 0001 output 1
//   usb_interrupt_read(001/002, ep 0x81, 8 bytes, timeout 1000) = 8
//   report in 001/002: 01 02 03 7a 7a 7a 7a 7a
// ep is logged as the caller passed it. A "report out" line follows only a write
// that delivered all 8 bytes; its decoded part is "code XXXX output N" (byte 0
// '0'/'1': output 1/2; 'C': output byte1+1), "config A output N" ('s'/'t'),
// "config B output N" ('u'/'v'), "version query" ('q') or "unknown". A
// "report in" line follows a read that returned > 0 bytes (only those bytes).
//
// The simulated controller answers a read only after a version query; a read
// with nothing to answer times out at once (transfers never sleep).
#include <usb.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

struct usb_bus* usb_busses = nullptr;

namespace {

constexpr int kScenarioError = 99;
constexpr std::uint8_t kFiller = 0x7A;
constexpr std::size_t kReportSize = 8;
constexpr int kEndpointOut = 0x01;
constexpr int kEndpointIn = 0x81;
constexpr int kConfigurationValue = 1;
constexpr int kInterfaceNumber = 0;
constexpr int kLangIdEnglishUs = 0x0409;
// A string descriptor is at most 255 bytes: 2 header bytes and 126 UTF-16 units.
constexpr std::size_t kMaxStringLength = 126;

__attribute__((format(printf, 1, 2))) std::string strfmt(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, args);
    va_end(args);
    return text;
}

std::string errno_name(int error)
{
    const char* name = strerrorname_np(error);
    return name ? name : strfmt("E%d", error);
}

std::optional<int> errno_from_name(std::string_view name)
{
    for (int error = 1; error < 256; ++error) {
        const char* known = strerrorname_np(error);
        if (known && name == known)
            return error;
    }
    return std::nullopt;
}

// ---------------------------------------------------------------- log writer

// Opened per line so that a test may point the log elsewhere between worlds;
// a single write keeps lines whole when several processes append.
void log_line(const std::string& line)
{
    const int saved = errno;
    const char* path = std::getenv("TOVRA_SIM_USB_LOG");
    if (path && *path) {
        const int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd >= 0) {
            const std::string text = line + '\n';
            if (::write(fd, text.data(), text.size()) < 0) {
                // A log that cannot be written must not change what the caller sees.
            }
            ::close(fd);
        }
    }
    errno = saved;
}

// " = 0" or " = -61 (ENODATA)"
std::string result_text(int result)
{
    if (result < 0)
        return strfmt(" = %d (%s)", result, errno_name(-result).c_str());
    return strfmt(" = %d", result);
}

std::string hex_bytes(const std::uint8_t* bytes, std::size_t count)
{
    std::string text;
    for (std::size_t i = 0; i < count; ++i)
        text += strfmt(i == 0 ? "%02x" : " %02x", bytes[i]);
    return text;
}

// ---------------------------------------------------------------- box FIFO

struct BoxFifo {
    int fd = -1;
    std::string path;

    void close()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
        path.clear();
    }
};

BoxFifo box_fifo;

// Writing to a FIFO whose reader went away raises SIGPIPE, which must not kill
// the program under test: block it for the write and swallow it afterwards.
// True when the reader is gone.
bool write_without_sigpipe(int fd, const std::string& text)
{
    sigset_t pipe_set;
    sigset_t old_set;
    sigemptyset(&pipe_set);
    sigaddset(&pipe_set, SIGPIPE);
    ::sigprocmask(SIG_BLOCK, &pipe_set, &old_set);
    const bool reader_gone = ::write(fd, text.data(), text.size()) < 0 && errno == EPIPE;
    if (reader_gone) {
        const timespec no_wait{};
        ::sigtimedwait(&pipe_set, nullptr, &no_wait);
    }
    ::sigprocmask(SIG_SETMASK, &old_set, nullptr);
    return reader_gone;
}

void send_key_to_box(int output, unsigned code)
{
    const int saved = errno;
    const char* path = std::getenv("TOVRA_SIM_BOX");
    if (!path || !*path) {
        box_fifo.close();
    } else {
        if (box_fifo.fd >= 0 && box_fifo.path != path)
            box_fifo.close();
        if (box_fifo.fd < 0) {
            box_fifo.fd = ::open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (box_fifo.fd >= 0)
                box_fifo.path = path;
        }
        // No reader yet (ENXIO) leaves the FIFO closed: the next key tries again.
        if (box_fifo.fd >= 0 && write_without_sigpipe(box_fifo.fd, strfmt("KEY %d %04x\n", output, code)))
            box_fifo.close();
    }
    errno = saved;
}

// ---------------------------------------------------------------- scenario

struct ScenarioString {
    enum class Kind { Absent, Present, Fail };
    Kind kind = Kind::Absent;
    std::string text;
};

struct WriteFault {
    int error = 0;  // non-zero: the write fails with -error
    int count = 0;  // otherwise: the write returns this short count
};

struct ScenarioDevice {
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    std::uint16_t release = 0x0100;
    std::array<ScenarioString, 3> strings;  // manufacturer, product, serial: indexes 1, 2, 3
    std::array<std::uint8_t, 3> version{1, 0, 0};
    int reply_count = static_cast<int>(kReportSize);
    bool reply_fail = false;
    int open_error = 0;
    int detach_error = ENODATA;
    int setconfig_error = 0;
    int claim_error = 0;
    bool read_only = false;  // the node is not writable: libusb opens it read-only
    std::map<int, WriteFault> write_faults;  // by 1-based write number
};

using ScenarioBus = std::vector<ScenarioDevice>;

[[noreturn]] void scenario_error(int line, const std::string& message)
{
    std::fprintf(stderr, "simusb: scenario line %d: %s\n", line, message.c_str());
    std::fflush(stderr);
    ::_exit(kScenarioError);
}

std::optional<unsigned> parse_number(std::string_view text, int base, std::size_t max_digits, unsigned max)
{
    if (text.empty() || text.size() > max_digits)
        return std::nullopt;
    unsigned value = 0;
    for (const char c : text) {
        int digit = -1;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        if (digit < 0)
            return std::nullopt;
        value = value * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
    }
    if (value > max)
        return std::nullopt;
    return value;
}

// One line of the scenario, read left to right.
class LineReader {
public:
    LineReader(std::string_view text, int number) : text_(text), number_(number) {}

    int number() const { return number_; }

    [[noreturn]] void fail(const std::string& message) const { scenario_error(number_, message); }

    // True at the end of the line or at a comment.
    bool at_end()
    {
        while (pos_ < text_.size() && is_space(text_[pos_]))
            ++pos_;
        return pos_ == text_.size() || text_[pos_] == '#';
    }

    // A run of characters up to a blank, a comment or the given stop character.
    std::string_view word(char stop = '\0')
    {
        at_end();
        const std::size_t start = pos_;
        while (pos_ < text_.size() && !is_space(text_[pos_]) && text_[pos_] != '#' && text_[pos_] != stop)
            ++pos_;
        return text_.substr(start, pos_ - start);
    }

    bool take(char c)
    {
        if (pos_ < text_.size() && text_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }

    // A value after '=': a quoted string (quoted is set) or a plain word.
    std::string value(std::string_view key, bool& quoted)
    {
        if (pos_ == text_.size() || is_space(text_[pos_]) || text_[pos_] == '#')
            fail("missing value for key '" + std::string(key) + "'");
        quoted = take('"');
        if (!quoted) {
            const std::string_view plain = word();
            if (plain.find('"') != std::string_view::npos)
                fail("stray quote in value of key '" + std::string(key) + "'");
            return std::string(plain);
        }
        std::string result;
        for (;;) {
            if (pos_ == text_.size())
                fail("unterminated quoted value of key '" + std::string(key) + "'");
            char c = text_[pos_++];
            if (c == '"')
                break;
            if (c == '\\') {
                if (pos_ == text_.size())
                    fail("unterminated quoted value of key '" + std::string(key) + "'");
                c = text_[pos_++];
            }
            result += c;
        }
        if (pos_ < text_.size() && !is_space(text_[pos_]) && text_[pos_] != '#')
            fail("text after the closing quote of key '" + std::string(key) + "'");
        return result;
    }

private:
    static bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r'; }

    std::string_view text_;
    std::size_t pos_ = 0;
    int number_;
};

int parse_errno_value(const LineReader& line, std::string_view key, const std::string& value, int fail_error)
{
    if (value == "fail" && fail_error != 0)
        return fail_error;
    const std::optional<int> error = errno_from_name(value);
    if (!error)
        line.fail("unknown error name '" + value + "' for key '" + std::string(key) + "'");
    return *error;
}

void parse_write_fault(const LineReader& line, ScenarioDevice& device, std::string_view key, const std::string& value)
{
    const std::size_t colon = value.find(':');
    const std::string number_text = value.substr(0, colon);
    const std::optional<unsigned> number = parse_number(number_text, 10, 9, 1000000000);
    if (!number || *number == 0)
        line.fail("bad write number '" + number_text + "' for key '" + std::string(key) + "'");

    WriteFault fault;
    if (key == "write_fail") {
        fault.error = ETIMEDOUT;
        if (colon != std::string::npos)
            fault.error = parse_errno_value(line, key, value.substr(colon + 1), 0);
    } else {
        if (colon == std::string::npos)
            line.fail("write_short needs N:COUNT");
        const std::optional<unsigned> count = parse_number(value.substr(colon + 1), 10, 1, kReportSize - 1);
        if (!count)
            line.fail("bad count '" + value.substr(colon + 1) + "' for write_short (0..7)");
        fault.count = static_cast<int>(*count);
    }
    if (!device.write_faults.emplace(static_cast<int>(*number), fault).second)
        line.fail("write " + number_text + " already has a fault");
}

void parse_string_value(const LineReader& line, ScenarioString& setup, std::string_view key, const std::string& value,
                        bool quoted)
{
    if (!quoted && value == "fail") {
        setup.kind = ScenarioString::Kind::Fail;
        return;
    }
    if (value.size() > kMaxStringLength)
        line.fail("string of key '" + std::string(key) + "' is longer than 126 characters");
    setup.kind = ScenarioString::Kind::Present;
    setup.text = value;
}

void parse_device_key(const LineReader& line, ScenarioDevice& device, std::string_view key, const std::string& value,
                      bool quoted)
{
    constexpr std::array<std::string_view, 3> string_keys{"manufacturer", "product", "serial"};
    for (std::size_t i = 0; i < string_keys.size(); ++i) {
        if (key == string_keys[i]) {
            parse_string_value(line, device.strings[i], key, value, quoted);
            return;
        }
    }
    if (key == "release") {
        const std::optional<unsigned> release = parse_number(value, 16, 4, 0xFFFF);
        if (!release)
            line.fail("bad release '" + value + "' (1 to 4 hex digits)");
        device.release = static_cast<std::uint16_t>(*release);
    } else if (key == "version") {
        std::string_view rest = value;
        for (std::size_t i = 0; i < device.version.size(); ++i) {
            const std::size_t dot = i + 1 < device.version.size() ? rest.find('.') : rest.size();
            const std::optional<unsigned> part =
                dot == std::string_view::npos ? std::nullopt : parse_number(rest.substr(0, dot), 10, 3, 255);
            if (!part)
                line.fail("bad version '" + value + "' (A.B.C, each 0..255)");
            device.version[i] = static_cast<std::uint8_t>(*part);
            rest = dot < rest.size() ? rest.substr(dot + 1) : std::string_view{};
        }
    } else if (key == "reply") {
        if (value == "fail") {
            device.reply_fail = true;
        } else {
            const std::optional<unsigned> count = parse_number(value, 10, 1, kReportSize);
            if (!count)
                line.fail("bad reply '" + value + "' (0..8 or fail)");
            device.reply_count = static_cast<int>(*count);
        }
    } else if (key == "open") {
        device.open_error = parse_errno_value(line, key, value, EACCES);
    } else if (key == "detach") {
        device.detach_error = value == "ok" ? 0 : parse_errno_value(line, key, value, 0);
    } else if (key == "setconfig") {
        device.setconfig_error = parse_errno_value(line, key, value, EBUSY);
    } else if (key == "claim") {
        device.claim_error = parse_errno_value(line, key, value, EBUSY);
    } else if (key == "access") {
        if (value != "readonly")
            line.fail("bad access '" + value + "' (readonly)");
        device.read_only = true;
    } else if (key == "write_fail" || key == "write_short") {
        parse_write_fault(line, device, key, value);
    } else {
        line.fail("unknown key '" + std::string(key) + "'");
    }
}

ScenarioDevice parse_device(LineReader& line)
{
    ScenarioDevice device;
    const std::string_view ids = line.word();
    const std::size_t colon = ids.find(':');
    const std::optional<unsigned> vendor =
        colon == std::string_view::npos ? std::nullopt : parse_number(ids.substr(0, colon), 16, 4, 0xFFFF);
    const std::optional<unsigned> product =
        colon == std::string_view::npos ? std::nullopt : parse_number(ids.substr(colon + 1), 16, 4, 0xFFFF);
    if (!vendor || !product)
        line.fail("bad device ids '" + std::string(ids) + "' (want VVVV:PPPP in hex)");
    device.vendor = static_cast<std::uint16_t>(*vendor);
    device.product = static_cast<std::uint16_t>(*product);

    std::set<std::string, std::less<>> seen;
    while (!line.at_end()) {
        const std::string_view key = line.word('=');
        if (!line.take('='))
            line.fail("expected key=value, got '" + std::string(key) + "'");
        bool quoted = false;
        const std::string value = line.value(key, quoted);
        const bool repeatable = key == "write_fail" || key == "write_short";
        if (!repeatable && !seen.emplace(key).second)
            line.fail("key '" + std::string(key) + "' given twice");
        parse_device_key(line, device, key, value, quoted);
    }
    return device;
}

std::vector<ScenarioBus> parse_scenario(const std::string& text)
{
    std::vector<ScenarioBus> buses;
    std::size_t start = 0;
    for (int number = 1; start < text.size(); ++number) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        LineReader line(std::string_view(text).substr(start, end - start), number);
        start = end + 1;
        if (line.at_end())
            continue;
        const std::string_view keyword = line.word();
        if (keyword == "bus") {
            if (!line.at_end())
                line.fail("unexpected text after 'bus'");
            buses.emplace_back();
        } else if (keyword == "device") {
            if (buses.empty())
                buses.emplace_back();
            buses.back().push_back(parse_device(line));
        } else {
            line.fail("unknown keyword '" + std::string(keyword) + "'");
        }
    }
    return buses;
}

std::vector<ScenarioBus> read_scenario()
{
    const char* path = std::getenv("TOVRA_SIM_USB");
    if (!path || !*path)
        return {};
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "simusb: scenario %s: %s\n", path, std::strerror(errno));
        ::_exit(kScenarioError);
    }
    std::string text;
    char chunk[4096];
    ssize_t n;
    while ((n = ::read(fd, chunk, sizeof chunk)) > 0)
        text.append(chunk, static_cast<std::size_t>(n));
    const int error = errno;
    ::close(fd);
    if (n < 0) {
        std::fprintf(stderr, "simusb: scenario %s: %s\n", path, std::strerror(error));
        ::_exit(kScenarioError);
    }
    return parse_scenario(text);
}

// ---------------------------------------------------------------- device model

struct SimDevice {
    struct usb_device record{};
    ScenarioDevice setup;
    std::string name;  // "001/002"
    usb_config_descriptor config{};
    usb_interface interface{};
    usb_interface_descriptor altsetting{};
    std::array<usb_endpoint_descriptor, 2> endpoints{};

    int writes = 0;                       // interrupt writes so far, every one counted
    bool reply_pending = false;           // a version query waits for its read
    const usb_dev_handle* claimed_by = nullptr;
};

struct SimBus {
    usb_bus record{};
    std::vector<std::unique_ptr<SimDevice>> devices;
};

// What libusb's own records would say about a controller: one configuration,
// one HID-like interface with an interrupt endpoint each way.
void fill_descriptors(SimDevice& device, int number)
{
    const ScenarioDevice& setup = device.setup;
    usb_device_descriptor& d = device.record.descriptor;
    d.bLength = USB_DT_DEVICE_SIZE;
    d.bDescriptorType = USB_DT_DEVICE;
    d.bcdUSB = 0x0110;
    d.bMaxPacketSize0 = 8;
    d.idVendor = setup.vendor;
    d.idProduct = setup.product;
    d.bcdDevice = setup.release;
    d.iManufacturer = setup.strings[0].kind == ScenarioString::Kind::Absent ? 0 : 1;
    d.iProduct = setup.strings[1].kind == ScenarioString::Kind::Absent ? 0 : 2;
    d.iSerialNumber = setup.strings[2].kind == ScenarioString::Kind::Absent ? 0 : 3;
    d.bNumConfigurations = 1;

    const std::array<std::uint8_t, 2> addresses{kEndpointIn, kEndpointOut};
    for (std::size_t i = 0; i < device.endpoints.size(); ++i) {
        usb_endpoint_descriptor& e = device.endpoints[i];
        e.bLength = USB_DT_ENDPOINT_SIZE;
        e.bDescriptorType = USB_DT_ENDPOINT;
        e.bEndpointAddress = addresses[i];
        e.bmAttributes = USB_ENDPOINT_TYPE_INTERRUPT;
        e.wMaxPacketSize = kReportSize;
        e.bInterval = 10;
    }
    usb_interface_descriptor& alt = device.altsetting;
    alt.bLength = USB_DT_INTERFACE_SIZE;
    alt.bDescriptorType = USB_DT_INTERFACE;
    alt.bInterfaceNumber = kInterfaceNumber;
    alt.bNumEndpoints = static_cast<std::uint8_t>(device.endpoints.size());
    alt.bInterfaceClass = USB_CLASS_HID;
    alt.endpoint = device.endpoints.data();
    device.interface.altsetting = &device.altsetting;
    device.interface.num_altsetting = 1;
    usb_config_descriptor& c = device.config;
    c.bLength = USB_DT_CONFIG_SIZE;
    c.bDescriptorType = USB_DT_CONFIG;
    c.wTotalLength = USB_DT_CONFIG_SIZE + USB_DT_INTERFACE_SIZE + 2 * USB_DT_ENDPOINT_SIZE;
    c.bNumInterfaces = 1;
    c.bConfigurationValue = kConfigurationValue;
    c.bmAttributes = 0x80;
    c.MaxPower = 50;
    c.interface = &device.interface;

    device.record.config = &device.config;
    device.record.devnum = static_cast<std::uint8_t>(number);
    std::snprintf(device.record.filename, sizeof device.record.filename, "%03d", number);
}

// The world lives from usb_init to the next usb_init. Handles outlive it: a
// handle left open across a re-initialisation is detached from its device and
// every call on it then fails with ENODEV instead of touching freed memory.
struct World {
    bool initialised = false;
    bool busses_found = false;
    bool devices_found = false;
    std::vector<ScenarioBus> scenario;
    std::vector<std::unique_ptr<SimBus>> buses;
    std::set<usb_dev_handle*> handles;
    std::string last_error;
    int debug = 0;
};

// Never destroyed: a handle may still be closed from an exit handler.
World& world()
{
    static World* const instance = new World;
    return *instance;
}

}  // namespace

struct usb_dev_handle {
    SimDevice* device;  // null once the world it belonged to was discarded
    std::string name;
};

namespace {

// Records the error the way libusb does (usb_strerror text, errno) and
// returns the negative errno result.
int set_error(int error, const std::string& message)
{
    world().last_error = message;
    errno = error;
    return -error;
}

int set_error(int error, const char* what, int argument)
{
    return set_error(error, strfmt("%s %d: %s", what, argument, std::strerror(error)));
}

void reset_world()
{
    World& w = world();
    for (usb_dev_handle* handle : w.handles)
        handle->device = nullptr;
    w.buses.clear();
    w.scenario.clear();
    w.busses_found = false;
    w.devices_found = false;
    w.last_error.clear();
    usb_busses = nullptr;
    box_fifo.close();
}

SimDevice* find_device(const struct usb_device* record)
{
    for (const auto& bus : world().buses)
        for (const auto& device : bus->devices)
            if (&device->record == record)
                return device.get();
    return nullptr;
}

std::string handle_name(const usb_dev_handle* handle)
{
    return handle && world().handles.count(const_cast<usb_dev_handle*>(handle)) ? handle->name : "?";
}

// The device behind a handle, or null with errno set (-EBADF for a handle that
// is not open, -ENODEV for one whose world is gone).
SimDevice* device_of(usb_dev_handle* handle, int& result)
{
    if (!handle || !world().handles.count(handle)) {
        result = set_error(EBADF, "invalid device handle");
        return nullptr;
    }
    if (!handle->device) {
        result = set_error(ENODEV, "device is gone");
        return nullptr;
    }
    return handle->device;
}

std::vector<std::uint8_t> string_descriptor(const std::string& text)
{
    std::vector<std::uint8_t> descriptor{static_cast<std::uint8_t>(2 + 2 * text.size()), USB_DT_STRING};
    for (const char c : text) {
        descriptor.push_back(static_cast<std::uint8_t>(c));  // the text as Latin-1 in UTF-16LE
        descriptor.push_back(0);
    }
    return descriptor;
}

// A standard GET_DESCRIPTOR request on the control endpoint: what the device
// sends back, or a negative errno (a stall is EPIPE).
int get_descriptor(SimDevice& device, int type, int index, char* buf, int size)
{
    if (!buf || size < 0)
        return set_error(EINVAL, "invalid buffer");
    if (device.setup.read_only)  // every usbfs ioctl on a read-only node
        return set_error(EPERM, "error sending control message: Operation not permitted");
    std::vector<std::uint8_t> descriptor;
    if (type == USB_DT_DEVICE && index == 0) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(&device.record.descriptor);
        descriptor.assign(bytes, bytes + USB_DT_DEVICE_SIZE);
    } else if (type == USB_DT_STRING && index == 0) {
        descriptor = {4, USB_DT_STRING, kLangIdEnglishUs & 0xFF, kLangIdEnglishUs >> 8};
    } else if (type == USB_DT_STRING && index >= 1 && index <= 3) {
        const ScenarioString& setup = device.setup.strings[static_cast<std::size_t>(index - 1)];
        if (setup.kind == ScenarioString::Kind::Fail)  // a refusing device stalls the request
            return set_error(EPIPE, "error sending control message: Broken pipe");
        if (setup.kind == ScenarioString::Kind::Absent)
            return set_error(EPIPE, "error sending control message: Broken pipe");
        descriptor = string_descriptor(setup.text);
    } else {
        return set_error(EPIPE, "error sending control message: Broken pipe");
    }
    const std::size_t count = std::min(descriptor.size(), static_cast<std::size_t>(size));
    std::memcpy(buf, descriptor.data(), count);
    return static_cast<int>(count);
}

// libusb 0.1.12's usb_get_string_simple: fetch the language list, then the
// string in the first language, keeping the low byte of each ASCII unit.
int get_string_simple(SimDevice& device, int index, char* buf, std::size_t buflen)
{
    if (!buf || buflen == 0)
        return set_error(EINVAL, "invalid buffer");
    std::array<char, 255> descriptor{};
    int result = get_descriptor(device, USB_DT_STRING, 0, descriptor.data(), static_cast<int>(descriptor.size()));
    if (result < 0)
        return result;
    if (result < 4)
        return -EIO;
    result = get_descriptor(device, USB_DT_STRING, index, descriptor.data(), static_cast<int>(descriptor.size()));
    if (result < 0)
        return result;
    const auto length = static_cast<std::uint8_t>(descriptor[0]);
    if (descriptor[1] != USB_DT_STRING)
        return -EIO;
    if (length > result)
        return -EFBIG;
    std::size_t copied = 0;
    for (std::size_t unit = 2; unit < length && copied < buflen - 1; unit += 2)
        buf[copied++] = descriptor[unit + 1] ? '?' : descriptor[unit];
    buf[copied] = '\0';
    return static_cast<int>(copied);
}

std::string decode_report(const std::array<std::uint8_t, kReportSize>& report)
{
    switch (report[0]) {
    case '0':
    case '1':
        return strfmt("code %04x output %d", report[1] << 8 | report[2], report[0] - '0' + 1);
    case 'C':
        return strfmt("code %04x output %d", report[2] << 8 | report[3], report[1] + 1);
    case 's':
    case 't':
        return strfmt("config A output %d", report[0] - 's' + 1);
    case 'u':
    case 'v':
        return strfmt("config B output %d", report[0] - 'u' + 1);
    case 'q':
        return "version query";
    default:
        return "unknown";
    }
}

// What the controller does with a report that arrived whole.
void deliver_report(SimDevice& device, const std::array<std::uint8_t, kReportSize>& report)
{
    log_line("report out " + device.name + ": " + hex_bytes(report.data(), report.size()) + " | " +
             decode_report(report));
    if (report[0] == '0' || report[0] == '1')
        send_key_to_box(report[0] - '0' + 1, static_cast<unsigned>(report[1] << 8 | report[2]));
    else if (report[0] == 'C' && report[1] < 15)
        send_key_to_box(report[1] + 1, static_cast<unsigned>(report[2] << 8 | report[3]));
    else if (report[0] == 'q')
        device.reply_pending = true;
}

int interrupt_write(SimDevice& device, int ep, const char* bytes, int size)
{
    if (device.setup.read_only)
        return set_error(EPERM, "error submitting URB: Operation not permitted");
    const int number = ++device.writes;
    if (const auto fault = device.setup.write_faults.find(number); fault != device.setup.write_faults.end()) {
        const int error = fault->second.error;
        if (error != 0)
            return set_error(error, strfmt("error submitting URB: %s", std::strerror(error)));
        return fault->second.count;
    }
    if (ep != kEndpointOut)
        return set_error(ENOENT, "error submitting URB: No such file or directory");
    if (!bytes || size < 0)
        return set_error(EINVAL, "error submitting URB: Invalid argument");
    return size;
}

int interrupt_read(SimDevice& device, int ep, char* bytes, int size, std::array<std::uint8_t, kReportSize>& reply)
{
    if (device.setup.read_only)
        return set_error(EPERM, "error submitting URB: Operation not permitted");
    if (ep != kEndpointIn)
        return set_error(ENOENT, "error submitting URB: No such file or directory");
    if (!bytes || size < 0)
        return set_error(EINVAL, "error submitting URB: Invalid argument");
    if (!device.reply_pending || device.setup.reply_fail) {
        device.reply_pending = false;
        return set_error(ETIMEDOUT, "error reaping interrupt URB: Connection timed out");
    }
    device.reply_pending = false;
    reply.fill(kFiller);
    std::copy(device.setup.version.begin(), device.setup.version.end(), reply.begin());
    const int count = std::min(device.setup.reply_count, size);
    std::memcpy(bytes, reply.data(), static_cast<std::size_t>(count));
    return count;
}

}  // namespace

// ---------------------------------------------------------------- the libusb-0.1 API

void usb_set_debug(int level)
{
    log_line(strfmt("usb_set_debug(%d)", level));
    World& w = world();
    if (w.debug || level)
        std::fprintf(stderr, "usb_set_debug: Setting debugging level to %d (%s)\n", level, level ? "on" : "off");
    w.debug = level;
}

void usb_init(void)
{
    log_line("usb_init()");
    reset_world();
    world().initialised = true;
}

int usb_find_busses(void)
{
    World& w = world();
    int result = 0;
    if (!w.initialised) {
        result = set_error(ENOENT, "couldn't opendir(): No such file or directory");
    } else if (!w.busses_found) {
        w.busses_found = true;
        w.scenario = read_scenario();
        usb_bus* previous = nullptr;
        for (std::size_t i = 0; i < w.scenario.size(); ++i) {
            auto bus = std::make_unique<SimBus>();
            std::snprintf(bus->record.dirname, sizeof bus->record.dirname, "%03zu", i + 1);
            bus->record.location = static_cast<std::uint32_t>(i + 1);
            bus->record.prev = previous;
            if (previous)
                previous->next = &bus->record;
            previous = &bus->record;
            w.buses.push_back(std::move(bus));
        }
        usb_busses = w.buses.empty() ? nullptr : &w.buses.front()->record;
        result = static_cast<int>(w.buses.size());
    }
    log_line("usb_find_busses()" + result_text(result));
    return result;
}

int usb_find_devices(void)
{
    World& w = world();
    int added = 0;
    if (!w.devices_found && w.busses_found) {
        w.devices_found = true;
        for (std::size_t b = 0; b < w.buses.size(); ++b) {
            SimBus& bus = *w.buses[b];
            struct usb_device* previous = nullptr;
            for (const ScenarioDevice& setup : w.scenario[b]) {
                auto device = std::make_unique<SimDevice>();
                device->setup = setup;
                const int number = static_cast<int>(bus.devices.size()) + 1;
                fill_descriptors(*device, number);
                device->name = std::string(bus.record.dirname) + "/" + device->record.filename;
                device->record.bus = &bus.record;
                device->record.prev = previous;
                if (previous)
                    previous->next = &device->record;
                previous = &device->record;
                bus.devices.push_back(std::move(device));
                ++added;
            }
            bus.record.devices = bus.devices.empty() ? nullptr : &bus.devices.front()->record;
        }
    }
    log_line(strfmt("usb_find_devices() = %d", added));
    return added;
}

struct usb_bus* usb_get_busses(void)
{
    log_line("usb_get_busses()");
    return usb_busses;
}

usb_dev_handle* usb_open(struct usb_device* dev)
{
    SimDevice* device = find_device(dev);
    if (!device) {
        set_error(ENODEV, "failed to open device: No such device");
        log_line("usb_open(?) = NULL (ENODEV)");
        return nullptr;
    }
    if (device->setup.open_error) {
        const int error = device->setup.open_error;
        set_error(error, strfmt("failed to open /dev/bus/usb/%s: %s", device->name.c_str(), std::strerror(error)));
        log_line("usb_open(" + device->name + ") = NULL (" + errno_name(error) + ")");
        return nullptr;
    }
    auto* handle = new usb_dev_handle{device, device->name};
    world().handles.insert(handle);
    log_line("usb_open(" + device->name + ") = ok");
    return handle;
}

int usb_close(usb_dev_handle* dev)
{
    World& w = world();
    const std::string name = handle_name(dev);
    int result = 0;
    if (!dev || !w.handles.count(dev)) {
        result = set_error(EBADF, "invalid device handle");
    } else {
        if (dev->device && dev->device->claimed_by == dev)
            dev->device->claimed_by = nullptr;
        w.handles.erase(dev);
        delete dev;
    }
    log_line("usb_close(" + name + ")" + result_text(result));
    return result;
}

struct usb_device* usb_device(usb_dev_handle* dev)
{
    int result = 0;
    SimDevice* device = device_of(dev, result);
    log_line("usb_device(" + handle_name(dev) + ")");
    return device ? &device->record : nullptr;
}

int usb_get_string(usb_dev_handle* dev, int index, int langid, char* buf, size_t buflen)
{
    int result = 0;
    if (SimDevice* device = device_of(dev, result))
        result = get_descriptor(*device, USB_DT_STRING, index, buf, static_cast<int>(std::min<size_t>(buflen, 0xFFFF)));
    log_line(strfmt("usb_get_string(%s, %d, 0x%04x, %zu)", handle_name(dev).c_str(), index, langid, buflen) +
             result_text(result));
    return result;
}

int usb_get_string_simple(usb_dev_handle* dev, int index, char* buf, size_t buflen)
{
    int result = 0;
    if (SimDevice* device = device_of(dev, result))
        result = get_string_simple(*device, index, buf, buflen);
    std::string line = strfmt("usb_get_string_simple(%s, %d)", handle_name(dev).c_str(), index) + result_text(result);
    if (result >= 0)
        line += " \"" + std::string(buf, static_cast<std::size_t>(result)) + "\"";
    log_line(line);
    return result;
}

int usb_get_descriptor(usb_dev_handle* udev, unsigned char type, unsigned char index, void* buf, int size)
{
    int result = 0;
    if (SimDevice* device = device_of(udev, result))
        result = get_descriptor(*device, type, index, static_cast<char*>(buf), size);
    log_line(strfmt("usb_get_descriptor(%s, type 0x%02x, index %d, %d bytes)", handle_name(udev).c_str(), type, index,
                    size) +
             result_text(result));
    return result;
}

int usb_get_descriptor_by_endpoint(usb_dev_handle* udev, int ep, unsigned char type, unsigned char index, void* buf,
                                   int size)
{
    int result = 0;
    if (SimDevice* device = device_of(udev, result)) {
        result = ep == 0 ? get_descriptor(*device, type, index, static_cast<char*>(buf), size)
                         : set_error(EPIPE, "error sending control message: Broken pipe");
    }
    log_line(strfmt("usb_get_descriptor_by_endpoint(%s, ep 0x%02x, type 0x%02x, index %d, %d bytes)",
                    handle_name(udev).c_str(), ep, type, index, size) +
             result_text(result));
    return result;
}

int usb_control_msg(usb_dev_handle* dev, int requesttype, int request, int value, int index, char* bytes, int size,
                    int timeout)
{
    int result = 0;
    if (SimDevice* device = device_of(dev, result)) {
        const bool get_descriptor_request = requesttype == (USB_ENDPOINT_IN | USB_TYPE_STANDARD | USB_RECIP_DEVICE) &&
                                            request == USB_REQ_GET_DESCRIPTOR;
        result = get_descriptor_request ? get_descriptor(*device, value >> 8, value & 0xFF, bytes, size)
                                        : set_error(EPIPE, "error sending control message: Broken pipe");
    }
    log_line(strfmt("usb_control_msg(%s, 0x%02x, 0x%02x, 0x%04x, 0x%04x, %d bytes, timeout %d)",
                    handle_name(dev).c_str(), requesttype, request, value, index, size, timeout) +
             result_text(result));
    return result;
}

int usb_detach_kernel_driver_np(usb_dev_handle* dev, int interface)
{
    int result = 0;
    if (SimDevice* device = device_of(dev, result)) {
        const int error = device->setup.read_only         ? EPERM
                          : interface == kInterfaceNumber ? device->setup.detach_error
                                                          : ENODATA;
        if (error)
            result = set_error(error, "could not detach kernel driver from interface", interface);
    }
    log_line(strfmt("usb_detach_kernel_driver_np(%s, %d)", handle_name(dev).c_str(), interface) + result_text(result));
    return result;
}

int usb_get_driver_np(usb_dev_handle* dev, int interface, char* name, unsigned int namelen)
{
    int result = 0;
    if (SimDevice* device = device_of(dev, result)) {
        if (interface != kInterfaceNumber || device->setup.detach_error != 0)
            result = set_error(ENODATA, "could not get bound driver", interface);
        else if (name && namelen > 0)
            std::snprintf(name, namelen, "%s", "usbhid");
    }
    log_line(strfmt("usb_get_driver_np(%s, %d)", handle_name(dev).c_str(), interface) + result_text(result));
    return result;
}

int usb_set_configuration(usb_dev_handle* dev, int configuration)
{
    int result = 0;
    if (SimDevice* device = device_of(dev, result)) {
        if (device->setup.read_only || device->setup.setconfig_error)
            result = set_error(device->setup.read_only ? EPERM : device->setup.setconfig_error, "could not set config",
                               configuration);
        else if (configuration != kConfigurationValue && configuration != 0)
            result = set_error(EINVAL, "could not set config", configuration);
    }
    log_line(strfmt("usb_set_configuration(%s, %d)", handle_name(dev).c_str(), configuration) + result_text(result));
    return result;
}

int usb_claim_interface(usb_dev_handle* dev, int interface)
{
    int result = 0;
    if (SimDevice* device = device_of(dev, result)) {
        if (device->setup.read_only || device->setup.claim_error)
            result = set_error(device->setup.read_only ? EPERM : device->setup.claim_error, "could not claim interface",
                               interface);
        else if (interface != kInterfaceNumber)
            result = set_error(ENOENT, "could not claim interface", interface);
        else if (device->claimed_by && device->claimed_by != dev)
            result = set_error(EBUSY, "could not claim interface", interface);
        else
            device->claimed_by = dev;
    }
    log_line(strfmt("usb_claim_interface(%s, %d)", handle_name(dev).c_str(), interface) + result_text(result));
    return result;
}

int usb_release_interface(usb_dev_handle* dev, int interface)
{
    int result = 0;
    if (SimDevice* device = device_of(dev, result)) {
        if (interface != kInterfaceNumber || device->claimed_by != dev)
            result = set_error(EINVAL, "could not release intf", interface);
        else
            device->claimed_by = nullptr;
    }
    log_line(strfmt("usb_release_interface(%s, %d)", handle_name(dev).c_str(), interface) + result_text(result));
    return result;
}

int usb_set_altinterface(usb_dev_handle* dev, int alternate)
{
    int result = 0;
    if (SimDevice* device = device_of(dev, result)) {
        if (device->claimed_by != dev || alternate != 0)
            result = set_error(EINVAL, "could not set alt intf", alternate);
    }
    log_line(strfmt("usb_set_altinterface(%s, %d)", handle_name(dev).c_str(), alternate) + result_text(result));
    return result;
}

int usb_resetep(usb_dev_handle* dev, unsigned int ep)
{
    int result = 0;
    if (device_of(dev, result) && ep != kEndpointIn && ep != kEndpointOut)
        result = set_error(ENOENT, "could not reset ep", static_cast<int>(ep));
    log_line(strfmt("usb_resetep(%s, ep 0x%02x)", handle_name(dev).c_str(), ep) + result_text(result));
    return result;
}

int usb_clear_halt(usb_dev_handle* dev, unsigned int ep)
{
    int result = 0;
    if (device_of(dev, result) && ep != kEndpointIn && ep != kEndpointOut)
        result = set_error(ENOENT, "could not clear/halt ep", static_cast<int>(ep));
    log_line(strfmt("usb_clear_halt(%s, ep 0x%02x)", handle_name(dev).c_str(), ep) + result_text(result));
    return result;
}

int usb_reset(usb_dev_handle* dev)
{
    int result = 0;
    device_of(dev, result);
    log_line("usb_reset(" + handle_name(dev) + ")" + result_text(result));
    return result;
}

int usb_interrupt_write(usb_dev_handle* dev, int ep, const char* bytes, int size, int timeout)
{
    int result = 0;
    SimDevice* device = device_of(dev, result);
    if (device)
        result = interrupt_write(*device, ep, bytes, size);  // passed through as given, like libusb 0.1.12
    log_line(strfmt("usb_interrupt_write(%s, ep 0x%02x, %d bytes, timeout %d)", handle_name(dev).c_str(), ep, size,
                    timeout) +
             result_text(result));
    if (device && result == static_cast<int>(kReportSize) && size == static_cast<int>(kReportSize)) {
        std::array<std::uint8_t, kReportSize> report{};
        std::memcpy(report.data(), bytes, report.size());
        deliver_report(*device, report);
    }
    return result;
}

int usb_interrupt_read(usb_dev_handle* dev, int ep, char* bytes, int size, int timeout)
{
    int result = 0;
    std::array<std::uint8_t, kReportSize> reply{};
    SimDevice* device = device_of(dev, result);
    if (device)
        result = interrupt_read(*device, ep | USB_ENDPOINT_IN, bytes, size, reply);
    log_line(strfmt("usb_interrupt_read(%s, ep 0x%02x, %d bytes, timeout %d)", handle_name(dev).c_str(), ep, size,
                    timeout) +
             result_text(result));
    if (device && result > 0)
        log_line("report in " + device->name + ": " + hex_bytes(reply.data(), static_cast<std::size_t>(result)));
    return result;
}

// The controller has interrupt endpoints only.
int usb_bulk_write(usb_dev_handle* dev, int ep, const char* /*bytes*/, int size, int timeout)
{
    int result = 0;
    if (device_of(dev, result))
        result = set_error(ENOENT, "error submitting URB: No such file or directory");
    log_line(strfmt("usb_bulk_write(%s, ep 0x%02x, %d bytes, timeout %d)", handle_name(dev).c_str(), ep, size,
                    timeout) +
             result_text(result));
    return result;
}

int usb_bulk_read(usb_dev_handle* dev, int ep, char* /*bytes*/, int size, int timeout)
{
    int result = 0;
    if (device_of(dev, result))
        result = set_error(ENOENT, "error submitting URB: No such file or directory");
    log_line(strfmt("usb_bulk_read(%s, ep 0x%02x, %d bytes, timeout %d)", handle_name(dev).c_str(), ep, size,
                    timeout) +
             result_text(result));
    return result;
}

char* usb_strerror(void)
{
    static std::string text;
    const std::string& last = world().last_error;
    text = last.empty() ? "No error" : last;
    log_line("usb_strerror()");
    return text.data();
}
