"""How the work of the exact clustering grows with its input, beside its time: for each size of the
scale series at 0.9, the pairs whose histogram bound reaches the threshold (the candidates the
edge search ranks), and the member pairs of the clusters (every one of them is settled by the
exact minima). Needs a development build, for the testing module:

    PYTHONPATH=build/dev-NAME/stage python bench/scale_structure.py [--sampled] [--threshold 0.9]

The input is bench_scale.py's: the first n distinct stripped lines of at least 20 characters of
the .py files under the interpreter's library directory, in path order (installed packages there
included), with edited copies beyond the distinct ones. With --sampled, n lines drawn at random
(seeded) from all of those distinct lines instead, so that every size is a sample of one
population. With --no-packages, the installed packages are left out: the population a bare
interpreter has, with edited copies from a smaller size on. Each size runs in this process, one
after the other; times are single runs.
"""

from __future__ import annotations

import argparse
import resource
import time

from stdlib_corpus import distinct_lines, scale_input


def cpu() -> float:
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--sampled", action="store_true")
    parser.add_argument("--no-packages", action="store_true")
    parser.add_argument("--threshold", type=float, default=0.9)
    parser.add_argument("--sizes", default="100000,200000,400000,800000")
    parser.add_argument("--scan-runs", type=int, default=0,
                        help="instead of the table, time the candidate scan alone this many times per size")
    args = parser.parse_args()
    import simsieve
    from simsieve import _testing

    lines = distinct_lines(packages=not args.no_packages)
    if args.scan_runs > 0:
        for n in (int(s) for s in args.sizes.split(",")):
            data = scale_input(lines, n, args.sampled)
            times = []
            for _ in range(args.scan_runs):
                start = time.perf_counter()
                _testing.candidate_pairs(data, args.threshold, False)
                times.append(time.perf_counter() - start)
            times.sort()
            print(f"{n:,} lines: candidate scan fastest {times[0]:.3f} s, median {times[len(times) // 2]:.3f} s")
        return
    print(f"{len(lines):,} distinct lines{'' if args.no_packages is False else ' (no installed packages)'}; "
          f"{'sampled' if args.sampled else 'first n in path order'}, "
          f"threshold {args.threshold}")
    print("| lines | time (s) | CPU (s) | candidates | growth | clusters | member pairs | growth | largest |")
    print("|---|---|---|---|---|---|---|---|---|")
    previous = None
    for n in (int(s) for s in args.sizes.split(",")):
        data = scale_input(lines, n, args.sampled)
        start, start_cpu = time.perf_counter(), cpu()
        clusters = simsieve.cluster_canonicals(data, args.threshold)
        wall, used = time.perf_counter() - start, cpu() - start_cpu
        candidates = len(_testing.candidate_pairs(data, args.threshold, False))
        member_pairs = sum(len(m) * (len(m) - 1) // 2 for m, _ in clusters)
        largest = max((len(m) for m, _ in clusters), default=0)
        grow_c = f"{candidates / previous[0]:.2f}×" if previous else ""
        grow_m = f"{member_pairs / previous[1]:.2f}×" if previous else ""
        print(f"| {n:,} | {wall:.2f} | {used:.2f} | {candidates:,} | {grow_c} | {len(clusters):,} | "
              f"{member_pairs:,} | {grow_m} | {largest:,} |", flush=True)
        previous = (candidates, member_pairs)


if __name__ == "__main__":
    main()
