// bytefreq: count how often each byte value occurs in a file.
//
//   bytefreq FILE
//
// The first 20 bytes of FILE are a header: they are read and never counted.
// Every later byte is counted, and the report is 256 lines "value count" on
// standard output, values 0 to 255 in ascending order, both in decimal.
// Further arguments are ignored; "-" is an ordinary file name.
//
// Exit status: 0 after a complete report; 1 when no FILE is given, FILE
// cannot be opened, reading it fails, or the report cannot be written.
// When FILE cannot be opened or read, nothing at all is written; standard
// error is never written.

#include <algorithm>
#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

// A 32-bit build without 64-bit file offsets cannot open a file of 2 GiB or
// more: -D_FILE_OFFSET_BITS=64.
static_assert(sizeof(off_t) >= 8, "bytefreq needs 64-bit file offsets");

// The vector counting is x86-64 code; every other target, and a build with
// -DBYTEFREQ_VECTOR=0, has the portable counting alone.
#if !defined(__x86_64__)
#undef BYTEFREQ_VECTOR
#define BYTEFREQ_VECTOR 0
#elif !defined(BYTEFREQ_VECTOR)
#define BYTEFREQ_VECTOR 1
#endif
#if BYTEFREQ_VECTOR
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace {

constexpr std::size_t header_size = 20;
constexpr std::size_t block_size = 256;

// A block that repeats its first 8 bytes (zeros, one value, "AB", zero
// padding, a flat area of 32-bit pixels) is counted from those 8 bytes:
// cached zeros go at 5 GB/s, where counting them byte by byte would take
// the 3 GB/s of vectors or the 1.8 GB/s of tables. The first compare turns
// away nearly every other block, so other data pays nothing for the check.
bool repeats_every_8(const unsigned char *block, std::size_t n)
{
    return n >= 16 && std::memcmp(block, block + 8, 8) == 0 &&
           std::memcmp(block + 8, block + 16, n - 16) == 0;
}

void count_repeats(const unsigned char *block, std::size_t n, std::uint64_t *byte_counts)
{
    // One add, not eight chained adds to the same total, for a run of one value.
    if (std::memcmp(block, block + 1, 7) == 0) {
        byte_counts[block[0]] += n;
        return;
    }
    for (std::size_t k = 0; k < 8; k++)
        byte_counts[block[k]] += (n - k + 7) / 8;
}

// Counting by table costs at least a load and a store to a counter for every
// increment, and a store waits for the one before it to the same counter.
// Byte i of a block goes to table i % 8, so a counter is incremented at most
// once every 8 bytes, whatever the data: random bytes, sparse data and UTF-32
// text alike are counted at about a cycle a byte, as fast as four tables
// count random bytes, where four tables take 1.5 times as long on sparse
// data and UTF-32. Each table is padded so that the same value in two tables
// never lies 4 KiB apart, which made loads wait on unrelated stores (zeros
// took 1.4 times as long).
//
// Counted in pairs of neighbouring bytes, one counter for each pair of
// values, a block needs half the increments. That wins where few pairs recur
// (text and images in 0.6 of the time, arrays of numbers) and loses where
// one pair repeats (sparse data: 2.5 times as long). Where pairs spread over
// the whole table (random bytes, compressed data), 32-bit counters fill
// 256 KiB, which misses the first-level cache (1.5 times as long as bytes);
// 8-bit counters fill 64 KiB and mostly hit it (0.85 of the time of bytes,
// in memory on an Intel Xeon). But each wrap of a counter past 255 is a
// branch the CPU cannot foresee, a tenth to a quarter of their time, so
// where pairs recur 32-bit counters are faster. Which way is fastest
// depends on the data and on the CPU's caches, so it is measured:
// the input is counted in epochs of a MiB, each timed, and now and then an
// epoch is counted another way; the fastest way is kept. A short trial
// cannot decide this, as it starts with the other way's table out of the
// cache. A file's first MiB is counted by bytes, so that a small file never
// touches the pair tables.
//
// A 32-bit counter takes at most 128 increments a block, and the 32-bit
// tables are folded into the 64-bit totals every fold_blocks blocks. An
// 8-bit pair counter adds 256 to both of its values' totals each time it
// wraps, so it never overflows unseen.
enum class way : unsigned char { bytes, pairs, narrow_pairs };

struct tables {
    std::uint32_t bytes[8][256 + 8];
    std::uint32_t pairs[256 * 256];
    std::uint8_t narrow_pairs[256 * 256];
    std::uint64_t full_blocks;
    std::uint64_t since_fold;   // blocks since the last fold
    std::uint64_t epoch_start;  // ns
    std::uint64_t best_ns;      // of the way in use, since the last trial
    unsigned trial_gap, epochs_to_trial;
    way fastest, current, next_trial;
    bool pairs_used, narrow_pairs_used;
};
constexpr std::uint64_t epoch_blocks = (1 << 20) / block_size;
constexpr unsigned max_trial_gap = 64;
constexpr std::uint64_t fold_blocks = 1 << 16;
static_assert(fold_blocks * (block_size / 2) <= UINT32_MAX);

// Each byte or pair is loaded on its own, not shifted out of a word: the
// loads go to ports that are idle, where the shifts took a share of the
// few instructions a cycle the core can start. Sparse data and UTF-32 took
// 1.2 times as long by bytes that way, text 1.15 by pairs and random bytes
// 1.05 by 8-bit pairs, in memory on an Intel Xeon. The loops step 8 bytes
// at a time so that the compiler unrolls them: it leaves a plain loop over
// the pairs rolled, which took about 1.05 times as long again.
void count_bytes(tables &t, const unsigned char *block)
{
    for (std::size_t i = 0; i < block_size; i += 8)
        for (std::size_t k = 0; k < 8; k++)
            t.bytes[k][block[i + k]]++;
}

// Counts n bytes into eight tables, byte i into table i % 8, as count_bytes
// does: for a short last block, and for the first blocks of every input
// (below), whose tables are narrower.
template <typename counter, std::size_t size>
void count_by_position(counter (&t)[8][size], const unsigned char *block, std::size_t n)
{
    for (std::size_t i = 0; i < n; i++)
        t[i % 8][block[i]]++;
}

template <typename counter, std::size_t size>
void add_tables(const counter (&t)[8][size], std::uint64_t *byte_counts)
{
    for (const auto &table : t)
        for (std::size_t v = 0; v < 256; v++)
            byte_counts[v] += table[v];
}

// Which byte of a pair is the high half of its index depends on the byte
// order, but each pair counter is added to the totals of both its values,
// so the counts do not.
unsigned pair_at(const unsigned char *p)
{
    std::uint16_t pair;
    std::memcpy(&pair, p, 2);
    return pair;
}

void count_pairs(tables &t, const unsigned char *block)
{
    for (std::size_t i = 0; i < block_size; i += 8)
        for (std::size_t k = 0; k < 8; k += 2)
            t.pairs[pair_at(block + i + k)]++;
}

// Out of the loop, so that the loop keeps its registers for the common case.
__attribute__((cold, noinline)) void narrow_pair_wrapped(unsigned pair, std::uint64_t *byte_counts)
{
    byte_counts[pair & 0xFF] += 256;
    byte_counts[pair >> 8] += 256;
}

void count_narrow_pairs(tables &t, const unsigned char *block, std::uint64_t *byte_counts)
{
    for (std::size_t i = 0; i < block_size; i += 8)
        for (std::size_t k = 0; k < 8; k += 2) {
            const unsigned pair = pair_at(block + i + k);
            if (++t.narrow_pairs[pair] == 0) [[unlikely]]
                narrow_pair_wrapped(pair, byte_counts);
        }
}

// A monotonic clock, read twice an epoch: its cost is lost in the MiB
// counted between.
std::uint64_t now_ns()
{
    timespec t{};
    (void)clock_gettime(CLOCK_MONOTONIC, &t);
    return std::uint64_t(t.tv_sec) * 1000000000 + std::uint64_t(t.tv_nsec);
}

// The way that is neither a nor b.
way other_way(way a, way b) { return way(3 - unsigned(a) - unsigned(b)); }

// Called every quarter of an epoch. The first quarter warms the caches for
// the epoch's way and is not timed; the rest is. At the end of each epoch
// this picks the way for the next one. The first epoch is not timed at all,
// as it pays for starting up; the second is counted by bytes, the third by
// the first trial. A trial of another way is held against the fastest epoch
// of the present way since the last trial: other work on the machine only
// ever slows an epoch, by a fifth and more here, so the fastest is the
// fairest. Trials take the other two ways in turn.
void quarter_passed(tables &t)
{
    const std::uint64_t quarter = t.full_blocks / (epoch_blocks / 4);
    if (quarter % 4 == 1) {
        t.epoch_start = now_ns();
        return;
    }
    if (quarter % 4 != 0)
        return;
    if (quarter == 4) {
        t.best_ns = UINT64_MAX;
        t.trial_gap = t.epochs_to_trial = 1;
        t.next_trial = way::narrow_pairs;
        return;
    }
    const std::uint64_t ns = now_ns() - t.epoch_start;
    if (t.current == t.fastest) {
        t.best_ns = std::min(t.best_ns, ns);
        if (--t.epochs_to_trial == 0)
            t.current = t.next_trial;
        return;
    }
    t.next_trial = other_way(t.fastest, t.current);
    if (ns < t.best_ns) {
        t.fastest = t.current;
        t.best_ns = ns;
        t.trial_gap = 1;
    } else {
        t.best_ns = UINT64_MAX;
        t.trial_gap = std::min(2 * t.trial_gap, max_trial_gap);
    }
    t.epochs_to_trial = t.trial_gap;
    t.current = t.fastest;
}

void count_full_block(tables &t, const unsigned char *block, std::uint64_t *byte_counts)
{
    switch (t.current) {
    case way::bytes: count_bytes(t, block); break;
    case way::pairs:
        count_pairs(t, block);
        t.pairs_used = true;
        break;
    case way::narrow_pairs:
        count_narrow_pairs(t, block, byte_counts);
        t.narrow_pairs_used = true;
        break;
    }
    if (++t.full_blocks % (epoch_blocks / 4) == 0)
        quarter_passed(t);
}

// Adds each pair counter to the totals of both its values.
template <typename counter> void fold_pairs(counter *pairs, std::uint64_t *byte_counts)
{
    for (std::size_t high = 0; high < 256; high++) {
        const counter *row = &pairs[256 * high];
        std::uint64_t row_sum = 0;
        for (std::size_t low = 0; low < 256; low++) {
            byte_counts[low] += row[low];
            row_sum += row[low];
        }
        byte_counts[high] += row_sum;
    }
    std::memset(pairs, 0, sizeof(counter) * 256 * 256);
}

void fold(tables &t, std::uint64_t *byte_counts)
{
    add_tables(t.bytes, byte_counts);
    std::memset(t.bytes, 0, sizeof t.bytes);
    if (t.pairs_used)
        fold_pairs(t.pairs, byte_counts);
    if (t.narrow_pairs_used)
        fold_pairs(t.narrow_pairs, byte_counts);
    t.pairs_used = t.narrow_pairs_used = false;
    t.since_fold = 0;
}

void count_portable(tables &t, const unsigned char *block, std::size_t n,
                    std::uint64_t *byte_counts)
{
    if (repeats_every_8(block, n)) {
        count_repeats(block, n, byte_counts);
        return;
    }
    if (n == block_size)
        count_full_block(t, block, byte_counts);
    else
        count_by_position(t.bytes, block, n);
    if (++t.since_fold == fold_blocks)
        fold(t, byte_counts);
}

#if BYTEFREQ_VECTOR
// With AVX-512, bytes are counted in vector registers rather than by a load
// and a store to a counter each: about a third of a cycle a byte on any
// data, in the cache, against about one for the best table layout. Bytes are
// first sorted into four bins by their top two bits (a compress per bin), so
// that within a bin only six bits vary. Each byte then becomes the one set
// bit of a 64-bit lane, 1 << value, and those one-hot lanes are added
// bit-sliced by carry-save adders, a vertical count per lane and value of at
// most 15 in four planes. Every 16 one-hot vectors carry out one plane of
// sixteens, whose bits are turned into counts by a byte transpose, a bit
// transpose and a population count, and added into 8-bit counts per value;
// those are added into the 64-bit totals before they can overflow.
#define VECTOR_CODE                                                                                \
    __attribute__((target("popcnt,avx512f,avx512bw,avx512vl,avx512vbmi,avx512vbmi2,gfni,"          \
                          "avx512bitalg")))

// The bins are counted every 16 blocks, all four together: on a fixed beat,
// not whenever one of them fills, which is a branch the CPU cannot foresee
// (random bytes and gzip output took 1.05 times as long), and with 4 KiB of
// input a pass, enough for many one-hot vectors a bin while the bins stay in
// the first-level cache. A bin with less than a chunk in it waits for the
// next beat, as counting it would be counting mostly padding (below): this
// took 0.94 of the time on sparse data, where three bins get few bytes. So a
// bin holds at most a chunk less a byte and 16 blocks, and is counted to the
// end of its last chunk, padded with zeros; each compress stores a whole
// vector past the bin's end.
constexpr unsigned blocks_per_count = 16;
constexpr unsigned chunk = 128;  // 16 one-hot vectors of 8 lanes
constexpr unsigned sixteens_per_widening = 31;
// Each sixteens plane adds at most 8 (one per lane) to a value's 8-bit count.
static_assert(sixteens_per_widening * 8 <= UINT8_MAX);

struct alignas(64) vector_counts {
    __m512i ones[4], twos[4], fours[4], eights[4];  // bit planes, per bin
    __m512i sixteens[4];                            // 8-bit counts of sixteens
    unsigned char bins[4][blocks_per_count * block_size + std::size_t{2} * chunk];
    unsigned fill[4];
    unsigned since_widening[4];
    unsigned blocks_binned;
    unsigned upper_fill;  // of bins 2 and 3, as the last beat left them
    bool upper_idle;      // whether the last beat sorted nothing into them
};

// Asked of the CPU itself, with the compiler's <cpuid.h>, which any C library
// builds with, and only once a file is large enough to use the counters. A
// CPUID costs 9 us in a virtual machine on an Intel Xeon (Emerald Rapids),
// and the compiler's __builtin_cpu_supports asks a dozen at every start, in
// a constructor of its own: 0.1 ms more for each file of a batch. This asks
// three, and the kernel, through XCR0, whether it saves the AVX-512
// registers (opmasks and both upper parts of the vector registers).
__attribute__((target("xsave"))) bool has_vector_instructions()
{
    unsigned a, b, c, d;
    if (__get_cpuid_max(0, nullptr) < 7)
        return false;
    __cpuid(1, a, b, c, d);
    if ((c & bit_POPCNT) == 0 || (c & bit_OSXSAVE) == 0)
        return false;
    constexpr unsigned long long xcr0_avx512 = 0xE6;  // SSE, AVX, opmask, ZMM_Hi256, Hi16_ZMM
    if ((_xgetbv(0) & xcr0_avx512) != xcr0_avx512)
        return false;
    __cpuid_count(7, 0, a, b, c, d);
    const unsigned ebx = bit_AVX512F | bit_AVX512BW | bit_AVX512VL;
    const unsigned ecx = bit_AVX512VBMI | bit_AVX512VBMI2 | bit_GFNI | bit_AVX512BITALG;
    return (b & ebx) == ebx && (c & ecx) == ecx;
}

// Adds one-hot planes a and b to `sum`, leaving the carries in `carry`. The
// carry is taken from the new sum (a and b where they agree, else where
// the new sum is 0), so that no input has to be copied first: ternary logic
// overwrites an operand.
VECTOR_CODE inline void add_planes(__m512i &carry, __m512i &sum, __m512i a, __m512i b)
{
    sum = _mm512_ternarylogic_epi64(sum, a, b, 0x96);  // sum ^ a ^ b
    carry = _mm512_ternarylogic_epi64(a, b, sum, 0xD4);
}

// Byte v of the result is the number of lanes of `plane` that have bit v set.
VECTOR_CODE inline __m512i lane_counts(__m512i plane)
{
    // Gather byte j of every lane into lane j, then transpose the 8x8 bits
    // of each lane, so that byte v holds bit v of all eight lanes. The zero-
    // masked permute keeps every byte; the plain one trips a false warning
    // of g++ 12 about an uninitialized value.
    // clang-format off
    const __m512i gather = _mm512_set_epi8(
        63, 55, 47, 39, 31, 23, 15, 7, 62, 54, 46, 38, 30, 22, 14, 6,
        61, 53, 45, 37, 29, 21, 13, 5, 60, 52, 44, 36, 28, 20, 12, 4,
        59, 51, 43, 35, 27, 19, 11, 3, 58, 50, 42, 34, 26, 18, 10, 2,
        57, 49, 41, 33, 25, 17, 9, 1, 56, 48, 40, 32, 24, 16, 8, 0);
    // clang-format on
    const __m512i transpose = _mm512_set1_epi64(static_cast<long long>(0x8040201008040201));
    const __m512i gathered = _mm512_maskz_permutexvar_epi8(~__mmask64{0}, gather, plane);
    return _mm512_popcnt_epi8(_mm512_gf2p8affine_epi64_epi8(transpose, gathered, 0));
}

// Adds count[v] << shift to the total of value 64 * bin + v, eight totals
// at a time: 40 instructions where a loop over the 64 values took 256.
VECTOR_CODE void add_counts(__m512i count, unsigned shift, unsigned bin, std::uint64_t *byte_counts)
{
    std::uint64_t *totals = byte_counts + std::size_t{64} * bin;
    const __m512i lanes = _mm512_set_epi64(7, 6, 5, 4, 3, 2, 1, 0);
    const __m512i by = _mm512_set1_epi64(shift);
    const __mmask64 low_bytes = 0x0101010101010101;
    for (std::size_t v = 0; v < 64; v += 8) {
        // Byte v + k of count into lane k, the rest of the lane zero.
        const __m512i wide = _mm512_maskz_permutexvar_epi8(
            low_bytes, _mm512_add_epi64(lanes, _mm512_set1_epi64(static_cast<long long>(v))),
            count);
        _mm512_storeu_si512(totals + v, _mm512_add_epi64(_mm512_loadu_si512(totals + v),
                                                         _mm512_maskz_sllv_epi64(0xFF, wide, by)));
    }
}

// 1 << (byte j of each 8-byte lane at p, mod 64), as 1 rotated left. The
// count is taken mod 64 from the whole lane, so a load from p + j puts
// byte j where it counts, and no shift is needed to get it there: 8% less
// time on random bytes than shifting the lanes. The rotate reads two
// registers where a funnel shift of 1 and 0 read three: 0.92 to 0.98 of
// the time on every kind of data tried, on an AMD EPYC (Zen 5).
// Zero-masked for g++ 12, as in lane_counts.
VECTOR_CODE inline __m512i one_hot(const unsigned char *p, unsigned j)
{
    return _mm512_maskz_rolv_epi64(0xFF, _mm512_set1_epi64(1), _mm512_loadu_si512(p + j));
}

// Adds the 8 one-hot vectors of the 64 bytes at p to the planes of ones,
// twos and fours, and returns their carry: a plane of eights.
VECTOR_CODE inline __m512i add_64_bytes(const unsigned char *p, __m512i &ones, __m512i &twos,
                                        __m512i &fours)
{
    __m512i twos_a, twos_b, fours_a, fours_b, eights;
    add_planes(twos_a, ones, one_hot(p, 0), one_hot(p, 1));
    add_planes(twos_b, ones, one_hot(p, 2), one_hot(p, 3));
    add_planes(fours_a, twos, twos_a, twos_b);
    add_planes(twos_a, ones, one_hot(p, 4), one_hot(p, 5));
    add_planes(twos_b, ones, one_hot(p, 6), one_hot(p, 7));
    add_planes(fours_b, twos, twos_a, twos_b);
    add_planes(eights, fours, fours_a, fours_b);
    return eights;
}

// Counts `chunks` runs of 128 bytes of one bin: 16 one-hot vectors each,
// added in a tree of carry-save adders whose carry out is a plane of sixteens.
VECTOR_CODE void count_bin(vector_counts &c, unsigned bin, const unsigned char *p, unsigned chunks,
                           std::uint64_t *byte_counts)
{
    __m512i ones = c.ones[bin], twos = c.twos[bin], fours = c.fours[bin], eights = c.eights[bin];
    __m512i sixteens = c.sixteens[bin];
    unsigned since_widening = c.since_widening[bin];
    for (; chunks > 0; chunks--, p += chunk) {
        const __m512i eights_a = add_64_bytes(p, ones, twos, fours);
        const __m512i eights_b = add_64_bytes(p + 64, ones, twos, fours);
        __m512i carry;
        add_planes(carry, eights, eights_a, eights_b);
        sixteens = _mm512_add_epi8(sixteens, lane_counts(carry));
        if (++since_widening == sixteens_per_widening) {
            add_counts(sixteens, 4, bin, byte_counts);
            sixteens = _mm512_setzero_si512();
            since_widening = 0;
        }
    }
    c.ones[bin] = ones, c.twos[bin] = twos, c.fours[bin] = fours, c.eights[bin] = eights;
    c.sixteens[bin] = sixteens;
    c.since_widening[bin] = since_widening;
}

// Appends the bytes of x that `valid` selects to their bins: bin b takes the
// bytes whose top two bits are b. The bins' fill levels stay in registers
// while a block is sorted.
VECTOR_CODE inline void sort_into_bins(vector_counts &c, unsigned (&fill)[4], __m512i x,
                                       __mmask64 valid)
{
    const __m512i top_bits = _mm512_and_si512(x, _mm512_set1_epi8(static_cast<char>(0xC0)));
    for (unsigned bin = 0; bin < 4; bin++) {
        const __m512i bits = _mm512_set1_epi8(static_cast<char>(bin << 6));
        const __mmask64 in_bin = _mm512_mask_cmpeq_epi8_mask(valid, top_bits, bits);
        _mm512_storeu_si512(c.bins[bin] + fill[bin], _mm512_maskz_compress_epi8(in_bin, x));
        fill[bin] += unsigned(_mm_popcnt_u64(in_bin));
    }
}

// The same for 64 bytes all below 0x80: bit 6 alone sorts them, into the
// two lower bins, with half the compresses and stores.
VECTOR_CODE inline void sort_into_low_bins(vector_counts &c, unsigned (&fill)[4], __m512i x)
{
    const __mmask64 in_1 = _mm512_test_epi8_mask(x, _mm512_set1_epi8(0x40));
    _mm512_storeu_si512(c.bins[0] + fill[0], _mm512_maskz_compress_epi8(~in_1, x));
    _mm512_storeu_si512(c.bins[1] + fill[1], _mm512_maskz_compress_epi8(in_1, x));
    const unsigned ones = unsigned(_mm_popcnt_u64(in_1));
    fill[0] += 64 - ones;
    fill[1] += ones;
}

// Whether every byte of a full block is below 0x80.
VECTOR_CODE inline bool block_below_0x80(const __m512i (&x)[4])
{
    const __m512i any = _mm512_ternarylogic_epi64(x[0], x[1], x[2], 0xFE);  // a | b | c
    return _mm512_movepi8_mask(_mm512_or_si512(any, x[3])) == 0;
}

// Whether a full block repeats its first 8 bytes, as repeats_every_8 tells,
// but tested on the vectors the block is sorted from, with a branch that
// only a block that repeats takes. memcmp went on to the first difference,
// far into the block on sparse data, which took 1.3 times as long, and runs
// of one value 1.25 times. A first test of two words loaded from the block,
// to turn away most blocks early, mispredicted on sparse data, where the
// first 16 bytes are often zeros, and waited for the block's copy to reach
// the cache: sparse data took 1.2 times as long that way on an AMD EPYC
// (Zen 5), runs of one value 1.05.
VECTOR_CODE inline bool block_repeats_first_8(const __m512i (&x)[4])
{
    // The first 8 bytes in every lane (a zero-masked permute, see lane_counts).
    const __m512i word = _mm512_maskz_permutexvar_epi64(0xFF, _mm512_setzero_si512(), x[0]);
    // 0x7E: (a ^ c) | (b ^ c), the bits where a or b differs from c.
    const __m512i differ = _mm512_or_si512(_mm512_ternarylogic_epi64(x[0], x[1], word, 0x7E),
                                           _mm512_ternarylogic_epi64(x[2], x[3], word, 0x7E));
    return _mm512_test_epi64_mask(differ, differ) == 0;
}

// Always inlined, into the read loop below (see count_stream).
VECTOR_CODE inline __attribute__((always_inline)) void count_vector(vector_counts &c,
                                                                    const unsigned char *block,
                                                                    std::size_t n,
                                                                    std::uint64_t *byte_counts)
{
    unsigned fill[4] = {c.fill[0], c.fill[1], c.fill[2], c.fill[3]};
    const __mmask64 all = ~__mmask64{0};
    if (n == block_size) {
        const __m512i x[4] = {_mm512_loadu_si512(block), _mm512_loadu_si512(block + 64),
                              _mm512_loadu_si512(block + 128), _mm512_loadu_si512(block + 192)};
        if (block_repeats_first_8(x)) {
            count_repeats(block, n, byte_counts);
            return;
        }
        // Text, source code, base64 and UTF-16 or UTF-32 of ASCII have no
        // byte of 0x80 or above in most blocks, and those need only the
        // lower bins: text took 0.85-0.88 of the time, UTF-16 0.91, cached,
        // on an Intel Xeon (Emerald Rapids). The test is made only after a
        // beat in which the upper bins got nothing: made on every block, it
        // cost random bytes 1.04 in memory.
        if (c.upper_idle && block_below_0x80(x))
            for (const __m512i &piece : x)
                sort_into_low_bins(c, fill, piece);
        else
            for (const __m512i &piece : x)
                sort_into_bins(c, fill, piece, all);
    } else {
        std::size_t i = 0;
        for (; i + 64 <= n; i += 64)
            sort_into_bins(c, fill, _mm512_loadu_si512(block + i), all);
        if (i < n) {
            // Only the block's first n bytes are data; the rest is never read.
            const __mmask64 valid = (std::uint64_t{1} << (n - i)) - 1;
            sort_into_bins(c, fill, _mm512_maskz_loadu_epi8(valid, block + i), valid);
        }
    }
    if (++c.blocks_binned == blocks_per_count) {
        c.upper_idle = fill[2] + fill[3] == c.upper_fill;
        // Each bin is counted whole, its last chunk padded with zeros, rather
        // than the part-chunk left over moved to the front of the bin: that
        // read bytes still on their way to the cache, and stalled (most
        // kinds took 1.02 to 1.1 times as long). The padding counts as value
        // 64 * bin, and is taken off again.
        for (unsigned bin = 0; bin < 4; bin++) {
            if (fill[bin] < chunk)
                continue;
            const unsigned chunks = (fill[bin] + chunk - 1) / chunk;
            _mm512_storeu_si512(c.bins[bin] + fill[bin], _mm512_setzero_si512());
            _mm512_storeu_si512(c.bins[bin] + fill[bin] + 64, _mm512_setzero_si512());
            count_bin(c, bin, c.bins[bin], chunks, byte_counts);
            byte_counts[std::size_t{64} * bin] -= chunks * chunk - fill[bin];
            fill[bin] = 0;
        }
        c.blocks_binned = 0;
        c.upper_fill = fill[2] + fill[3];
    }
    for (unsigned bin = 0; bin < 4; bin++)
        c.fill[bin] = fill[bin];
}

VECTOR_CODE void count_stream_vector(vector_counts &c, std::FILE *in, unsigned char *block,
                                     std::uint64_t *byte_counts)
{
    std::size_t n;
    while ((n = fread_unlocked(block, 1, block_size, in)) > 0)
        count_vector(c, block, n, byte_counts);
}

// Adds everything still in the bins and the planes to the totals.
VECTOR_CODE void finish_vector(vector_counts &c, std::uint64_t *byte_counts)
{
    for (unsigned bin = 0; bin < 4; bin++) {
        const unsigned chunks = c.fill[bin] / chunk;
        count_bin(c, bin, c.bins[bin], chunks, byte_counts);
        for (unsigned i = chunks * chunk; i < c.fill[bin]; i++)
            byte_counts[c.bins[bin][i]]++;
        add_counts(lane_counts(c.ones[bin]), 0, bin, byte_counts);
        add_counts(lane_counts(c.twos[bin]), 1, bin, byte_counts);
        add_counts(lane_counts(c.fours[bin]), 2, bin, byte_counts);
        add_counts(lane_counts(c.eights[bin]), 3, bin, byte_counts);
        add_counts(c.sixteens[bin], 4, bin, byte_counts);
    }
}
#else
bool has_vector_instructions() { return false; }
#endif

// The first 16 KiB of every input, and the whole of a regular file under
// 64 KiB, are counted apart, in eight tables of 16-bit counters on the stack
// (4 KiB), in the way count_bytes counts: so a small file never touches the
// counters above, 350 KiB that are paged in, a page fault each (1.5 us),
// only where they are used, nor asks the CPU what it has. Counting 16 KiB so
// costs about 5 us, against a few us by vectors and at least 6 page faults.
// The vectors would count the rest of a small file faster, but their bins'
// pages and asking the CPU cost more than that saves: counted so to its
// end, a 31 KiB file took 0.96-0.97 of the time and a 60 KiB file 0.98-0.99,
// with 5 page faults fewer (fastest of 1,500 runs, Intel Xeon, Emerald
// Rapids, in a virtual machine).
constexpr std::size_t first_blocks = 64;
constexpr std::size_t small_file_blocks = 256;
constexpr off_t small_file_size = small_file_blocks * block_size;  // 64 KiB
// Byte i of a block goes to table i % 8.
static_assert(small_file_blocks * block_size / 8 <= UINT16_MAX);
using first_tables = std::uint16_t[8][256];

// Counts up to `limit` blocks of `in`, and tells whether there may be more:
// whether the reads stopped at the limit, the last of them a full block,
// rather than at the end. A short read is the end (or an error).
bool count_first_blocks(std::FILE *in, std::size_t limit, unsigned char *block,
                        std::uint64_t *byte_counts)
{
    first_tables t{};
    std::size_t blocks = 0, n = block_size;
    while (blocks < limit && (n = fread_unlocked(block, 1, block_size, in)) > 0) {
        count_by_position(t, block, n);
        blocks++;
    }
    add_tables(t, byte_counts);
    return blocks == limit && n == block_size;
}

// All the narrower counters, and which of them this CPU uses.
struct counters {
    tables portable;
#if BYTEFREQ_VECTOR
    vector_counts vector;
#endif
    bool vector_instructions;
};

// Counts every block that `in` delivers, until a read delivers nothing. Each
// way of counting has a read loop of its own, so that the vector code is
// compiled into its loop rather than called for each block, which saved and
// restored registers and set up the same constants every time: random bytes
// took 1.05 times as long that way, sparse data 1.2.
void count_stream(counters &c, std::FILE *in, unsigned char *block, std::uint64_t *byte_counts)
{
#if BYTEFREQ_VECTOR
    if (c.vector_instructions) {
        count_stream_vector(c.vector, in, block, byte_counts);
        return;
    }
#endif
    std::size_t n;
    while ((n = fread_unlocked(block, 1, block_size, in)) > 0)
        count_portable(c.portable, block, n, byte_counts);
}

// Adds what the narrower counters still hold to the totals. Only one way of
// counting has been used, so only its counters are touched.
void finish(counters &c, std::uint64_t *byte_counts)
{
#if BYTEFREQ_VECTOR
    if (c.vector_instructions) {
        finish_vector(c.vector, byte_counts);
        return;
    }
#endif
    fold(c.portable, byte_counts);
}

}  // namespace

