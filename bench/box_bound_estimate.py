"""Whether the candidate scan could skip blocks of 32 consecutive rows by their bounding boxes, on
the scale series' input at 0.9 (numpy only; simsieve is not called):

    python bench/box_bound_estimate.py 800000

Rows are ordered as the scan orders them (length, then their counts in two of three arcs of the 32
frequency-balanced character groups), and within one cell by one of several secondary orders. For
800 sampled probes, every run of rows their length window and keys leave is cut into the aligned
32-row blocks it touches; a block counts as passing when the L1 distance from the probe's 16 group
columns to the block's box (each column's least and largest count) is within the pair's limit.
Printed: rows per probe and the share of them in passing blocks.
"""

import random
import sys

import numpy as np

from screen_block_estimate import fine_group_counts, two_key_runs, two_part_keys
from stdlib_corpus import distinct_lines, scale_input

n = int(sys.argv[1])
t = 0.9
data = [s for s in scale_input(distinct_lines(), n) if s.isascii() and len(s) <= 255]
n = len(data)
fine = fine_group_counts(data)
cols16 = fine[:, :16] + fine[:, 16:]
length = fine.sum(1)
shares = fine / np.maximum(length, 1)[:, None]
k1, k2, vec = two_part_keys(fine)
orders = {
  "input": np.arange(n),
  "pc3": shares @ vec[:, -3],
  "pc3+pc4 grid": np.floor((shares @ vec[:, -3]) * 20) * 1000 + shares @ vec[:, -4],
  "text": None,
}
tr = np.empty(n, np.int64); tr[np.argsort(np.array(data, dtype=object), kind="stable")] = np.arange(n)
orders["text"] = tr
probes = random.Random(5).sample(range(n), 800)
for name, sec in orders.items():
    idx = np.lexsort((sec, k2, k1, length))
    L = length[idx]; K1 = k1[idx]; K2 = k2[idx]; C = cols16[idx]
    key = L.astype(np.int64) * 1000000 + K1 * 1000 + K2
    rows = brows = 0
    inv = np.empty(n, np.int64); inv[idx] = np.arange(n)
    for p0_ in probes:
        p = inv[p0_]
        cp = C[p]
        for _, lo, hi, _, limit in two_key_runs(key, int(L[p]), int(K1[p]), int(K2[p]), t):
            rows += hi - lo
            s = lo
            while s < hi:
                e = min(hi, (s // 32 + 1) * 32)
                blk = C[s:e]
                lower = (np.maximum(0, blk.min(0) - cp) + np.maximum(0, cp - blk.max(0))).sum()
                if lower <= limit: brows += e - s
                s = e
    print(f"{name:14s} rows/probe {rows/len(probes):,.0f}  in passing boxes {brows/len(probes):,.0f} ({brows/rows:.1%})", flush=True)
