"""Columns in, columns out: simsieve on Arrow columns against the same data as Python lists.

    PYTHONPATH=build/dev-NAME/stage python bench/bench_columns.py [--pairs 1000000] [--lines 1000000] [--runs 3]

First, ratio over two columns of real code lines (stripped lines of the standard library's
sources, drawn with repetition when there are fewer distinct lines than pairs; half of the pairs
are a line and an edited copy, half two random lines):
  * the call `simsieve.ratio(column_a, column_b, threads=T)` for T = 1 and 2, on pyarrow columns;
  * its conversion alone: `ratio(column_a, column_b[:-1])` imports and validates both columns
    (every offset, every byte for UTF-8, no nulls) and then refuses the unequal lengths;
  * the same on polars Series (exported as string_view) with 2 threads;
  * the list path on the same pairs, `simsieve.ratio(pairs, threads=2)`, and its conversion alone
    (a last pair that is not a tuple stops `ratio_many` after converting every other pair);
  * the float64 results taken onward: the FloatArray by numpy, pyarrow and polars against the list
    of Python floats of the list path;
  * the Python allocations of each call, traced by tracemalloc (peak bytes during the call).
Second, clustering N lines (LSH clustering, threshold 0.9) from a polars column read from a
Parquet file and from a list of str read from a text file, each in a fresh process: resident
memory before the call (the input held) and the peak during the call.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import random
import resource
import statistics
import subprocess
import sys
import tempfile
import time
import tracemalloc
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from stdlib_corpus import stdlib_sources  # noqa: E402


def code_lines(n: int, seed: int = 0) -> list[str]:
    seen: dict[str, None] = {}
    for text in stdlib_sources(skip_tests=False):
        for line in text.splitlines():
            line = line.strip()
            if line:
                seen.setdefault(line, None)
    distinct = list(seen)
    rng = random.Random(seed)
    return [rng.choice(distinct) for _ in range(n)] if n > len(distinct) else rng.sample(distinct, n)


def edited(line: str, rng: random.Random) -> str:
    chars = list(line)
    for _ in range(max(1, len(chars) // 12)):
        k = rng.randrange(len(chars) + 1)
        if rng.random() < 0.5 and k < len(chars):
            del chars[k]
        else:
            chars.insert(k, rng.choice("abcdefghijklmnopqrstuvwxyz_(). "))
    return "".join(chars)


def timed(call, runs: int) -> list[float]:
    times = []
    for _ in range(runs):
        gc.collect()
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return times


def traced_peak(call) -> int:
    gc.collect()
    tracemalloc.start()
    tracemalloc.reset_peak()
    base = tracemalloc.get_traced_memory()[0]
    result = call()
    peak = tracemalloc.get_traced_memory()[1] - base
    tracemalloc.stop()
    del result
    return peak


def expect_error(call, error):
    def run():
        try:
            call()
        except error:
            return None
        raise AssertionError("expected " + error.__name__)

    return run


def ratio_part(n: int, runs: int) -> dict:
    """Times of every way to run the same pairs, interleaved run by run: {"seconds": {way: [s, ...]}},
    the Python allocations of each call, and the cost of taking the float results onward."""
    import numpy as np
    import polars as pl
    import pyarrow as pa

    import simsieve

    rng = random.Random(1)
    a = code_lines(n, seed=1)
    pool = code_lines(min(n, 200_000), seed=2)
    b = [edited(x, rng) if k % 2 == 0 else rng.choice(pool) for k, x in enumerate(a)]
    col_a, col_b = pa.array(a, type=pa.string()), pa.array(b, type=pa.string())
    pl_a, pl_b = pl.Series(a, dtype=pl.String), pl.Series(b, dtype=pl.String)  # exported as string_view
    pairs = list(zip(a, b))
    bad_pairs = pairs + [["not", "a tuple"]]

    check = simsieve.ratio(col_a, col_b, threads=2).tolist()
    assert check[:20000] == simsieve.ratio(pairs[:20000], threads=2)
    assert simsieve.ratio(pl_a, pl_b, threads=2).tolist() == check

    ways = {
        "list of pairs, threads=2": lambda: simsieve.ratio(pairs, threads=2),
        "list of pairs, conversion only": expect_error(lambda: simsieve.ratio(bad_pairs, threads=2), TypeError),
        "pyarrow columns, threads=1": lambda: simsieve.ratio(col_a, col_b, threads=1),
        "pyarrow columns, threads=2": lambda: simsieve.ratio(col_a, col_b, threads=2),
        "pyarrow columns, conversion only": expect_error(lambda: simsieve.ratio(col_a, col_b[:-1]), ValueError),
        "polars columns, threads=2": lambda: simsieve.ratio(pl_a, pl_b, threads=2),
        "polars columns, conversion only": expect_error(lambda: simsieve.ratio(pl_a, pl_b[:-1]), ValueError),
    }
    seconds: dict[str, list[float]] = {name: [] for name in ways}
    for _ in range(runs):
        for name, call in ways.items():
            seconds[name] += timed(call, 1)

    # The float64 results taken onward: the FloatArray by numpy, pyarrow and polars (no copy)
    # against the list of Python floats converted by each.
    as_column = simsieve.ratio(col_a, col_b, threads=2)
    as_list = simsieve.ratio(pairs, threads=2)
    onward = {
        "numpy.asarray(FloatArray)": lambda: np.asarray(as_column),
        "numpy.asarray(list)": lambda: np.asarray(as_list),
        "pyarrow.array(FloatArray)": lambda: pa.array(as_column),
        "pyarrow.array(list)": lambda: pa.array(as_list, type=pa.float64()),
        "polars.Series(FloatArray)": lambda: pl.Series(as_column),
        "polars.Series(list)": lambda: pl.Series(as_list, dtype=pl.Float64),
    }
    output = {name: statistics.median(timed(call, runs)) for name, call in onward.items()}
    return {
        "pairs": n,
        "mean_len": statistics.fmean(len(x) for x in a),
        "seconds": seconds,
        "tracemalloc peak, columns": traced_peak(lambda: simsieve.ratio(col_a, col_b, threads=2)),
        "tracemalloc peak, list": traced_peak(lambda: simsieve.ratio(pairs, threads=2)),
        "output": output,
    }


CLUSTER_CHILD = r"""
import gc, json, resource, sys, time
def rss():
    with open("/proc/self/status") as s:
        return next(int(l.split()[1]) for l in s if l.startswith("VmRSS:")) * 1024
