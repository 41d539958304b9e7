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
//
// The counting has several ways, named in one table (ways(), below); main
// counts with the first that the CPU can use. doc/performance.md says how
// each works and what it was measured against; `bench/run kernels` times
// each of them again.

#include "bytefreq.h"

#include <algorithm>
#include <cassert>
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
#include <type_traits>

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

using bytefreq::block_size;
using bytefreq::header_size;

// A block that repeats its first 8 bytes (zeros, one value, "AB", zero
// padding, a flat area of 32-bit pixels) is counted from those 8 bytes, in
// about a third of the time of counting it byte by byte. The first compare
// turns away nearly every other block, so other data pays nothing for it.
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

// The portable counting: tables of counters in one of three layouts.
//
// bytes: byte i of a block goes to table i % 8, so a counter is incremented
// at most once every 8 bytes and never waits long on its own last store;
// four tables count as fast on random bytes but take 1.5 times as long on
// sparse data and UTF-32. Each table is padded so that the same value in
// two tables never lies 4 KiB apart, where loads waited on unrelated stores.
//
// pairs: one 32-bit counter for each pair of neighbouring bytes, half the
// increments; wins where few pairs recur (text in 0.6 of the time of bytes),
// loses where one pair repeats.
//
// narrow_pairs: the same in 8-bit counters, 64 KiB that mostly stay in the
// first-level cache where 256 KiB do not (random bytes, compressed data);
// each wrap past 255 is a branch the CPU cannot foresee.
//
// Which is fastest depends on the data and the CPU's caches, and a short
// trial cannot tell (it starts with the other layout's table out of cache),
// so the input is counted in epochs of a MiB, each timed, and now and then
// an epoch is counted another way; the fastest is kept. The first MiB is
// counted by bytes, so that a small input never touches the pair tables.
//
// A 32-bit counter takes at most 128 increments a block, and the 32-bit
// tables are folded into the 64-bit totals every fold_blocks blocks. An
// 8-bit pair counter adds 256 to both of its values' totals each time it
// wraps, so it never overflows unseen.
using bytefreq::layout;
using bytefreq::layout_choice;

struct tables {
    std::uint32_t bytes[8][256 + 8];
    std::uint32_t pairs[256 * 256];
    std::uint8_t narrow_pairs[256 * 256];
    std::uint64_t full_blocks;
    std::uint64_t since_fold;   // blocks since the last fold
    std::uint64_t epoch_start;  // ns
    layout_choice choice;
    bool timed;  // whether epochs choose the layout, or it stays as set
    bool pairs_used, narrow_pairs_used;
};
constexpr std::uint64_t epoch_blocks = (1 << 20) / block_size;
constexpr unsigned max_trial_gap = 64;
constexpr std::uint64_t fold_blocks = 1 << 16;
static_assert(fold_blocks > 0 && fold_blocks * (block_size / 2) <= UINT32_MAX);

// Each byte or pair is loaded on its own, not shifted out of a word: the
// loads go to ports that are otherwise idle, where shifts took a share of
// the instructions the core can start (sparse data took 1.2 times as long
// by bytes that way). The loops step 8 bytes at a time so that the
// compiler unrolls them.
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

// The layout that is neither a nor b.
layout other_layout(layout a, layout b) { return layout(3 - unsigned(a) - unsigned(b)); }

// Called every quarter of an epoch. The first quarter warms the caches for
// the epoch's layout and is not timed; the rest is, and at the end of each
// epoch picks the layout for the next one. The first epoch is not timed at
// all, as it pays for starting up.
void quarter_passed(tables &t)
{
    const std::uint64_t quarter = t.full_blocks / (epoch_blocks / 4);
    if (quarter % 4 == 1)
        t.epoch_start = now_ns();
    else if (quarter == 4)
        t.choice = bytefreq::first_choice;
    else if (quarter % 4 == 0)
        (void)bytefreq::next_layout(t.choice, now_ns() - t.epoch_start);
}

