"""cluster_canonicals_lsh on distinct real lines of the standard library's source.

    pip install datasketch            # the peer; benchmark only
    PYTHONPATH=build/dev-NAME/stage python bench/bench_cluster_lsh.py [--n 100000] [--runs 3]

Three tables:

1. Phases: median wall time of cluster_canonicals_lsh (each run in a fresh subprocess) split into
   signatures, banding, verification (which includes building the match indexes) and cluster
   formation, from the timestamps of its progress lines; peak memory of the child.
2. End to end against datasketch on the same strings, the same nine-byte shingles, the same
   num_perm and the same band layout: datasketch's MinHash (MinHash.bulk) and MinHashLSH (insert
   every string, query every string) produce the candidate pairs, difflib verifies every
   candidate against the same threshold rule and union-find forms the clusters. The peer's
   minimum ratio over all member pairs (which simsieve computes) is extrapolated from a timed
   sample of member pairs and shown separately; the end-to-end ratio leaves it out, which favours
   the peer. The peer's candidate-generation stage alone is compared with simsieve's signatures +
   banding.
3. 20 000 byte-identical copies of one string: time and peak memory of the child.
4. Against cluster_canonicals on the first --exact-n strings: times, and how many of the exact
   clusters come out whole (an LSH cluster with exactly the same members).
"""

from __future__ import annotations

import argparse
import difflib
import json
import math
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time

from stdlib_corpus import stdlib_lines




# One clustering in a child process: wall time, peak RSS, result summary and the progress lines.
CHILD = r"""
import json, sys, time
from simsieve import _simsieve as native
path, which, threshold, num_perm, band_rows, threads = sys.argv[1:]
canonicals = json.load(open(path))
threshold, num_perm, band_rows, threads = float(threshold), int(num_perm), int(band_rows), int(threads)
start = time.perf_counter()
if which == "lsh":
    result = native.cluster_canonicals_lsh(canonicals, threshold, num_perm, band_rows, threads)
else:
    result = native.cluster_canonicals(canonicals, threshold, threads)
elapsed = time.perf_counter() - start
# VmHWM belongs to this process image alone (ru_maxrss would carry the parent's peak over exec).
peak = next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmHWM:"))
print(json.dumps({"seconds": elapsed, "peak_kib": peak, "clusters": [m for m, _ in result]}))
"""


def run_child(path, which, threshold, num_perm=0, band_rows=0, threads=0):
    env = dict(os.environ, SIMSIEVE_PROGRESS="1")
    proc = subprocess.run(
        [sys.executable, "-c", CHILD, path, which, str(threshold), str(num_perm), str(band_rows), str(threads)],
        capture_output=True, text=True, env=env, check=True,
    )
    out = json.loads(proc.stdout)
    marks = {}
    for line in proc.stderr.splitlines():
        if line.startswith("    [simsieve] lsh: "):
            words = line.split()
            marks[words[3]] = (int(words[2]), float(words[-1].rstrip("s")))
    out["marks"] = marks
    return out


def median(values):
    return statistics.median(values)


def shingles(text: str) -> list[bytes]:
    data = text.encode()
    if len(data) <= 9:
        return [data]
    return list({data[s : s + 9] for s in range(len(data) - 8)})


def need_for(t, total):
    x = t * total * 0.5
    if math.isnan(x) or x <= 0:
        return 0
    return math.ceil(x)


def matches(a, b):
    return sum(m.size for m in difflib.SequenceMatcher(None, a, b, autojunk=False).get_matching_blocks())


