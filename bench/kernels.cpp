// Times each way bytefreq counts, in memory, so that a change to the
// counting can be measured on any CPU with one command (bench/run kernels).
// Each input file is held in memory and read through a stream as bytefreq
// reads a file: 256-byte unlocked freads through a 1 MiB buffer, filled by
// a memory copy where bytefreq's is filled by the kernel. "reads" counts
// nothing and is the floor; "bytes", "pairs" and "narrow pairs" count every
// full block one way; "portable" and "vector" are bytefreq's own read loops.
//
//   kernels [benchmark flags] FILE...
//
// Besides bytes per second it prints cycles per byte, of the core's clock as
// measured at start by a chain of dependent additions.

#define main bytefreq_main
#include "../src/bytefreq.cpp"  // NOLINT(bugprone-suspicious-include)
#undef main

#include <benchmark/benchmark.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace {

// Cycles a second: each addition waits for the one before, one cycle each.
// The addend is in a register, unknown to the compiler: Intel's cores since
// Golden Cove add immediates in the renamer, several to a cycle, and x++
// made a Xeon (Emerald Rapids) seem to run at 6 to 8 GHz. The fastest of
// several short trials, as anything else on the machine only slows one.
double core_hz() noexcept
{
    using clock = std::chrono::steady_clock;
    constexpr unsigned long additions = 1UL << 25;
    double best = 0;
    for (int trial = 0; trial < 8; trial++) {
        unsigned long x = 0, one = 1;
        asm volatile("" : "+r"(one));
        const auto start = clock::now();
        for (unsigned long i = 0; i < additions; i += 4) {
            for (int k = 0; k < 4; k++) {
                x += one;
                asm volatile("" : "+r"(x));
            }
        }
        const std::chrono::duration<double> took = clock::now() - start;
        best = std::max(best, double(x) / took.count());
    }
    return best;
}

using read_loop = void (*)(std::FILE *in, unsigned char *block, std::uint64_t *byte_counts);

// The ways one at a time, on every full block; a short last block is
// counted by bytes.
template <void (*count)(tables &, const unsigned char *, std::uint64_t *)>
void one_way(std::FILE *in, unsigned char *block, std::uint64_t *byte_counts)
{
    static tables t;
    t = tables{};
    t.pairs_used = t.narrow_pairs_used = true;
    std::size_t n;
    while ((n = fread_unlocked(block, 1, block_size, in)) > 0) {
        if (n == block_size)
            count(t, block, byte_counts);
        else
            for (std::size_t i = 0; i < n; i++)
                t.bytes[0][block[i]]++;
        if (++t.since_fold == fold_blocks)
            fold(t, byte_counts);
    }
    fold(t, byte_counts);
}

void by_bytes(tables &t, const unsigned char *block, std::uint64_t *) { count_bytes(t, block); }
void by_pairs(tables &t, const unsigned char *block, std::uint64_t *) { count_pairs(t, block); }

void reads(std::FILE *in, unsigned char *block, std::uint64_t *)
{
    while (fread_unlocked(block, 1, block_size, in) > 0)
        benchmark::ClobberMemory();
}

void stream(bool vector, std::FILE *in, unsigned char *block, std::uint64_t *byte_counts)
{
    static counters c;
    c = counters{};
    c.vector_instructions = vector;
    count_stream(c, in, block, byte_counts);
    finish(c, byte_counts);
}
void portable(std::FILE *in, unsigned char *block, std::uint64_t *byte_counts)
{
    stream(false, in, block, byte_counts);
}
void vector(std::FILE *in, unsigned char *block, std::uint64_t *byte_counts)
{
    stream(true, in, block, byte_counts);
}

void run(benchmark::State &state, read_loop loop, std::vector<unsigned char> &data, double hz)
{
    static char buffer[1 << 20];
    alignas(64) unsigned char block[block_size];
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        std::FILE *in = fmemopen(data.data(), data.size(), "rb");
        if (in == nullptr) {
            state.SkipWithError("fmemopen failed");
            return;
        }
        (void)std::setvbuf(in, buffer, _IOFBF, sizeof buffer);
        std::uint64_t byte_counts[256] = {};
        loop(in, block, byte_counts);
        benchmark::DoNotOptimize(byte_counts);
        (void)std::fclose(in);
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    const auto bytes = std::int64_t(state.iterations()) * std::int64_t(data.size());
    state.SetBytesProcessed(bytes);
    state.counters["cycles/B"] = took.count() * hz / double(bytes);
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
    const struct {
        const char *name;
        read_loop loop;
        bool runs_here;
    } loops[] = {
        {"reads", reads, true},
        {"bytes", one_way<by_bytes>, true},
        {"pairs", one_way<by_pairs>, true},
        {"narrow pairs", one_way<count_narrow_pairs>, true},
        {"portable", portable, true},
        {"vector", vector, has_vector_instructions()},
    };
    inputs.reserve(std::size_t(argc));
    for (int i = 1; i < argc; i++) {
        inputs.push_back(slurp(argv[i]));
        if (inputs.back().empty()) {
            (void)std::fprintf(stderr, "kernels: cannot read %s, or it is empty\n", argv[i]);
            return 1;
        }
        const std::string kind = std::string(argv[i]).substr(std::string(argv[i]).rfind('/') + 1);
        for (const auto &l : loops)
            if (l.runs_here)
                benchmark::RegisterBenchmark((kind + '/' + l.name).c_str(), run, l.loop,
                                             std::ref(inputs.back()), hz);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
