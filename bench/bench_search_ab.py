"""One query against 100 000 standard-library lines, two builds side by side: simsieve's extract and
get_close_matches against difflib's get_close_matches, each build in a fresh process.

    python bench/bench_search_ab.py --a OLD_STAGE --b NEW_STAGE [--queries 12] [--rounds 2]

OLD_STAGE / NEW_STAGE are folders holding an importable `simsieve` (a dev build's `stage`
folder). Prints, per build and round, the median wall and CPU time per query (CPU time counts
every thread) and difflib's time over simsieve's.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent

CHILD = r"""
import difflib, json, random, statistics, sys, time
sys.path.insert(0, sys.argv[1])
import stdlib_corpus
from suite.search import misspelt
import simsieve
lines = stdlib_corpus.stdlib_lines(100_000, seed=1)
queries = misspelt(random.Random(17), lines, int(sys.argv[2]))
ways = {
    "extract": lambda q: simsieve.extract(q, lines, limit=5, score_cutoff=0.8),
    "get_close_matches": lambda q: simsieve.get_close_matches(q, lines, 5, 0.8),
    "difflib": lambda q: difflib.get_close_matches(q, lines, 5, 0.8),
}
wall = {k: [] for k in ways}
cpu = {k: [] for k in ways}
same = 0
for q in queries:
    got = {}
    for k, f in ways.items():
        w, c = time.perf_counter(), time.process_time()
        got[k] = f(q)
        cpu[k].append(time.process_time() - c)
        wall[k].append(time.perf_counter() - w)
    same += got["get_close_matches"] == got["difflib"]
print(json.dumps({"wall": {k: statistics.median(v) for k, v in wall.items()},
                  "cpu": {k: statistics.median(v) for k, v in cpu.items()}, "same": same, "queries": len(queries)}))
"""


def run(stage: str, queries: int) -> dict:
    env = dict(os.environ, PYTHONPATH=stage)
    out = subprocess.run([sys.executable, "-c", CHILD, str(HERE), str(queries)], env=env, check=True,
                         capture_output=True, text=True).stdout
    return json.loads(out)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--a", required=True, help="stage folder of the first build")
    ap.add_argument("--b", required=True, help="stage folder of the second build")
    ap.add_argument("--queries", type=int, default=12)
    ap.add_argument("--rounds", type=int, default=2)
    args = ap.parse_args()
    print("| build | round | extract wall / CPU | get_close_matches wall / CPU | difflib wall | difflib / gcm (wall) | "
          "same answers |")
    print("|---|---|---|---|---|---|---|")
    for r in range(args.rounds):
        for name, stage in (("a", args.a), ("b", args.b)):
            f = run(stage, args.queries)
            w, c = f["wall"], f["cpu"]
            print(f"| {name} | {r + 1} | {w['extract'] * 1e3:.1f} / {c['extract'] * 1e3:.1f} ms | "
                  f"{w['get_close_matches'] * 1e3:.1f} / {c['get_close_matches'] * 1e3:.1f} ms | "
                  f"{w['difflib'] * 1e3:.0f} ms | {w['difflib'] / w['get_close_matches']:.1f}× | "
                  f"{f['same']}/{f['queries']} |", flush=True)


if __name__ == "__main__":
    main()
