#!/usr/bin/env python3
"""Puts small faults into bytefreq's counting code one at a time, runs the
suite on each, and lists the faults that it lets pass.

    tests/mutate.py [--list] [--sanitize] [--only TEXT] [--from N] [BUILD-DIRECTORY]

Each fault is one change to one line of the counting code in
src/bytefreq.cpp (from the first anonymous namespace to main): a comparison
turned, a condition negated, && for || and back, + for - and back, a
constant moved by one, ++ for --, true for false. Each is built in a copy of
the tree (BUILD-DIRECTORY, a new temporary folder if not given) and judged:

- does not build: a static_assert or the compiler refuses it;
- same code: bytefreq and the counting the tests link compile to the very
  bytes they were, so no test can tell;
- caught: `ctest -LE 'large|scale'` fails in the release build;
- known: it passes, and KNOWN below says why it changes no count;
- caught: with --sanitize, a fault the release build passes, and KNOWN
  does not explain, fails in the sanitize build (clang's sanitizers, with
  assertions), as CI runs both;
- survives: it passes, and nothing says why. Each of these wants a test
  that catches it, or a line in KNOWN.

--list prints the faults without building any; --only TEXT tries only the
faults whose line holds TEXT; --from N starts at the Nth fault, to finish a
run that was cut short. It exits 1 if any fault survives. A full run
takes about 100 minutes on 2 cores, and --sanitize adds some 40 seconds
for each fault that the release build passes.
"""

import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCE = "src/bytefreq.cpp"

# Faults that pass the suite and change no count, by the line as written
# (stripped) and the line as changed, with the reason; KNOWN_LINES, lines
# where no fault changes a count.
KNOWN = {}
KNOWN_LINES = {}


def known(reason, line, *changed):
    for c in changed:
        KNOWN[(line, c)] = reason


def known_line(reason, *lines):
    for line in lines:
        KNOWN_LINES[line] = reason


known_line("when and how the epochs are timed, and so which layout counts: every layout counts "
           "exactly",
           "return std::uint64_t(t.tv_sec) * 1000000000 + std::uint64_t(t.tv_nsec);",
           "const std::uint64_t quarter = t.full_blocks / (epoch_blocks / 4);",
           "if (quarter % 4 == 1)", "else if (quarter == 4)", "else if (quarter % 4 == 0)",
           "(void)bytefreq::next_layout(t.choice, now_ns() - t.epoch_start);",
           "if (++t.full_blocks % (epoch_blocks / 4) == 0 && t.timed)",
           '{"portable", "", always, count_with_tables<layout::bytes, true>, finish_tables},',
           '{"bytes", "", always, count_with_tables<layout::bytes, false>, finish_tables},',
           '{"pairs", "", always, count_with_tables<layout::pairs, false>, finish_tables},',
           '{"narrow-pairs", "", always, count_with_tables<layout::narrow_pairs, false>, '
           'finish_tables},')
known_line("when the vector way tests a block for bytes of 0x80 and above: the test itself "
           "decides where they go",
           "c.upper_idle = fill[2] + fill[3] == c.upper_fill;", "c.upper_fill = fill[2] + fill[3];")
known("a fold of pair tables that were not used adds zeros",
      "t.pairs_used = t.narrow_pairs_used = false;", "t.pairs_used = t.narrow_pairs_used = true;")
known("the tables are folded earlier, or at every block: slower, as exact",
      "t.since_fold = 0;", "t.since_fold = 1;")
known("the tables are folded earlier, or at every block: slower, as exact",
      "if (t.since_fold == fold_blocks)", "if (t.since_fold != fold_blocks)",
      "if (!(t.since_fold == fold_blocks))")
known("a beat of another number of blocks: the bins are made for it, and it holds",
      "constexpr unsigned blocks_per_count = 16;", "constexpr unsigned blocks_per_count = 17;",
      "constexpr unsigned blocks_per_count = 15;")
known("a beat one block shorter, once: the bins hold it",
      "c.blocks_binned = 0;", "c.blocks_binned = 1;")
known("a beat at every block: slower, as exact",
      "if (++c.blocks_binned == blocks_per_count)", "if (++c.blocks_binned != blocks_per_count)",
      "if (!(++c.blocks_binned == blocks_per_count))")
