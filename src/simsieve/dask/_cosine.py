"""The exact cosine join on a Dask cluster, equal to simsieve.cosine_join.

1. One pass over the partitions: every document's distinct tokens (in order of first occurrence)
   with their counts, and per token its document frequency and first occurrence.
2. On the client: the feature number of every token (order of first occurrence in the whole
   input) and its idf, ln(N / df).
3. Per partition: each row's weights (count times idf by repeated addition, normalised by the
   norm of the squares summed in first-occurrence order, as the single-machine corpus does), and
   the largest weight of each feature.
4. On the client: features ranked by (largest weight, feature number).
5. Rows in rank order per partition; then every block of rows probes every earlier block (and
   itself) through the native block join, with the index, bounds and dot products of the whole
   corpus, and the pairs of all blocks are put in the single-machine order (by i, then the rank
   through which j is first reached, then j).
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Any, Dict, List, Optional, Tuple

import dask
from dask import delayed

from .. import _simsieve
from ._common import THREADS, input_partitions

Counted = List[Tuple[List[str], List[int]]]  # per document: distinct tokens, their counts
Row = Tuple[int, List[int], List[float]]  # (document, ranks or feature numbers, weights)


def _count_tokens(docs: List[Any], offset: int) -> Tuple[Counted, Dict[str, Tuple[int, int, int]]]:
    counted: Counted = []
    vocab: Dict[str, Tuple[int, int, int]] = {}  # token -> (df, first doc, place in that doc)
    for k, doc in enumerate(docs):
        if isinstance(doc, (str, bytes)) or not isinstance(doc, Sequence):
            raise TypeError("cosine_join(): every document must be a sequence of str")
        counts: Dict[str, int] = {}
        for token in doc:
            if not isinstance(token, str):
                raise TypeError(f"cosine_join(): tokens must be str, not {type(token).__name__}")
            counts[token] = counts.get(token, 0) + 1
        for place, token in enumerate(counts):
            seen = vocab.get(token)
            vocab[token] = (1, offset + k, place) if seen is None else (seen[0] + 1, seen[1], seen[2])
        counted.append((list(counts), list(counts.values())))
    return counted, vocab


def _weigh(counted: Counted, offset: int, idf: Dict[str, Tuple[int, float]]) -> Tuple[List[Row], Dict[int, float]]:
    rows: List[Row] = []
    largest: Dict[int, float] = {}
    for k, (tokens, counts) in enumerate(counted):
        weights = []
        for token, c in zip(tokens, counts):
            w, v = 0.0, idf[token][1]
            for _ in range(c):
                w = w + v
            weights.append(w)
        s = 0.0
        for w in weights:
            s += w * w
        if not s > 0.0:
            rows.append((offset + k, [], []))
            continue
        norm = math.sqrt(s)
        ids = [idf[token][0] for token in tokens]
        normed = [w / norm for w in weights]
        for f, w in zip(ids, normed):
            m = largest.get(f)
            if m is None or w > m:
                largest[f] = max(w, 0.0) if m is None else w
        rows.append((offset + k, ids, normed))
    return rows, largest


def _rank_rows(rows: List[Row], rank_of: Dict[int, int]) -> List[Row]:
    out: List[Row] = []
    for doc, ids, weights in rows:
        entries = sorted(zip((rank_of[f] for f in ids), weights))
        out.append((doc, [r for r, _ in entries], [w for _, w in entries]))
    return out


def _join(probe: List[Row], indexed: Optional[List[Row]], max_weight: List[float],
          threshold: float) -> List[Tuple[int, int, float, int]]:
    return _simsieve.cosine_join_blocks(probe, indexed, max_weight, threshold, THREADS)


def _first(pair: Tuple[Any, Any]) -> Any:
    return pair[0]


def _second(pair: Tuple[Any, Any]) -> Any:
    return pair[1]


def cosine_join(docs: Any, threshold: float, *, npartitions: Optional[int] = None
                ) -> List[Tuple[int, int, float]]:
    """Distributed :func:`simsieve.cosine_join`: the same ``(j, i, cos)`` pairs, cosines bit for
    bit, in the same order, for the concatenated partitions of `docs` (a Dask Bag of token
    lists, or a sequence split into `npartitions`). Each partition is one block of rows."""
    _simsieve.cosine_join([], threshold)  # argument checks
    threshold = float(threshold)
    parts = input_partitions(docs, npartitions, "cosine_join()")
    lengths = dask.compute(*[delayed(len)(p) for p in parts])
    offsets = [sum(lengths[:k]) for k in range(len(parts))]
    n_docs = sum(lengths)
    if n_docs < 2 or math.isnan(threshold):
        return []
    counted = dask.persist(*[delayed(_count_tokens, nout=2)(p, offsets[k]) for k, p in enumerate(parts)])
    vocabs = dask.compute(*[delayed(_second)(c) for c in counted])
    merged: Dict[str, Tuple[int, int, int]] = {}
    for vocab in vocabs:
        for token, (df, doc, place) in vocab.items():
            seen = merged.get(token)
            if seen is None:
                merged[token] = (df, doc, place)
            else:
                merged[token] = (seen[0] + df, *min(seen[1:], (doc, place)))
    del vocabs
    ordered = sorted(merged, key=lambda tok: merged[tok][1:])
    n = float(n_docs)
    idf = {tok: (fid, math.log(n / float(max(merged[tok][0], 1)))) for fid, tok in enumerate(ordered)}
    del merged, ordered
    idf_d = delayed(idf, traverse=False)
    weighed = dask.persist(*[delayed(_weigh, nout=2)(delayed(_first)(c), offsets[k], idf_d)
                             for k, c in enumerate(counted)])
    largest: Dict[int, float] = {}
    for part in dask.compute(*[delayed(_second)(w) for w in weighed]):
        for f, m in part.items():
            if f not in largest or m > largest[f]:
                largest[f] = m
    ranked = sorted(largest, key=lambda f: (largest[f], f))
    rank_of = {f: r for r, f in enumerate(ranked)}
    max_weight = [largest[f] for f in ranked]
    # The token counts are no longer needed once the rows are weighed: release them.
    del largest, ranked, counted
    rank_d = delayed(rank_of, traverse=False)
    max_d = delayed(max_weight, traverse=False)
    blocks = dask.persist(*[delayed(_rank_rows)(delayed(_first)(w), rank_d) for w in weighed])
    del weighed  # the rows in rank order replace the rows by feature number
    joins = []
    for x in range(len(blocks)):
        if lengths[x] == 0:
            continue
        joins.append(delayed(_join)(blocks[x], None, max_d, threshold))
        for y in range(x):
            if lengths[y]:
                joins.append(delayed(_join)(blocks[x], blocks[y], max_d, threshold))
    found = [p for part in dask.compute(*joins) for p in part]
    found.sort(key=lambda p: (p[1], p[3], p[0]))
    return [(j, i, c) for j, i, c, _ in found]