int main(int argc, char *argv[])
{
    if (argc < 2)
        return EXIT_FAILURE;

    std::FILE *in = std::fopen(argv[1], "rb");
    if (in == nullptr)
        return EXIT_FAILURE;

    // Reading 1 MiB at a time spends 80 ms in the kernel on a cached 1 GiB
    // file, against 110 ms for 64 KiB and 250 ms for the 4 KiB default (AMD
    // EPYC; on an Intel Xeon 128 KiB to 1 MiB made no difference). But
    // each buffer page costs a page fault, about 1.5 us here, when it is
    // first filled, which outweighs the saving on a regular file under
    // 16 MiB: such a file gets 64 KiB (a 1 MiB file then takes 1.2 ms, not
    // 1.6). A file under 64 KiB keeps the stream's own buffer of a page, as
    // any program does: a read more for each 4 KiB costs less than a page
    // fault (31 KiB files touched 6 to 10 pages fewer). A pipe fills only as
    // much as it holds at a time. Static, so that its size never meets the
    // stack limit.
    static char buffer[1 << 20];
    struct stat st;
    const bool regular = fstat(fileno(in), &st) == 0 && S_ISREG(st.st_mode);
    const bool small = regular && st.st_size < small_file_size;
    // Should this fail, the stream keeps its default buffer, slower but sound.
    if (!small)
        (void)std::setvbuf(in, buffer, _IOFBF,
                           regular && st.st_size < (16 << 20) ? std::size_t{64} << 10
                                                              : sizeof buffer);
    if (regular)
        (void)posix_fadvise(fileno(in), 0, 0, POSIX_FADV_SEQUENTIAL);  // only advice

    // Aligned, so that the copy into it and the vector loads from it never
    // split a cache line: 0.965 of the time on random bytes and text, on an
    // AMD EPYC (Zen 5).
    alignas(64) unsigned char block[block_size];

    // The header is read, not seeked past, so that pipes, FIFOs and devices
    // work as input just as regular files do. The stream is used by this one
    // thread only, so it is read without taking its lock (20 ms less per GiB).
    // A file of 20 bytes or fewer has nothing to count, so a short header
    // is no fault; a read error shows in the error indicator.
    [[maybe_unused]] const std::size_t header_bytes = fread_unlocked(block, 1, header_size, in);

    // 64-bit totals: a file can hold more than 2^32 of one byte value.
    std::uint64_t byte_counts[256] = {};
    if (count_first_blocks(in, small ? small_file_blocks : first_blocks, block, byte_counts)) {
        // Static: the counters are larger than a stack should hold.
        static counters narrow;
        narrow.vector_instructions = has_vector_instructions();
        count_stream(narrow, in, block, byte_counts);
        finish(narrow, byte_counts);
    }

    // A short read means end of file or an error; only the error indicator
    // tells them apart, and partial counts must not pass for a full report.
    const bool read_failed = std::ferror(in) != 0;
    (void)std::fclose(in);  // nothing written, so nothing to lose
    if (read_failed)
        return EXIT_FAILURE;

    for (int v = 0; v < 256; v++)
        std::printf("%d %" PRIu64 "\n", v, byte_counts[v]);

    // A report lost to a full disk or a closed descriptor is a failure too.
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0)
        return EXIT_FAILURE;
    return EXIT_SUCCESS;
}
