// SPDX-License-Identifier: GPL-2.0-or-later
// libtovra-simusb: simulated tovra USB controllers behind the libusb-0.1 API.
//
// Preloaded into the real tovra-control binary (or linked in place of
// libusb-0.1), it serves the buses and devices of a scenario file, answers the
// calls the program makes the way Debian's libusb 0.1.12 does (negative errno
// results with errno set), logs every call and report, and hands delivered
// remote codes to the simulated Sky box. Environment and formats: README.md.
#include <usb.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "scenario.h"
#include "simfs.h"

struct usb_bus* usb_busses = nullptr;

namespace {

using sim::result_text;
using sim::strfmt;

// Opened per line, so a process may point the log elsewhere between worlds;
// one write per line keeps lines whole when several processes append.
void log_line(const std::string& line)
{
    const int saved = errno;
    const char* path = std::getenv("TOVRA_SIM_USB_LOG");
    if (path && *path) {
        const int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        const std::string text = line + '\n';
        if (fd >= 0 && ::write(fd, text.data(), text.size()) < 0) {
            // A log that cannot be written must not change what the caller sees.
        }
        if (fd >= 0)
            ::close(fd);
    }
    errno = saved;
}

// ---------------------------------------------------------------- the world

struct SimDevice {
    struct usb_device record{};
    sim::Device model;
};

struct SimBus {
    usb_bus record{};
    std::deque<SimDevice> devices;
};

// The world lives from usb_init to the next usb_init. A handle left open
// across a new usb_init fails with ENODEV instead of touching a freed device.
struct World {
    int generation = 0;  // 0: usb_init not called yet
    bool busses_found = false;
    bool devices_found = false;
    sim::Scenario scenario;
    std::deque<SimBus> buses;
    std::set<usb_dev_handle*> handles;
};

// Never destroyed: a handle may still be closed from an exit handler.
World& world()
{
    static World* const instance = new World;
    return *instance;
}

// Links records in the order libusb lists them: as given, or newest first.
template <typename Record>
Record* chain(std::vector<Record*> records, bool newest_first)
{
    if (newest_first)
        std::ranges::reverse(records);
    for (std::size_t i = 0; i < records.size(); ++i) {
        records[i]->prev = i > 0 ? records[i - 1] : nullptr;
        records[i]->next = i + 1 < records.size() ? records[i + 1] : nullptr;
    }
    return records.empty() ? nullptr : records.front();
}

}  // namespace

struct usb_dev_handle {
    SimDevice* device;
    int generation;
    std::string name;
    unsigned long id;  // names the handle in claim records, with the process id
    bool read_only;    // the node opened read-only: usbfs refuses every request
    bool compat;       // library compat: errors as libusb-compat-0.1 gives them
};

namespace {

// Runs a call on an open handle and logs it as "function(001/002args) = result"
// followed by the tail the body adds. Every call after usb_open fails with
// EPERM on a read-only node, as usbfs refuses each of its ioctls. A time-out
// leaves errno as it was, as libusb 0.1.12 leaves that of its last ioctl.
// libusb-compat-0.1 reports a device that is gone as ENXIO.
template <typename Body>
int call(usb_dev_handle* dev, const char* function, const std::string& args, Body body)
{
    const int saved = errno;
    World& w = world();
    std::string name = "?";
    std::string tail;
    int result = -EBADF;
    if (dev && w.handles.count(dev)) {
        name = dev->name;
        if (dev->generation != w.generation)
            result = -ENODEV;
        else
            result = dev->read_only ? -EPERM : body(*dev->device, tail);
        if (dev->compat && result == -ENODEV)
            result = -ENXIO;
    }
    log_line(function + ("(" + name + args + ")") + result_text(result) + tail);
    if (result < 0)
        errno = result == -ETIMEDOUT ? saved : -result;
    return result;
}

// Whether process pid lives: a zombie has closed its files, and with them its claims.
bool alive(long pid)
{
    if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM)
        return false;
    char text[512] = {};
    std::FILE* stat = std::fopen(strfmt("/proc/%ld/stat", pid).c_str(), "re");
    const bool read = stat && std::fread(text, 1, sizeof text - 1, stat) > 0;
    if (stat)
        std::fclose(stat);
    const char* end = std::strrchr(text, ')');
    return !read || !end || (end[1] != '\0' && end[2] != 'Z' && end[2] != 'X');
}

