// SPDX-License-Identifier: GPL-2.0-or-later
#include "gnome.h"

#include <cassert>
#include <cstdio>
#include <new>

namespace {

enum State : int {
    Search = 0,
    TotalLength = 1,
    Tag = 2,
    FieldLength = 3,
    Value = 4,
    Checksum = 5,
};

constexpr unsigned TagBytes = 4;
constexpr unsigned LengthDigits = 3;
constexpr unsigned ChecksumDigits = 2;
constexpr unsigned FieldOverhead = TagBytes + LengthDigits;
// A remainder this large leaves room for another field rather than slack.
constexpr unsigned MinRemainingForField = 6;

// Plain ASCII ranges: the locale is never changed, and a byte from the box
// must never count as a digit by accident.
constexpr bool isDecimal(std::uint8_t c)
{
    return c >= '0' && c <= '9';
}

constexpr bool isHex(std::uint8_t c)
{
    return isDecimal(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

int converthex(std::uint8_t c)
{
    assert(isHex(c));
    if (isDecimal(c))
        return c - '0';
    const int upper = (c >= 'a' && c <= 'z') ? c - ('a' - 'A') : c;
    return upper - 55;
}

unsigned decimalValue(const std::uint8_t* digits)
{
    unsigned value = 0;
    for (unsigned i = 0; i < LengthDigits; ++i)
        value = value * 10 + static_cast<unsigned>(digits[i] - '0');
    return value;
}

// Drops the packet in progress; the search runs again over the stored bytes.
void reject(Gnome* gnome)
{
    Buffer_unreadAll(gnome->input);
    gnome->state = Search;
}

void reportUnexpected(Buffer* input)
{
    std::fputs("Unexpected/invalid characters: [[[", stdout);
    Buffer_dumpContents(input, stdout);
    std::fputs("]]]\n", stdout);
}

void onNewline(Gnome* gnome)
{
    Buffer* input = gnome->input;
    Buffer_unread(input);
    if (Buffer_bytesRead(input) != 0)
        reportUnexpected(input);
    Buffer_clear(input);
    gnome->sum = '\n';
    gnome->state = TotalLength;
}

// After a field: slack below a field's minimum means the checksum follows.
// The arrays end at GNOME_MAX_FIELDS, so a packet announcing more is dropped.
void afterField(Gnome* gnome)
{
    if (gnome->remaining < MinRemainingForField)
        gnome->state = Checksum;
    else if (gnome->count >= GNOME_MAX_FIELDS)
        reject(gnome);
    else
        gnome->state = Tag;
}

void recordValue(Gnome* gnome, unsigned length)
{
    gnome->values[gnome->count] = Buffer_getStart(gnome->input);
    gnome->lengths[gnome->count] = static_cast<int>(length);
    ++gnome->count;
}

void onFieldLength(Gnome* gnome)
{
    Buffer* input = gnome->input;
    const unsigned fieldLength = decimalValue(Buffer_getStart(input));
    if (fieldLength < FieldOverhead || fieldLength > gnome->remaining) {
        reject(gnome);
        return;
    }
    gnome->valueLength = fieldLength - FieldOverhead;
    gnome->remaining -= fieldLength;
    Buffer_updateStart(input);
    if (gnome->valueLength != 0) {
        gnome->state = Value;
        return;
    }
    recordValue(gnome, 0);
    afterField(gnome);
}

// Returns true when the packet is complete and good.
bool onChecksum(Gnome* gnome)
{
    const std::uint8_t* digits = Buffer_getStart(gnome->input);
    const unsigned received = 16 * converthex(digits[0]) + converthex(digits[1]);
    gnome->sum %= 256;
    if (received == gnome->sum)
        return true;
    std::printf("Checksum mismatch: %x vs %x\n", received, gnome->sum);
    reject(gnome);
    return false;
}

// Feeds one byte to the state machine; true when it completed a good packet.
bool step(Gnome* gnome, std::uint8_t c)
{
    Buffer* input = gnome->input;
    gnome->sum += c;
    switch (gnome->state) {
    case Search:
        if (c == '\n')
            onNewline(gnome);
        return false;
    case TotalLength:
        if (!isDecimal(c)) {
            reject(gnome);
        } else if (Buffer_bytesRead(input) == LengthDigits) {
            gnome->remaining = decimalValue(Buffer_getStart(input));
            Buffer_updateStart(input);
            gnome->count = 0;
            gnome->state = Tag;
        }
        return false;
    case Tag:
        if (Buffer_bytesRead(input) == TagBytes) {
            gnome->tags[gnome->count] = Buffer_getStart(input);
            Buffer_updateStart(input);
            gnome->state = FieldLength;
        }
        return false;
    case FieldLength:
        if (!isDecimal(c))
            reject(gnome);
        else if (Buffer_bytesRead(input) == LengthDigits)
            onFieldLength(gnome);
        return false;
    case Value:
        if (Buffer_bytesRead(input) == gnome->valueLength) {
            recordValue(gnome, gnome->valueLength);
            Buffer_updateStart(input);
            afterField(gnome);
        }
        return false;
    case Checksum:
        gnome->sum -= c;
        if (!isHex(c)) {
            reject(gnome);
            return false;
        }
        return Buffer_bytesRead(input) == ChecksumDigits && onChecksum(gnome);
    default:
        assert(gnome->state >= Search && gnome->state <= Checksum);
        return false;
    }
}

}  // namespace

Gnome* Gnome_create(BufferReadFunc reader, void* context)
{
    auto* gnome = new (std::nothrow) Gnome{};
    if (gnome == nullptr)
        return nullptr;
    gnome->input = Buffer_create(GNOME_BUFFER_SIZE, reader, context);
    if (gnome->input == nullptr) {
        delete gnome;
        return nullptr;
    }
    gnome->state = Search;
    return gnome;
}

void Gnome_destroy(Gnome* gnome)
{
    if (gnome == nullptr)
        return;
    Buffer_destroy(gnome->input);
    delete gnome;
}

int Gnome_readPacket(Gnome* gnome, int* count, const std::uint8_t* const** tags,
                     const std::uint8_t* const** values, const int** lengths)
{
    for (;;) {
        std::uint8_t c;
        if (Buffer_readChar(gnome->input, &c) != 0) {
            *count = 0;
            *tags = nullptr;
            *values = nullptr;
            *lengths = nullptr;
            return -1;
        }
        if (step(gnome, c))
            break;
    }
    Buffer_clear(gnome->input);
    gnome->state = Search;
    *count = gnome->count;
    *tags = gnome->tags;
    *values = gnome->values;
    *lengths = gnome->lengths;
    return 0;
}
