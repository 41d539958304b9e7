// Inputs shaped to drive bytefreq's counting to the limits of its narrow
// counters and buffers, for the suite and the fuzz target alike. Each is a
// body to be counted from the first byte that a way of counting sees: by
// the way alone, from byte 0; by bytefreq, after its header and the first
// 16 KiB, which are counted apart (a whole number of beats, below).

#ifndef BYTEFREQ_SHAPES_H
#define BYTEFREQ_SHAPES_H

#include <algorithm>
#include <cstddef>
#include <random>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace shapes {

using bytes = std::vector<unsigned char>;

// The vector counting sorts bytes into four bins by their top two bits,
// the quarters of the values, and counts the bins on a beat of 16 blocks.
constexpr std::size_t block = 256;
constexpr std::size_t beat = 16 * block;

// Appends n bytes taken in turn from `source`, from `at` on, each moved
// into quarter q (64 * q to 64 * q + 63).
inline void append_quarter(bytes &out, std::size_t n, unsigned q,
                           std::span<const unsigned char> source, std::size_t &at)
{
    for (std::size_t i = 0; i < n; i++, at++)
        out.push_back(static_cast<unsigned char>(64 * q + (source[at % source.size()] & 63)));
}

// Pairs of beats that leave bin q as full as it can be: in the first beat
// `lead` bytes of quarter q, fewer than a chunk (128), so that they wait
// in the bin, as many of each other quarter but `filler`, which takes the
// rest; in the second, a whole beat of quarter q. The bin that follows q
// holds bytes that wait too, where padding that ran past q would land.
inline bytes fullest_bin(unsigned q, unsigned filler, std::size_t lead,
                         std::span<const unsigned char> source, std::size_t pairs)
{
    bytes out;
    std::size_t at = 0;
    for (std::size_t p = 0; p < pairs; p++) {
        const std::size_t start = out.size();
        for (unsigned other = 0; other < 4; other++)
            if (other != q && other != filler)
                append_quarter(out, lead, other, source, at);
        append_quarter(out, beat - (out.size() - start) - lead, filler, source, at);
        append_quarter(out, lead, q, source, at);
        append_quarter(out, beat, q, source, at);
    }
    return out;
}

// Blocks of one value in every byte but one, which goes to another bin:
// the value's 8-bit counts reach their most (8 a chunk of 128) between two
// widenings, block after block.
inline bytes dominant(unsigned char value, std::size_t blocks)
{
    bytes out;
    for (std::size_t b = 0; b < blocks; b++) {
        out.insert(out.end(), block - 1, value);
        out.push_back(static_cast<unsigned char>(value + 64 + b % 64));
    }
    return out;
}

// A block that repeats `word` (8 bytes) from byte 8 on, whose first 8 bytes
// repeat instead the bytes `shift` further on: with shift 8 it repeats
// every 8 bytes, with any other it comes close, and a test of the wrong
// pair of offsets takes it for one that does.
inline bytes two_periods(std::span<const unsigned char> word, std::size_t shift)
{
    bytes out(block);
    for (std::size_t i = 8; i < block; i++)
        out[i] = word[i % 8];
    for (std::size_t i = 8; i-- > 0;)
        out[i] = out[i + shift];
    return out;
}

// A block of period `period`, but for one byte at `position`.
inline bytes period_but_one(std::span<const unsigned char> word, std::size_t period,
                            std::size_t position)
{
    bytes out(block);
    for (std::size_t i = 0; i < block; i++)
        out[i] = word[i % period];
    out[position] = static_cast<unsigned char>(out[position] ^ 0x41);
    return out;
}

// A block of period 8 whose bytes step by `step` from `first`: a test of
// the first 8 bytes for one value that mistook a difference for equality
// would count it as a run.
inline bytes stepping(unsigned char first, int step)
{
    bytes out(block);
    for (std::size_t i = 0; i < block; i++)
        out[i] = static_cast<unsigned char>(first + step * int(i % 8));
    return out;
}

// Blocks over two values, each repeating a few bytes from some offset on,
// the bytes before that copied from 8 further on: among them are blocks
// that a test of repetition at a slightly wrong offset or length takes for
// blocks that repeat every 8 bytes. The last block is short.
inline bytes near_periodic(std::mt19937_64 &rng, std::size_t blocks)
{
    bytes out;
    for (std::size_t b = 0; b < blocks; b++) {
        const auto period = std::size_t(1 + rng() % 17), from = std::size_t(rng() % 18);
        unsigned char word[17];
        for (unsigned char &w : word)
            w = (rng() & 1) != 0 ? 'a' : 'b';
        bytes one(b + 1 < blocks ? block : std::size_t(8 + rng() % 24));
        for (std::size_t i = from; i < one.size(); i++)
            one[i] = word[(i - from) % period];
        for (std::size_t i = std::min(from, one.size()); i-- > 0;)
            one[i] = i + 8 < one.size() ? one[i + 8] : word[0];
        out.insert(out.end(), one.begin(), one.end());
    }
    return out;
}

