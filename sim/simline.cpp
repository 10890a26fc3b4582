// SPDX-License-Identifier: GPL-2.0-or-later
// Part of the simulated USB library: what the world around a serial port does
// to the program, on request of the environment (sim/README.md):
//
//   TOVRA_SIM_TTY_READS=SCRIPT  the program's reads of terminals go in turn as
//                               SCRIPT says: 'A' finds nothing (EAGAIN: another
//                               program took the bytes), 'S' finds nothing as
//                               another program takes every byte waiting, 'I' is
//                               cut short by a signal (EINTR), '.' reads; after
//                               its end all read
//   TOVRA_SIM_TTY_LOCK=ERRNO    opens of a terminal read-only, as the program
//                               opens a port to lock it, fail with ERRNO
//   TOVRA_SIM_CLOCK_STEP=SECS   the wall clock (time, gettimeofday, CLOCK_REALTIME)
//                               steps by SECS, 1 s after the program first waits
//                               in ppoll, as NTP steps a board's clock at boot
//   TOVRA_SIM_TTY_OUTQ=N        a terminal's output queue holds N bytes for ever
//                               (TIOCOUTQ), as an adapter's that takes frames and
//                               never sends them
//   TOVRA_SIM_REPLUG=LINK:TARGET  right after the first open of the link LINK,
//                               it leads to TARGET: a replug between the
//                               program's lock and the open of its port
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

#include "scenario.h"
#include "simfs.h"

namespace {

template <typename Function>
Function real(const char* symbol)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, symbol));
}

const char* env(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

// The next step of TOVRA_SIM_TTY_READS, '.' once it has run out.
char next_read()
{
    static std::mutex guard;
    static std::size_t done = 0;
    const char* script = env("TOVRA_SIM_TTY_READS");
    const std::lock_guard lock(guard);
    return script != nullptr && done < std::strlen(script) ? script[done++] : '.';
}

// The wall clock's step, once it is due: 0 before.
using Monotonic = std::chrono::steady_clock;
std::atomic<Monotonic::rep> first_wait{0};  // ticks since the clock's epoch; 0: not yet

long clock_step()
{
    const char* step = env("TOVRA_SIM_CLOCK_STEP");
    const Monotonic::rep since = first_wait.load();
    if (step == nullptr || since == 0)
        return 0;
    const auto due = Monotonic::time_point(Monotonic::duration(since)) + std::chrono::seconds(1);
    return Monotonic::now() >= due ? std::strtol(step, nullptr, 10) : 0;
}

}  // namespace

namespace sim {

int tty_lock_error(const char* path, int flags)
{
    const char* name = env("TOVRA_SIM_TTY_LOCK");
    struct stat file {};
    if (name == nullptr || (flags & O_ACCMODE) != O_RDONLY || ::stat(path, &file) != 0 || !S_ISCHR(file.st_mode))
        return 0;
    return errno_from_name(name).value_or(EINVAL);
}

// udev re-points a link when another device takes the place of the one
// unplugged; a test cannot time that between two opens from outside.
void replug_after_open(const char* path)
{
    static bool done = false;
    const char* replug = env("TOVRA_SIM_REPLUG");
    const char* colon = replug != nullptr ? std::strchr(replug, ':') : nullptr;
    if (done || colon == nullptr || std::string_view(replug, colon) != path)
        return;
    done = true;
    const int saved = errno;
    const std::string link(replug, colon), fresh = link + ".replug";
    ::unlink(fresh.c_str());
    if (::symlink(colon + 1, fresh.c_str()) != 0 || ::rename(fresh.c_str(), link.c_str()) != 0)
        std::fprintf(stderr, "simusb: cannot re-point %s: %s\n", link.c_str(), std::strerror(errno));
    errno = saved;
}

}  // namespace sim

extern "C" ssize_t read(int fd, void* buf, size_t count)
{
    static const auto next = real<ssize_t (*)(int, void*, size_t)>("read");
    if (env("TOVRA_SIM_TTY_READS") != nullptr && isatty(fd)) {
        switch (next_read()) {
        case 'S':  // another program takes what waits, and this read finds nothing
            for (char stolen[256]; next(fd, stolen, sizeof stolen) > 0;) {
            }
            errno = EAGAIN;
            return -1;
        case 'A': errno = EAGAIN; return -1;
        case 'I': errno = EINTR; return -1;
        default: break;
        }
    }
    return next(fd, buf, count);
}

extern "C" int ppoll(pollfd* fds, nfds_t n, const timespec* timeout, const sigset_t* mask)
{
    static const auto next = real<int (*)(pollfd*, nfds_t, const timespec*, const sigset_t*)>("ppoll");
    Monotonic::rep none = 0;
    first_wait.compare_exchange_strong(none, Monotonic::now().time_since_epoch().count());
    return next(fds, n, timeout, mask);
}

extern "C" int ioctl(int fd, unsigned long request, ...)
{
    static const auto next = real<int (*)(int, unsigned long, void*)>("ioctl");
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);
    const char* queued = env("TOVRA_SIM_TTY_OUTQ");
    if (request != TIOCOUTQ || queued == nullptr || !isatty(fd))
        return next(fd, request, argument);
    *static_cast<int*>(argument) = std::atoi(queued);
    return 0;
}

extern "C" time_t time(time_t* result)
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    if (result != nullptr)
        *result = now.tv_sec;
    return now.tv_sec;
}

extern "C" int clock_gettime(clockid_t clock, timespec* now)
{
    static const auto next = real<int (*)(clockid_t, timespec*)>("clock_gettime");
    const int result = next(clock, now);
    if (result == 0 && clock == CLOCK_REALTIME)
        now->tv_sec += clock_step();
    return result;
}

extern "C" int gettimeofday(timeval* now, void* zone)
{
    timespec precise{};
    clock_gettime(CLOCK_REALTIME, &precise);
    if (zone != nullptr)
        std::memset(zone, 0, sizeof(struct timezone));
    now->tv_sec = precise.tv_sec;
    now->tv_usec = static_cast<suseconds_t>(precise.tv_nsec / 1000);
    return 0;
}
