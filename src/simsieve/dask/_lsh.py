"""MinHash/LSH clustering on a Dask cluster, equal to simsieve.cluster_canonicals_lsh.

Stages (each a set of pure Dask tasks):

1. Distinct strings: a shuffle by text hash gives every distinct string one owner, which knows
   the positions of its copies. Copies share every bucket, so bands are computed once per
   distinct string, as the single-machine pipeline does.
2. Band hashes of each owner's batch through the native kernel, routed by (band, hash) to the
   bucket tasks (the shuffle).
3. Per bucket task: the distinct strings sharing a bucket are candidate pairs; each pair is
   verified exactly in the orientations in which its copies meet (lower position against higher).
   Pairs already joined by the task's own union-find are skipped and only the edges that join two
   components are kept: a spanning forest, never more edges than strings, however large a bucket.
4. Connected components of the forests on the client (union-find: the forests of all tasks have
   fewer edges than there are distinct strings).
5. Exact minimum of every cluster on the task that owns it; clusters of more than GIANT_CLUSTER
   distinct strings are split into blocks of pairs over many tasks.
"""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Set, Tuple

import dask
import numpy as np
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
    linked_copies,
    partition_offsets,
)

# Pairs verified per native call in a bucket task.
VERIFY_BATCH = 8192
_MIX = np.uint64(0x9E3779B97F4A7C15)

# One bucket task's share of a partition's band rows: band, band hash, first and last position of
# the string, and its row in the owner's table. No text: most band rows share their bucket with
# no other string, so texts are only fetched for the rows that do (see _texts_wanted).
BandPiece = Tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray, np.ndarray]
# The band rows of one bucket task that share a bucket with another string, sorted by (band,
# hash, first): band, hash, first, last, owner partition, row in the owner's table.
Shared = Tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray, np.ndarray, np.ndarray]


def _band_rows(table: List[Distinct], num_perm: int, band_rows: int, buckets: int) -> List[BandPiece]:
    """Band hashes of a partition's distinct strings, routed by (band, hash) to bucket tasks."""
    bands = num_perm // band_rows
    n = len(table)
    if n == 0 or bands == 0:
        empty: BandPiece = (np.zeros(0, np.uint32), np.zeros(0, np.uint64), np.zeros(0, np.int64),
                            np.zeros(0, np.int64), np.zeros(0, np.int64))
        return [empty for _ in range(buckets)]
    hashes = np.frombuffer(_simsieve.lsh_band_hashes([t[3] for t in table], num_perm, band_rows, THREADS),
                           dtype=np.uint64)
    band = np.tile(np.arange(bands, dtype=np.uint32), n)
    row = np.repeat(np.arange(n, dtype=np.int64), bands)
    first = np.fromiter((t[0] for t in table), dtype=np.int64, count=n)[row]
    last = np.fromiter((t[1] for t in table), dtype=np.int64, count=n)[row]
    with np.errstate(over="ignore"):
        target = ((hashes ^ (band.astype(np.uint64) * _MIX)) % np.uint64(buckets)).astype(np.int64)
    order = np.argsort(target, kind="stable")
    bounds = np.searchsorted(target[order], np.arange(buckets + 1))
    out: List[BandPiece] = []
    for b in range(buckets):
        sel = order[bounds[b]:bounds[b + 1]]
        out.append((band[sel], hashes[sel], first[sel], last[sel], row[sel]))
    return out


def _shared_rows(*pieces: BandPiece) -> Tuple[Shared, List[np.ndarray]]:
    """The band rows of one bucket task that share a bucket, and per owner partition the rows of
    its table whose text the task needs."""
    owner = np.concatenate([np.full(p[0].size, k, dtype=np.int64) for k, p in enumerate(pieces)])
    band = np.concatenate([p[0] for p in pieces])
    hashes = np.concatenate([p[1] for p in pieces])
    first = np.concatenate([p[2] for p in pieces])
    order = np.lexsort((first, hashes, band))
    band, hashes = band[order], hashes[order]
    new_group = np.ones(band.size, dtype=bool)
    new_group[1:] = (band[1:] != band[:-1]) | (hashes[1:] != hashes[:-1])
    # A row is kept when its group has another row: it differs from neither neighbour's group.
    keep = np.zeros(band.size, dtype=bool)
    if band.size:
        keep[:-1] |= ~new_group[1:]
        keep[1:] |= ~new_group[1:]
    order = order[keep]
    last = np.concatenate([p[3] for p in pieces])[order]
    row = np.concatenate([p[4] for p in pieces])[order]
    owner = owner[order]
    shared: Shared = (band[keep], hashes[keep], first[order], last, owner, row)
    wanted = [np.unique(row[owner == k]) for k in range(len(pieces))]
    return shared, wanted


def _texts_wanted(table: List[Distinct], *wanted: np.ndarray) -> List[List[str]]:
    """The texts of the rows each bucket task asked this partition for."""
    return [[table[r][3] for r in rows.tolist()] for rows in wanted]


def _item(pieces: Any, k: int) -> Any:
    return pieces[k]


def _second(pair: Tuple[Any, Any]) -> Any:
    return pair[1]


