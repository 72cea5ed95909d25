"""simsieve.dask on a 2-worker LocalCluster against the single-machine calls.

    PYTHONPATH=build/dev-NAME/stage python bench/bench_dask.py --lsh 100000 300000 --cosine 50000

For each size: lines of the standard library's sources (cycled, every third one edited, so the
input has copies and near copies) written to text files, read by the cluster with
dask.bag.read_text (the input never passes through the client), and:

- LSH: simsieve.dask.cluster_canonicals_lsh against simsieve.cluster_canonicals_lsh (threshold
  0.8, num_perm 64, band_rows 4), each in a fresh process;
- cosine: simsieve.dask.cosine_join against simsieve.cosine_join on the lines' word tokens
  (threshold 0.8).

Reported: wall time, peak RSS of the single-machine process, peak RSS of each worker process
and of the client, and whether the results are equal. No speed-up is expected on 2 cores: the
point is bounded memory per worker and equal results.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import re
import resource
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from stdlib_corpus import stdlib_sources  # noqa: E402

WORD = re.compile(r"\w+")


def make_lines(n: int, seed: int = 0) -> list[str]:
    """n lines: records of 4 to 12 words drawn from the identifiers of the standard library, each
    written once, twice, or with near copies (a character or a word changed), in shuffled order.
    About 40% of the lines have an exact or near copy; clusters stay small, as in a
    deduplication workload, so the single-machine call grows linearly with n."""
    rng = random.Random(seed)
    vocab = sorted({w for text in stdlib_sources(skip_tests=True) for w in WORD.findall(text) if len(w) > 2})
    out: list[str] = []
    while len(out) < n:
        words = rng.choices(vocab, k=rng.randint(4, 12))
        line = " ".join(words)
        out.append(line)
        roll = rng.random()
        if roll < 0.15:
            out.append(line)
        elif roll < 0.30:
            p = rng.randrange(len(line))
            out.append(line[:p] + rng.choice("abcxyz_ ") + line[p + 1 :])
        elif roll < 0.40:
            words[rng.randrange(len(words))] = rng.choice(vocab)
            out.append(" ".join(words))
    del out[n:]
    rng.shuffle(out)
    return out


def write_files(lines: list[str], directory: str, parts: int) -> list[str]:
    step = -(-len(lines) // parts)
    paths = []
    for k in range(parts):
        path = os.path.join(directory, f"part{k:04d}.txt")
        with open(path, "w", encoding="utf-8", newline="\n") as f:
            for line in lines[k * step : (k + 1) * step]:
                f.write(line + "\n")
        paths.append(path)
    return paths


SINGLE = r"""
import json, resource, sys, time, re
import simsieve
kind, path, out = sys.argv[1], sys.argv[2], sys.argv[3]
lines = open(path, encoding="utf-8").read().split("\n")[:-1]
t = time.perf_counter()
if kind == "lsh":
    result = simsieve.cluster_canonicals_lsh(lines, 0.8, 64, 4)
else:
    result = simsieve.cosine_join([re.findall(r"\w+", l) for l in lines], 0.8)
seconds = time.perf_counter() - t
json.dump({"seconds": seconds, "peak_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024,
           "result": result}, open(out, "w"))
"""

DISTRIBUTED = r"""
import json, resource, sys, time, re, glob
import dask.bag as db
from dask.distributed import Client, LocalCluster
import simsieve.dask

def peak_mb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024

if __name__ == "__main__":
    kind, directory, out, partitions = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                      memory_limit="4GiB") as cluster, Client(cluster) as client:
        paths = sorted(glob.glob(directory + "/part*.txt"))
        bag = db.read_text(paths).map(lambda l: l[:-1] if l.endswith("\n") else l)
        bag = bag.repartition(partitions) if partitions != len(paths) else bag
        t = time.perf_counter()
        if kind == "lsh":
            result = simsieve.dask.cluster_canonicals_lsh(bag, 0.8, 64, 4)
        else:
            result = simsieve.dask.cosine_join(bag.map(lambda l: re.findall(r"\w+", l)), 0.8)
        seconds = time.perf_counter() - t
        workers = sorted(client.run(peak_mb).values())
    json.dump({"seconds": seconds, "worker_peak_mb": workers, "client_peak_mb": peak_mb(), "result": result},
              open(out, "w"))
