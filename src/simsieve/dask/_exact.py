"""Exact clustering on a Dask cluster, equal to simsieve.cluster_canonicals.

The clusters depend only on which pairs reach the threshold, so any candidate generation that
misses no such pair, followed by exact verification and exact minima, gives the single-machine
result. Candidates are partitioned by prefix token, as in the set-similarity joins on MapReduce
of Vernica, Carey and Li:

- A string is the multiset of its characters, written as a set of tokens (c, k): the k-th
  occurrence of character c. The matching blocks of a pair are disjoint runs of equal
  characters, so the matched count M of a pair is at most the size of the tokens' intersection.
- ratio(a, b) = 2M / (la + lb) >= t needs M >= t (la + lb) / 2, and since M <= lb that needs
  lb >= t la / (2 - t), so M >= t la / (2 - t) =: alpha(la). Two sets with an overlap of at
  least alpha(la) and alpha(lb) share a token among the first la - alpha(la) + 1 tokens of one
  and lb - alpha(lb) + 1 of the other, in any fixed global order (the prefix filter).
- Tokens are ordered rarest first (global counts from one pass) and dealt round-robin to
  `groups` tasks; every string goes to the tasks of its prefix tokens. A pair that reaches the
  threshold shares a prefix token, so it meets in that token's task.

Each task clusters its strings with the single-machine exact pipeline (its candidate join and
exact verification; the first and last copy of every string keep their input order, so each
pair is compared in the orientations in which its copies meet) and returns a spanning forest of
the clusters. The union of the forests has the components of the whole input. Thresholds
outside (0, 1] have no useful prefix bound (every pair, or no pair, reaches them) and run as one
task.
"""

from __future__ import annotations

import math
from collections import Counter
from typing import Any, Dict, Iterable, List, Optional, Tuple

import dask
from dask import delayed

from .. import _simsieve
from ._common import (
    THREADS,
    Distinct,
    Edge,
    UnionFind,
    cluster_minima,
    forest_components,
    distinct_partitions,
    input_partitions,
    item,
    linked_copies,
    partition_offsets,
)

# A distinct string routed to a task, with the partition that owns it.
Owned = Tuple[int, int, int, str, int]
# Relative slack on the overlap bound, so that rounding in the ratio never drops a pair.
_SLACK = 1e-6


def _tokens(text: str) -> Iterable[Tuple[str, int]]:
    seen: Dict[str, int] = {}
    for c in text:
        k = seen.get(c, 0)
        seen[c] = k + 1
        yield (c, k)


def _token_counts(table: List[Distinct]) -> "Counter[Tuple[str, int]]":
    counts: "Counter[Tuple[str, int]]" = Counter()
    for row in table:
        counts.update(_tokens(row[3]))
    return counts


def prefix_length(length: int, t: float) -> int:
    """Tokens of a string of `length` characters that a pair reaching `t` must share one of."""
    alpha = t * length / (2.0 - t)
    need = max(0, math.ceil(alpha - _SLACK * (alpha + 1.0)))
    return max(0, length - need + 1) if length else 0


def _route_prefixes(table: List[Distinct], owner: int, rank: Dict[Tuple[str, int], int], groups: int,
                    t: float) -> List[List[Owned]]:
    out: List[List[Owned]] = [[] for _ in range(groups)]
    for first, last, count, text in table:
        ranks = sorted(rank[tok] for tok in _tokens(text))
        targets = {r % groups for r in ranks[:prefix_length(len(text), t)]}
        for g in targets:
            out[g].append((first, last, count, text, owner))
    return out


def _route_all(table: List[Distinct], owner: int) -> List[List[Owned]]:
    return [[(first, last, count, text, owner) for first, last, count, text in table]]


def _group_forest(threshold: float, *pieces: List[Owned]) -> Tuple[List[Edge], int]:
    """Spanning forest of the clusters of one task's strings, and how many strings it had."""
    rows = [row for piece in pieces for row in piece]
    if len(rows) < 2:
        return [], len(rows)
    # First and last copy of every string, in input order.
    entries = []
    for k, (first, last, count, _, _) in enumerate(rows):
        entries.append((first, k))
        if count >= 2:
            entries.append((last, k))
    entries.sort()
    clusters = _simsieve.cluster_canonicals([rows[k][3] for _, k in entries], threshold, THREADS)
    uf = UnionFind()
    forest: List[Edge] = []
    for members, _ in clusters:
        owners = [entries[m][1] for m in members]
        for x, y in zip(owners, owners[1:]):
            if x != y and uf.union(x, y):
                a, b = sorted((rows[x], rows[y]))
                forest.append((a[0], b[0], a[4], b[4]))
    return forest, len(rows)


def cluster_canonicals(strings: Any, threshold: float, *, npartitions: Optional[int] = None,
                       buckets: Optional[int] = None, groups: Optional[int] = None,
                       stats: Optional[Dict[str, int]] = None) -> List[Tuple[List[int], float]]:
    """Distributed :func:`simsieve.cluster_canonicals`: the same clusters, member positions and
    minimum ratios (bit for bit), in the same order, for the concatenated partitions of `strings`
    (a Dask Bag or Series of str, or a sequence split into `npartitions`).

    `buckets` is the number of shuffle partitions and `groups` the number of candidate tasks
    (default: both the number of input partitions). When `stats` is a dict, it receives the
    number of distinct strings and of strings routed to candidate tasks (their ratio is the
    replication of the prefix partitioning)."""
    _simsieve.cluster_canonicals([], threshold)  # argument checks
    threshold = float(threshold)
    parts = input_partitions(strings, npartitions, "cluster_canonicals()")
    offsets = partition_offsets(parts, "cluster_canonicals()")
    if offsets[-1] == 0:
        return []
    nb = max(1, buckets or len(parts))
    distinct = dask.persist(*distinct_partitions(parts, offsets, nb))
    get = delayed(item)
    tables = [get(d, 0) for d in distinct]
    if 0.0 < threshold <= 1.0:
        ng = max(1, groups or len(parts))
        counts: "Counter[Tuple[str, int]]" = Counter()
        for c in dask.compute(*[delayed(_token_counts)(t) for t in tables]):
            counts.update(c)
        rank = {tok: r for r, tok in enumerate(sorted(counts, key=lambda tok: (counts[tok], tok)))}
        rank_d = delayed(rank, traverse=False)
        routed = [delayed(_route_prefixes, nout=ng)(t, p, rank_d, ng, threshold) for p, t in enumerate(tables)]
    else:
        ng = 1
        routed = [delayed(_route_all, nout=1)(t, p) for p, t in enumerate(tables)]
    tasks = [delayed(_group_forest)(threshold, *[get(r, g) for r in routed]) for g in range(ng)]
    results = dask.persist(*tasks)
    if stats is not None:
        stats["distinct"] = sum(dask.compute(*[delayed(len)(t) for t in tables]))
        stats["routed"] = sum(dask.compute(*[get(r, 1) for r in results]))
    labels = forest_components([get(r, 0) for r in results], nb)
    linked = [delayed(linked_copies)(t, threshold) for t in tables]
    return cluster_minima(list(distinct), labels, linked, nb)


__all__ = ["cluster_canonicals", "prefix_length"]
