// SPDX-License-Identifier: GPL-2.0-or-later
// tovra-control, one row per run: the command line, the simulated controller, what the box has sent, and all
// the run shows: both streams, the status, what reached the controller, what the log file got. Then the fixed
// waits, and runs that share a controller or a port.
#include "harness.h"
#include "sim/gnome_packet.h"

namespace {

using namespace cli;
const std::string kBin = TOVRA_CONTROL_BIN;

std::string usage()
{
    return replace_all(
        "%s syntax:\n"
        "[--controller <usb controller number - 1 for 1st controller connected on system, 2 for second, ...>]\n"
        "[--scontroller <serial device tovra controller is connected to>]\n"
        "[--output <output number, as labled on the controller>]\n[--sky] - tell --channel to send normal sky codes\n"
        "[--sky+] - tell --channel to send sky+ codes\n[--sky+hd] - tell --channel to send sky+hd codes\n[--setup] - "
        "send compiled in setup command to tovra-control\n[--debug] - print debug output\n[--log <logfile name>] - "
        "log output to file\n"
        "[--channel <x>] Change to channel 'x' - sends 'Sky', channel num, wait 2 secs,\n"
        "          'Backup'. Channel number may contain S (services), D (down),\n"
        "          X (select) to allow selection of 'other' channels\n"
        "[--feedback <serial port>] For channel change commands send using\n"
        "          --channel, wait for feedback from the sky box on given serial\n          port. eg. /dev/ttyS0\n"
        "<cmd1> <cmd2> <cmd3> ... - any number of 4 digit control codes\n\nExamples:\n\n"
        "send channel 123 to sky digibox on usb controller 1, output 1:\n"
        "%s --controller 1 --output 1 0001 0002 0003\n\nsend channel 356 to sky+ on usb controller 1, output 2:\n"
        "%s --controller 1 --output 2 0C03 0C05 0C06\n\n"
        "send complete sequence to change to channel 123 on a Sky Box:\n%s --sky --channel 123\n\n"
        "send complete sequence to change to channel 123 on a Sky+ Box:\n%s --sky+ --channel 123\n\n"
        "send complete sequence to change to channel 123 on a Sky+ Box,\nusing an RS232 controller connected to ttyS0:\n"
        "%s --scontroller /dev/ttyS0 --sky+ --channel 123\n\nsend complete sequence to change to channel 123 on a Sky+ "
        "Box and\nwait for feedback from the sky box to confirm the channel change was ok:\n"
        "%s --sky+ --feedback /dev/ttyS0 --channel 123\n\n", "%s", kBin);
}

// What --debug prints first for the default controller: the search, then the identification.
const std::string kFound = "Found device: 6666-f100\nFound tovra control num 0\n";
const std::string kQuery = "Trying to detach kernel driver\nDevice already detached\nsending: byte 113\n";
const std::string kVersion = "- Version Number: 1.0\n" + kQuery + "- Full version 1.0.0\n";
const std::string kIdent = kFound + kVersion;

// The --debug lines of one code sent to output 1 or 2, of a USB or an RS232 controller.
std::string sending(unsigned code, int output = 1)
{
    std::array<char, 128> text{};
    std::snprintf(text.data(), text.size(),
                  "sending code %04x to output %d\nsending cmd %04x to output %d: bytes %d, %u, %u\n", code, output,
                  code, output, '0' + output - 1, code >> 8, code & 0xFF);
    return text.data();
}

std::string parser(const std::string& diagnostic) { return kBin + ": " + diagnostic + "\n" + usage(); }
std::string out_of_range(const std::string& output) { return "output number '" + output + "' out of range.\n"; }
std::string no_controller(const std::string& n) { return "controller number '" + n + "' out of range: use 1 to 255\n"; }

const std::string kSerialHint = "If you are using a serial controller please specify the port it is connected to "
                                "use the --scontroller command line switch.\n";

std::string unable(int index)  // the serial controller's hint only for the first controller
{
    return "unable to find USB tovra controller number " + std::to_string(index) +
           "\nPlease check the controller is connected.\n" + (index == 0 ? kSerialHint : "");
}

std::string not_found(int found, int index)
{
    return "tovra_usb_finddevice(" + std::to_string(found) + ") failed to find device 6666-f100\n" + unable(index);
}

const std::string kFix = "install the tovra-control udev rules, join the plugdev group (or log in locally), then "
                         "unplug and replug the controller.\n";
const std::string kHint = "The USB controller is not writable for this user: " + kFix;
const std::string kNoGroupFix = "this system has no plugdev group: create it (groupadd --system plugdev) or name a group "
                                "of your own in the tovra-control udev rules, install the rules, join the group (or log "
                                "in locally), then unplug and replug the controller.\n";

std::string at(const std::string& path)
{
    return "unable to find USB tovra controller " + path + "\nPlease check the controller is connected.\n";
}

std::string failed(const std::string& call, const std::string& error, const std::string& caller = "sendcommand")
{
    return call + " failed: " + error + "\ntovra_usb_" + caller + " failed: " + error + "\n";
}

std::string packet(std::initializer_list<GnomeField> fields) { return gnome_encodePacket(fields); }
std::string success(const std::string& channel) { return "Tuning successful, channel '" + channel + "' selected\n"; }
std::string failure(std::string channel) { return "Tuning failed, channel '" + channel + "' selected\nFailed\n"; }

// The keys of a confirmed change on a Sky+ box: Sky, the digits, 9 and Backup (after the version query).
std::string confirmed(std::string_view channel, bool debug = false)
{
    std::string keys = debug ? "usb: 71 30 0c 80" : "usb: 30 0c 80";
    for (char digit : channel) keys += std::string(" 30 0c 0") + digit;
    return keys + " 30 0c 09 30 0c 83";
}

const std::string kCtl = "device 6666:f100 ";  // the one controller, its settings follow
const std::string kHidden = "device 6666:f100 access=none\ndevice 6666:f100 ";  // 001/001 is not for this user

std::string hidden(const std::string& node, const std::string& mode = "plugdev, mode 0660", const std::string& fix = kFix)
{
    return "The USB controller /dev/bus/usb/" + node + " (group " + mode + ") cannot be opened by this user: " + fix;
}
std::string times(int n, const std::string& text) { return n > 0 ? text + times(n - 1, text) : ""; }
// Other products 001/001 to 001/009, then hidden and usable controllers in turn from 001/010 on, and 002/001 on.
const std::string kMany = "listing newest-first\n" + times(9, "device 1234:5678\n") + times(2, kHidden + "\n") + "bus\n" +
                          kHidden;
const std::string kCrowd = "device 1234:5678\ndevice 6666:f101\ndevice 6666:f100\n"
                           "bus\ndevice 6666:f100\ndevice 0001:f100\ndevice 6666:f100\n";
const std::string kWriteFailure = kIdent + sending(0x0001) + failed("usb_interrupt_write", "Connection timed out");

struct Case {
    std::vector<std::string> args = {};  // "@dir": the row's folder; "@pty": a serial line; "@link": a link to it;
                                         // "@dir/c": a link to controller 002/001's node
    int status = 0;
    std::string out = "", err = "";
    std::string wire = "";  // "usb:" and the reports (see wire) when the USB library was used; "pty:" and the bytes
    std::string scenario = "device 6666:f100\n";
    std::string logged = "";  // what @dir/log got after "earlier run\n", or what @dir/new got
    Stream out_to = Stream::File, err_to = Stream::File;
    std::string line = "", unread = "";  // what the box has sent on the serial line before the run; what is left
    std::vector<std::string> env = {};      // more for the run's environment, as the simulator's faults
    int held = 0;                           // see RunOptions
};

Case with_env(Case c, std::string setting)
{
    c.env.push_back(std::move(setting));
    return c;
}

// Code 1 sent to the output that args select (its report's first bytes: "30", "43 02" ...); runs refused at once.
Case sent(std::vector<std::string> args, std::string to) { return {args, 0, "", "", "usb: " + to + " 00 01"}; }
Case range(std::vector<std::string> args, std::string shown) { return {args, 1, out_of_range(shown), usage()}; }
Case refused(std::string n) { return {{"--controller", n}, 1, "", no_controller(n)}; }
Case bad_channel(std::string c) { return {{"--channel", c}, 1, "", "Invalid channel number '" + c + "'\n", "usb:"}; }

// A change on a Sky+ box confirmed from what the box sent; it sent more after that.
Case confirm(std::string channel, std::string box, int status, std::string out, std::string more = "",
             bool debug = false)
{
    std::vector<std::string> args{"--sky+", "--feedback", "@pty", "--channel", channel};
    if (debug) args.insert(args.begin(), "--debug");
    return {.args = args, .status = status, .out = out, .wire = confirmed(channel, debug), .scenario = kCtl,
            .line = box + more, .unread = more};
}

std::vector<Case> cases()
{
    const std::string io_error = failed("usb_interrupt_write", "Input/output error");
    auto logged = [](Stream o, Stream e) -> Case {  // a failure that the log gets whatever the streams are
        return {{"--log", "@dir/log", "--debug", "1"}, 1, "", "", "usb: 71", kCtl + "write_fail=2", kWriteFailure, o, e};
    };
    // Besides its fields, Trial holds every row to these:
    // - it runs with POSIXLY_CORRECT=1 in the environment, and options and codes mix all the same;
    // - a run given "@pty" leaves that line at 57600 8N1;
    // - @dir/log holds "earlier run\n", and then @dir/new (not there before the run) the row's logged;
    // - the USB library's log has usb_close exactly when the run succeeded or got to the box's reports ("Failed");
    // - a successful --channel run with no "Tuning" verdict in out takes at least 2 s (Backup after the last key).
    std::vector<Case> table{
        // The command line.
        {.status = 1, .err = usage()},
        {.args = {"--bogus", "0001"}, .status = 1, .err = parser("unrecognized option '--bogus'")},
        {.args = {"--s", "0001"}, .status = 1, .err = parser("option '--s' is ambiguous; possibilities: "
                                                             "'--scontroller' '--setup' '--sky' '--sky+' '--sky+hd'")},
        {.args = {"0001", "--output"}, .status = 1, .err = parser("option '--output' requires an argument")},
        {.args = {"0001", "0002", "--out", "3"}, .wire = "usb: 43 02 00 01 43 02 00 02"},
        {.args = {"0001", "-1"}, .status = 1, .err = parser("invalid option -- '1'")},
        // Numbers as strtol reads them: white space, a sign, leading zeros; up to the first other character.
        sent({"--output=+3", "1"}, "43 02"), sent({"--output", " 4", "1"}, "43 03"),
        sent({"--output", "010", "1"}, "43 09"), sent({"--output", "6x", "1"}, "43 05"),
        sent({"--output", "3", "--box", "abc", "1"}, "30"), sent({"--out", "3", "--box=0", "1"}, "30"),
        range({"--output", "16", "--output", "1"}, "16"), range({"--output", "4294967297"}, "4294967297"),
        range({"--output", "abc"}, "0"), range({"--output", "-1"}, "-1"), range({"--box", "-1"}, "0"),
        range({"--box", "15"}, "16"), range({"--box", "4294967296"}, "4294967297"),
        range({"--box", "9223372036854775807"}, "9223372036854775808"),
        // Beyond 64 bits the number typed, as strtol reads it (--box shows it plus one).
        range({"--output", " +0099999999999999999999x"}, "99999999999999999999"),
        range({"--box", "99999999999999999999"}, "100000000000000000000"),
        range({"--box", "-100000000000000000000"}, "-99999999999999999999"),
        refused("0"), refused("-1"), refused("abc"), refused("256"), refused("4294967297"),
        {.args = {"--controller", "255", "0001"}, .status = 1, .err = not_found(1, 254), .wire = "usb:"},
        {.args = {"--controller", "255", "1"}, .wire = "usb: 001/255: 30 00 01", .scenario = times(255, kCtl + "\n")},
        // Codes, and the reports that carry them.
        {.args = {"--output", "15", "FFFE"}, .wire = "usb: 43 0e ff fe"},
        {.args = {"--", "c03", "0X0c03", "+0C03zz", " \t\r0C03", "0x", "0xc03", "-0", "000000FFFE", "aF09", "fA"},
         .wire = "usb: 30 0c 03 30 0c 03 30 0c 03 30 0c 03 30 00 00 30 0c 03 30 00 00 30 ff fe 30 af 09 30 00 fa"},
        {.args = {"--debug", "--output", "5", "0C05", "0001"},
         .out = kIdent + "sending code 0c05 to output 5\nsending cmd 0c05 to output 5: bytes 67, 4, 12\n"
                         "sending code 0001 to output 5\nsending cmd 0001 to output 5: bytes 67, 4, 0\n",
         .wire = "usb: 71 43 04 0c 05 43 04 00 01"},
        // Identification.
        {.args = {"--debug"},
         .out = kFound + "- Manufacturer : Tovra Ltd\n- Product : USB remote\n- Serial Number: A\n"
                         "- Version Number: 1.16\nTrying to detach kernel driver\ndetach successful\n"
                         "sending: byte 113\n- Full version 1.2.255\n", .wire = "usb: 71",
         .scenario = kCtl + R"(release=0110 manufacturer="Tovra Ltd" product="USB remote" serial="A" )"
                            "version=1.2.255 detach=ok"},
        {.args = {"--debug", "0001", "0002"},
         .out = kFound + "- Unable to fetch manufacturer string\n- Unable to fetch product string\n"
                         "- Unable to fetch serial number string\n- Version Number: 10.0\nTrying to detach kernel "
                         "driver\nDetach failed: Device or resource busy[16]\nContinueing anyway\nsending: byte 113\n" +
                sending(0x0001) + sending(0x0002),
         .err = "usb_interrupt_read failed: Connection timed out\n", .wire = "usb: 71 30 00 01 30 00 02",
         .scenario = kCtl + R"(manufacturer=fail product="" serial=fail release=0a00 detach=EBUSY reply=fail)"},
        {.args = {"--debug"}, .out = kFound + "- Manufacturer : " + std::string(126, 'M') + "\n- Version Number: 18.52\n" +
         kQuery, .err = "usb_interrupt_read failed: Input/output error\n", .wire = "usb: 71",
         .scenario = kCtl + "reply=7 release=1234 manufacturer=" + std::string(126, 'M')},
        {.args = {"--debug"}, .out = kFound + "- Version Number: 1.0\n" + kQuery,
         .err = "usb_interrupt_write failed: Connection timed out\n", .wire = "usb:", .scenario = kCtl + "write_fail=1"},
        // A claim that failed during the identification is reported once; the code then fails without a retry.
        {.args = {"--debug", "0001"}, .status = 1, .out = kFound + "- Version Number: 1.0\nTrying to detach kernel "
                                                   "driver\nDevice already detached\nsending code 0001 to output 1\n",
         .err = failed("usb_set_configuration", "Device or resource busy"), .wire = "usb:",
         .scenario = kCtl + "setconfig=EBUSY"},
        // A short transfer or one that moved nothing (Debian's libusb: 0) is an I/O error, not a leftover errno.
        {{"1", "2", "3"}, 1, "", io_error, "usb: 30 00 01 30 00 02", kCtl + "write_short=3:7"},
        {{"1", "2"}, 1, "", io_error, "usb: 30 00 01", kCtl + "write_fail=2:ENODEV"},
        // Which controller: the Nth with the controller's ids, in bus order.
        {.args = {"--debug", "--controller", "2", "0001"},
         .out = "Found device: 1234-5678\nFound device: 6666-f101\n" + kFound +
                "Found device: 6666-f100\nFound tovra control num 1\n" + kVersion + sending(0x0001),
         .wire = "usb: 002/001: 71 002/001: 30 00 01", .scenario = kCrowd},
        {.args = {"--controller", "03", "0001"}, .wire = "usb: 002/003: 30 00 01", .scenario = kCrowd},
        // ... however libusb lists them: a real kernel lists the last plugged first.
        {.args = {"--debug", "--controller", "1", "0001"},
         .out = "Found device: 1234-5678\nFound device: 6666-f101\n" + kIdent + sending(0x0001),
         .wire = "usb: 001/003: 71 001/003: 30 00 01", .scenario = "listing newest-first\n" + kCrowd},
        // Or the controller at a device path, or a link to it.
        {.args = {"--controller", "/dev/bus/usb/002/003", "0001"}, .wire = "usb: 002/003: 30 00 01",
         .scenario = kCrowd},
        {.args = {"--controller", "@dir/c", "0001"}, .wire = "usb: 002/001: 30 00 01", .scenario = kCrowd},
        {.args = {"--controller", "/dev/bus/usb/001/001", "0001"}, .status = 1,
         .err = "no tovra controller (6666-f100) found at /dev/bus/usb/001/001\n" + at("/dev/bus/usb/001/001"),
         .wire = "usb:", .scenario = kCrowd},
        {.args = {"--controller", "@dir/none", "0001"}, .status = 1,
         .err = "@dir/none: No such file or directory\n" + at("@dir/none"), .wire = "usb:"},
        // libusb leaves out a controller whose node this user cannot open: the run tells why it is not found, or
        // that it counts another controller than for a user who may open both.
        {.args = {"--controller", "2", "0001"}, .status = 1, .err = not_found(1, 1) + hidden("001/001"), .wire = "usb:",
         .scenario = kHidden},
        {.args = {"--controller", "1", "0001"}, .err = "warning: --controller 1 counts only the controllers this user "
                                                       "can open: it selects /dev/bus/usb/001/002.\n" + hidden("001/001"),
         .wire = "usb: 001/002: 30 00 01", .scenario = kHidden},
        {.args = {"0001"}, .status = 1, .err = not_found(0, 0) + hidden("001/001", "root, mode 0660", kNoGroupFix),
         .wire = "usb:", .scenario = "group plugdev absent\n" + kCtl + "access=none"},
        {.args = {"0001"}, .status = 1,
         .err = not_found(0, 0) + "The USB controller /dev/bus/usb/001/001 cannot be opened: No such file or directory\n",
         .wire = "usb:", .scenario = kCtl + "node=absent"},
        {.args = {"--controller", "2", "0001"}, .err = "warning: --controller 2 counts only the controllers this user "
                   "can open: it selects /dev/bus/usb/001/013.\n" + hidden("001/010") + hidden("001/012"),
         .wire = "usb: 001/013: 30 00 01", .scenario = kMany},
        {.args = {"--controller", "4", "0001"}, .status = 1, .err = not_found(3, 3) + hidden("001/010") +
         hidden("001/012") + hidden("002/001"), .wire = "usb:", .scenario = kMany},
        // libusb-compat (Fedora, Arch) lists every controller and fails to open one it cannot write.
        {.args = {"--controller", "2", "0001"}, .status = 1,
         .err = "usb_open failed: Permission denied\n" + unable(1) + hidden("001/002", "plugdev, mode 0664"),
         .wire = "usb:", .scenario = "library compat\n" + kHidden + "access=readonly"},
        // Failures on the way to the controller.
        {.args = {"0001"}, .status = 1, .err = failed("usb_set_configuration", "Device or resource busy"),
         .wire = "usb:", .scenario = kCtl + "setconfig=EBUSY"},
        {.args = {"0001"}, .status = 1, .err = failed("usb_claim_interface", "Permission denied") + kHint,
         .wire = "usb:", .scenario = kCtl + "claim=EACCES"},
        {.args = {"0001"}, .status = 1, .err = failed("usb_set_configuration", "Operation not permitted") + kHint,
         .wire = "usb:", .scenario = kCtl + "access=readonly"},
        {.args = {"0001", "0002", "0003"}, .status = 1, .err = failed("usb_interrupt_write", "No such device or address"),
         .wire = "usb: 30 00 01", .scenario = "library compat\n" + kCtl + "write_fail=2:ENODEV"},  // unplugged
        // The set-up block.
        {.args = {"--setup", "0C03"}, .wire = "usb: 73 4b 96 96 05 dc 0a 8b 75 01 30 0c 03"},
        {.args = {"--setup", "--debug", "--box", "1", "0001"}, .out = kIdent + sending(1, 2),
         .wire = "usb: 71 74 4b 96 96 05 dc 0a 8b 76 01 31 00 01"},
        {.args = {"--setup", "--output", "3"}, .status = 1,
         .err = "Setup can only be sent to output 1 or 2, not output 3.\n", .wire = "usb:"},
        {.args = {"--setup"}, .status = 1, .err = failed("usb_claim_interface", "Permission denied", "sendconfig") +
                                                  kHint, .wire = "usb:", .scenario = kCtl + "claim=EACCES"},
        {.args = {"--setup"}, .status = 1, .err = failed("usb_interrupt_write", "Connection timed out", "sendconfig"),
         .wire = "usb:", .scenario = kCtl + "write_fail=1"},
        {.args = {"--setup"}, .status = 1, .err = failed("usb_interrupt_write", "Connection timed out", "sendconfig"),
         .wire = "usb: 73 4b 96 96 05 dc 0a 8b", .scenario = kCtl + "write_fail=2"},  // report B
        // An RS232 controller.
        {.args = {"--debug", "--scontroller", "@pty", "--output", "3", "0C05"},
         .out = "sending code 0c05 to output 3\nsending cmd 0c05 to output 3: bytes 67, 2, 12, 5\n",
         .wire = "pty: 43 02 0c 05"},
        {.args = {"--scontroller", "@pty", "--box", "14", "FFFE"}, .wire = "pty: 43 0e ff fe"},
        {.args = {"--debug", "--scontroller", "@pty", "--controller", "0", "--output", "2", "0C05"},
         .out = sending(0x0C05, 2), .wire = "pty: 31 0c 05"},
        {.args = {"--scontroller", "@dir/none", "--setup", "0001"}, .status = 1,
         .err = "@dir/none: No such file or directory\nOpening serial port failed: No such file or directory\n"},
        {.args = {"--setup", "--scontroller", "@pty"}, .status = 1,
         .err = "Configuration sending not supported for serial devices.\n"},
        // The log file and the standard streams.
        logged(Stream::File, Stream::File), logged(Stream::Closed, Stream::File), logged(Stream::File, Stream::Closed),
        {.args = {"--log", "@dir/log", "0001"}, .status = 1, .wire = "usb:", .scenario = kCtl + "claim=EACCES",
         .logged = failed("usb_claim_interface", "Permission denied") + kHint},
        {.args = {"--log", "@dir/new", "--output", "0"}, .status = 1, .logged = out_of_range("0") + usage()},
        {.args = {"--log", "@dir/none/log", "0001"}, .status = 1,
         .err = "opening log file @dir/none/log for writing failed: No such file or directory\n"},
        {.args = {"--scontroller", "@pty", "--debug", "0001"}, .wire = "pty: 30 00 01", .scenario = "",
         .out_to = Stream::Closed},
        {.args = {"--scontroller", "@pty", "0001", "zz"}, .status = 1, .wire = "pty: 30 00 01", .scenario = "",
         .err_to = Stream::Closed},
        {.args = {"--debug", "0001", "0002"}, .wire = "usb: 71 30 00 01 30 00 02", .scenario = kCtl,
         .out_to = Stream::BrokenPipe},
        // Channel changes: the keys, then Backup 2 s after the last one.
        {.args = {"--channel", "123"}, .wire = "usb: 30 00 80 30 00 01 30 00 02 30 00 03 30 00 83"},
        {.args = {"--sky+hd", "--output", "5", "--channel", "9SDX0"},
         .wire = "usb: 43 04 5c 80 43 04 5c 09 43 04 5c 7e 43 04 5c 59 43 04 5c 5c 43 04 5c 00 43 04 5c 83"},
        // The last box option wins; other words are no codes here.
        {.args = {"--sky+hd", "--sky", "--channel", "S2XD", "zz", "0001"},
         .wire = "usb: 30 00 80 30 00 7e 30 00 02 30 00 5c 30 00 59 30 00 83"},
        {.args = {"--channel", ""}, .wire = "usb: 30 00 80 30 00 83"},
        {.args = {"--scontroller", "@pty", "--sky+", "--channel", "S4678X"},
         .wire = "pty: 30 0c 80 30 0c 7e 30 0c 04 30 0c 06 30 0c 07 30 0c 08 30 0c 5c 30 0c 83"},
        {.args = {"--debug", "--sky+", "--channel", "12"},  // libusb-compat's detach with no driver bound: ENOENT
         .out = kIdent + "sending channel '12'\n" + sending(0x0C80) + sending(0x0C01) + sending(0x0C02) +
                "Waiting 2000 ms...\n" + sending(0x0C83), .wire = "usb: 71 30 0c 80 30 0c 01 30 0c 02 30 0c 83",
         .scenario = "library compat\n" + kCtl},
        // Channel changes that end before the first key.
        {.args = {"--chan", "zz"}, .status = 1, .err = "Invalid channel number 'zz'\n", .wire = "usb:"},
        bad_channel("/"), bad_channel(":"), bad_channel("d"), bad_channel("x"),
        {.args = {"--debug", "--channel", "12a"}, .status = 1, .out = kIdent + "sending channel '12a'\n",
         .err = "Invalid channel number '12a'\n", .wire = "usb: 71"},
        {.args = {"--feedback", "@dir/none", "--channel", "1s"}, .status = 1, .err = "Invalid channel number '1s'\n",
         .wire = "usb:"},
        {.args = {"--feedback", "@dir/none", "--channel", "101"}, .status = 1,
         .err = "@dir/none: No such file or directory\n"
                "Opening feedback serial port failed: No such file or directory\n"},
        {.args = {"--feedback", "@dir/none", "0C05"}, .wire = "usb: 30 0c 05"},
        // One port for the controller and the box, on a Y-cable: the controller listens, the box talks.
        {.args = {"--scontroller", "@pty", "--feedback", "@link", "--channel", "1"}, .out = success("1"),
         .wire = "pty: 30 00 80 30 00 01 30 00 09 30 00 83", .line = packet({{"CE00", "1"}})},
        // Confirmed changes: the verdict from the box's reports.
        confirm("101", packet({{"CE00", "1--"}}) + packet({{"SSCN", "101"}, {"SSCN", "10"}, {"SSCN", "102"}}) +
                           packet({{"SSCA", "Sky One"}, {"PUCP", "No card"}, {"PUSP", "Low signal"}, {"XXXX", "102"},
                                   {"ce00", "102"}}) + packet({{"CE01", "102"}, {"CE00", "10-"}, {"CE00", "101"}}), 0,
                "Current channel '101' [correct]\nCurrent channel '10' [incorrect]\nCurrent channel '102' [incorrect]\n"
                "Channel description 'Sky One'\nError 'No card'\nError 'Low signal'\n" + success("101")),
        confirm("101", packet({{"CE00", "100"}}), 1, failure("100"), packet({{"CE00", "101"}})),
        confirm("0101", packet({{"CE00", "\x7F" "101"}}), 0, success("0101")),
        // Another program on the port (ModemManager probing it) takes a byte first, a signal cuts a read short:
        // the run waits again. A port that cannot be opened for its lock is used unlocked, with a warning.
        with_env(confirm("1", packet({{"CE00", "1"}}), 0, success("1")), "TOVRA_SIM_TTY_READS=AIA.A"),
        with_env({.args = {"--sky+", "--feedback", "@pty", "--channel", "1"}, .out = success("1"),
                  .err = "warning: cannot lock feedback port @pty (Permission denied); runs at the same time may "
                         "interfere.\n", .wire = confirmed("1"), .scenario = kCtl,
                  .line = packet({{"CE00", "1"}})}, "TOVRA_SIM_TTY_LOCK=EACCES"),
        confirm("1", packet({{"CE00", "2"}}), 1, failure("2")),
        // A zero byte ends the text, not the value; 0x7F stands for 0 in a value of exactly 4; only a last '-' waits.
        confirm("1", packet({{"CE00", std::string("1\0", 2)}}), 1, failure("1")),
        confirm("01012", packet({{"CE00", "\x7F" "1012"}}), 1, failure("\x7F" "1012")),
        confirm("12", packet({{"CE00", "1-2"}}), 1, failure("1-2")),
        // A back-end that leaks descriptors: the box's port is above 1024, which select could not wait on.
        [] { Case c = confirm("1", packet({{"CE00", "1"}}), 0, success("1")); c.held = 1100; return c; }(),
        confirm("001", packet({{"CE00", "\x7F" "01"}}), 1, failure("\x7F" "01")),
        confirm("101", packet({{"CEER", "No signal"}}), 1, "Channel error: No signal\nFailed\n"),
        confirm("101", packet({{"CEER", "Busy"}, {"CE00", "101"}}), 0, "Channel error: Busy\n" + success("101")),
        confirm("101", packet({{"CE00", "101"}, {"CEER", "Busy"}}), 1,
                success("101") + "Channel error: Busy\nFailed\n"),
        confirm("10234", packet({{"CE00", "1023-"}, {"CE00", "10234"}}), 0, success("10234")),
        confirm("10234", packet({{"CE00", "102345"}}), 1, failure("102345")),
        confirm("", packet({{"CE00", "-"}, {"CE00", ""}}), 0, success("")),
        confirm("1", packet({{"SSCN", "\xE9t\xE9"}, {"CE00", "1"}}), 0,
                kIdent + "sending channel '1'\n" + sending(0x0C80) + sending(0x0C01) + sending(0x0C09) +
                    sending(0x0C83) + "SSCN : \xE9t\xE9 [3 -23]\nCurrent channel '\xE9t\xE9' [incorrect]\n" +
                    "CE00 : 1 [1 49]\n" + success("1"), "", true),
    };
    // A word that is no code ends the run, after the codes before it went out.
    for (const std::string word : {"", "zz", "-1", "FFFF", "FFFE0", "100000000", "-FFFF0002", "FFFFFFFFFFFFFFFF"})
        table.push_back({.args = {"--", "0001", word, "0002"}, .status = 1,
                         .err = "Invalid command code: '" + word + "'\n", .wire = "usb: 30 00 01"});
    // Not a plain number (S, D or X in it): the feedback port is opened, and never read.
    for (const auto& [key, code] : {std::pair{"S", "7e"}, {"D", "59"}, {"X", "5c"}})
        table.push_back({.args = {"--sky+", "--feedback", "@pty", "--channel", key + std::string("9")},
                         .wire = "usb: 30 0c 80 30 0c " + std::string(code) + " 30 0c 09 30 0c 83", .scenario = kCtl,
                         .line = packet({{"CE00", "999"}}), .unread = packet({{"CE00", "999"}})});
    return table;
}

// One row's run, with a folder and a serial line of its own. The box answers once the controller has all the
// keys: a real port drops what arrives while nobody has it open, and the run discards what came before its keys.
struct Trial {
    explicit Trial(const Case& row) : c(row)
    {
        std::filesystem::create_symlink(line.path(), dir.file("l"));
        std::filesystem::create_symlink(dir.file("dev/002/001"), dir.file("c"));  // a udev link to a controller
        dir.write("log", "earlier run\n");
        std::vector<std::string> args;
        std::ranges::transform(c.args, std::back_inserter(args), [this](const std::string& arg) { return subst(arg); });
        std::vector<std::string> env = {"POSIXLY_CORRECT=1", "TOVRA_SIM_USB_DEVDIR=" + dir.file("dev")};
        env.insert(env.end(), c.env.begin(), c.env.end());
        started.emplace(dir, args, RunOptions{.scenario = c.scenario, .env = env, .out = c.out_to, .err = c.err_to,
                                              .held = c.held});
        if (!c.line.empty())
            box = std::jthread([this] {
                eventually([this] { return delivered() == c.wire; });
                line.send(c.line);
            });
    }

