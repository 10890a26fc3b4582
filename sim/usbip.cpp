// SPDX-License-Identifier: GPL-2.0-or-later
// usbip-controller: the controllers of a scenario as USB devices of the
// running kernel. Each device is attached to a port of vhci-hcd, the virtual
// host controller of USB/IP, over a stream socket of ours, and answers the
// kernel's USB/IP requests itself, as the controller would: enumeration, the
// HID report descriptor that makes usbhid bind, reports on endpoint 0x01 and
// the version reply on 0x81. Write faults of the scenario become what the
// host sees of a real device: ETIMEDOUT is never answered (the host's own
// time-out unlinks it), any other errno ends the transfer with -errno (EPIPE:
// a stall), and ENODEV unplugs the controller (the socket closes). The
// scenario's bus N is vhci_hcd.N-1, a host controller with buses of its own;
// delivered command reports go to the simulated boxes as libtovra-simusb's do.
//
// Usage: usbip-controller SCENARIO [LOG]   (as root: vhci's attach file)
// Prints "attached PORT NAME" per device, then "ready"; runs until every
// device is gone or SIGTERM/SIGINT, which unplug them all.

#include <arpa/inet.h>
#include <fcntl.h>
#include <glob.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <list>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "descriptor.h"
#include "scenario.h"

namespace {

using sim::Bytes;
using sim::strfmt;

// vhci_hcd.0 attaches devices to the ports of every vhci_hcd.N: port numbers
// run through each controller's high-speed ports (which take full-speed
// devices too), then its SuperSpeed ones, then the next controller's.
constexpr const char* kAttach = "/sys/devices/platform/vhci_hcd.0/attach";
constexpr const char* kPortCount = "/sys/devices/platform/vhci_hcd.0/nports";
constexpr int kSpeedFull = 2;     // enum usb_device_speed
constexpr int kHeaderSize = 48;   // every USB/IP header, whatever its kind
constexpr std::uint32_t kCmdSubmit = 1, kCmdUnlink = 2, kRetSubmit = 3, kRetUnlink = 4;
constexpr std::uint32_t kDirIn = 1;

// Vendor-defined usage page, one application collection with an 8-byte input
// and an 8-byte output report: enough for usbhid and hid-generic to bind.
constexpr std::array<std::uint8_t, 25> kReportDescriptor = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75,
    0x08, 0x95, 0x08, 0x09, 0x01, 0x81, 0x02, 0x09, 0x01, 0x91, 0x02, 0xC0};

// The shared configuration descriptor with the HID class descriptor after the
// interface, where usbhid looks for it.
Bytes config_descriptor()
{
    Bytes config = sim::config_descriptor();
    const Bytes hid = {9, 0x21, 0x11, 0x01, 0, 1, 0x22, kReportDescriptor.size(), 0};
    config.insert(config.begin() + 18, hid.begin(), hid.end());
    config[2] = static_cast<std::uint8_t>(config.size());
    return config;
}

