// SPDX-License-Identifier: GPL-2.0-or-later
// USB side of the tovra controller link: discovery, claim and the 8-byte
// reports (commands, configuration, version query) over libusb-0.1.
#include "tovra-control-lib.h"

#include "descriptor.h"
#include "same_device.h"

#include <usb.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <array>
#include <charconv>
#include <cassert>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <tuple>
#include <utility>

namespace {

using Report = std::array<std::uint8_t, 8>;

constexpr std::uint8_t kFiller = 0x7A;  // 'z': bytes that carry nothing
constexpr int kConfiguration = 1;
constexpr int kInterface = 0;
constexpr int kEndpointOut = 0x01;
constexpr int kEndpointIn = 0x81;

// perror that leaves errno as it found it, so the caller's own line (and
// its reading of errno) still tells the real cause.
void report_failure(const char* what)
{
    const int error = errno;
    perror(what);
    errno = error;
}

// The same for a libusb call that returned result: libusb-0.1 returns its
// errors as -errno without always setting errno (a time-out leaves the errno
// of an earlier call), and a short transfer is no error of the system at all.
// Without this the line would name whatever an earlier call left behind.
void report_failure(const char* what, int result)
{
    errno = result < 0 ? -result : EIO;
    report_failure(what);
}

Report filled_report()
{
    Report report;
    report.fill(kFiller);
    return report;
}

// Sends one whole report; a short transfer counts as a failure.
int write_report(TovraUsb* tovra, Report& report)
{
    int written = usb_interrupt_write(tovra->handle, kEndpointOut, reinterpret_cast<char*>(report.data()),
                                      static_cast<int>(report.size()), tovra->timeout);
    if (written != static_cast<int>(report.size())) {
        report_failure("usb_interrupt_write failed", written);
        return -1;
    }
    return 0;
}

// Detaches any kernel driver, selects configuration 1 and claims interface 0,
// once per handle: the first transfer pays for it, later ones skip it.
int claim_interface(TovraUsb* tovra)
{
    if (tovra->interface_claimed == 1)
        return 0;
    if (tovra->interface_claimed < 0) {  // failed and reported already: once is enough
        errno = -tovra->interface_claimed;
        return -1;
    }

    if (tovra->debug)
        puts("Trying to detach kernel driver");
    if (usb_detach_kernel_driver_np(tovra->handle, kInterface) == 0) {
        if (tovra->debug)
            puts("detach successful");
    } else if (errno == ENODATA || errno == ENOENT) {  // none bound: 0.1.12 says ENODATA, libusb-compat ENOENT
        if (tovra->debug)
            puts("Device already detached");
    } else if (tovra->debug) {
        int error = errno;
        printf("Detach failed: %s[%d]\n", strerror(error), error);
        puts("Continueing anyway");
    }

    const char* failed = usb_set_configuration(tovra->handle, kConfiguration) < 0   ? "usb_set_configuration failed"
                         : usb_claim_interface(tovra->handle, kInterface) < 0 ? "usb_claim_interface failed"
                                                                              : nullptr;
    if (failed != nullptr) {
        report_failure(failed);
        tovra->interface_claimed = -(errno != 0 ? errno : EIO);
        return -1;
    }
    tovra->interface_claimed = 1;
    return 0;
}

// Prints one descriptor string, "- <label> <text>"; index 0 means the
// controller has none, so nothing is printed.
void print_string(TovraUsb* tovra, int index, const char* label, const char* name)
{
    if (index == 0)
        return;
    std::array<char, 512> text{};
    if (usb_get_string_simple(tovra->handle, index, text.data(), static_cast<size_t>(text.size())) > 0)
        printf("- %s %s\n", label, text.data());
    else
        printf("- Unable to fetch %s string\n", name);
}

// The device's bus and device numbers, from libusb's names of them ("001", "002").
std::pair<unsigned, unsigned> numbers_of(const struct usb_device* dev)
{
    return {static_cast<unsigned>(strtoul(dev->bus->dirname, nullptr, 10)),
            static_cast<unsigned>(strtoul(dev->filename, nullptr, 10))};
}

std::string node_of(const struct usb_device* dev)
{
    const auto [bus, device] = numbers_of(dev);
    return tovra_usb_nodepath(bus, device);
}

// Every device libusb lists, in bus-then-device order. libusb-0.1 lists them
// in the order the kernel's folders hand out their entries, which puts the
// last plugged first and may change with the kernel version; --controller N
// must mean the same controller across reboots and upgrades.
std::vector<struct usb_device*> devices_in_order()
{
    std::vector<struct usb_device*> devices;
    for (usb_bus* bus = usb_get_busses(); bus != nullptr; bus = bus->next)
        for (struct usb_device* dev = bus->devices; dev != nullptr; dev = dev->next)
            devices.push_back(dev);
    std::ranges::stable_sort(devices, {}, numbers_of);
    return devices;
}

// The file path leads to, without opening the device itself.
bool identify(const char* path, struct stat& info)
{
    const Descriptor fd(open(path, O_PATH | O_CLOEXEC));
    return fd.get() >= 0 && fstat(fd.get(), &info) == 0;
}

// A sysfs attribute as a number in base; 0 when it cannot be read.
unsigned attribute(const std::string& path, int base)
{
    const Descriptor fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    std::array<char, 16> text{};
    const ssize_t n = fd.get() >= 0 ? read(fd.get(), text.data(), text.size()) : -1;
    unsigned value = 0;
    std::from_chars(text.data(), text.data() + std::max<ssize_t>(n, 0), value, base);
    return value;
}

// Walks the devices in order and opens the first controller that wanted
// (its index among the controllers, the device) selects; found counts the
// controllers passed over. Returns 0 opened, -1 usb_open failed, 1 none selected.
template <typename Wanted>
int select_controller(TovraUsb* tovra, int& found, Wanted wanted)
{
    for (struct usb_device* dev : devices_in_order()) {
        const auto& descriptor = dev->descriptor;
        if (tovra->debug)
            printf("Found device: %04x-%04x\n", descriptor.idVendor, descriptor.idProduct);
        if (descriptor.idVendor != TOVRA_VENDOR_ID || descriptor.idProduct != TOVRA_PRODUCT_ID)
            continue;
        if (tovra->debug)
            printf("Found tovra control num %d\n", found);
        if (!wanted(found, dev)) {
            ++found;
            continue;
        }
        tovra->device = dev;
        tovra->handle = usb_open(dev);
        if (tovra->handle == nullptr) {
            report_failure("usb_open failed");
            return -1;
        }
        return 0;
    }
    return 1;
}

}  // namespace

