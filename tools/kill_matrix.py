#!/usr/bin/env python3
"""What each unit test alone guards, from the kill matrices of `mutate.py --matrix`.

Reads one or more matrix files (one JSON line a mutant: the unit tests it fails) and the
unit test sources (for each test's length in lines), then prints:

  - per test: the mutants it kills and those only it kills;
  - the tests that could go without losing a kill of the sample: removed one at a time,
    longest first, while every mutant each one kills is still killed by at least K other
    remaining tests (--redundancy K, default 1). Tests that guard what mutants cannot
    show (the platform back-ends, races, golden bytes) are never proposed;
  - with --held-out FILE: how many of that sample's kills (mutants not in the others)
    the proposed removals would lose, the check that the proposal is not just fitted to
    the sample it came from.

Standard library only; reads files, writes nothing.
"""

import argparse
import collections
import glob
import json
import os
import re
import sys

# Kept whatever a sample says: suites of the platform back-ends (not mutated), golden
# bytes, and tests of two threads at once (a race shows no mutant deterministically).
KEEP_FILES = {"platform_contract_test.cc", "platform_posix_test.cc", "platform_win32_test.cc",
              "platform_window_test.cc", "crc_reference_test.cc"}
KEEP_NAMES = re.compile(r"Concurrent|TwoThreads|LinkThread|TakeTurns|Golden|EveryOffset")


def load(paths):
    rows = {}
    for p in paths:
        with open(p, encoding="utf-8") as fh:
            for line in fh:
                if line.strip():
                    r = json.loads(line)
                    rows[r["mutant"]] = r
    return rows


def base_name(test):
    """ "Backends/ContractTest.X/posix" -> "ContractTest.X"."""
    parts = test.split("/")
    if len(parts) == 1:
        return test
    return parts[1] if "." in parts[1] else test


def test_spans(root):
    spans = {}
    for p in sorted(glob.glob(os.path.join(root, "tests", "unit", "*_test.cc"))):
        with open(p, encoding="utf-8") as fh:
            lines = fh.read().split("\n")
        starts = []
        for i, l in enumerate(lines):
            m = re.match(r"(TEST|TEST_F|TEST_P)\((\w+),\s*(\w+)\)", l)
            if m:
                starts.append((i, m.group(2) + "." + m.group(3)))
        for k, (i, name) in enumerate(starts):
            end = starts[k + 1][0] if k + 1 < len(starts) else len(lines)
            spans[name] = (os.path.basename(p), i + 1, end - i)
    return spans


def killers_of(rows):
    return {m: {base_name(t) for t in r["failed"]}
            for m, r in rows.items() if r["outcome"] == "killed"}


def propose(killers, spans, redundancy):
    alive = set(spans)
    removed = []
    while True:
        best = None
        for t in sorted(alive):
            if spans[t][0] in KEEP_FILES or KEEP_NAMES.search(t):
                continue
            mine = [ks for ks in killers.values() if t in ks]
            if not mine or any(len((ks & alive) - {t}) < redundancy for ks in mine):
                continue
            if best is None or spans[t][2] > spans[best][2]:
                best = t
        if best is None:
            return removed
        alive.discard(best)
        removed.append(best)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("matrix", nargs="+", help="matrix files of mutate.py --matrix")
    ap.add_argument("--root", default=os.path.dirname(os.path.dirname(os.path.abspath(
        __file__))), help="checkout (default: this one)")
    ap.add_argument("--redundancy", type=int, default=1)
    ap.add_argument("--held-out", default=None, help="a matrix of another sample")
    args = ap.parse_args(argv)

    rows = load(args.matrix)
    spans = test_spans(args.root)
    killers = killers_of(rows)
    total = collections.Counter()
    only = collections.Counter()
    for ks in killers.values():
        for t in ks:
            total[t] += 1
        if len(ks) == 1:
            only[next(iter(ks))] += 1
    print("%d mutants, %d killed by the unit tests, %d survive them" % (
        len(rows), len(killers), sum(1 for r in rows.values() if r["outcome"] == "survived")))
    print("\n%5s %5s %5s  %s" % ("lines", "kills", "only", "test"))
    for t in sorted(spans, key=lambda t: (only[t], total[t], t)):
        print("%5d %5d %5d  %s" % (spans[t][2], total[t], only[t], t))

    removed = propose(killers, spans, args.redundancy)
    lines = sum(spans[t][2] for t in removed)
    print("\ntests whose every kill another %d test(s) also make: %d, %d lines" % (
        args.redundancy, len(removed), lines))
    for t in removed:
        print("  %4d  %s  (%s:%d)" % (spans[t][2], t, spans[t][0], spans[t][1]))
    if args.held_out:
        held = load([args.held_out])
        fresh = {m: ks for m, ks in killers_of(held).items() if m not in rows}
        lost = [m for m, ks in fresh.items() if ks <= set(removed)]
        print("\nheld-out sample: %d kills of mutants not in the others; without those tests "
              "%d would be lost" % (len(fresh), len(lost)))
        for m in lost:
            print("  " + m)
    return 0


if __name__ == "__main__":
    sys.exit(main())
