"""Workloads without a peer: the Rationer handle against the module functions, and how every
operation grows as its input doubles."""

from __future__ import annotations

import json
import random
import subprocess
import sys
import time
from typing import Any, Callable

import bench_rationer
import bench_scale
from simsieve import _simsieve as native

from .common import Context, Section, Table, fmt_ratio, fmt_seconds, median, paired_ratio


def rationer(ctx: Context) -> Section:
    count = 10000 if ctx.quick else 100000
    lines = bench_rationer.stdlib_lines(count + 13)
    query, choices = lines[0], lines[1:count + 1]
    long_query = " ".join(lines[-12:])
    handle = native.Rationer()
    pooled = native.Rationer(threads=2)
    rng = random.Random(1)
    small_pool = choices[:50]
    repeated = [(rng.choice(small_pool), rng.choice(small_pool)) for _ in range(count)]
    as_b = [(c, query) for c in choices]
    as_b_long = [(c, long_query) for c in choices]
    small = choices[:40] + [c + "!" for c in choices[:10]]
    cases: list[tuple[str, Callable[[], Any], Callable[[], Any]]] = [
        (f"one {len(query)}-character query as b, {count:,} pairs",
         lambda: native.ratio_many(as_b), lambda: handle.ratio_many(as_b)),
        (f"one {len(long_query)}-character query as b, {count:,} pairs",
         lambda: native.ratio_many(as_b_long), lambda: handle.ratio_many(as_b_long)),
        (f"{count:,} pairs over 50 strings",
         lambda: native.ratio_many(repeated), lambda: handle.ratio_many(repeated)),
        ("200 clusterings of 50 strings, threads=2",
         lambda: [native.cluster_canonicals(small, 0.8, 2) for _ in range(200)],
         lambda: [pooled.cluster_canonicals(small, 0.8) for _ in range(200)]),
    ]
    section = Section("rationer", "Rationer: one handle for many calls")
    section.text.append(
        "`Rationer.ratio_many` (strings interned, each distinct pair computed once, the match index of "
        "a second string shared by its pairs) and `Rationer(threads=2)` (its pool started once) against "
        f"the module functions, on distinct standard-library lines. Medians of {ctx.runs} runs, the two "
        "taking turns; every result of the handle is checked equal to the module's.")
    table = Table(["case", "module functions", "Rationer", "module / Rationer"])
    for label, module_fn, handle_fn in cases:
        ctx.log(f"  Rationer: {label}")
        module_times, handle_times = [], []
        for _ in range(ctx.runs):
            start = time.perf_counter()
            expected = module_fn()
            module_times.append(time.perf_counter() - start)
            start = time.perf_counter()
            got = handle_fn()
            handle_times.append(time.perf_counter() - start)
            if got != expected:
                raise SystemExit(f"Rationer result differs from the module function: {label}")
        section.raw[label] = {"module": module_times, "Rationer": handle_times}
        table.add(label, fmt_seconds(median(module_times)), fmt_seconds(median(handle_times)),
                  fmt_ratio(paired_ratio(module_times, handle_times)))
    section.tables.append(table)
    return section


def scale(ctx: Context) -> Section:
    budget = 5.0 if ctx.quick else 30.0
    section = Section("scale", "Scale: each operation as its input doubles")
    section.text.append(
        "One fresh process per row: `ratio` on a slice of standard-library lines against a copy with "
        "100 edits; `cluster_canonicals`, `cluster_canonicals_lsh` (64 permutations, 4 rows a band) "
        "and `cosine_join` (whitespace tokens) on distinct standard-library lines (edited copies "
        "beyond the distinct ones), all at 0.9. Peak RSS is the whole process's, input included. "
        f"A series stops after the first size that takes more than {budget:.0f} s. One run per row.")
    table = Table(["operation", "input size", "time", "growth vs half size", "peak RSS", "result size"])
    for op, sizes in bench_scale.SERIES.items():
        previous = None
        for n in sizes[:3] if ctx.quick else sizes:
            ctx.log(f"  scale: {op} {n}")
            try:
                done = subprocess.run([sys.executable, "-c", bench_scale.CHILD, op, str(n)],
                                      capture_output=True, text=True, timeout=budget * 6)
            except subprocess.TimeoutExpired:
                table.add(op, f"{n:,}", f"> {budget * 6:.0f} s", "", "", "")
                break
            if done.returncode != 0:
                lines = done.stderr.strip().splitlines() or ["failed"]
                table.add(op, f"{n:,}", f"failed: {lines[-1][:80]}", "", "", "")
                break
            r = json.loads(done.stdout)
            growth = f"{r['seconds'] / previous:.2f}×" if previous else ""
            table.add(op, f"{n:,}", fmt_seconds(r["seconds"]), growth, f"{r['peak_mib']:,.0f} MiB", r["result"])
            previous = r["seconds"]
            if r["seconds"] > budget:
                break
    section.tables.append(table)
    return section
