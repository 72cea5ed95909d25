"""Workloads of the single-pair ratio and its batch forms, against difflib and its C ports.

Every result of every implementation is compared with difflib's on every pair; the count of
values that differ is part of each row."""

from __future__ import annotations

import difflib
import random
import time
from typing import Any, Callable

import bench_ratio
import bench_ratio_many
from simsieve import _simsieve as native

import simsieve

from .common import (Budget, Context, Section, Table, cell, count_differences, fmt_ratio, fmt_seconds,
                     median, optional, paired_ratio, seconds_per_call)

Pair = tuple[str, str]
RatioFn = Callable[[str, str], float]


def difflib_ratio(a: str, b: str) -> float:
    return difflib.SequenceMatcher(None, a, b, autojunk=False).ratio()


def implementations(ctx: Context, with_rapidfuzz: bool = True) -> list[tuple[str, RatioFn]]:
    """simsieve first, then difflib, then the installed peers (same metric, then rapidfuzz)."""
    out: list[tuple[str, RatioFn]] = [("simsieve", native.ratio), ("difflib", difflib_ratio)]
    cyd = optional("cydifflib", ctx)
    if cyd is not None:
        out.append(("cydifflib", lambda a, b: cyd.SequenceMatcher(None, a, b, autojunk=False).ratio()))
    cd = optional("cdifflib", ctx)
    if cd is not None:
        out.append(("cdifflib", lambda a, b: cd.CSequenceMatcher(None, a, b, autojunk=False).ratio()))
    if with_rapidfuzz and optional("rapidfuzz", ctx) is not None:
        from rapidfuzz.distance import Indel
        out.append(("rapidfuzz", Indel.normalized_similarity))
    return out


FAST = {"simsieve", "rapidfuzz"}  # cheap enough to loop for a while per timed run


def differences(name: str, values: list[float], truth: list[float]) -> str:
    wrong = count_differences(values, truth)
    if name != "rapidfuzz" or wrong == 0:
        return f"{name} {wrong}"
    # Indel similarity is another metric; show how many are more than rounding away.
    far = sum(1 for v, t in zip(values, truth) if abs(v - t) > 1e-9)
    return f"rapidfuzz {wrong} ({far} by > 1e-9)"


def measure_pairs(ctx: Context, impls: list[tuple[str, RatioFn]], pairs: list[Pair], runs: int,
                  budget: Budget | None = None, size: float = 0.0, min_seconds: float = 0.2
                  ) -> tuple[dict[str, list[float]], dict[str, float | None], dict[str, list[float]]]:
    """Per implementation: seconds per pass over the pairs for each run (interleaved run by run),
    the predicted seconds of the ones the budget left out, and the values of one pass."""
    plan: dict[str, int] = {}
    skipped: dict[str, float | None] = {}
    for name, _ in impls:
        if budget is None or name in FAST:
            plan[name] = runs
            continue
        count, predicted = budget.plan(name, size)
        plan[name] = min(count, runs)
        if count == 0:
            skipped[name] = predicted
    times: dict[str, list[float]] = {name: [] for name, _ in impls if plan[name]}
    values: dict[str, list[float]] = {}
    for name, fn in impls:
        if plan[name]:
            start = time.perf_counter()
            values[name] = [fn(a, b) for a, b in pairs]
            if name not in FAST:
                times[name].append(time.perf_counter() - start)
    for r in range(runs):
        for name, fn in impls:
            if r >= plan[name] or (name not in FAST and r == 0):
                continue
            times[name].append(seconds_per_call(lambda: [fn(a, b) for a, b in pairs],
                                                min_seconds if name in FAST else 0.0))
    if budget is not None:
        for name in times:
            budget.record(name, size, median(times[name]))
    return times, skipped, values


