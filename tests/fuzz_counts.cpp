// Coverage-guided comparison of every way bytefreq counts with a plain
// count, on arbitrary input (libFuzzer):
//
//   CXX=clang++ cmake -S . -B build-fuzz -DBYTEFREQ_FUZZ=ON -DBUILD_TESTING=OFF
//   cmake --build build-fuzz && build-fuzz/fuzz_counts -max_total_time=60
//
// The first input byte says how often the rest is repeated, so that short
// inputs reach the points where narrow counters are widened; the second
// picks where the portable tables are folded early.

// The whole tool is one file; its counting functions are internal to it.
#define main bytefreq_main
#include "../src/bytefreq.cpp"  // NOLINT(bugprone-suspicious-include)
#undef main

#include <vector>

#if BYTEFREQ_VECTOR
// bytefreq compiles its vector counting into its read loop; this gives the
// same code a block at a time.
VECTOR_CODE void count_vector_block(vector_counts &c, const unsigned char *block, std::size_t n,
                                    std::uint64_t *byte_counts)
{
    count_vector(c, block, n, byte_counts);
}
#endif

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 2)
        return 0;
    const std::size_t repeats = 1 + data[0] % 64, fold_at = data[1];
    std::vector<unsigned char> input;
    for (std::size_t r = 0; r < repeats && input.size() < (1 << 20); r++)
        input.insert(input.end(), data + 2, data + size);

    std::uint64_t expected[256] = {};
    for (const unsigned char c : input)
        expected[c]++;

    // Each of the three portable ways, then the vectors, then the first
    // blocks counted apart with the rest by the portable way.
    for (unsigned config = 0; config < 5; config++) {
        const bool by_vector = config == 3, first_apart = config == 4;
        static counters c;
        c = counters{};
        c.vector_instructions = by_vector && has_vector_instructions();
        if (by_vector && !c.vector_instructions)
            continue;
        // The way stays as set: the first choice between them falls at 1 MiB.
        c.portable.current = c.portable.fastest = way(config % 3);
        std::uint64_t byte_counts[256] = {};
        first_tables first{};
        std::size_t blocks = 0;
        for (std::size_t i = 0; i < input.size(); i += block_size) {
            // A copy, as fread makes, so that reading past n is caught.
            const std::size_t n = std::min(block_size, input.size() - i);
            std::vector<unsigned char> block(input.begin() + long(i), input.begin() + long(i + n));
            if (first_apart && blocks < first_blocks)
                count_by_position(first, block.data(), n);
#if BYTEFREQ_VECTOR
            else if (c.vector_instructions)
                count_vector_block(c.vector, block.data(), n, byte_counts);
#endif
            else
                count_portable(c.portable, block.data(), n, byte_counts);
            if (++blocks == fold_at)
                fold(c.portable, byte_counts);
        }
        add_tables(first, byte_counts);
        finish(c, byte_counts);
        if (std::memcmp(byte_counts, expected, sizeof expected) != 0)
            __builtin_trap();
    }
    return 0;
}
