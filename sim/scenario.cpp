// SPDX-License-Identifier: GPL-2.0-or-later
// Scenario reading, the controller's replies and the report log lines.
#include "scenario.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>
#include <stdexcept>
#include <utility>

namespace sim {

std::optional<int> errno_from_name(std::string_view name)
{
    for (int error = 1; error < 256; ++error)
        if (const char* known = strerrorname_np(error); known && name == known)
            return error;
    return std::nullopt;
}

namespace {

// A string descriptor holds at most 126 UTF-16 units after its 2-byte header.
constexpr std::size_t kMaxStringLength = 126;
constexpr std::uint16_t kLangIdEnglishUs = 0x0409;
constexpr std::uint8_t kFiller = 0x7A;

struct ScenarioError : std::runtime_error {
    ScenarioError(int line, const std::string& message)
        : std::runtime_error("scenario line " + std::to_string(line) + ": " + message)
    {
    }
};

std::optional<unsigned> number(std::string_view text, int base, std::size_t max_digits, unsigned max)
{
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || text.size() > max_digits || error != std::errc() || end != text.data() + text.size() ||
        value > max)
        return std::nullopt;
    return value;
}

bool blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

struct Word {
    std::string text;
    bool quoted = false;  // the value after '=' was in double quotes
};

// The words of a line up to a comment. Only a value right after '=' may be
// quoted; inside quotes \" and \\ escape.
std::vector<Word> split_line(std::string_view line, int number)
{
    std::vector<Word> words;
    std::size_t i = 0;
    for (;;) {
        while (i < line.size() && blank(line[i]))
            ++i;
        if (i == line.size() || line[i] == '#')
            return words;
        Word word;
        while (i < line.size() && !blank(line[i]) && line[i] != '#') {
            const char c = line[i++];
            if (c != '"') {
                word.text += c;
                continue;
            }
            if (!word.text.ends_with('='))
                throw ScenarioError(number, "stray quote after '" + word.text + "'");
            word.quoted = true;
            for (;;) {
                if (i == line.size())
                    throw ScenarioError(number, "unterminated quoted value in '" + word.text + "'");
                char q = line[i++];
                if (q == '"')
                    break;
                if (q == '\\' && i < line.size())
                    q = line[i++];
                word.text += q;
            }
            if (i < line.size() && !blank(line[i]) && line[i] != '#')
                throw ScenarioError(number, "text after the closing quote of '" + word.text + "'");
        }
        words.push_back(std::move(word));
    }
}

// Reads one key=value of a device.
class KeyReader {
public:
    KeyReader(Device& device, int line) : device_(device), line_(line) {}

    void read(const std::string& key, const std::string& value, bool quoted)
    {
        const bool repeatable = key == "write_fail" || key == "write_short";
        if (!repeatable && !seen_.insert(key).second)
            fail("key '" + key + "' given twice");
        if (value.empty() && !quoted)
            fail("missing value for key '" + key + "'");
        constexpr std::array<std::string_view, 3> string_keys{"manufacturer", "product", "serial"};
        if (const auto* at = std::find(string_keys.begin(), string_keys.end(), key); at != string_keys.end())
            string_value(device_.strings[static_cast<std::size_t>(at - string_keys.begin())], key, value, quoted);
        else if (key == "release")
            device_.release = static_cast<std::uint16_t>(need(number(value, 16, 4, 0xFFFF), "release", value));
        else if (key == "version")
            version(value);
        else if (key == "reply" && value == "fail")
            device_.reply_fail = true;
        else if (key == "reply")
            device_.reply_count = static_cast<int>(need(number(value, 10, 1, kReportSize), "reply", value));
        else if (key == "open")
            device_.open_error = error_value(key, value, EACCES);
        else if (key == "detach")
            device_.detach_error = value == "ok" ? 0 : error_value(key, value, 0);
        else if (key == "setconfig")
            device_.setconfig_error = error_value(key, value, EBUSY);
        else if (key == "claim")
            device_.claim_error = error_value(key, value, EBUSY);
        else if (key == "access" && (value == "readonly" || value == "none"))
            device_.mode = value == "readonly" ? 0664 : 0660;
        else if (key == "write_delay")
            device_.write_ms = need(number(value, 10, 5, 60000), "write_delay", value);
        else if (key == "node" && value == "absent")
            device_.node = false;
        else if (repeatable)
            write_fault(key, value);
        else if (key == "access" || key == "node")
            fail("bad " + key + " '" + value + (key == "node" ? "' (absent)" : "' (readonly or none)"));
        else
            fail("unknown key '" + key + "'");
    }

private:
    [[noreturn]] void fail(const std::string& message) const { throw ScenarioError(line_, message); }

