"""The TF-IDF cosine join against scikit-learn and sparse_dot_topn over corpus size."""

from __future__ import annotations

import os
import pickle
import sys
import tempfile
from typing import Any

import bench_cosine
from cosine_corpus import stdlib_documents

from .common import Budget, Context, Section, Table, cell, fmt_seconds, median, optional


def short_error(line: str, limit: int = 60) -> str:
    """An exception line without the module path of its type, cut at a word."""
    kind, _, message = line.partition(":")
    text = f"{kind.rsplit('.', 1)[-1]}:{message}" if message else kind
    if len(text) <= limit:
        return text
    return text[:limit].rsplit(" ", 1)[0] + " …"


def join(ctx: Context) -> Section:
    threshold = 0.7
    sizes = [1000, 2000] if ctx.quick else [2500, 5000, 10000, 20000, 40000]
    runs = min(ctx.runs, 3)
    methods = ["simsieve"]
    if optional("sklearn", ctx, "scikit-learn") is not None:
        methods.append("sklearn")
        if optional("sparse_dot_topn", ctx) is not None:
            methods.append("sparse_dot_topn")
    budget = Budget(ctx.peer_budget, runs)
    cap = bench_cosine.MEMORY_CAP >> 30
    section = Section("cosine_join", "cosine_join: exact all-pairs TF-IDF cosine")
    section.text.append(
        f"`cosine_join(docs, {threshold})` on n token documents of the standard library (half functions, "
        "half single lines, split into word and punctuation tokens), against scikit-learn "
        "(`TfidfVectorizer` on the same token lists, the sparse product `X @ X.T`, its upper triangle "
        "filtered at the threshold) and sparse_dot_topn (`sp_matmul_topn` on the same matrix, every "
        "row's results kept, both cores). Each measurement is a fresh process capped at a "
        f"{cap} GiB address space, timed from token lists to the list of pairs; the methods take "
        f"turns run by run. Medians of {runs} runs; ratios peer over simsieve, run by run. scikit-learn "
        "smooths its idf and keeps tokens that occur everywhere, so its cosines, and its pair counts, "
        "are not cosine_join's: they are a sanity check, not a target. A peer that failed is not run "
        "on larger corpora.")
    table = Table(["documents", "tokens", *[f"{m}" for m in methods], "pairs (simsieve / sklearn)"])
    series: dict[str, dict[str, list[Any]]] = {m: {"size": [], "seconds": [], "failed": []} for m in methods}
    failed: dict[str, str] = {}
    with tempfile.TemporaryDirectory() as tmp:
        for n in sizes:
            ctx.log(f"  cosine join: {n} documents")
            docs = stdlib_documents(n)
            corpus = os.path.join(tmp, f"docs{n}.pkl")
            with open(corpus, "wb") as handle:
                pickle.dump(docs, handle)
            plan = {m: (runs, None) if m == "simsieve" else budget.plan(m, n) for m in methods}
            times: dict[str, list[float]] = {m: [] for m in methods}
            pairs: dict[str, int] = {}
            errors: dict[str, str] = {}
            for r in range(runs):
                for m in methods:
                    if m in failed or m in errors or r >= plan[m][0]:
                        continue
                    got = bench_cosine.measure(sys.executable, corpus, m, threshold, 1, ctx.peer_budget)
                    if got is None:
                        errors[m] = f"timed out after {ctx.peer_budget:.0f} s"
                    elif "error" in got:
                        errors[m] = f"failed: {short_error(got['error'])}"
                    else:
                        times[m].append(got["times"][0])
                        pairs[m] = got["result"]
            cells = []
            for m in methods:
                if m in failed:
                    cells.append(f"not run ({failed[m]} at a smaller size)")
                elif m in errors:
                    cells.append(errors[m])
                    failed[m] = errors[m].split(":")[0]
                    series[m]["failed"].append(n)
                elif not times[m]:
                    cells.append(f"not run (one run ≈ {fmt_seconds(plan[m][1] or 0)})")
                else:
                    if m != "simsieve":
                        budget.record(m, n, median(times[m]))
                    cells.append(cell(times[m], times["simsieve"] if m != "simsieve" else None, planned=runs))
                    series[m]["size"].append(n)
                    series[m]["seconds"].append(median(times[m]))
            section.raw[str(n)] = times
            counts = " / ".join(f"{pairs[m]:,}" if m in pairs else "–" for m in ("simsieve", "sklearn"))
            table.add(f"{n:,}", f"{sum(map(len, docs)):,}", *cells, counts)
    section.tables.append(table)
    section.series = series
    return section
