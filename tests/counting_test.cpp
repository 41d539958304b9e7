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
