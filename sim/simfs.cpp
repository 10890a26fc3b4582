// SPDX-License-Identifier: GPL-2.0-or-later
// Part of the simulated USB library: the files of the simulated world, in the
// test's own folders, so that tests running in parallel on look-alike
// controllers (all "001/002") never wait for each other, while runs sharing
// one folder do. Opens of the product's paths are redirected:
//
//   /dev/bus/usb/REST            to $DEVDIR/REST (device_dir())
//   /sys/bus/usb/devices[/REST]  to $DEVDIR/sys[/REST]
//   /run/lock/tovra-control-*    to $TOVRA_SIM_LOCK_DIR, else to the folder of
//                                the $TOVRA_SIM_USB scenario file
// With no folder to go to, nothing is redirected. The tests run as root, who
// may open any file, so a node opens as for an ordinary user outside its group.
// getgrnam() and getgrnam_r() find no group plugdev when the scenario hides it.
#include "simfs.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace {

constexpr int kScenarioError = 99;
constexpr std::string_view kDeviceFolder = "/dev/bus/usb/";
constexpr std::string_view kSysfsFolder = "/sys/bus/usb/devices";

// The scenario whose sysfs view is still to be written: only a program that
// looks there pays for it.
const sim::Scenario* sysfs_pending = nullptr;

std::string env(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string folder_of(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

// The path to open instead, or the path itself.
std::string redirected(std::string_view path)
{
    constexpr std::string_view lock_folder = "/run/lock/";
    if (path.starts_with(lock_folder) && path.substr(lock_folder.size()).starts_with("tovra-control-")) {
        std::string folder = env("TOVRA_SIM_LOCK_DIR");
        if (folder.empty() && !env("TOVRA_SIM_USB").empty())
            folder = folder_of(env("TOVRA_SIM_USB"));
        if (!folder.empty())
            return folder + "/" + std::string(path.substr(lock_folder.size()));
    }
    const std::string devices = sim::device_dir();
    if (!devices.empty() && path.starts_with(kDeviceFolder))
        return devices + "/" + std::string(path.substr(kDeviceFolder.size()));
    if (!devices.empty() && path.starts_with(kSysfsFolder) &&
        (path.size() == kSysfsFolder.size() || path[kSysfsFolder.size()] == '/'))
        return devices + "/sys" + std::string(path.substr(kSysfsFolder.size()));
    return std::string(path);
}

// Whether an ordinary user outside the node's group is refused flags on a
// file of this mode: only the "other" bits count, and O_PATH asks for no access.
bool refused(mode_t mode, int flags)
{
    const int access = flags & O_ACCMODE;
    const mode_t wanted = (access != O_WRONLY ? S_IROTH : 0) | (access != O_RDONLY ? S_IWOTH : 0);
    return (flags & O_PATH) == 0 && (mode & wanted) != wanted;
}

// The function that the interposed one stands in front of.
template <typename Function>
Function real(const char* symbol)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, symbol));
}

int forward(const char* symbol, const char* path, int flags, va_list args)
{
    const auto open = real<int (*)(const char*, int, ...)>(symbol);
    const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(args, int)) : 0;
    if (path == nullptr)
        return open(path, flags, mode);
    if (const int error = sim::tty_lock_error(path, flags); error != 0) {
        errno = error;
        return -1;
    }
    const std::string target = redirected(path);
    if (target != path && std::string_view(path).starts_with(kSysfsFolder))
        sim::write_sysfs();
    struct stat node {};
    if (target != path && std::string_view(path).starts_with(kDeviceFolder) && ::stat(target.c_str(), &node) == 0 &&
        refused(node.st_mode, flags)) {
        errno = EACCES;
        return -1;
    }
    const int fd = open(target.c_str(), flags, mode);
    if (fd >= 0)
        sim::replug_after_open(path);
    return fd;
}

// The group plugdev is looked up in vain when the scenario says the system has none.
bool hidden(const char* name)
{
    return name != nullptr && std::string_view(name) == "plugdev" && sim::read_scenario().no_plugdev;
}

// Makes path with text and mode in one step, so that another run never sees
// it half made: replacing what is there, or (a node) leaving it alone.
void publish(const std::string& path, std::string_view text, mode_t mode, bool replace,
             gid_t owner = static_cast<gid_t>(-1))
{
    if (struct stat there {}; !replace && ::stat(path.c_str(), &there) == 0)
        return;
    const std::string temporary = path + ".new" + std::to_string(::getpid());
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    const bool made = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                      ::fchmod(fd, mode) == 0;
    [[maybe_unused]] const int ignored = ::fchown(fd, static_cast<uid_t>(-1), owner);
    ::close(fd);
    if (made && replace && ::rename(temporary.c_str(), path.c_str()) == 0)
        return;
    if (made && !replace && ::link(temporary.c_str(), path.c_str()) != 0) {
        // path exists: a node that a test made stays as it is
    }
    ::unlink(temporary.c_str());
}

}  // namespace