void count_full_block(tables &t, const unsigned char *block, std::uint64_t *byte_counts)
{
    switch (t.choice.current) {
    case layout::bytes: count_bytes(t, block); break;
    case layout::pairs:
        count_pairs(t, block);
        t.pairs_used = true;
        break;
    case layout::narrow_pairs:
        count_narrow_pairs(t, block, byte_counts);
        t.narrow_pairs_used = true;
        break;
    }
    if (++t.full_blocks % (epoch_blocks / 4) == 0 && t.timed)
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
    ++t.since_fold;
    assert(t.since_fold <= fold_blocks);
    if (t.since_fold == fold_blocks)
        fold(t, byte_counts);
}

#if BYTEFREQ_VECTOR
// With AVX-512, bytes are counted in vector registers rather than by a load
// and a store to a counter each: about a third of a cycle a byte on any
// data, against about one for the best table layout. Bytes are first sorted
// into four bins by their top two bits (a compress per bin), so that within
// a bin only six bits vary. Each byte then becomes the one set bit of a
// 64-bit lane, 1 << value, and those one-hot lanes are added bit-sliced by
// carry-save adders, a vertical count per lane and value of at most 15 in
// four planes. Every 16 one-hot vectors carry out one plane of sixteens,
// whose bits are turned into counts by a byte transpose, a bit transpose
// and a population count, and added into 8-bit counts per value; those are
// added into the 64-bit totals before they can overflow.
//
// What the vector code needs of the CPU, listed once for the compiler's
// target attribute, the CPU check and the tests: each feature's name for
// the compiler, its name in /proc/cpuinfo, and where CPUID reports it.
#define AVX512_FEATURES(X)                                                                         \
    X("popcnt", "popcnt", leaf_1_ecx, bit_POPCNT)                                                  \
    X("avx512f", "avx512f", leaf_7_ebx, bit_AVX512F)                                               \
    X("avx512bw", "avx512bw", leaf_7_ebx, bit_AVX512BW)                                            \
    X("avx512vl", "avx512vl", leaf_7_ebx, bit_AVX512VL)                                            \
    X("avx512vbmi", "avx512vbmi", leaf_7_ecx, bit_AVX512VBMI)                                      \
    X("avx512vbmi2", "avx512_vbmi2", leaf_7_ecx, bit_AVX512VBMI2)                                  \
    X("gfni", "gfni", leaf_7_ecx, bit_GFNI)                                                        \
    X("avx512bitalg", "avx512_bitalg", leaf_7_ecx, bit_AVX512BITALG)
#define AS_TARGET(target, flag, where, bit) "," target
#define AS_CPU_FLAG(target, flag, where, bit) flag " "
#define AS_CPUID_TEST(target, flag, where, bit) &&(r.where & (bit)) != 0
// xsave first, as clang takes no comma at the end: the CPU check asks for it.
#define VECTOR_CODE __attribute__((target("xsave" AVX512_FEATURES(AS_TARGET))))

// The bins are counted every 16 blocks, all four together: on a fixed beat,
// not whenever one of them fills, which is a branch the CPU cannot foresee
// (random bytes took 1.05 times as long), and with 4 KiB of input a beat,
// enough for many one-hot vectors a bin while the bins stay in the first-
// level cache. A bin with less than a chunk in it waits for the next beat,
// as counting it would be counting mostly padding (below). So a bin holds
// at most a chunk less a byte and 16 blocks, and is counted to the end of
// its last chunk, padded with zeros by two vector stores; each compress
// stores a whole vector past the bin's end.
constexpr unsigned blocks_per_count = 16;
constexpr unsigned chunk = 128;  // 16 one-hot vectors of 8 lanes
constexpr std::size_t most_in_bin = chunk - 1 + std::size_t{blocks_per_count} * block_size;
constexpr std::size_t padding_stores = 2;
static_assert(padding_stores * 64 >= chunk - 1);
constexpr unsigned sixteens_per_widening = 31;
// Each sixteens plane adds at most 8 (one per lane) to a value's 8-bit count.
static_assert(sixteens_per_widening * 8 <= UINT8_MAX);
constexpr __mmask64 every_byte = ~__mmask64{0};

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
// The padding of the fullest bin stays inside it: past its end lie the
// other bins and the fill levels.
static_assert(sizeof vector_counts::bins[0] >= most_in_bin + padding_stores * 64);