def datasets(ctx: Context) -> Section:
    impls = implementations(ctx)
    names = [n for n, _ in impls]
    section = Section("ratio", "ratio: one pair at a time")
    section.text.append(
        "`simsieve.ratio(a, b)` called once per pair from Python, against "
        "`difflib.SequenceMatcher(None, a, b, autojunk=False).ratio()` and the same call of cydifflib "
        "and cdifflib (C ports of difflib), and rapidfuzz's `Indel.normalized_similarity` (an LCS-based "
        "similarity: a different metric, here only as a speed anchor). Inputs come from the standard "
        "library's own source: identifiers, stripped code lines, whole functions, `ast.dump` of "
        "functions (half of each set a string and an edited copy, half two random members), a "
        "10 000-character slice against a copy with 20 edits, and random 3 000-base DNA strings "
        "against copies with 100 edits. Cells: median time per pair, and in brackets the peer's time "
        "over simsieve's, taken run by run, then the median. The last column counts the results, out "
        "of every pair, that are not bit for bit difflib's.")
    table = Table(["dataset", "pairs", "mean length", *names, "results ≠ difflib"])
    for title, pairs, _ in bench_ratio.datasets(ctx.quick):
        ctx.log(f"  ratio: {title}")
        times, _, values = measure_pairs(ctx, impls, pairs, ctx.runs)
        ours = times["simsieve"]
        cells = [cell(ours, None, len(pairs))]
        cells += [cell(times[n], ours, len(pairs), ctx.runs) for n in names[1:]]
        section.raw[title] = {"pairs": len(pairs), "seconds per pass": times}
        truth = values["difflib"]
        diffs = "; ".join(differences(n, values[n], truth) for n in names if n != "difflib")
        mean_len = sum(len(a) + len(b) for a, b in pairs) / (2 * len(pairs))
        table.add(title, len(pairs), f"{mean_len:.0f}", *cells, diffs)
    section.tables.append(table)
    return section


