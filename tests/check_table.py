#!/usr/bin/env python3
"""Reads the per-file recipe's table back with Python's csv module, as a
user would, and checks it against the files themselves: a header row
`path,0,...,255`, then one row a file under FOLDER, each with the file's
path and the count of each byte value after its first 20 bytes.

    check_table.py TABLE FOLDER
"""

import csv
import os
import sys


def main():
    table, folder = sys.argv[1], sys.argv[2]
    with open(table, newline="", errors="surrogateescape") as f:
        rows = list(csv.reader(f))
    if not rows or rows[0] != ["path"] + [str(v) for v in range(256)]:
        print(f"{table}: no header row, or a wrong one", file=sys.stderr)
        return 1
    want = set()
    for top, _, names in os.walk(os.fsencode(os.path.join(folder, "data"))):
        want.update(os.path.relpath(os.path.join(top, n), os.fsencode(folder)) for n in names)
    seen = set()
    for row in rows[1:]:
        path = os.fsencode(row[0])
        if len(row) != 257 or path in seen or path not in want:
            print(f"{table}: a row for {path!r} of {len(row)} fields, seen before or not a file",
                  file=sys.stderr)
            return 1
        seen.add(path)
        with open(os.path.join(os.fsencode(folder), path), "rb") as f:
            data = f.read()[20:]
        counts = [0] * 256
        for v in range(256):
            counts[v] = data.count(bytes([v]))
        if [int(c) for c in row[1:]] != counts:
            print(f"{table}: wrong counts for {path!r}", file=sys.stderr)
            return 1
    if seen != want:
        print(f"{table}: no row for {sorted(want - seen)[:3]}", file=sys.stderr)
        return 1
    print(f"{table}: {len(seen)} rows, each the counts of its file")
    return 0


if __name__ == "__main__":
    sys.exit(main())
