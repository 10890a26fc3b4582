// SPDX-License-Identifier: GPL-2.0-or-later
// Reader of the Gnome packets that a Sky box reports on its RS232 port.
//
// A packet is a newline, a 3-digit total length, tagged fields (4-byte tag,
// 3-digit field length, value) and a 2-digit hexadecimal checksum. The reader
// synchronises on newlines, checks every length and the checksum, reports and
// skips whatever does not fit (on stdout), and returns good packets as arrays
// of pointers into its buffer's storage: no copy, no allocation per packet.
// The reader owns its Buffer; the read callback's context stays the caller's.
#pragma once

#include <cstddef>
#include <cstdint>

#include "buffer.h"

inline constexpr std::size_t GNOME_BUFFER_SIZE = 2048;
// Fields a packet may carry here. The length limit would allow 142; a packet
// with more than 64 is rejected like a malformed one, at the moment its 64th
// field is complete and the remaining length (6 or more) announces another.
// No byte of the 65th field has been read then, so the search that follows
// the rejection runs over the stored bytes up to the end of the 64th value
// and then over fresh bytes from the 65th field's tag on.
inline constexpr int GNOME_MAX_FIELDS = 64;

struct Gnome {
    int state;                                  // parse state, 0 to 5
    Buffer* input;                              // owned, GNOME_BUFFER_SIZE bytes
    const std::uint8_t* tags[GNOME_MAX_FIELDS];    // 4 bytes each, not terminated
    const std::uint8_t* values[GNOME_MAX_FIELDS];  // not terminated
    int lengths[GNOME_MAX_FIELDS];              // value lengths in bytes
    int count;                                  // fields in the current packet
    std::uint32_t sum;                          // running byte sum for the checksum
    unsigned remaining;                         // length left of the declared total
    unsigned valueLength;                       // value length of the field being read
};

// New reader over a fresh buffer fed by reader/context, or null when memory
// runs out (nothing stays allocated).
Gnome* Gnome_create(BufferReadFunc reader, void* context);

// Destroys the buffer, then the reader. Accepts null.
void Gnome_destroy(Gnome* gnome);

// Blocks until one packet with a correct checksum has been read: returns 0,
// *count >= 1 and the arrays point at the reader's own entries, valid until
// the next call or Gnome_destroy. Returns -1 when the callback fails: *count
// is 0, the arrays null, and a later call resumes the packet in progress.
// Malformed input is reported on stdout and skipped, never returned.
int Gnome_readPacket(Gnome* gnome, int* count, const std::uint8_t* const** tags,
                     const std::uint8_t* const** values, const int** lengths);
