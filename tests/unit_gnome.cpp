// SPDX-License-Identifier: GPL-2.0-or-later
// Gnome packet reader: streams fed in steps against the reports and packets of each call.
#include "gnome.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace std::string_literals;

const std::string B = "\n023CE00010101SSCN0081";  // CE00 = 101, SSCN = 1, then the checksum
const std::string E = B + "AA";
const std::string EF = "CE00=101;SSCN=1;";

// Bytes one per call; once everything fed so far is used, end of input (0) and an error (-1) by turns.
int feedRead(void* context, std::uint8_t* dest, unsigned)
{
    static int failures = 0;
    auto* feed = static_cast<std::string*>(context);
    if (feed->empty()) return -(++failures % 2);
    *dest = static_cast<std::uint8_t>(feed->front());
    feed->erase(0, 1);
    return 1;
}

// b and its checksum, the byte sum from the newline on, its digits in upper then lower case.
std::string withSum(const std::string& b)
{
    const unsigned sum = std::accumulate(b.begin(), b.end(), 0u, [](unsigned s, unsigned char c) { return s + c; });
    return b + "0123456789ABCDEF"[sum / 16 % 16] + "0123456789abcdef"[sum % 16];
}

// n fields with empty values, tagged 1000, 1001, ...: as sent, or as returned with "=;".
std::string emptyFields(int n, const char* each = "007")
{
    return n == 0 ? "" : emptyFields(n - 1, each) + std::to_string(999 + n) + each;
}

std::string unexpected(const std::string& bytes) { return "Unexpected/invalid characters: [[[" + bytes + "]]]\n"; }

// A call after feeding the first string: its reports, then tag=value; pairs, or -1 (count 0, null arrays).
using Step = std::pair<std::string, std::string>;

std::vector<std::vector<Step>> streams()
{
    // 2047 stray bytes and the newline fit the 2048 bytes of storage; 2048 fill it before the newline, 2049 overrun it.
    const std::string x(2046, 'x'), full = "Buffer full, ignored: [[[[FF]" + x + "x]]]\n";
    std::vector<std::vector<Step>> all = {
        {{E, EF}, {"", "-1"}},
        {{B + "aa", EF}},
        {{"\0\x1f x~\x7f\x80\xff"s + E, unexpected("[00][1F] x~[7F][80][FF]") + EF}},  // printable: space to tilde
        {{"\xff" + x + E, unexpected("[FF]" + x) + EF}},
        {{"\xff" + x + "x" + E, full + EF}},
        {{"\xff" + x + "xy" + E, full + unexpected("y") + EF}},
        {{E + "\r" + E, EF}, {"", unexpected("[0D]") + EF}},
        {{"\n" + E, EF}},
        {{B + "AB", "Checksum mismatch: ab vs aa\n-1"}, {E, unexpected("023CE00010101SSCN0081AB") + EF}},
        {{"\n007rrru0070F", "Checksum mismatch: f vs 3\n-1"}},  // the bytes add up to 0x303
        {{withSum("\n012CE00007"), "CE00=;"}},
        {{withSum("\n016CE00014a\n\0\xff\x80zz"s), "CE00=a\n\0\xff\x80zz;"s}},
        {{withSum("\n448" + emptyFields(64)), emptyFields(64, "=;")}},
        {{"\n455" + emptyFields(64) + E, unexpected("455" + emptyFields(64)) + EF}},
    };
    for (const std::string sum : {"AG", "@A", "A`", "ag"})  // not hexadecimal digits
        all.push_back({{B + sum + E, unexpected(B.substr(1) + sum) + EF}});
    // Rejected: field lengths below 7, above the remaining length or not decimal (':' would be 10, "02/" 19),
    // 65 fields, the example with T = 17 or 24 (then the next packet is its third tag); 18 to 22 pass.
    for (const std::string& body : {"\n010CE00006"s, "\n010CE00011abcd"s, "\n023CE0000:101SSCN0081"s,
                                    "\n022CE0001/10SSCN0081"s, "\n02/CE00010101SSCN0081"s, "\n01:CE00010101SSCN0081"s,
                                    "\n455" + emptyFields(65), "\n017CE00010101SSCN0081"s, "\n024CE00010101SSCN0081"s})
        all.push_back({{withSum(body) + E + E, unexpected(withSum(body).substr(1)) +
                                                   (body.starts_with("\n024") ? unexpected(E.substr(5)) : "") + EF}});
    for (int t = 18; t <= 22; ++t) all.push_back({{withSum("\n0" + std::to_string(t) + "CE00010101SSCN0081"), EF}});
    // Values of 255 bytes and more, up to the 992 that a packet of 999 bytes carries.
    for (const unsigned n : {255u, 256u, 300u, 992u}) {  // every length here has three digits
        std::string value;
        for (unsigned i = 0; i < n; ++i) value += static_cast<char>('!' + i % 90);
        const std::string head = "\n" + std::to_string(std::min(n + 12, 999u)) + "CE00" + std::to_string(n + 7);
        all.push_back({{withSum(head + value), "CE00=" + value + ";"}});
    }
    // A failed read anywhere in a packet: the next call completes it.
    for (std::size_t at = 1; at < E.size(); ++at) all.push_back({{E.substr(0, at), "-1"}, {E.substr(at), EF}});
    return all;
}

// One call rendered as a Step's second string; the packet must lie in place from the storage's start.
std::string readPacket(Gnome* gnome)
{
    testing::internal::CaptureStdout();
    int count = -1;
    const std::uint8_t *const *tags = gnome->tags, *const *values = gnome->values;
    const int* lengths = gnome->lengths;
    const int rc = Gnome_readPacket(gnome, &count, &tags, &values, &lengths);
    std::string result = testing::internal::GetCapturedStdout();
    if (rc != 0) return result + std::to_string(rc) + (count || tags || values || lengths ? " with results" : "");
    const std::uint8_t* at = gnome->input->buffer + 3;
    for (int i = 0; i < count; ++i) {
        EXPECT_EQ(tags[i], at);
        EXPECT_EQ(values[i], at + 7);
        at = values[i] + lengths[i];
        result += std::string(tags[i], tags[i] + 4) + "=" + std::string(values[i], at) + ";";
    }
    return result;
}

TEST(Gnome, ReturnsGoodPacketsAndReportsTheRest)
{
    for (const std::vector<Step>& stream : streams()) {
        SCOPED_TRACE(stream[0].first);
        std::string feed;
        std::unique_ptr<Gnome, decltype(&Gnome_destroy)> gnome(Gnome_create(feedRead, &feed), Gnome_destroy);
        for (const auto& [more, result] : stream) {
            feed += more;
            EXPECT_EQ(readPacket(gnome.get()), result);
        }
    }
    Gnome_destroy(nullptr);
}

TEST(GnomeDeathTest, ConvertingANonHexDigitAborts)
{
    std::string feed = "\n023CE00010101SSCN0081A";
    std::unique_ptr<Gnome, decltype(&Gnome_destroy)> gnome(Gnome_create(feedRead, &feed), Gnome_destroy);
    EXPECT_EQ(readPacket(gnome.get()), "-1");
    *gnome->input->start = 'x';  // the first checksum digit, already tested
    feed = "A";
    EXPECT_DEATH(readPacket(gnome.get()), "shared/gnome.cpp:.*converthex");
}

}  // namespace
