// SPDX-License-Identifier: GPL-2.0-or-later
// Runs tovra-control and tovra-terminal as a user would: the simulated USB
// controller preloaded in place of libusb, pseudo-terminals as serial lines.
// With TOVRA_TEST_WRAPPER set (valgrind), every run goes through the wrapper,
// and whatever the wrapper reports fails the test.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace cli {

// A scratch folder, removed with everything in it.
struct TempDir {
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const { return path + "/" + name; }
    std::string write(const std::string& name, const std::string& text) const;  // returns the file's path
    std::string path;
};

std::string read_file(const std::string& path);

// A standard stream of a run: a write-only file (as a pipe or a log file is)
// read after the run, closed from the start, or a pipe whose reader has gone.
enum class Stream { File, Closed, BrokenPipe };

struct RunOptions {
    std::string program = TOVRA_CONTROL_BIN;
    std::string scenario = "device 6666:f100\n";  // the simulated USB world
    std::vector<std::string> env = {};            // more "NAME=value"
    std::string input = "";                       // stdin's contents ...
    int stdin_fd = -1;                            // ... or this descriptor
    Stream out = Stream::File;
    Stream err = Stream::File;
    bool wrapped = true;  // false: never under the wrapper (the simulated box)
};

struct Result {
    int status = -1;  // -1 when a signal ended the run
    int signal = 0;
    std::string out, err;
    std::string log;  // the simulated USB library's lines
    double seconds = 0;
};
std::ostream& operator<<(std::ostream& os, const Result& r);

// A started run; several may go on at once. Each has a folder of its own for
// the simulated controllers' lock files unless env names one
// (TOVRA_SIM_LOCK_DIR): only runs that share it wait for each other.
class Run {
public:
    Run(const TempDir& dir, const std::vector<std::string>& args, const RunOptions& options = {});
    ~Run();  // kills a run that was never finished
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;
    pid_t pid() const { return pid_; }
    std::string so_far(const char* stream = ".out") const { return read_file(base_ + stream); }  // or ".err"
    Result finish();

private:
    pid_t pid_ = -1;
    std::string base_;  // the path of the run's files, without the suffix
    std::chrono::steady_clock::time_point start_;
    bool wrapped_ = false;
};

inline Result run(const TempDir& dir, const std::vector<std::string>& args, const RunOptions& options = {})
{
    return Run(dir, args, options).finish();
}

// Above 1 when the wrapper slows the runs down: scale bounds on time by it.
double time_scale();

// Polls until done() holds, for 10 s at most (scaled); returns done().
bool eventually(const auto& done)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(10 * time_scale());
    while (!done() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return done();
}

// What --debug prints first for the default controller: the search, then the identification.
inline const std::string kFound = "Found device: 6666-f100\nFound tovra control num 0\n";
inline const std::string kVersion = "- Version Number: 1.0\nTrying to detach kernel driver\nDevice already detached\n"
                                    "sending: byte 113\n- Full version 1.0.0\n";
inline const std::string kIdent = kFound + kVersion;

// The --debug lines of one code sent to a USB controller (or to output 1 or 2 of an RS232 one).
std::string sending(unsigned code, int output = 1);

// Bytes as "30 00 01".
std::string hex(std::string_view bytes);

// What the USB controllers received, from the simulator's log: the reports in
// hex without their trailing filler (7a), so that a code's report reads as its
// RS232 frame; prefixed with the device ("002/001: ") when not 001/001.
std::string wire(const std::string& log);

// A pseudo-terminal standing in for a serial line: the program opens path(),
// the test plays the device on the master side and holds the slave side open
// too, so that the line stays up when no program has it.
class Pty {
public:
    explicit Pty(bool raw = true);  // not raw: a console as a user has it
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    const std::string& path() const { return path_; }
    int slave() const { return slave_; }
    void send(std::string_view bytes) const;  // from the device to the program
    // What the program wrote: up to want bytes, until the line is quiet for quiet_ms.
    std::string received(std::size_t want = SIZE_MAX, int quiet_ms = 20) const;
    std::string unread() const;  // what the device sent and no one read
    void hang_up();              // the device goes away

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

}  // namespace cli
