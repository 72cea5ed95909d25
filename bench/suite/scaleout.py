"""simsieve.dask on a 2-worker LocalCluster against the single-machine calls (bench_dask.py at
sizes that fit a run of the suite; the large sizes are run by hand, see README.md)."""

from __future__ import annotations

from pathlib import Path

import bench_dask

from .common import Context, Section, Table


def dask(ctx: Context) -> Section:
    section = Section("dask", "simsieve.dask: a 2-worker LocalCluster against one process")
    if ctx.quick:
        sizes = [("lsh", 10_000), ("cosine", 10_000)]
    else:
        sizes = [("lsh", 100_000), ("lsh", 200_000), ("cosine", 100_000), ("cosine", 2_000_000)]
    # The single-machine join of 2 000 000 documents takes minutes: its result (the input is
    # seeded, so always the same) is kept here and compared against by later runs.
    cache = Path(__file__).resolve().parents[2] / "build" / "bench-dask-single"
    section.text.append(
        "bench/bench_dask.py: generated records with copies and near copies, read by the workers from "
        "text files; LSH at 0.8 (64 permutations, 4 rows a band) and the cosine join at 0.8 over `\\w+` "
        "tokens. One run each (distributed first, then the single-machine call in a fresh process); "
        "peak RSS is ru_maxrss of each process. No speed-up is expected on 2 cores: the figures show "
        "memory per worker against one process, and that the results are equal. The cosine join "
        "over 2 000 000 documents runs 100 000 documents a partition; its single-machine figures "
        "and result come from build/bench-dask-single/ when an earlier run left them there.")
    table = Table(["operation", "lines", "one process (s)", "one process peak (MiB)", "dask (s)",
                   "dask peak per worker (MiB)", "client peak (MiB)", "outputs", "equal"])
    for kind, n in sizes:
        ctx.log(f"  dask: {kind} {n:,}")
        big = n >= 1_000_000
        row = bench_dask.run(kind, n, -(-n // 100_000) if big else max(2, -(-n // 50_000)),
                             cache=str(cache) if big else None)
        section.raw[f"{kind}-{n}"] = row
        table.add("LSH" if kind == "lsh" else "cosine join", f"{n:,}", f"{row['single_seconds']:.1f}",
                  f"{row['single_peak_mb']:,}", f"{row['dask_seconds']:.1f}",
                  ", ".join(f"{m:,}" for m in row["worker_peak_mb"]), f"{row['client_peak_mb']:,}",
                  f"{row['outputs']:,}", "yes" if row["equal"] else "NO")
    section.tables.append(table)
    return section