    // What reached the controllers so far: "usb:" and the reports when the USB library was used, "pty:" and the
    // bytes on the serial line.
    std::string delivered()
    {
        serial += line.received();
        const std::string log = started->so_far(".log"), sent = wire(log);
        return (log.empty() ? "" : "usb:" + (sent.empty() ? "" : " " + sent)) +
               (serial.empty() ? "" : "pty: " + hex(serial));
    }

    std::string subst(std::string text) const
    {
        for (const auto& [key, value] : {std::pair{"@dir", dir.path}, {"@pty", line.path()}, {"@link", dir.file("l")}})
            text = replace_all(text, key, value);
        return text;
    }

    void check()
    {
        SCOPED_TRACE(::testing::PrintToString(c.args) + " on " + c.scenario);
        if (box.joinable()) box.join();
        const Result r = started->finish();
        EXPECT_EQ(r.status, c.status) << r;
        EXPECT_EQ(r.out, subst(c.out));
        EXPECT_EQ(r.err, subst(c.err)) << r;
        EXPECT_EQ(delivered(), c.wire) << r;
        EXPECT_EQ(line.unread(c.unread.size()), c.unread) << "read from the line";
        EXPECT_TRUE(!std::ranges::count(c.args, "@pty") || line.framing() == (B57600 | CS8));
        EXPECT_EQ(read_file(dir.file("log")) + read_file(dir.file("new")), "earlier run\n" + subst(c.logged));
        EXPECT_EQ(r.log.find("usb_close(") != r.log.npos,
                  !r.log.empty() && (c.status == 0 || c.out.find("Failed") != c.out.npos)) << "released the controller";
        if (!c.status && std::ranges::count(c.args, "--channel") && c.out.find("Tuning") == c.out.npos) {
            EXPECT_GE(r.seconds, 2.0) << "a change without a verdict ends with Backup 2 s after the last key";
        }
    }

