// SPDX-License-Identifier: GPL-2.0-or-later
// tovra-control, one row per run: the command line, the simulated controller,
// what the box has sent, and everything the run shows: both streams, the
// status, what reached the controller, what the log file got.
#include <signal.h>

#include <algorithm>
#include <array>
#include <deque>
#include <filesystem>
#include <optional>
#include <sstream>

#include "harness.h"
#include "sim/gnome_packet.h"

namespace {

using cli::kFound;
using cli::kIdent;
using cli::kVersion;
using cli::sending;
using cli::Stream;

const std::string kBin = TOVRA_CONTROL_BIN;

std::string usage()
{
    std::string text = R"(%s syntax:
[--controller <usb controller number - 1 for 1st controller connected on system, 2 for second, ...>]
[--scontroller <serial device tovra controller is connected to>]
[--output <output number, as labled on the controller>]
[--sky] - tell --channel to send normal sky codes
[--sky+] - tell --channel to send sky+ codes
[--sky+hd] - tell --channel to send sky+hd codes
[--setup] - send compiled in setup command to tovra-control
[--debug] - print debug output
[--log <logfile name>] - log output to file
[--channel <x>] Change to channel 'x' - sends 'Sky', channel num, wait 2 secs,
          'Backup'. Channel number may contain S (services), D (down),
          X (select) to allow selection of 'other' channels
[--feedback <serial port>] For channel change commands send using
          --channel, wait for feedback from the sky box on given serial
          port. eg. /dev/ttyS0
<cmd1> <cmd2> <cmd3> ... - any number of 4 digit control codes

Examples:

send channel 123 to sky digibox on usb controller 1, output 1:
%s --controller 1 --output 1 0001 0002 0003

send channel 356 to sky+ on usb controller 1, output 2:
%s --controller 1 --output 2 0C03 0C05 0C06

send complete sequence to change to channel 123 on a Sky Box:
%s --sky --channel 123

send complete sequence to change to channel 123 on a Sky+ Box:
%s --sky+ --channel 123

send complete sequence to change to channel 123 on a Sky+ Box,
using an RS232 controller connected to ttyS0:
%s --scontroller /dev/ttyS0 --sky+ --channel 123

send complete sequence to change to channel 123 on a Sky+ Box and
wait for feedback from the sky box to confirm the channel change was ok:
%s --sky+ --feedback /dev/ttyS0 --channel 123

)";
    for (std::size_t at; (at = text.find("%s")) != std::string::npos;)
        text.replace(at, 2, kBin);
    return text;
}

std::string parser(const std::string& diagnostic) { return kBin + ": " + diagnostic + "\n" + usage(); }
std::string out_of_range(const std::string& shown) { return "output number '" + shown + "' out of range.\n"; }
std::string bad_controller(const std::string& given)
{
    return "controller number '" + given + "' out of range: use 1 to 255\n";
}

std::string unable(int index)  // the third line only for the first controller
{
    return "unable to find USB tovra controller number " + std::to_string(index) +
           "\nPlease check the controller is connected.\n" +
           (index == 0 ? "If you are using a serial controller please specify the port it is connected to use the "
                         "--scontroller command line switch.\n"
                       : "");
}

std::string not_found(int found, int index)
{
    return "tovra_usb_finddevice(" + std::to_string(found) + ") failed to find device 6666-f100\n" + unable(index);
}

const std::string kHint = "The USB controller is not writable for this user: install the tovra-control udev rules, "
                          "join the plugdev group (or log in locally), then unplug and replug the controller.\n";

std::string failed(const std::string& call, const std::string& error, const std::string& caller = "sendcommand")
{
    return call + " failed: " + error + "\ntovra_usb_" + caller + " failed: " + error + "\n";
}

std::string packet(std::initializer_list<GnomeField> fields) { return gnome_encodePacket(fields); }
std::string success(const std::string& channel) { return "Tuning successful, channel '" + channel + "' selected\n"; }
std::string failure(const std::string& channel) { return "Tuning failed, channel '" + channel + "' selected\nFailed\n"; }

// The keys of a confirmed change on a Sky+ box: Sky, the digits, 9 and Backup.
std::string confirmed(std::string_view channel)
{
    std::string keys = "usb: 30 0c 80";
    for (char digit : channel)
        keys += std::string(" 30 0c 0") + digit;
    return keys + " 30 0c 09 30 0c 83";
}

