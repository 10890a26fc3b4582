// SPDX-License-Identifier: GPL-2.0-or-later
// Gnome packet reader: good packets, every kind of rejection and how the
// reader resynchronises, with the exact reports it prints.
#include "gnome.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace std::string_literals;

const std::string example = "\n023CE00010101SSCN0081AA";

using Fields = std::vector<std::pair<std::string, std::string>>;
const Fields exampleFields = {{"CE00", "101"}, {"SSCN", "1"}};

// Bytes one per call; fails with -1 once at each position in failAt, with 0
// at the end of what has been fed so far.
struct Feed {
    std::string data;
    std::size_t pos = 0;
    std::deque<std::size_t> failAt = {};
};

int feedRead(void* context, std::uint8_t* dest, unsigned max)
{
    auto* feed = static_cast<Feed*>(context);
    EXPECT_EQ(max, 1u);
    if (!feed->failAt.empty() && feed->failAt.front() == feed->pos) {
        feed->failAt.pop_front();
        return -1;
    }
    if (feed->pos == feed->data.size())
        return 0;
    *dest = static_cast<std::uint8_t>(feed->data[feed->pos++]);
    return 1;
}

unsigned byteSum(const std::string& bytes)
{
    unsigned sum = 0;
    for (unsigned char c : bytes)
        sum += c;
    return sum % 256;
}

// Appends the checksum of body (newline through the last value byte).
std::string withSum(const std::string& body)
{
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", byteSum(body));
    return body + digits;
}

std::string threeDigits(unsigned n)
{
    char digits[4];
    std::snprintf(digits, sizeof digits, "%03u", n % 1000);
    return digits;
}

// n fields with empty values: each is its tag and "007".
std::string emptyFields(int n)
{
    std::string out;
    for (int i = 0; i < n; ++i)
        out += "T" + threeDigits(static_cast<unsigned>(i)) + "007";
    return out;
}

std::string unexpected(const std::string& bytes)
{
    return "Unexpected/invalid characters: [[[" + bytes + "]]]\n";
}

// The report a rejected packet (starting with its newline) gets once the
// next newline arrives.
std::string rejected(const std::string& packet)
{
    return unexpected(packet.substr(1));
}

struct Result {
    int rc = 0;
    int count = -1;
    Fields fields;
    std::string out;
    bool arraysNull = false;
};

using GnomePtr = std::unique_ptr<Gnome, decltype(&Gnome_destroy)>;

Result readOnce(Gnome* gnome)
{
    Result r;
    const std::uint8_t* const* tags = nullptr;
    const std::uint8_t* const* values = nullptr;
    const int* lengths = nullptr;
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    r.rc = Gnome_readPacket(gnome, &r.count, &tags, &values, &lengths);
    std::fflush(stdout);
    r.out = testing::internal::GetCapturedStdout();
    r.arraysNull = tags == nullptr && values == nullptr && lengths == nullptr;
    if (r.rc != 0)
        return r;
    EXPECT_EQ(tags, gnome->tags);
    EXPECT_EQ(values, gnome->values);
    EXPECT_EQ(lengths, gnome->lengths);
    const std::uint8_t* storage = gnome->input->buffer;
    for (int i = 0; i < r.count; ++i) {
        EXPECT_GE(tags[i], storage);
        EXPECT_LE(values[i] + lengths[i], storage + GNOME_BUFFER_SIZE);
        r.fields.emplace_back(std::string(reinterpret_cast<const char*>(tags[i]), 4),
                              std::string(reinterpret_cast<const char*>(values[i]),
                                          static_cast<std::size_t>(lengths[i])));
    }
    return r;
}

// One call of Gnome_readPacket after appending `feed`; no fields expected means
// the call runs out of input and returns -1.
struct Step {
    std::string feed;
    Fields fields;
    std::string out;
};

struct Case {
    std::string name;
    std::vector<Step> steps;
};

