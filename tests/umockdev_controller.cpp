// SPDX-License-Identifier: GPL-2.0-or-later
// Emulated usbfs controllers: descriptors, strings, claim and interrupt URBs
// answered from a umockdev ioctl handler running in the testbed's worker thread.
#include "umockdev_controller.h"

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <umockdev.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <stdexcept>

namespace {

constexpr std::uint8_t kFiller = 0x7A;
constexpr std::uint16_t kLangId = 0x0409;
constexpr std::uint8_t kEndpointIn = 0x81;
constexpr std::uint8_t kEndpointOut = 0x01;

std::string node_name(int bus, int number)
{
    char text[16];
    snprintf(text, sizeof text, "%03d/%03d", bus, number);
    return text;
}

std::string hex_bytes(const std::uint8_t* data, std::size_t length)
{
    std::string text;
    for (std::size_t i = 0; i < length; ++i) {
        char byte[4];
        snprintf(byte, sizeof byte, i == 0 ? "%02x" : " %02x", data[i]);
        text += byte;
    }
    return text;
}

void put16(std::vector<std::uint8_t>& out, std::uint16_t value)
{
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

// What read() on a usbfs node returns: the device descriptor followed by the
// whole configuration descriptor (interface 0 with interrupt IN 0x81 and OUT 0x01).
std::vector<std::uint8_t> descriptor_bytes(const EmulatedUsbDevice& device)
{
    const bool hub = device.device_class == 9;
    std::vector<std::uint8_t> out = {18, 1};
    put16(out, 0x0110);
    out.insert(out.end(), {device.device_class, 0, 0, 8});
    put16(out, device.vendor);
    put16(out, device.product);
    put16(out, device.release);
    out.push_back(device.manufacturer.empty() ? 0 : 1);
    out.push_back(device.product_name.empty() ? 0 : 2);
    out.push_back(device.serial.empty() ? 0 : 3);
    out.push_back(1);

    const std::uint8_t endpoints = hub ? 1 : 2;
    out.insert(out.end(), {9, 2});
    put16(out, static_cast<std::uint16_t>(9 + 9 + 7 * endpoints));
    out.insert(out.end(), {1, 1, 0, 0x80, 50});
    out.insert(out.end(), {9, 4, 0, 0, endpoints, static_cast<std::uint8_t>(hub ? 9 : 3), 0, 0, 0});
    out.insert(out.end(), {7, 5, kEndpointIn, 3, 8, 0, 10});
    if (!hub)
        out.insert(out.end(), {7, 5, kEndpointOut, 3, 8, 0, 10});
    return out;
}

// String descriptor: index 0 is the language table, 1 to 3 the strings.
bool string_descriptor(const EmulatedUsbDevice& device, int index, std::vector<std::uint8_t>& out)
{
    out.clear();
    if (index == 0) {
        out = {4, 3};
        put16(out, kLangId);
        return true;
    }
    const std::string* text = index == 1   ? &device.manufacturer
                              : index == 2 ? &device.product_name
                              : index == 3 ? &device.serial
                                           : nullptr;
    if (text == nullptr || text->empty())
        return false;
    out = {static_cast<std::uint8_t>(2 + 2 * text->size()), 3};
    for (char c : *text)
        put16(out, static_cast<std::uint8_t>(c));
    return true;
}

const char* errno_name(int error)
{
    switch (error) {
    case 0: return "0";
    case EPERM: return "EPERM";
    case EAGAIN: return "EAGAIN";
    case EINVAL: return "EINVAL";
    case ENOENT: return "ENOENT";
    case ENODATA: return "ENODATA";
    case ENOTTY: return "ENOTTY";
    case EPIPE: return "EPIPE";
    default: return "E?";
    }
}

}  // namespace

struct UmockdevController::State {
    struct Urb {
        UMockdevIoctlData* data;  // resolved usbdevfs_urb, one reference held
        ReceivedUrb received;
    };
    struct Client {
        std::size_t position = 0;      // read() offset in the descriptors
        std::deque<Urb> completed;     // waiting to be reaped
        std::vector<Urb> pending;      // IN URBs with no reply yet
    };
    struct Device {
        EmulatedUsbDevice config;
        std::string node;
        std::vector<std::uint8_t> descriptors;
        std::deque<std::array<std::uint8_t, 8>> replies;
    };

