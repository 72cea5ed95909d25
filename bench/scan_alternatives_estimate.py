"""Three ways the candidate scan might visit or screen fewer rows, estimated on the rows it visits
(numpy only; simsieve is not called):

    python bench/scan_alternatives_estimate.py kd 800000 [--threshold 0.9]
    python bench/scan_alternatives_estimate.py envelope 800000
    python bench/scan_alternatives_estimate.py envelope 200000 --copies 4 --threshold 0.8 --columns 32
    python bench/scan_alternatives_estimate.py partial 800000
    python bench/scan_alternatives_estimate.py distinct 800000

Input: the scale series' first n lines, or with --copies n distinct standard-library lines each
followed by that many edited copies (the clustering benchmarks' million-line input at 200000 and 4);
ASCII lines of at most 255 characters, distinct. Rows are ordered as the scan orders them (length,
then two part counts) and each sampled probe's reach is the scan's: per length of its window and
first key, the run of second keys that can still reach the threshold.

- kd: a k-d tree per length over the screen's columns (leaves of 32 rows, each split at the median
  of the column with the widest range), walked with the L1 distance from the probe to each node's
  box; printed, rows per probe in the leaves it reaches against rows in its key runs.
- envelope: tiles of four consecutive probes of one length, as the scan forms them; one accumulator
  for the tile's upper envelope (each column's largest count of the four) would rule out a 32-row
  block for all four at once. Printed, the share of the tiles' blocks where the envelope still lets
  some row through, against the share where some row passes for some probe.
- partial: one probe against the 32-row blocks of its runs, the overlap summed over the first
  columns and bounded for the rest by the smaller of the row's and the probe's remaining counts;
  printed, the share of blocks where no row can reach after a quarter, a half and three quarters of
  the columns.
- distinct: how many rows have a 32-group count vector of their own (rows sharing one would share
  every screen).
"""

from __future__ import annotations

import argparse
import math
import random

import numpy as np

from screen_block_estimate import fine_group_counts, two_key_runs, two_part_keys, window
from stdlib_corpus import distinct_lines, lines_with_edited_copies, scale_input