// Asked of the CPU itself, with the compiler's <cpuid.h>, and only once an
// input is large enough to use the vectors: in a virtual machine each CPUID
// traps to the hypervisor (about 10 us), and the compiler's
// __builtin_cpu_supports asks a dozen at every start. This asks three, and,
// where the CPU lets it, the kernel what it saves (XCR0).
__attribute__((target("xsave"))) bool has_vector_instructions()
{
    bytefreq::cpu_report r{};
    unsigned eax, ebx, edx;
    r.max_leaf = static_cast<unsigned>(__get_cpuid_max(0, nullptr));
    if (r.max_leaf >= 7) {
        __cpuid(1, eax, ebx, r.leaf_1_ecx, edx);
        __cpuid_count(7, 0, eax, r.leaf_7_ebx, r.leaf_7_ecx, edx);
        if ((r.leaf_1_ecx & bit_OSXSAVE) != 0)
            r.xcr0 = _xgetbv(0);
    }
    return bytefreq::avx512_usable(r);
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
    const __m512i gathered = _mm512_maskz_permutexvar_epi8(every_byte, gather, plane);
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
// byte j where it counts, and no shift is needed to get it there. A rotate
// reads two registers where a funnel shift of 1 and 0 reads three (that
// took up to 1.08 times as long). Zero-masked for g++ 12, as in lane_counts.
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
        assert(since_widening < sixteens_per_widening);
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
// far into the block on sparse data, which took 1.3 times as long.
VECTOR_CODE inline bool block_repeats_first_8(const __m512i (&x)[4])
{
    // The first 8 bytes in every lane (a zero-masked permute, see lane_counts).
    const __m512i word = _mm512_maskz_permutexvar_epi64(0xFF, _mm512_setzero_si512(), x[0]);
    // 0x7E: (a ^ c) | (b ^ c), the bits where a or b differs from c.
    const __m512i differ = _mm512_or_si512(_mm512_ternarylogic_epi64(x[0], x[1], word, 0x7E),
                                           _mm512_ternarylogic_epi64(x[2], x[3], word, 0x7E));
    return _mm512_test_epi64_mask(differ, differ) == 0;
}

// Sorts a full block into the bins. Text, source code, base64 and UTF-16
// or UTF-32 of ASCII have no byte of 0x80 or above in most blocks, and
// those need only the lower bins (text in 0.85 of the time). The test is
// made only after a beat in which the upper bins got nothing: made on
// every block, it cost random bytes 1.04 times the time.
VECTOR_CODE inline void sort_full_block(vector_counts &c, unsigned (&fill)[4],
                                        const __m512i (&x)[4])
{
    if (c.upper_idle && block_below_0x80(x))
        for (const __m512i &piece : x)
            sort_into_low_bins(c, fill, piece);
    else
        for (const __m512i &piece : x)
            sort_into_bins(c, fill, piece, every_byte);
}

// Sorts the first n bytes of a short block; the rest is never read.
VECTOR_CODE inline void sort_short_block(vector_counts &c, unsigned (&fill)[4],
                                         const unsigned char *block, std::size_t n)
{
    std::size_t i = 0;
    for (; i + 64 <= n; i += 64)
        sort_into_bins(c, fill, _mm512_loadu_si512(block + i), every_byte);
    if (i < n) {
        const __mmask64 valid = (std::uint64_t{1} << (n - i)) - 1;
        sort_into_bins(c, fill, _mm512_maskz_loadu_epi8(valid, block + i), valid);
    }
}

// The beat: counts every bin that holds a chunk or more. Each is counted
// whole, its last chunk padded with zeros, rather than the part-chunk left
// over moved to the front of the bin, which read bytes still on their way
// to the cache and stalled (up to 1.1 times the time). The padding counts
// as value 64 * bin, and is taken off again.
VECTOR_CODE inline void count_bins_on_beat(vector_counts &c, unsigned (&fill)[4],
                                           std::uint64_t *byte_counts)
{
    c.upper_idle = fill[2] + fill[3] == c.upper_fill;
    for (unsigned bin = 0; bin < 4; bin++) {
        assert(fill[bin] <= most_in_bin);
        if (fill[bin] < chunk)
            continue;
        const unsigned chunks = (fill[bin] + chunk - 1) / chunk;
        for (std::size_t k = 0; k < padding_stores; k++)
            _mm512_storeu_si512(c.bins[bin] + fill[bin] + 64 * k, _mm512_setzero_si512());
        count_bin(c, bin, c.bins[bin], chunks, byte_counts);
        byte_counts[std::size_t{64} * bin] -= chunks * chunk - fill[bin];
        fill[bin] = 0;
    }
    c.blocks_binned = 0;
    c.upper_fill = fill[2] + fill[3];
}

// Always inlined into the read loop below, which then sets up its constants
// once, not for every block (random bytes took 1.05 times as long called).
VECTOR_CODE inline __attribute__((always_inline)) void count_vector(vector_counts &c,
                                                                    const unsigned char *block,
                                                                    std::size_t n,
                                                                    std::uint64_t *byte_counts)
{
    unsigned fill[4] = {c.fill[0], c.fill[1], c.fill[2], c.fill[3]};
    if (n == block_size) {
        const __m512i x[4] = {_mm512_loadu_si512(block), _mm512_loadu_si512(block + 64),
                              _mm512_loadu_si512(block + 128), _mm512_loadu_si512(block + 192)};
        if (block_repeats_first_8(x)) {
            count_repeats(block, n, byte_counts);
            return;
        }
        sort_full_block(c, fill, x);
    } else {
        sort_short_block(c, fill, block, n);
    }
    if (++c.blocks_binned == blocks_per_count)
        count_bins_on_beat(c, fill, byte_counts);
    for (unsigned bin = 0; bin < 4; bin++)
        c.fill[bin] = fill[bin];
}

// Adds everything still in the bins and the planes to the totals.
VECTOR_CODE void finish_vector_counts(vector_counts &c, std::uint64_t *byte_counts)
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
#endif

// The first 16 KiB of every input, and the whole of a regular file under
// 64 KiB, are counted apart, in eight tables of 16-bit counters on the stack
// (4 KiB), as count_bytes counts. So a small file never touches the
// counters above, 350 KiB that cost a page fault for each page used, nor
// asks the CPU what it has. The vectors would count the rest of a file
// under 64 KiB faster, but their pages and the question cost more than
// that saves (a 60 KiB file took 0.99 of the time so; `bench/run` counts
// the page faults).
constexpr std::size_t first_blocks = 64;
constexpr std::size_t small_file_blocks = 256;
// Byte i of a block goes to table i % 8.
static_assert(small_file_blocks * block_size / 8 <= UINT16_MAX);
using first_tables = std::uint16_t[8][256];

// Counts up to `limit` blocks of `in`, and tells whether there may be more:
// whether the reads stopped at the limit, the last of them a full block,
// rather than at the end. A short read is the end (or an error).
bool count_first_blocks(std::FILE *in, std::size_t limit, unsigned char *block,
                        std::uint64_t *byte_counts)
{
    assert(limit <= small_file_blocks);
    first_tables t{};
    std::size_t blocks = 0, n = block_size;
    while (blocks < limit && (n = fread_unlocked(block, 1, block_size, in)) > 0) {
        count_by_position(t, block, n);
        blocks++;
    }
    add_tables(t, byte_counts);
    return blocks == limit && n == block_size;
}

}  // namespace