    UMockdevTestbed* testbed = nullptr;
    UMockdevIoctlBase* handler = nullptr;
    std::string root;
    std::vector<Device> devices;

    mutable std::mutex mutex;
    std::vector<std::string> log;
    std::vector<ReceivedUrb> urbs;
    std::map<UMockdevIoctlClient*, Client> clients;

    ~State()
    {
        for (auto& [client, state] : clients)
            release(state);
        if (handler != nullptr)
            g_object_unref(handler);
        if (testbed != nullptr)
            g_object_unref(testbed);  // removes the testbed directory
    }

    static void release(Client& client)
    {
        for (auto& urb : client.completed)
            g_object_unref(urb.data);
        for (auto& urb : client.pending)
            g_object_unref(urb.data);
        client.completed.clear();
        client.pending.clear();
    }

    Device* device_of(UMockdevIoctlClient* client)
    {
        const std::string path = umockdev_ioctl_client_get_devnode(client);
        for (auto& device : devices)
            if (path == "/dev/bus/usb/" + device.node)
                return &device;
        return nullptr;
    }

    std::string last_line;  // the polling reap repeats itself: runs are folded into one line
    int repeats = 0;

    void note(const Device& device, const std::string& text)
    {
        const std::string line = device.node + " " + text;
        if (!log.empty() && line == last_line) {
            log.back() = line + " (x" + std::to_string(++repeats + 1) + ")";
            return;
        }
        last_line = line;
        repeats = 0;
        log.push_back(line);
    }

    gboolean finish(UMockdevIoctlClient* client, const Device& device, const std::string& what, long result,
                    int error)
    {
        char outcome[48];
        if (result < 0)
            snprintf(outcome, sizeof outcome, " = %ld %s", result, errno_name(error));
        else
            snprintf(outcome, sizeof outcome, " = %ld", result);
        note(device, what + outcome);
        umockdev_ioctl_client_complete(client, result, result < 0 ? error : 0);
        return TRUE;
    }

    // Resolves the struct the ioctl argument points to; null (logged) on failure.
    UMockdevIoctlData* resolve(UMockdevIoctlData* data, std::size_t offset, std::size_t length)
    {
        GError* error = nullptr;
        UMockdevIoctlData* resolved = umockdev_ioctl_data_resolve(data, offset, length, &error);
        if (resolved == nullptr) {
            log.push_back(std::string("resolve failed: ") + (error != nullptr ? error->message : "?"));
            g_clear_error(&error);
        }
        return resolved;
    }

    gboolean on_ioctl(UMockdevIoctlClient* client)
    {
        std::lock_guard lock(mutex);
        Device* device = device_of(client);
        if (device == nullptr)
            return FALSE;
        const unsigned long request = umockdev_ioctl_client_get_request(client);
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);

        const char* name = request == USBDEVFS_CONNECTINFO        ? "CONNECTINFO"
                           : request == USBDEVFS_CONTROL          ? "CONTROL"
                           : request == USBDEVFS_IOCTL            ? "IOCTL"
                           : request == USBDEVFS_SETCONFIGURATION ? "SETCONFIGURATION"
                           : request == USBDEVFS_CLAIMINTERFACE   ? "CLAIMINTERFACE"
                           : request == USBDEVFS_RELEASEINTERFACE ? "RELEASEINTERFACE"
                           : request == USBDEVFS_SUBMITURB        ? "SUBMITURB"
                           : request == USBDEVFS_REAPURB          ? "REAPURB"
                           : request == USBDEVFS_REAPURBNDELAY    ? "REAPURBNDELAY"
                           : request == USBDEVFS_DISCARDURB       ? "DISCARDURB"
                                                                  : nullptr;
        std::string what = name != nullptr ? name : "ioctl " + std::to_string(request);
        // usbfs refuses every ioctl on a descriptor opened without write access.
        if (!device->config.writable)
            return finish(client, *device, what + argument_detail(request, arg), -1, EPERM);

