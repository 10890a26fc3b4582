// SPDX-License-Identifier: GPL-2.0-or-later
#include "harness.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace cli {

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// TOVRA_TEST_WRAPPER, split into words: a command that the programs under
// test run inside (valgrind in CI). Empty when unset.
std::vector<std::string> wrapper_words()
{
    std::vector<std::string> words;
    const char* wrapper = std::getenv("TOVRA_TEST_WRAPPER");
    if (wrapper == nullptr || kSanitized)
        return words;
    std::istringstream in(wrapper);
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

[[noreturn]] void fail_system(const std::string& what)
{
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

// Names for the files of one run, unique within the process.
std::string next_run_name()
{
    static int runs = 0;
    return "run" + std::to_string(++runs);
}

// The complete environment of a run: the caller's extras, then what the
// simulator needs unless the caller set it already (each name once, since
// not every program looking it up takes the first of two).
std::vector<std::string> environment_for(const RunOptions& options, const std::string& log_path)
{
    std::vector<std::string> env = options.env;
    auto add = [&env](const std::string& entry) {
        const std::string name = entry.substr(0, entry.find('=') + 1);
        for (const std::string& given : env)
            if (given.starts_with(name))
                return;
        env.push_back(entry);
    };
    add("PATH=/usr/bin:/bin");
    add("LC_ALL=C");
    if (kSanitized) {
        // The simulator is preloaded ahead of the sanitizer runtime.
        add("ASAN_OPTIONS=verify_asan_link_order=0");
    }
    if (options.simulate_usb) {
        add(std::string("LD_PRELOAD=") + SIMUSB_LIB);
        add("TOVRA_SIM_USB_LOG=" + log_path);
        if (!options.scenario.empty())
            add("TOVRA_SIM_USB=" + options.scenario);
    }
    return env;
}

std::vector<char*> c_strings(std::vector<std::string>& strings)
{
    std::vector<char*> pointers;
    for (std::string& s : strings)
        pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

int speed_in_baud(speed_t speed)
{
    constexpr std::array<std::pair<speed_t, int>, 8> table{{
        {B300, 300},
        {B1200, 1200},
        {B2400, 2400},
        {B9600, 9600},
        {B19200, 19200},
        {B38400, 38400},
        {B57600, 57600},
        {B115200, 115200},
    }};
    for (const auto& [constant, baud] : table)
        if (constant == speed)
            return baud;
    return 0;
}

void set_cloexec(int fd)
{
    if (fcntl(fd, F_SETFD, FD_CLOEXEC) != 0)
        fail_system("fcntl");
}

}  // namespace

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "tovra-cli-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        fail_system("mkdtemp");
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::file(std::string_view name) const
{
    return path_ + "/" + std::string(name);
}

std::string TempDir::write(std::string_view name, std::string_view text) const
{
    const std::string path = file(name);
    std::ofstream stream(path, std::ios::binary | std::ios::trunc);
    stream << text;
    if (!stream)
        throw std::runtime_error("cannot write " + path);
    return path;
}

std::string read_file(const std::string& path)
{
    std::ifstream stream(path, std::ios::binary);
    std::ostringstream text;
    text << stream.rdbuf();
    return text.str();
}

std::vector<std::string> split_lines(std::string_view text)
{
    std::vector<std::string> lines;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        lines.emplace_back(text.substr(0, end));
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + 1);
    }
    return lines;
}

std::ostream& operator<<(std::ostream& os, const RunResult& result)
{
    os << "\n--- status " << result.status;
    if (result.signal != 0)
        os << " (signal " << result.signal << ")";
    os << ", " << result.seconds << " s\n--- stdout:\n"
       << result.out << "--- stderr:\n"
       << result.err << "--- usb log:\n";
    for (const std::string& line : result.usb_log)
        os << line << '\n';
    return os << "---\n";
}

