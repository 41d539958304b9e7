// Compares every way bytefreq counts with a plain count, on any input: a
// libFuzzer target (-DBYTEFREQ_FUZZ=ON, with clang), which fuzz_replay.cpp
// also runs over the inputs in tests/fuzz-corpus, under ctest, with any
// compiler and on any target.
//
// The first input byte says how often the rest is repeated, so that short
// inputs reach the points where narrow counters are widened.

#include "../src/bytefreq.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// Counts `input` through a stream, as a file is read, with `w` alone from
// the first byte, or after the first blocks as bytefreq counts a pipe.
void count_with(const bytefreq::way &w, bool as_bytefreq, std::vector<unsigned char> &input,
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 2)
        return 0;
    const std::size_t repeats = 1 + data[0] % 64;
    std::vector<unsigned char> input;
    for (std::size_t r = 0; r < repeats && input.size() < (1 << 20); r++)
        input.insert(input.end(), data + 1, data + size);

    std::uint64_t expected[256] = {};
    for (const unsigned char c : input)
        expected[c]++;

    for (const bytefreq::way &w : bytefreq::ways()) {
        if (!w.usable())
            continue;
        for (const bool as_bytefreq : {false, true}) {
            std::uint64_t byte_counts[256] = {};
            count_with(w, as_bytefreq, input, byte_counts);
            if (std::memcmp(byte_counts, expected, sizeof expected) != 0) {
                (void)std::fprintf(stderr, "%s counting%s miscounts %zu bytes\n", w.name,
                                   as_bytefreq ? " after the first blocks" : "", input.size());
                std::abort();
            }
        }
    }
    return 0;
}
