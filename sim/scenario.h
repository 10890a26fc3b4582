// SPDX-License-Identifier: GPL-2.0-or-later
// What the two simulated USB controllers share: the scenario that describes
// buses, devices and their faults (format in README.md), the controller's side
// of the conversation (descriptors, write faults, the version reply) and the
// log lines of its reports. libtovra-simusb serves it behind the libusb-0.1
// API; usbip-controller serves it to a real kernel over USB/IP.
#pragma once

#include <array>
#include <cerrno>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

constexpr int kReportSize = 8;
constexpr int kEndpointOut = 0x01;
constexpr int kEndpointIn = 0x81;

using Bytes = std::vector<std::uint8_t>;

struct StringSetup {
    enum class Kind { Absent, Present, Fail } kind = Kind::Absent;
    std::string text;
};

struct WriteFault {
    int error = 0;  // non-zero: the write fails with -error
    int count = 0;  // otherwise only this many bytes go out
};

// One device of a scenario, and the state of its controller.
struct Device {
    std::string name;  // "001/002": bus 1, device 2
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    std::uint16_t release = 0x0100;
    std::array<StringSetup, 3> strings;  // manufacturer, product, serial: string indexes 1, 2, 3
    std::array<std::uint8_t, 3> version{1, 0, 0};
    int reply_count = kReportSize;
    bool reply_fail = false;
    int open_error = 0;
    int detach_error = ENODATA;
    int setconfig_error = 0;
    int claim_error = 0;
    unsigned mode = 0666;  // the node's mode when it is made (access=readonly: 0664, access=none: 0660)
    bool node = true;      // node=absent: sysfs shows the device, but it has no node
    std::map<int, WriteFault> write_faults;  // by 1-based write number
    unsigned write_ms = 0;                   // write_delay=MS: each interrupt write takes this long

    int writes = 0;              // interrupt writes so far, failed ones included
    bool reply_pending = false;  // a version query waits for its read

    // The device descriptor as the device sends it (18 bytes).
    Bytes device_descriptor() const;
    // String descriptor index (0: the language list) into out; 0, or -EPIPE
    // when the device stalls the request (no such string, or it refuses).
    int string_descriptor(int index, Bytes& out) const;
    // The next interrupt write of size bytes: how many went out, or -errno.
    int write(int size);
    // A report that arrived whole (kReportSize bytes): its "report out" log
    // line. A version query makes the reply due.
    std::string deliver(const std::uint8_t* report);
    // Fills reply (kReportSize bytes) with the version reply: the count the
    // read returns, or -ETIMEDOUT when no reply is due.
    int read(std::uint8_t* reply);
};

struct Scenario {
    std::vector<std::vector<Device>> buses;  // each with its devices, in order
    bool newest_first = false;               // listing newest-first: libusb lists buses and devices in reverse
    bool compat = false;                     // library compat: the library is libusb-compat-0.1
    bool no_plugdev = false;                 // group plugdev absent: the system has no group plugdev
};

// Reads scenario text. A mistake throws std::runtime_error("scenario line N: ...").
Scenario parse_scenario(std::string_view text);

// The configuration descriptor with its interface and both endpoints, as
// usbfs returns it after the device descriptor.
Bytes config_descriptor();

// The output (1-based) and code of a command report; output 0 for any other report.
struct Command {
    int output = 0;
    unsigned code = 0;
};
Command command_of(const std::uint8_t* report);

// Hands a command that the controller delivered to the simulated boxes: one
// line "KEY <output> <code as 4 hex digits>\n", in one write, into each FIFO
// of the colon-separated list $TOVRA_SIM_BOX (sky-box's keys-fifo). A FIFO
// without a reader drops it; one whose box went away is opened anew, so that
// a box started again at the same path gets the key. Keeps errno, and never
// lets SIGPIPE reach the caller.
void send_key_to_box(const Command& command);

// "report in 001/002: 01 02 03" for the first count bytes of a reply ("in").
std::string report_line(std::string_view direction, const std::string& name, const std::uint8_t* bytes, int count);
// " = 0", or " = -61 (ENODATA)" for a negative errno.
std::string result_text(int result);
std::string errno_name(int error);
// The errno of a name such as "EACCES".
std::optional<int> errno_from_name(std::string_view name);
__attribute__((format(printf, 1, 2))) std::string strfmt(const char* format, ...);

}  // namespace sim
