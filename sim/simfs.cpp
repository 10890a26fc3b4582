// SPDX-License-Identifier: GPL-2.0-or-later
// Part of the simulated USB library: moves the files that the product locks
// into the test's own folders, so that tests running in parallel on
// look-alike simulated controllers (all "001/002") never wait for each other,
// while runs sharing one scenario folder do.
//
//   /run/lock/tovra-control-*  to $TOVRA_SIM_LOCK_DIR, else to the folder of
//                              the $TOVRA_SIM_USB scenario file
//   /dev/bus/usb/REST          to $TOVRA_SIM_USB_DEVDIR/REST
// With the variables unset or empty, nothing is redirected.
#include <dlfcn.h>
#include <fcntl.h>

#include <cstdarg>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

std::string env(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

// The path to open instead, or the path itself.
std::string redirected(std::string_view path)
{
    constexpr std::string_view lock_folder = "/run/lock/";
    constexpr std::string_view device_folder = "/dev/bus/usb/";
    if (path.starts_with(lock_folder) && path.substr(lock_folder.size()).starts_with("tovra-control-")) {
        std::string folder = env("TOVRA_SIM_LOCK_DIR");
        if (folder.empty() && !env("TOVRA_SIM_USB").empty()) {
            folder = env("TOVRA_SIM_USB");
            const std::size_t slash = folder.rfind('/');
            folder = slash == std::string::npos ? "." : folder.substr(0, slash);
        }
        if (!folder.empty())
            return folder + "/" + std::string(path.substr(lock_folder.size()));
    }
    if (path.starts_with(device_folder) && !env("TOVRA_SIM_USB_DEVDIR").empty())
        return env("TOVRA_SIM_USB_DEVDIR") + "/" + std::string(path.substr(device_folder.size()));
    return std::string(path);
}

using OpenFunc = int (*)(const char*, int, ...);

int forward(const char* symbol, const char* path, int flags, va_list args)
{
    const auto real = reinterpret_cast<OpenFunc>(dlsym(RTLD_NEXT, symbol));
    const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(args, int)) : 0;
    if (path == nullptr)
        return real(path, flags, mode);
    return real(redirected(path).c_str(), flags, mode);
}

}  // namespace

extern "C" int open(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const int fd = forward("open", path, flags, args);
    va_end(args);
    return fd;
}

extern "C" int open64(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const int fd = forward("open64", path, flags, args);
    va_end(args);
    return fd;
}