std::uint32_t be32(const std::uint8_t* p)
{
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

// A header of words in network order, padded to kHeaderSize.
Bytes header(std::initializer_list<std::uint32_t> words)
{
    Bytes out(kHeaderSize, 0);
    auto at = out.begin();
    for (const std::uint32_t word : words)
        for (int shift = 24; shift >= 0; shift -= 8)
            *at++ = static_cast<std::uint8_t>(word >> shift);
    return out;
}

struct Urb {
    std::uint32_t seqnum;
    std::uint32_t direction;
    std::uint32_t ep;
};

// One attached controller and the transfers it has not answered yet.
struct Link {
    sim::Device device;
    Descriptor socket;
    int port = -1;
    std::list<Urb> held;  // reads waiting for a reply, writes never to be answered
};

class Controllers {
public:
    explicit Controllers(const char* log) : log_(log ? log : "") {}

    void attach(sim::Device device, int controller);
    int run();

private:
    bool serve(Link& link);
    bool submit(Link& link, const std::uint8_t* h);
    void reply_control(Link& link, const Urb& urb, const std::uint8_t* setup);
    void complete(Link& link, const Urb& urb, int status, const std::uint8_t* data = nullptr, int length = 0);
    void answer_reads(Link& link);
    void log(const std::string& line);
    std::string since_start() const;  // " | N ms", the time of a report line

    std::string log_;
    std::list<Link> links_;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

void Controllers::log(const std::string& line)
{
    if (log_.empty())
        return;
    std::ofstream(log_, std::ios::app) << line << '\n';
}

std::string Controllers::since_start() const
{
    using std::chrono::milliseconds;
    const auto ms = std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start_).count();
    return strfmt(" | %lld ms", static_cast<long long>(ms));
}

// A connected stream pair: a socketpair, or, where the kernel would not take
// one, a TCP connection over the loopback.
std::pair<Descriptor, Descriptor> stream_pair(bool tcp)
{
    if (!tcp) {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
            throw std::runtime_error(strfmt("socketpair: %s", strerror(errno)));
        return {Descriptor(fds[0]), Descriptor(fds[1])};
    }
    Descriptor listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    Descriptor ours(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (bind(listener.get(), reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(listener.get(), 1) != 0 ||
        getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
        connect(ours.get(), reinterpret_cast<sockaddr*>(&address), size) != 0)
        throw std::runtime_error(strfmt("loopback connection: %s", strerror(errno)));
    return {std::move(ours), Descriptor(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC))};
}

// The ports of each vhci_hcd.N, high-speed and SuperSpeed; 0 when vhci is not there.
int ports_per_controller()
{
    int ports = 0;
    glob_t controllers{};
    if (std::ifstream(kPortCount) >> ports && glob("/sys/devices/platform/vhci_hcd.*", 0, nullptr, &controllers) == 0)
        ports /= static_cast<int>(controllers.gl_pathc);
    globfree(&controllers);
    return ports;
}

// Hands the kernel's end to the first free high-speed port of vhci_hcd.N;
// 0, or the errno of the last try.
int attach_port(int kernel_end, std::uint32_t devid, int controller, int& port)
{
    static const int per_controller = ports_per_controller();
    int error = ENODEV;
    for (port = controller * per_controller; port < controller * per_controller + per_controller / 2; ++port) {
        const Descriptor file(open(kAttach, O_WRONLY | O_CLOEXEC));
        const std::string line = strfmt("%d %d %u %d", port, kernel_end, devid, kSpeedFull);
        if (file.get() >= 0 && write(file.get(), line.data(), line.size()) == static_cast<ssize_t>(line.size()))
            return 0;
        error = errno;
        if (error != EBUSY)
            break;  // a port in use says EBUSY; anything else is no use trying further
    }
    return error;
}

void Controllers::attach(sim::Device device, int controller)
{
    const std::uint32_t devid = 0x10000u | static_cast<std::uint32_t>(links_.size() + 2);
    for (const bool tcp : {false, true}) {
        auto [ours, kernels] = stream_pair(tcp);
        int port = -1;
        const int error = attach_port(kernels.get(), devid, controller, port);
        if (error == 0) {
            // The kernel holds its end now; ours is all we keep.
            printf("attached %d %s%s\n", port, device.name.c_str(), tcp ? " (tcp)" : "");
            links_.push_back({std::move(device), std::move(ours), port, {}});
            return;
        }
        if (tcp || error == EBUSY || error == ENODEV)
            throw std::runtime_error(strfmt("%s: %s (vhci_hcd.%d)", kAttach, strerror(error), controller));
    }
}

bool read_all(int fd, std::uint8_t* data, std::size_t size)
{
    return size == 0 || recv(fd, data, size, MSG_WAITALL) == static_cast<ssize_t>(size);
}

void send_all(int fd, const Bytes& data)
{
    (void)send(fd, data.data(), data.size(), MSG_NOSIGNAL);  // a closed peer shows at the next read
}

void Controllers::complete(Link& link, const Urb& urb, int status, const std::uint8_t* data, int length)
{
    // actual_length counts what went out for a write, what comes back for a read.
    Bytes out = header({kRetSubmit, urb.seqnum, 0, 0, 0, static_cast<std::uint32_t>(status),
                        static_cast<std::uint32_t>(length), 0, 0, 0});
    if (urb.direction == kDirIn && data != nullptr)
        out.insert(out.end(), data, data + length);
    send_all(link.socket.get(), out);
}

void Controllers::reply_control(Link& link, const Urb& urb, const std::uint8_t* setup)
{
    const int request = setup[0] << 8 | setup[1];
    const int type = setup[3];
    const int index = setup[2];
    const std::size_t length = setup[6] | setup[7] << 8;
    Bytes data;
    int status = 0;
    if (request == 0x8006 && type == 1) {
        data = link.device.device_descriptor();
    } else if (request == 0x8006 && type == 2) {
        data = config_descriptor();
    } else if (request == 0x8006 && type == 3) {
        status = link.device.string_descriptor(index, data);
    } else if (request == 0x8106 && type == 0x22) {
        data.assign(kReportDescriptor.begin(), kReportDescriptor.end());
    } else if (request != 0x0009 && request != 0x0b01 && request != 0x0201) {
        status = -EPIPE;  // class requests (SET_IDLE) and anything unknown: stalled
    }
    data.resize(std::min(data.size(), length));
    log(strfmt("CONTROL(%s, 0x%02x 0x%02x 0x%04x 0x%04x, %zu bytes)", link.device.name.c_str(), setup[0], setup[1],
               setup[2] | setup[3] << 8, setup[4] | setup[5] << 8, length) +
        sim::result_text(status < 0 ? status : static_cast<int>(data.size())));
    complete(link, urb, status, data.data(), static_cast<int>(data.size()));
}

// Every read held so far gets the reply as soon as one is due.
void Controllers::answer_reads(Link& link)
{
    for (auto urb = link.held.begin(); urb != link.held.end(); ++urb) {
        if (urb->direction != kDirIn)
            continue;
        std::array<std::uint8_t, sim::kReportSize> reply{};
        const int count = link.device.read(reply.data());
        if (count < 0)
            return;
        log(sim::report_line("in", link.device.name, reply.data(), count) + since_start());
        complete(link, *urb, 0, reply.data(), count);
        link.held.erase(urb);
        return;
    }
}

// One CMD_SUBMIT; false when the controller unplugs itself.
bool Controllers::submit(Link& link, const std::uint8_t* h)
{
    const Urb urb{be32(h + 4), be32(h + 12), be32(h + 16)};
    const auto length = static_cast<std::int32_t>(be32(h + 24));
    Bytes data(urb.direction == kDirIn ? 0 : std::max(length, 0));
    if (!read_all(link.socket.get(), data.data(), data.size()))
        return false;
    if (urb.ep == 0) {
        reply_control(link, urb, h + 40);
        return true;
    }
    if (urb.direction == kDirIn) {
        link.held.push_back(urb);
        answer_reads(link);
        return true;
    }
    const int written = link.device.write(static_cast<int>(data.size()));
    if (written == -ENODEV) {
        log(strfmt("unplugged %s", link.device.name.c_str()));
        return false;
    }
    if (written == -ETIMEDOUT) {
        // The host gives up and unlinks it, or cancels it when its process ends.
        log(strfmt("HELD(%s, ep 0x%02x)", link.device.name.c_str(), urb.ep));
        link.held.push_back(urb);
    } else if (written < 0) {
        complete(link, urb, written);
    } else {
        if (written == sim::kReportSize) {
            log(link.device.deliver(data.data()) + since_start());
            sim::send_key_to_box(sim::command_of(data.data()));
        }
        complete(link, urb, 0, nullptr, written);
        answer_reads(link);
    }
    return true;
}

// Reads and answers one request; false when the link is gone.
bool Controllers::serve(Link& link)
{
    std::array<std::uint8_t, kHeaderSize> h{};
    if (!read_all(link.socket.get(), h.data(), h.size()))
        return false;
    const std::uint32_t command = be32(h.data());
    if (command == kCmdSubmit)
        return submit(link, h.data());
    if (command != kCmdUnlink)
        return false;
    // A transfer that is still ours is cancelled; one already answered is not.
    const std::uint32_t target = be32(h.data() + 20);
    const auto held = std::ranges::find(link.held, target, &Urb::seqnum);
    const int status = held == link.held.end() ? 0 : -ECONNRESET;
    if (held != link.held.end()) {
        log(strfmt("UNLINK(%s, ep 0x%02x)", link.device.name.c_str(), held->ep | (held->direction == kDirIn ? 0x80 : 0)) +
            sim::result_text(status));
        link.held.erase(held);
    }
    send_all(link.socket.get(), header({kRetUnlink, be32(h.data() + 4), 0, 0, 0, static_cast<std::uint32_t>(status)}));
    return true;
}

int Controllers::run()
{
    puts("ready");
    fflush(stdout);
    while (!links_.empty()) {
        std::vector<pollfd> fds;
        for (const Link& link : links_)
            fds.push_back({link.socket.get(), POLLIN, 0});
        if (poll(fds.data(), fds.size(), -1) < 0)
            return errno == EINTR ? 0 : 1;
        auto link = links_.begin();
        for (const pollfd& fd : fds) {
            auto next = std::next(link);
            if (fd.revents != 0 && !serve(*link))
                links_.erase(link);  // its socket closes: the kernel detaches the port
            link = next;
        }
    }
    return 0;
}

void stop(int) {}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: usbip-controller SCENARIO [LOG]\n");
        return 2;
    }
    try {
        std::ostringstream text;
        text << std::ifstream(argv[1]).rdbuf();
        Controllers controllers(argc > 2 ? argv[2] : nullptr);
        const auto buses = sim::parse_scenario(text.str()).buses;
        for (std::size_t bus = 0; bus < buses.size(); ++bus)
            for (const sim::Device& device : buses[bus])
                controllers.attach(device, static_cast<int>(bus));
        // Interrupted poll ends the run; the sockets close on the way out.
        struct sigaction action{};
        action.sa_handler = stop;
        sigaction(SIGTERM, &action, nullptr);
        sigaction(SIGINT, &action, nullptr);
        return controllers.run();
    } catch (const std::exception& error) {
        fprintf(stderr, "usbip-controller: %s\n", error.what());
        return 1;
    }
}
