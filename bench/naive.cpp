// The plain way to count byte values, kept as the yardstick for bench/run:
// one table of 32-bit counters, the stream's default buffer, and a locked
// fread for every 256 bytes. Same report as bytefreq for counts below 2^31.

#include <cstdint>
#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc < 2)
        return 1;
    std::FILE *in = std::fopen(argv[1], "rb");
    if (in == nullptr)
        return 1;
    unsigned char block[256];
    (void)std::fread(block, 1, 20, in);  // the header is not looked at
    std::int32_t byte_counts[256] = {};
    std::size_t n;
    while ((n = std::fread(block, 1, sizeof block, in)) > 0)
        for (std::size_t i = 0; i < n; i++)
            byte_counts[block[i]]++;
    (void)std::fclose(in);
    for (int v = 0; v < 256; v++)
        std::printf("%d %d\n", v, static_cast<int>(byte_counts[v]));
    return 0;
}
