"""Clustering workloads against the number of strings: exact single linkage (against difflib over
all pairs and rapidfuzz's cdist) and MinHash/LSH (against datasketch with difflib verification)."""

from __future__ import annotations

import difflib
import json
import os
import random
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

import bench_cluster
import bench_cluster_ab
import bench_cluster_lsh
from simsieve import _simsieve as native
from stdlib_corpus import stdlib_lines

from .common import Budget, Context, Section, Table, cell, fmt_ratio, fmt_seconds, median, optional

Clusters = list[tuple[list[int], float]]


def _ratios_against(lines: list[str], j: int) -> list[float]:
    """ratio(lines[i], lines[j]) for every i < j, with b = lines[j] indexed once (difflib's own
    advice for one string against many)."""
    matcher = difflib.SequenceMatcher(None, autojunk=False)
    matcher.set_seq2(lines[j])
    out = []
    for i in range(j):
        matcher.set_seq1(lines[i])
        out.append(matcher.ratio())
    return out


def difflib_clusters(lines: list[str], threshold: float) -> Clusters:
    """Single linkage over every pair's difflib ratio, with each cluster's minimum ratio: what a
    user without simsieve computes (quadratic in the number of strings)."""
    n = len(lines)
    ratio = {}
    parent = list(range(n))

    def find(x: int) -> int:
        while parent[x] != x:
            parent[x] = parent[parent[x]]
            x = parent[x]
        return x

    for j in range(n):
        for i, r in enumerate(_ratios_against(lines, j)):
            ratio[i, j] = r
            if r >= threshold:
                ri, rj = find(i), find(j)
                if ri != rj:
                    parent[ri] = rj
    groups: dict[int, list[int]] = {}
    for k in range(n):
        groups.setdefault(find(k), []).append(k)
    out = []
    for members in groups.values():
        if len(members) > 1:
            low = min(ratio[a, b] for x, a in enumerate(members) for b in members[x + 1:])
            out.append((members, low))
    return sorted(out)


def difflib_all_pairs_guess(lines: list[str], columns: int = 40, seed: int = 1) -> float:
    """Seconds difflib_clusters would need, from timing every pair of `columns` random strings
    against all earlier ones."""
    rnd = random.Random(seed)
    picked = rnd.sample(range(1, len(lines)), columns)
    start = time.perf_counter()
    for j in picked:
        _ratios_against(lines, j)
    per_pair = (time.perf_counter() - start) / sum(picked)
    return per_pair * len(lines) * (len(lines) - 1) / 2


def canonical(clusters: Any) -> Clusters:
    return sorted((sorted(m), r) for m, r in clusters)


def clusters_differing(ours: Clusters, truth: Clusters) -> int:
    """Clusters present in one list and not in the other (members or minimum ratio differ)."""
    a, b = canonical(ours), canonical(truth)
    return len([c for c in a if c not in b]) + len([c for c in b if c not in a])


def edited_copies(ctx: Context, mode: str, threshold: float) -> Table:
    """One fresh-process run on distinct lines each followed by four edited copies (one to three
    random character edits; a million lines in all outside quick mode): wall and CPU time, peak."""
    distinct = 2000 if ctx.quick else 200_000
    table = Table(["lines", "distinct + edited copies", "simsieve wall", "CPU (user + system)", "peak RSS",
                   "clusters"])
    ctx.log(f"  {mode} clustering: {distinct} lines with four edited copies each")
    here = str(Path(bench_cluster_ab.__file__).resolve().parent)
    done = subprocess.run([sys.executable, "-c", bench_cluster_ab.CHILD, str(distinct), str(threshold), mode, here, "4"],
                          capture_output=True, text=True)
    if done.returncode:
        lines = done.stderr.strip().splitlines() or ["failed"]
        table.add(f"{5 * distinct:,}", f"{distinct:,} + 4 each", f"failed: {lines[-1][:80]}", "", "", "")
        return table
    r = json.loads(done.stdout)
    table.add(f"{5 * distinct:,}", f"{distinct:,} + 4 each", fmt_seconds(r["wall"]), fmt_seconds(r["cpu"]),
              f"{r['rss']:,} MiB", r["clusters"])
    return table