std::vector<Case> cases()
{
    const std::string badSum = "\n023CE00010101SSCN0081AB";
    const std::string t024 = withSum("\n024CE00010101SSCN0081");
    const std::string valueNewline = "\n017CE00012ab\ncdZZ";
    std::string smallSum = "\n010CE00010ab?";  // last value byte makes the sum 0x05
    smallSum.back() = static_cast<char>((0x105 - byteSum(smallSum.substr(0, 13))) % 256);
    Fields sixtyFour;  // fill the arrays exactly
    for (unsigned i = 0; i < 64; ++i)
        sixtyFour.emplace_back("T" + threeDigits(i), "");
    std::vector<Case> all = {
        {"Example", {{example, exampleFields, ""}, {"", {}, ""}}},
        {"ExampleLowerChecksum", {{"\n023CE00010101SSCN0081aa", exampleFields, ""}}},
        {"BytesBeforeFirstNewline", {{"xyz" + example, exampleFields, unexpected("xyz")}}},
        {"CarriageReturnBetweenPackets",
         {{example + "\r" + example, exampleFields, ""},
          {"", exampleFields, unexpected("[0D]")},
          {"", {}, ""}}},
        {"TwoNewlines", {{"\n" + example, exampleFields, ""}}},
        {"ChecksumMismatchReportedAtOnce",
         {{badSum, {}, "Checksum mismatch: ab vs aa\n"}, {example, exampleFields, rejected(badSum)}}},
        {"ChecksumMismatchWithoutLeadingZeros",
         {{"\n023CE00010101SSCN008105", {}, "Checksum mismatch: 5 vs aa\n"}}},
        {"ChecksumComputedBelowSixteen", {{smallSum + "f0", {}, "Checksum mismatch: f0 vs 5\n"}}},
        {"NonHexChecksum",
         {{"\n023CE00010101SSCN0081AG" + example, exampleFields,
           unexpected("023CE00010101SSCN0081AG")}}},
        {"NonDigitTotalLength",
         {{"\n02xCE00010101SSCN0081AA" + example, exampleFields,
           unexpected("02xCE00010101SSCN0081AA")}}},
        {"NonDigitFieldLength",
         {{"\n023CE000 0101SSCN0081AA" + example, exampleFields,
           unexpected("023CE000 0101SSCN0081AA")}}},
        {"FieldLengthBelowSeven",
         {{withSum("\n010CE00006") + example, exampleFields, rejected(withSum("\n010CE00006"))}}},
        {"FieldLengthAboveRemaining",
         {{withSum("\n010CE00011abcd") + example, exampleFields,
           rejected(withSum("\n010CE00011abcd"))}}},
        {"FieldUsesUpTotal", {{withSum("\n010CE00010abc"), {{"CE00", "abc"}}, ""}}},
        {"ValueBytesUnexamined",
         {{withSum("\n016CE00014a\n\0\xff\x80zz"s), {{"CE00", "a\n\0\xff\x80zz"s}},
           ""}}},
        {"T024LosesSecondPacket",
         {{t024 + example + example, exampleFields,
           rejected(t024) + unexpected("E00010101SSCN0081AA")},
          {"", {}, ""}}},
        {"NewlineInRejectedValue",
         {{valueNewline + example, exampleFields, unexpected("017CE00012ab") + unexpected("Z")}}},
        {"SixtyFourFields", {{withSum("\n448" + emptyFields(64)), sixtyFour, ""}}},
        {"SixtyFiveFieldsRejected",
         {{withSum("\n455" + emptyFields(65)) + example, exampleFields,
           rejected(withSum("\n455" + emptyFields(65)))}}},
        {"MaximumFieldCountRejected",
         {{withSum("\n999" + emptyFields(142)) + example, exampleFields,
           rejected(withSum("\n999" + emptyFields(142)))}}},
        {"FullStorageWhileSearching",
         {{std::string(GNOME_BUFFER_SIZE, 'x') + "yz" + example, exampleFields,
           "Buffer full, ignored: [[[" + std::string(GNOME_BUFFER_SIZE, 'x') + "]]]\n" +
               unexpected("yz")}}},
    };
    // No field fits a total below 7; an empty field alone completes with 0 to 5 left.
    for (unsigned t = 0; t <= 13; ++t) {
        const std::string packet = withSum("\n" + threeDigits(t) + "CE00007");
        const bool good = t >= 7 && t <= 12;
        Step step{packet + example, exampleFields, rejected(packet)};
        if (good)
            step = {packet, {{"CE00", ""}}, ""};
        if (t == 13)  // 6 left: a further field is expected, as with T = 024
            step = {packet + example + example, exampleFields,
                    rejected(packet) + unexpected("E00010101SSCN0081AA")};
        all.push_back({"EmptyFieldTotal" + threeDigits(t), {step}});
    }
    // The example is good with 0 to 5 left over, and broken outside that.
    for (unsigned t = 17; t <= 24; ++t) {
        const std::string packet = withSum("\n" + threeDigits(t) + "CE00010101SSCN0081");
        if (t >= 18 && t <= 23)
            all.push_back({"ExampleTotal" + threeDigits(t), {{packet, exampleFields, ""}}});
        else if (t == 17)
            all.push_back({"ExampleTotal017", {{packet + example, exampleFields, rejected(packet)}}});
    }
    return all;
}

