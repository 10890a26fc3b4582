// SPDX-License-Identifier: GPL-2.0-or-later
// Pushback read buffer: replay without the callback, the full-storage report,
// callback failures and the invariant assertions.
#include "buffer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

using testing::AllOf;
using testing::HasSubstr;

// Hands out `data` one byte per call; past the end (or when `failWith` is set
// for the next call) it fails.
struct Feed {
    std::string data;
    std::size_t pos = 0;
    int calls = 0;
    int failWith = 1;  // 1: no failure pending
    Buffer* buf = nullptr;
    bool movePtrOnRead = false;
    unsigned lastMax = 0;
    std::uint8_t* lastDest = nullptr;
};

int feedRead(void* context, std::uint8_t* dest, unsigned max)
{
    auto* feed = static_cast<Feed*>(context);
    ++feed->calls;
    feed->lastMax = max;
    feed->lastDest = dest;
    if (feed->failWith < 1) {
        const int result = feed->failWith;
        feed->failWith = 1;
        return result;
    }
    if (feed->pos == feed->data.size())
        return 0;
    *dest = static_cast<std::uint8_t>(feed->data[feed->pos++]);
    if (feed->movePtrOnRead)
        feed->buf->ptr += 2;  // a callback breaking the invariant behind the buffer's back
    return 1;
}

using BufferPtr = std::unique_ptr<Buffer, decltype(&Buffer_destroy)>;

BufferPtr makeBuffer(Feed& feed, std::size_t size = 16)
{
    BufferPtr buf(Buffer_create(size, feedRead, &feed), Buffer_destroy);
    feed.buf = buf.get();
    return buf;
}

char readOne(Buffer* buf)
{
    std::uint8_t c = 0;
    EXPECT_EQ(Buffer_readChar(buf, &c), 0);
    return static_cast<char>(c);
}

std::string readN(Buffer* buf, int n)
{
    std::string out;
    for (int i = 0; i < n; ++i)
        out += readOne(buf);
    return out;
}

