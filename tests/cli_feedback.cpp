// SPDX-License-Identifier: GPL-2.0-or-later
// Confirmed channel changes (--feedback): the verdict and the lines drawn from
// the box's packets, the overall deadline, and a port that fails. The test
// plays the box on a pseudo-terminal of its own; two cases use sky-box.
#include <gmock/gmock.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "harness.h"
#include "sim/gnome_packet.h"

namespace {

using cli::codes_on;
using cli::RunResult;
using cli::sent_codes;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using namespace std::string_view_literals;

constexpr std::string_view kSelectTimedOut = "select timed out\n";
constexpr std::string_view kReadFailed = "Failed reading response from sky box.\n";

[[noreturn]] void fail_system(const std::string& what)
{
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

std::string packet(std::initializer_list<GnomeField> fields, unsigned checksum_error = 0)
{
    return gnome_encodePacket(fields, GNOME_PACKET_REMAINDER, checksum_error);
}

// The box's end of its RS232 port. The program opens the slave; the test
// writes to the master and also holds the slave, so bytes written before the
// program opens the port wait for it, and bytes it never read can be checked.
class BoxPort {
public:
    BoxPort()
    {
        if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0)
            fail_system("openpty");
        for (int fd : {master_, slave_})
            if (fcntl(fd, F_SETFD, FD_CLOEXEC) != 0)
                fail_system("fcntl");
        std::array<char, 128> name{};
        if (ptsname_r(master_, name.data(), name.size()) != 0)
            fail_system("ptsname_r");
        path_ = name.data();
        termios settings{};
        if (tcgetattr(slave_, &settings) != 0)
            fail_system("tcgetattr");
        cfmakeraw(&settings);  // no echo back into the master, no line editing
        if (tcsetattr(slave_, TCSANOW, &settings) != 0)
            fail_system("tcsetattr");
    }
    ~BoxPort()
    {
        hang_up();
        close(slave_);
    }
    BoxPort(const BoxPort&) = delete;
    BoxPort& operator=(const BoxPort&) = delete;

    const std::string& path() const { return path_; }
    int master() const { return master_; }

    void send(std::string_view bytes) const
    {
        while (!bytes.empty()) {
            const ssize_t n = write(master_, bytes.data(), bytes.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                fail_system("write to the box port");
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
    }

    // Closing the master hangs the line up for whoever has the slave open.
    void hang_up()
    {
        if (master_ >= 0)
            close(std::exchange(master_, -1));
    }

    // Bytes written to the master and not yet read from the slave.
    int waiting() const
    {
        int count = 0;
        return ioctl(slave_, FIONREAD, &count) == 0 ? count : -1;
    }

    // Everything still waiting on the line (read by the test, so gone after).
    std::string unread() const
    {
        std::string bytes;
        pollfd ready{slave_, POLLIN, 0};
        while (poll(&ready, 1, 50) == 1 && (ready.revents & POLLIN) != 0) {
            std::array<char, 4096> chunk{};
            const ssize_t n = read(slave_, chunk.data(), chunk.size());
            if (n <= 0)
                break;
            bytes.append(chunk.data(), static_cast<std::size_t>(n));
        }
        return bytes;
    }

    // The line's speed as its settings say (the program sets them on opening).
    speed_t speed() const
    {
        termios settings{};
        return tcgetattr(slave_, &settings) == 0 ? cfgetospeed(&settings) : B0;
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

// The keys as the box receives them: the simulated controller writes a line
// per delivered key into this FIFO, which tells the test when the last key
// has gone out. Held open for reading and writing, so it never reports EOF.
class KeyTap {
public:
    explicit KeyTap(const cli::TempDir& dir) : path_(dir.file("keys"))
    {
        if (mkfifo(path_.c_str(), 0600) != 0)
            fail_system("mkfifo");
        fd_ = open(path_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0)
            fail_system("open " + path_);
    }
    ~KeyTap() { close(fd_); }
    KeyTap(const KeyTap&) = delete;
    KeyTap& operator=(const KeyTap&) = delete;

    std::string env() const { return "TOVRA_SIM_BOX=" + path_; }

    // True once a line holding text has arrived, within 10 s.
    bool wait_for(std::string_view text)
    {
        const auto deadline = Clock::now() + 10s;
        while (lines_.find(text) == std::string::npos) {
            if (Clock::now() >= deadline)
                return false;
            pollfd ready{fd_, POLLIN, 0};
            if (poll(&ready, 1, 50) != 1)
                continue;
            std::array<char, 256> chunk{};
            const ssize_t n = read(fd_, chunk.data(), chunk.size());
            if (n > 0)
                lines_.append(chunk.data(), static_cast<std::size_t>(n));
        }
        return true;
    }

private:
    std::string path_;
    int fd_ = -1;
    std::string lines_;
};

// The codes of a confirmed change: Sky, the channel's digits, 9 and Backup.
std::vector<std::string> confirmed_keys(int output, unsigned family, std::string_view channel)
{
    std::vector<std::string> codes = codes_on(output, {family + 0x80});
    for (char digit : channel) {
        auto more = codes_on(output, {family + static_cast<unsigned>(digit - '0')});
        codes.insert(codes.end(), more.begin(), more.end());
    }
    auto end = codes_on(output, {family + 0x09, family + 0x83});
    codes.insert(codes.end(), end.begin(), end.end());
    return codes;
}

class Feedback : public cli::CliTest {
protected:
    // Options for one of several runs at once: a lock folder of its own, so
    // that the runs on the one simulated controller do not wait for each other.
    cli::RunOptions side_by_side()
    {
        const std::string locks = dir.file("locks" + std::to_string(++runs_));
        std::filesystem::create_directory(locks);
        cli::RunOptions options;
        options.env = {"TOVRA_SIM_LOCK_DIR=" + locks};
        return options;
    }

private:
    int runs_ = 0;
};

// ---- Verdicts: the box's packets are on the line before the run starts ----

struct Verdict {
    const char* name;
    std::vector<std::string> options;  // before --feedback and --channel
    std::string channel;
    std::string wire;   // sent before the run
    std::string after;  // sent too, behind wire; never read by the program
    int status;
    std::string out;
    unsigned family = 0x0C00;
    int output = 1;
};

void PrintTo(const Verdict& v, std::ostream* os) { *os << v.name; }

const std::string kSuccess101 = "Tuning successful, channel '101' selected\n";

std::string failed(std::string_view channel)
{
    return "Tuning failed, channel '" + std::string(channel) + "' selected\nFailed\n";
}

// A CE00 packet whose checksum is one too high, and the lines the reader
// writes for it once the next packet's newline arrives.
std::string bad_checksum_packet() { return packet({{"CE00", "102"}}, 1); }

std::string bad_checksum_lines()
{
    const std::string bad = bad_checksum_packet();
    const unsigned received = static_cast<unsigned>(std::stoul(bad.substr(bad.size() - 2), nullptr, 16));
    std::array<char, 64> line{};
    std::snprintf(line.data(), line.size(), "Checksum mismatch: %x vs %x\n", received, (received + 255) % 256);
    return line.data() + ("Unexpected/invalid characters: [[[" + bad.substr(1) + "]]]\n");
}

// The most a field can carry: the total length leaves no remainder.
const std::string kLongest(GNOME_PACKET_MAX_VALUE, '1');

const std::vector<Verdict> kVerdicts{
    {"Success", {"--sky+"}, "101", packet({{"CE00", "101"}}), "", 0, kSuccess101},
    {"SuccessSkyHdOutput3", {"--sky+hd", "--output", "3"}, "7", packet({{"CE00", "7"}}), "", 0,
     "Tuning successful, channel '7' selected\n", 0x5C00, 3},
    {"SuccessSkyFamily", {}, "30", packet({{"CE00", "30"}}), "", 0, "Tuning successful, channel '30' selected\n",
     0x0000},
    {"WrongChannel", {"--sky+"}, "101", packet({{"CE00", "102"}}), "", 1, failed("102")},
    {"PartialsThenTheChannel", {"--sky+"}, "101",
     packet({{"CE00", "1--"}}) + packet({{"CE00", "10-"}}) + packet({{"CE00", "101"}}), "", 0, kSuccess101},
    {"FirstDeciderWins", {"--sky+"}, "101", packet({{"CE00", "100"}}), packet({{"CE00", "101"}}), 1, failed("100")},
    {"SevenFPrefixReadsAsZero", {"--sky+"}, "0101", packet({{"CE00", "\x7F" "101"}}), "", 0,
     "Tuning successful, channel '0101' selected\n"},
    {"SevenFPrefixAgainstThreeDigits", {"--sky+"}, "101", packet({{"CE00", "\x7F" "101"}}), "", 1, failed("0101")},
    {"SevenFKeptBelowFourBytes", {"--sky+"}, "001", packet({{"CE00", "\x7F" "01"}}), "", 1, failed("\x7F" "01")},
    {"LeadingZeroIsNotRemoved", {"--sky+"}, "101", packet({{"CE00", "0101"}}), "", 1, failed("0101")},
    {"ChannelError", {"--sky+"}, "101", packet({{"CEER", "No signal"}}), "", 1, "Channel error: No signal\nFailed\n"},
    {"ErrorThenMatchSucceeds", {"--sky+"}, "101", packet({{"CEER", "Busy"}, {"CE00", "101"}}), "", 0,
     "Channel error: Busy\n" + kSuccess101},
    {"MatchThenErrorFails", {"--sky+"}, "101", packet({{"CE00", "101"}, {"CEER", "Busy"}}), "", 1,
     kSuccess101 + "Channel error: Busy\nFailed\n"},
    {"PartialLeavesTheVerdict", {"--sky+"}, "101", packet({{"CE00", "102"}, {"CE00", "10-"}}), "", 1,
     failed("102")},
    {"CurrentChannelNeverDecides", {"--sky+"}, "101",
     packet({{"SSCN", "101"}}) + packet({{"SSCN", "10"}}) + packet({{"SSCN", "0101"}}) +
         packet({{"SSCN", "101"}, {"CE00", "102"}}),
     "", 1,
     "Current channel '101' [correct]\nCurrent channel '10' [incorrect]\nCurrent channel '0101' [incorrect]\n"
     "Current channel '101' [correct]\n" + failed("102")},
    {"DescriptionAndErrorTexts", {"--sky+"}, "101",
     packet({{"SSCA", "Sky One"}, {"PUCP", "No card"}}) + packet({{"PUSP", "Low signal"}, {"SSCA", ""}}) +
         packet({{"XXXX", "102"}, {"ce00", "102"}, {"CE01", "102"}}) + packet({{"CE00", "101"}}),
     "", 0,
     "Channel description 'Sky One'\nError 'No card'\nError 'Low signal'\nChannel description ''\n" + kSuccess101},
    {"FiveDigitsConfirmedInFull", {"--sky+"}, "10234", packet({{"CE00", "1023-"}, {"CE00", "10234"}}), "", 0,
     "Tuning successful, channel '10234' selected\n"},
    {"LongerValueFails", {"--sky+"}, "10234", packet({{"CE00", "102345"}}), "", 1, failed("102345")},
    {"LongestValueFails", {"--sky+"}, "101", gnome_encodePacket({{"CE00", kLongest}}, 0), "", 1, failed(kLongest)},
    {"EmptyChannelEmptyValue", {"--sky+"}, "", packet({{"CE00", ""}}), "", 0,
     "Tuning successful, channel '' selected\n"},
    {"EmptyChannelOtherValue", {"--sky+"}, "", packet({{"CE00", "-"}}) + packet({{"CE00", "9"}}), "", 1, failed("9")},
    {"EmptyValueForANumber", {"--sky+"}, "101", packet({{"CE00", ""}}), "", 1, failed("")},
    {"ZeroByteEndsTheText", {"--sky+"}, "101", packet({{"CE00", "1\0" "1"sv}}), "", 1, failed("1")},
    {"ZeroByteHidesATrailingDash", {"--sky+"}, "1", packet({{"CE00", "1\0-"sv}}), "", 1, failed("1")},
    {"RejectedPacketIsSkipped", {"--sky+"}, "101", bad_checksum_packet() + packet({{"CE00", "101"}}), "", 0,
     bad_checksum_lines() + kSuccess101},
    {"NoiseBeforeThePacket", {"--sky+"}, "101", "xyz\r" + packet({{"CE00", "101"}}), "", 0,
     "Unexpected/invalid characters: [[[xyz[0D]]]]\n" + kSuccess101},
};

class FeedbackVerdict : public Feedback, public ::testing::WithParamInterface<Verdict> {};

TEST_P(FeedbackVerdict, FromPacketsAlreadyOnTheLine)
{
    const Verdict& v = GetParam();
    BoxPort box;
    box.send(v.wire + v.after);
    std::vector<std::string> args = v.options;
    args.insert(args.end(), {"--feedback", box.path(), "--channel", v.channel});

    const RunResult r = run(args);
    EXPECT_EQ(r.status, v.status) << r;
    EXPECT_EQ(r.out, v.out) << r;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(sent_codes(r.usb_log), confirmed_keys(v.output, v.family, v.channel)) << r;
    EXPECT_LT(r.seconds, 1.5) << "waited as without a feedback port";
    EXPECT_EQ(box.unread(), v.after) << "read beyond the deciding packet";
}

INSTANTIATE_TEST_SUITE_P(Table, FeedbackVerdict, ::testing::ValuesIn(kVerdicts),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Debug lines: one per field, before the field's own line ----

TEST_F(Feedback, DebugShowsEveryFieldWithLengthAndFirstByte)
{
    BoxPort box;
    const std::string last = packet({{"XXXX", "z"}, {"CE00", "101"}, {"PUCP", ""}});
    box.send(packet({{"SSCA", ""}, {"CE00", "1--"}}) + packet({{"SSCN", "\xE9t\xE9"}}) + last);

    const RunResult r = run({"--debug", "--sky+", "--feedback", box.path(), "--channel", "101"});
    EXPECT_EQ(r.status, 0) << r;
    std::string expected = "sending channel '101'\n";
    for (int key : {0x80, 0x01, 0x00, 0x01, 0x09, 0x83}) {
        std::array<char, 128> line{};
        std::snprintf(line.data(), line.size(),
                      "sending code %04x to output 1\nsending cmd %04x to output 1: bytes 48, 12, %d\n",
                      0x0C00 + key, 0x0C00 + key, key);
        expected += line.data();
    }
    // An empty value's "first byte" is whatever follows the field: the next
    // tag's first letter, or the first checksum digit of the packet.
    expected += "SSCA :  [0 67]\n"
                "Channel description ''\n"
                "CE00 : 1-- [3 49]\n"
                "SSCN : \xE9t\xE9 [3 -23]\n"
                "Current channel '\xE9t\xE9' [incorrect]\n"
                "XXXX : z [1 122]\n"
                "CE00 : 101 [3 49]\n" +
                kSuccess101 + "PUCP :  [0 " + std::to_string(last[last.size() - 2]) + "]\nError ''\n";
    const std::size_t from = r.out.find("sending channel");
    ASSERT_NE(from, std::string::npos) << r;
    EXPECT_EQ(r.out.substr(from), expected);
}

// ---- Reports that come after the keys, and a line that goes away ----

TEST_F(Feedback, WaitsForAReportThatComesLater)
{
    BoxPort box;
    KeyTap keys(dir);
    box.send(packet({{"CE00", "1--"}}));
    cli::RunOptions options;
    options.env = {keys.env()};
    cli::RunningTool tool = start({"--sky+", "--feedback", box.path(), "--channel", "101"}, options);
    ASSERT_TRUE(keys.wait_for("KEY 1 0c83\n"));
    std::this_thread::sleep_for(300ms);
    box.send(packet({{"SSCA", "Sky One"}}) + packet({{"CE00", "101"}}));

    const RunResult r = tool.finish();
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out, "Channel description 'Sky One'\n" + kSuccess101);
    EXPECT_GE(r.seconds, 0.3);
    EXPECT_LT(r.seconds, 5.0) << r;
}

TEST_F(Feedback, HangUpInTheMiddleOfAPacket)
{
    BoxPort box;
    KeyTap keys(dir);
    const std::string whole = packet({{"CE00", "101"}});
    box.send(whole.substr(0, whole.size() / 2));
    cli::RunOptions options;
    options.env = {keys.env()};
    cli::RunningTool tool = start({"--sky+", "--feedback", box.path(), "--channel", "101"}, options);
    ASSERT_TRUE(keys.wait_for("KEY 1 0c83\n"));
    // The half packet must have been taken: a hang-up discards unread input.
    const auto deadline = Clock::now() + 5s;
    while (box.waiting() != 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    std::this_thread::sleep_for(100ms);
    box.hang_up();

    const RunResult r = tool.finish();
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_EQ(r.out, kReadFailed);
    EXPECT_EQ(r.err, "");
    EXPECT_LT(r.seconds, 5.0) << "the hang-up was not noticed";
}

// ---- The 10-second deadline: the slow cases, side by side ----

// Writes packets that decide nothing as fast as the program takes them, for
// the given time, so that a byte is always waiting when it asks for one. A
// pseudo-terminal holds only some 12 kB, which the program drains in a few
// milliseconds, and a full master is not always woken when room comes: so
// top it up often instead of waiting to be told.
void keep_talking(const BoxPort& box, std::chrono::seconds how_long)
{
    const std::string chatter = packet({{"XXXX", std::string(900, 'c')}});
    const int fd = box.master();
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    const auto end = Clock::now() + how_long;
    std::size_t at = 0;
    while (Clock::now() < end) {
        const ssize_t n = write(fd, chatter.data() + at, chatter.size() - at);
        if (n > 0)
            at = (at + static_cast<std::size_t>(n)) % chatter.size();
        else
            std::this_thread::sleep_for(100us);
    }
}

TEST_F(Feedback, DeadlineEndsAWaitWithoutVerdict)
{
    BoxPort silent, undecided, talker;
    undecided.send(packet({{"CE00", "1--"}, {"SSCN", "101"}}) + packet({{"SSCA", "Sky One"}}));
    const std::vector<std::string> args{"--sky+", "--feedback", "", "--channel", "101"};
    auto with_port = [&args](const BoxPort& box) {
        std::vector<std::string> a = args;
        a[2] = box.path();
        return a;
    };
    cli::RunningTool silent_run = start(with_port(silent), side_by_side());
    cli::RunningTool undecided_run = start(with_port(undecided), side_by_side());
    cli::RunningTool talker_run = start(with_port(talker), side_by_side());
    std::jthread talking([&talker] { keep_talking(talker, 12s); });

    const std::string timed_out = std::string(kSelectTimedOut) + std::string(kReadFailed);
    const RunResult s = silent_run.finish();
    EXPECT_EQ(s.status, 1) << s;
    EXPECT_EQ(s.out, timed_out);
    EXPECT_GT(s.seconds, 8.5) << s;
    EXPECT_LT(s.seconds, 11.5) << s;

    const RunResult u = undecided_run.finish();
    EXPECT_EQ(u.status, 1) << u;
    EXPECT_EQ(u.out, "Current channel '101' [correct]\nChannel description 'Sky One'\n" + timed_out);
    EXPECT_GT(u.seconds, 8.5) << u;

    // Past the deadline the program still takes what is waiting, and stops
    // at the first read that finds nothing.
    const RunResult t = talker_run.finish();
    EXPECT_EQ(t.status, 1) << t;
    EXPECT_EQ(t.out, timed_out);
    EXPECT_GT(t.seconds, 10.5) << t;
    EXPECT_LT(t.seconds, 30.0) << t;
    for (const RunResult* r : {&s, &u, &t}) {
        EXPECT_EQ(r->err, "");
        EXPECT_EQ(sent_codes(r->usb_log), confirmed_keys(1, 0x0C00, "101"));
    }
}

// ---- Channels with S, D or X, and a port that cannot be opened ----

TEST_F(Feedback, ServicesDownSelectOpenThePortButNeverReadIt)
{
    struct Case {
        std::string channel;
        std::vector<std::string> codes;
    };
    const std::vector<Case> table{
        {"1S2", codes_on(1, {0x0C80, 0x0C01, 0x0C7E, 0x0C02, 0x0C83})},
        {"D", codes_on(1, {0x0C80, 0x0C59, 0x0C83})},
        {"X9", codes_on(1, {0x0C80, 0x0C5C, 0x0C09, 0x0C83})},
    };
    const std::string decider = packet({{"CE00", "999"}});
    std::vector<std::unique_ptr<BoxPort>> ports;
    std::vector<cli::RunningTool> running;
    for (const Case& c : table) {
        ports.push_back(std::make_unique<BoxPort>());
        ports.back()->send(decider);
        running.push_back(start({"--sky+", "--feedback", ports.back()->path(), "--channel", c.channel}, side_by_side()));
    }
    for (std::size_t i = 0; i < table.size(); ++i) {
        SCOPED_TRACE(table[i].channel);
        const RunResult r = running[i].finish();
        EXPECT_EQ(r.status, 0) << r;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(sent_codes(r.usb_log), table[i].codes) << r;
        EXPECT_GE(r.seconds, 1.9) << "no wait before Backup";
        EXPECT_EQ(ports[i]->speed(), B57600) << "port not opened";
        EXPECT_EQ(ports[i]->unread(), decider) << "port was read";
    }
}

TEST_F(Feedback, PortThatCannotBeOpenedStopsTheRunBeforeAnyKey)
{
    const std::string missing = dir.file("no-such-port");
    const std::string folder = dir.file("folder");
    std::filesystem::create_directory(folder);
    const std::string file = dir.write("plain-file", "");
    const std::vector<std::pair<std::string, std::string>> ports{
        {missing, missing + ": No such file or directory\n"
                            "Opening feedback serial port failed: No such file or directory\n"},
        {folder, folder + ": Is a directory\nOpening feedback serial port failed: Is a directory\n"},
        {file, "tcsetattr: Inappropriate ioctl for device\n"
               "Opening feedback serial port failed: Inappropriate ioctl for device\n"},
    };
    for (const auto& [port, message] : ports) {
        for (const char* channel : {"101", "", "4S"}) {
            SCOPED_TRACE(port + " channel " + channel);
            const RunResult r = run({"--sky+", "--feedback", port, "--channel", channel});
            EXPECT_EQ(r.status, 1) << r;
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err, message);
            EXPECT_TRUE(cli::reports_out(r.usb_log).empty()) << r;
        }
    }
    // Raw codes never use the port, so it is not even opened.
    const RunResult r = run({"--feedback", missing, "0C05"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(sent_codes(r.usb_log), codes_on(1, {0x0C05})) << r;
}

// ---- End to end with the simulated box ----

// sky-box, started with a pipe as its stdin: closing the pipe stops it.
class SkyBox {
public:
    explicit SkyBox(std::vector<std::string> args)
    {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
            fail_system("pipe2");
        args.insert(args.begin(), {SKYBOX_BIN, "--quiet"});
        pid_ = fork();
        if (pid_ < 0)
            fail_system("fork");
        if (pid_ == 0) {
            dup2(in[0], STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            std::vector<char*> argv;
            for (std::string& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        stdin_ = in[1];
        stdout_ = out[0];
    }
    ~SkyBox()
    {
        close(stdin_);
        close(stdout_);
        for (int i = 0; i < 500; ++i) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_)
                return;
            std::this_thread::sleep_for(10ms);
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    SkyBox(const SkyBox&) = delete;
    SkyBox& operator=(const SkyBox&) = delete;

    // Reads the start lines; false when "ready" does not come within 5 s.
    bool ready()
    {
        std::string lines;
        const auto deadline = Clock::now() + 5s;
        while (lines.find("ready\n") == std::string::npos && Clock::now() < deadline) {
            pollfd waiting{stdout_, POLLIN, 0};
            if (poll(&waiting, 1, 100) != 1)
                continue;
            std::array<char, 512> chunk{};
            const ssize_t n = read(stdout_, chunk.data(), chunk.size());
            if (n <= 0)
                return false;
            lines.append(chunk.data(), static_cast<std::size_t>(n));
        }
        std::istringstream words(lines);
        std::string key;
        words >> key >> box_port >> key >> controller_port >> key >> keys_fifo;
        return lines.find("ready\n") != std::string::npos;
    }

    std::string box_port, controller_port, keys_fifo;

private:
    pid_t pid_ = -1;
    int stdin_ = -1, stdout_ = -1;
};

TEST_F(Feedback, SimulatedBoxOverUsbAndOverAnRs232Controller)
{
    SkyBox usb_box({});
    SkyBox serial_box({});
    SkyBox refusing_box({"--channel-error", "Not available"});
    ASSERT_TRUE(usb_box.ready());
    ASSERT_TRUE(serial_box.ready());
    ASSERT_TRUE(refusing_box.ready());

    cli::RunOptions usb;
    usb.env = {"TOVRA_SIM_BOX=" + usb_box.keys_fifo};
    // The box reports the channel and, in the same packet, the current one.
    const std::string tuned = kSuccess101 + "Current channel '101' [correct]\n";
    RunResult r = run({"--sky+", "--feedback", usb_box.box_port, "--channel", "101"}, usb);
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out, tuned);
    EXPECT_EQ(sent_codes(r.usb_log), confirmed_keys(1, 0x0C00, "101"));

    r = run({"--scontroller", serial_box.controller_port, "--sky+", "--feedback", serial_box.box_port, "--channel",
             "101"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out, tuned);
    EXPECT_EQ(r.err, "");

    usb.env = {"TOVRA_SIM_BOX=" + refusing_box.keys_fifo};
    r = run({"--sky+", "--feedback", refusing_box.box_port, "--channel", "101"}, usb);
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_THAT(r.out, ::testing::EndsWith("Channel error: Not available\nFailed\n")) << r;
}

}  // namespace