for line, changed in [
        ("__m512i ones[4], twos[4], fours[4], eights[4];  // bit planes, per bin",
         ["__m512i ones[5], twos[4], fours[4], eights[4];  // bit planes, per bin",
          "__m512i ones[4], twos[5], fours[4], eights[4];  // bit planes, per bin",
          "__m512i ones[4], twos[4], fours[5], eights[4];  // bit planes, per bin",
          "__m512i ones[4], twos[4], fours[4], eights[5];  // bit planes, per bin"]),
        ("__m512i sixteens[4];                            // 8-bit counts of sixteens",
         ["__m512i sixteens[5];                            // 8-bit counts of sixteens"]),
        ("unsigned char bins[4][blocks_per_count * block_size + std::size_t{2} * chunk];",
         ["unsigned char bins[5][blocks_per_count * block_size + std::size_t{2} * chunk];",
          "unsigned char bins[4][blocks_per_count * block_size + std::size_t{3} * chunk];"]),
        ("unsigned fill[4];", ["unsigned fill[5];"]),
        ("unsigned since_widening[4];", ["unsigned since_widening[5];"]),
        ("using first_tables = std::uint16_t[8][256];",
         ["using first_tables = std::uint16_t[8][257];"])]:
    known("an array larger than it need be", line, *changed)
known("a regular file a block larger or smaller is counted in the first tables to its end, "
      "within their 16-bit bound; the rest exactly by the way that follows",
      "constexpr std::size_t small_file_blocks = 256;",
      "constexpr std::size_t small_file_blocks = 257;",
      "constexpr std::size_t small_file_blocks = 255;")
known("the 8-bit counts are widened at every plane, or one plane early: before they can overflow",
      "if (++since_widening == sixteens_per_widening) {",
      "if (++since_widening != sixteens_per_widening) {",
      "if (!(++since_widening == sixteens_per_widening)) {")
known("the 8-bit counts are widened one plane early: before they can overflow",
      "since_widening = 0;", "since_widening = 1;")
known("no block is taken for one below 0x80: each is sorted into all four bins",
      "const __m512i any = _mm512_ternarylogic_epi64(x[0], x[1], x[2], 0xFE);  // a | b | c",
      "const __m512i any = _mm512_ternarylogic_epi64(x[0], x[1], x[2], 0xFF);  // a | b | c")
known("the word the block is held against is zero, or the same from the next piece: only blocks "
      "that do repeat are taken for such",
      "const __m512i word = _mm512_maskz_permutexvar_epi64(0xFF, _mm512_setzero_si512(), x[0]);",
      "const __m512i word = _mm512_maskz_permutexvar_epi64(0x100, _mm512_setzero_si512(), x[0]);",
      "const __m512i word = _mm512_maskz_permutexvar_epi64(0xFE, _mm512_setzero_si512(), x[0]);",
      "const __m512i word = _mm512_maskz_permutexvar_epi64(0xFF, _mm512_setzero_si512(), x[1]);")
known("no block is taken for one that repeats: each is counted byte by byte",
      "const __m512i differ = _mm512_or_si512(_mm512_ternarylogic_epi64(x[0], x[1], word, 0x7E),",
      "const __m512i differ = _mm512_or_si512(_mm512_ternarylogic_epi64(x[0], x[1], word, 0x7F),")
known("no block is taken for one that repeats: each is counted byte by byte",
      "_mm512_ternarylogic_epi64(x[2], x[3], word, 0x7E));",
      "_mm512_ternarylogic_epi64(x[2], x[3], word, 0x7F));")
known("a short block of a whole number of vectors sorts one more, of no bytes",
      "if (i < n) {", "if (i <= n) {")
known("a bin of a whole number of chunks is counted with one more, all padding, which is taken "
      "off again",
      "const unsigned chunks = (fill[bin] + chunk - 1) / chunk;",
      "const unsigned chunks = (fill[bin] + chunk - 0) / chunk;")
known("the padding a last chunk needs is at most 127 bytes, which two stores 63 apart cover too",
      "_mm512_storeu_si512(c.bins[bin] + fill[bin] + 64 * k, _mm512_setzero_si512());",
      "_mm512_storeu_si512(c.bins[bin] + fill[bin] + 63 * k, _mm512_setzero_si512());")