template <typename F>
std::string stdoutOf(F&& action)
{
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    action();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

std::string dumped(Buffer* buf)
{
    return stdoutOf([&] { Buffer_dumpContents(buf, stdout); });
}

TEST(Buffer, CreateStartsEmptyAndAsksForOneByteAtUsed)
{
    Feed feed{.data = "abc"};
    auto buf = makeBuffer(feed, 8);
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(buf->size, 8u);
    EXPECT_EQ(buf->start, buf->buffer);
    EXPECT_EQ(buf->ptr, buf->buffer);
    EXPECT_EQ(buf->used, buf->buffer);
    EXPECT_EQ(buf->context, &feed);
    EXPECT_EQ(readOne(buf.get()), 'a');
    EXPECT_EQ(feed.lastMax, 1u);
    EXPECT_EQ(feed.lastDest, buf->buffer);
    EXPECT_EQ(readOne(buf.get()), 'b');
    EXPECT_EQ(feed.lastDest, buf->buffer + 1);
    EXPECT_EQ(buf->used, buf->buffer + 2);
}

// Operation scripts: r read, u unread, a unreadAll, c clear, s updateStart.
struct OpsCase {
    const char* name;
    const char* input;
    const char* ops;
    const char* handedOut;
    int calls;
    std::size_t bytesRead;
};

const OpsCase opsCases[] = {
    {"RewindReplaysWithoutCallback", "abcd", "rrrarrr", "abcabc", 3, 3},
    {"ReadAfterReplayCallsAgain", "abcd", "rrrarrrr", "abcabcd", 4, 4},
    {"RewindResetsTokenStart", "abcd", "rrsra", "abc", 3, 0},
    {"StepBackLowersCount", "xy", "rru", "xy", 2, 1},
    {"StepBackReplaysByte", "xy", "rrur", "xyy", 2, 2},
    {"ClearDropsWaitingBytes", "abc", "rrucr", "abc", 3, 1},
    {"UpdateStartEmptiesToken", "tokn", "rrs", "to", 2, 0},
    {"TokenCountsFromStart", "tokn", "rrsrr", "tokn", 4, 2},
};

class BufferOps : public testing::TestWithParam<OpsCase> {};

TEST_P(BufferOps, HandsOutBytesInOrder)
{
    const OpsCase& c = GetParam();
    Feed feed{.data = c.input};
    auto buf = makeBuffer(feed);
    std::string handedOut;
    for (const char* op = c.ops; *op; ++op) {
        switch (*op) {
        case 'r': handedOut += readOne(buf.get()); break;
        case 'u': Buffer_unread(buf.get()); break;
        case 'a': Buffer_unreadAll(buf.get()); break;
        case 'c': Buffer_clear(buf.get()); break;
        case 's': Buffer_updateStart(buf.get()); break;
        }
    }
    EXPECT_EQ(handedOut, c.handedOut);
    EXPECT_EQ(feed.calls, c.calls);
    EXPECT_EQ(Buffer_bytesRead(buf.get()), c.bytesRead);
    EXPECT_EQ(Buffer_getStart(buf.get()) + c.bytesRead, buf->ptr);
    // Fresh bytes always land in order from the storage's first byte.
    EXPECT_EQ(feed.lastDest, buf->used - 1);
}

INSTANTIATE_TEST_SUITE_P(Scripts, BufferOps, testing::ValuesIn(opsCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Buffer, FullStorageIsReportedAndEmptiedBeforeTheNextFill)
{
    Feed feed{.data = std::string("a\rb\xff") + "Z"};
    auto buf = makeBuffer(feed, 4);
    EXPECT_EQ(stdoutOf([&] { readN(buf.get(), 4); }), "");
    Buffer_updateStart(buf.get());  // a token in progress restarts at the storage's beginning
    char c = 0;
    EXPECT_EQ(stdoutOf([&] { c = readOne(buf.get()); }), "Buffer full, ignored: [[[a[0D]b[FF]]]]\n");
    EXPECT_EQ(c, 'Z');
    EXPECT_EQ(buf->buffer[0], 'Z');
    EXPECT_EQ(Buffer_getStart(buf.get()), buf->buffer);
    EXPECT_EQ(Buffer_bytesRead(buf.get()), 1u);
    EXPECT_EQ(buf->used, buf->buffer + 1);
}

TEST(Buffer, FullStorageReplayedIsNotReportedUntilExhausted)
{
    Feed feed{.data = "abc"};
    auto buf = makeBuffer(feed, 2);
    readN(buf.get(), 2);
    Buffer_unreadAll(buf.get());
    EXPECT_EQ(stdoutOf([&] { EXPECT_EQ(readN(buf.get(), 2), "ab"); }), "");
    EXPECT_EQ(stdoutOf([&] { readOne(buf.get()); }), "Buffer full, ignored: [[[ab]]]\n");
}

class BufferCallbackFailure : public testing::TestWithParam<int> {};

TEST_P(BufferCallbackFailure, LeavesByteAndBufferUntouchedAndRetriesSamePosition)
{
    Feed feed{.data = "pq"};
    auto buf = makeBuffer(feed);
    readOne(buf.get());
    feed.failWith = GetParam();
    std::uint8_t c = 0xEE;
    EXPECT_EQ(Buffer_readChar(buf.get(), &c), -1);
    EXPECT_EQ(c, 0xEE);
    EXPECT_EQ(buf->ptr, buf->buffer + 1);
    EXPECT_EQ(buf->used, buf->buffer + 1);
    EXPECT_EQ(readOne(buf.get()), 'q');
    EXPECT_EQ(feed.lastDest, buf->buffer + 1);
}

INSTANTIATE_TEST_SUITE_P(Results, BufferCallbackFailure, testing::Values(0, -1, -5));

TEST(Buffer, FailureAfterFullStorageKeepsTheEmptying)
{
    Feed feed{.data = "ab"};
    auto buf = makeBuffer(feed, 2);
    readN(buf.get(), 2);
    feed.failWith = -1;
    std::uint8_t c = 0;
    EXPECT_EQ(stdoutOf([&] { EXPECT_EQ(Buffer_readChar(buf.get(), &c), -1); }),
              "Buffer full, ignored: [[[ab]]]\n");
    EXPECT_EQ(buf->used, buf->buffer);
    EXPECT_EQ(buf->ptr, buf->buffer);
}

TEST(Buffer, DumpWritesHandedOutBytesOnly)
{
    Feed feed{.data = "A\rBC"};
    auto buf = makeBuffer(feed);
    readN(buf.get(), 4);
    Buffer_unread(buf.get());
    EXPECT_EQ(dumped(buf.get()), "A[0D]B");
    Buffer_unreadAll(buf.get());
    EXPECT_EQ(dumped(buf.get()), "");
}

struct PrintCase {
    std::uint8_t byte;
    const char* shown;
};

class BufferAsciiForm : public testing::TestWithParam<PrintCase> {};

TEST_P(BufferAsciiForm, PrintableAsItselfOthersBracketed)
{
    Feed feed{.data = std::string(1, static_cast<char>(GetParam().byte))};
    auto buf = makeBuffer(feed);
    readOne(buf.get());
    EXPECT_EQ(dumped(buf.get()), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(Bytes, BufferAsciiForm,
                         testing::Values(PrintCase{0x20, " "}, PrintCase{0x7E, "~"}, PrintCase{'%', "%"},
                                         PrintCase{0x7F, "[7F]"}, PrintCase{0xFF, "[FF]"},
                                         PrintCase{0x00, "[00]"}, PrintCase{0x1F, "[1F]"},
                                         PrintCase{0x0A, "[0A]"}, PrintCase{0xAB, "[AB]"}));

TEST(Buffer, DestroyAcceptsNull)
{
    Buffer_destroy(nullptr);
}

// Each case breaks the invariant the way a faulty caller would and expects the
// assertion naming the file, the operation and the relation.
struct DeathCase {
    const char* name;
    void (*breakIt)(Buffer*, Feed&);
    const char* function;
    const char* relation;
};

const DeathCase deathCases[] = {
    {"UnreadOnEmpty", [](Buffer* b, Feed&) { Buffer_unread(b); }, "Buffer_unread",
     "buf->ptr >= buf->buffer"},
    {"UnreadAfterRewind",
     [](Buffer* b, Feed&) {
         readOne(b);
         Buffer_unreadAll(b);
         Buffer_unread(b);
     },
     "Buffer_unread", "buf->ptr >= buf->buffer"},
    {"PtrBeyondUsed",
     [](Buffer* b, Feed&) {
         readOne(b);
         b->ptr = b->used + 1;
         std::uint8_t c;
         Buffer_readChar(b, &c);
     },
     "Buffer_readChar", "buf->ptr == buf->used"},
    {"UsedBeyondStorage",
     [](Buffer* b, Feed&) {
         readN(b, 3);
         b->size = 2;
         std::uint8_t c;
         Buffer_readChar(b, &c);
     },
     "Buffer_fill", "buf->used == buf->buffer + buf->size"},
    {"PtrBeyondUsedAfterFill",
     [](Buffer* b, Feed& f) {
         f.movePtrOnRead = true;
         std::uint8_t c;
         Buffer_readChar(b, &c);
     },
     "Buffer_readChar", "buf->ptr <= buf->used"},
    {"ReversedDumpRange",
     [](Buffer* b, Feed&) {
         readOne(b);
         b->buffer += 2;
         Buffer_dumpContents(b, stdout);
     },
     "asciiPrint", "end >= str"},
};

class BufferInvariant : public testing::TestWithParam<DeathCase> {};

TEST_P(BufferInvariant, AssertionNamesFileOperationAndRelation)
{
    const DeathCase& c = GetParam();
    EXPECT_DEATH(
        {
            Feed feed{.data = "abcdef"};
            auto buf = makeBuffer(feed);
            c.breakIt(buf.get(), feed);
        },
        AllOf(HasSubstr("shared/buffer.cpp"), HasSubstr(c.function), HasSubstr(c.relation)));
}

INSTANTIATE_TEST_SUITE_P(Relations, BufferInvariant, testing::ValuesIn(deathCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