enum class Claim {
    Take,     // 0 when dev holds interface 0 or now takes it, -EBUSY when another holds it
    Busy,     // -EBUSY when anyone holds it, dev included
    Detach,   // 0 when someone held it, and nobody does now; 1 when nobody held it
    Release,  // dev holds it no longer
};

// Interface 0's claim, as usbfs keeps it for all processes: a record beside
// the node, DEVDIR/BBB/DDD.claim, naming the holder as "PID HANDLE", read
// and rewritten under a short flock. A holder that has died holds nothing,
// as the kernel drops a claim when the file it was made on closes.
int claim(const usb_dev_handle& dev, Claim op)
{
    const int saved = errno;
    const std::string folder = sim::device_dir();
    const std::string path = folder + "/" + dev.name + ".claim";
    const int create = op == Claim::Take ? O_CREAT : 0;
    const int fd = folder.empty() ? -1 : ::open(path.c_str(), O_RDWR | O_CLOEXEC | create, 0666);
    errno = saved;
    if (fd < 0)
        return op == Claim::Detach ? 1 : 0;  // no record, or nowhere to keep one: nobody holds a claim
    ::flock(fd, LOCK_EX);                    // until the close below
    char text[64] = {};
    long pid = 0;
    unsigned long id = 0;
    if (::pread(fd, text, sizeof text - 1, 0) > 0)
        std::sscanf(text, "%ld %lu", &pid, &id);
    const bool held = pid > 0 && alive(pid);
    const bool mine = held && pid == ::getpid() && id == dev.id;
    int result = 0;
    bool rewrite = false;
    if (op == Claim::Take) {
        result = held && !mine ? -EBUSY : 0;
        rewrite = !held;
    } else if (op == Claim::Busy) {
        result = held ? -EBUSY : 0;
    } else {
        result = op == Claim::Detach && !held ? 1 : 0;
        rewrite = op == Claim::Detach ? held : mine;
    }
    const std::string record = op == Claim::Take ? strfmt("%d %lu\n", ::getpid(), dev.id) : "";
    if (rewrite && (::ftruncate(fd, 0) != 0 || ::pwrite(fd, record.data(), record.size(), 0) < 0)) {
        // a record that cannot be written leaves the interface as it was
    }
    ::close(fd);
    errno = saved;
    return result;
}

// usbfs claims the interface of a transfer for a handle that does not hold it,
// or refuses with EBUSY; libusb-1.0 reports a refused transfer as EIO.
int implicit_claim(const usb_dev_handle& dev)
{
    const int busy = claim(dev, Claim::Take);
    return busy && dev.compat ? -EIO : busy;
}

}  // namespace

// ---------------------------------------------------------------- the libusb-0.1 API the program uses

void usb_set_debug(int level)
{
    log_line(strfmt("usb_set_debug(%d)", level));
}

void usb_init(void)
{
    log_line("usb_init()");
    World& w = world();
    ++w.generation;
    w.buses.clear();
    w.scenario = {};
    w.busses_found = false;
    w.devices_found = false;
    usb_busses = nullptr;
}

int usb_find_busses(void)
{
    World& w = world();
    int result = 0;
    if (w.generation == 0) {
        result = -ENOENT;  // the real library finds no USB folder to read
        errno = ENOENT;
    } else if (!w.busses_found) {
        w.busses_found = true;
        w.scenario = sim::read_scenario();
        std::vector<usb_bus*> records;
        for (std::size_t i = 0; i < w.scenario.buses.size(); ++i) {
            SimBus& bus = w.buses.emplace_back();
            std::snprintf(bus.record.dirname, sizeof bus.record.dirname, "%03zu", i + 1);
            bus.record.location = static_cast<std::uint32_t>(i + 1);
            records.push_back(&bus.record);
        }
        usb_busses = chain(records, w.scenario.newest_first);
        result = static_cast<int>(w.buses.size());
    }
    log_line("usb_find_busses()" + result_text(result));
    return result;
}

