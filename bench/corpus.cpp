// Writes SIZE bytes of one synthetic kind of data to standard output, the
// same bytes on every run, for bench/run. The kinds made from files that every
// Debian system has (text, binaries, gzip output) are made in bench/run.
//
//   corpus KIND SIZE

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// splitmix64: a fixed seed gives the same stream on every machine.
std::uint64_t state = 20261208;
std::uint64_t next()
{
    std::uint64_t z = (state += 0x9E3779B97F4A7C15);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EB;
    return z ^ (z >> 31);
}
unsigned below(unsigned n) { return unsigned(next() % n); }

// Fills buf with the next piece of the kind; `at` is the offset in the whole stream.
using Maker = void (*)(unsigned char *buf, std::size_t n, std::uint64_t at);

void random_bytes(unsigned char *buf, std::size_t n, std::uint64_t)
{
    for (std::size_t i = 0; i < n; i += 8) {
        const std::uint64_t r = next();
        std::memcpy(buf + i, &r, n - i < 8 ? n - i : 8);
    }
}

void zeros(unsigned char *buf, std::size_t n, std::uint64_t) { std::memset(buf, 0, n); }

// Zeros with a nonzero byte about every 180 bytes: sparse matrices, mostly
// empty images, records padded with zeros.
void sparse(unsigned char *buf, std::size_t n, std::uint64_t)
{
    static unsigned gap = 0;
    for (std::size_t i = 0; i < n; i++) {
        if (gap == 0) {
            buf[i] = static_cast<unsigned char>(1 + below(255));
            gap = 1 + below(359);
        } else {
            buf[i] = 0;
            gap--;
        }
    }
}

void periodic(unsigned char *buf, std::size_t n, std::uint64_t at)
{
    for (std::size_t i = 0; i < n; i++)
        buf[i] = (at + i) % 2 != 0 ? 'B' : 'A';
}

// Runs of one random value, 1 to 512 bytes long, so that runs start and end
// anywhere in a block: flat areas of images, run-length data.
void runs(unsigned char *buf, std::size_t n, std::uint64_t)
{
    static unsigned left = 0;
    static unsigned char value = 0;
    for (std::size_t i = 0; i < n; i++) {
        if (left == 0) {
            value = static_cast<unsigned char>(next());
            left = 1 + below(512);
        }
        buf[i] = value;
        left--;
    }
}

// A slowly varying signal stored as little-endian doubles, as numeric
// arrays are dumped: sign and exponent bytes repeat, the mantissa does not.
void doubles(unsigned char *buf, std::size_t n, std::uint64_t)
{
    static double x = 1000.0;
    for (std::size_t i = 0; i < n; i += 8) {
        x += (double(below(2001)) - 1000.0) / 100.0;
        if (std::fabs(x) > 1e6)
            x = 1000.0;
        std::memcpy(buf + i, &x, n - i < 8 ? n - i : 8);
    }
}

// An RGBA image 1024 pixels wide: smooth gradients with a little noise and
// an opaque alpha byte.
void pixels(unsigned char *buf, std::size_t n, std::uint64_t at)
{
    for (std::size_t i = 0; i < n; i++) {
        const std::uint64_t p = (at + i) / 4, x = p % 1024, y = p / 1024 % 768;
        unsigned v;
        switch ((at + i) % 4) {
        case 0: v = unsigned(x / 4); break;
        case 1: v = unsigned(y / 3); break;
        case 2: v = unsigned((x + y) / 8); break;
        default: v = 255; break;
        }
        if ((at + i) % 4 != 3)
            v = (v + below(5)) & 0xFF;
        buf[i] = static_cast<unsigned char>(v);
    }
}

}  // namespace

int main(int argc, char *argv[])
{
    const struct {
        const char *name;
        Maker make;
    } kinds[] = {
        {"random", random_bytes}, {"zeros", zeros},     {"sparse", sparse}, {"periodic", periodic},
        {"runs", runs},           {"doubles", doubles}, {"pixels", pixels},
    };
    if (argc != 3)
        return 2;
    Maker make = nullptr;
    for (const auto &k : kinds)
        if (std::strcmp(argv[1], k.name) == 0)
            make = k.make;
    if (make == nullptr)
        return 2;
    std::uint64_t size = std::strtoull(argv[2], nullptr, 10);
    static unsigned char buf[1 << 16];
    for (std::uint64_t at = 0; at < size;) {
        const std::size_t n = size - at < sizeof buf ? std::size_t(size - at) : sizeof buf;
        make(buf, n, at);
        if (std::fwrite(buf, 1, n, stdout) != n)
            return 1;
        at += n;
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}