        if (request == USBDEVFS_CONNECTINFO) {
            UMockdevIoctlData* data = resolve(arg, 0, sizeof(usbdevfs_connectinfo));
            if (data == nullptr)
                return finish(client, *device, what, -1, EINVAL);
            auto* info = reinterpret_cast<usbdevfs_connectinfo*>(data->data);
            info->devnum = static_cast<unsigned>(device->config.number);
            info->slow = 0;
            g_object_unref(data);
            return finish(client, *device, what, 0, 0);
        }
        if (request == USBDEVFS_CONTROL)
            return control(client, *device, arg);
        if (request == USBDEVFS_IOCTL)
            return driver_ioctl(client, *device, arg);
        if (request == USBDEVFS_SETCONFIGURATION || request == USBDEVFS_CLAIMINTERFACE ||
            request == USBDEVFS_RELEASEINTERFACE) {
            UMockdevIoctlData* data = resolve(arg, 0, sizeof(unsigned));
            if (data == nullptr)
                return finish(client, *device, what, -1, EINVAL);
            const unsigned value = *reinterpret_cast<unsigned*>(data->data);
            g_object_unref(data);
            what += " " + std::to_string(value);
            const unsigned wanted = request == USBDEVFS_SETCONFIGURATION ? 1 : 0;
            return finish(client, *device, what, value == wanted ? 0 : -1, EINVAL);
        }
        if (request == USBDEVFS_SUBMITURB)
            return submit(client, *device, arg);
        if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY)
            return reap(client, *device, arg, what);
        if (request == USBDEVFS_DISCARDURB)
            return discard(client, *device, arg);
        return finish(client, *device, what, -1, ENOTTY);
    }

    // The argument of a refused request, as the accepted ones log it.
    std::string argument_detail(unsigned long request, UMockdevIoctlData* arg)
    {
        std::string detail;
        if (request == USBDEVFS_IOCTL) {
            if (UMockdevIoctlData* data = resolve(arg, 0, sizeof(usbdevfs_ioctl))) {
                const auto command = *reinterpret_cast<usbdevfs_ioctl*>(data->data);
                const unsigned long code = static_cast<unsigned>(command.ioctl_code);
                detail = " ifno " + std::to_string(command.ifno) +
                         (code == USBDEVFS_DISCONNECT    ? " DISCONNECT"
                          : code == USBDEVFS_HUB_PORTINFO ? " HUB_PORTINFO"
                                                          : " code " + std::to_string(code));
                g_object_unref(data);
            }
        } else if (request == USBDEVFS_SETCONFIGURATION || request == USBDEVFS_CLAIMINTERFACE ||
                   request == USBDEVFS_RELEASEINTERFACE) {
            if (UMockdevIoctlData* data = resolve(arg, 0, sizeof(unsigned))) {
                detail = " " + std::to_string(*reinterpret_cast<unsigned*>(data->data));
                g_object_unref(data);
            }
        }
        return detail;
    }

    // Standard GET_DESCRIPTOR(string) requests; anything else stalls.
    gboolean control(UMockdevIoctlClient* client, Device& device, UMockdevIoctlData* arg)
    {
        UMockdevIoctlData* data = resolve(arg, 0, sizeof(usbdevfs_ctrltransfer));
        if (data == nullptr)
            return finish(client, device, "CONTROL", -1, EINVAL);
        const auto ctrl = *reinterpret_cast<usbdevfs_ctrltransfer*>(data->data);
        char what[64];
        snprintf(what, sizeof what, "CONTROL %02x %02x %04x %04x len %u", ctrl.bRequestType, ctrl.bRequest,
                 ctrl.wValue, ctrl.wIndex, ctrl.wLength);
        std::vector<std::uint8_t> reply;
        const bool get_string = ctrl.bRequestType == 0x80 && ctrl.bRequest == 6 && (ctrl.wValue >> 8) == 3;
        if (!get_string || !string_descriptor(device.config, ctrl.wValue & 0xFF, reply)) {
            g_object_unref(data);
            return finish(client, device, what, -1, EPIPE);
        }
        const std::size_t count = std::min<std::size_t>(reply.size(), ctrl.wLength);
        UMockdevIoctlData* buffer = resolve(data, offsetof(usbdevfs_ctrltransfer, data), ctrl.wLength);
        if (buffer == nullptr) {
            g_object_unref(data);
            return finish(client, device, what, -1, EINVAL);
        }
        std::copy_n(reply.begin(), count, buffer->data);
        g_object_unref(buffer);
        g_object_unref(data);
        return finish(client, device, what, static_cast<long>(count), 0);
    }

    // Requests for the interface's kernel driver. None is bound, so a detach
    // answers ENODATA; a hub answers the port query.
    gboolean driver_ioctl(UMockdevIoctlClient* client, Device& device, UMockdevIoctlData* arg)
    {
        UMockdevIoctlData* data = resolve(arg, 0, sizeof(usbdevfs_ioctl));
        if (data == nullptr)
            return finish(client, device, "IOCTL", -1, EINVAL);
        const auto command = *reinterpret_cast<usbdevfs_ioctl*>(data->data);
        const unsigned long code = static_cast<unsigned>(command.ioctl_code);
        std::string what = "IOCTL ifno " + std::to_string(command.ifno) + " " +
                           (code == USBDEVFS_DISCONNECT    ? "DISCONNECT"
                            : code == USBDEVFS_HUB_PORTINFO ? "HUB_PORTINFO"
                                                            : "code " + std::to_string(code));
        if (code == USBDEVFS_DISCONNECT) {
            g_object_unref(data);
            return finish(client, device, what, -1, ENODATA);
        }
        if (code != USBDEVFS_HUB_PORTINFO || device.config.device_class != 9) {
            g_object_unref(data);
            return finish(client, device, what, -1, ENOTTY);
        }
        UMockdevIoctlData* ports = resolve(data, offsetof(usbdevfs_ioctl, data), sizeof(usbdevfs_hub_portinfo));
        if (ports == nullptr) {
            g_object_unref(data);
            return finish(client, device, what, -1, EINVAL);
        }
        auto* info = reinterpret_cast<usbdevfs_hub_portinfo*>(ports->data);
        memset(info, 0, sizeof *info);
        for (const auto& other : devices)
            if (other.config.bus == device.config.bus && &other != &device)
                info->port[static_cast<unsigned char>(info->nports++)] = static_cast<char>(other.config.number);
        const long count = info->nports;
        g_object_unref(ports);
        g_object_unref(data);
        return finish(client, device, what, count, 0);
    }

    gboolean submit(UMockdevIoctlClient* client, Device& device, UMockdevIoctlData* arg)
    {
        UMockdevIoctlData* data = resolve(arg, 0, sizeof(usbdevfs_urb));
        if (data == nullptr)
            return finish(client, device, "SUBMITURB", -1, EINVAL);
        auto* urb = reinterpret_cast<usbdevfs_urb*>(data->data);
        ReceivedUrb received{device.node, urb->type, urb->endpoint, {}, urb->buffer_length};
        const bool in = (urb->endpoint & 0x80) != 0;
        const bool known = urb->type == USBDEVFS_URB_TYPE_INTERRUPT &&
                           (urb->endpoint == kEndpointIn || urb->endpoint == kEndpointOut) &&
                           urb->buffer_length >= 0 && urb->buffer_length <= 64;
        UMockdevIoctlData* buffer =
            known ? resolve(data, offsetof(usbdevfs_urb, buffer), static_cast<std::size_t>(urb->buffer_length))
                  : nullptr;
        if (!in && buffer != nullptr)
            received.data.assign(buffer->data, buffer->data + urb->buffer_length);
        urbs.push_back(received);
        const std::string what = "SUBMITURB " + describe(received);
        if (buffer == nullptr) {
            g_object_unref(data);
            return finish(client, device, what, -1, known ? EINVAL : ENOENT);
        }

        Client& state = clients[client];
        urb->status = 0;
        if (!in) {
            urb->actual_length = urb->buffer_length;
            if (urb->buffer_length == 8 && buffer->data[0] == 'q') {
                std::array<std::uint8_t, 8> reply;
                reply.fill(kFiller);
                std::copy(device.config.version.begin(), device.config.version.end(), reply.begin());
                device.replies.push_back(reply);
            }
            state.completed.push_back({data, received});
        } else if (!device.replies.empty()) {
            const auto& reply = device.replies.front();
            const std::size_t count = std::min<std::size_t>(reply.size(), static_cast<std::size_t>(urb->buffer_length));
            std::copy_n(reply.begin(), count, buffer->data);
            urb->actual_length = static_cast<int>(count);
            device.replies.pop_front();
            state.completed.push_back({data, received});
        } else {
            urb->actual_length = 0;
            state.pending.push_back({data, received});  // only a discard ends it
        }
        g_object_unref(buffer);
        return finish(client, device, what, 0, 0);
    }

    gboolean reap(UMockdevIoctlClient* client, Device& device, UMockdevIoctlData* arg, const std::string& what)
    {
        Client& state = clients[client];
        if (state.completed.empty())
            return finish(client, device, what, -1, EAGAIN);
        Urb urb = state.completed.front();
        state.completed.pop_front();
        UMockdevIoctlData* slot = resolve(arg, 0, sizeof(void*));
        if (slot == nullptr) {
            g_object_unref(urb.data);
            return finish(client, device, what, -1, EINVAL);
        }
        umockdev_ioctl_data_set_ptr(slot, 0, urb.data);
        const auto* done = reinterpret_cast<const usbdevfs_urb*>(urb.data->data);
        char detail[64];
        snprintf(detail, sizeof detail, " ep 0x%02x status %d actual %d", urb.received.endpoint, done->status,
                 done->actual_length);
        g_object_unref(slot);
        g_object_unref(urb.data);
        return finish(client, device, what + detail, 0, 0);
    }

    gboolean discard(UMockdevIoctlClient* client, Device& device, UMockdevIoctlData* arg)
    {
        Client& state = clients[client];
        const auto address = *reinterpret_cast<const unsigned long*>(arg->data);
        auto it = std::find_if(state.pending.begin(), state.pending.end(),
                               [address](const Urb& urb) { return urb.data->client_addr == address; });
        if (it == state.pending.end())
            return finish(client, device, "DISCARDURB", -1, EINVAL);
        reinterpret_cast<usbdevfs_urb*>(it->data->data)->status = -ENOENT;
        state.completed.push_back(*it);
        const int endpoint = it->received.endpoint;
        state.pending.erase(it);
        char what[40];
        snprintf(what, sizeof what, "DISCARDURB ep 0x%02x", endpoint);
        return finish(client, device, what, 0, 0);
    }

    // read() walks the descriptors from the descriptor's own offset.
    gboolean on_read(UMockdevIoctlClient* client)
    {
        std::lock_guard lock(mutex);
        Device* device = device_of(client);
        if (device == nullptr)
            return FALSE;
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        Client& state = clients[client];
        const std::size_t wanted = static_cast<std::size_t>(arg->data_len);
        const std::size_t left = device->descriptors.size() - std::min(state.position, device->descriptors.size());
        const std::size_t count = std::min(wanted, left);
        std::copy_n(device->descriptors.begin() + static_cast<std::ptrdiff_t>(state.position), count, arg->data);
        state.position += count;
        return finish(client, *device, "read " + std::to_string(wanted), static_cast<long>(count), 0);
    }

    void on_connected(UMockdevIoctlClient* client)
    {
        std::lock_guard lock(mutex);
        if (Device* device = device_of(client))
            note(*device, "open");
        clients[client] = Client{};
    }

    void on_vanished(UMockdevIoctlClient* client)
    {
        std::lock_guard lock(mutex);
        if (Device* device = device_of(client))
            note(*device, "close");
        auto it = clients.find(client);
        if (it != clients.end()) {
            release(it->second);
            clients.erase(it);
        }
    }

    static gboolean handle_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer state)
    {
        return static_cast<State*>(state)->on_ioctl(client);
    }
    static gboolean handle_read(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer state)
    {
        return static_cast<State*>(state)->on_read(client);
    }
    static void client_connected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer state)
    {
        static_cast<State*>(state)->on_connected(client);
    }
    static void client_vanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer state)
    {
        static_cast<State*>(state)->on_vanished(client);
    }
};

