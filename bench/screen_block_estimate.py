"""Whether the candidate scan could pass over whole blocks of 32 rows, on the scale series' input
(numpy only; simsieve is not called):

    python bench/screen_block_estimate.py 800000 [--sampled] [--threshold 0.9]

The scan orders ASCII rows by length and key (their count in the half of 32 frequency-balanced
character groups along which the groups' shares vary most), screens each probe's key run by the
overlap of 16 group counts, and settles 32 rows per vector step. Printed, over 1 500 sampled
probes: the rows of their key runs and the share that passes 16 and 8 group columns; the share of
32-row blocks whose per-column maxima still let the probe through (a block bound), with the rows
of one key in input order, along the second principal direction and in text order; and the share
of blocks in which some row passes 8 columns (what a second stage on 16 columns would see); and
the share of key-run rows whose L1 distance to a pivot (over the 32 groups) is within the pair's
limit of the probe's, as a third key ordered by that distance would leave them.
"""

from __future__ import annotations

import argparse
import math
import random

import numpy as np

from stdlib_corpus import distinct_lines, scale_input


def fine_group_counts(data: list[str]) -> np.ndarray:
    """Each ASCII line's counts in 32 frequency-balanced character groups (heaviest characters
    first, each into the lightest group), as the scan builds them."""
    counts = np.zeros((len(data), 128), np.int16)
    for i, s in enumerate(data):
        counts[i] = np.bincount(np.frombuffer(s.encode(), np.uint8), minlength=128)
    freq = counts.sum(0)
    load, group = np.zeros(32), np.zeros(128, int)
    for c in np.argsort(-freq, kind="stable"):
        g = int(np.argmin(load))
        group[c] = g
        load[g] += freq[c] + 1
    return np.stack([counts[:, group == g].sum(1) for g in range(32)], 1).astype(np.int32)


def window(la: int, t: float):
    """The lengths lb >= la a row of length la can reach the threshold with: (lb, need, limit),
    need the least overlap and limit the largest L1 distance between their character counts."""
    for lb in range(la, int(la * (2 - t) / t) + 1):
        total = la + lb
        need = math.ceil(t * total / 2 - 1e-9)
        limit = total - 2 * need
        if limit >= lb - la:
            yield lb, need, limit


