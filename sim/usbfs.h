// SPDX-License-Identifier: GPL-2.0-or-later
// Tovra controllers emulated at the usbfs level, beneath the real libusb-0.1.
//
// A umockdev testbed gets a node /dev/bus/usb/BBB/DDD for every device of a
// scenario (the format of libtovra-simusb, see README.md). The reads and
// ioctls that programs run in the testbed make on those nodes reach a handler
// in this process (a umockdev worker thread), which answers them as usbfs and
// the controller would and logs them.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

class UsbfsTestbed {
public:
    // The library to preload, with UMOCKDEV_DIR=root(), into programs run in the testbed.
    static constexpr const char* kPreload = "libumockdev-preload.so.0";

    // Throws std::runtime_error for a bad scenario, for open= (usbfs has no
    // such failure: libusb then skips the device), for access=none or
    // node=absent (no sysfs view here), for listing (readdir decides the
    // order), for library and group, or when umockdev refuses.
    explicit UsbfsTestbed(std::string_view scenario);
    ~UsbfsTestbed();
    UsbfsTestbed(const UsbfsTestbed&) = delete;
    UsbfsTestbed& operator=(const UsbfsTestbed&) = delete;

    const std::string& root() const;
    // What the nodes saw so far, one line each, in the format of README.md.
    std::vector<std::string> log() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};
