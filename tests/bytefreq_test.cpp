// Runs the built bytefreq as a user would, on real files, pipes and FIFOs,
// and checks the whole of its standard output, standard error and exit
// status against a plain count made here.

#include "shapes.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Counts = std::array<std::uint64_t, 256>;

std::string report(const Counts &counts)
{
    std::string r;
    for (int v = 0; v < 256; v++)
        r += std::to_string(v) + ' ' + std::to_string(counts[std::size_t(v)]) + '\n';
    return r;
}

// The report bytefreq owes for a file holding `data`.
std::string expected_report(const std::string &data)
{
    Counts counts{};
    for (std::size_t i = 20; i < data.size(); i++)
        counts[static_cast<unsigned char>(data[i])]++;
    return report(counts);
}

// The input as hex, so that a failure shows what broke it.
std::string show(const std::string &data)
{
    std::ostringstream s;
    s << data.size() << " bytes:" << std::hex;
    for (std::size_t i = 0; i < data.size() && i < 600; i++)
        s << ' ' << unsigned(static_cast<unsigned char>(data[i]));
    if (data.size() > 600)
        s << " ...";
    return s.str();
}

// The first 16 KiB after the header are counted apart from the rest: inputs
// meant for the rest of the counting start with this much, and come through
// a pipe, as a regular file under 64 KiB is counted apart to its end.
constexpr std::size_t first_counted_apart = std::size_t{16} << 10;
constexpr std::size_t small_file = std::size_t{64} << 10;

// Bytes that run through every value, in an order that is not just ascending.
std::string pattern(std::size_t n)
{
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; i++)
        s[i] = static_cast<char>((i * 167 + 13) & 0xFF);
    return s;
}