    const Case& c;
    TempDir dir;
    Pty line;
    std::string serial;  // what the serial line received so far
    std::optional<Running> started;
    std::jthread box;
};

TEST(Control, Table)
{
    const std::vector<Case> table = cases();
    std::deque<Trial> trials;  // a few side by side, for a channel change waits 2 s
    for (const Case& c : table) {
        trials.emplace_back(c);
        if (trials.size() == 8) {
            trials.front().check();
            trials.pop_front();
        }
    }
    for (Trial& t : trials) t.check();
}

// The deadline is 10 s to the millisecond, for a silent box too, whose only byte another program on the port takes
// (the wait resumes, still to the first deadline); and a board without a real-time clock has its wall clock stepped
// by NTP while a change confirms: the wait keeps its 10 s. A box that goes away mid-report ends the wait at once.
// Once the keys are out, the box sends a report a second, the last one again until the run ends ("hang up": it goes
// away).
TEST(Control, ConfirmationDeadline)
{
    const std::string stray = "Current channel '100' [incorrect]\n", late = "Failed reading response from sky box.\n";
    for (const auto& [step, reads, reports, ending] :
         {std::tuple{"0", "S", std::vector<std::string>{"", "", "", "", "\n", ""}, "select timed out\n" + late},
          {"60", "", {"", packet({{"SSCN", "100"}}), packet({{"CE00", "101"}})}, stray + success("101")},
          {"-3600", "", {packet({{"SSCN", "100"}})}, stray + "select timed out\n" + late},
          {"0", "", {packet({{"CE00", "101"}}).substr(0, 10), "hang up"}, late}}) {
        SCOPED_TRACE(step);
        TempDir dir;
        Pty box;
        Running run(dir, {"--sky+", "--feedback", box.path(), "--channel", "101"},
                    {.env = {std::string("TOVRA_SIM_CLOCK_STEP=") + step, std::string("TOVRA_SIM_TTY_READS=") + reads}});
        EXPECT_TRUE(eventually([&] { return "usb: " + wire(run.so_far(".log")) == confirmed("101"); }));
        for (std::size_t i = 0; i < 15 * time_scale() && !run.ended(); ++i) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            if (const std::string& report = reports[std::min(i, reports.size() - 1)]; report == "hang up")
                box.hang_up();
            else
                box.send(report);
        }
        EXPECT_TRUE(run.ended()) << "still waiting";
        const Result r = run.finish();
        EXPECT_EQ(r.status, ending.ends_with(late) ? 1 : 0) << r;
        EXPECT_TRUE(std::string_view(step) == "0" ? r.out == ending : r.out.ends_with(ending)) << r;
        const bool deadline = ending.find("select timed out") != ending.npos;
        EXPECT_TRUE(r.seconds > 9.95 || !deadline) << r.seconds << " s";
        EXPECT_LT(r.seconds, (deadline ? 10.9 : 5.0) * time_scale());
    }
}