struct bytefreq::counters {
    tables portable;
#if BYTEFREQ_VECTOR
    vector_counts vector;
#endif
};

namespace {

using bytefreq::counters;

// The read loops take blocks from the stream without taking its lock, as
// one thread alone uses it (20 ms less a GiB). The vector code is compiled
// into a loop of its own; the table layouts share one (below).
#if BYTEFREQ_VECTOR
VECTOR_CODE void count_with_vectors(counters &c, std::FILE *in, unsigned char *block,
                                    std::uint64_t *byte_counts)
{
    std::size_t n;
    while ((n = fread_unlocked(block, 1, block_size, in)) > 0)
        count_vector(c.vector, block, n, byte_counts);
}

void finish_vectors(counters &c, std::uint64_t *byte_counts)
{
    finish_vector_counts(c.vector, byte_counts);
}
#endif

// One read loop for every layout, so that count_portable has one caller
// and is compiled into it: called for each block from a loop of each
// layout, it took 3% more instructions (`valgrind --tool=callgrind`).
void read_into_tables(tables &t, std::FILE *in, unsigned char *block, std::uint64_t *byte_counts)
{
    std::size_t n;
    while ((n = fread_unlocked(block, 1, block_size, in)) > 0)
        count_portable(t, block, n, byte_counts);
}

// With the layout chosen by timed epochs, or with one layout throughout.
template <layout start, bool timed>
void count_with_tables(counters &c, std::FILE *in, unsigned char *block, std::uint64_t *byte_counts)
{
    c.portable.choice.current = c.portable.choice.fastest = start;
    c.portable.timed = timed;
    read_into_tables(c.portable, in, block, byte_counts);
}

void finish_tables(counters &c, std::uint64_t *byte_counts) { fold(c.portable, byte_counts); }

bool always() { return true; }

constexpr bytefreq::way ways_of_counting[] = {
#if BYTEFREQ_VECTOR
    {"avx512", AVX512_FEATURES(AS_CPU_FLAG), has_vector_instructions, count_with_vectors,
     finish_vectors},
#endif
    // Tables of counters, in the layout that timed epochs find fastest.
    {"portable", "", always, count_with_tables<layout::bytes, true>, finish_tables},
    // Eight interleaved tables of 32-bit counters.
    {"bytes", "", always, count_with_tables<layout::bytes, false>, finish_tables},
    // A 32-bit counter for each pair of byte values.
    {"pairs", "", always, count_with_tables<layout::pairs, false>, finish_tables},
    // An 8-bit counter for each pair of byte values.
    {"narrow-pairs", "", always, count_with_tables<layout::narrow_pairs, false>, finish_tables},
};

}  // namespace