RunningTool::RunningTool(const TempDir& dir, const std::vector<std::string>& args, const RunOptions& options)
    : timeout_(options.timeout), merged_(options.merge_streams)
{
    const std::string name = next_run_name();
    out_path_ = dir.file(name + ".out");
    err_path_ = dir.file(name + ".err");
    log_path_ = dir.file(name + ".usblog");
    if (options.input)
        in_path_ = dir.write(name + ".in", *options.input);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string input = in_path_.empty() ? std::string("/dev/null") : in_path_;
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, input.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    if (merged_)
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);

    std::vector<std::string> argv_strings{options.argv0.value_or(options.program)};
    std::string program = options.program;
    // A run that sets its own argv[0] cannot go through a wrapper.
    if (const auto wrapper = wrapper_words(); !wrapper.empty() && !options.argv0) {
        wrapper_log_path_ = dir.file(name + ".wrapper");
        argv_strings = wrapper;
        argv_strings.push_back("--log-file=" + wrapper_log_path_);
        argv_strings.push_back(options.program);
        program = wrapper.front();
        if (program.find('/') == std::string::npos)
            program = "/usr/bin/" + program;
        timeout_ *= 10;
    }
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());
    std::vector<std::string> env_strings = environment_for(options, log_path_);
    std::vector<char*> argv = c_strings(argv_strings);
    std::vector<char*> envp = c_strings(env_strings);

    start_ = std::chrono::steady_clock::now();
    const int error = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        pid_ = -1;
        errno = error;
        fail_system("posix_spawn " + program);
    }
}

RunningTool::RunningTool(RunningTool&& other) noexcept
    : pid_(other.pid_),
      start_(other.start_),
      timeout_(other.timeout_),
      merged_(other.merged_),
      out_path_(std::move(other.out_path_)),
      err_path_(std::move(other.err_path_)),
      log_path_(std::move(other.log_path_)),
      in_path_(std::move(other.in_path_)),
      wrapper_log_path_(std::move(other.wrapper_log_path_))
{
    other.pid_ = -1;
}

RunningTool::~RunningTool()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