// A serial controller's line that takes nothing for a while (a stalled adapter, a long list of codes): frames go
// out whole once it takes again; a line that takes nothing for 5 s ends the run. The controller reads whole frames
// (3 bytes for outputs 1 and 2, 4 for the others; a pty's buffer stalls 4-byte frames between two) and the next
// run's frames in step with them: after a stall mid-frame, a run ended by SIGTERM or killed mid-stall (the next run
// drops what it left), and after a healthy run whose frames the controller has not read yet (kept). An adapter that
// keeps the frames queued, never sending them, fails the run.
TEST(Control, StalledSerialLine)
{
    const std::string stall = "tovra_serial_sendcommand failed: the serial port took nothing for 5 seconds";
    const std::tuple<std::string, std::string, unsigned, int, std::string> rows[] = {  // output, end, codes, status
        {"2", "read", 20000, 0, ""},  // the line reads after 1.5 s, the rest of a frame stalled part-way too
        {"3", "stall", 20000, 1, stall + "\n"},
        {"1", "stall", 20000, 1, stall + " after 2 bytes of a frame; what it had not sent is dropped\n"},
        {"2", "SIGTERM", 20000, -1, ""},
        {"1", "SIGKILL", 20000, -1, ""},
        {"3", "healthy", 3000, 0, ""},  // more than the far end's buffer takes, less than the pty holds
        {"1", "hangup", 20000, 1, "tovra_serial_sendcommand failed: Input/output error\n"},  // the line goes away
        {"1", "stuck", 2, 1, "tovra_serial_sendcommand failed: the serial port sent nothing for 5 seconds; 3 bytes are "
                             "still waiting to be sent\n"}};
    auto frames = [](const std::string& output, unsigned code, unsigned end) {
        std::string bytes;
        for (const int n = std::stoi(output) - 1; code < end; ++code)
            bytes += (n < 2 ? std::string{char('0' + n)} : std::string{'C', char(n)}) + char(code >> 8) + char(code);
        return bytes;
    };
    struct Trial { TempDir dir; Pty line; std::optional<Running> first; };
    std::deque<Trial> trials;  // side by side: each waits out the 5 s
    double writing = 0;  // the processor time of a run that writes all its frames (the first row)
    for (const auto& [output, end, codes, status, err] : rows) {
        Trial& t = trials.emplace_back();
        std::vector<std::string> args{"--scontroller", t.line.path(), "--output", output};
        for (unsigned code = 0; code < codes; ++code)
            args.push_back(hex(std::string{char(code >> 8), char(code)}).erase(2, 1));
        t.first.emplace(t.dir, args, RunOptions{.env = {"TOVRA_SIM_TTY_OUTQ=" + std::string(end == "stuck" ? "3" : "")}});
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(1.5 * time_scale()));  // the lines are full by then
    for (std::size_t i = 0; i < trials.size(); ++i)
        if (const std::string& end = std::get<1>(rows[i]); end.starts_with("SIG"))
            kill(trials[i].first->pid(), end == "SIGTERM" ? SIGTERM : SIGKILL);
        else if (end == "hangup") trials[i].line.hang_up();
    for (std::size_t i = 0; i < trials.size(); ++i) {
        const auto& [output, end, codes, status, err] = rows[i];
        SCOPED_TRACE("output " + output + ", " + end);
        Trial& t = trials[i];
        const std::string sent = frames(output, 0, codes);
        std::string all = end == "read" ? t.line.received(sent.size()) : "";
        const Result r = t.first->finish();
        EXPECT_EQ(std::tie(r.status, r.err), std::tie(status, err)) << r;
        EXPECT_EQ(r.signal, end == "SIGTERM" ? SIGTERM : end == "SIGKILL" ? SIGKILL : 0);
        EXPECT_GE(r.seconds, (status == 1 && end != "hangup") || end == "SIGTERM" ? 5.0 : 0.0) << "the stall limit";
        EXPECT_LT(r.cpu, (writing = i == 0 ? r.cpu : writing) + 0.3 * time_scale()) << "spins while the line is full";
        // The controller reads as soon as the run has ended (the line moves again); but only after the next run's
        // start where that run must drop what a killed run left, or keep a healthy run's frames. No next run behind
        // a stalled 4-byte frame, where dropping the pty's queue would cut the one the far end's buffer ends in.
        if (end != "SIGKILL" && end != "healthy") all += t.line.received(end == "stuck" ? sent.size() : 0);
        const bool next = end != "read" && end != "stuck" && end != "hangup" && (end != "stall" || output != "3");
        EXPECT_EQ(next ? run(t.dir, {"--scontroller", t.line.path(), "--output", output, "C01", "C02"}).status : 0, 0);
        all += t.line.received();
        const std::string mine = next ? frames(output, 0x0C01, 0x0C03) : "";
        const std::string before = all.substr(0, all.size() - std::min(all.size(), mine.size()));
        EXPECT_EQ(hex(all.substr(before.size())), hex(mine)) << "the next run's frames";
        EXPECT_TRUE(before.size() % (output < "3" ? 3 : 4) == 0 && before == sent.substr(0, before.size()))
            << before.size() << " bytes of the first run's frames";
        EXPECT_TRUE(status == 1 || end.starts_with("SIG") || before == sent) << "all its frames";
    }
}