namespace sim {

std::string device_dir()
{
    const std::string folder = env("TOVRA_SIM_USB_DEVDIR");
    if (!folder.empty() || env("TOVRA_SIM_USB").empty())
        return folder;
    return folder_of(env("TOVRA_SIM_USB")) + "/dev";
}

Scenario read_scenario()
{
    const std::string path = env("TOVRA_SIM_USB");
    if (path.empty())
        return {};
    std::string failure = "scenario " + path + ": read error";
    if (std::FILE* file = std::fopen(path.c_str(), "re")) {
        std::string text;
        char chunk[4096];
        for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;)
            text.append(chunk, n);
        const bool failed = std::ferror(file);
        std::fclose(file);
        try {
            if (!failed)
                return parse_scenario(text);
        } catch (const std::runtime_error& error) {
            failure = error.what();
        }
    } else {
        failure = "scenario " + path + ": " + std::strerror(errno);
    }
    std::fprintf(stderr, "simusb: %s\n", failure.c_str());
    std::fflush(stderr);
    ::_exit(kScenarioError);
}

int node_error(const Device& device, int flags)
{
    const std::string folder = device_dir();
    struct stat node {};
    if (device.node && !folder.empty() && ::stat((folder + "/" + device.name).c_str(), &node) == 0)
        return refused(node.st_mode, flags) ? EACCES : 0;
    if (!device.node || (!folder.empty() && errno == ENOENT))
        return ENOENT;
    return refused(device.mode, flags) ? EACCES : 0;  // no folder to make nodes in
}

void make_device_files(const Scenario& scenario)
{
    const std::string folder = device_dir();
    if (folder.empty())
        return;
    // udev leaves a node in root's group when the group of its rule does not exist.
    const group* plugdev = scenario.no_plugdev ? nullptr : real<group* (*)(const char*)>("getgrnam")("plugdev");
    std::error_code ignored;
    for (const std::vector<Device>& bus : scenario.buses) {
        for (const Device& device : bus) {
            std::filesystem::create_directories(folder + "/" + device.name.substr(0, 3), ignored);
            if (device.node)
                publish(folder + "/" + device.name, "", device.mode, false, plugdev ? plugdev->gr_gid : 0);
        }
    }
    sysfs_pending = &scenario;
}

void write_sysfs()
{
    const std::string folder = device_dir();
    if (sysfs_pending == nullptr || folder.empty())
        return;
    std::error_code ignored;
    for (const std::vector<Device>& bus : std::exchange(sysfs_pending, nullptr)->buses) {
        for (const Device& device : bus) {
            const int busnum = std::stoi(device.name.substr(0, 3));
            const int devnum = std::stoi(device.name.substr(4));
            // An interface folder too: the real sysfs has them, without these files.
            const std::string entry = strfmt("%s/sys/%d-%d", folder.c_str(), busnum, devnum);
            std::filesystem::create_directories(entry + ":1.0", ignored);
            std::filesystem::create_directories(entry, ignored);
            publish(entry + "/idVendor", strfmt("%04x\n", device.vendor), 0444, true);
            publish(entry + "/idProduct", strfmt("%04x\n", device.product), 0444, true);
            publish(entry + "/busnum", strfmt("%d\n", busnum), 0444, true);
            publish(entry + "/devnum", strfmt("%d\n", devnum), 0444, true);
        }
    }
}

}  // namespace sim

// open and open64 by their symbols' names: with 64-bit file offsets on a 32-bit system (armhf) the headers turn
// a definition of open into one of open64. Each stands in front of its own.
extern "C" int sim_open(const char* path, int flags, ...) __asm__("open");
extern "C" int sim_open64(const char* path, int flags, ...) __asm__("open64");

extern "C" int sim_open(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const int fd = forward("open", path, flags, args);
    va_end(args);
    return fd;
}

extern "C" int sim_open64(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const int fd = forward("open64", path, flags, args);
    va_end(args);
    return fd;
}

extern "C" group* getgrnam(const char* name)
{
    return hidden(name) ? nullptr : real<group* (*)(const char*)>("getgrnam")(name);
}

extern "C" int getgrnam_r(const char* name, group* entry, char* buffer, size_t size, group** result)
{
    using GetgrnamR = int (*)(const char*, group*, char*, size_t, group**);
    if (!hidden(name))
        return real<GetgrnamR>("getgrnam_r")(name, entry, buffer, size, result);
    *result = nullptr;
    return 0;
}
