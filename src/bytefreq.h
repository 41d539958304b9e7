// The part of bytefreq's counting that its tests and benchmarks use: the
// table of the ways it counts, by name. bytefreq.cpp compiled with
// BYTEFREQ_NO_MAIN gives these without main; nothing else of it is theirs
// to call, so its internals can change without breaking them.

#ifndef BYTEFREQ_H
#define BYTEFREQ_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

namespace bytefreq {

constexpr std::size_t header_size = 20;  // bytes passed over, never counted
constexpr std::size_t block_size = 256;  // bytes each read asks for

// The narrower counters of every way, which its finish adds into the 64-bit
// totals. Too large for a stack: bytefreq keeps one, zero at start.
struct counters;

// A way of counting.
struct way {
    const char *name;
    const char *description;
    bool (*usable)();  // whether this CPU can count this way
    // Reads `in` in blocks of block_size into `block`, until a read
    // delivers nothing, and counts every byte delivered.
    void (*count)(counters &c, std::FILE *in, unsigned char *block, std::uint64_t *byte_counts);
    // Adds what `c` still holds to the totals.
    void (*finish)(counters &c, std::uint64_t *byte_counts);
};

// In order of preference: bytefreq counts with the first that its CPU can
// use. "portable" is usable everywhere; the entries after it count with
// one of its table layouts alone, for the tests and benchmarks.
std::span<const way> ways();

// A set of counters, all zero, for a tool that counts more than once.
counters &fresh_counters();

// Counts what `in` delivers after its header, as bytefreq does: the first
// blocks (all of a regular file under 64 KiB, if `small_file`) in tables
// on the stack, the rest with `w`, or with the first usable way if `w` is
// null. `c` must be zero.
void count_input(counters &c, std::FILE *in, bool small_file, const way *w, unsigned char *block,
                 std::uint64_t *byte_counts);

}  // namespace bytefreq

#endif
