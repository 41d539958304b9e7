#!/usr/bin/env python3
"""Puts small faults into bytefreq's counting code one at a time, runs the
suite on each, and lists the faults that it lets pass.

    tests/mutate.py [--list] [--sanitize] [--only TEXT] [BUILD-DIRECTORY]

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
faults whose line holds TEXT. It exits 1 if any fault survives. A full run
takes about an hour on 2 cores, and --sanitize adds some 40 seconds for each
fault that the release build passes.
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
# (stripped) and the line as changed, with the reason.
KNOWN = {}


def known(reason, line, *changed):
    for c in changed:
        KNOWN[(line, c)] = reason


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
    only = None
    if "--only" in args:
        only = args[args.index("--only") + 1]
        del args[args.index("--only"):args.index("--only") + 2]
    args = [a for a in args if a not in ("--list", "--sanitize")]

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
        shutil.copy2(os.path.join(ROOT, name), os.path.join(tree, name))
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
            mutant = lines[:i] + [changed] + lines[i + 1:]
            with open(target, "w") as f:
                f.write("\n".join(mutant))
            if not builds(build):
                verdict = "does not build"
            elif fingerprint(build) == original:
                verdict = "same code"
            elif not passes(build):
                verdict = "caught"
            elif (lines[i].strip(), changed.strip()) in KNOWN:
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
    print(f"\n{len(todo)} faults in {minutes:.0f} minutes: " +
          ", ".join(f"{count} {verdict}" for verdict, count in tally.items()))
    for i, changed in survivors:
        print(f"SURVIVES {SOURCE}:{i + 1}: {lines[i].strip()}\n    -> {changed.strip()}")
    return 1 if survivors else 0


if __name__ == "__main__":
    sys.exit(main())
