// SPDX-License-Identifier: GPL-2.0-or-later
// The simulated Sky box on its own: its start lines, the packets it writes on
// the box port for keys from the FIFO and from RS232 controller frames, and
// each of its fault switches.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/gnome_packet.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Every wait is bounded generously; a healthy box answers in milliseconds.
constexpr int WAIT_MS = 5000;

int remainingMs(Clock::time_point deadline)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return ms < 0 ? 0 : static_cast<int>(ms);
}

// Reads until `want` bytes have come, the deadline passes or the fd ends.
// Stops early at end of input or an error (a hung-up pty gives EIO).
std::string readFor(int fd, std::size_t want, int timeoutMs, bool* ended = nullptr)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string got;
    while (got.size() < want) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, remainingMs(deadline)) <= 0)
            break;
        char buf[512];
        const ssize_t n = ::read(fd, buf, std::min(sizeof buf, want - got.size()));
        if (n <= 0) {
            if (ended)
                *ended = true;
            break;
        }
        got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
}

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

class SkyBox {
public:
    explicit SkyBox(const std::vector<std::string>& args)
    {
        char dir[] = "/tmp/cli_skybox.XXXXXX";
        EXPECT_NE(::mkdtemp(dir), nullptr);
        tmpDir_ = dir;
        logPath = tmpDir_ + "/box.log";

        int in[2], out[2], err[2];
        EXPECT_EQ(::pipe2(in, O_CLOEXEC), 0);
        EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
        EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
        std::vector<std::string> argv = {SKYBOX_BIN, "--quiet", "--log", logPath};
        argv.insert(argv.end(), args.begin(), args.end());
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            ::dup2(err[1], 2);
            std::vector<char*> cargv;
            for (auto& a : argv)
                cargv.push_back(a.data());
            cargv.push_back(nullptr);
            ::execv(cargv[0], cargv.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        ::close(err[1]);
        stdin_ = in[1];
        stdout_ = out[0];
        stderr_ = err[0];
    }

    ~SkyBox()
    {
        for (int fd : {port, fifo, stdin_, stdout_, stderr_})
            if (fd >= 0)
                ::close(fd);
        if (pid_ > 0 && exitStatus(WAIT_MS) < 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::unlink(logPath.c_str());
        ::rmdir(tmpDir_.c_str());
    }

    // Reads the four start lines and opens the box port as the tool would.
    bool start()
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(WAIT_MS);
        while (startLines.find("ready\n") == std::string::npos) {
            const std::string more = readFor(stdout_, 1, remainingMs(deadline));
            if (more.empty())
                return false;
            startLines += more;
        }
        std::istringstream lines(startLines);
        std::string key;
        lines >> key >> boxPort >> key >> controllerPort >> key >> fifoPath;
        port = ::open(boxPort.c_str(), O_RDWR | O_NOCTTY);
        termios tio{};
        if (port < 0 || ::tcgetattr(port, &tio) < 0)
            return false;
        ::cfmakeraw(&tio);
        ::tcsetattr(port, TCSANOW, &tio);
        fifo = ::open(fifoPath.c_str(), O_WRONLY);
        return fifo >= 0;
    }

    void keys(const std::vector<std::string>& codes, int output = 1) const
    {
        for (const auto& code : codes) {
            const std::string line = "KEY " + std::to_string(output) + " " + code + "\n";
            EXPECT_EQ(::write(fifo, line.data(), line.size()), static_cast<ssize_t>(line.size()));
        }
    }

    // Waits until the log holds `text`; returns the whole log.
    std::string waitLog(const std::string& text) const
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(WAIT_MS);
        std::string log;
        while ((log = slurp(logPath)).find(text) == std::string::npos && Clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        return log;
    }

    std::string readStderr() { return readFor(stderr_, 65536, WAIT_MS); }
    void closeStdin() { ::close(std::exchange(stdin_, -1)); }
    void signal(int sig) const { ::kill(pid_, sig); }

    // Exit status, or -1 when the box is still running after timeoutMs.
    int exitStatus(int timeoutMs)
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (Clock::now() >= deadline)
                return -1;
            std::this_thread::sleep_for(5ms);
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    std::string logPath, startLines, boxPort, controllerPort, fifoPath;
    int port = -1;
    int fifo = -1;

private:
    std::string tmpDir_;
    pid_t pid_ = -1;
    int stdin_ = -1, stdout_ = -1, stderr_ = -1;
};

std::string packet(std::initializer_list<GnomeField> fields, unsigned checksumError = 0)
{
    return gnome_encodePacket(fields, GNOME_PACKET_REMAINDER, checksumError);
}

const std::vector<std::string> SKY_PLUS_101 = {"0c80", "0c01", "0c00", "0c01"};

TEST(SkyBoxCli, StartLinesAndCleanStop)
{
    for (const int how : {0, SIGTERM, SIGINT}) {
        SkyBox box({});
        ASSERT_TRUE(box.start()) << box.startLines;
        EXPECT_EQ(box.startLines, "box-port " + box.boxPort + "\ncontroller-port " + box.controllerPort +
                                      "\nkeys-fifo " + box.fifoPath + "\nready\n");
        EXPECT_EQ(box.boxPort.rfind("/dev/pts/", 0), 0u);
        EXPECT_EQ(box.controllerPort.rfind("/dev/pts/", 0), 0u);
        struct stat st{};
        ASSERT_EQ(::stat(box.fifoPath.c_str(), &st), 0);
        EXPECT_TRUE(S_ISFIFO(st.st_mode));
        if (how == 0)
            box.closeStdin();
        else
            box.signal(how);
        EXPECT_EQ(box.exitStatus(WAIT_MS), 0) << "stop " << how;
        EXPECT_NE(::access(box.fifoPath.c_str(), F_OK), 0) << "FIFO left behind";
    }
}

TEST(SkyBoxCli, ChannelEntryReportsEachDigit)
{
    SkyBox box({});
    ASSERT_TRUE(box.start());
    box.keys(SKY_PLUS_101);
    const std::string expected = packet({{"CE00", "1--"}}) + packet({{"CE00", "10-"}}) +
                                 packet({{"CE00", "101"}, {"SSCN", "101"}}) +
                                 packet({{"SSCA", "Channel 101"}});
    EXPECT_EQ(readFor(box.port, expected.size(), WAIT_MS), expected);

    // Backup after a partial entry reports the unchanged channel; Services,
    // Down, Select and a Backup without an entry report nothing.
    box.keys({"0c80", "0c07", "0c83", "0c7e", "0c59", "0c5c", "0c83"});
    const std::string cancel = packet({{"CE00", "7--"}}) + packet({{"CE00", "101"}});
    EXPECT_EQ(readFor(box.port, cancel.size(), WAIT_MS), cancel);
    const std::string log = box.waitLog("select");
    EXPECT_EQ(readFor(box.port, 1, 200), "");
    for (const char* line : {"key output=1 code=0c80 sky\n", "key output=1 code=0c01 digit 1\n",
                             "report CE00=1--\n", "report CE00=101 SSCN=101\n",
                             "report SSCA=Channel 101\n", "key output=1 code=0c83 backup\n",
                             "key output=1 code=0c7e services\n", "key output=1 code=0c59 down\n",
                             "key output=1 code=0c5c select\n"})
        EXPECT_NE(log.find(line), std::string::npos) << line << "not in\n" << log;
}

TEST(SkyBoxCli, ControllerFramesAreDecoded)
{
    SkyBox box({"--output", "2", "--digits", "1"});
    ASSERT_TRUE(box.start());
    const int ctl = ::open(box.controllerPort.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(ctl, 0);
    // Back to back, the second split mid-frame; output 5 is not the box's.
    const unsigned char frames[] = {0x31, 0x0c, 0x05, 0x43, 0x04, 0x0c, 0x05, 0x30, 0x00, 0x03, 0x43, 0x01};
    ASSERT_EQ(::write(ctl, frames, 5), 5);
    std::this_thread::sleep_for(50ms);
    ASSERT_EQ(::write(ctl, frames + 5, sizeof frames - 5), static_cast<ssize_t>(sizeof frames - 5));
    ASSERT_EQ(::write(ctl, "\x5c\x02", 2), 2);
    const std::string log = box.waitLog("code=5c02");
    ::close(ctl);
    const char* lines[] = {"frame 31 0c 05\nkey output=2 code=0c05 digit 5\n",
                           "frame 43 04 0c 05\nignored key output=5 code=0c05\n",
                           "frame 30 00 03\nignored key output=1 code=0003\n",
                           "frame 43 01 5c 02\nkey output=2 code=5c02 digit 2\n"};
    for (const char* line : lines)
        EXPECT_NE(log.find(line), std::string::npos) << line << "not in\n" << log;
    const std::string expected = packet({{"CE00", "5"}, {"SSCN", "5"}}) + packet({{"SSCA", "Channel 5"}}) +
                                 packet({{"CE00", "2"}, {"SSCN", "2"}}) + packet({{"SSCA", "Channel 2"}});
    EXPECT_EQ(readFor(box.port, expected.size(), WAIT_MS), expected);
}

struct SwitchCase {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::string> keys;
    std::string wire;     // everything the port carries for those keys
    const char* logLine;
};

void PrintTo(const SwitchCase& c, std::ostream* os) { *os << c.name; }

class Switches : public testing::TestWithParam<SwitchCase> {};

TEST_P(Switches, ReportOnThePort)
{
    const SwitchCase& c = GetParam();
    SkyBox box(c.args);
    ASSERT_TRUE(box.start());
    box.keys(c.keys);
    EXPECT_EQ(readFor(box.port, c.wire.size(), WAIT_MS), c.wire);
    const std::string log = box.waitLog(c.logLine);
    EXPECT_NE(log.find(c.logLine), std::string::npos) << log;
    EXPECT_EQ(readFor(box.port, 1, 200), "");
}

INSTANTIATE_TEST_SUITE_P(
    SkyBoxCli, Switches,
    testing::Values(
        SwitchCase{"wrong_channel", {"--wrong-channel", "105"}, SKY_PLUS_101,
                   packet({{"CE00", "1--"}}) + packet({{"CE00", "10-"}}) +
                       packet({{"CE00", "105"}, {"SSCN", "105"}}) + packet({{"SSCA", "Channel 105"}}),
                   "tune 105 (entered 101)\n"},
        SwitchCase{"channel_error", {"--channel-error", "No signal"}, SKY_PLUS_101,
                   packet({{"CE00", "1--"}}) + packet({{"CE00", "10-"}}) + packet({{"CEER", "No signal"}}),
                   "report CEER=No signal\n"},
        SwitchCase{"bad_checksum", {"--bad-checksum", "--digits", "1"}, {"0080", "0004"},
                   packet({{"CE00", "4"}, {"SSCN", "4"}}, 1) + packet({{"SSCA", "Channel 4"}}, 1),
                   "report CE00=4 SSCN=4 (bad checksum)\n"},
        SwitchCase{"silent", {"--silent"}, SKY_PLUS_101, "", "silent, not sent: CE00=101 SSCN=101\n"},
        SwitchCase{"noise", {"--noise", "--digits", "1"}, {"5c80", "5c03"},
                   "~#\r" + packet({{"CE00", "3"}, {"SSCN", "3"}}) + "~#\r" + packet({{"SSCA", "Channel 3"}}),
                   "report SSCA=Channel 3\n"},
        SwitchCase{"seven_f", {"--seven-f", "--digits", "4"}, {"0080", "0000", "0001", "0000", "0001"},
                   packet({{"CE00", "0---"}}) + packet({{"CE00", "01--"}}) + packet({{"CE00", "010-"}}) +
                       packet({{"CE00", "\x7f" "101"}, {"SSCN", "0101"}}) + packet({{"SSCA", "Channel 0101"}}),
                   "report CE00=[7F]101 SSCN=0101\n"},
        SwitchCase{"family_and_start_channel", {"--family", "sky+hd", "--channel-now", "42"},
                   {"5c80", "0c05", "5c05", "5c83"}, packet({{"CE00", "5--"}}) + packet({{"CE00", "42"}}),
                   "ignored key output=1 code=0c05 other family\n"}),
    [](const testing::TestParamInfo<SwitchCase>& info) { return std::string(info.param.name); });

TEST(SkyBoxCli, KeysOfOtherOutputsAndBadLinesAreIgnored)
{
    SkyBox box({"--output", "3"});
    ASSERT_TRUE(box.start());
    box.keys({"0c80", "0c01"}, 1);
    const std::string bad = "KEY 3 0c1\nKEY 16 0c01\nkey 3 0c01\n";
    ASSERT_EQ(::write(box.fifo, bad.data(), bad.size()), static_cast<ssize_t>(bad.size()));
    box.keys({"0c80", "0c09"}, 3);
    const std::string log = box.waitLog("digit 9");
    EXPECT_NE(log.find("ignored key output=1 code=0c01\n"), std::string::npos) << log;
    EXPECT_NE(log.find("bad key line: KEY 16 0c01\n"), std::string::npos) << log;
    EXPECT_NE(log.find("bad key line: key 3 0c01\n"), std::string::npos) << log;
    const std::string expected = packet({{"CE00", "9--"}});
    EXPECT_EQ(readFor(box.port, expected.size(), WAIT_MS), expected);
    EXPECT_EQ(readFor(box.port, 1, 200), "");
}

TEST(SkyBoxCli, SkyKeyDropsReportsNoOneRead)
{
    SkyBox box({});
    ASSERT_TRUE(box.start());
    box.keys({"0c80", "0c01"});
    box.waitLog("report CE00=1--");
    std::this_thread::sleep_for(100ms);  // stale bytes, as a finished run leaves them
    box.keys({"0c80", "0c02"});
    EXPECT_NE(box.waitLog("report CE00=2--").find("discarded 16 unread bytes\n"), std::string::npos);
    const std::string expected = packet({{"CE00", "2--"}});
    EXPECT_EQ(readFor(box.port, expected.size() + 1, 200), expected);
}

TEST(SkyBoxCli, HangupCutsThePortMidPacket)
{
    SkyBox box({"--hangup-after", "20"});
    ASSERT_TRUE(box.start());
    box.keys({"0c80", "0c01", "0c00"});
    // A tool that reads late must still get the bytes written before the hangup.
    box.waitLog("report CE00=10-");
    std::this_thread::sleep_for(200ms);
    bool ended = false;
    const std::string got = readFor(box.port, 100, WAIT_MS, &ended);
    EXPECT_EQ(got, (packet({{"CE00", "1--"}}) + packet({{"CE00", "10-"}})).substr(0, 20));
    EXPECT_TRUE(ended) << "the tool must see EOF or EIO";
    EXPECT_NE(box.waitLog("hangup").find("hangup after 20 bytes\n"), std::string::npos);
}

TEST(SkyBoxCli, LatencyDelaysEachReport)
{
    SkyBox box({"--latency", "400"});
    ASSERT_TRUE(box.start());
    box.keys({"0c80", "0c01"});
    EXPECT_EQ(readFor(box.port, 1, 250), "") << "report came before its latency";
    const std::string expected = packet({{"CE00", "1--"}});
    EXPECT_EQ(readFor(box.port, expected.size(), WAIT_MS), expected);
}

TEST(SkyBoxCli, ChatterKeepsTalkingWithoutVerdict)
{
    SkyBox box({"--chatter", "20", "--channel-now", "7", "--silent"});
    ASSERT_TRUE(box.start());
    box.keys({"0080", "0003"});
    const std::string one = packet({{"SSCA", "Channel 7"}});
    box.waitLog("silent, not sent: CE00=3--");
    EXPECT_EQ(readFor(box.port, 3 * one.size(), WAIT_MS), one + one + one);
    // Logged once, not every 20 ms.
    const std::string log = slurp(box.logPath);
    const std::string line = "chatter SSCA=Channel 7 every 20 ms\n";
    EXPECT_NE(log.find(line), std::string::npos) << log;
    EXPECT_EQ(log.find(line), log.rfind(line)) << log;
}

TEST(SkyBoxCli, FloodKeepsThePortFull)
{
    SkyBox box({"--chatter", "0"});
    ASSERT_TRUE(box.start());
    // Unread, the port fills up far beyond one packet (the line discipline
    // holds at most 4095 bytes, the rest waits in the kernel behind it).
    const auto deadline = Clock::now() + std::chrono::milliseconds(WAIT_MS);
    int waiting = 0;
    while (::ioctl(box.port, FIONREAD, &waiting) == 0 && waiting < 2048 && Clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    EXPECT_GE(waiting, 2048);
    std::string many;
    const std::string one = packet({{"SSCA", "Channel 100"}});
    for (int i = 0; i < 1000; ++i)
        many += one;
    EXPECT_EQ(readFor(box.port, many.size(), WAIT_MS), many);
    EXPECT_NE(slurp(box.logPath).find("chatter SSCA=Channel 100 flood\n"), std::string::npos);
}

TEST(SkyBoxCli, BadOptionsAreRefused)
{
    const std::vector<std::vector<std::string>> cases = {
        {"--output", "0"},         {"--output", "16"},        {"--output", "1x"},
        {"--family", "sky+sd"},    {"--digits", "5"},         {"--channel-now", "12a"},
        {"--wrong-channel", "12345"}, {"--latency", "-1"},    {"--chatter", "-1"},
        {"--hangup-after", ""},    {"--channel-error", std::string(993, 'e')}, {"extra"},
    };
    for (const auto& args : cases) {
        SkyBox box(args);
        const std::string err = box.readStderr();
        EXPECT_EQ(box.exitStatus(WAIT_MS), 1) << args[0];
        EXPECT_NE(err.find("sky-box: "), std::string::npos) << args[0] << ": " << err;
    }
}

}  // namespace
