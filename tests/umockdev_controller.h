// SPDX-License-Identifier: GPL-2.0-or-later
// Emulated usbfs controllers on a umockdev testbed, for running the real
// tovra-control binary against the real libusb-0.1.
//
// Each device gets a /sys/bus/usb/devices entry and a /dev/bus/usb/BBB/DDD
// node whose read() and ioctl() calls reach a handler in this process: it
// serves the descriptors as usbfs does, answers string requests, the detach,
// configuration and claim ioctls, and the interrupt URBs of a tovra
// controller, and records every call it saw.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct EmulatedUsbDevice {
    int bus = 1;
    int number = 2;
    std::uint16_t vendor = 0x6666;
    std::uint16_t product = 0xF100;
    std::uint16_t release = 0x0100;
    std::uint8_t device_class = 0;     // 9: a hub, which answers the port query
    std::string manufacturer;          // empty: string index 0 in the descriptor
    std::string product_name;
    std::string serial;
    std::array<std::uint8_t, 3> version{1, 0, 0};  // leading bytes of the "q" reply
    // false: the node is read-only for everybody and every ioctl fails with
    // EPERM, which is what usbfs answers on a descriptor opened without write.
    bool writable = true;
};

// A submitted URB as the device received it.
struct ReceivedUrb {
    std::string node;  // "001/002"
    int type;          // USBDEVFS_URB_TYPE_*
    int endpoint;
    std::vector<std::uint8_t> data;  // OUT: the bytes sent; IN: empty
    int length;                      // buffer length the caller gave
};


// Path of libumockdev-preload, as found by the dynamic loader.
std::string umockdev_preload_library();

// "interrupt ep 0x01 out 30 00 01 7a 7a 7a 7a 7a" or "interrupt ep 0x81 in 8".
std::string describe(const ReceivedUrb& urb);

class UmockdevController {
public:
    explicit UmockdevController(const std::vector<EmulatedUsbDevice>& devices);
    ~UmockdevController();
    UmockdevController(const UmockdevController&) = delete;
    UmockdevController& operator=(const UmockdevController&) = delete;

    // Every open, read, ioctl and close the handler saw, one line each.
    std::vector<std::string> log() const;
    // Submitted URBs in order, all devices.
    std::vector<ReceivedUrb> urbs() const;
    // describe() of the URBs that reached one node ("001/002").
    std::vector<std::string> urbs_of(const std::string& node) const;
    // The testbed root, the UMOCKDEV_DIR of programs run in it.
    std::string root() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};