    unsigned need(std::optional<unsigned> value, std::string_view key, std::string_view text) const
    {
        if (!value)
            fail("bad " + std::string(key) + " '" + std::string(text) + "'");
        return *value;
    }

    void string_value(StringSetup& setup, std::string_view key, const std::string& value, bool quoted) const
    {
        if (value.size() > kMaxStringLength)
            fail("string of key '" + std::string(key) + "' is longer than 126 characters");
        setup.kind = !quoted && value == "fail" ? StringSetup::Kind::Fail : StringSetup::Kind::Present;
        setup.text = value;
    }

    void version(std::string_view value) const
    {
        std::string_view rest = value;
        for (std::uint8_t& part : device_.version) {
            const std::size_t dot = &part == &device_.version.back() ? rest.size() : rest.find('.');
            part = static_cast<std::uint8_t>(
                need(dot == rest.npos ? std::nullopt : number(rest.substr(0, dot), 10, 3, 255), "version", value));
            rest = rest.substr(std::min(dot + 1, rest.size()));
        }
    }

    // An errno name; "fail" stands for fail_error where that is not 0.
    int error_value(std::string_view key, const std::string& value, int fail_error) const
    {
        if (value == "fail" && fail_error != 0)
            return fail_error;
        const std::optional<int> error = errno_from_name(value);
        if (!error)
            fail("unknown error name '" + value + "' for key '" + std::string(key) + "'");
        return *error;
    }

    // write_fail=N[:ERRNO], write_short=N:COUNT
    void write_fault(std::string_view key, const std::string& value) const
    {
        const std::size_t colon = value.find(':');
        const std::string rest = colon == value.npos ? "" : value.substr(colon + 1);
        const unsigned n = need(number(value.substr(0, colon), 10, 9, 999999999), "write number", value);
        WriteFault fault{ETIMEDOUT, 0};
        if (key == "write_short")
            fault = {0, static_cast<int>(need(number(rest, 10, 1, kReportSize - 1), "count (N:0..7)", value))};
        else if (colon != value.npos)
            fault.error = error_value(key, rest, 0);
        if (n == 0 || !device_.write_faults.emplace(n, fault).second)
            fail("bad or repeated write number in '" + value + "'");
    }

    Device& device_;
    int line_;
    std::set<std::string> seen_;
};

Device read_device(const std::vector<Word>& words, int line)
{
    Device device;
    const std::string ids = words.size() > 1 ? words[1].text : "";
    const std::size_t colon = ids.find(':');
    const auto vendor = number(ids.substr(0, colon), 16, 4, 0xFFFF);
    const auto product = colon == ids.npos ? std::nullopt : number(ids.substr(colon + 1), 16, 4, 0xFFFF);
    if (!vendor || !product)
        throw ScenarioError(line, "bad device ids '" + ids + "' (want VVVV:PPPP in hex)");
    device.vendor = static_cast<std::uint16_t>(*vendor);
    device.product = static_cast<std::uint16_t>(*product);
    KeyReader keys(device, line);
    for (std::size_t i = 2; i < words.size(); ++i) {
        const std::size_t equals = words[i].text.find('=');
        if (equals == std::string::npos || equals == 0)
            throw ScenarioError(line, "expected key=value, got '" + words[i].text + "'");
        keys.read(words[i].text.substr(0, equals), words[i].text.substr(equals + 1), words[i].quoted);
    }
    return device;
}

}  // namespace