known("the first tables count one block less; the way that follows counts it",
      "std::size_t blocks = 0, n = block_size;", "std::size_t blocks = 1, n = block_size;")
known("a read after the end delivers nothing again, and counts nothing",
      "while (blocks < limit && (n = fread_unlocked(block, 1, block_size, in)) > 0) {",
      "while (blocks < limit && (n = fread_unlocked(block, 1, block_size, in)) >= 0) {")
known("at the end of the input, the way that follows is started too, and reads nothing",
      "return blocks == limit && n == block_size;", "return blocks == limit || n == block_size;")


known("the epochs of the layout choice are timed over another length: counts are exact in "
      "any layout",
      "constexpr std::uint64_t epoch_blocks = (1 << 20) / block_size;",
      "constexpr std::uint64_t epoch_blocks = (2 << 20) / block_size;",
      "constexpr std::uint64_t epoch_blocks = (1 << 21) / block_size;",
      "constexpr std::uint64_t epoch_blocks = (1 << 19) / block_size;")
known("the first tables count more or fewer blocks: the rest is counted exactly either way",
      "constexpr std::size_t first_blocks = 64;",
      "constexpr std::size_t first_blocks = 65;", "constexpr std::size_t first_blocks = 63;")
known("the tables are folded at another interval, still below the one their static_assert allows",
      "constexpr std::uint64_t fold_blocks = 1 << 16;",
      "constexpr std::uint64_t fold_blocks = 2 << 16;",
      "constexpr std::uint64_t fold_blocks = 1 << 17;",
      "constexpr std::uint64_t fold_blocks = 1 << 15;")
known("the 8-bit counts are widened one plane early: still before they can overflow",
      "constexpr unsigned sixteens_per_widening = 31;",
      "constexpr unsigned sixteens_per_widening = 30;")
known("each table keeps its 256 counters; the 8 after them are padding, which keeps one value's "
      "counters in two tables from lying 4 KiB apart: speed only",
      "std::uint32_t bytes[8][256 + 8];",
      "std::uint32_t bytes[8][257 + 8];", "std::uint32_t bytes[8][255 + 8];",
      "std::uint32_t bytes[8][256 + 9];", "std::uint32_t bytes[8][256 + 7];")
known("a pair table larger than it need be; every loop over it still takes 256 * 256",
      "std::uint32_t pairs[256 * 256];",
      "std::uint32_t pairs[257 * 256];", "std::uint32_t pairs[256 * 257];")
known("a pair table larger than it need be; every loop over it still takes 256 * 256",
      "std::uint8_t narrow_pairs[256 * 256];",
      "std::uint8_t narrow_pairs[257 * 256];", "std::uint8_t narrow_pairs[256 * 257];")
known("byte i goes to table i % 7: still one of the eight tables, which all add up, and the "
      "16-bit ones take at most 37 * 256 increments",
      "t[i % 8][block[i]]++;", "t[i % 7][block[i]]++;")
known("a block of exactly 16 bytes that repeats (only ever a short last block) is counted by the "
      "tables instead",
      "return n >= 16 && std::memcmp(block, block + 8, 8) == 0 &&",
      "return n > 16 && std::memcmp(block, block + 8, 8) == 0 &&",
      "return n >= 17 && std::memcmp(block, block + 8, 8) == 0 &&")
known("a stricter test: the 9th byte, compared too, repeats in every block that passes the first",
      "return n >= 16 && std::memcmp(block, block + 8, 8) == 0 &&",
      "return n >= 16 && std::memcmp(block, block + 8, 9) == 0 &&")
known("a stricter test of a run: its 9th byte is the same value too, or the block is counted "
      "by its 8",
      "if (std::memcmp(block, block + 1, 7) == 0) {",
      "if (std::memcmp(block, block + 1, 8) == 0) {")
known("the CPU is asked for leaf 7 only where it has one; every CPU with AVX-512 has leaves "
      "past 7 (leaf 13 describes what XSAVE saves), and a signature (leaf 1) far above 7",
      "r.max_leaf = static_cast<unsigned>(__get_cpuid_max(0, nullptr));",
      "r.max_leaf = static_cast<unsigned>(__get_cpuid_max(1, nullptr));")
