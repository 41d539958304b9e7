// Tests the counting through src/bytefreq.h: which ways this CPU can use,
// how the portable way picks its layout, and every way on inputs shaped to
// reach the limits of its narrow counters and buffers.

#include "every_way.h"
#include "shapes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using bytefreq::layout;

// The CPU's features as Linux names them in /proc/cpuinfo.
std::set<std::string> cpu_flags()
{
    std::ifstream f("/proc/cpuinfo");
    std::set<std::string> flags;
    for (std::string line; std::getline(f, line);) {
        if (line.rfind("flags", 0) != 0)
            continue;
        std::istringstream words(line.substr(line.find(':') + 1));
        for (std::string w; words >> w;)
            flags.insert(w);
        break;
    }
    return flags;
}

TEST(Ways, AreUsableWhereTheCpuHasAllTheyNeed)
{
    const std::set<std::string> has = cpu_flags();
    for (const bytefreq::way &w : bytefreq::ways()) {
        std::istringstream needs(w.cpu_flags);
        std::string lacking;
        for (std::string flag; needs >> flag;)
            if (has.count(flag) == 0)
                lacking += ' ' + flag;
        EXPECT_EQ(w.usable(), lacking.empty())
            << w.name
            << (lacking.empty() ? " is not usable, though the CPU lists all of: "
                                : " is usable, though the CPU lacks:")
            << (lacking.empty() ? w.cpu_flags : lacking);
    }
    EXPECT_TRUE(bytefreq::ways().back().usable());
    // What CI's log shows of this machine.
    std::printf("bytefreq counts here with %s\n", bytefreq::ways().front().usable()
                                                      ? bytefreq::ways().front().name
                                                      : "a later way of its table");
}

#if BYTEFREQ_VECTOR
// A CPU that tells every bit, less one bit at a time: the check must turn
// it away exactly where the bit is one that the avx512 way needs, as Intel
// documents them (leaf 1 ECX: POPCNT 23, OSXSAVE 27; leaf 7 EBX: AVX512F
// 16, BW 30, VL 31; leaf 7 ECX: VBMI 1, VBMI2 6, GFNI 8, BITALG 12; XCR0:
// SSE 1, AVX 2, opmask 5, ZMM_Hi256 6, Hi16_ZMM 7), and a CPU without
// leaf 7.
TEST(Ways, Avx512NeedsEachOfItsFeaturesAndNoOther)
{
    const bytefreq::cpu_report all = {7, ~0U, ~0U, ~0U, ~std::uint64_t{0}};
    EXPECT_TRUE(bytefreq::avx512_usable(all));
    const std::set<std::pair<int, unsigned>> needed = {{1, 23}, {1, 27}, {2, 16}, {2, 30}, {2, 31},
                                                       {3, 1},  {3, 6},  {3, 8},  {3, 12}, {4, 1},
                                                       {4, 2},  {4, 5},  {4, 6},  {4, 7}};
    const char *names[] = {"", "leaf 1 ECX", "leaf 7 EBX", "leaf 7 ECX", "XCR0"};
    for (int word = 1; word <= 4; word++)
        for (unsigned bit = 0; bit < (word == 4 ? 64U : 32U); bit++) {
            bytefreq::cpu_report r = all;
            switch (word) {
            case 1: r.leaf_1_ecx &= ~(1U << bit); break;
            case 2: r.leaf_7_ebx &= ~(1U << bit); break;
            case 3: r.leaf_7_ecx &= ~(1U << bit); break;
            default: r.xcr0 &= ~(std::uint64_t{1} << bit); break;
            }
            EXPECT_EQ(bytefreq::avx512_usable(r), needed.count({word, bit}) == 0)
                << names[word] << " bit " << bit;
        }
    bytefreq::cpu_report old = all;
    old.max_leaf = 6;
    EXPECT_FALSE(bytefreq::avx512_usable(old));
}
#endif

// Epoch times fed to the chooser, and the layout it returns after each
// (b bytes, p pairs, n narrow pairs). It starts by bytes, with a trial of
// narrow pairs next.
TEST(LayoutChoice, KeepsTheFastestAndTriesTheOthersEverMoreRarely)
{
    const struct {
        const char *name;
        std::vector<std::uint64_t> epoch_ns;
        const char *layouts;
    } cases[] = {
        {"a trial that wins is kept; the third layout is tried next", {100, 90, 95, 99}, "nnpn"},
        {"a trial that loses: back to the fastest, trials twice as far apart",
         {100, 150, 100, 100, 150, 100, 100, 100, 100},
         "nbbpbbbbn"},
        {"a trial is held against the fastest epoch since the last trial",
         {100, 150, 80, 120, 90},
         "nbbpb"},
        {"a win after losses brings trials back to every other epoch",
         {100, 150, 100, 100, 50, 60, 70},
         "nbbppnp"},
        {"a tie is a loss", {100, 100}, "nb"},
    };
    const auto letter = [](layout l) { return "bpn"[static_cast<unsigned>(l)]; };
    for (const auto &c : cases) {
        bytefreq::layout_choice choice = bytefreq::first_choice;
        std::string got;
        for (const std::uint64_t ns : c.epoch_ns) {
            const layout next = bytefreq::next_layout(choice, ns);
            EXPECT_EQ(next, choice.current);
            got += letter(next);
        }
        EXPECT_EQ(got, c.layouts) << c.name;
    }
}

TEST(LayoutChoice, BacksOffToATrialIn64EpochsAndAlternatesTheOthers)
{
    bytefreq::layout_choice choice = bytefreq::first_choice;
    std::vector<std::size_t> gaps;
    std::string trials;
    std::size_t since_trial = 0;
    for (int epoch = 0; epoch < 400; epoch++) {
        // Bytes always wins.
        const bool trial = choice.current != layout::bytes;
        const layout next = bytefreq::next_layout(choice, trial ? 200 : 100);
        since_trial++;
        if (next != layout::bytes) {
            gaps.push_back(since_trial);
            trials += "bpn"[static_cast<unsigned>(next)];
            since_trial = 0;
        }
    }
    // Epochs from one trial to the next: the trial and the epochs of bytes
    // after it, 1, 2, 4 ... 64 of them.
    const std::vector<std::size_t> want = {1, 3, 5, 9, 17, 33, 65, 65, 65, 65};
    ASSERT_GE(gaps.size(), want.size());
    EXPECT_EQ(std::vector<std::size_t>(gaps.begin(), gaps.begin() + 10), want);
    EXPECT_EQ(trials.substr(0, 6), "npnpnp");
}

// Every shape, counted every way the CPU can use, alone from the first byte
// and as bytefreq counts, after the first blocks.
TEST(EveryWay, CountsShapesAtTheLimitsOfItsCounters)
{
    for (auto &[name, input] : shapes::edge_cases())
        EXPECT_EQ(every_way::miscounts(input), "") << name;
}

}  // namespace