Scenario parse_scenario(std::string_view text)
{
    Scenario scenario;
    auto& buses = scenario.buses;
    // The lines that set something for the whole scenario, each at most once.
    const std::array<std::pair<std::string_view, bool Scenario::*>, 3> settings{
        {{"listing newest-first", &Scenario::newest_first},
         {"library compat", &Scenario::compat},
         {"group plugdev absent", &Scenario::no_plugdev}}};
    std::set<std::string> seen;
    for (int line = 1; !text.empty(); ++line) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        const std::vector<Word> words = split_line(text.substr(0, end), line);
        text.remove_prefix(std::min(end + 1, text.size()));
        if (words.empty())
            continue;
        if (words[0].text == "bus" && words.size() == 1) {
            buses.emplace_back();
        } else if (words[0].text == "device") {
            if (buses.empty())
                buses.emplace_back();
            buses.back().push_back(read_device(words, line));
            buses.back().back().name = strfmt("%03zu/%03zu", buses.size(), buses.back().size());
        } else if (const auto setting = std::ranges::find_if(
                       settings, [&](const auto& s) { return s.first.starts_with(words[0].text + ' '); });
                   setting != settings.end()) {
            std::string given;
            for (const Word& word : words)
                given += (given.empty() ? "" : " ") + word.text;
            if (given != setting->first)
                throw ScenarioError(line, "bad " + words[0].text + " (want '" + std::string(setting->first) + "')");
            if (!seen.insert(words[0].text).second)
                throw ScenarioError(line, "'" + words[0].text + "' given twice");
            scenario.*setting->second = true;
        } else {
            throw ScenarioError(line, words[0].text == "bus" ? "unexpected text after 'bus'"
                                                              : "unknown keyword '" + words[0].text + "'");
        }
    }
    return scenario;
}

Bytes Device::device_descriptor() const
{
    const auto index = [this](std::size_t i) {
        return static_cast<std::uint8_t>(strings[i].kind == StringSetup::Kind::Absent ? 0 : i + 1);
    };
    const auto low = [](std::uint16_t value) { return static_cast<std::uint8_t>(value & 0xFF); };
    const auto high = [](std::uint16_t value) { return static_cast<std::uint8_t>(value >> 8); };
    // USB 1.1, no class, 8-byte control packets; then the ids, the release, the string indexes, one configuration.
    return {18,           1,         0x10,           0x01,          0,           0,        0,        8, low(vendor),
            high(vendor), low(product), high(product), low(release), high(release), index(0), index(1), index(2), 1};
}

Bytes config_descriptor()
{
    // Configuration 1; interface 0, HID class; interrupt endpoints 0x81 and 0x01, 8 bytes, every 10 ms.
    return {9, 2, 32, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 2, 3, 0, 0, 0,
            7, 5, kEndpointIn, 3, kReportSize, 0, 10, 7, 5, kEndpointOut, 3, kReportSize, 0, 10};
}

int Device::string_descriptor(int index, Bytes& out) const
{
    if (index == 0) {
        out = {4, 3, kLangIdEnglishUs & 0xFF, kLangIdEnglishUs >> 8};
        return 0;
    }
    if (index < 1 || index > 3 || strings[static_cast<std::size_t>(index - 1)].kind != StringSetup::Kind::Present)
        return -EPIPE;
    const std::string& text = strings[static_cast<std::size_t>(index - 1)].text;
    out = {static_cast<std::uint8_t>(2 + 2 * text.size()), 3};
    for (const char c : text)  // the text as Latin-1 in UTF-16LE
        out.insert(out.end(), {static_cast<std::uint8_t>(c), 0});
    return 0;
}

int Device::write(int size)
{
    const auto fault = write_faults.find(++writes);
    if (fault == write_faults.end())
        return size;
    return fault->second.error ? -fault->second.error : fault->second.count;
}

