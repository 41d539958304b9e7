// Counts an input with every way of counting that this CPU can use, alone
// and as bytefreq counts, against a plain count: for the fuzz target and
// the tests of the counting.

#ifndef BYTEFREQ_EVERY_WAY_H
#define BYTEFREQ_EVERY_WAY_H

#include "../src/bytefreq.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace every_way {

// Counts `input` through a stream, as a file is read, with `w` alone from
// the first byte, or after the first blocks as bytefreq counts a pipe.
inline void count_with(const bytefreq::way &w, bool as_bytefreq, std::vector<unsigned char> &input,
                       std::uint64_t *byte_counts)
{
    std::FILE *in = fmemopen(input.data(), input.size(), "rb");
    if (in == nullptr) {
        std::perror("fmemopen");
        std::abort();
    }
    alignas(64) unsigned char block[bytefreq::block_size];
    bytefreq::counters &c = bytefreq::fresh_counters();
    if (as_bytefreq) {
        bytefreq::count_input(c, in, false, &w, block, byte_counts);
    } else {
        w.count(c, in, block, byte_counts);
        w.finish(c, byte_counts);
    }
    (void)std::fclose(in);
}

// The ways that miscount `input`, as "NAME" or "NAME after the first
// blocks", one to a line; "" where all count it exactly.
inline std::string miscounts(std::vector<unsigned char> &input)
{
    std::uint64_t expected[256] = {};
    for (const unsigned char c : input)
        expected[c]++;
    std::string wrong;
    for (const bytefreq::way &w : bytefreq::ways()) {
        if (!w.usable())
            continue;
        for (const bool as_bytefreq : {false, true}) {
            std::uint64_t byte_counts[256] = {};
            count_with(w, as_bytefreq, input, byte_counts);
            if (std::memcmp(byte_counts, expected, sizeof expected) != 0)
                wrong += std::string(w.name) + (as_bytefreq ? " after the first blocks\n" : "\n");
        }
    }
    return wrong;
}

}  // namespace every_way

#endif