std::span<const bytefreq::way> bytefreq::ways() { return ways_of_counting; }

#if BYTEFREQ_VECTOR
// Every feature of the list, and the kernel saves the AVX-512 registers:
// opmasks and both upper parts of the vector registers.
bool bytefreq::avx512_usable(const cpu_report &r)
{
    constexpr std::uint64_t xcr0_avx512 = 0xE6;  // SSE, AVX, opmask, ZMM_Hi256, Hi16_ZMM
    return r.max_leaf >= 7 && (r.leaf_1_ecx & bit_OSXSAVE) != 0 &&
           (r.xcr0 & xcr0_avx512) == xcr0_avx512 AVX512_FEATURES(AS_CPUID_TEST);
}
#endif

// A trial is held against the fastest epoch of the present layout since the
// last trial, as other work on a machine only ever slows an epoch. Trials
// take the other two layouts in turn, ever more rarely while they lose.
bytefreq::layout bytefreq::next_layout(layout_choice &c, std::uint64_t epoch_ns)
{
    if (c.current == c.fastest) {
        c.best_ns = std::min(c.best_ns, epoch_ns);
        if (--c.epochs_to_trial == 0)
            c.current = c.next_trial;
        return c.current;
    }
    c.next_trial = other_layout(c.fastest, c.current);
    if (epoch_ns < c.best_ns) {
        c.fastest = c.current;
        c.best_ns = epoch_ns;
        c.trial_gap = 1;
    } else {
        c.best_ns = UINT64_MAX;
        c.trial_gap = std::min(2 * c.trial_gap, max_trial_gap);
    }
    c.epochs_to_trial = c.trial_gap;
    c.current = c.fastest;
    return c.current;
}