// The shapes above at and around their limits, named, for each quarter of
// the values; the blocks that almost repeat each between random blocks and
// in a run of its own, the last of them short.
inline std::vector<std::pair<std::string, bytes>> edge_cases()
{
    std::mt19937_64 rng(30);  // NOLINT(cert-msc32-c,cert-msc51-cpp): fixed, so that failures repeat
    bytes source(3 * beat);
    for (unsigned char &b : source)
        b = static_cast<unsigned char>(rng());
    std::vector<std::pair<std::string, bytes>> cases;
    for (unsigned q = 0; q < 4; q++)
        for (const unsigned filler : {(q + 2) % 4, (q + 3) % 4})
            for (const std::size_t lead : {128u, 127u, 126u, 65u, 64u, 63u, 1u})
                cases.emplace_back("bin " + std::to_string(q) + " at its fullest, filler " +
                                       std::to_string(filler) + ", lead " + std::to_string(lead),
                                   fullest_bin(q, filler, lead, source, 3));
    for (const unsigned value : {0x05u, 0x4Au, 0x80u, 0xC5u, 0xFFu})
        cases.emplace_back("value " + std::to_string(value) + " dominant",
                           dominant(static_cast<unsigned char>(value), 80));
    for (int i = 0; i < 8; i++)
        cases.emplace_back("blocks near a period, " + std::to_string(i), near_periodic(rng, 400));
    // After two beats of bytes below 0x80, which leave the upper bins idle,
    // blocks whose bytes of 0x80 and above all lie in one 64-byte piece.
    for (unsigned piece = 0; piece < 4; piece++) {
        bytes input;
        std::size_t at = 0;
        append_quarter(input, 2 * beat, 1, source, at);
        for (unsigned b = 0; b < 32; b++)
            for (unsigned p = 0; p < 4; p++)
                append_quarter(input, 64, p == piece ? 2 + b % 2 : p % 2, source, at);
        cases.emplace_back("high bytes in piece " + std::to_string(piece) + " of blocks after text",
                           input);
    }
    // Past the first fold of the tables' counters into the totals, 16 MiB
    // of blocks in, with every pair of values.
    bytes past_fold((std::size_t{16} << 20) + 3 * block + 100);
    for (unsigned char &b : past_fold)
        b = static_cast<unsigned char>(rng());
    cases.emplace_back("random bytes past a fold of the tables", past_fold);
    for (std::size_t last = 14; last <= 18; last++)
        cases.emplace_back("a run whose last block is " + std::to_string(last) + " bytes",
                           bytes(2 * block + last, 'a'));

    std::vector<std::pair<std::string, bytes>> blocks;
    const std::span<const unsigned char> word(source.data(), 16);
    for (std::size_t shift = 1; shift <= 16; shift++)
        blocks.emplace_back("two periods, shift " + std::to_string(shift),
                            two_periods(word, shift));
    for (const std::size_t period : {4u, 8u, 16u})
        for (const std::size_t at : {0u, 1u, 7u, 8u, 15u, 16u, 129u, 248u, 255u})
            blocks.emplace_back("period " + std::to_string(period) + " but byte " +
                                    std::to_string(at),
                                period_but_one(word, period, at));
    for (const int step : {-1, 1, -2, 2, -64})
        blocks.emplace_back("stepping by " + std::to_string(step),
                            stepping(static_cast<unsigned char>(200), step));
    // Blocks that differ from their first 8 bytes only where a test of
    // repetition that took ones for "same" in too many places would miss it:
    // 0xFF in the first 8 bytes, and two equal 64-byte pieces elsewhere.
    bytes ff_first(block), ff_front(block), ff_back(block);
    for (std::size_t i = 0; i < block; i++) {
        ff_first[i] = i % 64 < 8 ? 0xFF : source[i % 64];
        ff_front[i] = i < 128 ? 0xFF : source[i % 64];
        ff_back[i] = i >= 128 || i % 64 < 8 ? 0xFF : source[i % 64];
    }
    blocks.emplace_back("period 64, 0xFF in the first 8 bytes", ff_first);
    blocks.emplace_back("0xFF, then two equal pieces", ff_front);
    blocks.emplace_back("two equal pieces starting with 0xFF, then 0xFF", ff_back);
    for (auto &[name, b] : blocks) {
        // Room for all at once: growing it tripped a false -Warray-bounds
        // of g++ 12 for mips64el.
        bytes input;
        input.reserve(4 * block + 41 * b.size() + 203);
        input.insert(input.end(), source.begin(), source.begin() + 3 * block);
        input.insert(input.end(), b.begin(), b.end());
        input.insert(input.end(), source.begin(), source.begin() + block);
        for (int r = 0; r < 40; r++)
            input.insert(input.end(), b.begin(), b.end());
        input.insert(input.end(), b.begin(), b.begin() + 203);
        cases.emplace_back(name, input);
    }
    return cases;
}

}  // namespace shapes

#endif
