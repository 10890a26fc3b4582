// SPDX-License-Identifier: GPL-2.0-or-later
// The usbfs side of emulated controllers: descriptors by read(), string
// requests, detach, configuration, claim and interrupt URBs by ioctl().
#include "usbfs.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <umockdev.h>

#include <algorithm>
#include <cstddef>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <stdexcept>

#include "scenario.h"

namespace {

using sim::strfmt;

struct Unref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
using Data = std::unique_ptr<UMockdevIoctlData, Unref>;

// The client memory that an ioctl argument points to; null when it cannot be read.
Data resolve(UMockdevIoctlData* data, std::size_t offset, std::size_t length)
{
    return Data(umockdev_ioctl_data_resolve(data, offset, length, nullptr));
}

struct Urb {
    Data data;  // the caller's usbdevfs_urb, handed back when reaped
    int endpoint;
};

// The handler cannot tell how a client opened its node: a node without write
// permission stands for a read-only open, which usbfs refuses every request.
bool read_only(const sim::Device& device)
{
    return (device.mode & S_IWOTH) == 0;
}

// One open descriptor of a node.
struct Client {
    std::size_t position = 0;   // read() offset in the descriptors
    std::deque<Urb> completed;  // waiting to be reaped
    std::vector<Urb> pending;   // reads with no reply: only a discard ends them
};

}  // namespace

struct UsbfsTestbed::State {
    UMockdevTestbed* testbed = nullptr;
    UMockdevIoctlBase* handler = nullptr;
    std::string root;
    std::vector<sim::Device> devices;

    std::mutex mutex;
    std::vector<std::string> log;
    std::map<UMockdevIoctlClient*, Client> clients;

    ~State()
    {
        clients.clear();
        if (handler)
            g_object_unref(handler);
        if (testbed)
            g_object_unref(testbed);  // removes the testbed's folder
    }

    sim::Device* device_of(UMockdevIoctlClient* client)
    {
        const std::string node = umockdev_ioctl_client_get_devnode(client);
        for (sim::Device& device : devices)
            if (node == "/dev/bus/usb/" + device.name)
                return &device;
        return nullptr;
    }