class GnomeStream : public testing::TestWithParam<Case> {};

TEST_P(GnomeStream, ReturnsPacketsAndReports)
{
    Feed feed;
    GnomePtr gnome(Gnome_create(feedRead, &feed), Gnome_destroy);
    ASSERT_NE(gnome, nullptr);
    int n = 0;
    for (const Step& step : GetParam().steps) {
        SCOPED_TRACE("call " + std::to_string(++n));
        feed.data += step.feed;
        const Result r = readOnce(gnome.get());
        EXPECT_EQ(r.out, step.out);
        if (step.fields.empty()) {
            EXPECT_EQ(r.rc, -1);
            EXPECT_EQ(r.count, 0);
            EXPECT_TRUE(r.arraysNull);
        } else {
            EXPECT_EQ(r.rc, 0);
            EXPECT_EQ(r.count, static_cast<int>(step.fields.size()));
            EXPECT_EQ(r.fields, step.fields);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, GnomeStream, testing::ValuesIn(cases()),
                         [](const auto& info) { return info.param.name; });

TEST(Gnome, PointsIntoStorageAtTheFieldPositions)
{
    Feed feed{.data = withSum("\n012CE00007") + example};
    GnomePtr gnome(Gnome_create(feedRead, &feed), Gnome_destroy);
    const Result r = readOnce(gnome.get());
    ASSERT_EQ(r.rc, 0);
    const std::uint8_t* storage = gnome->input->buffer;
    // The packet sits from its first length digit on; an empty value points
    // just past its length digits.
    EXPECT_EQ(gnome->tags[0], storage + 3);
    EXPECT_EQ(gnome->values[0], storage + 10);
    EXPECT_EQ(gnome->lengths[0], 0);
    EXPECT_EQ(gnome->state, 0);
}

TEST(Gnome, FailedReadAnywhereInAPacketResumes)
{
    for (std::size_t at = 0; at < 2 * example.size(); ++at) {
        SCOPED_TRACE("fail before byte " + std::to_string(at));
        Feed feed{.data = example + example};
        feed.failAt = {at};
        GnomePtr gnome(Gnome_create(feedRead, &feed), Gnome_destroy);
        int failures = 0;
        std::vector<Fields> packets;
        for (int call = 0; call < 4 && packets.size() < 2; ++call) {
            const Result r = readOnce(gnome.get());
            EXPECT_EQ(r.out, "");
            if (r.rc == 0) {
                packets.push_back(r.fields);
                continue;
            }
            ++failures;
            EXPECT_EQ(r.rc, -1);
            EXPECT_EQ(r.count, 0);
            EXPECT_TRUE(r.arraysNull);
        }
        EXPECT_EQ(failures, 1);
        EXPECT_EQ(packets, (std::vector<Fields>{exampleFields, exampleFields}));
    }
}

TEST(Gnome, DestroyAcceptsNull)
{
    Gnome_destroy(nullptr);
}

}  // namespace
