// SPDX-License-Identifier: GPL-2.0-or-later
// Part of the simulated USB library: moves the product's USB lock files from
// the system's lock folder into the test's own folder, so that tests running
// in parallel on look-alike simulated controllers (all "001/002") never wait
// for each other, while runs sharing one scenario folder do.
//
// The folder is TOVRA_SIM_LOCK_DIR, else the folder of the TOVRA_SIM_USB
// scenario file; with neither set, nothing is redirected.
#include <dlfcn.h>
#include <fcntl.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr const char* kLockPrefix = "/run/lock/tovra-control-";

std::string lock_folder()
{
    if (const char* dir = std::getenv("TOVRA_SIM_LOCK_DIR"); dir != nullptr && *dir != '\0')
        return dir;
    const char* scenario = std::getenv("TOVRA_SIM_USB");
    if (scenario == nullptr || *scenario == '\0')
        return {};
    std::string path = scenario;
    auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// The path to open instead, or the same path when it is not a lock file.
std::string redirected(const char* path)
{
    if (path == nullptr || std::strncmp(path, kLockPrefix, std::strlen(kLockPrefix)) != 0)
        return path == nullptr ? std::string() : std::string(path);
    std::string folder = lock_folder();
    if (folder.empty())
        return path;
    return folder + "/" + (path + std::strlen("/run/lock/"));
}

using OpenFunc = int (*)(const char*, int, ...);

int forward(const char* symbol, const char* path, int flags, mode_t mode)
{
    static OpenFunc real_open = reinterpret_cast<OpenFunc>(dlsym(RTLD_NEXT, "open"));
    static OpenFunc real_open64 = reinterpret_cast<OpenFunc>(dlsym(RTLD_NEXT, "open64"));
    OpenFunc real = std::strcmp(symbol, "open64") == 0 && real_open64 != nullptr ? real_open64 : real_open;
    if (path == nullptr)
        return real(path, flags, mode);
    const std::string target = redirected(path);
    return real(target.c_str(), flags, mode);
}

mode_t mode_argument(int flags, va_list args)
{
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

}  // namespace

extern "C" int open(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_argument(flags, args);
    va_end(args);
    return forward("open", path, flags, mode);
}

extern "C" int open64(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_argument(flags, args);
    va_end(args);
    return forward("open64", path, flags, mode);
}
