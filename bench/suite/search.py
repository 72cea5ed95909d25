"""Search workloads: the best matches of one query among 100 000 lines, and every good pair of
2 000 queries and 100 000 lines, against difflib's get_close_matches and rapidfuzz's process."""

from __future__ import annotations

import difflib
import random
import time
from typing import Any, Callable

import bench_ratio
import stdlib_corpus

import simsieve

from .common import Context, Section, Table, cell, fmt_seconds, median, optional

ALPHABET = "abcdefghijklmnopqrstuvwxyz_ ()."


def misspelt(rnd: random.Random, lines: list[str], count: int) -> list[str]:
    return [bench_ratio.edit(rnd, rnd.choice(lines), rnd.randint(1, 3), ALPHABET) for _ in range(count)]


def top_k(ctx: Context, lines: list[str], queries: list[str]) -> tuple[Table, dict[str, list[float]]]:
    ways: list[tuple[str, Callable[[str], list[Any]]]] = [
        ("simsieve.extract", lambda q: [c for c, _, _ in simsieve.extract(q, lines, limit=5, score_cutoff=0.8)]),
        ("simsieve.extract, threads=1",
         lambda q: [c for c, _, _ in simsieve.extract(q, lines, limit=5, score_cutoff=0.8, threads=1)]),
        ("simsieve.get_close_matches", lambda q: simsieve.get_close_matches(q, lines, 5, 0.8)),
        ("difflib.get_close_matches", lambda q: difflib.get_close_matches(q, lines, 5, 0.8)),
    ]
    if optional("rapidfuzz", ctx) is not None:
        from rapidfuzz import fuzz, process
        ways.append(("rapidfuzz process.extract", lambda q: [c for c, _, _ in process.extract(
            q, lines, scorer=fuzz.ratio, limit=5, score_cutoff=80)]))
    times: dict[str, list[float]] = {name: [] for name, _ in ways}
    answers: dict[str, list[list[Any]]] = {}
    for _ in range(min(ctx.runs, 3)):
        for name, fn in ways:
            per_query = []
            got = []
            for q in queries:
                start = time.perf_counter()
                got.append(fn(q))
                per_query.append(time.perf_counter() - start)
            times[name].append(median(per_query))
            answers.setdefault(name, got)
    truth = answers["difflib.get_close_matches"]
    table = Table(["way", "per query (vs simsieve.extract)", "answers ≠ difflib's"])
    ours = times["simsieve.extract"]
    for name, _ in ways:
        wrong = sum(1 for g, t in zip(answers[name], truth) if g != t)
        table.add(name, cell(times[name], None if name == "simsieve.extract" else ours), wrong)
    return table, times


def many(ctx: Context, lines: list[str], queries: list[str]) -> tuple[Table, dict[str, Any]]:
    runs = 1 if not ctx.quick else 2
    ways: list[tuple[str, Callable[[], int]]] = [
        ("simsieve.match", lambda: len(simsieve.match(queries, lines, score_cutoff=0.8))),
        ("simsieve.match, limit=5", lambda: len(simsieve.match(queries, lines, score_cutoff=0.8, limit=5))),
    ]
    if optional("rapidfuzz", ctx) is not None:
        import numpy as np
        from rapidfuzz import fuzz, process

        def rapidfuzz_cdist() -> int:
            matrix = process.cdist(queries, lines, scorer=fuzz.ratio, score_cutoff=80, dtype=np.uint8, workers=-1)
            return int(np.count_nonzero(matrix))
        ways.append(("rapidfuzz process.cdist, workers=-1", rapidfuzz_cdist))
    times: dict[str, list[float]] = {name: [] for name, _ in ways}
    found: dict[str, int] = {}
    for _ in range(runs):
        for name, fn in ways:
            start = time.perf_counter()
            found[name] = fn()
            times[name].append(time.perf_counter() - start)
    table = Table(["way", "time (vs simsieve.match)", "pairs found"])
    for name, _ in ways:
        table.add(name, cell(times[name], None if name == "simsieve.match" else times["simsieve.match"]), found[name])
    return table, {"seconds": times, "pairs": found}


def search(ctx: Context) -> Section:
    n_lines = 20_000 if ctx.quick else 100_000
    lines = stdlib_corpus.stdlib_lines(n_lines, seed=1)
    rnd = random.Random(17)
    queries = misspelt(rnd, lines, 5 if ctx.quick else 20)
    batch = misspelt(rnd, lines, 200 if ctx.quick else 2_000)
    section = Section("search", "search: extract and match")
    section.text.append(
        f"One query against {n_lines:,} distinct stripped standard-library code lines (about 38 "
        f"characters each) at cutoff 0.8, best 5: `simsieve.extract` on all cores and on one thread, "
        f"`simsieve.get_close_matches` and difflib's (n=5, cutoff=0.8), and rapidfuzz's "
        f"`process.extract(scorer=fuzz.ratio, limit=5, score_cutoff=80)` (Indel similarity: another "
        f"metric). Queries are {len(queries)} lines of the corpus with 1 to 3 random edits; median "
        f"time per query, in each of {min(ctx.runs, 3)} runs, then the median over runs; the ratio "
        f"is each way's time over extract's, run by run. The last column counts the queries whose "
        f"answer (the list of matched lines) is not difflib's; a tie at the 5th place may order "
        f"differently, since difflib breaks ties by the line itself and extract by input position.")
    table, times = top_k(ctx, lines, queries)
    section.tables.append(table)
    section.text.append(
        f"Many to many: {len(batch):,} such queries against the same {n_lines:,} lines at cutoff 0.8 "
        f"with `simsieve.match` (all cores; also best 5 per query), against rapidfuzz's "
        f"`process.cdist(scorer=fuzz.ratio, score_cutoff=80, dtype=uint8, workers=-1)`, which fills "
        f"the dense matrix; pairs found counts its non-zero entries. One run each, side by side.")
    table2, raw2 = many(ctx, lines, batch)
    section.tables.append(table2)
    section.raw = {"lines": n_lines, "top_k seconds per query": times, "many": raw2}
    return section
