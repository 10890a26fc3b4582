// SPDX-License-Identifier: GPL-2.0-or-later
#include "buffer.h"

#include <cassert>
#include <new>

namespace {

// Printable bytes as themselves, everything else bracketed, so control bytes
// and line ends stay visible on one report line.
void asciiPrint(std::FILE* out, const std::uint8_t* str, const std::uint8_t* end)
{
    assert(end >= str);
    for (; str != end; ++str) {
        if (*str >= 0x20 && *str <= 0x7E)
            std::fputc(*str, out);
        else
            std::fprintf(out, "[%02X]", *str);
    }
}

// Pulls one more byte from the callback into the storage. The storage is
// never moved: a full one is reported and emptied instead.
int Buffer_fill(Buffer* buf)
{
    if (buf->used >= buf->buffer + buf->size) {
        assert(buf->used == buf->buffer + buf->size);
        std::fputs("Buffer full, ignored: [[[", stdout);
        asciiPrint(stdout, buf->buffer, buf->used);
        std::fputs("]]]\n", stdout);
        buf->start = buf->ptr = buf->used = buf->buffer;
    }
    const int got = buf->reader(buf->context, buf->used, 1);
    if (got < 1)
        return got;
    buf->used += got;
    return got;
}

}  // namespace

Buffer* Buffer_create(std::size_t size, BufferReadFunc reader, void* context)
{
    // A zero-sized storage would have nowhere to put the first byte.
    assert(size > 0);
    auto* buf = new (std::nothrow) Buffer{};
    if (buf == nullptr)
        return nullptr;
    buf->buffer = new (std::nothrow) std::uint8_t[size];
    if (buf->buffer == nullptr) {
        delete buf;
        return nullptr;
    }
    buf->size = size;
    buf->start = buf->ptr = buf->used = buf->buffer;
    buf->reader = reader;
    buf->context = context;
    return buf;
}

void Buffer_destroy(Buffer* buf)
{
    if (buf == nullptr)
        return;
    delete[] buf->buffer;
    delete buf;
}

int Buffer_readChar(Buffer* buf, std::uint8_t* c)
{
    if (buf->ptr < buf->used) {
        *c = *buf->ptr++;
        return 0;
    }
    assert(buf->ptr == buf->used);
    if (Buffer_fill(buf) < 1)
        return -1;
    assert(buf->ptr <= buf->used);
    *c = *buf->ptr++;
    return 0;
}

void Buffer_unread(Buffer* buf)
{
    // Checked before the step: a pointer before the storage may not even be
    // formed. The relation reads as the one the step must keep.
    if (buf->ptr == buf->buffer)
        __assert_fail("buf->ptr >= buf->buffer", __FILE__, __LINE__, __PRETTY_FUNCTION__);
    --buf->ptr;
}

void Buffer_unreadAll(Buffer* buf)
{
    buf->start = buf->ptr = buf->buffer;
}

void Buffer_clear(Buffer* buf)
{
    buf->start = buf->ptr = buf->used = buf->buffer;
}

std::uint8_t* Buffer_getStart(Buffer* buf)
{
    return buf->start;
}

void Buffer_updateStart(Buffer* buf)
{
    buf->start = buf->ptr;
}

std::size_t Buffer_bytesRead(Buffer* buf)
{
    return static_cast<std::size_t>(buf->ptr - buf->start);
}

void Buffer_dumpContents(Buffer* buf, std::FILE* out)
{
    asciiPrint(out, buf->buffer, buf->ptr);
}