// Cleared in place: a counters{} to copy from would be a temporary of some
// 350 KiB on the stack.
bytefreq::counters &bytefreq::fresh_counters()
{
    static counters c;
    static_assert(std::is_trivially_copyable_v<counters>);
    std::memset(static_cast<void *>(&c), 0, sizeof c);
    return c;
}

void bytefreq::count_input(counters &c, std::FILE *in, bool small_file, const way *w,
                           unsigned char *block, std::uint64_t *byte_counts)
{
    if (!count_first_blocks(in, small_file ? small_file_blocks : first_blocks, block, byte_counts))
        return;
    if (w == nullptr)
        w = std::find_if(ways_of_counting, std::end(ways_of_counting),
                         [](const way &candidate) { return candidate.usable(); });
    w->count(c, in, block, byte_counts);
    w->finish(c, byte_counts);
}

#ifndef BYTEFREQ_NO_MAIN
namespace {

constexpr off_t small_file_size = small_file_blocks * block_size;  // 64 KiB

// Gives the stream its buffer, and tells whether `in` is a regular file
// under 64 KiB. Each buffer page costs a page fault when first filled, so
// the buffer grows with the file: such a small file keeps the stream's own
// page, a file under 16 MiB gets 64 KiB, and larger files, pipes and
// devices 1 MiB, where the kernel spends least on each byte (80 ms a GiB
// against 250 ms with 4 KiB). Static, so that it never meets the stack
// limit.
bool choose_buffer(std::FILE *in)
{
    static char buffer[1 << 20];
    struct stat st;
    const bool regular = fstat(fileno(in), &st) == 0 && S_ISREG(st.st_mode);
    const bool small_file = regular && st.st_size < small_file_size;
    // Should this fail, the stream keeps its default buffer, slower but sound.
    if (!small_file)
        (void)std::setvbuf(in, buffer, _IOFBF,
                           regular && st.st_size < (16 << 20) ? std::size_t{64} << 10
                                                              : sizeof buffer);
    if (regular)
        (void)posix_fadvise(fileno(in), 0, 0, POSIX_FADV_SEQUENTIAL);  // only advice
    return small_file;
}

// Writes the report, and tells whether all of it reached standard output:
// a report lost to a full disk or a closed descriptor is a failure too.
bool write_report(const std::uint64_t *byte_counts)
{
    for (int v = 0; v < 256; v++)
        std::printf("%d %" PRIu64 "\n", v, byte_counts[v]);
    return std::fflush(stdout) == 0 && std::ferror(stdout) == 0;
}

}  // namespace

int main(int argc, char *argv[])
{
    if (argc < 2)
        return EXIT_FAILURE;

    std::FILE *in = std::fopen(argv[1], "rb");
    if (in == nullptr)
        return EXIT_FAILURE;
    const bool small_file = choose_buffer(in);

    // Aligned, so that the copy into it and the vector loads from it never
    // split a cache line.
    alignas(64) unsigned char block[block_size];

    // The header is read, not seeked past, so that pipes, FIFOs and devices
    // work as input just as regular files do. A short header is no fault:
    // the input has ended, and there is nothing to count. A read error
    // shows in the error indicator.
    const bool whole_header = fread_unlocked(block, 1, header_size, in) == header_size;

    // 64-bit totals: a file can hold more than 2^32 of one byte value. The
    // narrower counters are static, too large for the stack, and zero
    // until used: a page of them costs only where it is used.
    std::uint64_t byte_counts[256] = {};
    static bytefreq::counters narrow;
    if (whole_header)
        bytefreq::count_input(narrow, in, small_file, nullptr, block, byte_counts);

    // A short read means end of file or an error; only the error indicator
    // tells them apart, and partial counts must not pass for a full report.
    const bool read_failed = std::ferror(in) != 0;
    (void)std::fclose(in);  // nothing written, so nothing to lose
    if (read_failed)
        return EXIT_FAILURE;

    return write_report(byte_counts) ? EXIT_SUCCESS : EXIT_FAILURE;
}
#endif