int usb_find_devices(void)
{
    World& w = world();
    int added = 0;
    if (w.busses_found && !w.devices_found) {
        w.devices_found = true;
        sim::make_device_files(w.scenario);
        for (std::size_t b = 0; b < w.buses.size(); ++b) {
            SimBus& bus = w.buses[b];
            std::vector<struct usb_device*> records;
            for (const sim::Device& model : w.scenario.buses[b]) {
                // libusb 0.1.12 lists only a node that it can open; libusb-1.0 reads sysfs.
                if (!w.scenario.compat && sim::node_error(model, O_RDWR) && sim::node_error(model, O_RDONLY))
                    continue;
                SimDevice& device = bus.devices.emplace_back();
                device.model = model;
                const sim::Bytes descriptor = model.device_descriptor();
                std::memcpy(&device.record.descriptor, descriptor.data(), USB_DT_DEVICE_SIZE);
                device.record.devnum = static_cast<std::uint8_t>(std::stoi(model.name.substr(4)));
                std::snprintf(device.record.filename, sizeof device.record.filename, "%03d", device.record.devnum);
                device.record.bus = &bus.record;
                records.push_back(&device.record);
                ++added;
            }
            bus.record.devices = chain(records, w.scenario.newest_first);
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
    World& w = world();
    for (SimBus& bus : w.buses) {
        for (SimDevice& device : bus.devices) {
            if (&device.record != dev)
                continue;
            const std::string& name = device.model.name;
            const bool compat = w.scenario.compat;
            // 0.1.12 opens read-write, else read-only; libusb-1.0 read-write only, and a missing node is ENXIO.
            int error = device.model.open_error;
            bool read_only = false;
            if (!error && (error = sim::node_error(device.model, O_RDWR)) != 0 && !compat) {
                read_only = true;
                error = sim::node_error(device.model, O_RDONLY);
            }
            if (compat && error == ENOENT)
                error = ENXIO;
            if (error) {
                log_line("usb_open(" + name + ") = NULL (" + sim::errno_name(error) + ")");
                errno = error;
                return nullptr;
            }
            log_line("usb_open(" + name + ") = ok");
            static unsigned long opened = 0;
            auto* handle = new usb_dev_handle{&device, w.generation, name, ++opened, read_only, compat};
            return *w.handles.insert(handle).first;
        }
    }
    log_line("usb_open(?) = NULL (ENODEV)");
    errno = ENODEV;
    return nullptr;
}

int usb_close(usb_dev_handle* dev)
{
    World& w = world();
    const bool open = dev && w.handles.count(dev);
    log_line("usb_close(" + (open ? dev->name : "?") + ")" + result_text(open ? 0 : -EBADF));
    if (!open) {
        errno = EBADF;
        return -EBADF;
    }
    claim(*dev, Claim::Release);
    w.handles.erase(dev);
    delete dev;
    return 0;
}

// As libusb 0.1.12: the language list, then the string in that language; the
// low byte of each character (? for others), at most buflen - 1 and a NUL.
int usb_get_string_simple(usb_dev_handle* dev, int index, char* buf, size_t buflen)
{
    return call(dev, "usb_get_string_simple", strfmt(", %d", index), [&](SimDevice& device, std::string& tail) {
        sim::Bytes descriptor;
        if (!buf || buflen == 0)
            return -EINVAL;
        if (const int result = device.model.string_descriptor(index, descriptor); result < 0)
            return result;
        std::size_t copied = 0;
        for (std::size_t unit = 2; unit + 1 < descriptor.size() && copied + 1 < buflen; unit += 2)
            buf[copied++] = descriptor[unit + 1] ? '?' : static_cast<char>(descriptor[unit]);
        buf[copied] = '\0';
        tail = " \"" + std::string(buf, copied) + "\"";
        return static_cast<int>(copied);
    });
}

int usb_detach_kernel_driver_np(usb_dev_handle* dev, int interface)
{
    return call(dev, "usb_detach_kernel_driver_np", strfmt(", %d", interface), [&](SimDevice& device, std::string&) {
        const int error = interface == 0 ? device.model.detach_error : ENODATA;
        // usbfs lets go of any driver, its own claims included; libusb-1.0 leaves those alone.
        if (error == ENODATA && !dev->compat && claim(*dev, Claim::Detach) == 0)
            return 0;
        return -(error == ENODATA && dev->compat ? ENOENT : error);
    });
}

int usb_set_configuration(usb_dev_handle* dev, int configuration)
{
    return call(dev, "usb_set_configuration", strfmt(", %d", configuration), [&](SimDevice& device, std::string&) {
        if (device.model.setconfig_error)
            return -device.model.setconfig_error;
        if (const int busy = claim(*dev, Claim::Busy))
            return busy;
        return configuration == 1 || configuration == 0 ? 0 : -EINVAL;
    });
}

int usb_claim_interface(usb_dev_handle* dev, int interface)
{
    return call(dev, "usb_claim_interface", strfmt(", %d", interface), [&](SimDevice& device, std::string&) {
        if (device.model.claim_error)
            return -device.model.claim_error;
        return interface == 0 ? claim(*dev, Claim::Take) : -ENOENT;
    });
}

// The endpoint goes through as given, as in libusb 0.1.12.
int usb_interrupt_write(usb_dev_handle* dev, int ep, const char* bytes, int size, int timeout)
{
    const std::string args = strfmt(", ep 0x%02x, %d bytes, timeout %d", ep, size, timeout);
    return call(dev, "usb_interrupt_write", args, [&](SimDevice& device, std::string& tail) {
        if (ep != sim::kEndpointOut)
            return -ENOENT;
        if (const int busy = implicit_claim(*dev))
            return busy;
        if (!bytes || size < 0)
            return -EINVAL;
        if (device.model.write_ms != 0)  // a slow controller: the transfer is under way meanwhile
            std::this_thread::sleep_for(std::chrono::milliseconds(device.model.write_ms));
        const int result = device.model.write(size);
        // 0.1.12 looks at what the transfer moved, not at its status: one that
        // the device stalled or that its unplugging cut short moved 0 bytes.
        if (result < 0 && result != -ETIMEDOUT && !dev->compat)
            return 0;
        if (result == sim::kReportSize && size == sim::kReportSize) {
            const auto* report = reinterpret_cast<const std::uint8_t*>(bytes);
            tail.assign("\n").append(device.model.deliver(report));
            sim::send_key_to_box(sim::command_of(report));
        }
        return result;
    });
}

// libusb 0.1.12 ORs 0x80 into the endpoint of a read.
int usb_interrupt_read(usb_dev_handle* dev, int ep, char* bytes, int size, int timeout)
{
    const std::string args = strfmt(", ep 0x%02x, %d bytes, timeout %d", ep, size, timeout);
    return call(dev, "usb_interrupt_read", args, [&](SimDevice& device, std::string& tail) {
        if ((ep | USB_ENDPOINT_IN) != sim::kEndpointIn)
            return -ENOENT;
        if (const int busy = implicit_claim(*dev))
            return busy;
        if (!bytes || size < 0)
            return -EINVAL;
        std::uint8_t reply[sim::kReportSize];
        const int result = device.model.read(reply);
        if (result <= 0)
            return result;
        const int count = std::min(result, size);
        std::memcpy(bytes, reply, static_cast<std::size_t>(count));
        tail.assign("\n").append(sim::report_line("in", device.model.name, reply, count));
        return count;
    });
}