def peer(canonicals, threshold, num_perm, band_rows):
    """datasketch candidates, difflib verification, union-find. Returns times and the clusters."""
    from datasketch import MinHash, MinHashLSH

    t0 = time.perf_counter()
    # bulk shares one permutation table across all strings: datasketch's fastest way to many.
    sigs = MinHash.bulk([shingles(text) for text in canonicals], num_perm=num_perm)
    lsh = MinHashLSH(num_perm=num_perm, params=(num_perm // band_rows, band_rows))
    with lsh.insertion_session() as session:
        for i, m in enumerate(sigs):
            session.insert(i, m)
    pairs = set()
    for i, m in enumerate(sigs):
        for j in lsh.query(m):
            if j != i:
                pairs.add((i, j) if i < j else (j, i))
    t1 = time.perf_counter()
    edges = []
    for lo, hi in pairs:
        a, b = canonicals[lo], canonicals[hi]
        total = len(a) + len(b)
        if total == 0 or ((not a or not b) and need_for(threshold, total) == 0) or (a and b and matches(a, b) >= need_for(threshold, total)):
            edges.append((lo, hi))
    parent = list(range(len(canonicals)))

    def find(x):
        while parent[x] != x:
            parent[x] = parent[parent[x]]
            x = parent[x]
        return x

    for lo, hi in edges:
        ra, rb = find(lo), find(hi)
        if ra != rb:
            parent[ra] = rb
    groups = {}
    for k in range(len(canonicals)):
        groups.setdefault(find(k), []).append(k)
    clusters = [g for g in groups.values() if len(g) >= 2]
    t2 = time.perf_counter()
    return {"candidates": t1 - t0, "verify": t2 - t1, "total": t2 - t0, "pairs": len(pairs), "edges": len(edges), "clusters": clusters}


def minimum_cost(canonicals, clusters, edges, sample=20000, seed=1):
    """Seconds difflib would need for the member pairs whose ratio is not known from an edge."""
    member_pairs = sum(len(c) * (len(c) - 1) // 2 for c in clusters) - edges
    rnd = random.Random(seed)
    weights = [len(c) * (len(c) - 1) // 2 for c in clusters]
    picked = []
    for c in rnd.choices(clusters, weights=weights, k=min(sample, max(member_pairs, 0))):
        a, b = sorted(rnd.sample(c, 2))
        picked.append((canonicals[a], canonicals[b]))
    start = time.perf_counter()
    for a, b in picked:
        difflib.SequenceMatcher(None, a, b, autojunk=False).ratio()
    per_pair = (time.perf_counter() - start) / max(len(picked), 1)
    return member_pairs, per_pair * max(member_pairs, 0)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=100000)
    ap.add_argument("--exact-n", type=int, default=20000)
    ap.add_argument("--threshold", type=float, default=0.8)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--peer-runs", type=int, default=1)
    ap.add_argument("--configs", default="128:4,128:8,64:2")
    ap.add_argument("--exact-configs", default="128:4,128:8,64:2,32:1,64:1")
    ap.add_argument("--peer-configs", default="128:4,128:8")
    ap.add_argument("--skip-peer", action="store_true")
    ap.add_argument("--skip-exact", action="store_true")
    ap.add_argument("--skip-phases", action="store_true")
    ap.add_argument("--skip-copies", action="store_true")
    args = ap.parse_args()
    configs = [tuple(map(int, c.split(":"))) for c in args.configs.split(",")]
    peer_configs = [tuple(map(int, c.split(":"))) for c in args.peer_configs.split(",")]
    exact_configs = [tuple(map(int, c.split(":"))) for c in args.exact_configs.split(",")]
    t = args.threshold

    lines = stdlib_lines(args.n)
    with tempfile.TemporaryDirectory() as tmp:
        full = os.path.join(tmp, "full.json")
        json.dump(lines, open(full, "w"))
        print(f"{args.n} distinct stdlib lines, mean {statistics.mean(map(len, lines)):.1f} code points; threshold {t}; "
              f"{os.cpu_count()} cores; medians of {args.runs} runs\n")

        ours = {}
        if not args.skip_phases:
            print("## Phases (seconds, cumulative marks from the progress lines)\n")
            print("| num_perm:band_rows | signatures | banding | verification | cluster formation | total | candidates | verified | clusters | peak RSS MiB |")
            print("|---|---|---|---|---|---|---|---|---|---|")
            for num_perm, band_rows in configs:
                runs = [run_child(full, "lsh", t, num_perm, band_rows) for _ in range(args.runs)]
                ours[num_perm, band_rows] = runs
                sig = median([r["marks"]["signatures"][1] for r in runs])
                band = median([r["marks"]["candidate"][1] - r["marks"]["signatures"][1] for r in runs])
                ver = median([r["marks"]["verified"][1] - r["marks"]["candidate"][1] for r in runs])
                form = median([r["seconds"] - r["marks"]["verified"][1] for r in runs])
                total = median([r["seconds"] for r in runs])
                peak = median([r["peak_kib"] for r in runs]) / 1024
                r0 = runs[0]
                print(f"| {num_perm}:{band_rows} | {sig:.2f} | {band:.2f} | {ver:.2f} | {form:.2f} | {total:.2f} | "
                      f"{r0['marks']['candidate'][0]} | {r0['marks']['verified'][0]} | {len(r0['clusters'])} | {peak:.0f} |", flush=True)

        if not args.skip_peer:
            print("\n## End to end against datasketch (seconds)\n")
            print("| num_perm:band_rows | simsieve total | peer candidates | peer verification + components | peer total | ratio | "
                  "simsieve sig+banding vs peer candidates | peer minima (extrapolated) | candidates simsieve / peer | clusters simsieve / peer |")
            print("|---|---|---|---|---|---|---|---|---|---|")
            for num_perm, band_rows in peer_configs:
                if (num_perm, band_rows) not in ours:
                    ours[num_perm, band_rows] = [run_child(full, "lsh", t, num_perm, band_rows) for _ in range(args.runs)]
                runs = ours[num_perm, band_rows]
                mine = median([r["seconds"] for r in runs])
                mine_lsh = median([r["marks"]["candidate"][1] for r in runs])
                peers = [peer(lines, t, num_perm, band_rows) for _ in range(args.peer_runs)]
                pc = median([p["candidates"] for p in peers])
                pv = median([p["verify"] for p in peers])
                pt = median([p["total"] for p in peers])
                member_pairs, minima = minimum_cost(lines, peers[0]["clusters"], peers[0]["edges"])
                print(f"| {num_perm}:{band_rows} | {mine:.2f} | {pc:.2f} | {pv:.2f} | {pt:.2f} | {pt / mine:.1f}x | "
                      f"{mine_lsh:.2f} vs {pc:.2f} ({pc / mine_lsh:.0f}x) | {minima:.1f} ({member_pairs} pairs) | "
                      f"{runs[0]['marks']['candidate'][0]} / {peers[0]['pairs']} | {len(runs[0]['clusters'])} / {len(peers[0]['clusters'])} |",
                      flush=True)

        if not args.skip_copies:
            print("\n## Byte-identical copies\n")
            print("| input | num_perm:band_rows | time s | peak RSS MiB | clusters |")
            print("|---|---|---|---|---|")
            for text in ("john smith", lines[0]):
                copies = os.path.join(tmp, "copies.json")
                json.dump([text] * 20000, open(copies, "w"))
                runs = [run_child(copies, "lsh", t, 128, 4) for _ in range(args.runs)]
                print(f"| 20000 x {text[:30]!r} | 128:4 | {median([r['seconds'] for r in runs]):.3f} | "
                      f"{median([r['peak_kib'] for r in runs]) / 1024:.0f} | {len(runs[0]['clusters'])} |", flush=True)

        if not args.skip_exact:
            sub = os.path.join(tmp, "sub.json")
            json.dump(lines[: args.exact_n], open(sub, "w"))
            exact_runs = [run_child(sub, "exact", t) for _ in range(args.runs)]
            exact = {tuple(c) for c in exact_runs[0]["clusters"]}
            exact_time = median([r["seconds"] for r in exact_runs])
            members = sum(len(c) for c in exact)
            print(f"\n## Against cluster_canonicals on {args.exact_n} strings\n")
            print(f"cluster_canonicals: {exact_time:.2f} s, {len(exact)} clusters with {members} members.\n")
            owner = {k: c for c in exact for k in c}
            sub_lines = lines[: args.exact_n]
            print("| num_perm:band_rows | LSH time | speed-up | exact clusters whole | split ones with a line under 10 bytes "
                  "| LSH clusters straddling exact ones | LSH clusters | members clustered |")
            print("|---|---|---|---|---|---|---|---|")
            for num_perm, band_rows in exact_configs:
                runs = [run_child(sub, "lsh", t, num_perm, band_rows) for _ in range(args.runs)]
                got = {tuple(c) for c in runs[0]["clusters"]}
                lsh_time = median([r["seconds"] for r in runs])
                whole = len(exact & got)
                short = sum(1 for c in exact - got if any(len(sub_lines[k].encode()) < 10 for k in c))
                straddling = sum(1 for c in got if len({owner.get(k) for k in c}) != 1 or c[0] not in owner)
                clustered = sum(len(c) for c in got)
                print(f"| {num_perm}:{band_rows} | {lsh_time:.2f} | {exact_time / lsh_time:.1f}x | {whole} / {len(exact)} "
                      f"({100 * whole / max(len(exact), 1):.0f}%) | {short} / {len(exact) - whole} | {straddling} | {len(got)} | "
                      f"{clustered} / {members} |", flush=True)


if __name__ == "__main__":
    main()