// Over an RS232 controller a plain change sends Sky and the digits at once, and Backup 2 s after the last digit:
// the frames as they arrive on the controller's line, timed.
TEST(Control, SerialControllerWaitsBeforeBackupOnly)
{
    TempDir dir;
    Pty controller;
    const auto start = std::chrono::steady_clock::now();
    Running run(dir, {"--scontroller", controller.path(), "--channel", "12"});
    std::vector<std::pair<std::string, double>> frames;  // in hex, and when it came (s)
    for (std::string bytes, more; bytes.size() < 12 && !(more = controller.received(1)).empty();)
        for (bytes += more; frames.size() < bytes.size() / 3;)
            frames.emplace_back(hex(bytes.substr(3 * frames.size(), 3)),
                                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    EXPECT_EQ(run.finish().status, 0);
    ASSERT_EQ(frames.size(), 4u);
    const std::string expected[] = {"30 00 80", "30 00 01", "30 00 02", "30 00 83"};  // Sky 1 2 Backup
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const double gap = frames[i].second - (i == 0 ? 0.0 : frames[i - 1].second);
        EXPECT_EQ(frames[i].first, expected[i]);
        EXPECT_GE(gap, i == 3 ? 1.9 : 0.0) << "before " << expected[i];
        if (i > 0) {  // Sky comes when the program has started, which a loaded machine or valgrind may slow down
            EXPECT_LT(gap, i == 3 ? 2.0 + time_scale() : 1.5) << "before " << expected[i];
        }
    }
}