int tovra_usb_initialise(void)
{
    usb_set_debug(0);
    usb_init();
    usb_find_busses();
    usb_find_devices();
    return 0;
}

void tovra_usb_finalise(void) {}

TovraUsb* tovra_usb_create(int debug, int timeout)
{
    auto* tovra = new (std::nothrow) TovraUsb{};
    if (tovra == nullptr)
        return nullptr;
    tovra->device = nullptr;
    tovra->handle = nullptr;
    tovra->debug = debug;
    tovra->timeout = timeout;
    tovra->interface_claimed = 0;
    return tovra;
}

void tovra_usb_destroy(TovraUsb* tovra)
{
    if (tovra == nullptr)
        return;
    if (tovra->handle != nullptr)
        usb_close(tovra->handle);
    delete tovra;
}

int tovra_usb_finddevice(TovraUsb* tovra, int device_num)
{
    assert(tovra != nullptr);
    assert(tovra->interface_claimed == 0);
    assert(device_num >= 0 && device_num < TOVRA_MAX_CONTROLLERS);

    int found = 0;
    const int result = select_controller(tovra, found, [device_num](int index, const struct usb_device*) {
        return index == device_num;
    });
    if (result == 1)
        fprintf(stderr, "tovra_usb_finddevice(%d) failed to find device %04x-%04x\n", found, TOVRA_VENDOR_ID,
                TOVRA_PRODUCT_ID);
    return result == 0 ? 0 : -1;
}

int tovra_usb_findnode(TovraUsb* tovra, const char* path)
{
    assert(tovra != nullptr);
    assert(tovra->interface_claimed == 0);
    assert(path != nullptr);

    struct stat wanted{};
    if (!identify(path, wanted)) {
        report_failure(path);
        return -1;
    }
    int found = 0;
    const int result = select_controller(tovra, found, [&wanted](int, const struct usb_device* dev) {
        struct stat node{};
        return identify(node_of(dev).c_str(), node) && same_device(node, wanted);
    });
    if (result == 1)
        fprintf(stderr, "no tovra controller (%04x-%04x) found at %s\n", TOVRA_VENDOR_ID, TOVRA_PRODUCT_ID, path);
    return result == 0 ? 0 : -1;
}

std::string tovra_usb_nodepath(unsigned bus, unsigned device)
{
    std::array<char, 64> path{};
    snprintf(path.data(), path.size(), "/dev/bus/usb/%03u/%03u", bus, device);
    return path.data();
}

