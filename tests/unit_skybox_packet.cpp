// SPDX-License-Identifier: GPL-2.0-or-later
// The simulated box's packet encoder: exact bytes on the wire, the limits of
// the format, and agreement with the product's packet reader.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "gnome.h"
#include "sim/gnome_packet.h"

namespace {

struct EncodeCase {
    const char* name;
    std::vector<GnomeField> fields;
    unsigned remainder;
    unsigned checksumError;
    std::string wire;
};

void PrintTo(const EncodeCase& c, std::ostream* os) { *os << c.name; }

class Encode : public testing::TestWithParam<EncodeCase> {};

TEST_P(Encode, BytesOnTheWire)
{
    const EncodeCase& c = GetParam();
    EXPECT_EQ(gnome_encodePacket(c.fields, c.remainder, c.checksumError), c.wire);
}

const GnomeField example[] = {{"CE00", "101"}, {"SSCN", "1"}};

INSTANTIATE_TEST_SUITE_P(
    Packets, Encode,
    testing::Values(
        // Two fields, CE00=101 and SSCN=1: 24 bytes, total 23, checksum 0xAA.
        EncodeCase{"worked_example", {std::begin(example), std::end(example)}, 5, 0,
                   "\n023CE00010101SSCN0081AA"},
        EncodeCase{"no_remainder", {std::begin(example), std::end(example)}, 0, 0,
                   "\n018CE00010101SSCN0081AE"},
        EncodeCase{"checksum_off_by_one", {std::begin(example), std::end(example)}, 5, 1,
                   "\n023CE00010101SSCN0081AB"},
        EncodeCase{"checksum_error_wraps", {std::begin(example), std::end(example)}, 5, 0x56,
                   "\n023CE00010101SSCN008100"},
        EncodeCase{"empty_value_smallest_packet", {{"PUSP", ""}}, 0, 0, "\n007PUSP00780"},
        EncodeCase{"partial_entry", {{"CE00", "1--"}}, 5, 0, "\n015CE000101--A4"},
        EncodeCase{"seven_f_byte", {{"CE00", "\x7f" "101"}}, 5, 0, "\n016CE00011\x7f" "1012C"},
        EncodeCase{"text_value", {{"CEER", "No signal"}}, 5, 0, "\n021CEER016No signalAE"}),
    [](const testing::TestParamInfo<EncodeCase>& info) { return std::string(info.param.name); });

TEST(EncodeLimits, WhatFitsOnePacket)
{
    const std::string maxValue(GNOME_PACKET_MAX_VALUE, 'x');
    const std::string tooLong(GNOME_PACKET_MAX_VALUE + 1, 'x');
    const std::string half(495, 'x');
    const std::string rest(487, 'y');
    struct Case {
        std::vector<GnomeField> fields;
        unsigned remainder;
        bool fits;
    };
    const Case cases[] = {
        {{}, 5, false},                                  // every packet has a field
        {{{"CE0", "1"}}, 5, false},                      // tags are 4 bytes
        {{{"CE000", "1"}}, 5, false},
        {{{"CE00", "1"}}, 6, false},                     // a remainder of 6 announces a field
        {{{"CE00", maxValue}}, 0, true},                 // total 999
        {{{"CE00", maxValue}}, 1, false},                // total 1000
        {{{"CE00", tooLong}}, 0, false},
        {{{"CE00", half}, {"SSCA", half}}, 5, false},    // 2 * 502 + 5
        {{{"CE00", half}, {"SSCA", half}}, 0, false},    // 1004
        {{{"CE00", half}, {"SSCA", rest}}, 2, true},  // 502 + 494 + 2 = 998
    };
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(gnome_packetFits(cases[i].fields, cases[i].remainder), cases[i].fits) << "case " << i;
    // The largest packet: newline, length digits, 999 bytes of field, checksum.
    EXPECT_EQ(gnome_encodePacket({{"CE00", maxValue}}, 0).size(), 1005u);
}

// Feeds a string to the reader one byte per call, then reports end of input.
struct Source {
    std::string bytes;
    std::size_t pos = 0;
};

int readSource(void* context, std::uint8_t* dest, unsigned max)
{
    auto* src = static_cast<Source*>(context);
    if (max < 1 || src->pos >= src->bytes.size())
        return 0;
    *dest = static_cast<std::uint8_t>(src->bytes[src->pos++]);
    return 1;
}

using Reader = std::unique_ptr<Gnome, decltype(&Gnome_destroy)>;

// The packets that the reader returns from the bytes, in order.
std::vector<std::vector<std::pair<std::string, std::string>>> readAll(const std::string& bytes)
{
    Source src{bytes};
    Reader reader(Gnome_create(readSource, &src), Gnome_destroy);
    EXPECT_NE(reader, nullptr);
    std::vector<std::vector<std::pair<std::string, std::string>>> packets;
    int count = 0;
    const std::uint8_t* const* tags = nullptr;
    const std::uint8_t* const* values = nullptr;
    const int* lengths = nullptr;
    while (reader && Gnome_readPacket(reader.get(), &count, &tags, &values, &lengths) == 0) {
        auto& packet = packets.emplace_back();
        for (int i = 0; i < count; ++i)
            packet.emplace_back(std::string(reinterpret_cast<const char*>(tags[i]), 4),
                                std::string(reinterpret_cast<const char*>(values[i]), lengths[i]));
    }
    return packets;
}

TEST(EncodeRoundTrip, ReaderReturnsTheFields)
{
    const std::string big(GNOME_PACKET_MAX_VALUE, 'z');
    const std::string binary("\0\xff", 2);
    const std::vector<std::vector<GnomeField>> packets = {
        {{"CE00", "101"}, {"SSCN", "101"}},
        {{"CE00", "1--"}},
        {{"CE00", "\x7f" "101"}},
        {{"SSCA", "line\nbreak"}, {"PUSP", ""}, {"PUCP", binary}},
        {{"CE00", big}},
    };
    for (unsigned remainder = 0; remainder <= 5; ++remainder) {
        std::string stream;
        for (const auto& fields : packets) {
            if (gnome_packetFits(fields, remainder))
                stream += gnome_encodePacket(fields, remainder);
        }
        const auto got = readAll(stream);
        std::size_t k = 0;
        for (const auto& fields : packets) {
            if (!gnome_packetFits(fields, remainder))
                continue;
            ASSERT_LT(k, got.size()) << "remainder " << remainder;
            ASSERT_EQ(got[k].size(), fields.size()) << "remainder " << remainder << " packet " << k;
            for (std::size_t i = 0; i < fields.size(); ++i) {
                EXPECT_EQ(got[k][i].first, fields[i].tag);
                EXPECT_EQ(got[k][i].second, fields[i].value);
            }
            ++k;
        }
        EXPECT_EQ(k, got.size());
    }
}

TEST(EncodeRoundTrip, WrongChecksumIsRejected)
{
    testing::internal::CaptureStdout();
    const auto got = readAll(gnome_encodePacket({{"CE00", "105"}}, 5, 1) +
                             gnome_encodePacket({{"CE00", "101"}}));
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0][0].second, "101");
}

}  // namespace
