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
    // What the CPU must have for this way, by the names /proc/cpuinfo gives
    // them on Linux, each followed by a space; "" for none.
    const char *cpu_flags;
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

// Counts what `in` delivers, as bytefreq counts what follows the header it
// has read: the first blocks (all of a regular file under 64 KiB, if
// `small_file`) in tables on the stack, the rest with `w`, or with the first
// usable way if `w` is null. `c` must be zero.
void count_input(counters &c, std::FILE *in, bool small_file, const way *w, unsigned char *block,
                 std::uint64_t *byte_counts);

#if defined(__x86_64__)
// What CPUID and XGETBV tell of a CPU, as far as the avx512 way asks.
struct cpu_report {
    unsigned max_leaf, leaf_1_ecx, leaf_7_ebx, leaf_7_ecx;
    std::uint64_t xcr0;  // 0 where the CPU does not let the kernel be asked (OSXSAVE)
};
// Whether a CPU that tells `r` can count the avx512 way, which asks it of
// the CPU it runs on. Only in a build with the vector counting.
bool avx512_usable(const cpu_report &r);
#endif

// The portable way counts in one of three layouts of tables, and picks
// the next epoch's layout by how long the last one took to count.
enum class layout : unsigned char { bytes, pairs, narrow_pairs };

struct layout_choice {
    layout fastest, current, next_trial;
    std::uint64_t best_ns;  // the fastest epoch of `fastest` since the last trial
    unsigned trial_gap, epochs_to_trial;
};
// After the first epoch, which pays for starting up: bytes, then a first
// trial of narrow pairs.
constexpr layout_choice first_choice = {
    layout::bytes, layout::bytes, layout::narrow_pairs, UINT64_MAX, 1, 1};

// Takes the time of an epoch just counted in c.current and returns the
// layout of the next one (which c.current then holds too).
layout next_layout(layout_choice &c, std::uint64_t epoch_ns);

}  // namespace bytefreq

#endif