const std::string kCtl = "device 6666:f100 ";  // the one controller, its settings follow
const std::string kCrowd = "device 1234:5678\ndevice 6666:f101\ndevice 6666:f100\n"
                           "bus\ndevice 6666:f100\ndevice 0001:f100\ndevice 6666:f100\n";
const std::string kDebugThenWriteFailure = kIdent + sending(0x0001) + failed("usb_interrupt_write", "Connection timed out");
const std::string kOneRole = " is also the serial controller's port; the box's reports need a port of their own.\n";

struct Case {
    std::string name;
    std::vector<std::string> args;  // "@dir": the row's folder; "@pty": a serial line; "@link": a link to it
    int status;
    std::string out;
    std::string err;   // "*" stands for the rest of a line: an error number the library left as it was
    std::string wire;  // "usb:" and the reports (see cli::wire) when the USB library was used; "pty:" and the bytes
    std::string scenario = "device 6666:f100\n";
    std::string logged = "";  // what @dir/log got after "earlier run\n"
    Stream out_to = Stream::File;
    Stream err_to = Stream::File;
    std::string line = "";    // what the box has sent on the serial line when the run starts
    std::string unread = "";  // what of that is left
};

// A channel change on a Sky+ box confirmed from what the box sent; it sent more after that.
Case confirm(std::string name, std::string channel, std::string box, int status, std::string out, std::string more = "")
{
    return {name, {"--sky+", "--feedback", "@pty", "--channel", channel}, status, out, "", confirmed(channel),
            "device 6666:f100\n", "", Stream::File, Stream::File, box + more, more};
}