Command command_of(const std::uint8_t* r)
{
    if (r[0] == '0' || r[0] == '1')
        return {r[0] - '0' + 1, static_cast<unsigned>(r[1] << 8 | r[2])};
    if (r[0] == 'C')
        return {r[1] + 1, static_cast<unsigned>(r[2] << 8 | r[3])};
    return {};
}

void send_key_to_box(const Command& command)
{
    static std::map<std::string, int> boxes;  // by path, kept open between keys
    if (command.output < 1 || command.output > 15)
        return;
    const int saved = errno;
    sigset_t pipe_set;
    sigset_t old_set;
    sigemptyset(&pipe_set);
    sigaddset(&pipe_set, SIGPIPE);
    ::sigprocmask(SIG_BLOCK, &pipe_set, &old_set);
    const std::string line = strfmt("KEY %d %04x\n", command.output, command.code);
    std::map<std::string, int> kept;
    const char* list = std::getenv("TOVRA_SIM_BOX");
    for (std::string_view rest = list ? list : ""; !rest.empty();) {
        const std::string path(rest.substr(0, rest.find(':')));
        rest.remove_prefix(std::min(path.size() + 1, rest.size()));
        const auto known = boxes.find(path);
        int fd = known == boxes.end() ? -1 : std::exchange(known->second, -1);
        for (int tries = 0; !path.empty() && tries < 2; ++tries) {
            if (fd < 0)
                fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);  // no reader: dropped
            if (fd < 0 || ::write(fd, line.data(), line.size()) >= 0 || errno != EPIPE)
                break;
            const timespec no_wait{};
            ::sigtimedwait(&pipe_set, nullptr, &no_wait);
            ::close(std::exchange(fd, -1));  // its box is gone; another may read there now
        }
        if (fd >= 0 && !kept.emplace(path, fd).second)
            ::close(fd);
    }
    for (const auto& [path, fd] : boxes)
        if (fd >= 0)
            ::close(fd);
    boxes = std::move(kept);
    ::sigprocmask(SIG_SETMASK, &old_set, nullptr);
    errno = saved;
}

std::string Device::deliver(const std::uint8_t* report)
{
    std::string decoded = "unknown";
    if (const Command command = command_of(report); command.output != 0)
        decoded = strfmt("code %04x output %d", command.code, command.output);
    else if (report[0] == 's' || report[0] == 't')
        decoded = strfmt("config A output %d", report[0] - 's' + 1);
    else if (report[0] == 'u' || report[0] == 'v')
        decoded = strfmt("config B output %d", report[0] - 'u' + 1);
    else if (report[0] == 'q')
        decoded = "version query";
    reply_pending = reply_pending || report[0] == 'q';
    return report_line("out", name, report, kReportSize) + " | " + decoded;
}

int Device::read(std::uint8_t* reply)
{
    if (!std::exchange(reply_pending, false) || reply_fail)
        return -ETIMEDOUT;
    std::fill_n(reply, kReportSize, kFiller);
    std::copy(version.begin(), version.end(), reply);
    return reply_count;
}

std::string report_line(std::string_view direction, const std::string& name, const std::uint8_t* bytes, int count)
{
    std::string line = "report " + std::string(direction) + " " + name + ":";
    for (int i = 0; i < count; ++i)
        line += strfmt(" %02x", bytes[i]);
    return line;
}

std::string errno_name(int error)
{
    const char* name = strerrorname_np(error);
    return name ? name : strfmt("E%d", error);
}

std::string result_text(int result)
{
    return result < 0 ? strfmt(" = %d (%s)", result, errno_name(-result).c_str()) : strfmt(" = %d", result);
}

std::string strfmt(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    std::string text(static_cast<std::size_t>(std::max(0, std::vsnprintf(nullptr, 0, format, copy))), '\0');
    va_end(copy);
    std::vsnprintf(text.data(), text.size() + 1, format, args);
    va_end(args);
    return text;
}

}  // namespace sim
