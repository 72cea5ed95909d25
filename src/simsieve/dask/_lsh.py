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
    Distinct,
    UnionFind,
    cluster_minima,
    components,
    distinct_partitions,
    input_partitions,
    partition_offsets,
)

# Pairs verified per native call in a bucket task.
VERIFY_BATCH = 8192
_MIX = np.uint64(0x9E3779B97F4A7C15)

BandPiece = Tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray, List[str]]


def _band_rows(table: List[Distinct], num_perm: int, band_rows: int, buckets: int) -> List[BandPiece]:
    """Band hashes of a partition's distinct strings, routed by (band, hash) to bucket tasks."""
    bands = num_perm // band_rows
    n = len(table)
    empty: BandPiece = (np.zeros(0, np.uint32), np.zeros(0, np.uint64), np.zeros(0, np.int64),
                        np.zeros(0, np.int64), [])
    if n == 0 or bands == 0:
        return [empty for _ in range(buckets)]
    texts = [t[3] for t in table]
    hashes = np.frombuffer(_simsieve.lsh_band_hashes(texts, num_perm, band_rows, 1), dtype=np.uint64)
    band = np.tile(np.arange(bands, dtype=np.uint32), n)
    row = np.repeat(np.arange(n, dtype=np.int64), bands)
    first = np.array([t[0] for t in table], dtype=np.int64)[row]
    last = np.array([t[1] for t in table], dtype=np.int64)[row]
    with np.errstate(over="ignore"):
        target = ((hashes ^ (band.astype(np.uint64) * _MIX)) % np.uint64(buckets)).astype(np.int64)
    order = np.argsort(target, kind="stable")
    bounds = np.searchsorted(target[order], np.arange(buckets + 1))
    out: List[BandPiece] = []
    for b in range(buckets):
        sel = order[bounds[b]:bounds[b + 1]]
        out.append((band[sel], hashes[sel], first[sel], last[sel], [texts[r] for r in row[sel]]))
    return out


def _linked_copies(table: List[Distinct], threshold: float) -> Dict[int, bool]:
    """Whether the copies of each string with copies link to each other (ratio 1.0, or two empty
    strings, reaching the threshold)."""
    multi = [t for t in table if t[2] >= 2]
    if not multi:
        return {}
    idx = list(range(len(multi)))
    verdicts = _simsieve.verify_pairs([t[3] for t in multi], idx, idx, threshold, 1)
    return {t[0]: v is not None for t, v in zip(multi, verdicts)}


def _bucket_forest(threshold: float, *pieces: BandPiece) -> List[Tuple[int, int]]:
    """Spanning forest of the verified candidate pairs of one bucket task."""
    band = np.concatenate([p[0] for p in pieces])
    if band.size == 0:
        return []
    hashes = np.concatenate([p[1] for p in pieces])
    first = np.concatenate([p[2] for p in pieces])
    last = np.concatenate([p[3] for p in pieces])
    texts = [t for p in pieces for t in p[4]]
    order = np.lexsort((first, hashes, band))
    band, hashes, first, last = band[order], hashes[order], first[order], last[order]
    new_group = np.ones(band.size, dtype=bool)
    new_group[1:] = (band[1:] != band[:-1]) | (hashes[1:] != hashes[:-1])
    starts = np.flatnonzero(new_group)
    sizes = np.diff(np.append(starts, band.size))
    shared = sizes >= 2
    if not shared.any():
        return []

    local: Dict[int, int] = {}  # first position -> index into `strings`
    strings: List[str] = []
    last_of: Dict[int, int] = {}
    uf = UnionFind()
    forest: List[Tuple[int, int]] = []
    seen: Set[int] = set()
    pending: List[Tuple[int, int]] = []

    def flush() -> None:
        if not pending:
            return
        lo: List[int] = []
        hi: List[int] = []
        for s, t in pending:
            lo.append(local[s])
            hi.append(local[t])
            if t < last_of[s]:  # a copy of t comes before a copy of s
                lo.append(local[t])
                hi.append(local[s])
        verdicts = _simsieve.verify_pairs(strings, lo, hi, threshold, 1)
        k = 0
        for s, t in pending:
            reached = verdicts[k] is not None
            k += 1
            if t < last_of[s]:
                reached = reached or verdicts[k] is not None
                k += 1
            if reached and uf.union(s, t):
                forest.append((s, t))
        pending.clear()

    for start, size in zip(starts[shared], sizes[shared]):
        members = first[start:start + size]
        for m, k in zip(members.tolist(), range(start, start + size)):
            if m not in local:
                local[m] = len(strings)
                strings.append(texts[order[k]])
                last_of[m] = int(last[k])
        roots = np.array([uf.find(m) for m in members.tolist()])
        for a in range(size - 1):
            s = int(members[a])
            for t in members[a + 1:][roots[a + 1:] != roots[a]].tolist():
                key = (s << 32) | t
                if key in seen:
                    continue
                seen.add(key)
                pending.append((s, t))
            if len(pending) >= VERIFY_BATCH:
                flush()
                roots = np.array([uf.find(m) for m in members.tolist()])
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
    tables = [delayed(lambda d: d[0])(d) for d in distinct]
    routed = [delayed(_band_rows, nout=nb)(t, num_perm, band_rows, nb) for t in tables]
    get = delayed(lambda pieces, b: pieces[b])
    forests = [delayed(_bucket_forest)(threshold, *[get(r, b) for r in routed]) for b in range(nb)]
    linked_parts = [delayed(_linked_copies)(t, threshold) for t in tables]
    computed = dask.compute(*forests, *linked_parts)
    label = components(computed[:nb])
    linked: Dict[int, bool] = {}
    for part in computed[nb:]:
        linked.update(part)
    # A string whose copies link is a cluster of its own when no other string joins it.
    for first, ok in linked.items():
        if ok and first not in label:
            label[first] = first
    return cluster_minima(list(distinct), label, linked, nb)


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
