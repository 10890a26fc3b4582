// SPDX-License-Identifier: GPL-2.0-or-later
// Pushback read buffer under the box's packet reader.
//
// Bytes are pulled one at a time from a read callback into one fixed storage
// area and handed out in order. The parser above can step back one byte,
// rewind to the first stored byte and mark the start of its current token,
// then look at the token in place. The storage never moves, so pointers into
// it stay valid until the bytes are dropped (Buffer_clear, or a full storage
// emptied before the next fill). The buffer owns its storage; the callback's
// context belongs to the creator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Stores at most max bytes at dest and returns how many; below 1 is a failure
// (0 end of input, -1 time-out or error). The buffer always asks for 1 byte.
using BufferReadFunc = int (*)(void* context, std::uint8_t* dest, unsigned max);

struct Buffer {
    std::uint8_t* buffer;  // storage, size bytes, owned
    std::size_t size;
    std::uint8_t* start;   // start of the current token
    std::uint8_t* ptr;     // next byte to hand out
    std::uint8_t* used;    // one past the last byte received
    BufferReadFunc reader;
    void* context;         // not owned
};
// Invariant: buffer <= start <= ptr <= used <= buffer + size.

// Empty buffer with size bytes of storage, or null when memory runs out.
Buffer* Buffer_create(std::size_t size, BufferReadFunc reader, void* context);

// Releases the storage and the record. Accepts null.
void Buffer_destroy(Buffer* buf);

// Hands out the next byte: a stored one after a step back or rewind, else one
// fresh from the callback. A full storage is first reported on stdout
// ("Buffer full, ignored: [[[...]]]") and emptied. Returns 0, or -1 when the
// callback fails: *c is untouched and the buffer keeps its bytes and pointers,
// except that a full storage emptied before the call stays empty, so a later
// call asks the callback again for the same position.
int Buffer_readChar(Buffer* buf, std::uint8_t* c);

// Steps back one byte. Requires a byte handed out since the last emptying or
// rewind; stepping back before the storage aborts (assertion), stepping back
// past the token start is not detected.
void Buffer_unread(Buffer* buf);

// Rewinds start and the read pointer to the first stored byte; keeps the bytes.
void Buffer_unreadAll(Buffer* buf);

// Empties the buffer, dropping every stored byte.
void Buffer_clear(Buffer* buf);

// Start of the current token, a pointer into the storage.
std::uint8_t* Buffer_getStart(Buffer* buf);

// Marks the next byte handed out as the start of the next token.
void Buffer_updateStart(Buffer* buf);

// Bytes handed out since the token start.
std::size_t Buffer_bytesRead(Buffer* buf);

// Writes every byte handed out since the last emptying or rewind, printable
// bytes as themselves and others as "[%02X]"; no line end.
void Buffer_dumpContents(Buffer* buf, std::FILE* out);