// ---- Runs that share a controller or a port take turns; with --debug a run that waits says so ----
std::string waiting(const std::string& what) { return "Waiting for another run using " + what + "\n"; }

// The node of controller 001/001 in dir, as a run will find it (writable for all), locked as another run locks it.
int held_node(const TempDir& dir)
{
    std::filesystem::create_directory(dir.file("001"));
    const int node = open(dir.file("001/001").c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
    EXPECT_EQ(fchmod(node, 0666) + flock(node, LOCK_EX), 0);
    return node;
}

// The one test that waits out the 30-second bound, on the controller's device node, without spinning. Without
// --debug the wait is silent. Without a node to lock, a run goes on unlocked, and says why.
TEST(Lock, GivesUpWhenTheControllerStaysBusy)
{
    TempDir dir;
    const int node = held_node(dir);
    Result r = run(dir, {"0001"}, {.env = {"TOVRA_SIM_USB_DEVDIR=" + dir.path}});
    close(node);
    EXPECT_EQ(std::tuple(r.status, r.out, r.err, wire(r.log)), std::tuple(1, "", "USB controller 001/001 is still in "
              "use by another run after 30 seconds, giving up.\n", "")) << r;
    EXPECT_TRUE(r.seconds >= 30.0 && r.cpu < 0.5 * time_scale()) << r.seconds << " s, " << r.cpu << " s of processor time";

    r = run(dir, {"0001"}, {.env = {"TOVRA_SIM_USB_DEVDIR=" + dir.write("not-a-folder", "")}});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "warning: cannot lock USB controller 001/001 (Not a directory); runs at the same time may "
                     "interfere.\n");
    EXPECT_EQ(wire(r.log), "30 00 01");
}