def exact(ctx: Context) -> Section:
    threshold = 0.8
    sizes = [250, 500, 1000, 2000] if ctx.quick else [1000, 2500, 5000, 10000, 20000, 50000, 100000, 200000]
    brute_n = 500 if ctx.quick else 1000
    runs = min(ctx.runs, 3)
    rapidfuzz = optional("rapidfuzz", ctx)
    pool = stdlib_lines(sizes[-1])
    budget = Budget(ctx.peer_budget, runs)
    section = Section("cluster_exact", "cluster_canonicals: exact clustering")
    section.text.append(
        f"`cluster_canonicals(lines, {threshold})` on n distinct stripped lines of the standard library's "
        "sources (a fixed random sample, about 38 characters a line), each run in a fresh process "
        "(the call's wall time). Peers: every pair through difflib with union-find and each cluster's "
        f"minimum ratio (run for real up to {brute_n:,} lines, where its clusters are compared with "
        "simsieve's; beyond, its time is extrapolated from every pair of 40 random lines with all earlier ones, timed, and marked ≈; difflib indexes each second string once), and "
        "rapidfuzz's `process.cdist(scorer=fuzz.ratio, score_cutoff=80, workers=-1)` in blocks of "
        "1 000 rows plus union-find (another metric, so other clusters, and no minima: the speed "
        f"anchor). Medians of {runs} runs; ratios are peer over simsieve, run by run.")
    table = Table(["lines", "simsieve", "clusters", "difflib all pairs", "rapidfuzz cdist + union-find",
                   "rapidfuzz clusters", "clusters ≠ difflib's"])
    series: dict[str, dict[str, list[Any]]] = {k: {"size": [], "seconds": []} for k in
                                               ("simsieve", "difflib", "difflib ≈", "rapidfuzz")}
    with tempfile.TemporaryDirectory() as tmp:
        for n in sizes:
            lines = pool[:n]
            ctx.log(f"  exact clustering: {n} lines")
            path = os.path.join(tmp, "in.json")
            Path(path).write_text(json.dumps([lines, threshold, 0]))
            rf_runs, rf_predicted = budget.plan("rapidfuzz", n) if rapidfuzz else (0, None)
            dl_runs, dl_predicted = budget.plan("difflib", n) if n <= brute_n else (0, None)
            ours: list[float] = []
            rf: list[float] = []
            dl: list[float] = []
            rf_clusters = truth = None
            clusters = 0
            for r in range(runs):
                info = bench_cluster.run_child(path, threshold, 0, progress=False)
                ours.append(info["seconds"])
                clusters = info["clusters"]
                if r < rf_runs:
                    seconds, rf_clusters = bench_cluster.rapidfuzz_components(lines, threshold)
                    rf.append(seconds)
                if r < dl_runs:
                    start = time.perf_counter()
                    truth = difflib_clusters(lines, threshold)
                    dl.append(time.perf_counter() - start)
            if rf:
                budget.record("rapidfuzz", n, median(rf))
            if dl:
                budget.record("difflib", n, median(dl))
            series["simsieve"]["size"].append(n)
            series["simsieve"]["seconds"].append(median(ours))
            section.raw[str(n)] = {"simsieve": ours, "difflib": dl, "rapidfuzz": rf}
            if dl:
                dl_cell = cell(dl, ours, planned=runs)
                series["difflib"]["size"].append(n)
                series["difflib"]["seconds"].append(median(dl))
                wrong = str(clusters_differing(native.cluster_canonicals(lines, threshold), truth or []))
            else:
                guess = difflib_all_pairs_guess(lines)
                dl_cell = f"≈ {fmt_seconds(guess)} (≈ {fmt_ratio(guess / median(ours))})"
                series["difflib ≈"]["size"].append(n)
                series["difflib ≈"]["seconds"].append(guess)
                wrong = "not checked"
            if rf:
                rf_cell = cell(rf, ours, planned=runs)
                series["rapidfuzz"]["size"].append(n)
                series["rapidfuzz"]["seconds"].append(median(rf))
            elif rapidfuzz:
                rf_cell = f"not run (one run ≈ {fmt_seconds(rf_predicted or 0)})"
            else:
                rf_cell = "not installed"
            table.add(f"{n:,}", fmt_seconds(median(ours)), clusters, dl_cell, rf_cell,
                      rf_clusters if rf_clusters is not None else "", wrong)
    section.tables.append(table)
    section.text.append(
        f"Below: `cluster_canonicals(lines, {threshold})` on distinct lines each followed by four edited copies "
        "(`bench/bench_cluster_ab.py` builds the same input), one run in a fresh process.")
    section.tables.append(edited_copies(ctx, "exact", threshold))
    section.series = series
    return section


def minima_differing(lines: list[str], clusters: Clusters, max_pairs: int = 300_000) -> tuple[int, int]:
    """(clusters whose minimum is not difflib's over all member pairs, clusters checked): clusters
    are checked smallest first until max_pairs member pairs have been compared."""
    wrong = checked = pairs = 0
    for members, low in sorted(clusters, key=lambda c: len(c[0])):
        k = len(members)
        pairs += k * (k - 1) // 2
        if pairs > max_pairs:
            break
        truth = min(difflib.SequenceMatcher(None, lines[a], lines[b], autojunk=False).ratio()
                    for x, a in enumerate(members) for b in members[x + 1:])
        wrong += truth != low
        checked += 1
    return wrong, checked