std::vector<std::pair<std::string, int>> tovra_usb_unopenable(void)
{
    constexpr std::string_view folder = "/sys/bus/usb/devices";
    std::vector<std::pair<unsigned, unsigned>> listed;
    std::ranges::transform(devices_in_order(), std::back_inserter(listed), numbers_of);
    std::vector<std::tuple<unsigned, unsigned, int>> unopenable;
    Descriptor fd(open(folder.data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct Closer {
        void operator()(DIR* dir) const { closedir(dir); }
    };
    std::unique_ptr<DIR, Closer> dir(fd.get() >= 0 ? fdopendir(fd.get()) : nullptr);
    if (!dir)
        return {};
    fd.release();  // the folder's stream has it now
    while (const dirent* entry = readdir(dir.get())) {
        const std::string device = std::string(folder) + "/" + entry->d_name + "/";
        unsigned bus = 0;
        unsigned number = 0;
        if (attribute(device + "idVendor", 16) != TOVRA_VENDOR_ID ||
            attribute(device + "idProduct", 16) != TOVRA_PRODUCT_ID ||
            (bus = attribute(device + "busnum", 10)) == 0 || (number = attribute(device + "devnum", 10)) == 0 ||
            std::ranges::count(listed, std::pair(bus, number)) != 0)  // counted, whatever happens at its open
            continue;
        if (const Descriptor node(open(tovra_usb_nodepath(bus, number).c_str(), O_RDONLY | O_CLOEXEC)); !node)
            unopenable.emplace_back(bus, number, errno);
    }
    std::ranges::sort(unopenable);
    std::vector<std::pair<std::string, int>> nodes;
    for (auto [bus, number, error] : unopenable)
        nodes.emplace_back(tovra_usb_nodepath(bus, number), error);
    return nodes;
}

void tovra_usb_location(const TovraUsb* tovra, const char** bus, const char** device)
{
    assert(tovra != nullptr);
    assert(tovra->device != nullptr);
    *bus = tovra->device->bus->dirname;
    *device = tovra->device->filename;
}

std::string tovra_usb_node(const TovraUsb* tovra)
{
    assert(tovra != nullptr);
    assert(tovra->device != nullptr);
    return node_of(tovra->device);
}

int tovra_usb_sendcommand(TovraUsb* tovra, int output, int command)
{
    assert(tovra != nullptr);
    assert(output >= 0);
    assert(output < TOVRA_OUTPUTS);
    assert(command >= 0);
    assert(command <= TOVRA_MAX_CODE);

    if (claim_interface(tovra) != 0)
        return -1;

    const auto high = static_cast<std::uint8_t>(command >> 8);
    const auto low = static_cast<std::uint8_t>(command & 0xFF);
    Report report = filled_report();
    if (output < 2) {
        report[0] = static_cast<std::uint8_t>('0' + output);
        report[1] = high;
        report[2] = low;
    } else {
        report[0] = 'C';
        report[1] = static_cast<std::uint8_t>(output);
        report[2] = high;
        report[3] = low;
    }
    if (tovra->debug)
        printf("sending cmd %04x to output %d: bytes %d, %d, %d\n", command, output + 1, report[0], report[1],
               report[2]);
    return write_report(tovra, report);
}

int tovra_usb_sendconfig(TovraUsb* tovra, int output, const int* config)
{
    assert(tovra != nullptr);
    assert(output == 0 || output == 1);
    assert(config != nullptr);

    if (claim_interface(tovra) != 0)
        return -1;

    auto byte = [config](int entry) { return static_cast<std::uint8_t>(config[entry] & 0xFF); };
    Report a = {static_cast<std::uint8_t>('s' + output), byte(7), byte(0), byte(1),
                byte(2),                                 byte(3), byte(4), byte(5)};
    if (write_report(tovra, a) != 0)
        return -1;

    Report b = filled_report();
    b[0] = static_cast<std::uint8_t>('u' + output);
    b[1] = byte(6);
    return write_report(tovra, b);
}

void tovra_usb_printinfo(TovraUsb* tovra)
{
    assert(tovra != nullptr);
    assert(tovra->interface_claimed == 0);

    const auto& descriptor = tovra->device->descriptor;
    print_string(tovra, descriptor.iManufacturer, "Manufacturer :", "manufacturer");
    print_string(tovra, descriptor.iProduct, "Product :", "product");
    print_string(tovra, descriptor.iSerialNumber, "Serial Number:", "serial number");
    printf("- Version Number: %d.%d\n", descriptor.bcdDevice >> 8, descriptor.bcdDevice & 0xFF);

    if (claim_interface(tovra) != 0)
        return;

    Report report = filled_report();
    report[0] = 'q';
    if (tovra->debug)
        printf("sending: byte %d\n", report[0]);
    if (write_report(tovra, report) != 0)
        return;

    int received = usb_interrupt_read(tovra->handle, kEndpointIn, reinterpret_cast<char*>(report.data()),
                                      static_cast<int>(report.size()), tovra->timeout);
    if (received != static_cast<int>(report.size())) {
        report_failure("usb_interrupt_read failed", received);
        return;
    }
    printf("- Full version %d.%d.%d\n", report[0], report[1], report[2]);
}