// While another program holds the box's port, a run waits for it without holding the controller, so another
// tuner's change goes out meanwhile, and without touching the port's line settings.
TEST(Lock, ARunWaitingForItsBoxsPortLeavesTheControllerAndThePortAlone)
{
    TempDir dir;
    Pty box;
    const RunOptions shared{.env = {"TOVRA_SIM_USB_DEVDIR=" + dir.path, "TOVRA_SIM_USB_LOG=" + dir.file("usb.log")}};
    const int held = open(box.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios settings{};
    tcgetattr(held, &settings);
    cfsetspeed(&settings, B9600);
    ASSERT_EQ(tcsetattr(held, TCSANOW, &settings) + flock(held, LOCK_EX), 0);
    Running waits(dir, {"--debug", "--sky+", "--feedback", box.path(), "--channel", "1"}, shared);
    const std::string first = waiting("feedback port " + box.path());
    EXPECT_TRUE(eventually([&] { return waits.so_far() == first; })) << waits.so_far();
    const Result other = run(dir, {"--output", "2", "0001"}, shared);
    EXPECT_EQ(other.status, 0) << other;
    EXPECT_EQ(box.framing(), B9600 | CS8) << "the line of a port that another program holds";
    close(held);
    ASSERT_TRUE(eventually([&] { return wire(read_file(dir.file("usb.log"))).ends_with("30 0c 83"); }));
    box.send(gnome_encodePacket({{"CE00", "1"}}));
    const Result r = waits.finish();
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out, first + kIdent + "sending channel '1'\n" + sending(0x0C80) + sending(0x0C01) + sending(0x0C09) +
                         sending(0x0C83) + "CE00 : 1 [1 49]\n" + success("1"));
    EXPECT_EQ(wire(read_file(dir.file("usb.log"))), "31 00 01 71 30 0c 80 30 0c 01 30 0c 09 30 0c 83");
}

// Runs on one controller take turns, whatever their user: b stands for a user who may not create lock files in
// /run/lock (root's on some distributions), so a and b must lock the controller's node as c does. A plain change
// (c) keeps the controller through its wait for Backup; a confirmed change lets it go once its keys are out: the
// boxes answer only when the keys of a and b are out, which runs holding the controller through the wait for the
// report would never get to.
TEST(Lock, RunsOnOneControllerTakeTurnsAndTheirConfirmationsOverlap)
{
    TempDir dir;
    Pty box1, box2;
    std::vector<std::string> env{"TOVRA_SIM_USB_DEVDIR=" + dir.path, "TOVRA_SIM_USB_LOG=" + dir.file("usb.log")};
    const std::string keys_a = "30 0c 80 30 0c 01 30 0c 09 30 0c 83", keys_b = "31 0c 80 31 0c 02 31 0c 09 31 0c 83";
    const std::string keys_c = "43 02 00 80 43 02 00 05 43 02 00 83 ";
    Running c(dir, {"--output", "3", "--channel", "5"}, {.env = env});
    ASSERT_TRUE(eventually([&] { return wire(read_file(dir.file("usb.log"))) == "43 02 00 80 43 02 00 05"; }));
    Running a(dir, {"--sky+", "--feedback", box1.path(), "--channel", "1"}, {.env = env});
    env.push_back("TOVRA_SIM_LOCK_DIR=" + dir.write("not-a-folder", ""));
    Running b(dir, {"--sky+", "--output", "2", "--feedback", box2.path(), "--channel", "2"}, {.env = env});
    const std::size_t all = keys_c.size() + keys_a.size() + 1 + keys_b.size();
    EXPECT_TRUE(eventually([&] { return wire(read_file(dir.file("usb.log"))).size() == all; })) << "all keys";
    box1.send(gnome_encodePacket({{"CE00", "1"}}));
    box2.send(gnome_encodePacket({{"CE00", "2"}}));
    const Result ra = a.finish(), rb = b.finish(), rc = c.finish();
    EXPECT_EQ(ra.out + rb.out + rc.out, success("1") + success("2")) << ra << rb << rc;
    const std::string sent = wire(read_file(dir.file("usb.log")));
    EXPECT_TRUE(sent == keys_c + keys_a + " " + keys_b || sent == keys_c + keys_b + " " + keys_a) << sent;
}

