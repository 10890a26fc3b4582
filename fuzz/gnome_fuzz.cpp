// SPDX-License-Identifier: GPL-2.0-or-later
// Feeds arbitrary bytes to the Gnome packet reader and checks that every
// packet it returns is laid out inside its storage as the format says.
#include "gnome.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

struct Input {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t pos;
};

int readInput(void* context, std::uint8_t* dest, unsigned max)
{
    auto* in = static_cast<Input*>(context);
    if (in->pos == in->size || max < 1)
        return 0;
    *dest = in->data[in->pos++];
    return 1;
}

void check(bool ok, const char* what)
{
    if (ok)
        return;
    std::fprintf(stderr, "gnome_fuzz: %s\n", what);
    std::abort();
}

bool hexDigit(std::uint8_t c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

void checkPacket(const Gnome* gnome, int count, const std::uint8_t* const* tags,
                 const std::uint8_t* const* values, const int* lengths)
{
    const std::uint8_t* lo = gnome->input->buffer;
    const std::uint8_t* hi = lo + gnome->input->size;
    check(count >= 1 && count <= GNOME_MAX_FIELDS, "field count out of range");
    check(tags == gnome->tags && values == gnome->values && lengths == gnome->lengths,
          "arrays are not the reader's own");
    // The packet occupies the storage from its first length digit on, fields
    // back to back, then the two checksum digits.
    const std::uint8_t* expected = lo + 3;
    for (int i = 0; i < count; ++i) {
        check(tags[i] == expected, "tag not where the previous field ended");
        check(tags[i] >= lo && tags[i] + 7 <= hi, "tag outside the storage");
        check(values[i] == tags[i] + 7, "value not after its length digits");
        check(lengths[i] >= 0 && lengths[i] <= 992, "value length out of range");
        check(values[i] + lengths[i] <= hi, "value outside the storage");
        expected = values[i] + lengths[i];
    }
    check(expected + 2 <= hi, "checksum outside the storage");
    check(hexDigit(expected[0]) && hexDigit(expected[1]), "checksum digits not hexadecimal");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The reader's reports are expected noise here.
    if (std::freopen("/dev/null", "w", stdout) == nullptr)
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Input in{data, size, 0};
    std::unique_ptr<Gnome, decltype(&Gnome_destroy)> gnome(Gnome_create(readInput, &in), Gnome_destroy);
    check(gnome != nullptr, "Gnome_create failed");
    for (;;) {
        int count = -1;
        const std::uint8_t* const* tags = nullptr;
        const std::uint8_t* const* values = nullptr;
        const int* lengths = nullptr;
        const std::size_t before = in.pos;
        if (Gnome_readPacket(gnome.get(), &count, &tags, &values, &lengths) != 0) {
            check(count == 0 && !tags && !values && !lengths, "failed read left outputs set");
            check(in.pos == in.size, "failed before the input ended");
            break;
        }
        // The smallest packet is a newline, 3 digits, one empty field, 2 digits.
        check(in.pos - before >= 13, "packet shorter than the format allows");
        checkPacket(gnome.get(), count, tags, values, lengths);
    }
    return 0;
}