RunResult RunningTool::finish()
{
    assert(pid_ > 0);
    RunResult result;
    const auto deadline = start_ + timeout_;
    int wait_status = 0;
    for (;;) {
        const pid_t done = waitpid(pid_, &wait_status, WNOHANG);
        if (done == pid_)
            break;
        if (done < 0 && errno != EINTR)
            fail_system("waitpid");
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid_, SIGKILL);
            while (waitpid(pid_, &wait_status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    pid_ = -1;

    if (WIFEXITED(wait_status)) {
        result.status = WEXITSTATUS(wait_status);
    } else if (WIFSIGNALED(wait_status)) {
        result.signal = WTERMSIG(wait_status);
    }
    result.out = read_file(out_path_);
    if (!merged_)
        result.err = read_file(err_path_);
    result.usb_log = split_lines(read_file(log_path_));
    if (!wrapper_log_path_.empty()) {
        // The wrapper (valgrind) writes only when it found something.
        if (const std::string found = read_file(wrapper_log_path_); !found.empty() || result.status == 99)
            ADD_FAILURE() << "TOVRA_TEST_WRAPPER reported:\n" << found;
    }
    for (const std::string* path : {&out_path_, &err_path_, &log_path_, &in_path_, &wrapper_log_path_})
        if (!path->empty())
            std::remove(path->c_str());
    return result;
}

double time_scale()
{
    return wrapper_words().empty() ? 1.0 : 3.0;
}

RunResult run_tool(const TempDir& dir, const std::vector<std::string>& args, const RunOptions& options)
{
    return RunningTool(dir, args, options).finish();
}

std::vector<std::string> log_lines(const std::vector<std::string>& log, std::string_view prefix)
{
    std::vector<std::string> found;
    for (const std::string& line : log)
        if (line.starts_with(prefix))
            found.push_back(line);
    return found;
}

std::vector<std::string> reports_out(const std::vector<std::string>& log)
{
    return log_lines(log, "report out ");
}

std::vector<std::string> sent_codes(const std::vector<std::string>& log)
{
    std::vector<std::string> codes;
    for (const std::string& line : reports_out(log)) {
        const std::size_t bar = line.find(" | ");
        if (bar != std::string::npos && line.compare(bar + 3, 5, "code ") == 0)
            codes.push_back(line.substr(bar + 3));
    }
    return codes;
}

std::vector<std::string> codes_on(int output, std::initializer_list<unsigned> codes)
{
    std::vector<std::string> expected;
    for (unsigned code : codes) {
        std::array<char, 40> text{};
        std::snprintf(text.data(), text.size(), "code %04x output %d", code, output);
        expected.emplace_back(text.data());
    }
    return expected;
}

std::size_t count_calls(const std::vector<std::string>& lines, std::string_view prefix)
{
    return log_lines(lines, prefix).size();
}

std::string hex(const std::vector<std::uint8_t>& bytes)
{
    std::string text;
    for (std::uint8_t byte : bytes) {
        std::array<char, 4> pair{};
        std::snprintf(pair.data(), pair.size(), "%02x", byte);
        if (!text.empty())
            text += ' ';
        text += pair.data();
    }
    return text;
}

std::string usage_text(std::string_view name)
{
    static constexpr std::string_view kUsage =
        "%s syntax:\n"
        "[--controller <usb controller number - 1 for 1st controller connected on system, 2 for second, ...>]\n"
        "[--scontroller <serial device tovra controller is connected to>]\n"
        "[--output <output number, as labled on the controller>]\n"
        "[--sky] - tell --channel to send normal sky codes\n"
        "[--sky+] - tell --channel to send sky+ codes\n"
        "[--sky+hd] - tell --channel to send sky+hd codes\n"
        "[--setup] - send compiled in setup command to tovra-control\n"
        "[--debug] - print debug output\n"
        "[--log <logfile name>] - log output to file\n"
        "[--channel <x>] Change to channel 'x' - sends 'Sky', channel num, wait 2 secs,\n"
        "          'Backup'. Channel number may contain S (services), D (down),\n"
        "          X (select) to allow selection of 'other' channels\n"
        "[--feedback <serial port>] For channel change commands send using\n"
        "          --channel, wait for feedback from the sky box on given serial\n"
        "          port. eg. /dev/ttyS0\n"
        "<cmd1> <cmd2> <cmd3> ... - any number of 4 digit control codes\n"
        "\n"
        "Examples:\n"
        "\n"
        "send channel 123 to sky digibox on usb controller 1, output 1:\n"
        "%s --controller 1 --output 1 0001 0002 0003\n"
        "\n"
        "send channel 356 to sky+ on usb controller 1, output 2:\n"
        "%s --controller 1 --output 2 0C03 0C05 0C06\n"
        "\n"
        "send complete sequence to change to channel 123 on a Sky Box:\n"
        "%s --sky --channel 123\n"
        "\n"
        "send complete sequence to change to channel 123 on a Sky+ Box:\n"
        "%s --sky+ --channel 123\n"
        "\n"
        "send complete sequence to change to channel 123 on a Sky+ Box,\n"
        "using an RS232 controller connected to ttyS0:\n"
        "%s --scontroller /dev/ttyS0 --sky+ --channel 123\n"
        "\n"
        "send complete sequence to change to channel 123 on a Sky+ Box and\n"
        "wait for feedback from the sky box to confirm the channel change was ok:\n"
        "%s --sky+ --feedback /dev/ttyS0 --channel 123\n"
        "\n";
    std::string text;
    std::string_view rest = kUsage;
    for (std::size_t at; (at = rest.find("%s")) != std::string_view::npos; rest.remove_prefix(at + 2)) {
        text += rest.substr(0, at);
        text += name;
    }
    return text + std::string(rest);
}

Pty::Pty()
{
    if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0)
        fail_system("openpty");
    set_cloexec(master_);
    set_cloexec(slave_);
    std::array<char, 128> name{};
    if (ptsname_r(master_, name.data(), name.size()) != 0)
        fail_system("ptsname_r");
    slave_path_ = name.data();

    // Raw, so that nothing the line discipline does can alter a frame.
    termios settings{};
    if (tcgetattr(slave_, &settings) != 0)
        fail_system("tcgetattr");
    cfmakeraw(&settings);
    cfsetspeed(&settings, B9600);
    if (tcsetattr(slave_, TCSANOW, &settings) != 0)
        fail_system("tcsetattr");
}

Pty::~Pty()
{
    close(master_);
    close(slave_);
}

std::vector<std::uint8_t> Pty::read_available(int quiet_ms)
{
    std::vector<std::uint8_t> bytes;
    pollfd waiting{master_, POLLIN, 0};
    while (poll(&waiting, 1, quiet_ms) == 1 && (waiting.revents & POLLIN) != 0) {
        std::array<std::uint8_t, 4096> chunk{};
        const ssize_t count = read(master_, chunk.data(), chunk.size());
        if (count <= 0)
            break;
        bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + count);
    }
    return bytes;
}

int Pty::slave_speed() const
{
    termios settings{};
    if (tcgetattr(slave_, &settings) != 0)
        return 0;
    return speed_in_baud(cfgetospeed(&settings));
}

CliTest::CliTest() : scenario(dir.write("scenario", kOneController)) {}

void CliTest::use_scenario(std::string_view text)
{
    scenario = dir.write("scenario", text);
}

RunResult CliTest::run(const std::vector<std::string>& args, RunOptions options)
{
    return start(args, std::move(options)).finish();
}

RunningTool CliTest::start(const std::vector<std::string>& args, RunOptions options)
{
    if (options.scenario.empty())
        options.scenario = scenario;
    return RunningTool(dir, args, options);
}

}  // namespace cli
