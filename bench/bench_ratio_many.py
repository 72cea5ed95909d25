"""ratio_many on pairs of real code lines from the standard library's source.

    PYTHONPATH=build/dev-NAME/stage python bench/bench_ratio_many.py [--pairs 200000] [--runs 5]

Each run times (wall clock, and the process's CPU time over all its threads), one after the
other on the same batch: ratio_many with threads=1 (one worker),
with threads=0 (the shared pool, all cores), and a Python loop calling the scalar ratio once per
pair. The CPU time of every thread during further threads=0 calls shows how the batch spread over the
shared pool's workers. A separate measurement gives the start-up cost of a per-call pool: the median time of
ratio_many on a two-pair batch with threads=N minus the same with threads=0 (the shared pool is
already running). Reports medians over the runs and the ratios taken within each run.
"""

from __future__ import annotations

import argparse
import os
import random
import resource
import statistics
import time

from simsieve import _simsieve as native
from stdlib_corpus import stdlib_sources


def code_line_pairs(count: int, seed: int = 0) -> list[tuple[str, str]]:
    """count pairs of stripped non-empty source lines: half neighbouring lines of one file (often
    similar), half lines drawn at random (mostly dissimilar)."""
    files: list[list[str]] = []
    for text in stdlib_sources():
        lines = [line.strip() for line in text.splitlines() if line.strip()]
        if len(lines) > 1:
            files.append(lines)
    rng = random.Random(seed)
    everything = [line for lines in files for line in lines]
    pairs = []
    while len(pairs) < count:
        if len(pairs) % 2 == 0:
            lines = rng.choice(files)
            i = rng.randrange(len(lines) - 1)
            pairs.append((lines[i], lines[i + 1]))
        else:
            pairs.append((rng.choice(everything), rng.choice(everything)))
    return pairs


def timed(fn) -> float:
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def timed_with_cpu(fn) -> tuple[float, float]:
    """(wall seconds, CPU seconds of the whole process, all threads) of one call."""
    before = resource.getrusage(resource.RUSAGE_SELF)
    start = time.perf_counter()
    fn()
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_SELF)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return wall, cpu


def thread_cpu_ns() -> dict[int, int]:
    """Nanoseconds on CPU so far of every thread of this process (from /proc schedstat)."""
    out = {}
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/schedstat") as f:
                out[int(tid)] = int(f.read().split()[0])
        except OSError:
            pass
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--pairs", type=int, default=200_000)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--startup-calls", type=int, default=200)
    args = parser.parse_args()

    pairs = code_line_pairs(args.pairs)
    chars = sum(len(a) + len(b) for a, b in pairs)
    cores = len(os.sched_getaffinity(0))
    print(f"{len(pairs)} pairs of stdlib code lines, {chars / len(pairs):.1f} characters per pair, {cores} cores")

    expected = native.ratio_many(pairs, 0)  # also starts the shared pool
    assert native.ratio_many(pairs, 1) == expected
    ratio = native.ratio

    one, all_cores, loop = [], [], []
    cpu_one, cpu_all, cpu_loop = [], [], []
    for run in range(args.runs):
        for walls, cpus, fn in (
            (one, cpu_one, lambda: native.ratio_many(pairs, 1)),
            (all_cores, cpu_all, lambda: native.ratio_many(pairs, 0)),
            (loop, cpu_loop, lambda: [ratio(a, b) for a, b in pairs]),
        ):
            wall, cpu = timed_with_cpu(fn)
            walls.append(wall)
            cpus.append(cpu)
        print(
            f"  run {run + 1}: threads=1 {one[-1]:.3f} s (cpu {cpu_one[-1]:.3f}), "
            f"threads=0 {all_cores[-1]:.3f} s (cpu {cpu_all[-1]:.3f}), loop {loop[-1]:.3f} s (cpu {cpu_loop[-1]:.3f})"
        )

    def median(xs):
        return statistics.median(xs)

    speedup = [o / a for o, a in zip(one, all_cores)]
    over_loop_one = [l / o for l, o in zip(loop, one)]
    over_loop_all = [l / a for l, a in zip(loop, all_cores)]
    print()
    print("| measurement | median wall | median CPU (all threads) |")
    print("|---|---|---|")
    print(f"| ratio_many(pairs, threads=1) | {median(one):.3f} s | {median(cpu_one):.3f} s |")
    print(f"| ratio_many(pairs, threads=0) ({cores} workers) | {median(all_cores):.3f} s | {median(cpu_all):.3f} s |")
    print(f"| Python loop of ratio(a, b) | {median(loop):.3f} s | {median(cpu_loop):.3f} s |")
    print(f"| threads=0 speed-up over threads=1 (same run) | {median(speedup):.2f}x |")
    print(f"| threads=1 speed-up over the loop (same run) | {median(over_loop_one):.2f}x |")
    print(f"| threads=0 speed-up over the loop (same run) | {median(over_loop_all):.2f}x |")

    # How the threads=0 batch spread over the threads: CPU time of each thread during the calls.
    before = thread_cpu_ns()
    for _ in range(args.runs):
        native.ratio_many(pairs, 0)
    after = thread_cpu_ns()
    busy = sorted(((after[t] - before.get(t, 0)) / 1e9 / args.runs for t in after), reverse=True)
    busy = [b for b in busy if b >= 0.005]
    print()
    print("CPU seconds per thread per threads=0 call (threads above 5 ms): " + ", ".join(f"{b:.3f}" for b in busy))

    tiny = pairs[:2]
    calls = args.startup_calls
    base = []
    per_n: dict[int, list[float]] = {n: [] for n in (1, 2, 8, 32)}
    for _ in range(calls):
        base.append(timed(lambda: native.ratio_many(tiny, 0)))
        for n, times in per_n.items():
            times.append(timed(lambda: native.ratio_many(tiny, n)))
    print()
    print(f"Per-call pool start-up ({calls} calls of ratio_many on 2 pairs each, medians):")
    print("| threads | call | minus threads=0 |")
    print("|---|---|---|")
    print(f"| 0 (shared pool) | {median(base) * 1e6:.0f} µs | - |")
    for n, times in per_n.items():
        print(f"| {n} | {median(times) * 1e6:.0f} µs | {(median(times) - median(base)) * 1e6:.0f} µs |")


if __name__ == "__main__":
    main()