std::vector<Case> cases()
{
    std::vector<Case> table{
        // The command line.
        {"NoArguments", {}, 1, "", usage(), ""},
        {"UnknownOption", {"--bogus", "0001"}, 1, "", parser("unrecognized option '--bogus'"), ""},
        {"AmbiguousOption", {"--s", "0001"}, 1, "",
         parser("option '--s' is ambiguous; possibilities: '--scontroller' '--setup' '--sky' '--sky+' '--sky+hd'"), ""},
        {"MissingArgument", {"0001", "--output"}, 1, "", parser("option '--output' requires an argument"), ""},
        {"OptionsAfterCodesAndPrefixes", {"0001", "0002", "--out", "3"}, 0, "", "", "usb: 43 02 00 01 43 02 00 02"},
        {"DashDashEndsOptions", {"--output", "2", "--", "0001", "--debug"}, 1, "", "Invalid command code: '--debug'\n",
         "usb: 31 00 01"},
        {"OutputZero", {"--output", "0", "0001"}, 1, out_of_range("0"), usage(), ""},
        {"OutputSixteen", {"--output", "16", "--output", "1", "0001"}, 1, out_of_range("16"), usage(), ""},
        {"OutputBeyondInt", {"--output", "4294967297", "0001"}, 1, out_of_range("4294967297"), usage(), ""},
        {"BoxFifteen", {"--box", "15", "0001"}, 1, out_of_range("16"), usage(), ""},
        {"BoxBeyondInt", {"--box", "4294967296", "0001"}, 1, out_of_range("4294967297"), usage(), ""},
        {"ControllerZero", {"--controller", "0", "0001"}, 1, "", bad_controller("0"), ""},
        {"Controller256", {"--controller", "256", "0001"}, 1, "", bad_controller("256"), ""},
        {"ControllerBeyondInt", {"--controller", "4294967297"}, 1, "", bad_controller("4294967297"), ""},
        {"Controller255", {"--controller", "255", "0001"}, 1, "", not_found(1, 254), "usb:"},

        // Codes, and the reports that carry them.
        {"Output2", {"--output", "2", "0C05"}, 0, "", "", "usb: 31 0c 05"},
        {"Output15", {"--output", "15", "FFFE"}, 0, "", "", "usb: 43 0e ff fe"},
        {"BoxCountsFromZero", {"--box", "14", "0001"}, 0, "", "", "usb: 43 0e 00 01"},
        {"CodeSpellings", {"--", "c03", "0X0c03", "+0C03zz", " \t\r0C03", "0x", "0xg", "-0", "000000FFFE", "aF09", "fA"},
         0, "", "", "usb: 30 0c 03 30 0c 03 30 0c 03 30 0c 03 30 00 00 30 00 00 30 00 00 30 ff fe 30 af 09 30 00 fa"},
        {"NoCodes", {"--output", "3"}, 0, "", "", "usb:"},
        {"DebugLinesPerCode", {"--debug", "--output", "5", "0C05", "0001"}, 0,
         kIdent + sending(0x0C05, 5) + sending(0x0001, 5), "", "usb: 71 43 04 0c 05 43 04 00 01"},

        // Identification.
        {"Identification", {"--debug"}, 0,
         kFound + "- Manufacturer : Tovra Ltd\n- Product : USB remote\n- Serial Number: A0042\n- Version Number: 1.16\n"
                  "Trying to detach kernel driver\ndetach successful\nsending: byte 113\n- Full version 1.2.255\n",
         "", "usb: 71",
         kCtl + R"(release=0110 manufacturer="Tovra Ltd" product="USB remote" serial="A0042" version=1.2.255 detach=ok)"},
        {"IdentificationFailures", {"--debug", "0001", "0002"}, 0,
         kFound + "- Unable to fetch manufacturer string\n- Unable to fetch product string\n"
                  "- Unable to fetch serial number string\n- Version Number: 10.0\nTrying to detach kernel driver\n"
                  "Detach failed: Device or resource busy[16]\nContinueing anyway\nsending: byte 113\n" +
             sending(0x0001) + sending(0x0002),
         "usb_interrupt_read failed: Connection timed out\n", "usb: 71 30 00 01 30 00 02",
         kCtl + R"(manufacturer=fail product="" serial=fail release=0a00 detach=EBUSY reply=fail)"},
        {"ShortVersionReply", {"--debug"}, 0, kIdent.substr(0, kIdent.find("- Full")), "usb_interrupt_read failed: *\n",
         "usb: 71", kCtl + "reply=7"},

        // Which controller: the Nth with the controller's ids, in bus order.
        {"SearchStopsAtTheSecondController", {"--debug", "--controller", "2", "0001"}, 0,
         "Found device: 1234-5678\nFound device: 6666-f101\n" + kFound +
             "Found device: 6666-f100\nFound tovra control num 1\n" + kVersion + sending(0x0001),
         "", "usb: 002/001: 71 002/001: 30 00 01", kCrowd},
        {"ThirdController", {"--controller", "3", "0001"}, 0, "", "", "usb: 002/003: 30 00 01", kCrowd},
        {"NoFourthController", {"--controller", "4", "0001"}, 1, "", not_found(3, 3), "usb:", kCrowd},
        {"NoBuses", {"0001"}, 1, "", not_found(0, 0), "usb:", ""},

        // Failures on the way to the controller.
        {"OpenRefused", {"0001"}, 1, "", "usb_open failed: Permission denied\n" + unable(0) + kHint, "usb:",
         kCtl + "open=EACCES"},
        {"SetConfigurationFails", {"0001"}, 1, "", failed("usb_set_configuration", "Device or resource busy"), "usb:",
         kCtl + "setconfig=EBUSY"},
        {"ClaimRefused", {"0001"}, 1, "", failed("usb_claim_interface", "Permission denied") + kHint, "usb:",
         kCtl + "claim=EACCES"},
        {"ReadOnlyNode", {"0001"}, 1, "", failed("usb_set_configuration", "Operation not permitted") + kHint, "usb:",
         kCtl + "access=readonly"},
        {"WriteFails", {"0001", "0002", "0003"}, 1, "", failed("usb_interrupt_write", "Input/output error"),
         "usb: 30 00 01", kCtl + "write_fail=2:EIO"},
        {"ShortWrite", {"0001", "0002", "0003"}, 1, "", failed("usb_interrupt_write", "*"), "usb: 30 00 01 30 00 02",
         kCtl + "write_short=3:7"},

        // The set-up block.
        {"SetupThenCodes", {"--setup", "0C03"}, 0, "", "", "usb: 73 4b 96 96 05 dc 0a 8b 75 01 30 0c 03"},
        {"SetupOutput2AfterIdentification", {"--setup", "--debug", "--box", "1", "0001"}, 0, kIdent + sending(1, 2),
         "", "usb: 71 74 4b 96 96 05 dc 0a 8b 76 01 31 00 01"},
        {"SetupRefusedForOutput3", {"--setup", "--output", "3", "0001"}, 1, "",
         "Setup can only be sent to output 1 or 2, not output 3.\n", "usb:"},
        {"SetupWriteFails", {"--setup", "0001"}, 1, "", failed("usb_interrupt_write", "Connection timed out", "sendconfig"),
         "usb:", kCtl + "write_fail=1"},
        {"SetupClaimRefused", {"--setup"}, 1, "", failed("usb_claim_interface", "Permission denied", "sendconfig") + kHint,
         "usb:", kCtl + "claim=EACCES"},

        // An RS232 controller.
        {"SerialFrameOutput5", {"--debug", "--scontroller", "@pty", "--output", "5", "0C05"}, 0,
         "sending code 0c05 to output 5\nsending cmd 0c05 to output 5: bytes 67, 4, 12, 5\n", "", "pty: 43 04 0c 05"},
        {"SerialIgnoresTheControllerNumber",
         {"--debug", "--scontroller", "@pty", "--controller", "0", "--output", "2", "0C05"}, 0, sending(0x0C05, 2), "",
         "pty: 31 0c 05"},
        {"SerialPortMissing", {"--scontroller", "@dir/none", "0001"}, 1, "",
         "@dir/none: No such file or directory\nOpening serial port failed: No such file or directory\n", ""},
        {"SetupRefusedForSerial", {"--setup", "--scontroller", "@pty", "0001"}, 1, "",
         "Configuration sending not supported for serial devices.\n", ""},

        // The log file and the standard streams.
        {"LogAppendsBothStreamsInOrder", {"--log", "@dir/log", "--debug", "0001"}, 1, "", "", "usb: 71",
         kCtl + "write_fail=2", kDebugThenWriteFailure},
        {"LogWithStdoutClosed", {"--log", "@dir/log", "--debug", "0001"}, 1, "", "", "usb: 71", kCtl + "write_fail=2",
         kDebugThenWriteFailure, Stream::Closed},
        {"LogWithStderrClosed", {"--log", "@dir/log", "--debug", "0001"}, 1, "", "", "usb: 71", kCtl + "write_fail=2",
         kDebugThenWriteFailure, Stream::File, Stream::Closed},
        {"LogGetsThePermissionHint", {"--log", "@dir/log", "0001"}, 1, "", "", "usb:", kCtl + "claim=EACCES",
         failed("usb_claim_interface", "Permission denied") + kHint},
        {"LogThatCannotBeOpened", {"--log", "@dir/none/log", "0001"}, 1, "",
         "opening log file @dir/none/log for writing failed: No such file or directory\n", ""},
        {"StdoutClosedKeepsTheLineClean", {"--scontroller", "@pty", "--debug", "0001"}, 0, "", "", "pty: 30 00 01", "",
         "", Stream::Closed},
        {"StderrClosedKeepsTheLineClean", {"--scontroller", "@pty", "0001", "zz"}, 1, "", "", "pty: 30 00 01", "", "",
         Stream::File, Stream::Closed},
        {"ReaderGoneStillSendsEveryCode", {"--debug", "0001", "0002"}, 0, "", "", "usb: 71 30 00 01 30 00 02",
         "device 6666:f100\n", "", Stream::BrokenPipe},

        // Channel changes: the keys, then Backup 2 s after the last one.
        {"Sky", {"--channel", "123"}, 0, "", "", "usb: 30 00 80 30 00 01 30 00 02 30 00 03 30 00 83"},
        {"SkyPlus", {"--sky+", "--channel", "356"}, 0, "", "", "usb: 30 0c 80 30 0c 03 30 0c 05 30 0c 06 30 0c 83"},
        {"SkyPlusHdOutput5", {"--sky+hd", "--output", "5", "--channel", "90"}, 0, "", "",
         "usb: 43 04 5c 80 43 04 5c 09 43 04 5c 00 43 04 5c 83"},
        // The last box option wins; other words are no codes here.
        {"ServicesAndSelect", {"--sky+hd", "--sky", "--channel", "S2X", "zz", "0001"}, 0, "", "",
         "usb: 30 00 80 30 00 7e 30 00 02 30 00 5c 30 00 83"},
        {"EmptyChannel", {"--channel", ""}, 0, "", "", "usb: 30 00 80 30 00 83"},
        {"SerialController", {"--scontroller", "@pty", "--sky+", "--channel", "101"}, 0, "", "",
         "pty: 30 0c 80 30 0c 01 30 0c 00 30 0c 01 30 0c 83"},
        {"DebugLinesAndTheWait", {"--debug", "--sky+", "--channel", "12"}, 0,
         kIdent + "sending channel '12'\n" + sending(0x0C80) + sending(0x0C01) + sending(0x0C02) +
             "Waiting 2000 ms...\n" + sending(0x0C83),
         "", "usb: 71 30 0c 80 30 0c 01 30 0c 02 30 0c 83"},
        // Not a plain number: the feedback port is opened, and never read.
        {"DownWithFeedback", {"--sky+", "--feedback", "@pty", "--channel", "D9"}, 0, "", "",
         "usb: 30 0c 80 30 0c 59 30 0c 09 30 0c 83", "device 6666:f100\n", "", Stream::File, Stream::File,
         packet({{"CE00", "999"}}), packet({{"CE00", "999"}})},

        // Channel changes that end before the first key.
        {"ChannelPrefixInvalid", {"--chan", "zz"}, 1, "", "Invalid channel number 'zz'\n", "usb:"},
        {"InvalidChannelAfterIdentification", {"--debug", "--channel", "12a"}, 1, kIdent + "sending channel '12a'\n",
         "Invalid channel number '12a'\n", "usb: 71"},
        {"InvalidChannelBeforeFeedbackPort", {"--feedback", "@dir/none", "--channel", "1s"}, 1, "",
         "Invalid channel number '1s'\n", "usb:"},
        {"FeedbackPortMissing", {"--feedback", "@dir/none", "--channel", "101"}, 1, "",
         "@dir/none: No such file or directory\nOpening feedback serial port failed: No such file or directory\n",
         "usb:"},
        {"FeedbackUnusedForCodes", {"--feedback", "@dir/none", "0C05"}, 0, "", "", "usb: 30 0c 05"},
        {"OnePortForBothRoles", {"--scontroller", "@pty", "--feedback", "@pty", "--channel", "1"}, 1, "",
         "The feedback port @pty" + kOneRole, ""},
        {"OnePortForBothRolesThroughALink", {"--scontroller", "@pty", "--feedback", "@link", "--channel", "1"}, 1, "",
         "The feedback port @link" + kOneRole, ""},

        // Confirmed channel changes: the verdict from the box's reports.
        confirm("Success", "101", packet({{"CE00", "101"}}), 0, success("101")),
        confirm("PartialEntriesDecideNothing", "101",
                packet({{"CE00", "1--"}}) + packet({{"CE00", "10-"}, {"CE00", "101"}}), 0, success("101")),
        confirm("FirstDecidingPacketWins", "101", packet({{"CE00", "100"}}), 1, failure("100"),
                packet({{"CE00", "101"}})),
        confirm("SevenFBeforeThreeDigitsReadsAsZero", "0101", packet({{"CE00", "\x7F" "101"}}), 0, success("0101")),
        confirm("SevenFAgainstThreeDigits", "101", packet({{"CE00", "\x7F" "101"}}), 1, failure("0101")),
        confirm("SevenFKeptInThreeBytes", "001", packet({{"CE00", "\x7F" "01"}}), 1, failure("\x7F" "01")),
        confirm("ChannelError", "101", packet({{"CEER", "No signal"}}), 1, "Channel error: No signal\nFailed\n"),
        confirm("ErrorThenMatch", "101", packet({{"CEER", "Busy"}, {"CE00", "101"}}), 0,
                "Channel error: Busy\n" + success("101")),
        confirm("MatchThenError", "101", packet({{"CE00", "101"}, {"CEER", "Busy"}}), 1,
                success("101") + "Channel error: Busy\nFailed\n"),
        confirm("CurrentChannelNeverDecides", "101",
                packet({{"SSCN", "101"}}) + packet({{"SSCN", "10"}, {"SSCN", "0101"}, {"CE00", "102"}}), 1,
                "Current channel '101' [correct]\nCurrent channel '10' [incorrect]\n"
                "Current channel '0101' [incorrect]\n" + failure("102")),
        confirm("TextsAndOtherTags", "101",
                packet({{"SSCA", "Sky One"}, {"PUCP", "No card"}, {"PUSP", "Low signal"}}) +
                    packet({{"XXXX", "102"}, {"ce00", "102"}, {"CE01", "102"}, {"CE00", "101"}}),
                0, "Channel description 'Sky One'\nError 'No card'\nError 'Low signal'\n" + success("101")),
        confirm("FiveDigitsConfirm", "10234", packet({{"CE00", "1023-"}, {"CE00", "10234"}}), 0, success("10234")),
        confirm("LongerValueComparedWhole", "10234", packet({{"CE00", "102345"}}), 1, failure("102345")),
        confirm("EmptyChannel", "", packet({{"CE00", "-"}, {"CE00", ""}}), 0, success("")),
        confirm("EmptyChannelOtherValue", "", packet({{"CE00", "9"}}), 1, failure("9")),
        confirm("ZeroByteEndsTheText", "101", packet({{"CE00", std::string_view("1\0" "1", 3)}}), 1, failure("1")),
    };
    Case debug = confirm("DebugShowsEveryField", "1", packet({{"SSCN", "\xE9t\xE9"}, {"CE00", "1"}}), 0,
                         kIdent + "sending channel '1'\n" + sending(0x0C80) + sending(0x0C01) + sending(0x0C09) +
                             sending(0x0C83) + "SSCN : \xE9t\xE9 [3 -23]\nCurrent channel '\xE9t\xE9' [incorrect]\n" +
                             "CE00 : 1 [1 49]\n" + success("1"));
    debug.args.insert(debug.args.begin(), "--debug");
    debug.wire.insert(4, " 71");
    table.push_back(debug);
    // A word that is no code ends the run, after the codes before it went out.
    for (const std::string word : {"", "zz", "-1", "FFFF", "FFFE0", "100000000", "-FFFF0002", "FFFFFFFFFFFFFFFF"})
        table.push_back({"Refused" + word, {"--", "0001", word, "0002"}, 1, "", "Invalid command code: '" + word + "'\n",
                         "usb: 30 00 01"});
    return table;
}

