// SPDX-License-Identifier: GPL-2.0-or-later
// Builds Gnome packets as a Sky box writes them on its RS232 port: a newline,
// a 3-digit total length, tagged fields (4-byte tag, 3-digit field length,
// value) and a 2-digit upper-case hexadecimal checksum over everything from
// the newline through the last value byte.
//
// Header-only so that the simulated box, its tests and the benchmarks share
// one encoder. Test fixture code: never linked into the product.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

struct GnomeField {
    std::string_view tag;    // exactly 4 bytes
    std::string_view value;  // any bytes, at most GNOME_PACKET_MAX_VALUE
};

// Three length digits bound the total, and a field spends 7 bytes on its tag
// and length, so a lone field carries at most 999 - 7 bytes.
inline constexpr std::size_t GNOME_PACKET_MAX_TOTAL = 999;
inline constexpr std::size_t GNOME_PACKET_MAX_VALUE = GNOME_PACKET_MAX_TOTAL - 7;

// Bytes of the total length that stand for no field: the box counts its
// three length digits and the two checksum characters.
inline constexpr unsigned GNOME_PACKET_REMAINDER = 5;

namespace gnome_packet_detail {

inline void appendDecimal3(std::string& out, std::size_t n)
{
    assert(n <= 999);
    out += static_cast<char>('0' + n / 100);
    out += static_cast<char>('0' + n / 10 % 10);
    out += static_cast<char>('0' + n % 10);
}

}  // namespace gnome_packet_detail

// Total length a packet of these fields declares with the given remainder.
inline std::size_t gnome_packetTotal(std::span<const GnomeField> fields,
                                     unsigned remainder = GNOME_PACKET_REMAINDER)
{
    std::size_t total = remainder;
    for (const GnomeField& f : fields)
        total += 7 + f.value.size();
    return total;
}

// True when the fields fit one packet: at least one field, 4-byte tags and a
// total length of at most 999 with the given remainder (0 to 5).
inline bool gnome_packetFits(std::span<const GnomeField> fields,
                             unsigned remainder = GNOME_PACKET_REMAINDER)
{
    if (fields.empty() || remainder > 5)
        return false;
    for (const GnomeField& f : fields) {
        if (f.tag.size() != 4 || f.value.size() > GNOME_PACKET_MAX_VALUE)
            return false;
    }
    return gnome_packetTotal(fields, remainder) <= GNOME_PACKET_MAX_TOTAL;
}

// The packet's bytes on the wire. checksumError is added to the correct
// checksum (mod 256), so a non-zero value yields a packet the reader rejects.
// Requires gnome_packetFits(fields, remainder).
inline std::string gnome_encodePacket(std::span<const GnomeField> fields,
                                      unsigned remainder = GNOME_PACKET_REMAINDER,
                                      unsigned checksumError = 0)
{
    assert(gnome_packetFits(fields, remainder));
    std::string out;
    out.reserve(gnome_packetTotal(fields, remainder) + 1);
    out += '\n';
    gnome_packet_detail::appendDecimal3(out, gnome_packetTotal(fields, remainder));
    for (const GnomeField& f : fields) {
        out += f.tag;
        gnome_packet_detail::appendDecimal3(out, 7 + f.value.size());
        out += f.value;
    }
    unsigned sum = checksumError;
    for (const char c : out)
        sum += static_cast<std::uint8_t>(c);
    static constexpr char hex[] = "0123456789ABCDEF";
    out += hex[(sum >> 4) & 0xF];
    out += hex[sum & 0xF];
    return out;
}

inline std::string gnome_encodePacket(std::initializer_list<GnomeField> fields,
                                      unsigned remainder = GNOME_PACKET_REMAINDER,
                                      unsigned checksumError = 0)
{
    return gnome_encodePacket(std::span<const GnomeField>(fields.begin(), fields.size()),
                              remainder, checksumError);
}