def lsh(ctx: Context) -> Section:
    threshold = 0.8
    sizes = [5000, 10000] if ctx.quick else [12500, 25000, 50000, 100000, 200000]
    layouts = [(128, 8)] if ctx.quick else [(128, 8), (128, 4)]
    runs = min(ctx.runs, 3)
    have_peer = optional("datasketch", ctx) is not None
    pool = stdlib_lines(sizes[-1])
    budget = Budget(ctx.peer_budget, runs)
    section = Section("cluster_lsh", "cluster_canonicals_lsh: MinHash/LSH clustering")
    section.text.append(
        f"`cluster_canonicals_lsh(lines, {threshold}, num_perm, band_rows)` on n distinct standard-library "
        "lines (the same sample as above), each run in a fresh process. The peer is datasketch with "
        "the same nine-byte shingles of the UTF-8 bytes, the same `num_perm` and band layout "
        "(`MinHash.bulk`, `MinHashLSH` insert and query), difflib verifying every candidate pair with "
        "the same threshold rule, and union-find. The peer computes no cluster minima (simsieve "
        "computes each cluster's exact minimum over all member pairs), which favours it; its hash "
        "functions differ, so its candidates differ a little. The last column compares simsieve's "
        "minima with difflib's over all member pairs, smallest clusters first, up to 300 000 pairs "
        f"(at the smallest size). Medians of {runs} runs; ratios peer over simsieve, run by run.")
    table = Table(["lines", "num_perm:band_rows", "simsieve", "clusters", "candidate pairs", "datasketch + difflib",
                   "peer clusters", "peer candidate pairs", "minima ≠ difflib's"])
    series: dict[str, dict[str, list[Any]]] = {}
    with tempfile.TemporaryDirectory() as tmp:
        for num_perm, band_rows in layouts:
            key = f"{num_perm}:{band_rows}"
            series[f"simsieve {key}"] = {"size": [], "seconds": []}
            series[f"datasketch {key}"] = {"size": [], "seconds": []}
            for n in sizes:
                lines = pool[:n]
                ctx.log(f"  LSH clustering: {n} lines, {key}")
                path = os.path.join(tmp, "in.json")
                Path(path).write_text(json.dumps(lines))
                peer_runs, predicted = budget.plan(key, n, 1.0) if have_peer else (0, None)
                ours: list[float] = []
                peer: list[float] = []
                info: dict[str, Any] = {}
                got: dict[str, Any] = {}
                for r in range(runs):
                    info = bench_cluster_lsh.run_child(path, "lsh", threshold, num_perm, band_rows)
                    ours.append(info["seconds"])
                    if r < peer_runs:
                        got = bench_cluster_lsh.peer(lines, threshold, num_perm, band_rows)
                        peer.append(got["total"])
                if peer:
                    budget.record(key, n, median(peer))
                candidates = f'{info["marks"]["candidate"][0]:,}'
                if n == sizes[0]:
                    wrong, checked = minima_differing(
                        lines, native.cluster_canonicals_lsh(lines, threshold, num_perm, band_rows))
                    check = f"{wrong} of {checked:,} checked"
                else:
                    check = "not checked"
                section.raw[f"{n} {key}"] = {"simsieve": ours, "datasketch": peer}
                series[f"simsieve {key}"]["size"].append(n)
                series[f"simsieve {key}"]["seconds"].append(median(ours))
                if peer:
                    peer_cell = cell(peer, ours, planned=runs)
                    series[f"datasketch {key}"]["size"].append(n)
                    series[f"datasketch {key}"]["seconds"].append(median(peer))
                elif have_peer:
                    peer_cell = f"not run (one run ≈ {fmt_seconds(predicted or 0)})"
                else:
                    peer_cell = "not installed"
                table.add(f"{n:,}", key, fmt_seconds(median(ours)), len(info["clusters"]), candidates,
                          peer_cell, len(got["clusters"]) if got else "", f'{got["pairs"]:,}' if got else "", check)
    section.tables.append(table)
    section.text.append(
        f"Below: `cluster_canonicals_lsh(lines, {threshold}, 128, 4)` on distinct lines each followed by four "
        "edited copies, one run in a fresh process.")
    section.tables.append(edited_copies(ctx, "lsh", threshold))
    section.series = series
    return section