def near_duplicate(rnd: random.Random, text: str, n: int) -> Pair:
    start = rnd.randrange(len(text) - n)
    a = text[start:start + n]
    return a, bench_ratio.edit(rnd, a, max(1, n // 500), "abcdefghijklmnopqrstuvwxyz_ ()\n")


def by_size(ctx: Context) -> Section:
    """Near-duplicate documents from 100 to 100 000 characters: the plot of time against size."""
    impls = implementations(ctx)
    names = [n for n, _ in impls]
    sizes = [100, 1000, 10000] if ctx.quick else [100, 316, 1000, 3162, 10000, 31623, 100000]
    corpus = bench_ratio.stdlib_text()[4]
    while len(corpus) < 2 * sizes[-1]:
        corpus += corpus
    rnd = random.Random(7)
    budget = Budget(ctx.peer_budget, ctx.runs)
    section = Section("ratio_by_size", "ratio against document size")
    section.text.append(
        "A slice of the standard library's source of n characters against a copy with one random "
        "edit per 500 characters (at least one), for n from 100 to 100 000; several pairs per size "
        "below 10 000 characters. Cells: median time per pair (peer over simsieve, same run). "
        f"difflib and its ports are quadratic: at each size a peer gets as many of the {ctx.runs} runs "
        f"as its cost predicted from the previous size fits into {ctx.peer_budget:.0f} s (a cell "
        "names its runs when they are fewer), and is left out when a single run would not fit.")
    table = Table(["characters", "pairs", *names, "results ≠ difflib"])
    series: dict[str, dict[str, list[float]]] = {n: {"size": [], "seconds": []} for n in names}
    for n in sizes:
        count = max(1, min(40, 20000 // n))
        pairs = [near_duplicate(rnd, corpus, n) for _ in range(count)]
        ctx.log(f"  ratio by size: {n} characters")
        times, skipped, values = measure_pairs(ctx, impls, pairs, ctx.runs, budget, n)
        ours = times["simsieve"]
        cells = []
        for name in names:
            if name in skipped:
                cells.append(f"not run (one run ≈ {fmt_seconds(skipped[name] or 0)})")
                continue
            cells.append(cell(times[name], None if name == "simsieve" else ours, count, ctx.runs))
            series[name]["size"].append(n)
            series[name]["seconds"].append(median(times[name]) / count)
        truth = values.get("difflib")
        diffs = ("; ".join(differences(m, values[m], truth) for m in names if m != "difflib" and m in values)
                 if truth is not None else "difflib not run")
        table.add(f"{n:,}", count, *cells, diffs)
        section.raw[str(n)] = {"pairs": count, "seconds per pass": times, "left out (predicted s)": skipped}
    section.tables.append(table)
    section.series = series
    return section


def batch(ctx: Context) -> Section:
    """ratio_many against loops of the peers and rapidfuzz's own parallel batch."""
    count = 5000 if ctx.quick else 50000
    pairs = bench_ratio_many.code_line_pairs(count)
    firsts = [a for a, _ in pairs]
    seconds = [b for _, b in pairs]
    runners: list[tuple[str, Callable[[], list[float]]]] = [
        ("simsieve ratio_many", lambda: native.ratio_many(pairs)),
        ("simsieve ratio_many, threads=1", lambda: native.ratio_many(pairs, 1)),
        ("loop of simsieve.ratio", lambda: [native.ratio(a, b) for a, b in pairs]),
    ]
    for name, fn in implementations(ctx, with_rapidfuzz=False)[1:]:
        runners.append((f"loop of {name}", lambda fn=fn: [fn(a, b) for a, b in pairs]))
    if optional("rapidfuzz", ctx) is not None:
        from rapidfuzz import process
        from rapidfuzz.distance import Indel
        runners.append(("rapidfuzz cpdist, all cores", lambda: process.cpdist(
            firsts, seconds, scorer=Indel.normalized_similarity, workers=-1).tolist()))
    section = Section("ratio_many", "ratio_many: a batch of pairs")
    section.text.append(
        f"{count:,} pairs of stripped standard-library code lines (half neighbouring lines of one file, "
        "half random; about 65 characters a pair) as one batch: `ratio_many` on the shared pool (all "
        "cores) and on one worker, against a Python loop of each single-pair function and rapidfuzz's "
        "`process.cpdist` with Indel similarity on all cores (another metric). Median wall time of "
        f"{ctx.runs} runs; the ratio is each way's time over `ratio_many`'s, run by run.")
    times: dict[str, list[float]] = {name: [] for name, _ in runners}
    values: dict[str, list[float]] = {}
    for r in range(ctx.runs):
        for name, fn in runners:
            start = time.perf_counter()
            result = fn()
            times[name].append(time.perf_counter() - start)
            values.setdefault(name, result)
    truth = values["loop of difflib"]
    section.raw = {"pairs": count, "seconds": times}
    table = Table(["way", "median time", "per pair", "vs ratio_many", "results ≠ difflib"])
    ours = times["simsieve ratio_many"]
    for name, _ in runners:
        t = median(times[name])
        ratio = fmt_ratio(paired_ratio(times[name], ours))
        wrong = count_differences(values[name], truth)
        table.add(name, fmt_seconds(t), fmt_seconds(t / count), ratio, wrong)
    section.tables.append(table)
    return section


def close_matches(ctx: Context) -> Section:
    """get_close_matches over the standard library's identifiers."""
    names = [n for n in bench_ratio.stdlib_text()[0] if len(n) >= 4]
    rnd = random.Random(3)
    queries = [bench_ratio.edit(rnd, rnd.choice(names), rnd.randint(1, 2), "abcdefghijklmnopqrstuvwxyz_")
               for _ in range(20 if ctx.quick else 200)]
    ways: list[tuple[str, Callable[[str], list[Any]]]] = [
        ("simsieve", lambda q: simsieve.get_close_matches(q, names)),
        ("difflib", lambda q: difflib.get_close_matches(q, names)),
    ]
    cyd = optional("cydifflib", ctx)
    if cyd is not None:
        ways.append(("cydifflib", lambda q: cyd.get_close_matches(q, names)))
    if optional("rapidfuzz", ctx) is not None:
        from rapidfuzz import fuzz, process
        ways.append(("rapidfuzz", lambda q: [m for m, _, _ in process.extract(
            q, names, scorer=fuzz.ratio, limit=3, score_cutoff=60)]))
    section = Section("close_matches", "get_close_matches")
    section.text.append(
        f"{len(queries)} misspelt identifiers looked up among the {len(names):,} distinct identifiers "
        "(4 characters or more) of the benchmark's standard-library modules, n=3, cutoff=0.6, against "
        "`difflib.get_close_matches`, cydifflib's and rapidfuzz's `process.extract(scorer=fuzz.ratio, "
        "limit=3, score_cutoff=60)` (another metric). Median time per query over the runs; the last "
        "column counts the queries whose answer is not difflib's.")
    times: dict[str, list[float]] = {name: [] for name, _ in ways}
    answers: dict[str, list[list[Any]]] = {}
    for r in range(min(ctx.runs, 3)):
        for name, fn in ways:
            start = time.perf_counter()
            got = [fn(q) for q in queries]
            times[name].append((time.perf_counter() - start) / len(queries))
            answers.setdefault(name, got)
    section.raw = {"queries": len(queries), "seconds per query": times}
    table = Table(["way", "per query", "answers ≠ difflib's"])
    truth = answers["difflib"]
    for name, _ in ways:
        ours = None if name == "simsieve" else times["simsieve"]
        wrong = sum(1 for g, t in zip(answers[name], truth) if g != t)
        table.add(name, cell(times[name], ours), wrong)
    section.tables.append(table)
    return section
