"""Benchmark of simsieve.ratio against difflib (and, when installed, cydifflib, cdifflib and
rapidfuzz's Indel.normalized_similarity, a speed anchor with a different metric), side by side in
one process on the same pairs.

    PYTHONPATH=build/dev-NAME/stage python bench/bench_ratio.py [--runs 5] [--quick]

Prints a markdown table: per-pair medians over the runs and each peer's time as a multiple of
simsieve's (taken run by run, then the median). Every simsieve value is checked with == against
difflib before timing.
"""

from __future__ import annotations

import argparse
import ast
import difflib
import operator
import os
import platform
import random
import statistics
import sys
import sysconfig
import time

import simsieve
from simsieve import _simsieve as native

try:
    import cydifflib
except ImportError:
    cydifflib = None
try:
    import cdifflib
except ImportError:
    cdifflib = None
try:
    from rapidfuzz.distance import Indel
except ImportError:
    Indel = None

MODULES = [
    "difflib.py", "textwrap.py", "argparse.py", "inspect.py", "dataclasses.py", "enum.py",
    "tokenize.py", "configparser.py", "calendar.py", "statistics.py", "pprint.py", "csv.py",
    "urllib/parse.py", "email/utils.py", "json/encoder.py", "shlex.py",
]


def stdlib_text():
    root = sysconfig.get_paths()["stdlib"]
    names, lines, functions, dumps, sources = set(), [], [], [], []
    for name in MODULES:
        with open(os.path.join(root, name), encoding="utf-8") as handle:
            source = handle.read()
        sources.append(source)
        source_lines = source.splitlines(keepends=True)
        lines.extend(line.strip() for line in source_lines)
        for node in ast.walk(ast.parse(source)):
            if isinstance(node, ast.Name):
                names.add(node.id)
            elif isinstance(node, ast.Attribute):
                names.add(node.attr)
            elif isinstance(node, (ast.FunctionDef, ast.ClassDef)):
                names.add(node.name)
            if isinstance(node, ast.FunctionDef):
                functions.append("".join(source_lines[node.lineno - 1 : node.end_lineno]))
                dumps.append(ast.dump(node))
    return sorted(names), lines, functions, dumps, "\n".join(sources)


def edit(rnd, s, count, alphabet):
    chars = list(s)
    for _ in range(count):
        pos = rnd.randrange(len(chars))
        op = rnd.random()
        if op < 0.34:
            chars[pos] = rnd.choice(alphabet)
        elif op < 0.67:
            del chars[pos]
        else:
            chars.insert(pos, rnd.choice(alphabet))
    return "".join(chars)