known("the CPU is asked for leaf 7 only where it has one; every CPU with AVX-512 has leaves "
      "past 7 (leaf 13 describes what XSAVE saves), and avx512_usable tests max_leaf itself",
      "if (r.max_leaf >= 7) {", "if (r.max_leaf > 7) {", "if (r.max_leaf >= 8) {",
      "if (r.max_leaf >= 6) {")
known("XCR0 is then read on every CPU, and avx512_usable still tests OSXSAVE itself; only a CPU "
      "without OSXSAVE, where reading XCR0 faults, would tell, and every x86-64 CPU that runs the "
      "tests has it",
      "if ((r.leaf_1_ecx & bit_OSXSAVE) != 0)", "if ((r.leaf_1_ecx & bit_OSXSAVE) != 1)")
known("in a run of one value the second byte is the first",
      "byte_counts[block[0]] += n;", "byte_counts[block[1]] += n;")


def code_part(line):
    """The line without its comment and with its strings blanked, so that
    faults go into code alone."""
    line = re.sub(r'"(\\.|[^"\\])*"', lambda m: '"' + " " * (len(m.group(0)) - 2) + '"', line)
    return line.split("//", 1)[0]


# Each operator: a pattern, and what replaces a match. Matches are tried one
# at a time, each as a fault of its own.
OPERATORS = [
    (r"==", "!="),
    (r"!=", "=="),
    (r"(?<![<>=!-])<(?![<=])", "<="),
    (r"<=", "<"),
    (r"(?<![<>=-])>(?![>=])", ">="),
    (r">=", ">"),
    (r"&&", "||"),
    (r"\|\|", "&&"),
    (r"(?<=[\w)\]]) \+ (?=[\w(])", " - "),
    (r"(?<=[\w)\]]) - (?=[\w(])", " + "),
    (r"\+\+", "--"),
    (r"\btrue\b", "false"),
    (r"\bfalse\b", "true"),
]


def number_faults(code):
    """A constant moved by one each way, in its own base."""
    for m in re.finditer(r"(?<![\w.])(0[xX][0-9A-Fa-f]+|\d+)(?![\w.])", code):
        text = m.group(1)
        value = int(text, 0)
        for moved in (value + 1, value - 1):
            if moved < 0:
                continue
            new = str(moved)
            if text.lower().startswith("0x"):
                new = "0x" + format(moved, "X")
            yield m.start(1), m.end(1), new


def condition_faults(code):
    """An if or while whose condition is negated."""
    m = re.search(r"\b(if|while) \((.*)\)", code)
    if m and m.group(2).count("(") == m.group(2).count(")"):
        yield m.start(2), m.end(2), "!(" + m.group(2) + ")"


def faults(lines):
    """(line index, changed line) for every fault, in order."""
    start = next(i for i, text in enumerate(lines) if text.startswith("namespace {"))
    end = next(i for i, text in enumerate(lines) if text.startswith("#ifndef BYTEFREQ_NO_MAIN"))
    for i in range(start, end):
        text = lines[i]
        stripped = text.strip()
        if stripped.startswith(("#", "//", "static_assert", "assert(")):
            continue
        code = code_part(text)
        edits = []
        for pattern, new in OPERATORS:
            edits += [(m.start(), m.end(), new) for m in re.finditer(pattern, code)]
        edits += list(number_faults(code))
        edits += list(condition_faults(code))
        for a, b, new in edits:
            yield i, text[:a] + new + text[b:]


def run(command, cwd, quiet=True):
    return subprocess.run(command, cwd=cwd, stdout=subprocess.DEVNULL if quiet else None,
                          stderr=subprocess.DEVNULL if quiet else None).returncode


def fingerprint(build):
    """The code of bytefreq, bytefreq-portable and the counting the tests
    link, by the objects compiled from the one source."""
    h = hashlib.sha256()
    for target in ("CMakeFiles/bytefreq.dir", "tests/CMakeFiles/bytefreq-portable.dir",
                   "tests/CMakeFiles/counting_test.dir"):
        for folder, _, files in sorted(os.walk(os.path.join(build, target))):
            for name in sorted(files):
                if name == "bytefreq.cpp.o":
                    with open(os.path.join(folder, name), "rb") as f:
                        h.update(f.read())
    return h.hexdigest()


