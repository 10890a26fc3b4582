// SPDX-License-Identifier: GPL-2.0-or-later
// Gnome_readPacket throughput over a stream of good packets fed one byte per
// callback, and heap allocations per packet (expected: none).
#include "gnome.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>

// glibc's allocator under the counting hooks below.
extern "C" void* __libc_malloc(std::size_t);
extern "C" void* __libc_calloc(std::size_t, std::size_t);
extern "C" void* __libc_realloc(void*, std::size_t);
extern "C" void __libc_free(void*);

namespace {

std::atomic<long> allocations{0};

struct Stream {
    std::string data;
    std::size_t pos = 0;
};

int readStream(void* context, std::uint8_t* dest, unsigned)
{
    auto* s = static_cast<Stream*>(context);
    if (s->pos == s->data.size())
        s->pos = 0;  // loop the stream; it holds whole packets only
    *dest = static_cast<std::uint8_t>(s->data[s->pos++]);
    return 1;
}

std::string withSum(const std::string& body)
{
    unsigned sum = 0;
    for (unsigned char c : body)
        sum += c;
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", sum % 256);
    return body + digits;
}

// A mix like a box's reports: short channel packets and longer descriptions.
std::string packetStream()
{
    const std::string shortPacket = "\n023CE00010101SSCN0081AA";
    std::string fields = "SSCA187";
    fields.append(180, 'd');
    fields += "SSCN0111001";
    std::string body = "\n";
    body += std::to_string(fields.size() + 5);
    body += fields;
    const std::string longPacket = withSum(body);
    std::string out;
    while (out.size() < 64 * 1024) {
        out += shortPacket;
        out += shortPacket;
        out += longPacket;
    }
    return out;
}

void BM_GnomeReadPacket(benchmark::State& state)
{
    Stream stream{packetStream()};
    std::unique_ptr<Gnome, decltype(&Gnome_destroy)> gnome(Gnome_create(readStream, &stream), Gnome_destroy);
    if (!gnome) {
        state.SkipWithError("Gnome_create failed");
        return;
    }
    long packets = 0;
    std::size_t bytes = 0;
    const long allocationsBefore = allocations.load();
    for (auto _ : state) {
        int count;
        const std::uint8_t* const* tags;
        const std::uint8_t* const* values;
        const int* lengths;
        const std::size_t before = stream.pos;
        if (Gnome_readPacket(gnome.get(), &count, &tags, &values, &lengths) != 0 || count < 1) {
            state.SkipWithError("packet rejected");
            break;
        }
        benchmark::DoNotOptimize(values[count - 1]);
        bytes += stream.pos > before ? stream.pos - before : stream.pos + stream.data.size() - before;
        ++packets;
    }
    const long allocated = allocations.load() - allocationsBefore;
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
    state.SetItemsProcessed(packets);
    state.counters["allocs_per_packet"] =
        packets ? static_cast<double>(allocated) / static_cast<double>(packets) : 0.0;
}
BENCHMARK(BM_GnomeReadPacket);

}  // namespace

// Counting allocator for this binary: every operator new goes through here.
void* operator new(std::size_t size)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = __libc_malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}

void* operator new[](std::size_t size)
{
    return ::operator new(size);
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size ? size : 1);
}

void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept
{
    return ::operator new(size, tag);
}

void operator delete(void* p) noexcept
{
    __libc_free(p);
}

void operator delete[](void* p) noexcept
{
    __libc_free(p);
}

void operator delete(void* p, std::size_t) noexcept
{
    __libc_free(p);
}

void operator delete[](void* p, std::size_t) noexcept
{
    __libc_free(p);
}

// C allocations too, through glibc's own entry points.
extern "C" {

void* malloc(std::size_t size)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}

void* calloc(std::size_t n, std::size_t size)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(n, size);
}

void* realloc(void* p, std::size_t size)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, size);
}
}
