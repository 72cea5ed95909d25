"""The exact minimum of the largest clusters, one cluster at a time, on one thread, through the
private test module's block_minimum (build with -DSIMSIEVE_TESTING_MODULE=ON, as tools/devbuild.sh
does). The clusters come from the first build's clustering of distinct standard-library lines
(mode exact or lsh), or of the scale series' input (mode series, exact; see scale_structure.py):

    python bench/bench_cluster_minima.py --a build/dev-base/stage --b build/dev-NAME/stage \\
        200000:0.8:exact 200000:0.8:lsh 200000:0.9:exact 800000:0.9:series --top 3 --repeat 3

With --repeat R, the builds take turns R times and each cluster's fastest time is printed.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

CLUSTERS = r'''
import sys, json
sys.path.insert(0, sys.argv[4])
from stdlib_corpus import distinct_lines, scale_input, stdlib_lines
from simsieve import _simsieve as native
n, t, mode = int(sys.argv[1]), float(sys.argv[2]), sys.argv[3]
lines = scale_input(distinct_lines(), n) if mode == "series" else stdlib_lines(n)
r = native.cluster_canonicals(lines, t, 0) if mode != "lsh" else native.cluster_canonicals_lsh(lines, t, 128, 4, 0)
big = sorted(r, key=lambda c: -len(c[0]))[:int(sys.argv[5])]
json.dump([[[lines[i] for i in c[0]], c[1]] for c in big], sys.stdout)
'''

TIME = r'''
import sys, time, json
from simsieve import _testing
for members, expected in json.load(open(sys.argv[1])):
    w = time.process_time()
    got = _testing.block_minimum(members, 1.0, False)
    print(json.dumps([len(members), got, got == expected, time.process_time() - w]), flush=True)
'''


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--a", required=True)
    ap.add_argument("--b", required=True)
    ap.add_argument("--top", type=int, default=3)
    ap.add_argument("--repeat", type=int, default=1)
    ap.add_argument("cases", nargs="+", help="lines:threshold:mode")
    args = ap.parse_args()
    here = str(Path(__file__).resolve().parent)
    for case in args.cases:
        n, t, mode = case.split(":")
        out = subprocess.run([sys.executable, "-c", CLUSTERS, n, t, mode, here, str(args.top)],
                             env=dict(os.environ, PYTHONPATH=args.a), capture_output=True, text=True, check=True)
        with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as f:
            f.write(out.stdout)
        try:
            fastest: dict[str, list] = {"a": [], "b": []}
            for _ in range(args.repeat):
                for name, path in (("a", args.a), ("b", args.b)):
                    res = subprocess.run([sys.executable, "-c", TIME, f.name], env=dict(os.environ, PYTHONPATH=path),
                                         capture_output=True, text=True, check=True)
                    rows = [json.loads(line) for line in res.stdout.splitlines()]
                    best = fastest[name]
                    fastest[name] = [r if not best or r[3] < b[3] else b for r, b in zip(rows, best or rows)]
            for name in ("a", "b"):
                for size, got, same, cpu in fastest[name]:
                    print(f"{case:>18} {name}: {size:6d} members  minimum {got:.4f}  "
                          f"{'same' if same else 'DIFFERENT'}  cpu {cpu:7.3f} s", flush=True)
        finally:
            os.unlink(f.name)


if __name__ == "__main__":
    main()