// text matches pattern, where "*" stands for the rest of a line.
bool matches(std::string_view pattern, std::string_view text)
{
    const std::size_t star = pattern.find('*');
    const std::size_t end = text.find('\n', star);
    return star == pattern.npos ? pattern == text
                                : text.starts_with(pattern.substr(0, star)) && end != text.npos &&
                                      matches(pattern.substr(star + 1), text.substr(end));
}

// One row's run, with a folder and a serial line of its own.
struct Trial {
    explicit Trial(const Case& row) : c(row)
    {
        std::filesystem::create_symlink(line.path(), dir.file("link"));
        dir.write("log", "earlier run\n");
        line.send(c.line);
        std::vector<std::string> args;
        for (const std::string& arg : c.args)
            args.push_back(subst(arg));
        // Options and codes mix whatever the caller's environment says.
        run.emplace(dir, args,
                    cli::RunOptions{.scenario = c.scenario, .env = {"POSIXLY_CORRECT=1"}, .out = c.out_to,
                                    .err = c.err_to});
    }

    std::string subst(std::string text) const
    {
        for (const auto& [name, value] : {std::pair{"@dir", dir.path}, {"@pty", line.path()}, {"@link", dir.file("link")}})
            for (std::size_t at; (at = text.find(name)) != std::string::npos;)
                text.replace(at, std::string_view(name).size(), value);
        return text;
    }

