"""The exact cosine join on a Dask cluster, equal to simsieve.cosine_join.

1. Per partition (native, `tfidf_count_tokens`): the distinct tokens in order of first occurrence,
   their document frequencies and every document as (local token number, count) entries.
2. On the client: the feature number of every token (order of first occurrence in the whole
   input: partitions in order, each one's tokens in its own order) and its document frequency.
3. Per partition (native, `tfidf_weigh_rows`): unit-length rows with the weights of the
   single-machine corpus, bit for bit, and the largest weight of each token.
4. On the client: features ranked by (largest weight, feature number).
5. Per partition (native, `tfidf_rank_rows`): the rows in rank order. Then every block of rows
   probes every earlier block (and itself) through the native block join, with the index,
   bounds and dot products of the whole corpus, and the pairs of all blocks are put in the
   single-machine order (by i, then the rank through which j is first reached, then j).

Rows travel between the passes and to the joins as flat buffers (a few bytes an entry).
"""

from __future__ import annotations

import math
from array import array
from typing import Any, Dict, List, Optional, Sequence, Tuple

import dask
from dask import delayed

from .. import _simsieve
from ._common import THREADS, input_partitions

# A partition's first pass: (tokens, doc_freq, offsets, ids, counts), buffers as bytes.
Counted = Tuple[List[str], bytes, bytes, bytes, bytes]
# A block of rows for the join: (docs, offsets, ranks, weights).
Block = Tuple[bytes, bytes, bytes, bytes]


def _count_tokens(docs: List[Any]) -> Counted:
    return _simsieve.tfidf_count_tokens(docs)


def _vocabulary(counted: Counted) -> Tuple[List[str], bytes, int]:
    """The partition's tokens, their document frequencies and its number of documents."""
    return counted[0], counted[1], len(counted[2]) // 8 - 1


def _weigh(counted: Counted, doc_freq: bytes, n_docs: int) -> Tuple[bytes, bytes, bytes, bytes]:
    return _simsieve.tfidf_weigh_rows(counted[2], counted[3], counted[4], doc_freq, n_docs)


def _largest(weighed: Tuple[bytes, bytes, bytes, bytes]) -> bytes:
    return weighed[3]


def _rank(weighed: Tuple[bytes, bytes, bytes, bytes], rank: bytes, first_doc: int) -> Block:
    offsets, ids, weights, _ = weighed
    ranks, ranked_weights = _simsieve.tfidf_rank_rows(offsets, ids, weights, rank)
    n_rows = len(offsets) // 8 - 1
    return array("Q", range(first_doc, first_doc + n_rows)).tobytes(), offsets, ranks, ranked_weights


def _join(probe: Block, indexed: Optional[Block], max_weight: bytes,
          threshold: float) -> List[Tuple[int, int, float, int]]:
    return _simsieve.cosine_join_row_blocks(probe, indexed, max_weight, threshold, THREADS)


def _feature_numbers(vocabularies: List[Tuple[List[str], bytes, int]]) -> Tuple[List[array], array]:
    """Per partition, the feature number of each local token; per feature, its document
    frequency in the whole input."""
    number: Dict[str, int] = {}
    doc_freq = array("Q")
    features: List[array] = []
    for tokens, local_df, _ in vocabularies:
        ids = array("I")
        for token, df in zip(tokens, memoryview(local_df).cast("I")):
            f = number.get(token)
            if f is None:
                f = number[token] = len(doc_freq)
                doc_freq.append(df)
            else:
                doc_freq[f] += df
            ids.append(f)
        features.append(ids)
    return features, doc_freq


def _rank_features(features: List[array], largest: Sequence[bytes], n_features: int
                   ) -> Tuple[List[bytes], bytes]:
    """Features ranked by (largest weight in any row, feature number), from every partition's
    largest weight per local token: per partition, the rank of each local token (0 for a token
    no row holds: no row refers to it), and the largest weight per rank."""
    top = array("d", [-1.0]) * n_features
    for ids, part in zip(features, largest):
        for f, m in zip(ids, memoryview(part).cast("d")):
            if m > top[f]:
                top[f] = m
    ranked = sorted((f for f in range(n_features) if top[f] >= 0.0), key=lambda f: (top[f], f))
    rank_of = array("I", [0]) * n_features
    for r, f in enumerate(ranked):
        rank_of[f] = r
    max_weight = array("d", (top[f] for f in ranked)).tobytes()
    return [array("I", (rank_of[f] for f in ids)).tobytes() for ids in features], max_weight


def cosine_join(docs: Any, threshold: float, *, npartitions: Optional[int] = None
                ) -> List[Tuple[int, int, float]]:
    """Distributed :func:`simsieve.cosine_join`: the same ``(j, i, cos)`` pairs, cosines bit for
    bit, in the same order, for the concatenated partitions of `docs` (a Dask Bag of token
    lists, or a sequence split into `npartitions`). Each partition is one block of rows."""
    _simsieve.cosine_join([], threshold)  # argument checks
    threshold = float(threshold)
    parts = input_partitions(docs, npartitions, "cosine_join()")
    counted = dask.persist(*[delayed(_count_tokens)(p) for p in parts])
    vocabularies = list(dask.compute(*[delayed(_vocabulary)(c) for c in counted]))
    lengths = [n for _, _, n in vocabularies]
    offsets = [sum(lengths[:k]) for k in range(len(parts))]
    n_docs = sum(lengths)
    if n_docs < 2 or math.isnan(threshold):
        return []
    features, doc_freq = _feature_numbers(vocabularies)
    del vocabularies
    weighed = dask.persist(*[
        delayed(_weigh)(c, array("Q", (doc_freq[f] for f in features[k])).tobytes(), n_docs)
        for k, c in enumerate(counted)])
    del counted  # the token counts are no longer needed once the rows are weighed
    largest = dask.compute(*[delayed(_largest)(w) for w in weighed])
    ranks, max_weight = _rank_features(features, largest, len(doc_freq))
    del largest
    max_d = delayed(max_weight, traverse=False)
    blocks = dask.persist(*[
        delayed(_rank)(w, ranks[k], offsets[k]) for k, w in enumerate(weighed)])
    del weighed, ranks, features  # the rows in rank order replace the weighed rows
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