kind, path = sys.argv[1], sys.argv[2]
import simsieve
if kind == "polars":
    import polars as pl
    column = pl.read_parquet(path)["line"]
else:
    with open(path, encoding="utf-8") as f:
        column = f.read().split("\n")
gc.collect()
before = rss()
start = time.perf_counter()
clusters = simsieve.cluster_canonicals_lsh(column, 0.9, 32, 4)
elapsed = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
print(json.dumps({"n": len(column), "before": before, "peak": peak, "seconds": elapsed, "clusters": len(clusters)}))
"""


def cluster_part(n: int) -> dict:
    import pyarrow as pa
    import pyarrow.parquet as pq

    lines = [line.replace("\n", " ") for line in code_lines(n, seed=3)]
    out = {}
    with tempfile.TemporaryDirectory() as tmp:
        text_path = os.path.join(tmp, "lines.txt")
        parquet_path = os.path.join(tmp, "lines.parquet")
        with open(text_path, "w", encoding="utf-8") as f:
            f.write("\n".join(lines))
        pq.write_table(pa.table({"line": pa.array(lines, type=pa.large_string())}), parquet_path)
        del lines
        for kind, path in (("list", text_path), ("polars", parquet_path)):
            done = subprocess.run([sys.executable, "-c", CLUSTER_CHILD, kind, path], capture_output=True, text=True,
                                  check=True, env=os.environ)
            out[kind] = json.loads(done.stdout)
    assert out["list"]["clusters"] == out["polars"]["clusters"]
    return out


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--pairs", type=int, default=1_000_000)
    ap.add_argument("--lines", type=int, default=1_000_000)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--json", help="write the figures here too")
    args = ap.parse_args()

    ratio = ratio_part(args.pairs, args.runs)
    med = {name: statistics.median(times) for name, times in ratio["seconds"].items()}
    print(f"ratio over two Arrow columns: {ratio['pairs']} pairs of code lines (mean {ratio['mean_len']:.0f} chars), "
          f"median of {args.runs} runs")
    print("| call | seconds |")
    print("|---|---|")
    for key, value in med.items():
        print(f"| {key} | {value:.3f} |")
    for kind, whole in (("pyarrow columns", "threads=2"), ("polars columns", "threads=2"), ("list of pairs", "threads=2")):
        print(f"conversion share, {kind}: {med[kind + ', conversion only'] / med[kind + ', ' + whole]:.1%}")
    print(f"1 -> 2 threads on pyarrow columns: "
          f"{med['pyarrow columns, threads=1'] / med['pyarrow columns, threads=2']:.2f}x")
    print(f"tracemalloc peak during the call: columns {ratio['tracemalloc peak, columns']} bytes, "
          f"list {ratio['tracemalloc peak, list']} bytes")
    print("float64 results onward: " + ", ".join(f"{k} {v * 1e3:.2f} ms" for k, v in ratio["output"].items()))
    if args.lines <= 0:
        if args.json:
            Path(args.json).write_text(json.dumps({"ratio": ratio}, indent=1))
        return

    cluster = cluster_part(args.lines)
    print(f"\nLSH clustering of {cluster['list']['n']} code lines (threshold 0.9, num_perm 32, band_rows 4), fresh process each")
    print("| input | RSS before the call | peak RSS | seconds | clusters |")
    print("|---|---|---|---|---|")
    for kind in ("list", "polars"):
        c = cluster[kind]
        print(f"| {kind} | {c['before'] / 2**20:.0f} MiB | {c['peak'] / 2**20:.0f} MiB | {c['seconds']:.1f} | {c['clusters']} |")
    if args.json:
        Path(args.json).write_text(json.dumps({"ratio": ratio, "cluster": cluster}, indent=1))


if __name__ == "__main__":
    main()
