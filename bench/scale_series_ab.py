"""The exact clustering series of the scale table at 0.9 (100 000 to 800 000 lines), for one or
more builds alternated round by round, with each build's medians and growth per doubling.

    python bench/scale_series_ab.py [--rounds N] STAGE [STAGE ...]

STAGE is a build's PYTHONPATH (e.g. build/dev-NAME/stage). Every call runs in a fresh child
process, the same child as bench_scale.py's; the builds take turns within each round, so that the
machine's slower minutes fall on all of them.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_scale  # noqa: E402

SIZES = [100_000, 200_000, 400_000, 800_000]


def one_call(stage, n):
    env = {"PYTHONPATH": stage, "PATH": os.environ.get("PATH", "/usr/bin:/bin")}
    done = subprocess.run([sys.executable, "-c", bench_scale.CHILD, "exact", str(n)], capture_output=True,
                          text=True, env=env, check=True)
    return json.loads(done.stdout)["seconds"]


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("stages", nargs="+")
    args = ap.parse_args()
    times = {s: {n: [] for n in SIZES} for s in args.stages}
    for r in range(args.rounds):
        for stage in args.stages:
            for n in SIZES:
                times[stage][n].append(one_call(stage, n))
            print(f"round {r + 1} {stage}: " + " / ".join(f"{times[stage][n][-1]:.3f}" for n in SIZES), flush=True)
    for stage in args.stages:
        med = [statistics.median(times[stage][n]) for n in SIZES]
        growth = [b / a for a, b in zip(med, med[1:])]
        overall = (med[-1] / med[0]) ** (1 / (len(SIZES) - 1))
        print(f"{stage}: medians " + " / ".join(f"{m:.3f} s" for m in med) + "; growth "
              + ", ".join(f"{g:.2f}x" for g in growth) + f"; {overall:.2f}x per doubling over the range")


if __name__ == "__main__":
    main()