"""


def run(kind: str, n: int, partitions: int, single: bool = True, dist: bool = True,
        cache: str | None = None) -> dict:
    """One size: the distributed call, then the single-machine call (never at the same time, so
    neither one's memory pressure shows in the other's figures), results compared in full. With
    `cache`, the single-machine figures and result of (kind, n) are kept in that directory and
    reused by later runs (the input is the same: make_lines is seeded)."""
    cached = os.path.join(cache, f"{kind}-{n}.json") if cache else None
    lines = make_lines(n)
    with tempfile.TemporaryDirectory() as d:
        whole = os.path.join(d, "all.txt")
        with open(whole, "w", encoding="utf-8", newline="\n") as f:
            f.write("".join(line + "\n" for line in lines))
        write_files(lines, d, partitions)
        del lines
        single_out, dist_out = os.path.join(d, "single.json"), os.path.join(d, "dist.json")
        row: dict = {"kind": kind, "n": n, "partitions": partitions}
        dist_result = None
        if dist:
            t = time.perf_counter()
            subprocess.run([sys.executable, "-c", DISTRIBUTED, kind, d, dist_out, str(partitions)], check=True,
                           stderr=subprocess.DEVNULL)
            total = time.perf_counter() - t
            dist_json = json.load(open(dist_out))
            dist_result = dist_json["result"]
            row.update(dask_seconds=round(dist_json["seconds"], 2), dask_process_seconds=round(total, 2),
                       worker_peak_mb=[round(x) for x in dist_json["worker_peak_mb"]],
                       client_peak_mb=round(dist_json["client_peak_mb"]), outputs=len(dist_result))
        if single:
            if cached and os.path.exists(cached):
                single_out = cached
                row["single_cached"] = True
            else:
                subprocess.run([sys.executable, "-c", SINGLE, kind, whole, single_out], check=True)
                if cached:
                    os.makedirs(cache, exist_ok=True)
                    os.replace(single_out, cached)
                    single_out = cached
            result = json.load(open(single_out))
            row.update(single_seconds=round(result["seconds"], 2), single_peak_mb=round(result["peak_mb"]),
                       single_outputs=len(result["result"]))
            if dist_result is not None:
                row["equal"] = result["result"] == dist_result
    return row


def prefix_duplication(n: int, thresholds: list[float], groups: list[int]) -> list[dict]:
    """How many candidate tasks each distinct string is routed to by simsieve.dask.cluster_canonicals
    (its prefix tokens, dealt round-robin over `groups` tasks), on n distinct standard-library
    lines. The routing is that of the pipeline itself (_exact's token counts, order and routing),
    without the clustering that follows; a small sample checks it against the pipeline's own
    `stats`."""
    import dask
    import simsieve.dask as sd
    from simsieve.dask import _exact
    from stdlib_corpus import stdlib_lines

    lines = stdlib_lines(n)
    table = [(k, k, 1, text) for k, text in enumerate(lines)]
    counts = _exact._token_counts(table)
    rank = {tok: r for r, tok in enumerate(sorted(counts, key=lambda tok: (counts[tok], tok)))}
    rows = []
    for t in thresholds:
        prefix = sum(_exact.prefix_length(len(text), t) for text in lines) / n
        for g in groups:
            routed = sum(len(part) for part in _exact._route_prefixes(table, 0, rank, g, t))
            rows.append({"lines": n, "threshold": t, "groups": g, "copies_per_line": round(routed / n, 3),
                         "mean_length": round(sum(map(len, lines)) / n, 1), "mean_prefix_tokens": round(prefix, 2)})
        sample = lines[:3000]
        stats: dict = {}
        with dask.config.set(scheduler="sync"):
            sd.cluster_canonicals(sample, t, npartitions=4, groups=groups[0], stats=stats)
        sample_table = [(k, k, 1, text) for k, text in enumerate(sample)]
        sample_counts = _exact._token_counts(sample_table)
        sample_rank = {tok: r for r, tok in enumerate(sorted(sample_counts, key=lambda tok: (sample_counts[tok], tok)))}
        direct = sum(len(p) for p in _exact._route_prefixes(sample_table, 0, sample_rank, groups[0], t))
        assert stats == {"distinct": len(sample), "routed": direct}, (stats, direct)
    return rows


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--lsh", type=int, nargs="*", default=[100_000])
    parser.add_argument("--cosine", type=int, nargs="*", default=[20_000])
    parser.add_argument("--rows-per-partition", type=int, default=100_000)
    parser.add_argument("--no-single", action="store_true", help="the distributed call alone")
    parser.add_argument("--no-dask", action="store_true", help="the single-machine call alone")
    parser.add_argument("--single-cache", metavar="DIR",
                        help="keep the single-machine results in DIR and reuse them in later runs")
    parser.add_argument("--prefix-duplication", type=int, metavar="N",
                        help="only the routing copies of the exact pipeline on N standard-library lines")
    args = parser.parse_args()
    if args.prefix_duplication:
        for row in prefix_duplication(args.prefix_duplication, [0.8, 0.9], [2, 4, 8, 16, 64, 1024]):
            print(json.dumps(row), flush=True)
        return
    for kind, sizes in (("lsh", args.lsh), ("cosine", args.cosine)):
        for n in sizes:
            parts = max(2, -(-n // args.rows_per_partition))
            print(json.dumps(run(kind, n, parts, single=not args.no_single, dist=not args.no_dask,
                                 cache=args.single_cache)), flush=True)


if __name__ == "__main__":
    main()