    void check()
    {
        SCOPED_TRACE(c.name);
        const cli::Result r = run->finish();
        EXPECT_EQ(r.status, c.status) << r;
        EXPECT_EQ(r.out, subst(c.out));
        EXPECT_TRUE(matches(subst(c.err), r.err)) << r;
        const std::string sent = cli::wire(r.log), serial = cli::hex(line.received());
        const std::string usb = r.log.empty() ? "" : sent.empty() ? "usb:" : "usb: " + sent;
        EXPECT_EQ(usb + (serial.empty() ? "" : (usb.empty() ? "pty: " : " pty: ") + serial), c.wire) << r;
        EXPECT_EQ(line.unread(), c.unread) << "read from the line";
        EXPECT_EQ(cli::read_file(dir.file("log")), "earlier run\n" + subst(c.logged));
        EXPECT_EQ(r.log.find("usb_close(") != r.log.npos, c.status == 0 && !r.log.empty()) << "released the controller";
        // A change without a verdict ends with Backup 2 s after the last key.
        if (c.status == 0 && std::count(c.args.begin(), c.args.end(), "--channel") && c.out.find("Tuning") == c.out.npos) {
            EXPECT_GE(r.seconds, 2.0);
        }
    }

    const Case& c;
    cli::TempDir dir;
    cli::Pty line;
    std::optional<cli::Run> run;
};

