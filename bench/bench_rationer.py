"""Rationer against the module functions, side by side in one process.

    PYTHONPATH=build/dev-NAME/stage python bench/bench_rationer.py [--choices 100000] [--runs 5]

Sections:
  query    one query line against N distinct standard-library lines, the query as the second
           string of every pair (its match index is built once) and as the first; then a long
           query (twelve lines joined) as the second string;
  repeat   a batch drawn from a small pool of strings, so every string occurs in many pairs;
  pool     small clustering calls repeated many times: Rationer(threads=N).cluster_canonicals
           (pool started once, at construction) against cluster_canonicals(threads=N) (a pool
           started per call); the same for ratio_many on a short batch.
Every figure is the median of --runs timed runs; the ratio column is module time / Rationer time
within the same run. Every Rationer result is checked equal to the module result.
"""

from __future__ import annotations

import argparse
import random
import statistics
import sys
import time

from simsieve import _simsieve as native
from stdlib_corpus import stdlib_sources


def stdlib_lines(limit: int, seed: int = 0) -> list[str]:
    """Up to `limit` distinct stripped non-empty lines of the standard library's .py files."""
    seen: dict[str, None] = {}
    for text in stdlib_sources():
        for line in text.splitlines():
            line = line.strip()
            if line:
                seen.setdefault(line, None)
    lines = list(seen)
    rng = random.Random(seed)
    return rng.sample(lines, min(limit, len(lines)))


def timed(fn, runs: int):
    times = []
    result = None
    for _ in range(runs):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times), result


def compare(label: str, module_fn, rationer_fn, runs: int) -> None:
    # interleave the two so that machine noise hits both alike
    module_times, rationer_times = [], []
    module_result = rationer_result = None
    for _ in range(runs):
        t, module_result = timed(module_fn, 1)
        module_times.append(t)
        t, rationer_result = timed(rationer_fn, 1)
        rationer_times.append(t)
    if module_result != rationer_result:
        raise SystemExit(f"{label}: Rationer result differs from the module function")
    m, r = statistics.median(module_times), statistics.median(rationer_times)
    print(f"| {label} | {m * 1e3:.1f} | {r * 1e3:.1f} | {m / r:.2f}x |", flush=True)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--choices", type=int, default=100_000)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--calls", type=int, default=200)
    parser.add_argument("--sections", default="query,repeat,pool")
    args = parser.parse_args()
    sections = set(args.sections.split(","))

    lines = stdlib_lines(args.choices + 1)
    query, choices = lines[0], lines[1:]
    print(f"python {sys.version.split()[0]}, {len(choices)} choices, runs={args.runs}, "
          f"query {query!r} ({len(query)} chars)\n")
    print("| case | module ms | Rationer ms | module / Rationer |")
    print("|---|---|---|---|")
    handle = native.Rationer()

    if "query" in sections:
        as_b = [(c, query) for c in choices]
        as_a = [(query, c) for c in choices]
        compare(f"query as b, {len(as_b)} pairs", lambda: native.ratio_many(as_b),
                lambda: handle.ratio_many(as_b), args.runs)
        compare(f"query as a, {len(as_a)} pairs", lambda: native.ratio_many(as_a),
                lambda: handle.ratio_many(as_a), args.runs)
        long_query = " ".join(lines[-12:])
        as_b_long = [(c, long_query) for c in choices]
        compare(f"{len(long_query)}-char query as b, {len(as_b_long)} pairs",
                lambda: native.ratio_many(as_b_long), lambda: handle.ratio_many(as_b_long), args.runs)

    if "repeat" in sections:
        rng = random.Random(1)
        for distinct, count in ((50, 100_000), (1000, 100_000)):
            pool = choices[:distinct]
            pairs = [(rng.choice(pool), rng.choice(pool)) for _ in range(count)]
            compare(f"repeat: {count} pairs over {distinct} strings", lambda: native.ratio_many(pairs),
                    lambda: handle.ratio_many(pairs), args.runs)

    if "pool" in sections:
        n = args.threads
        small = choices[:40] + [c + "!" for c in choices[:10]]
        batch = [(a, b) for a in choices[:8] for b in choices[8:16]]
        pooled = native.Rationer(threads=n)
        calls = args.calls
        compare(f"{calls} x cluster_canonicals of {len(small)}, threads={n}",
                lambda: [native.cluster_canonicals(small, 0.8, n) for _ in range(calls)],
                lambda: [pooled.cluster_canonicals(small, 0.8) for _ in range(calls)], args.runs)
        compare(f"{calls} x ratio_many of {len(batch)} pairs, threads={n}",
                lambda: [native.ratio_many(batch, n) for _ in range(calls)],
                lambda: [pooled.ratio_many(batch) for _ in range(calls)], args.runs)


if __name__ == "__main__":
    main()