def main():
    args = sys.argv[1:]
    listing = "--list" in args
    sanitizing = "--sanitize" in args
    only, first = None, 1
    if "--only" in args:
        only = args[args.index("--only") + 1]
        del args[args.index("--only"):args.index("--only") + 2]
    if "--from" in args:
        first = int(args[args.index("--from") + 1])
        del args[args.index("--from"):args.index("--from") + 2]
    args = [a for a in args if a not in ("--list", "--sanitize")]
    if len(args) > 1 or args and args[0].startswith("-"):
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2

    with open(os.path.join(ROOT, SOURCE)) as f:
        lines = f.read().split("\n")
    todo = [(i, changed) for i, changed in faults(lines) if only is None or only in lines[i]]
    if listing:
        for i, changed in todo:
            print(f"{SOURCE}:{i + 1}: {lines[i].strip()}\n    -> {changed.strip()}")
        print(f"{len(todo)} faults")
        return 0

    work = args[0] if args else tempfile.mkdtemp(prefix="bytefreq-mutants-")
    tree, build = os.path.join(work, "tree"), os.path.join(work, "build")
    sanitize = os.path.join(work, "build-sanitize")
    files = subprocess.run(["git", "ls-files", "-z"], cwd=ROOT, capture_output=True,
                           check=True).stdout.decode().split("\0")
    for name in filter(None, files):
        os.makedirs(os.path.dirname(os.path.join(tree, name)) or tree, exist_ok=True)
        # A fresh time stamp, so that a build folder used before builds it again
        shutil.copy(os.path.join(ROOT, name), os.path.join(tree, name))
    target = os.path.join(tree, SOURCE)
    jobs = str(os.cpu_count())

    def builds(folder):
        return run(["cmake", "--build", folder, "-j", jobs], work) == 0

    def passes(folder):
        return run(["ctest", "--test-dir", folder, "-LE", "large|scale", "-j", jobs,
                    "--stop-on-failure", "--timeout", "300"], work) == 0

    if run(["cmake", "-S", tree, "-B", build, "-DCMAKE_BUILD_TYPE=Release"], work) != 0 or \
            not builds(build) or not passes(build) or sanitizing and (
                run(["cmake", "--preset", "sanitize", "-S", tree, "-B", sanitize], tree) != 0 or
                not builds(sanitize) or not passes(sanitize)):
        print("the tree as it is does not build or pass its tests", file=sys.stderr)
        return 2
    original = fingerprint(build)

    start = time.time()
    tally = {"does not build": 0, "same code": 0, "caught": 0, "known": 0, "survives": 0}
    survivors = []
    try:
        for n, (i, changed) in enumerate(todo, 1):
            if n < first:
                continue
            mutant = lines[:i] + [changed] + lines[i + 1:]
            with open(target, "w") as f:
                f.write("\n".join(mutant))
            if not builds(build):
                verdict = "does not build"
            elif fingerprint(build) == original:
                verdict = "same code"
            elif not passes(build):
                verdict = "caught"
            elif (lines[i].strip(), changed.strip()) in KNOWN or lines[i].strip() in KNOWN_LINES:
                verdict = "known"
            elif sanitizing and (not builds(sanitize) or not passes(sanitize)):
                verdict = "caught"
            else:
                verdict = "survives"
                survivors.append((i, changed))
            tally[verdict] += 1
            print(f"[{n}/{len(todo)}] {verdict}: {SOURCE}:{i + 1}: {changed.strip()}", flush=True)
    finally:
        with open(target, "w") as f:
            f.write("\n".join(lines))
        if not args:
            shutil.rmtree(work)

    minutes = (time.time() - start) / 60
    print(f"\n{sum(tally.values())} faults in {minutes:.0f} minutes: " +
          ", ".join(f"{count} {verdict}" for verdict, count in tally.items()))
    for i, changed in survivors:
        print(f"SURVIVES {SOURCE}:{i + 1}: {lines[i].strip()}\n    -> {changed.strip()}")
    return 1 if survivors else 0


if __name__ == "__main__":
    sys.exit(main())
