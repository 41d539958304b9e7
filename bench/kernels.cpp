// Times each way bytefreq counts, in memory, so that a change to the
// counting can be measured on any CPU with one command (bench/run kernels).
// Each way of bytefreq's table, and "reads", which counts nothing and is
// the floor, reads each input through a stream as bytefreq reads a file:
// 256-byte unlocked freads through a 1 MiB buffer.
//
//   kernels [benchmark flags] FILE...
//
// bytefreq's buffer is filled by the kernel, in time that counts as the
// system's, not bytefreq's; here a copy fills it, and the time of that copy
// is taken off, so that what is left is what bytefreq spends in user time
// on the same data. Besides bytes per second it prints cycles per byte, of
// the core's clock as measured at start by a chain of dependent additions.

#include "../src/bytefreq.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

using steady = std::chrono::steady_clock;

// Cycles a second: each addition waits for the one before, one cycle each.
// The addend is in a register, unknown to the compiler: Intel's cores since
// Golden Cove add immediates in the renamer, several to a cycle. The
// fastest of several short trials, as anything else on the machine only
// slows one.
double core_hz() noexcept
{
    constexpr unsigned long additions = 1UL << 25;
    double best = 0;
    for (int trial = 0; trial < 8; trial++) {
        unsigned long x = 0, one = 1;
        asm volatile("" : "+r"(one));
        const auto start = steady::now();
        for (unsigned long i = 0; i < additions; i += 4) {
            for (int k = 0; k < 4; k++) {
                x += one;
                asm volatile("" : "+r"(x));
            }
        }
        const std::chrono::duration<double> took = steady::now() - start;
        best = std::max(best, double(x) / took.count());
    }
    return best;
}

// An input in memory, read as a stream whose every refill is timed.
struct source {
    const unsigned char *next;
    std::size_t left;
    double refill_s;
};

ssize_t refill(void *cookie, char *buffer, std::size_t size)
{
    auto &s = *static_cast<source *>(cookie);
    const auto start = steady::now();
    const std::size_t n = std::min(size, s.left);
    std::memcpy(buffer, s.next, n);
    s.next += n;
    s.left -= n;
    s.refill_s += std::chrono::duration<double>(steady::now() - start).count();
    return ssize_t(n);
}

void run(benchmark::State &state, const bytefreq::way *way, std::vector<unsigned char> &data,
         double hz)
{
    static char buffer[1 << 20];
    alignas(64) unsigned char block[bytefreq::block_size];
    double counting_s = 0;
    for (auto _ : state) {
        source s{data.data(), data.size(), 0};
        const auto start = steady::now();
        std::FILE *in = fopencookie(&s, "rb", {refill, nullptr, nullptr, nullptr});
        if (in == nullptr) {
            state.SkipWithError("fopencookie failed");
            return;
        }
        (void)std::setvbuf(in, buffer, _IOFBF, sizeof buffer);
        std::uint64_t byte_counts[256] = {};
        if (way == nullptr) {
            while (fread_unlocked(block, 1, bytefreq::block_size, in) > 0)
                benchmark::ClobberMemory();
        } else {
            bytefreq::counters &c = bytefreq::fresh_counters();
            way->count(c, in, block, byte_counts);
            way->finish(c, byte_counts);
        }
        benchmark::DoNotOptimize(byte_counts);
        (void)std::fclose(in);
        const double s_taken =
            std::chrono::duration<double>(steady::now() - start).count() - s.refill_s;
        state.SetIterationTime(s_taken);
        counting_s += s_taken;
    }
    const auto bytes = std::int64_t(state.iterations()) * std::int64_t(data.size());
    state.SetBytesProcessed(bytes);
    state.counters["cycles/B"] = counting_s * hz / double(bytes);
}

std::vector<unsigned char> slurp(const char *path)
{
    std::vector<unsigned char> data;
    std::FILE *f = std::fopen(path, "rb");
    if (f == nullptr)
        return data;
    unsigned char piece[1 << 16];
    std::size_t n;
    while ((n = std::fread(piece, 1, sizeof piece, f)) > 0)
        data.insert(data.end(), piece, piece + n);
    (void)std::fclose(f);
    return data;
}

}  // namespace

int main(int argc, char *argv[])
{
    benchmark::Initialize(&argc, argv);
    const double hz = core_hz();
    std::printf("core clock %.2f GHz\n", hz / 1e9);
    static std::vector<std::vector<unsigned char>> inputs;
    inputs.reserve(std::size_t(argc));
    for (int i = 1; i < argc; i++) {
        inputs.push_back(slurp(argv[i]));
        if (inputs.back().empty()) {
            (void)std::fprintf(stderr, "kernels: cannot read %s, or it is empty\n", argv[i]);
            return 1;
        }
        const std::string kind = std::string(argv[i]).substr(std::string(argv[i]).rfind('/') + 1);
        benchmark::RegisterBenchmark((kind + "/reads").c_str(), run, nullptr,
                                     std::ref(inputs.back()), hz)
            ->UseManualTime();
        for (const bytefreq::way &way : bytefreq::ways())
            if (way.usable())
                benchmark::RegisterBenchmark((kind + '/' + way.name).c_str(), run, &way,
                                             std::ref(inputs.back()), hz)
                    ->UseManualTime();
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