def folded(fine: np.ndarray, columns: int) -> np.ndarray:
    """The 32 fine group counts folded to `columns` (column g sums the groups f with f % columns == g)."""
    return fine.reshape(len(fine), 32 // columns, columns).sum(1)


def kd_leaves(cols: np.ndarray, leaf: int = 32) -> list[tuple[np.ndarray, np.ndarray, np.ndarray]]:
    """An implicit balanced k-d tree over the rows: per level, each node's column minima, maxima and
    row count; node i of a level has children 2i and 2i + 1."""
    m = len(cols)
    depth = max(0, math.ceil(math.log2(max(1, m / leaf))))
    order = np.arange(m)
    spans = [(0, m)]
    levels = []
    for d in range(depth + 1):
        lo = np.array([cols[order[a:b]].min(0) if b > a else np.full(cols.shape[1], 999) for a, b in spans])
        hi = np.array([cols[order[a:b]].max(0) if b > a else np.full(cols.shape[1], -999) for a, b in spans])
        levels.append((lo, hi, np.array([b - a for a, b in spans])))
        if d == depth:
            break
        split = []
        for a, b in spans:
            rows = order[a:b]
            if b - a > 1:
                x = cols[rows]
                order[a:b] = rows[np.argsort(x[:, int(np.argmax(x.max(0) - x.min(0)))], kind="stable")]
            mid = (a + b) // 2 if b - a > 1 else b
            split += [(a, mid), (mid, b)]
        spans = split
    return levels


def kd_reach(levels, probe: np.ndarray, limit: int) -> int:
    alive = np.array([0])
    for d, (lo, hi, _) in enumerate(levels):
        if d > 0:
            alive = np.concatenate([2 * alive, 2 * alive + 1])
        alive = alive[(np.maximum(0, lo[alive] - probe) + np.maximum(0, probe - hi[alive])).sum(1) <= limit]
        if len(alive) == 0:
            return 0
    return int(levels[-1][2][alive].sum())


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["kd", "envelope", "partial", "distinct"])
    parser.add_argument("n", type=int)
    parser.add_argument("--copies", type=int, default=0)
    parser.add_argument("--threshold", type=float, default=0.9)
    parser.add_argument("--columns", type=int, default=16, choices=[8, 16, 32])
    parser.add_argument("--probes", type=int, default=300)
    args = parser.parse_args()
    t = args.threshold
    source = lines_with_edited_copies(args.n, args.copies) if args.copies else scale_input(distinct_lines(), args.n)
    data = sorted({s for s in source if s.isascii() and len(s) <= 255})
    fine = fine_group_counts(data)
    length = fine.sum(1)
    k1, k2, _ = two_part_keys(fine)
    idx = np.lexsort((k2, k1, length))
    L, K1, K2, C = length[idx], k1[idx], k2[idx], folded(fine[idx], args.columns)
    run_key = L.astype(np.int64) * 1000000 + K1 * 1000 + K2
    n = len(data)
    rng = random.Random(5)
    print(f"{len(source):,} lines, {n:,} distinct ASCII rows; threshold {t}, {args.columns} columns", flush=True)

    if args.mode == "distinct":
        print(f"distinct 32-group count vectors: {len(np.unique(fine, axis=0)):,}")

    elif args.mode == "kd":
        trees = {int(lb): kd_leaves(C[L == lb]) for lb in np.unique(L)}
        key_rows = kd_rows = 0
        for p in rng.sample(range(n), args.probes):
            la = int(L[p])
            for _, lo, hi, _, _ in two_key_runs(run_key, la, int(K1[p]), int(K2[p]), t):
                key_rows += hi - lo
            for lb, _, limit in window(la, t):
                if lb in trees:
                    kd_rows += kd_reach(trees[lb], C[p], limit)
        print(f"rows per probe: key runs {key_rows / args.probes:,.0f}; k-d tree leaves {kd_rows / args.probes:,.0f}")

    elif args.mode == "envelope":
        blocks = envelope_passes = some_probe_passes = 0
        for _ in range(args.probes):
            first = rng.randrange(0, n - 4) // 4 * 4
            while L[first] != L[first + 3]:
                first = rng.randrange(0, n - 4) // 4 * 4
            tile = C[first:first + 4]
            envelope = tile.max(0)
            # The blocks each length of the window reaches for some probe of the tile.
            reach: dict[int, tuple[int, set[int]]] = {}
            for p in range(first, first + 4):
                for lb, lo, hi, need, _ in two_key_runs(run_key, int(L[p]), int(K1[p]), int(K2[p]), t):
                    reach.setdefault(lb, (need, set()))[1].update(range(lo // 32, (hi + 31) // 32))
            for need, reached in reach.values():
                for b in reached:
                    rows = C[b * 32:(b + 1) * 32]
                    blocks += 1
                    envelope_passes += bool((np.minimum(rows, envelope).sum(1) >= need).any())
                    some_probe_passes += bool((np.minimum(rows[None], tile[:, None]).sum(2) >= need).any())
        print(f"blocks per tile {blocks / args.probes:,.0f}: the envelope lets some row through in "
              f"{envelope_passes / blocks:.1%}, some probe passes in {some_probe_passes / blocks:.1%}")

    else:
        columns = args.columns
        checks = [columns // 4, columns // 2, 3 * columns // 4]
        row_prefix = np.cumsum(C, 1)
        stopped = {c: 0 for c in checks}
        blocks = 0
        for p in rng.sample(range(n), args.probes):
            probe_rest = {c: int(C[p, c:].sum()) for c in checks}
            for lb, lo, hi, need, _ in two_key_runs(run_key, int(L[p]), int(K1[p]), int(K2[p]), t):
                s = lo
                while s < hi:
                    e = min(hi, (s // 32 + 1) * 32)
                    so_far = np.cumsum(np.minimum(C[s:e], C[p]), 1)
                    blocks += 1
                    for c in checks:
                        row_rest = lb - row_prefix[s:e, c - 1]
                        stopped[c] += not np.any(so_far[:, c - 1] + np.minimum(probe_rest[c], row_rest) >= need)
                    s = e
        print(f"blocks per probe {blocks / args.probes:,.0f}; no row can reach after "
              + ", ".join(f"{c} columns in {stopped[c] / blocks:.1%}" for c in checks))


if __name__ == "__main__":
    main()
