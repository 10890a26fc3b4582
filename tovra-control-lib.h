// SPDX-License-Identifier: GPL-2.0-or-later
// USB side of the tovra controller link, over libusb-0.1.
//
// A TovraUsb handle selects the Nth controller (vendor 0x6666, product 0xF100)
// in bus-then-device order (by number, whatever order libusb lists them in),
// or the controller of a given device node, opens it, and on its first transfer detaches any
// kernel driver from interface 0, selects configuration 1 and claims interface 0. A claim
// that failed is reported once: later transfers fail with its errno without trying again.
// The handle owns the open libusb handle; the device record is borrowed from
// libusb's bus list. Results are 0 for success and -1 for failure; failures of
// libusb calls are reported here through perror, the caller adds its own line.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct usb_device;
struct usb_dev_handle;

struct TovraUsb {
    struct usb_device* device;      // selected controller, borrowed; null until found
    struct usb_dev_handle* handle;  // open handle, owned; null until opened
    int debug;                      // non-zero: debug lines on stdout
    int timeout;                    // milliseconds, every interrupt transfer
    int interface_claimed;          // 1 once detach/configure/claim succeeded; -errno once they failed
};

inline constexpr int TOVRA_VENDOR_ID = 0x6666;
inline constexpr int TOVRA_PRODUCT_ID = 0xF100;
inline constexpr int TOVRA_MAX_CONTROLLERS = 255;  // indexes 0 to 254
inline constexpr int TOVRA_OUTPUTS = 15;           // outputs 0 to 14
inline constexpr int TOVRA_CONFIG_ENTRIES = 8;
inline constexpr int TOVRA_MAX_CODE = 0xFFFE;      // 0xFFFF is never sent

// Starts libusb with its own diagnostics off and builds the device list that
// every later search walks. Call once per process. Always returns 0.
int tovra_usb_initialise(void);

// Pairs with tovra_usb_initialise; call last. Does nothing.
void tovra_usb_finalise(void);

// New handle with nothing selected, or null when memory runs out (no message).
TovraUsb* tovra_usb_create(int debug, int timeout);

// Closes the open handle, if any, and frees the record. Accepts null.
// Neither releases the interface nor re-attaches a kernel driver.
void tovra_usb_destroy(TovraUsb* tovra);

// Finds and opens controller number device_num (0-based) among the matching
// devices. Requires: tovra not null, not claimed, 0 <= device_num <= 254.
// Returns 0 when opened; -1 when not found (stderr line) or usb_open failed.
int tovra_usb_finddevice(TovraUsb* tovra, int device_num);

// Finds and opens the controller whose device node is path, or a link to
// one (such as a udev link under /dev/tovra). Requires: tovra not null, not
// claimed, path not null. Returns 0 when opened; -1 when path cannot be
// looked at (perror with the path), names no listed controller (stderr
// line), or usb_open failed.
int tovra_usb_findnode(TovraUsb* tovra, const char* path);

// The device node of USB device number device on bus number bus:
// /dev/bus/usb/BBB/DDD.
std::string tovra_usb_nodepath(unsigned bus, unsigned device);

// The nodes of the tovra controllers attached (as sysfs tells) that libusb
// left out of its list because they cannot be opened (Debian's libusb 0.1.12
// leaves them out; libusb-compat lists them and fails at usb_open), each with
// the error of opening it: they are never found nor counted. In
// bus-then-device order; empty when sysfs cannot be read.
// Requires: tovra_usb_initialise was called.
std::vector<std::pair<std::string, int>> tovra_usb_unopenable(void);

// libusb's names of the bus and device of the controller that
// tovra_usb_finddevice selected ("001" and "002"), which also name its device
// node, /dev/bus/usb/<bus>/<device>. Requires: a controller was selected.
void tovra_usb_location(const TovraUsb* tovra, const char** bus, const char** device);

// The device node of the controller that was selected, as
// tovra_usb_nodepath gives it. Requires: a controller was selected.
std::string tovra_usb_node(const TovraUsb* tovra);

// Sends one remote code as an 8-byte report on endpoint 1, claiming the
// interface first if this is the handle's first transfer.
// Requires: tovra not null, 0 <= output < 15, 0 <= command <= TOVRA_MAX_CODE.
// Returns 0 when all 8 bytes went out, -1 otherwise.
int tovra_usb_sendcommand(TovraUsb* tovra, int output, int command);

// Sends configuration reports A and B for output 0 or 1; each entry of
// config travels as its low 8 bits. B is not sent when A fails.
// Requires: tovra not null, output 0 or 1, config not null (8 entries).
// Returns 0 when both went out, -1 otherwise. Prints no debug line.
int tovra_usb_sendconfig(TovraUsb* tovra, int output, const int* config);

// Prints the controller's descriptor strings, release number and firmware
// version (queried with a "q" report) on stdout. Problems show only as lines.
// Requires: tovra not null and not yet claimed (run it before any transfer).
void tovra_usb_printinfo(TovraUsb* tovra);
