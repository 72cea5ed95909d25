"""The conversion alone of two builds of simsieve, side by side in one process.

    python bench/bench_conversion.py OLD_STAGE NEW_STAGE [--pairs 1000000] [--runs 10]

Each STAGE is a folder holding `simsieve/_simsieve*.so` (for example build/dev-NAME/stage, or a
copy of it taken before a change). Both extension modules are loaded under their own objects and
called in turn, run by run, on the same 1 000 000 pairs of code lines (as bench_columns.py draws
them): `ratio_many` of the list of pairs whose last item is not a tuple, and `ratio_columns` of
two pyarrow and two polars columns of unequal length; each call stops after converting every
input. The time is the CPU time of the calling thread (the conversion runs there before any
worker starts), so other load on the machine weighs less than on wall-clock times.
"""

from __future__ import annotations

import argparse
import gc
import glob
import importlib.util
import random
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import bench_columns  # noqa: E402


def load(stage: str):
    so = glob.glob(str(Path(stage) / "simsieve" / "_simsieve*.so"))[0]
    spec = importlib.util.spec_from_file_location("_simsieve", so)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def alternate(modules: dict, call, error, runs: int) -> dict[str, list[float]]:
    times: dict[str, list[float]] = {name: [] for name in modules}
    order = list(modules.items())
    for r in range(runs):
        for name, module in order if r % 2 == 0 else order[::-1]:
            gc.collect()
            start = time.thread_time()
            try:
                call(module)
            except error:
                pass
            times[name].append(time.thread_time() - start)
    return times


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("old")
    ap.add_argument("new")
    ap.add_argument("--pairs", type=int, default=1_000_000)
    ap.add_argument("--runs", type=int, default=10)
    args = ap.parse_args()
    import polars as pl
    import pyarrow as pa

    modules = {"before": load(args.old), "after": load(args.new)}
    rng = random.Random(1)
    a = bench_columns.code_lines(args.pairs, seed=1)
    pool = bench_columns.code_lines(min(args.pairs, 200_000), seed=2)
    b = [bench_columns.edited(x, rng) if k % 2 == 0 else rng.choice(pool) for k, x in enumerate(a)]
    bad_pairs = list(zip(a, b)) + [["not", "a tuple"]]
    cases = {
        "list of pairs": (lambda m: m.ratio_many(bad_pairs, 2), TypeError),
        "pyarrow string columns": ((lambda ca, cb: lambda m: m.ratio_columns(ca, cb, 2))(pa.array(a), pa.array(b[:-1])),
                                   ValueError),
        "polars string_view columns": ((lambda ca, cb: lambda m: m.ratio_columns(ca, cb, 2))(pl.Series(a), pl.Series(b[:-1])),
                                       ValueError),
    }
    print(f"| conversion only, {args.pairs} pairs, median of {args.runs} | before | after | paired ratio |")
    print("|---|---|---|---|")
    for name, (call, error) in cases.items():
        t = alternate(modules, call, error, args.runs)
        paired = statistics.median(o / n for o, n in zip(t["before"], t["after"]))
        print(f"| {name} | {statistics.median(t['before']):.4f} s | {statistics.median(t['after']):.4f} s | {paired:.2f}x |")


if __name__ == "__main__":
    main()
