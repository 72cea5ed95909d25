"""Scale table: how each operation grows as its input doubles, with time and peak memory.

    PYTHONPATH=build/dev-NAME/stage python bench/bench_scale.py [--budget SECONDS]

Each measurement runs in a fresh child process (so peak RSS is the call's own plus the input's);
a series stops once one size takes longer than the budget (default 60 s). Inputs are built from the
standard library's own source lines (deduplicated) and random edits of them.
"""

import argparse
import json
import os
import subprocess
import sys
import textwrap

# The child imports the scale series' input from this directory's corpus module.
CHILD = f"import sys; sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r})\n" + textwrap.dedent(
    r"""
    import json, random, sys, time
    import simsieve
    from stdlib_corpus import distinct_lines, scale_input

    op, n = sys.argv[1], int(sys.argv[2])
    rng = random.Random(1)
    lines = distinct_lines()
    def pool(k):
        return scale_input(lines, k)
    if op == "ratio":
        text = "".join(lines)
        while len(text) < n:
            text += text
        a = text[:n]
        b = list(a)
        for _ in range(100):
            b[rng.randrange(n)] = "#"
        b = "".join(b)
        call = lambda: simsieve.ratio(a, b)
    elif op == "lsh":
        data = pool(n)
        call = lambda: simsieve.cluster_canonicals_lsh(data, 0.9, 64, 4)
    elif op == "exact":
        data = pool(n)
        call = lambda: simsieve.cluster_canonicals(data, 0.9)
    else:
        data = [s.split() for s in pool(n)]
        call = lambda: simsieve.cosine_join(data, 0.9)
    start = time.perf_counter()
    result = call()
    elapsed = time.perf_counter() - start
    # VmHWM is this process image's own peak; ru_maxrss would carry a large parent's over exec.
    peak = next(int(l.split()[1]) for l in open("/proc/self/status") if l.startswith("VmHWM:")) / 1024
    size = len(result) if isinstance(result, list) else result
    print(json.dumps({"seconds": elapsed, "peak_mib": peak, "result": size}))
    """
)

SERIES = {
    "ratio": [10**5 * 2**k for k in range(8)],        # characters per string, up to 12.8 M
    "exact": [25_000 * 2**k for k in range(6)],       # canonicals at 0.9, up to 800 000
    "lsh": [125_000 * 2**k for k in range(4)],        # canonicals, 64 permutations, 4 rows a band
    "join": [125_000 * 2**k for k in range(4)],       # token documents at 0.9, up to 1 M
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--budget", type=float, default=60.0)
    parser.add_argument("--ops", default="ratio,exact,lsh,join")
    args = parser.parse_args()
    print("| operation | input size | time (s) | growth vs half size | peak RSS (MiB) | result size |")
    print("|---|---|---|---|---|---|")
    for op in args.ops.split(","):
        previous = None
        for n in SERIES[op]:
            try:
                done = subprocess.run([sys.executable, "-c", CHILD, op, str(n)], capture_output=True, text=True,
                                      timeout=args.budget * 6)
            except subprocess.TimeoutExpired:
                print(f"| {op} | {n:,} | > {args.budget * 6:.0f} | | | |", flush=True)
                break
            if done.returncode != 0:
                print(f"| {op} | {n:,} | failed: {done.stderr.strip().splitlines()[-1]} | | | |", flush=True)
                break
            r = json.loads(done.stdout)
            growth = f"{r['seconds'] / previous:.2f}x" if previous else ""
            print(f"| {op} | {n:,} | {r['seconds']:.2f} | {growth} | {r['peak_mib']:.0f} | {r['result']} |", flush=True)
            previous = r["seconds"]
            if r["seconds"] > args.budget:
                break


if __name__ == "__main__":
    main()
