// SPDX-License-Identifier: GPL-2.0-or-later
// Pushback read buffer: scripts of operations against their transcripts; the assertions.
#include "buffer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <tuple>
#include <utility>

namespace {

// Hands out data a byte per call, '{' and '}' as failures (0 and -1); bump breaks that buffer's invariant.
struct Feed {
    std::string data;
    Buffer* bump = nullptr;
};

int feedRead(void* context, std::uint8_t* dest, unsigned max)
{
    auto* feed = static_cast<Feed*>(context);
    EXPECT_EQ(max, 1u);
    const char next = feed->data[0];
    feed->data.erase(0, 1);
    if (next == '{' || next == '}')
        return next == '{' ? 0 : -1;
    *dest = static_cast<std::uint8_t>(next);
    if (feed->bump != nullptr)
        feed->bump->ptr += 2;
    return 1;
}

// Runs a script, writing a transcript on stdout: r read (the byte; '!' for a failed read that gave -1 and left
// the byte alone, '?' for any other failure), u unread, a unreadAll, c clear, s updateStart, d dump, other
// characters copied. Breaking the invariant: P ptr beyond used, S size below used, B the callback bumping ptr.
void run(Buffer* buf, Feed& feed, const char* ops)
{
    for (; *ops; ++ops) {
        std::uint8_t c = '#';
        const int rc = *ops == 'r' ? Buffer_readChar(buf, &c) : 0;
        switch (*ops) {
        case 'r': std::fputc(rc == 0 ? c : rc == -1 && c == '#' ? '!' : '?', stdout); break;
        case 'u': Buffer_unread(buf); break;
        case 'a': Buffer_unreadAll(buf); break;
        case 'c': Buffer_clear(buf); break;
        case 's': Buffer_updateStart(buf); break;
        case 'd': Buffer_dumpContents(buf, stdout); break;
        case 'P': buf->ptr = buf->used + 1; break;
        case 'S': buf->size = 2; break;
        case 'B': feed.bump = buf; break;
        default: std::fputc(*ops, stdout);
        }
    }
}

// Storage size, input, script, transcript, and the bytes read at the end.
const std::tuple<std::size_t, std::string, const char*, std::string, std::size_t> scripts[] = {
    {16, "abcd", "rrrarrrr", "abcabcd", 4},
    {16, "xy", "rru<d>r", "xy<x>y", 2},
    {16, "abc", "rrucr<d>", "abc<c>", 1},
    {16, "tokn", "rrsrr", "tokn", 2},
    {16, "tokn", "rrsrra", "tokn", 0},
    {16, "p{}q", "rrrr<d>", "p!!q<pq>", 2},
    {16, "A\rBC", "rrrru<d>a<d>", "A\rBC<A[0D]B><>", 0},
    {16, " \x7f\xff\x1f~", "rrrrr<d>", " \x7f\xff\x1f~< [7F][FF][1F]~>", 5},
    {4, "a\rb\xffZ", "rrrrsr<d>", "a\rb\xff" "Buffer full, ignored: [[[a[0D]b[FF]]]]\nZ<Z>", 1},
    {2, "abc", "rrarrr<d>", "ababBuffer full, ignored: [[[ab]]]\nc<c>", 1},
    {2, "ab}c", "rrrr<d>", "abBuffer full, ignored: [[[ab]]]\n!c<c>", 1},
};

// Scripts that break the invariant, and the assertion naming the operation and relation.
const std::pair<const char*, const char*> breaches[] = {
    {"u", "Buffer_unread.*buf->ptr >= buf->buffer"},
    {"rau", "Buffer_unread.*buf->ptr >= buf->buffer"},
    {"rrPr", "Buffer_readChar.*buf->ptr == buf->used"},
    {"rrrSr", "Buffer_fill.*buf->used == buf->buffer \\+ buf->size"},
    {"Br", "Buffer_readChar.*buf->ptr <= buf->used"},
};

TEST(Buffer, HandsOutReportsAndAsserts)
{
    for (const auto& [size, input, ops, transcript, bytesRead] : scripts) {
        SCOPED_TRACE(ops);
        Feed feed{.data = input};
        std::unique_ptr<Buffer, decltype(&Buffer_destroy)> buf(Buffer_create(size, feedRead, &feed), Buffer_destroy);
        testing::internal::CaptureStdout();
        run(buf.get(), feed, ops);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), transcript);
        EXPECT_EQ(Buffer_bytesRead(buf.get()), bytesRead);
        EXPECT_EQ(Buffer_getStart(buf.get()) + bytesRead, buf->ptr);
    }
    for (auto [ops, relation] : breaches) {
        Feed feed{.data = "abc"};
        std::unique_ptr<Buffer, decltype(&Buffer_destroy)> buf(Buffer_create(16, feedRead, &feed), Buffer_destroy);
        EXPECT_DEATH(run(buf.get(), feed, ops), std::string("shared/buffer.cpp:.*") + relation);
    }
    Buffer_destroy(nullptr);
}

}  // namespace