std::string umockdev_preload_library()
{
    return "libumockdev-preload.so.0";
}

std::string describe(const ReceivedUrb& urb)
{
    const char* type = urb.type == USBDEVFS_URB_TYPE_INTERRUPT ? "interrupt"
                       : urb.type == USBDEVFS_URB_TYPE_BULK    ? "bulk"
                       : urb.type == USBDEVFS_URB_TYPE_CONTROL ? "control"
                                                               : "iso";
    char head[48];
    if (urb.endpoint & 0x80) {
        snprintf(head, sizeof head, "%s ep 0x%02x in %d", type, urb.endpoint, urb.length);
        return head;
    }
    snprintf(head, sizeof head, "%s ep 0x%02x out ", type, urb.endpoint);
    return head + hex_bytes(urb.data.data(), urb.data.size());
}

UmockdevController::UmockdevController(const std::vector<EmulatedUsbDevice>& devices) : state_(new State)
{
    State& state = *state_;
    state.testbed = umockdev_testbed_new();
    gchar* root = umockdev_testbed_get_root_dir(state.testbed);
    state.root = root;
    g_free(root);
    state.handler = umockdev_ioctl_base_new();
    g_signal_connect(state.handler, "handle-ioctl", G_CALLBACK(State::handle_ioctl), state_.get());
    g_signal_connect(state.handler, "handle-read", G_CALLBACK(State::handle_read), state_.get());
    g_signal_connect(state.handler, "client-connected", G_CALLBACK(State::client_connected), state_.get());
    g_signal_connect(state.handler, "client-vanished", G_CALLBACK(State::client_vanished), state_.get());

    for (const auto& config : devices) {
        State::Device device{config, node_name(config.bus, config.number), descriptor_bytes(config), {}};
        const std::string bus = std::to_string(config.bus);
        const std::string parent = "usb" + bus;
        const std::string name = config.number == 1 ? parent : bus + "-" + std::to_string(config.number - 1);
        const std::string devname = "bus/usb/" + device.node;
        char vendor[8], product[8], release[8], dev[16];
        snprintf(vendor, sizeof vendor, "%04x", config.vendor);
        snprintf(product, sizeof product, "%04x", config.product);
        snprintf(release, sizeof release, "%04x", config.release);
        snprintf(dev, sizeof dev, "189:%d", (config.bus - 1) * 128 + config.number - 1);
        const std::string busnum = std::to_string(config.bus);
        const std::string devnum = std::to_string(config.number);
        const std::string sysname = config.number == 1 ? parent : parent + "/" + name;
        gchar* syspath = umockdev_testbed_add_device(
            state.testbed, "usb", sysname.c_str(), nullptr, "busnum", busnum.c_str(), "devnum", devnum.c_str(),
            "idVendor", vendor, "idProduct", product, "bcdDevice", release, "dev", dev, nullptr, "DEVNAME",
            devname.c_str(), "DEVTYPE", "usb_device", "BUSNUM", node_name(config.bus, 0).substr(0, 3).c_str(),
            "DEVNUM", device.node.substr(4).c_str(), nullptr);
        if (syspath == nullptr)
            throw std::runtime_error("umockdev could not add " + device.node);
        umockdev_testbed_set_attribute_binary(state.testbed, syspath, "descriptors", device.descriptors.data(),
                                              static_cast<gint>(device.descriptors.size()));
        g_free(syspath);

        // The node itself: a plain file that the preload pairs with the handler.
        const std::filesystem::path path = std::filesystem::path(state.root) / "dev" / devname;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path).put('\0');
        chmod(path.c_str(), config.writable ? 0664 : 0444);
        GError* error = nullptr;
        if (!umockdev_testbed_attach_ioctl(state.testbed, ("/dev/" + devname).c_str(), state.handler, &error)) {
            std::string message = error != nullptr ? error->message : "?";
            g_clear_error(&error);
            throw std::runtime_error("umockdev could not attach to " + device.node + ": " + message);
        }
        state.devices.push_back(std::move(device));
    }
}

UmockdevController::~UmockdevController() = default;

std::vector<std::string> UmockdevController::log() const
{
    std::lock_guard lock(state_->mutex);
    return state_->log;
}

std::vector<ReceivedUrb> UmockdevController::urbs() const
{
    std::lock_guard lock(state_->mutex);
    return state_->urbs;
}

std::vector<std::string> UmockdevController::urbs_of(const std::string& node) const
{
    std::vector<std::string> out;
    for (const auto& urb : urbs())
        if (urb.node == node)
            out.push_back(describe(urb));
    return out;
}

std::string UmockdevController::root() const
{
    return state_->root;
}
