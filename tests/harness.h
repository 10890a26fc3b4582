// SPDX-License-Identifier: GPL-2.0-or-later
// Runs tovra-control and tovra-terminal as a user would: the simulated USB controller preloaded in place of
// libusb, pseudo-terminals as serial lines. With TOVRA_TEST_WRAPPER set (valgrind) every run goes through the
// wrapper, and whatever the wrapper reports fails the test. In a cross build the programs are the target's and run
// under its emulator (qemu-user), which is handed the preload for the program (-E) rather than taking it itself.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace cli {

inline std::string write_file(const std::string& path, const std::string& text)  // returns the path
{
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

inline std::string read_file(const std::string& path)
{
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

// A scratch folder, removed with everything in it.
struct TempDir {
    TempDir() { EXPECT_NE(mkdtemp(path.data()), nullptr); }
    ~TempDir() { std::filesystem::remove_all(path, ignored); }
    std::string file(const std::string& name) const { return path + "/" + name; }
    std::string write(const std::string& name, const std::string& text) const { return write_file(file(name), text); }
    std::string path = (std::filesystem::temp_directory_path() / "tovra-cli-XXXXXX").string();
    std::error_code ignored;
};

inline std::vector<std::string> wrapper()
{
    std::istringstream text(std::getenv("TOVRA_TEST_WRAPPER") != nullptr ? std::getenv("TOVRA_TEST_WRAPPER") : "");
    return {std::istream_iterator<std::string>(text), {}};
}

// The command that runs the target's programs in a cross build ("qemu-aarch64"); none in a native one.
inline std::vector<std::string> emulator()
{
    std::istringstream text(TOVRA_TEST_EMULATOR);
    return {std::istream_iterator<std::string>(text), {}};
}

// The words that start program with the given preload ("LD_PRELOAD=..."): the program itself, but the target's
// programs under the emulator, which keeps argv[0] and hands the preload to the program alone.
inline std::vector<std::string> launch(const std::string& program, const std::string& preload = "LD_PRELOAD=" SIMUSB_LIB)
{
    std::vector<std::string> words;
    if (const bool target = program == TOVRA_CONTROL_BIN || program == TOVRA_TERMINAL_BIN;
        target && !emulator().empty()) {
        words = emulator();
        words.insert(words.end(), {"-0", program});
        if (!preload.empty()) words.insert(words.end(), {"-E", preload});
    }
    words.push_back(program);
    return words;
}

// Above 1 when the wrapper or the emulator slows the runs down: scale bounds on time by it.
inline double time_scale() { return wrapper().empty() && emulator().empty() ? 1.0 : 3.0; }

// Polls until done() holds, for 10 s at most (scaled); returns done().
bool eventually(const auto& done)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(10 * time_scale());
    while (!done() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return done();
}

// A standard stream of a run: a write-only file (as a pipe or a log file is) read after the run, closed from
// the start, or a pipe whose reader has gone.
enum class Stream { File, Closed, BrokenPipe };

struct RunOptions {
    std::string program = TOVRA_CONTROL_BIN;
    std::string scenario = "device 6666:f100\n";  // the simulated USB world
    std::vector<std::string> env = {};            // more "NAME=value", which win over the harness's
    std::string input = "";                       // stdin's contents ...
    int stdin_fd = -1;                            // ... or this descriptor (-2: closed)
    Stream out = Stream::File, err = Stream::File;
    bool wrapped = true;  // false: never under the wrapper (a shell that starts the program)
    int held = 0;         // descriptors up to this one are open (/dev/null), as a back-end that leaks them leaves them
};

struct Result {
    int status = -1, signal = 0;  // status -1: a signal ended the run
    std::string out, err, log;  // log: the simulated USB library's lines
    double seconds = 0, cpu = 0;  // cpu: the processor time the run took (user and system)
};

inline std::ostream& operator<<(std::ostream& os, const Result& r)
{
    return os << "\n--- status " << r.status << "\n--- stdout:\n"
              << r.out << "--- stderr:\n" << r.err << "--- usb log:\n" << r.log;
}

// A started run; several may go on at once. Each has a folder of its own for the simulated controllers' nodes
// and claims unless env names one (TOVRA_SIM_USB_DEVDIR): only runs that share it share a controller.
class Running {
public:
    Running(const TempDir& dir, std::vector<std::string> args, const RunOptions& options = {})
        : base_(dir.file("run" + std::to_string(++runs_)))
    {
        std::vector<std::string> env = options.env;  // each name once: a wrapper may take the last of two
        for (const std::string& entry : std::initializer_list<std::string>{
                 "PATH=/usr/bin:/bin", "LC_ALL=C", "LD_PRELOAD=" SIMUSB_LIB, "TOVRA_SIM_USB_LOG=" + base_ + ".log",
                 "TOVRA_SIM_USB=" + write_file(base_ + ".scenario", options.scenario),
                 "TOVRA_SIM_USB_DEVDIR=" + base_ + ".dev", "ASAN_OPTIONS=verify_asan_link_order=0"})  // preloaded first
            if (std::ranges::none_of(env, [&](auto& e) { return e.starts_with(entry.substr(0, entry.find('=') + 1)); }))
                env.push_back(entry);
        std::string preload;  // under the emulator, for the emulated program alone: not for qemu nor a host program
        if (const auto entry = std::ranges::find_if(env, [](auto& e) { return e.starts_with("LD_PRELOAD="); });
            !emulator().empty() && entry != env.end()) {
            preload = *entry;
            env.erase(entry);
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (const std::string in = write_file(base_ + ".in", options.input); options.stdin_fd == -2)
            posix_spawn_file_actions_addclose(&actions, 0);
        else if (options.stdin_fd < 0)
            posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
        else
            posix_spawn_file_actions_adddup2(&actions, options.stdin_fd, 0);
        const int pipes[] = {plan(&actions, 1, options.out, ".out"), plan(&actions, 2, options.err, ".err")};
        const std::vector<std::string> start = launch(options.program, preload);
        args.insert(args.begin(), start.begin(), start.end());
        bool logged = false;
        if (std::vector<std::string> words = options.wrapped ? wrapper() : std::vector<std::string>{}; !words.empty()) {
            words.push_back("--log-fd=3");  // a descriptor of its own: a file it opened could take a closed 1 or 2
            posix_spawn_file_actions_addopen(&actions, 3, (base_ + ".wrapper").c_str(), O_WRONLY | O_CREAT, 0644);
            args.insert(args.begin(), words.begin(), words.end());
            logged = true;
        }
        if (rlimit files{}; getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < rlim_t(options.held) + 64)
            files.rlim_cur = std::min(files.rlim_max, rlim_t(options.held) + 64), setrlimit(RLIMIT_NOFILE, &files);
        for (int fd = logged ? 4 : 3; fd <= options.held; ++fd)
            posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addclosefrom_np(&actions, std::max(logged ? 4 : 3, options.held + 1));
        start_ = std::chrono::steady_clock::now();
        const int error = posix_spawnp(&pid_, args[0].c_str(), &actions, nullptr, c_strings(args).data(),
                                       c_strings(env).data());
        posix_spawn_file_actions_destroy(&actions);
        for (int end : pipes) close(end);
        EXPECT_EQ(error, 0) << "cannot start " << args[0];
        if (error == 0)  // the run's end, timed when it comes, not when the test asks
            reaper_ = std::thread([this] {
                wait4(pid_, &status_, 0, &usage_);
                end_ = std::chrono::steady_clock::now();
                ended_ = true;
            });
    }
    ~Running()  // kills a run that was never finished
    {
        if (reaper_.joinable() && !ended_) kill(pid_, SIGKILL);
        if (reaper_.joinable()) reaper_.join();
    }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;

    pid_t pid() const { return pid_; }
    bool ended() const { return ended_; }
    std::string so_far(const char* stream = ".out") const { return read_file(base_ + stream); }  // or ".err"

    Result finish()
    {
        if (reaper_.joinable()) reaper_.join();
        const Result r{WIFEXITED(status_) ? WEXITSTATUS(status_) : -1, WIFSIGNALED(status_) ? WTERMSIG(status_) : 0,
                       so_far(".out"), without_emulator(so_far(".err")), so_far(".log"),
                       std::chrono::duration<double>(end_ - start_).count(),
                       double(usage_.ru_utime.tv_sec + usage_.ru_stime.tv_sec) +
                           double(usage_.ru_utime.tv_usec + usage_.ru_stime.tv_usec) / 1e6};
        EXPECT_EQ(so_far(".wrapper"), "") << "TOVRA_TEST_WRAPPER reported this";
        return r;
    }

private:
    // err without the line the emulator adds when a signal that dumps core ends the program: a native run's
    // status tells that alone, with nothing on stderr.
    static std::string without_emulator(std::string err)
    {
        const std::string line = "qemu: uncaught target signal ";
        if (const std::size_t at = err.rfind(line); !emulator().empty() && at != std::string::npos &&
                                                    (at == 0 || err[at - 1] == '\n'))
            if (const std::size_t end = err.find('\n', at); end != std::string::npos && end + 1 == err.size())
                err.erase(at);
        return err;
    }

    // Sets up descriptor fd; returns a pipe's end to close once the run started.
    int plan(posix_spawn_file_actions_t* actions, int fd, Stream stream, const char* suffix) const
    {
        std::array<int, 2> ends{-1, -1};
        if (stream == Stream::Closed)
            posix_spawn_file_actions_addclose(actions, fd);
        else if (stream == Stream::File)
            posix_spawn_file_actions_addopen(actions, fd, (base_ + suffix).c_str(), O_WRONLY | O_CREAT, 0644);
        else if (pipe2(ends.data(), O_CLOEXEC) == 0 && close(ends[0]) == 0)
            posix_spawn_file_actions_adddup2(actions, ends[1], fd);
        return ends[1];
    }
    static std::vector<char*> c_strings(std::vector<std::string>& strings)
    {
        std::vector<char*> pointers;
        for (std::string& s : strings) pointers.push_back(s.data());
        pointers.push_back(nullptr);
        return pointers;
    }

    static inline int runs_ = 0;
    pid_t pid_ = -1;
    int status_ = 0;
    rusage usage_{};
    std::string base_;  // the path of the run's files, without the suffix
    std::chrono::steady_clock::time_point start_, end_;
    std::atomic<bool> ended_ = false;
    std::thread reaper_;
};

inline Result run(const TempDir& dir, const std::vector<std::string>& args, const RunOptions& options = {})
{
    return Running(dir, args, options).finish();
}

// text with every key in it replaced by value
inline std::string replace_all(std::string text, std::string_view key, const std::string& value)
{
    for (std::size_t at = 0; (at = text.find(key, at)) != std::string::npos; at += value.size())
        text.replace(at, key.size(), value);
    return text;
}

inline std::string hex(std::string_view bytes)
{
    std::string text;
    for (unsigned char byte : bytes) {
        std::array<char, 4> pair{};
        std::snprintf(pair.data(), pair.size(), text.empty() ? "%02x" : " %02x", byte);
        text += pair.data();
    }
    return text;
}

// What the USB controllers received, from the simulator's log: the reports in hex without their trailing filler
// (7a), so that a code's report reads as its RS232 frame; prefixed with the device when not 001/001.
inline std::string wire(const std::string& log)
{
    std::istringstream lines(log);
    std::string text;
    for (std::string line; std::getline(lines, line);) {
        if (!line.starts_with("report out "))  // "report out 001/001: 30 00 01 7a 7a 7a 7a 7a | code 0001 output 1"
            continue;
        std::string bytes = line.substr(20, line.find(" | ") - 20);
        while (bytes.ends_with(" 7a")) bytes.resize(bytes.size() - 3);
        const std::string device = line.substr(11, 7);
        text += (text.empty() ? "" : " ") + (device == "001/001" ? "" : device + ": ") + bytes;
    }
    return text;
}

// A pseudo-terminal standing in for a serial line: the program opens path(), the test plays the device on the
// master side and holds the slave side open too, so that the line stays up when no program has it.
class Pty {
public:
    explicit Pty(bool raw = true)  // not raw: a console as a user has it
    {
        termios settings{};
        EXPECT_EQ(openpty(&master_, &slave_, nullptr, nullptr, nullptr), 0);
        fcntl(master_, F_SETFD, FD_CLOEXEC);
        fcntl(slave_, F_SETFD, FD_CLOEXEC);
        path_ = ptsname(master_);
        tcgetattr(slave_, &settings);
        if (raw)
            cfmakeraw(&settings);  // nothing the line discipline does may alter a byte
        tcsetattr(slave_, TCSANOW, &settings);
    }
    ~Pty()
    {
        hang_up();
        close(slave_);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    const std::string& path() const { return path_; }
    int slave() const { return slave_; }
    void send(std::string_view text) const { EXPECT_EQ(write(master_, text.data(), text.size()), std::ssize(text)); }
    // What the program wrote: at least at_least bytes (waited for, within bounds), then what follows until
    // the line is quiet for 20 ms.
    std::string received(std::size_t at_least = 0) const { return drain(master_, at_least, 20); }
    // What the device sent and no one read: at least at_least bytes (waited for), and what else is there now.
    std::string unread(std::size_t at_least = 0) const { return drain(slave_, at_least, 0); }
    void hang_up() { close(std::exchange(master_, -1)); }  // the device goes away
    tcflag_t framing() const  // the line's speed and framing: B57600 | CS8 is 57600 8N1
    {
        termios settings{};
        tcgetattr(slave_, &settings);
        return settings.c_cflag & (CBAUD | CSTOPB | CSIZE | PARENB);
    }

private:
    static std::string drain(int fd, std::size_t at_least, int quiet_ms)
    {
        std::string bytes;
        std::array<char, 4096> chunk{};
        pollfd ready{fd, POLLIN, 0};
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(10 * time_scale());
        auto wait = [&] {  // ms: until the deadline for the bytes expected, then the quiet
            using namespace std::chrono;
            return bytes.size() < at_least ? static_cast<int>(duration_cast<milliseconds>(end - steady_clock::now()).count())
                                           : quiet_ms;
        };
        for (int ms = wait(); ms >= 0 && poll(&ready, 1, ms) == 1 && (ready.revents & POLLIN); ms = wait()) {
            const ssize_t n = read(fd, chunk.data(), chunk.size());
            if (n <= 0) break;
            bytes.append(chunk.data(), static_cast<std::size_t>(n));
        }
        return bytes;
    }

    int master_ = -1, slave_ = -1;
    std::string path_;
};

}  // namespace cli