TEST(Control, Table)
{
    const std::vector<Case> table = cases();
    std::deque<Trial> changes;  // channel changes may wait 2 s: they run side by side
    for (const Case& c : table) {
        if (std::count(c.args.begin(), c.args.end(), "--channel"))
            changes.emplace_back(c);
        else
            Trial(c).check();
    }
    for (Trial& t : changes)
        t.check();
}

// The one test that waits out the 10-second deadline, for three boxes at once.
TEST(Control, ConfirmationDeadline)
{
    cli::TempDir dir;
    cli::Pty silent, undecided, chatty;
    undecided.send(packet({{"SSCN", "101"}, {"CE00", "1--"}}));
    std::deque<cli::Run> runs;
    for (const cli::Pty* box : {&silent, &undecided, &chatty})
        runs.emplace_back(dir, std::vector<std::string>{"--sky+", "--feedback", box->path(), "--channel", "101"});
    // A report every 200 ms: the deadline bounds the whole wait, not each byte's.
    std::jthread talking([&chatty](std::stop_token stop) {
        for (; !stop.stop_requested(); std::this_thread::sleep_for(std::chrono::milliseconds(200)))
            chatty.send(packet({{"XXXX", "1"}}));
    });
    const std::string timed_out = "select timed out\nFailed reading response from sky box.\n";
    const std::string outs[] = {timed_out, "Current channel '101' [correct]\n" + timed_out, timed_out};
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const cli::Result r = runs[i].finish();
        EXPECT_EQ(r.status, 1) << r;
        EXPECT_EQ(r.out, outs[i]) << r;
        EXPECT_EQ("usb: " + cli::wire(r.log), confirmed("101"));
        EXPECT_GT(r.seconds, 8.5);
        EXPECT_LT(r.seconds, 11.5 * cli::time_scale());
    }
}