    // A request and its result: line names it for the log ("" for the
    // library's own housekeeping: enumeration and reaping), tail is a report.
    int handle(Client& client, sim::Device& device, unsigned long request, UMockdevIoctlData* arg,
               std::string& line, std::string& tail)
    {
        if (request == USBDEVFS_SUBMITURB)
            return submit(client, device, arg, line, tail);
        if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY)
            return reap(client, arg);
        if (request == USBDEVFS_DISCARDURB)
            return discard(client, device, arg, line);
        if (request == USBDEVFS_CONTROL)
            return control(device, arg, line);
        if (request == USBDEVFS_SETCONFIGURATION || request == USBDEVFS_CLAIMINTERFACE ||
            request == USBDEVFS_RELEASEINTERFACE) {
            const Data value = resolve(arg, 0, sizeof(unsigned));
            if (!value)
                return -EINVAL;
            const unsigned number = *reinterpret_cast<unsigned*>(value->data);
            const char* name = request == USBDEVFS_SETCONFIGURATION ? "SETCONFIGURATION"
                               : request == USBDEVFS_CLAIMINTERFACE ? "CLAIMINTERFACE"
                                                                    : "RELEASEINTERFACE";
            line = strfmt("%s(%s, %u)", name, device.name.c_str(), number);
            if (read_only(device))
                return -EPERM;
            if (request == USBDEVFS_SETCONFIGURATION)
                return device.setconfig_error ? -device.setconfig_error : number <= 1 ? 0 : -EINVAL;
            if (request == USBDEVFS_CLAIMINTERFACE && device.claim_error)
                return -device.claim_error;
            return number == 0 ? 0 : -EINVAL;
        }
        if (request == USBDEVFS_IOCTL) {  // to the interface's kernel driver: none is bound
            const Data command = resolve(arg, 0, sizeof(usbdevfs_ioctl));
            if (!command)
                return -EINVAL;
            const auto* ioctl = reinterpret_cast<usbdevfs_ioctl*>(command->data);
            if (static_cast<unsigned>(ioctl->ioctl_code) != USBDEVFS_DISCONNECT)
                return read_only(device) ? -EPERM : -ENODATA;  // the hub port query while enumerating
            line = strfmt("DISCONNECT(%s, %d)", device.name.c_str(), ioctl->ifno);
            return read_only(device) ? -EPERM : ioctl->ifno == 0 ? -device.detach_error : -ENODATA;
        }
        if (request == USBDEVFS_CONNECTINFO) {
            const Data info = resolve(arg, 0, sizeof(usbdevfs_connectinfo));
            if (!info)
                return -EINVAL;
            if (read_only(device))
                return -EPERM;
            auto& connection = *reinterpret_cast<usbdevfs_connectinfo*>(info->data);
            connection.devnum = static_cast<unsigned>(std::stoul(device.name.substr(4)));
            connection.slow = 0;
            return 0;
        }
        line = strfmt("ioctl(%s, 0x%lx)", device.name.c_str(), request);
        return -ENOTTY;
    }

    // GET_DESCRIPTOR(string) on the control endpoint; anything else stalls.
    int control(sim::Device& device, UMockdevIoctlData* arg, std::string& line)
    {
        const Data transfer = resolve(arg, 0, sizeof(usbdevfs_ctrltransfer));
        if (!transfer)
            return -EINVAL;
        const auto& setup = *reinterpret_cast<usbdevfs_ctrltransfer*>(transfer->data);
        line = strfmt("CONTROL(%s, 0x%02x 0x%02x 0x%04x 0x%04x, %u bytes)", device.name.c_str(), setup.bRequestType,
                      setup.bRequest, setup.wValue, setup.wIndex, setup.wLength);
        if (read_only(device))
            return -EPERM;
        sim::Bytes reply;
        if (setup.bRequestType != 0x80 || setup.bRequest != 6 || setup.wValue >> 8 != 3 ||
            device.string_descriptor(setup.wValue & 0xFF, reply) < 0)
            return -EPIPE;
        const Data buffer = resolve(transfer.get(), offsetof(usbdevfs_ctrltransfer, data), setup.wLength);
        if (!buffer)
            return -EINVAL;
        const std::size_t count = std::min<std::size_t>(reply.size(), setup.wLength);
        std::copy_n(reply.begin(), count, buffer->data);
        return static_cast<int>(count);
    }

    // Interrupt URBs on the controller's two endpoints. A write completes at
    // once; a read completes when a reply is due, else it waits for a discard.
    int submit(Client& client, sim::Device& device, UMockdevIoctlData* arg, std::string& line, std::string& tail)
    {
        Data data = resolve(arg, 0, sizeof(usbdevfs_urb));
        if (!data)
            return -EINVAL;
        auto* urb = reinterpret_cast<usbdevfs_urb*>(data->data);
        line = strfmt("SUBMITURB(%s, ep 0x%02x, %d bytes)", device.name.c_str(), urb->endpoint, urb->buffer_length);
        if (read_only(device))
            return -EPERM;
        const bool in = urb->endpoint == sim::kEndpointIn;
        if (urb->type != USBDEVFS_URB_TYPE_INTERRUPT || (!in && urb->endpoint != sim::kEndpointOut) ||
            urb->buffer_length < 0 || urb->buffer_length > 64)
            return -ENOENT;
        const Data buffer = resolve(data.get(), offsetof(usbdevfs_urb, buffer), static_cast<std::size_t>(urb->buffer_length));
        if (!buffer)
            return -EINVAL;
        urb->status = 0;
        urb->actual_length = 0;
        if (!in) {
            const int count = device.write(urb->buffer_length);
            if (count < 0)
                return count;
            urb->actual_length = count;
            if (count == sim::kReportSize && urb->buffer_length == sim::kReportSize)
                tail = device.deliver(buffer->data);
        } else {
            std::uint8_t reply[sim::kReportSize];
            const int count = device.read(reply);
            if (count < 0) {
                client.pending.push_back({std::move(data), urb->endpoint});
                return 0;
            }
            urb->actual_length = std::min(count, urb->buffer_length);
            std::copy_n(reply, urb->actual_length, buffer->data);
            if (urb->actual_length > 0)
                tail = sim::report_line("in", device.name, reply, urb->actual_length);
        }
        client.completed.push_back({std::move(data), urb->endpoint});
        return 0;
    }

    int reap(Client& client, UMockdevIoctlData* arg)
    {
        if (client.completed.empty())
            return -EAGAIN;
        const Data slot = resolve(arg, 0, sizeof(void*));
        if (!slot)
            return -EINVAL;
        umockdev_ioctl_data_set_ptr(slot.get(), 0, client.completed.front().data.get());
        client.completed.pop_front();
        return 0;
    }

    int discard(Client& client, sim::Device& device, UMockdevIoctlData* arg, std::string& line)
    {
        const auto address = *reinterpret_cast<const gulong*>(arg->data);
        const auto urb = std::find_if(client.pending.begin(), client.pending.end(),
                                      [address](const Urb& urb) { return urb.data->client_addr == address; });
        line = strfmt("DISCARDURB(%s, ep 0x%02x)", device.name.c_str(), urb == client.pending.end() ? 0 : urb->endpoint);
        if (urb == client.pending.end())
            return -EINVAL;
        reinterpret_cast<usbdevfs_urb*>(urb->data->data)->status = -ENOENT;
        client.completed.push_back(std::move(*urb));
        client.pending.erase(urb);
        return 0;
    }

    static gboolean on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self)
    {
        State& state = *static_cast<State*>(self);
        std::lock_guard lock(state.mutex);
        sim::Device* device = state.device_of(client);
        if (!device)
            return FALSE;
        std::string line;
        std::string tail;
        const int result = state.handle(state.clients[client], *device, umockdev_ioctl_client_get_request(client),
                                        umockdev_ioctl_client_get_arg(client), line, tail);
        if (!line.empty())
            state.log.push_back(line + sim::result_text(result));
        if (!tail.empty())
            state.log.push_back(tail);
        umockdev_ioctl_client_complete(client, result < 0 ? -1 : result, result < 0 ? -result : 0);
        return TRUE;
    }

    // read() walks the device descriptor and then the configuration descriptor.
    static gboolean on_read(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self)
    {
        State& state = *static_cast<State*>(self);
        std::lock_guard lock(state.mutex);
        const sim::Device* device = state.device_of(client);
        if (!device)
            return FALSE;
        sim::Bytes bytes = device->device_descriptor();
        const sim::Bytes config = sim::config_descriptor();
        bytes.insert(bytes.end(), config.begin(), config.end());
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        std::size_t& position = state.clients[client].position;
        const std::size_t count =
            std::min(static_cast<std::size_t>(arg->data_len), bytes.size() - std::min(position, bytes.size()));
        std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(position), count, arg->data);
        position += count;
        umockdev_ioctl_client_complete(client, static_cast<glong>(count), 0);
        return TRUE;
    }

    static void on_vanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self)
    {
        State& state = *static_cast<State*>(self);
        std::lock_guard lock(state.mutex);
        state.clients.erase(client);
    }
};

