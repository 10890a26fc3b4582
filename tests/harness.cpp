// SPDX-License-Identifier: GPL-2.0-or-later
#include "harness.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace cli {

namespace {

[[noreturn]] void fail_system(const std::string& what)
{
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

// TOVRA_TEST_WRAPPER in words; none in a sanitizer build, which valgrind cannot run.
std::vector<std::string> wrapper()
{
    std::istringstream text(std::getenv("TOVRA_TEST_WRAPPER") != nullptr ? std::getenv("TOVRA_TEST_WRAPPER") : "");
    std::vector<std::string> words;
    for (std::string word; text >> word;)
        words.push_back(word);
#ifdef __SANITIZE_ADDRESS__
    words.clear();
#endif
    return words;
}

std::vector<char*> c_strings(std::vector<std::string>& strings)
{
    std::vector<char*> pointers;
    for (std::string& s : strings)
        pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Sets up descriptor fd of a run; returns a pipe's end to close once the run started.
int plan(posix_spawn_file_actions_t* actions, int fd, Stream stream, const std::string& path)
{
    std::array<int, 2> pipe_ends{-1, -1};
    if (stream == Stream::Closed)
        posix_spawn_file_actions_addclose(actions, fd);
    else if (stream == Stream::File)
        posix_spawn_file_actions_addopen(actions, fd, path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    else if (pipe2(pipe_ends.data(), O_CLOEXEC) == 0 && close(pipe_ends[0]) == 0)
        posix_spawn_file_actions_adddup2(actions, pipe_ends[1], fd);
    return pipe_ends[1];
}

// Everything fd gives, up to want bytes, until it is quiet for quiet_ms.
std::string drain(int fd, std::size_t want, int quiet_ms)
{
    std::string bytes;
    std::array<char, 4096> chunk{};
    pollfd ready{fd, POLLIN, 0};
    for (ssize_t n = 0; bytes.size() < want && poll(&ready, 1, quiet_ms) == 1 && (ready.revents & POLLIN) != 0;) {
        if ((n = read(fd, chunk.data(), std::min(chunk.size(), want - bytes.size()))) <= 0)
            break;
        bytes.append(chunk.data(), static_cast<std::size_t>(n));
    }
    return bytes;
}

}  // namespace

TempDir::TempDir() : path((std::filesystem::temp_directory_path() / "tovra-cli-XXXXXX").string())
{
    if (mkdtemp(path.data()) == nullptr)
        fail_system("mkdtemp");
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

std::string TempDir::write(const std::string& name, const std::string& text) const
{
    std::ofstream(file(name), std::ios::binary) << text;
    return file(name);
}

std::string read_file(const std::string& path)
{
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

std::ostream& operator<<(std::ostream& os, const Result& r)
{
    return os << "\n--- status " << r.status << ", signal " << r.signal << ", " << r.seconds << " s\n--- stdout:\n"
              << r.out << "--- stderr:\n" << r.err << "--- usb log:\n" << r.log << "---\n";
}

Run::Run(const TempDir& dir, const std::vector<std::string>& args, const RunOptions& options)
{
    static int runs = 0;
    const std::string name = "run" + std::to_string(++runs);
    base_ = dir.file(name);
    std::filesystem::create_directory(base_ + ".locks");
    // The caller's entries come first, and so win: getenv takes the first of two.
    std::vector<std::string> env = options.env;
    env.insert(env.end(), {"PATH=/usr/bin:/bin", "LC_ALL=C", "LD_PRELOAD=" SIMUSB_LIB,
                           "TOVRA_SIM_USB=" + dir.write(name + ".scenario", options.scenario),
                           "TOVRA_SIM_USB_LOG=" + base_ + ".log", "TOVRA_SIM_LOCK_DIR=" + base_ + ".locks",
                           "ASAN_OPTIONS=verify_asan_link_order=0"});  // the simulator comes before a sanitizer

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (options.stdin_fd >= 0)
        posix_spawn_file_actions_adddup2(&actions, options.stdin_fd, STDIN_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, dir.write(name + ".in", options.input).c_str(),
                                         O_RDONLY, 0);
    const int pipes[] = {plan(&actions, STDOUT_FILENO, options.out, base_ + ".out"),
                         plan(&actions, STDERR_FILENO, options.err, base_ + ".err")};
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);

    std::vector<std::string> argv = options.wrapped ? wrapper() : std::vector<std::string>{};
    if ((wrapped_ = !argv.empty())) {
        argv.push_back("--log-file=" + base_ + ".wrapper");
        argv[0] = argv[0].find('/') == std::string::npos ? "/usr/bin/" + argv[0] : argv[0];
    }
    argv.push_back(options.program);
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> argv_c = c_strings(argv);
    std::vector<char*> env_c = c_strings(env);
    start_ = std::chrono::steady_clock::now();
    const int error = posix_spawn(&pid_, argv[0].c_str(), &actions, nullptr, argv_c.data(), env_c.data());
    posix_spawn_file_actions_destroy(&actions);
    for (int end : pipes)
        close(end);
    if ((errno = error) != 0)
        fail_system("posix_spawn " + argv[0]);
}

Run::~Run()
{
    if (pid_ > 0 && kill(pid_, SIGKILL) == 0)
        waitpid(pid_, nullptr, 0);
}

Result Run::finish()
{
    int status = 0;
    const auto limit = start_ + std::chrono::duration<double>(60 * time_scale() * time_scale());
    for (; waitpid(pid_, &status, WNOHANG) == 0; std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
        if (std::chrono::steady_clock::now() > limit && kill(pid_, SIGKILL) == 0 && waitpid(pid_, &status, 0) > 0)
            ADD_FAILURE() << "killed a run that went on for too long";
    }
    pid_ = -1;
    Result r{WIFEXITED(status) ? WEXITSTATUS(status) : -1, WIFSIGNALED(status) ? WTERMSIG(status) : 0,
             read_file(base_ + ".out"), read_file(base_ + ".err"), read_file(base_ + ".log"),
             std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count()};
    if (const std::string found = read_file(base_ + ".wrapper"); !found.empty() || (wrapped_ && r.status == 99))
        ADD_FAILURE() << "TOVRA_TEST_WRAPPER reported:\n" << found;
    return r;
}

double time_scale()
{
    return wrapper().empty() ? 1.0 : 3.0;
}

std::string sending(unsigned code, int output)
{
    const unsigned index = static_cast<unsigned>(output - 1);
    const bool short_form = index < 2;  // outputs 1 and 2: '0' or '1', then the code
    std::array<char, 128> text{};
    std::snprintf(text.data(), text.size(),
                  "sending code %04x to output %d\nsending cmd %04x to output %d: bytes %u, %u, %u\n", code, output,
                  code, output, short_form ? '0' + index : 'C', short_form ? code >> 8 : index,
                  short_form ? code & 0xFF : code >> 8);
    return text.data();
}

std::string hex(std::string_view bytes)
{
    std::string text;
    for (unsigned char byte : bytes) {
        std::array<char, 4> pair{};
        std::snprintf(pair.data(), pair.size(), text.empty() ? "%02x" : " %02x", byte);
        text += pair.data();
    }
    return text;
}

std::string wire(const std::string& log)
{
    std::istringstream lines(log);
    std::string text;
    for (std::string line; std::getline(lines, line);) {
        if (!line.starts_with("report out "))  // "report out 001/001: 30 00 01 7a 7a 7a 7a 7a | code 0001 output 1"
            continue;
        std::string bytes = line.substr(20, line.find(" | ") - 20);
        while (bytes.ends_with(" 7a"))
            bytes.resize(bytes.size() - 3);
        const std::string device = line.substr(11, 7);
        text += (text.empty() ? "" : " ") + (device == "001/001" ? "" : device + ": ") + bytes;
    }
    return text;
}

Pty::Pty(bool raw)
{
    termios settings{};
    if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0 || tcgetattr(slave_, &settings) != 0)
        fail_system("openpty");
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
    path_ = ptsname(master_);
    if (raw)
        cfmakeraw(&settings);  // nothing the line discipline does may alter a byte
    tcsetattr(slave_, TCSANOW, &settings);
}

Pty::~Pty()
{
    hang_up();
    close(slave_);
}

void Pty::send(std::string_view bytes) const
{
    if (write(master_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        fail_system("write to " + path_);
}

std::string Pty::received(std::size_t want, int quiet_ms) const
{
    return drain(master_, want, quiet_ms);
}

std::string Pty::unread() const
{
    return drain(slave_, SIZE_MAX, 0);
}

void Pty::hang_up()
{
    if (master_ >= 0)
        close(std::exchange(master_, -1));
}

}  // namespace cli