// End to end with the simulated box: over USB, over an RS232 controller, and a box that goes away.
TEST(Control, SimulatedBox)
{
    cli::TempDir dir;
    cli::Pty quiet;  // the boxes' stdin
    std::deque<cli::Run> boxes;
    std::array<std::string, 3> ports[3];  // the box's port, an RS232 controller's port, the FIFO of USB keys
    for (const auto& options :
         {std::vector<std::string>{"--quiet"}, {"--quiet"}, {"--quiet", "--hangup-after", "20"}}) {
        boxes.emplace_back(dir, options,
                           cli::RunOptions{.program = SKYBOX_BIN, .stdin_fd = quiet.slave(), .wrapped = false});
        std::string start;
        ASSERT_TRUE(cli::eventually([&] { return (start = boxes.back().so_far()).ends_with("ready\n"); })) << start;
        std::istringstream words(start);
        std::string key;
        auto& [box, controller, keys] = ports[boxes.size() - 1];
        words >> key >> box >> key >> controller >> key >> keys;
    }
    const std::string tuned = success("101") + "Current channel '101' [correct]\n";
    cli::Result r = cli::run(dir, {"--sky+", "--feedback", ports[0][0], "--channel", "101"},
                             {.env = {"TOVRA_SIM_BOX=" + ports[0][2]}});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out, tuned);
    r = cli::run(dir, {"--scontroller", ports[1][1], "--sky+", "--feedback", ports[1][0], "--channel", "101"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out, tuned);
    r = cli::run(dir, {"--sky+", "--feedback", ports[2][0], "--channel", "101"}, {.env = {"TOVRA_SIM_BOX=" + ports[2][2]}});
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_EQ(r.out, "Failed reading response from sky box.\n");
    for (cli::Run& box : boxes) {
        kill(box.pid(), SIGTERM);
        box.finish();
    }
}

}  // namespace