std::string slurp(const fs::path &p)
{
    std::ifstream f(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

enum class Out { capture, dev_full, closed, broken_pipe };

struct Invocation {
    std::vector<std::string> args{};  // after the program name
    Out out = Out::capture;
    std::optional<std::string> feed{};  // written once bytefreq has started...
    fs::path feed_path{};               // ...to this FIFO, or else to standard input as a pipe
};

struct Result {
    std::string out, err;
    int status = -1;  // the exit status, or 128 + the signal that ended it
    long maxrss_kib = 0;
};

class Bytefreq : public ::testing::Test {
protected:
    fs::path dir;

    static void SetUpTestSuite()
    {
        // Pipes must not land on 0, 1 or 2 even when the runner was started
        // without them (CI has no standard input).
        for (int fd = 0; fd <= 2; fd++) {
            if (fcntl(fd, F_GETFD) == -1) {
                ASSERT_EQ(open("/dev/null", O_RDWR), fd);
            }
        }
        // A reader that quits early must not kill the test; bytefreq itself
        // gets the default action back.
        ASSERT_NE(signal(SIGPIPE, SIG_IGN), SIG_ERR);
    }

    void SetUp() override
    {
        std::string t = (fs::temp_directory_path() / "bytefreq-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(t.data()), nullptr);
        dir = t;
    }

    void TearDown() override { fs::remove_all(dir); }

    void write(const std::string &name, const std::string &data)
    {
        std::ofstream(dir / name, std::ios::binary) << data;
    }

    // Runs bytefreq in `dir`, standard input from /dev/null unless fed.
    Result run(const Invocation &r)
    {
        std::vector<char *> argv;
        for (const char *word : {LAUNCHER BYTEFREQ})
            argv.push_back(const_cast<char *>(word));
        for (const auto &a : r.args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);

        const std::string out_path = dir / ".stdout", err_path = dir / ".stderr";
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addchdir_np(&fa, dir.c_str());
        int in_pipe[2] = {-1, -1}, out_pipe[2] = {-1, -1};
        if (r.feed && r.feed_path.empty()) {
            EXPECT_EQ(pipe2(in_pipe, O_CLOEXEC), 0);
            posix_spawn_file_actions_adddup2(&fa, in_pipe[0], 0);
        } else {
            posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        }
        switch (r.out) {
        case Out::capture:
            posix_spawn_file_actions_addopen(&fa, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                             0600);
            break;
        case Out::dev_full:
            posix_spawn_file_actions_addopen(&fa, 1, "/dev/full", O_WRONLY, 0);
            break;
        case Out::closed: posix_spawn_file_actions_addclose(&fa, 1); break;
        case Out::broken_pipe:
            EXPECT_EQ(pipe2(out_pipe, O_CLOEXEC), 0);
            close(out_pipe[0]);
            posix_spawn_file_actions_adddup2(&fa, out_pipe[1], 1);
            break;
        }
        posix_spawn_file_actions_addopen(&fa, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);

        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t dfl;
        sigemptyset(&dfl);
        sigaddset(&dfl, SIGPIPE);
        posix_spawnattr_setsigdefault(&attr, &dfl);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);

        pid_t pid;
        const int spawned = posix_spawn(&pid, argv[0], &fa, &attr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        posix_spawnattr_destroy(&attr);
        for (int fd : {in_pipe[0], out_pipe[1]})
            if (fd != -1)
                close(fd);
        Result res;
        if (spawned != 0) {
            if (in_pipe[1] != -1)
                close(in_pipe[1]);
            ADD_FAILURE() << "cannot start " << argv[0] << ": " << std::strerror(spawned);
            return res;
        }

        if (r.feed) {
            // bytefreq may stop reading early; EPIPE here is its business.
            const int fd = r.feed_path.empty() ? in_pipe[1] : open(r.feed_path.c_str(), O_WRONLY);
            for (std::size_t done = 0; done < r.feed->size();) {
                const ssize_t w = ::write(fd, r.feed->data() + done, r.feed->size() - done);
                if (w <= 0)
                    break;
                done += std::size_t(w);
            }
            close(fd);
        }

        int st = 0;
        rusage ru{};
        EXPECT_EQ(wait4(pid, &st, 0, &ru), pid);
        res.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        res.maxrss_kib = ru.ru_maxrss;
        if (r.out == Out::capture)
            res.out = slurp(out_path);
        res.err = slurp(err_path);
        return res;
    }

    // Runs bytefreq and expects the report for `data` with status 0.
    void expect_report(const Invocation &r, const std::string &data)
    {
        const Result res = run(r);
        EXPECT_EQ(res.out, expected_report(data));
        EXPECT_EQ(res.err, "");
        EXPECT_EQ(res.status, 0);
    }
};

TEST_F(Bytefreq, FailsSilentlyWithoutAReadableFile)
{
    fs::create_directory(dir / "sub");
    const struct {
        const char *name;
        std::vector<std::string> args;
    } cases[] = {
        {"no argument", {}},
        {"missing file", {"missing"}},
        {"empty path", {""}},
        {"directory given as .", {"."}},
        {"directory", {"sub", "ignored"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const Result res = run({.args = c.args});
        EXPECT_EQ(res.out, "");
        EXPECT_EQ(res.err, "");
        EXPECT_EQ(res.status, 1);
    }
}

TEST_F(Bytefreq, CountsFilesPipesAndFifosAlike)
{
    std::string high(20, 'h');
    for (int v = 0x80; v <= 0xFF; v++)
        high.append(std::size_t(v - 0x7F), static_cast<char>(v));
    std::vector<std::pair<std::string, std::string>> cases = {
        {"empty", ""},
        {"19 bytes", pattern(19)},
        {"20 bytes", pattern(20)},
        {"21 bytes", pattern(21)},
        {"0xFF header then 0x00", std::string(20, '\xFF') + '\0'},
        {"0x80 to 0xFF", high},
        {"line ends and ^Z", std::string(20, '\n') + "\n\r\x1A\r\n\x1A\x1A a\n"},
        {"every value, 3 times", std::string(20, '\0') + pattern(768)},
    };
    // Blocks of one repeated value are counted in bulk; these come close.
    const std::string h(20, 'h');
    const std::string runs[][2] = {
        {"a block of one value", h + std::string(256, 'A')},
        {"a block alike at both ends only", h + 'A' + std::string(254, 'B') + 'A'},
        {"a block of one value but its middle",
         h + std::string(128, 'A') + 'B' + std::string(127, 'A')},
        {"a block of one value but its last", h + std::string(255, '\xFF') + '\0'},
        {"0xFF across blocks and a short last block", h + std::string(1000, '\xFF')},
        {"zeros between mixed blocks", h + pattern(300) + std::string(700, '\0') + pattern(77)},
    };
    // Each of these also after the part counted apart.
    const std::string first = h + pattern(first_counted_apart);
    for (const auto &[name, data] : runs) {
        cases.emplace_back(name, data);
        cases.emplace_back(name + ", after 16 KiB", first + data.substr(20));
    }
    for (std::size_t blocks = 1; blocks <= 4; blocks++)
        for (std::size_t n = 256 * blocks - 1; n <= 256 * blocks + 1; n++) {
            cases.emplace_back(std::to_string(20 + n) + " bytes", pattern(20 + n));
            cases.emplace_back("16 KiB and " + std::to_string(n) + " bytes", first + pattern(n));
        }
    // Counting changes method past the first 16 KiB, for a regular file at
    // 64 KiB, and past the first MiB.
    const std::size_t mib = std::size_t{1} << 20;
    for (const std::size_t n :
         {first_counted_apart - 1, first_counted_apart, first_counted_apart + 1, small_file - 21,
          small_file - 20, small_file - 19, mib, mib + 256, mib + 257, mib + 512})
        cases.emplace_back(std::to_string(n) + " bytes after the header", pattern(20 + n));
    // Its third MiB is counted by pairs of bytes in 8-bit counters, which
    // this pattern wraps 16 times each.
    cases.emplace_back("a file of some MiB", pattern(3 << 20) + "tail");

    const fs::path fifo = dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const auto &[name, data] : cases) {
        SCOPED_TRACE(name + ", input " + show(data));
        write("data", data);
        {
            SCOPED_TRACE("regular file");
            expect_report({.args = {"data"}}, data);
        }
        {
            SCOPED_TRACE("pipe through /dev/stdin");
            expect_report({.args = {"/dev/stdin"}, .feed = data}, data);
        }
        {
            SCOPED_TRACE("FIFO");
            expect_report({.args = {"fifo"}, .feed = data, .feed_path = fifo}, data);
        }
    }
}

TEST_F(Bytefreq, UsesOnlyTheFirstArgumentAndDashIsAFileName)
{
    const std::string data = pattern(300), other = pattern(999);
    write("-", data);
    write("other", other);
    const std::vector<std::string> cases[] = {
        {"-"},
        {"-", "other"},
        {"-", "missing", "--help", ""},
    };
    for (const auto &args : cases) {
        SCOPED_TRACE(testing::PrintToString(args));
        expect_report({.args = args}, data);
    }
    expect_report({.args = {"other", "-"}}, other);
}

TEST_F(Bytefreq, FailsWhenTheReportCannotBeWritten)
{
    write("data", pattern(1000));
    const struct {
        const char *name;
        Out out;
        int status;
    } cases[] = {
        {"/dev/full", Out::dev_full, 1},
        {"closed standard output", Out::closed, 1},
        {"pipe without a reader", Out::broken_pipe, 128 + SIGPIPE},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const Result res = run({.args = {"data"}, .out = c.out});
        EXPECT_EQ(res.err, "");
        EXPECT_EQ(res.status, c.status);
    }
}

// Kinds of data that real files hold and that take different ways through
// the counting: bytes appended to `data` until it holds `n`.
using Rng = std::mt19937_64;
void append_kind(std::string &data, std::size_t n, std::size_t kind, Rng &rng)
{
    auto below = [&](std::uint64_t m) { return std::size_t(rng() % m); };
    auto byte = [&](std::uint64_t v) { return static_cast<char>(v & 0xFF); };
    const std::size_t period = 1 + below(12);
    std::string cycle;
    for (std::size_t i = 0; i < period; i++)
        cycle += byte(rng());
    const char value = byte(rng());
    while (data.size() < n) {
        switch (kind) {
        case 0: data += byte(rng()); break;                                        // random
        case 1: data += " \netaoinshrdlu,.TEA"[below(19)]; break;                  // text
        case 2: data.append(1 + below(359), '\0') += byte(1 + below(255)); break;  // sparse
        case 3: data += cycle; break;                                              // periodic
        case 4: (data += "etaoin  "[below(8)]) += '\0'; break;                     // UTF-16
        case 5: data.append(1, "etaoin  "[below(8)]).append(3, '\0'); break;       // UTF-32
        case 6: data.append(1 + below(600), byte(rng())); break;                   // runs
        case 7: {                                                                  // doubles
            const std::uint64_t w = (rng() >> 16) | 0x40A0000000000000;
            data.append(reinterpret_cast<const char *>(&w), 8);
            break;
        }
        case 8: data += byte(data.size() % 4 == 3 ? 255 : data.size() / 997); break;  // pixels
        case 9: data += byte(0x80 | below(0x80)); break;                              // high bytes
        case 10: data += "\x01\x7F\x80\xFE"[below(4)]; break;                         // few values
        default: data += below(256) == 0 ? byte(rng()) : value; break;  // one value, nearly
        }
    }
    data.resize(n);
}
constexpr std::size_t kinds = 12;

TEST_F(Bytefreq, MatchesAPlainCountOnRandomInputs)
{
    constexpr std::uint64_t seed = 20261208;
    Rng rng(seed);  // NOLINT(cert-msc32-c,cert-msc51-cpp): fixed, so that failures repeat
    auto below = [&](std::uint64_t n) { return std::size_t(rng() % n); };
    for (int i = 0; i < 300 && !HasFailure(); i++) {
        // Mostly short, where blocks and vectors end, half of them after the
        // part counted apart (through a pipe); some long enough for the
        // narrow counters to be widened and for the ways of counting to be
        // timed against each other, which starts at 2 MiB.
        const std::size_t n = i % 40 == 0  ? (std::size_t(2) << 20) + below(std::size_t(3) << 20)
                              : i % 4 == 0 ? below(300000)
                                           : std::size_t(i % 2) * first_counted_apart + below(1500);
        // A kind of its own, or one that changes every few KiB at odd
        // offsets, so that any switch between ways of counting falls mid-file.
        const std::size_t kind = below(kinds + 1);
        std::string data;
        while (data.size() < n)
            append_kind(data, kind < kinds ? n : std::min(n, data.size() + 1 + below(8000)),
                        kind < kinds ? kind : below(kinds), rng);
        SCOPED_TRACE("seed " + std::to_string(seed) + ", case " + std::to_string(i) + ", kind " +
                     std::to_string(kind) + ", input " + show(data));
        if (i % 2 == 1) {
            expect_report({.args = {"/dev/stdin"}, .feed = data}, data);
            continue;
        }
        write("data", data);
        expect_report({.args = {"data"}}, data);
    }
}

// The vector counting sorts bytes into bins by their top two bits and
// counts the bins 128 bytes at a time every 16 blocks (4096 bytes), with
// 8-bit counts widened every 31 runs of 128: these inputs sit on those
// edges, all in one bin or spread over all four, and on the limits of the
// other ways, after the part counted apart (through a pipe, for the shorter
// ones). Every build runs them, whichever way it counts with.
TEST_F(Bytefreq, CountsAtTheVectorCountingEdges)
{
    const std::string first = std::string(20, 'h') + pattern(first_counted_apart);
    std::vector<std::pair<std::string, std::string>> cases;
    Rng rng(7);  // NOLINT(cert-msc32-c,cert-msc51-cpp): fixed, so that failures repeat
    const std::size_t widening = std::size_t{31} * 128;
    const std::size_t lengths[] = {1,    63,           64,       65,           127,
                                   128,  129,          255,      4095,         4096,
                                   4097, widening - 1, widening, widening + 1, 4 * widening + 77};
    for (const std::size_t n : lengths) {
        for (const unsigned bin : {0u, 1u, 2u, 3u, 4u}) {
            std::string data = first;
            for (std::size_t i = 0; i < n; i++)
                data += static_cast<char>(bin < 4 ? std::uint64_t{64} * bin + rng() % 64 : rng());
            cases.emplace_back("bin " + std::to_string(bin), data);
        }
    }
    for (const auto &[name, body] : shapes::edge_cases())
        cases.emplace_back(name, first + std::string(body.begin(), body.end()));
    for (const auto &[name, data] : cases) {
        SCOPED_TRACE(name + ", input " + show(data));
        expect_report({.args = {"/dev/stdin"}, .feed = data}, data);
    }
    // One value in every byte but one a block: an 8-bit count that missed
    // its widening would wrap long before the end.
    std::string dominant = first;
    for (int block = 0; block < 400; block++)
        dominant.append(255, '\xC5') += static_cast<char>(block);
    SCOPED_TRACE("one value dominant, input " + show(dominant));
    write("data", dominant);
    expect_report({.args = {"data"}}, dominant);
}

// Without vector counting, counts are kept in 32-bit tables that are added
// into the totals every 16 MiB of blocks; this input crosses that point
// twice, with most values common, some rare and some absent.
TEST_F(Bytefreq, StaysExactOverTensOfMiB)
{
    std::mt19937_64 rng(20261208);  // NOLINT(cert-msc32-c,cert-msc51-cpp): same input every run
    std::string data(20 + (std::size_t(48) << 20) + 12345, '\0');
    for (char &c : data)
        c = static_cast<char>(rng() & rng() & 0xF7);
    write("data", data);
    expect_report({.args = {"data"}}, data);
}

// Inputs of gigabytes, made sparse so that they cost no disk.
class LargeCounts : public Bytefreq {
protected:
    void make_sparse(const std::string &name, off_t size, const std::string &tail)
    {
        const int fd = open((dir / name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        // cppcheck-suppress resourceLeak ; when fd is -1 nothing is open
        ASSERT_NE(fd, -1);
        // Closed before any assertion can return.
        const bool sized = ftruncate(fd, size) == 0;
        const bool written = pwrite(fd, tail.data(), tail.size(), size) == ssize_t(tail.size());
        close(fd);
        ASSERT_TRUE(sized && written) << "cannot make " << name;
    }
};

TEST_F(LargeCounts, AreExactPastFourGiB)
{
    const off_t zeros = (off_t(1) << 32) + 1;
    make_sparse("huge", 20 + zeros, "\xFF\x01");
    Counts counts{};
    counts[0] = std::uint64_t(zeros);
    counts[1] = counts[255] = 1;
    const Result res = run({.args = {"huge"}});
    EXPECT_EQ(res.out, report(counts));
    EXPECT_EQ(res.err, "");
    EXPECT_EQ(res.status, 0);
}

TEST_F(LargeCounts, UseTheSameMemoryForAnyInputSize)
{
    make_sparse("small", 1 << 20, "");
    make_sparse("big", off_t(1) << 30, "");
    const Result small = run({.args = {"small"}}), big = run({.args = {"big"}});
    EXPECT_EQ(small.status, 0);
    EXPECT_EQ(big.status, 0);
    // Slack for the smaller read buffer that small files get, and for the
    // noise of a few hundred KiB that sanitizer runtimes add.
    EXPECT_LE(big.maxrss_kib, small.maxrss_kib + 4096)
        << "peak memory grows with the input: " << small.maxrss_kib << " KiB for 1 MiB, "
        << big.maxrss_kib << " KiB for 1 GiB";
}

}  // namespace