def _bucket_forest(threshold: float, wanted_and_shared: Tuple[Shared, List[np.ndarray]],
                   *texts: List[str]) -> List[Edge]:
    """Spanning forest of the verified candidate pairs of one bucket task."""
    (band, hashes, first, last, owner, row), wanted = wanted_and_shared
    if band.size == 0:
        return []
    # Index of every shared row's text in `strings` (the owners' answers, one after the other).
    strings = [t for part in texts for t in part]
    base = np.cumsum([0] + [w.size for w in wanted])
    local = np.empty(band.size, dtype=np.int64)
    for k, w in enumerate(wanted):
        sel = owner == k
        local[sel] = base[k] + np.searchsorted(w, row[sel])
    new_group = np.ones(band.size, dtype=bool)
    new_group[1:] = (band[1:] != band[:-1]) | (hashes[1:] != hashes[:-1])
    starts = np.flatnonzero(new_group)
    ends = np.append(starts[1:], band.size)

    uf = UnionFind()
    forest: List[Edge] = []
    failed: Set[Tuple[int, int]] = set()  # pairs verified below the threshold
    # Pending pairs as index arrays into the shared rows (s before t in input order).
    pend_s: List[np.ndarray] = []
    pend_t: List[np.ndarray] = []
    pending = 0

    def flush() -> None:
        nonlocal pending
        if not pending:
            return
        s_rows = np.concatenate(pend_s)
        t_rows = np.concatenate(pend_t)
        pend_s.clear()
        pend_t.clear()
        pending = 0
        s_first, t_first = first[s_rows], first[t_rows]
        # The same pair met in several bands of this batch is verified once.
        _, once = np.unique(np.stack([s_first, t_first]), axis=1, return_index=True)
        once.sort()
        s_rows, t_rows, s_first, t_first = s_rows[once], t_rows[once], s_first[once], t_first[once]
        # Copies of t before a copy of s: the pair also meets in the other orientation.
        both = t_first < last[s_rows]
        lo = np.concatenate([local[s_rows], local[t_rows][both]])
        hi = np.concatenate([local[t_rows], local[s_rows][both]])
        verdicts = _simsieve.verify_pairs(strings, lo.tolist(), hi.tolist(), threshold, THREADS)
        reached = np.fromiter((v is not None for v in verdicts), dtype=bool, count=len(verdicts))
        ok = reached[:s_rows.size].copy()
        ok[np.flatnonzero(both)] |= reached[s_rows.size:]
        owners = zip(owner[s_rows].tolist(), owner[t_rows].tolist())
        for s, t, good, (os_, ot) in zip(s_first.tolist(), t_first.tolist(), ok.tolist(), owners):
            if not good:
                failed.add((s, t))
            elif uf.union(s, t):
                forest.append((s, t, os_, ot))

    for start, end in zip(starts.tolist(), ends.tolist()):
        if end - start < 2:
            continue
        members = first[start:end]
        roots = np.fromiter((uf.find(m) for m in members.tolist()), dtype=np.int64, count=end - start)
        for a in range(end - start - 1):
            later = np.flatnonzero(roots[a + 1:] != roots[a]) + (a + 1)
            if later.size and failed:
                s = int(members[a])
                later = later[[(s, int(members[t])) not in failed for t in later.tolist()]]
            if later.size:
                pend_s.append(np.full(later.size, start + a, dtype=np.int64))
                pend_t.append(later + start)
                pending += later.size
            if pending >= VERIFY_BATCH:
                flush()
                roots = np.fromiter((uf.find(m) for m in members.tolist()), dtype=np.int64,
                                    count=end - start)
    flush()
    return forest


def cluster_canonicals_lsh(strings: Any, threshold: float, num_perm: int, band_rows: int, *,
                           npartitions: Optional[int] = None, buckets: Optional[int] = None
                           ) -> List[Tuple[List[int], float]]:
    """Distributed :func:`simsieve.cluster_canonicals_lsh`: the same clusters, member positions
    and minimum ratios (bit for bit), in the same order, for the concatenated partitions of
    `strings` (a Dask Bag or Series of str, or a sequence split into `npartitions`).

    `buckets` is the number of shuffle partitions (default: the number of input partitions).
    """
    _simsieve.cluster_canonicals_lsh([], threshold, num_perm, band_rows)  # argument checks
    threshold = float(threshold)
    num_perm, band_rows = int(num_perm), int(band_rows)
    parts = input_partitions(strings, npartitions, "cluster_canonicals_lsh()")
    offsets = partition_offsets(parts, "cluster_canonicals_lsh()")
    if offsets[-1] == 0 or band_rows == 0 or band_rows > num_perm:
        return []
    nb = max(1, buckets or len(parts))
    distinct = dask.persist(*distinct_partitions(parts, offsets, nb))
    tables = [delayed(_item)(d, 0) for d in distinct]
    routed = [delayed(_band_rows, nout=nb)(t, num_perm, band_rows, nb) for t in tables]
    get = delayed(_item)
    shared = [delayed(_shared_rows)(*[get(r, b) for r in routed]) for b in range(nb)]
    wanted = [delayed(_second)(s) for s in shared]
    texts = [delayed(_texts_wanted)(t, *[get(w, p) for w in wanted]) for p, t in enumerate(tables)]
    forests = [delayed(_bucket_forest)(threshold, shared[b], *[get(t, b) for t in texts]) for b in range(nb)]
    linked = dask.persist(*[delayed(linked_copies)(t, threshold) for t in tables])
    labels = forest_components(list(dask.persist(*forests)), nb)
    return cluster_minima(list(distinct), labels, list(linked), nb)


def clusters_to_frame(clusters: List[Tuple[List[int], float]], npartitions: int = 1) -> Any:
    """The clusters as a Dask DataFrame with one row per member: columns ``cluster`` (the
    cluster's number in the list), ``member`` (input position) and ``min_ratio``."""
    import dask.dataframe as dd
    import pandas as pd

    cluster = [c for c, (members, _) in enumerate(clusters) for _ in members]
    member = [m for members, _ in clusters for m in members]
    ratio = [r for members, r in clusters for _ in members]
    frame = pd.DataFrame({"cluster": pd.Series(cluster, dtype="int64"), "member": pd.Series(member, dtype="int64"),
                          "min_ratio": pd.Series(ratio, dtype="float64")})
    return dd.from_pandas(frame, npartitions=max(1, npartitions))
