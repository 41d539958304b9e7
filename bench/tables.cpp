// The common fast way to count byte values, kept as a yardstick for
// bench/run: four tables of 32-bit counters, byte i of the data going to
// table i mod 4, so that a run of one value spreads its increments over four
// counters; the tables are folded into 64-bit totals before any counter can
// overflow. A 128 KiB stream buffer and unlocked 256-byte reads. Same report
// as bytefreq.

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>

int main(int argc, char *argv[])
{
    if (argc < 2)
        return 1;
    std::FILE *in = std::fopen(argv[1], "rb");
    if (in == nullptr)
        return 1;
    static char buffer[128 << 10];
    (void)std::setvbuf(in, buffer, _IOFBF, sizeof buffer);
    unsigned char block[256];
    fread_unlocked(block, 1, 20, in);

    std::uint64_t byte_counts[256] = {};
    std::uint32_t tables[4][256] = {};
    auto fold = [&] {
        for (auto &t : tables)
            for (int v = 0; v < 256; v++) {
                byte_counts[v] += t[v];
                t[v] = 0;
            }
    };
    // Each table takes a quarter of the bytes, so it can take 4 * (2^32 - 1)
    // bytes before a counter could overflow; fold well before.
    constexpr std::uint64_t fold_bytes = std::uint64_t(1) << 32;
    std::uint64_t since_fold = 0;
    std::size_t n;
    while ((n = fread_unlocked(block, 1, sizeof block, in)) > 0) {
        std::size_t i = 0;
        for (; i + 8 <= n; i += 8) {
            std::uint64_t w;
            std::memcpy(&w, block + i, 8);
            tables[0][w & 0xFF]++;
            tables[1][(w >> 8) & 0xFF]++;
            tables[2][(w >> 16) & 0xFF]++;
            tables[3][(w >> 24) & 0xFF]++;
            tables[0][(w >> 32) & 0xFF]++;
            tables[1][(w >> 40) & 0xFF]++;
            tables[2][(w >> 48) & 0xFF]++;
            tables[3][w >> 56]++;
        }
        for (; i < n; i++)
            tables[i % 4][block[i]]++;
        if ((since_fold += n) >= fold_bytes) {
            fold();
            since_fold = 0;
        }
    }
    fold();
    if (std::ferror(in) != 0)
        return 1;
    (void)std::fclose(in);
    for (int v = 0; v < 256; v++)
        std::printf("%d %" PRIu64 "\n", v, byte_counts[v]);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
