"""Exact clustering on a Dask cluster, equal to simsieve.cluster_canonicals.

The clusters depend only on which pairs reach the threshold, so any candidate generation that
misses no such pair, followed by exact verification and exact minima, gives the single-machine
result. Candidates are partitioned by length, in the manner of length-filtered set-similarity
joins: a ratio is at most 2 * min(la, lb) / (la + lb), so a block of short strings only needs to
meet the blocks of long strings that this bound does not rule out. Each pair of compatible blocks
is clustered by the single-machine exact pipeline (its own candidate search, same orientation
since the strings keep their input order); the union of the blocks' clusters has the same
components as the whole input.
"""

from __future__ import annotations

import bisect
from collections import Counter
from typing import Any, Dict, List, Optional, Tuple

import dask
from dask import delayed

from .. import _simsieve
from ._common import (
    Distinct,
    UnionFind,
    cluster_minima,
    components,
    distinct_partitions,
    input_partitions,
    partition_offsets,
)

# Distinct strings per length block, before the block is closed at the next length.
BLOCK_STRINGS = 4096


def _length_counts(table: List[Distinct]) -> "Counter[int]":
    return Counter(len(t[3]) for t in table)


def _length_blocks(counts: "Counter[int]", size: int) -> List[int]:
    """Smallest length of each block after the first (blocks of about `size` strings)."""
    cuts: List[int] = []
    held = 0
    for length in sorted(counts):
        if held >= size:
            cuts.append(length)
            held = 0
        held += counts[length]
    return cuts


def _route_lengths(table: List[Distinct], cuts: List[int]) -> List[List[Distinct]]:
    out: List[List[Distinct]] = [[] for _ in range(len(cuts) + 1)]
    for row in table:
        out[bisect.bisect_right(cuts, len(row[3]))].append(row)
    return out


def _gather(*pieces: List[Distinct]) -> List[Distinct]:
    return sorted(row for piece in pieces for row in piece)


def _compatible(short_max: int, long_min: int, t: float) -> bool:
    """False only when no string of length <= short_max can reach t with one of length >= long_min."""
    if not (0.0 < t <= 1.0):
        return True
    if short_max >= long_min:
        return True
    total = short_max + long_min
    # ratio <= 2 * shorter / total; a little slack keeps rounding on the safe side.
    return t * total * 0.5 <= short_max + 1e-9 * total + 1e-9


def _block_forest(threshold: float, a: List[Distinct], b: Optional[List[Distinct]]
                  ) -> Tuple[List[Tuple[int, int]], Dict[int, bool]]:
    rows = a if b is None else a + b
    if not rows:
        return [], {}
    # First and last copy of every string, in input order.
    entries = []
    for first, last, count, text in rows:
        entries.append((first, first, text))
        if count >= 2:
            entries.append((last, first, text))
    entries.sort()
    clusters = _simsieve.cluster_canonicals([e[2] for e in entries], threshold, 1)
    uf = UnionFind()
    forest: List[Tuple[int, int]] = []
    linked: Dict[int, bool] = {}
    for members, _ in clusters:
        owners = [entries[k][1] for k in members]
        seen = set()
        for k, owner in zip(members, owners):
            if owner in seen:
                linked[owner] = True
            seen.add(owner)
        for x, y in zip(owners, owners[1:]):
            if x != y and uf.union(x, y):
                forest.append((min(x, y), max(x, y)))
    return forest, linked


def cluster_canonicals(strings: Any, threshold: float, *, npartitions: Optional[int] = None,
                       buckets: Optional[int] = None, block_strings: int = BLOCK_STRINGS
                       ) -> List[Tuple[List[int], float]]:
    """Distributed :func:`simsieve.cluster_canonicals`: the same clusters, member positions and
    minimum ratios (bit for bit), in the same order, for the concatenated partitions of `strings`
    (a Dask Bag or Series of str, or a sequence split into `npartitions`)."""
    _simsieve.cluster_canonicals([], threshold)  # argument checks
    threshold = float(threshold)
    parts = input_partitions(strings, npartitions, "cluster_canonicals()")
    offsets = partition_offsets(parts, "cluster_canonicals()")
    if offsets[-1] == 0:
        return []
    nb = max(1, buckets or len(parts))
    distinct = dask.persist(*distinct_partitions(parts, offsets, nb))
    tables = [delayed(lambda d: d[0])(d) for d in distinct]
    counts: "Counter[int]" = Counter()
    for c in dask.compute(*[delayed(_length_counts)(t) for t in tables]):
        counts.update(c)
    cuts = _length_blocks(counts, max(1, block_strings))
    nblocks = len(cuts) + 1
    routed = [delayed(_route_lengths, nout=nblocks)(t, cuts) for t in tables]
    get = delayed(lambda pieces, k: pieces[k])
    blocks = [delayed(_gather)(*[get(r, k) for r in routed]) for k in range(nblocks)]
    lengths = sorted(counts)
    low = [lengths[0]] + cuts  # smallest length a block may hold
    high = [c - 1 for c in cuts] + [lengths[-1]]  # largest
    tasks = []
    for x in range(nblocks):
        tasks.append(delayed(_block_forest)(threshold, blocks[x], None))
        for y in range(x + 1, nblocks):
            if _compatible(high[x], low[y], threshold):
                tasks.append(delayed(_block_forest)(threshold, blocks[x], blocks[y]))
    results = dask.compute(*tasks)
    label = components(r[0] for r in results)
    linked: Dict[int, bool] = {}
    for r in results:
        linked.update(r[1])
    for first in linked:
        label.setdefault(first, first)
    return cluster_minima(list(distinct), label, linked, nb)


__all__ = ["cluster_canonicals"]