UsbfsTestbed::UsbfsTestbed(std::string_view scenario) : state_(std::make_unique<State>())
{
    const sim::Scenario parsed = sim::parse_scenario(scenario);
    if (parsed.newest_first)
        throw std::runtime_error("usbfs cannot set the order libusb lists devices in (listing)");
    if (parsed.compat || parsed.no_plugdev)
        throw std::runtime_error("the library here is libusb 0.1.12, on nodes without groups (library, group)");
    for (const auto& bus : parsed.buses)
        state_->devices.insert(state_->devices.end(), bus.begin(), bus.end());
    state_->testbed = umockdev_testbed_new();
    gchar* root = umockdev_testbed_get_root_dir(state_->testbed);
    state_->root = root;
    g_free(root);
    state_->handler = umockdev_ioctl_base_new();
    g_signal_connect(state_->handler, "handle-ioctl", G_CALLBACK(State::on_ioctl), state_.get());
    g_signal_connect(state_->handler, "handle-read", G_CALLBACK(State::on_read), state_.get());
    g_signal_connect(state_->handler, "client-vanished", G_CALLBACK(State::on_vanished), state_.get());

    for (const sim::Device& device : state_->devices) {
        if (device.open_error)
            throw std::runtime_error(device.name + ": usbfs cannot refuse an open (open=)");
        if ((device.mode & S_IROTH) == 0 || !device.node)
            throw std::runtime_error(device.name + ": no sysfs view here to find a node by (access=none, node=absent)");
        // The node itself is a plain file that the preload pairs with the handler.
        const std::string node = "/dev/bus/usb/" + device.name;
        const std::filesystem::path path = state_->root + node;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path).put('\0');
        ::chmod(path.c_str(), read_only(device) ? 0444 : 0664);
        GError* error = nullptr;
        if (!umockdev_testbed_attach_ioctl(state_->testbed, node.c_str(), state_->handler, &error)) {
            const std::string message = error ? error->message : "?";
            g_clear_error(&error);
            throw std::runtime_error("umockdev cannot attach to " + node + ": " + message);
        }
    }
}

UsbfsTestbed::~UsbfsTestbed() = default;

const std::string& UsbfsTestbed::root() const
{
    return state_->root;
}

std::vector<std::string> UsbfsTestbed::log() const
{
    std::lock_guard lock(state_->mutex);
    return state_->log;
}
