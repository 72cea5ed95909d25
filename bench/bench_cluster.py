"""cluster_canonicals on distinct real lines of the standard library's source.

    PYTHONPATH=build/dev-NAME/stage python bench/bench_cluster.py [--n 20000] [--runs 3]

Reports, per threshold: median wall time and peak memory of cluster_canonicals (each run in a
fresh subprocess), the split of that time into candidate generation, edge search and minimum
ratios (from the timestamps of its progress lines), all pairs through difflib extrapolated from a
timed sample, and rapidfuzz's process.cdist with a score cutoff plus connected components (a
different metric, Indel similarity; the speed anchor). rapidfuzz and numpy are optional.
"""

from __future__ import annotations

import argparse
import difflib
import json
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from stdlib_corpus import stdlib_lines




# One clustering in a child process: wall time, peak RSS and the time of every progress line.
CHILD = r"""
import json, resource, sys, time, os
from simsieve import _simsieve as native
canonicals, threshold, threads = json.load(open(sys.argv[1]))
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
start = time.perf_counter()
result = native.cluster_canonicals(canonicals, threshold, threads)
elapsed = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
sys.stderr.write("    [bench] done\n")
print(json.dumps({"seconds": elapsed, "peak_kib": peak, "base_kib": base, "clusters": len(result),
                  "clustered": sum(len(m) for m, _ in result)}))
"""


def run_child(path: str, threshold: float, threads: int, progress: bool) -> dict:
    env = dict(os.environ)
    env.pop("SIMSIEVE_PROGRESS", None)
    if progress:
        env["SIMSIEVE_PROGRESS"] = "1"
    proc = subprocess.Popen(
        [sys.executable, "-c", CHILD, path], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
        stderr=subprocess.PIPE, env=env, text=True,
    )
    stamps = []
    assert proc.stderr is not None
    for line in proc.stderr:
        stamps.append((time.perf_counter(), line.rstrip("\n")))
    out, _ = proc.communicate()
    if proc.returncode:
        raise SystemExit(f"child failed: {stamps}")
    info = json.loads(out)
    info["stamps"] = stamps
    return info


def phase_split(info: dict) -> tuple[float, float, float]:
    """(until the first batch line, edge search after it, after the last batch line) in seconds,
    measured on the parent's clock from the line arrival times."""
    edge = [t for t, line in info["stamps"] if "edges:" in line]
    end = [t for t, line in info["stamps"] if "[bench] done" in line][0]
    start = end - info["seconds"]
    if not edge:
        return end - start, 0.0, 0.0
    return edge[0] - start, edge[-1] - edge[0], end - edge[-1]


def difflib_all_pairs_seconds(lines: list[str], sample: int, seed: int = 1) -> float:
    rnd = random.Random(seed)
    pairs = [tuple(rnd.sample(lines, 2)) for _ in range(sample)]
    start = time.perf_counter()
    for a, b in pairs:
        difflib.SequenceMatcher(None, a, b, autojunk=False).ratio()
    per_pair = (time.perf_counter() - start) / sample
    n = len(lines)
    return per_pair * n * (n - 1) / 2


def rapidfuzz_components(lines: list[str], threshold: float) -> tuple[float, int] | None:
    try:
        import numpy as np
        from rapidfuzz import fuzz, process
    except ImportError:
        return None
    start = time.perf_counter()
    n = len(lines)
    parent = list(range(n))

    def find(x: int) -> int:
        while parent[x] != x:
            parent[x] = parent[parent[x]]
            x = parent[x]
        return x

    cutoff = threshold * 100
    step = 1000
    for lo in range(0, n, step):
        block = process.cdist(lines[lo : lo + step], lines, scorer=fuzz.ratio, score_cutoff=cutoff,
                              dtype=np.uint8, workers=-1)
        rows, cols = np.nonzero(block)
        for r, c in zip((rows + lo).tolist(), cols.tolist()):
            if r < c:
                a, b = find(r), find(c)
                if a != b:
                    parent[a] = b
    sizes: dict[int, int] = {}
    for k in range(n):
        root = find(k)
        sizes[root] = sizes.get(root, 0) + 1
    return time.perf_counter() - start, sum(1 for s in sizes.values() if s > 1)


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=20000)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--threads", type=int, default=0)
    ap.add_argument("--thresholds", type=float, nargs="+", default=[0.8, 0.9])
    ap.add_argument("--difflib-sample", type=int, default=3000)
    args = ap.parse_args()

    lines = stdlib_lines(args.n)
    print(f"{args.n} distinct stdlib lines, mean length {statistics.mean(map(len, lines)):.1f} code points")
    with tempfile.TemporaryDirectory() as tmp:
        copies(os.path.join(tmp, "copies.json"), args.n)
        for threshold in args.thresholds:
            path = os.path.join(tmp, "in.json")
            Path(path).write_text(json.dumps([lines, threshold, args.threads]))
            runs = [run_child(path, threshold, args.threads, progress=False) for _ in range(args.runs)]
            split_runs = [run_child(path, threshold, args.threads, progress=True) for _ in range(args.runs)]
            seconds = statistics.median(r["seconds"] for r in runs)
            peak = max(r["peak_kib"] for r in runs) / 1024
            base = max(r["base_kib"] for r in runs) / 1024
            cand, edges, mins = (statistics.median(s) for s in zip(*map(phase_split, split_runs)))
            dl = difflib_all_pairs_seconds(lines, args.difflib_sample)
            print(f"\nthreshold {threshold}: {runs[0]['clusters']} clusters, {runs[0]['clustered']} clustered lines")
            print(f"  simsieve cluster_canonicals  median {seconds:8.2f} s  peak RSS {peak:.0f} MiB ({base:.0f} MiB before the call)"
                  f"  (runs: {', '.join('%.2f' % r['seconds'] for r in runs)})")
            print(f"    histograms+candidates+ranking+first batch {cand:.2f} s, rest of edge search {edges:.2f} s,"
                  f" minimum ratios {mins:.2f} s (with progress lines on)")
            print(f"  difflib all pairs (extrapolated from {args.difflib_sample} pairs) {dl:10.0f} s"
                  f"  = {dl / seconds:.0f}x simsieve")
            rf = rapidfuzz_components(lines, threshold)
            if rf is None:
                print("  rapidfuzz not installed")
            else:
                print(f"  rapidfuzz cdist(fuzz.ratio, cutoff {threshold * 100:.0f}) + components {rf[0]:8.2f} s"
                      f"  ({rf[1]} clusters; Indel metric)  = {rf[0] / seconds:.2f}x simsieve")


def copies(path: str, n: int) -> None:
    """n copies of one string: the work is linear in n."""
    for text in ("john smith", ""):
        Path(path).write_text(json.dumps([[text] * n, 0.8, 0]))
        runs = [run_child(path, 0.8, 0, progress=False) for _ in range(3)]
        print(f"{n} copies of {text!r}: median {statistics.median(r['seconds'] for r in runs) * 1000:.1f} ms,"
              f" peak RSS {max(r['peak_kib'] for r in runs) / 1024:.0f} MiB, {runs[0]['clustered']} clustered")


if __name__ == "__main__":
    main()