def key_runs(run_key: np.ndarray, p: int, t: float):
    """For row p of rows sorted by length * 1000 + key (`run_key`), every non-empty run [lo, hi) of
    longer or equal rows whose length and key can still reach the threshold, with the pair's least
    overlap (need) and largest L1 distance (limit)."""
    la, ka = divmod(int(run_key[p]), 1000)
    for lb, need, limit in window(la, t):
        grow = lb - la
        lo = int(np.searchsorted(run_key, lb * 1000 + ka - (limit - grow) // 2, "left"))
        hi = int(np.searchsorted(run_key, lb * 1000 + ka + (limit + grow) // 2, "right"))
        if hi > lo:
            yield lo, hi, need, limit


def two_part_keys(fine: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Each row's counts in two of three arcs of the 32 groups' angles in the plane of the two
    directions along which the groups' shares vary most (the first 10 and the next 11 groups by
    angle), as the built scan orders rows within one length; and the principal directions of the
    shares (columns, ascending variance)."""
    length = fine.sum(1)
    shares = fine / np.maximum(length, 1)[:, None]
    _, vectors = np.linalg.eigh(np.cov(shares[:: max(1, len(fine) // 4096)].T))
    by_angle = np.argsort(np.arctan2(vectors[:, -2], vectors[:, -1]), kind="stable")
    first, second = np.zeros(32, bool), np.zeros(32, bool)
    first[by_angle[:10]] = True
    second[by_angle[10:21]] = True
    return fine[:, first].sum(1), fine[:, second].sum(1), vectors


def two_key_runs(run_key: np.ndarray, la: int, a1: int, a2: int, t: float):
    """For a probe of length la and keys (a1, a2), over rows sorted by
    length * 10**6 + key1 * 1000 + key2 (`run_key`), every run [lo, hi) of the rows of length lb
    (from la up) and first key b1 whose second keys can still reach the threshold: the three part
    counts may differ by at most the pair's limit in all. Yields (lb, lo, hi, need, limit)."""
    for lb, need, limit in window(la, t):
        grow = lb - la
        for b1 in range(a1 - limit, a1 + limit + 1):
            d1 = b1 - a1
            reach = [d2 for d2 in range(-limit, limit + 1) if abs(d1) + abs(d2) + abs(grow - d1 - d2) <= limit]
            if not reach:
                continue
            lo = int(np.searchsorted(run_key, lb * 1000000 + b1 * 1000 + a2 + min(reach), "left"))
            hi = int(np.searchsorted(run_key, lb * 1000000 + b1 * 1000 + a2 + max(reach), "right"))
            if hi > lo:
                yield lb, lo, hi, need, limit


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("n", type=int)
    parser.add_argument("--sampled", action="store_true")
    parser.add_argument("--threshold", type=float, default=0.9)
    args = parser.parse_args()
    t = args.threshold
    data = [s for s in scale_input(distinct_lines(), args.n, args.sampled) if s.isascii() and len(s) <= 255]
    n = len(data)
    fine = fine_group_counts(data)
    # Folded to 16 and 8 columns.
    cols16 = fine[:, :16] + fine[:, 16:]
    cols8 = cols16[:, :8] + cols16[:, 8:]
    length = fine.sum(1)
    shares = fine / np.maximum(length, 1)[:, None]
    _, vectors = np.linalg.eigh(np.cov(shares[:: max(1, n // 4096)].T))
    key = fine[:, vectors[:, -1] > 0].sum(1)
    text_rank = np.empty(n, np.int64)
    text_rank[np.argsort(np.array(data, dtype=object), kind="stable")] = np.arange(n)
    orders = {"input": np.arange(n), "second direction": shares @ vectors[:, -2], "text": text_rank}
    probes = random.Random(5).sample(range(n), 1500)
    for name, secondary in orders.items():
        idx = np.lexsort((secondary, key, length))
        c16, c8 = cols16[idx], cols8[idx]
        run_key = length[idx].astype(np.int64) * 1000 + key[idx]
        blocks = (n + 31) // 32
        padded = np.vstack([c16, np.zeros((blocks * 32 - n, 16), np.int32)])
        box = padded.reshape(blocks, 32, 16).max(1)
        rows = pass16 = pass8 = seen = box_pass = any8 = 0
        for p in probes:
            for lo, hi, need, _ in key_runs(run_key, p, t):
                ok8 = np.minimum(c8[lo:hi], c8[p]).sum(1) >= need
                rows += hi - lo
                pass16 += int((np.minimum(c16[lo:hi], c16[p]).sum(1) >= need).sum())
                pass8 += int(ok8.sum())
                b0, b1 = lo // 32, (hi - 1) // 32 + 1
                seen += b1 - b0
                box_pass += int((np.minimum(box[b0:b1], c16[p]).sum(1) >= need).sum())
                any8 += len(np.unique(np.arange(lo, hi)[ok8] // 32))
        print(f"{name:17s} key-run rows/probe {rows / len(probes):,.0f}; pass 16 columns {pass16 / rows:.4%}, "
              f"8 columns {pass8 / rows:.3%}; blocks/probe {seen / len(probes):,.0f}: block bound passes "
              f"{box_pass / seen:.1%}, some row passes 8 columns {any8 / seen:.1%}", flush=True)
    idx = np.lexsort((np.arange(n), key, length))
    fs = fine[idx]
    run_key = length[idx].astype(np.int64) * 1000 + key[idx]
    mean = fs.mean(0)
    pivots = {"a random row": fs[random.Random(7).randrange(n)], "the mean": mean.round().astype(np.int32),
              "the row farthest from the mean": fs[np.abs(fs - mean).sum(1).argmax()]}
    for name, pivot in pivots.items():
        distance = np.abs(fs - pivot).sum(1)
        rows = inside = 0
        for p in probes:
            for lo, hi, _, limit in key_runs(run_key, p, t):
                rows += hi - lo
                inside += int((np.abs(distance[lo:hi] - distance[p]) <= limit).sum())
        print(f"pivot {name}: {inside / rows:.1%} of the key-run rows are within reach", flush=True)


if __name__ == "__main__":
    main()
