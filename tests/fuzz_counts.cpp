// Compares every way bytefreq counts with a plain count, on any input: a
// libFuzzer target (-DBYTEFREQ_FUZZ=ON, with clang), which fuzz_replay.cpp
// also runs over the inputs in tests/fuzz-corpus, under ctest, with any
// compiler and on any target.
//
// Short inputs become long ones, so that they reach the points where narrow
// counters are widened and bins are counted. The first byte chooses how:
// its top two bits the shape, its other six a number n.
//   0: the rest repeated 1 + n times;
//   1: the rest moved into quarter n % 4 of the byte values, and repeated
//      to at least 1 + n / 4 beats of the vector counting (4 KiB);
//   2: the rest repeated 16 times, moved in turn into quarters n % 4 and
//      n / 4 % 4;
//   3: the rest drawn on for pairs of beats that fill the bin of quarter
//      n % 4 as full as it can be, 127 - n / 4 bytes waiting in it.

#include "every_way.h"
#include "shapes.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 2)
        return 0;
    const unsigned shape = data[0] >> 6, n = data[0] & 63u;
    const std::span<const unsigned char> rest(data + 1, size - 1);
    shapes::bytes input;
    std::size_t at = 0;
    switch (shape) {
    case 0:
        for (unsigned r = 0; r <= n && input.size() < (1 << 20); r++)
            input.insert(input.end(), rest.begin(), rest.end());
        break;
    case 1:
        shapes::append_quarter(input, std::max((1 + n / 4) * shapes::beat, rest.size()), n % 4,
                               rest, at);
        break;
    case 2:
        for (unsigned r = 0; r < 16; r++)
            shapes::append_quarter(input, rest.size(), r % 2 == 0 ? n % 4 : n / 4 % 4, rest, at);
        break;
    default: input = shapes::fullest_bin(n % 4, (n % 4 + 2) % 4, 127 - n / 4, rest, 3); break;
    }

    const std::string wrong = every_way::miscounts(input);
    if (!wrong.empty()) {
        (void)std::fprintf(stderr, "%zu bytes miscounted by:\n%s", input.size(), wrong.c_str());
        std::abort();
    }
    return 0;
}