def datasets(quick):
    rnd = random.Random(1234)
    names, lines, functions, dumps, corpus = stdlib_text()
    scale = 4 if quick else 1
    short = [n for n in names if 8 <= len(n) <= 24]
    code = [l for l in lines if 50 <= len(l) <= 70]
    canon = [d for d in dumps if 900 <= len(d) <= 1300]
    funcs = [f for f in functions if 200 <= len(f) <= 2000]
    letters = "abcdefghijklmnopqrstuvwxyz_"

    def similar_or_random(pool, n, edits, alphabet):
        out = []
        for k in range(n):
            a = rnd.choice(pool)
            b = edit(rnd, a, rnd.randint(1, edits), alphabet) if k % 2 else rnd.choice(pool)
            out.append((a, b))
        return out

    doc_start = rnd.randrange(len(corpus) - 10000)
    doc = corpus[doc_start : doc_start + 10000]
    dna = "".join(rnd.choice("ACGT") for _ in range(3000))
    return [
        ("short names 8-24 chars", similar_or_random(short, 4000 // scale, 3, letters), 5),
        ("code lines ~60 chars", similar_or_random(code, 2000 // scale, 4, letters + " ()"), 5),
        ("whole functions", similar_or_random(funcs, 150 // scale, 10, letters + " ()\n"), 3),
        ("ast.dump canonicals ~1.1k", similar_or_random(canon, 120 // scale, 10, letters + "()=,'"), 3),
        ("10k doc vs itself + 20 edits", [(doc, edit(rnd, doc, 20, letters + " \n"))], 3),
        ("3k DNA + 100 edits", [(dna, edit(rnd, dna, 100, "ACGT")) for _ in range(3)], 3),
    ]


def peers():
    out = [("simsieve", native.ratio)]
    out.append(("difflib", lambda a, b: difflib.SequenceMatcher(None, a, b, autojunk=False).ratio()))
    if cydifflib:
        out.append(("cydifflib", lambda a, b: cydifflib.SequenceMatcher(None, a, b, autojunk=False).ratio()))
    if cdifflib:
        out.append(("cdifflib", lambda a, b: cdifflib.CSequenceMatcher(None, a, b, autojunk=False).ratio()))
    if Indel:
        out.append(("rapidfuzz Indel", Indel.normalized_similarity))
    return out


def time_pairs(fn, pairs, min_seconds):
    """Seconds per pair: whole passes over the pairs until min_seconds have passed."""
    passes = 0
    start = time.perf_counter()
    while True:
        for a, b in pairs:
            fn(a, b)
        passes += 1
        elapsed = time.perf_counter() - start
        if elapsed >= min_seconds:
            return elapsed / (passes * len(pairs))


def fmt_time(seconds):
    if seconds < 1e-6:
        return f"{seconds * 1e9:.0f} ns"
    if seconds < 1e-3:
        return f"{seconds * 1e6:.2f} µs"
    if seconds < 1:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds:.2f} s"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="smaller datasets")
    parser.add_argument("--min-seconds", type=float, default=0.2, help="per timing of a fast peer")
    args = parser.parse_args()

    impls = peers()
    names = [n for n, _ in impls]
    print(f"python {platform.python_version()}, {platform.machine()}, runs={args.runs}")
    header = "| dataset | pairs | mean len | " + " | ".join(names[:1]) + " | " + " | ".join(
        f"{n} (x)" for n in names[1:]
    ) + " |"
    print()
    print(header)
    print("|" + "---|" * (3 + len(names)))
    for title, pairs, runs in datasets(args.quick):
        for a, b in pairs:
            want = difflib.SequenceMatcher(None, a, b, autojunk=False).ratio()
            got = native.ratio(a, b)
            if got != want:
                sys.exit(f"MISMATCH in {title}: {got!r} != {want!r}")
        runs = min(runs, args.runs) if runs < args.runs else args.runs
        per_run = {n: [] for n in names}
        for _ in range(runs):
            for name, fn in impls:
                # Slow peers get one pass per run; simsieve and the C peers loop for a while.
                min_s = args.min_seconds if name in ("simsieve", "rapidfuzz Indel") else 0.0
                per_run[name].append(time_pairs(fn, pairs, min_s))
        base = statistics.median(per_run["simsieve"])
        cells = [fmt_time(base)]
        for name in names[1:]:
            factor = statistics.median(t / s for t, s in zip(per_run[name], per_run["simsieve"]))
            cells.append(f"{fmt_time(statistics.median(per_run[name]))} ({factor:.1f}x)")
        mean_len = statistics.mean((len(a) + len(b)) / 2 for a, b in pairs)
        print(f"| {title} | {len(pairs)} | {mean_len:.0f} | " + " | ".join(cells) + " |", flush=True)

    # Call overhead: ratio("a", "b") against a plain two-argument C builtin.
    print()
    rows = []
    for label, fn in [("simsieve.ratio('a', 'b')", native.ratio), ("operator.eq('a', 'b')", operator.eq),
                      ("simsieve.ratio (package)", simsieve.ratio)]:
        samples = []
        for _ in range(args.runs):
            n = 200000
            start = time.perf_counter()
            for _ in range(n):
                fn("a", "b")
            samples.append((time.perf_counter() - start) / n)
        rows.append((label, statistics.median(samples)))
    base = rows[1][1]
    print("| call | median per call | vs operator.eq |")
    print("|---|---|---|")
    for label, t in rows:
        print(f"| {label} | {fmt_time(t)} | {t / base:.1f}x |")


if __name__ == "__main__":
    main()