// A run that waits for the controller has its box's port set up already: a port left in its boot-time settings
// would echo the box's bytes back to the box meanwhile. And a run hears only what the box says after its first
// key: one queued behind another on the box's port finds that run's last report waiting.
TEST(Lock, AQueuedRunHearsOnlyItsOwnChange)
{
    TempDir dir;
    Pty box(false);  // canonical input and echo, as nobody has set the port up since boot
    const int node = held_node(dir);
    const std::vector<std::string> env{"TOVRA_SIM_USB_DEVDIR=" + dir.path, "TOVRA_SIM_USB_LOG=" + dir.file("usb.log")};
    auto sent = [&] { return wire(read_file(dir.file("usb.log"))); };
    Running a(dir, {"--debug", "--feedback", box.path(), "--channel", "1"}, {.env = env});
    ASSERT_TRUE(eventually([&] { return a.so_far() == kFound + waiting("USB controller 001/001"); })) << a.so_far();
    EXPECT_EQ(box.framing(), B57600 | CS8);
    box.send("AB\x7f" "C\r");
    Running b(dir, {"--feedback", box.path(), "--channel", "2"}, {.env = env});
    close(node);
    const std::string keys_a = "71 30 00 80 30 00 01 30 00 09 30 00 83", keys_b = " 30 00 80 30 00 02 30 00 09 30 00 83";
    ASSERT_TRUE(eventually([&] { return sent() == keys_a; })) << sent();
    box.send(packet({{"CE00", "1"}}) + packet({{"CE00", "1"}}));  // after the keys, and after Backup
    ASSERT_TRUE(eventually([&] { return sent() == keys_a + keys_b; })) << sent();
    box.send(packet({{"CE00", "2"}}));
    const Result ra = a.finish(), rb = b.finish();
    EXPECT_EQ(ra.out, kFound + waiting("USB controller 001/001") + kVersion + "sending channel '1'\n" +
                          sending(0x0080) + sending(0x0001) + sending(0x0009) + sending(0x0083) + "CE00 : 1 [1 49]\n" +
                          success("1")) << ra;
    EXPECT_EQ(std::pair(rb.status, rb.out), std::pair(0, success("2"))) << rb;
    EXPECT_EQ(box.received(), "") << "written to the box's port";
}

// A run touches no controller before it holds it: not the USB controller (its identification and set-up wait
// too), nor an RS232 controller's port, another than the box's.
TEST(Lock, RunsWaitBeforeTouchingTheirControllers)
{
    TempDir dir;
    Pty controller, box;
    const int held[] = {held_node(dir), open(controller.path().c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC)};
    ASSERT_EQ(flock(held[1], LOCK_EX), 0);
    const RunOptions options{.env = {"TOVRA_SIM_USB_DEVDIR=" + dir.path}};
    Running usb(dir, {"--debug", "--setup", "0001"}, options);
    Running serial(dir, {"--debug", "--scontroller", controller.path(), "--feedback", box.path(), "--channel", "1"},
                   options);
    EXPECT_TRUE(eventually([&] {
        return usb.so_far() == kFound + waiting("USB controller 001/001") &&
               serial.so_far() == waiting("serial port " + controller.path());
    })) << usb.so_far() << serial.so_far();
    EXPECT_EQ(usb.so_far(".log").find("usb_detach"), std::string::npos) << usb.so_far(".log");
    for (int fd : held) close(fd);
    EXPECT_EQ(hex(controller.received(12)), "30 00 80 30 00 01 30 00 09 30 00 83");
    box.send(packet({{"CE00", "1"}}));
    const Result ru = usb.finish(), rs = serial.finish();
    EXPECT_EQ(ru.out, kFound + waiting("USB controller 001/001") + kVersion + sending(0x0001)) << ru;
    EXPECT_EQ(wire(ru.log), "71 73 4b 96 96 05 dc 0a 8b 75 01 30 00 01");
    EXPECT_EQ(rs.out, waiting("serial port " + controller.path()) + "sending channel '1'\n" + sending(0x0080) +
                          sending(0x0001) + sending(0x0009) + sending(0x0083) + "CE00 : 1 [1 49]\n" + success("1")) << rs;
}


// ---- A PVR back-end ends a run at any moment (SIGTERM, then SIGKILL) and starts the next at once ----
// Where the run is when it is ended: waiting for the controller another run holds, its keys going out (a slow
// controller), in the 2 s before Backup, waiting for the silent box's report. The next run on the same controller
// and port must go through at once: nothing locked, no claim left, the port usable. The controller answers as
// libusb-compat's, whose detach takes no claim: a claim that outlived its run would fail the next one's set-up.
class Ended : public ::testing::TestWithParam<std::tuple<std::string, int>> {};  // where, and the signal

TEST_P(Ended, RunLeavesNothingBehind)
{
    const auto& [phase, signal] = GetParam();
    TempDir dir;
    Pty box;
    const std::string ctl = "library compat\n" + kCtl;
    const std::vector<std::string> env{"TOVRA_SIM_USB_DEVDIR=" + dir.path};
    const int holder = phase == "WaitingForLock" ? held_node(dir) : -1;
    std::vector<std::string> args{"--debug", "--sky+", "--channel", "1"};
    if (phase == "WaitingForReport") args.insert(args.begin(), {"--feedback", box.path()});
    Running run(dir, args, {.scenario = ctl + (phase == "SendingKeys" ? "write_delay=500" : ""), .env = env});
    EXPECT_TRUE(eventually([&] {
        const std::string out = run.so_far(), log = run.so_far(".log");
        return phase == "WaitingForLock"     ? out.ends_with(waiting("USB controller 001/001"))
               : phase == "SendingKeys"      ? wire(log).ends_with("30 0c 80")
               : phase == "WaitingForBackup" ? out.ends_with("Waiting 2000 ms...\n")
                                             : log.find("usb_close(") != log.npos;
    })) << run.so_far() << run.so_far(".log");
    kill(run.pid(), signal);
    const Result ended = run.finish();
    EXPECT_EQ(ended.signal, signal) << ended;
    EXPECT_EQ(wire(ended.log).ends_with("30 0c 83"), phase == "WaitingForReport") << ended;
    if (holder != -1) close(holder);

    Running next(dir, {"--debug", "--sky+", "--feedback", box.path(), "--channel", "1"}, {.scenario = ctl, .env = env});
    EXPECT_TRUE(eventually([&] { return wire(next.so_far(".log")).ends_with(confirmed("1").substr(5)); }));
    box.send(packet({{"CE00", "1"}}));
    const Result r = next.finish();
    EXPECT_EQ(std::tuple(r.status, r.err, r.out.find("Waiting for another run")), std::tuple(0, "", r.out.npos)) << r;
    EXPECT_TRUE(r.out.ends_with(success("1"))) << r;
    EXPECT_EQ(wire(r.log), "71 " + confirmed("1").substr(5));
}

INSTANTIATE_TEST_SUITE_P(ByAPvr, Ended, ::testing::Combine(::testing::Values("WaitingForLock", "SendingKeys",
                                                                            "WaitingForBackup", "WaitingForReport"),
                                                          ::testing::Values(SIGTERM, SIGKILL)),
                         [](const auto& i) { return std::get<0>(i.param) + (std::get<1>(i.param) == SIGKILL ? "Killed" : "Ended"); });

}  // namespace
