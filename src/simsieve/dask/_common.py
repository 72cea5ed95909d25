"""Shared stages of the distributed clustering pipelines: partitioned input, the shuffle of
distinct strings, connected components and the exact minimum of every cluster."""

from __future__ import annotations

import zlib
from collections.abc import Sequence
from typing import Any, Dict, Iterable, List, Optional, Tuple

import dask
from dask import delayed

from .. import _simsieve

# A distinct string of the input: positions of its first and last copy, number of copies, text.
Distinct = Tuple[int, int, int, str]

# Threads of every native call: 0 runs it on the worker's thread with the process's shared pool
# for its parallel steps. A pool of its own per call (threads=1) costs about 0.2 ms to start,
# more than most of these batches take.
THREADS = 0

# Clusters with more distinct strings than this have their minimum computed in blocks of pairs,
# spread over several tasks; smaller ones are done whole by one task.
GIANT_CLUSTER = 2048
# Side of one block of pairs of a giant cluster.
MIN_BLOCK = 1024


def input_partitions(strings: Any, npartitions: Optional[int], what: str) -> List[Any]:
    """The partitions of `strings` as delayed lists, in input order."""
    import dask.bag as db

    if isinstance(strings, db.Bag):
        return [delayed(list)(p) for p in strings.to_delayed()]
    try:
        import dask.dataframe as dd

        if isinstance(strings, dd.Series):
            return [delayed(_series_items)(p) for p in strings.to_delayed()]
        if isinstance(strings, dd.DataFrame):
            raise TypeError(f"{what}: pass one column (a Dask Series), not a DataFrame")
    except ImportError:  # pragma: no cover
        pass
    if isinstance(strings, (str, bytes)) or not isinstance(strings, Sequence):
        raise TypeError(f"{what}: expected a Dask Bag, a Dask Series or a sequence")
    items = list(strings)
    parts = max(1, min(npartitions or 1, len(items) or 1))
    step = -(-len(items) // parts) if items else 0
    return [delayed(items[k * step : (k + 1) * step], traverse=False) for k in range(parts)]


def _series_items(frame: Any) -> List[Any]:
    return list(frame)


def check_strings(items: List[Any], what: str) -> List[str]:
    for item in items:
        if not isinstance(item, str):
            raise TypeError(f"{what}: every item must be a str, not {type(item).__name__}")
    return items


def text_hash(text: str) -> int:
    """A hash of a string's text that is the same in every process (unlike hash())."""
    return zlib.crc32(text.encode("utf-8", "surrogatepass"))


def partition_offsets(parts: List[Any], what: str) -> List[int]:
    """Global position of the first item of every partition (one pass over the input)."""
    lengths = dask.compute(*[delayed(_checked_len)(p, what) for p in parts])
    offsets, total = [], 0
    for n in lengths:
        offsets.append(total)
        total += n
    offsets.append(total)
    return offsets


def _checked_len(items: List[Any], what: str) -> int:
    return len(check_strings(items, what))


def _route_strings(items: List[str], offset: int, buckets: int) -> List[List[Tuple[str, int]]]:
    out: List[List[Tuple[str, int]]] = [[] for _ in range(buckets)]
    for k, text in enumerate(items):
        out[text_hash(text) % buckets].append((text, offset + k))
    return out


def _distinct_strings(*pieces: List[Tuple[str, int]]) -> Tuple[List[Distinct], Dict[int, List[int]]]:
    """The distinct strings of one shuffle partition (by first position) and, for those with
    three or more copies, the positions of all their copies."""
    seen: Dict[str, List[int]] = {}
    for piece in pieces:
        for text, pos in piece:
            seen.setdefault(text, []).append(pos)
    table: List[Distinct] = []
    copies: Dict[int, List[int]] = {}
    for text, positions in seen.items():
        positions.sort()
        table.append((positions[0], positions[-1], len(positions), text))
        if len(positions) >= 3:
            copies[positions[0]] = positions
    table.sort()
    return table, copies


def distinct_partitions(parts: List[Any], offsets: List[int], buckets: int) -> List[Any]:
    """Shuffle by text: one delayed (table, copies) per bucket, each text in exactly one bucket."""
    routed = [delayed(_route_strings, nout=buckets)(p, offsets[k], buckets) for k, p in enumerate(parts)]
    get = delayed(item)
    return [delayed(_distinct_strings)(*[get(r, b) for r in routed]) for b in range(buckets)]


class UnionFind:
    """Union-find over arbitrary integer keys (path halving, union by linking roots)."""

    def __init__(self) -> None:
        self.parent: Dict[int, int] = {}

    def find(self, x: int) -> int:
        parent = self.parent
        p = parent.get(x, x)
        while p != x:
            g = parent.get(p, p)
            parent[x] = g
            x, p = g, parent.get(g, g)
        return x

    def union(self, a: int, b: int) -> bool:
        ra, rb = self.find(a), self.find(b)
        if ra == rb:
            return False
        if ra < rb:
            ra, rb = rb, ra
        self.parent[ra] = rb
        return True


def linked_copies(table: List[Distinct], threshold: float) -> Dict[int, bool]:
    """Whether the copies of each string with copies link to each other (ratio 1.0, or two empty
    strings, reaching the threshold)."""
    multi = [t for t in table if t[2] >= 2]
    if not multi:
        return {}
    idx = list(range(len(multi)))
    verdicts = _simsieve.verify_pairs([t[3] for t in multi], idx, idx, threshold, THREADS)
    return {t[0]: v is not None for t, v in zip(multi, verdicts)}


# A forest edge: the first positions of two strings and the partitions that own them.
Edge = Tuple[int, int, int, int]


def components(edge_lists: Iterable[List[Edge]], owners: int) -> List[Dict[int, int]]:
    """Component of every string named by an edge, split by owner partition: per partition,
    first position -> smallest first position of its component. The edges are spanning forests,
    so there are fewer of them than distinct strings; when they fit the client, one union-find
    pass there is cheaper than the rounds of dataframe joins that :func:`star_components` needs."""
    uf = UnionFind()
    owner_of: Dict[int, int] = {}
    for edges in edge_lists:
        for a, b, oa, ob in edges:
            uf.union(a, b)
            owner_of[a] = oa
            owner_of[b] = ob
    labels: List[Dict[int, int]] = [{} for _ in range(owners)]
    for x, o in owner_of.items():
        labels[o][x] = uf.find(x)
    return labels


def _cluster_members(table: List[Distinct], copies: Dict[int, List[int]], label: Dict[int, int],
                     linked: Dict[int, bool], buckets: int) -> List[List[Tuple[int, int, int, int, str, List[int]]]]:
    """Routes the clustered strings of one partition to the task that owns their cluster:
    (cluster, first, last, count, text, positions). A string that no other string joins is a
    cluster of its own when its copies link to each other."""
    out: List[List[Tuple[int, int, int, int, str, List[int]]]] = [[] for _ in range(buckets)]
    for first, last, count, text in table:
        cluster = label.get(first)
        if cluster is None:
            if not linked.get(first, False):
                continue
            cluster = first
        if count == 1 or not linked.get(first, False):
            positions = [first]
        elif count == 2:
            positions = [first, last]
        else:
            positions = copies[first]
        out[cluster % buckets].append((cluster, first, last, count, text, positions))
    return out


def _minima(*pieces: List[Tuple[int, int, int, int, str, List[int]]]) -> Tuple[
        List[Tuple[List[int], float]], Dict[int, Tuple[List[str], List[int], List[int], List[int]]]]:
    """Exact minimum of every cluster of one partition; giant clusters are handed back whole."""
    groups: Dict[int, List[Tuple[int, int, int, int, str, List[int]]]] = {}
    for piece in pieces:
        for row in piece:
            groups.setdefault(row[0], []).append(row)
    done: List[Tuple[List[int], float]] = []
    giant: Dict[int, Tuple[List[str], List[int], List[int], List[int]]] = {}
    for cluster, rows in groups.items():
        rows.sort(key=lambda r: r[1])
        texts = [r[4] for r in rows]
        first = [r[1] for r in rows]
        last = [r[2] if r[3] >= 2 and len(r[5]) >= 2 else r[1] for r in rows]
        members = sorted(p for r in rows for p in r[5])
        if len(rows) > GIANT_CLUSTER:
            giant[cluster] = (texts, first, last, members)
            continue
        n = len(rows)
        done.append((members, _simsieve.cluster_block_min(texts, first, last, (0, n), (0, n), 1.0, THREADS)))
    return done, giant


def _block_min(table: Tuple[List[str], List[int], List[int], List[int]], rows: Tuple[int, int],
               cols: Tuple[int, int]) -> float:
    texts, first, last, _ = table
    return float(_simsieve.cluster_block_min(texts, first, last, rows, cols, 1.0, THREADS))


def item(pieces: Any, k: int) -> Any:
    return pieces[k]


def cluster_minima(distinct: List[Any], labels: List[Any], linked: List[Any],
                   buckets: int) -> List[Tuple[List[int], float]]:
    """The clusters (members ascending, exact minimum ratio), ordered by smallest member.
    `labels` and `linked` hold, per partition of `distinct`, the component of its strings and
    whether the copies of its strings link (dicts or delayed dicts): each stays with its owner."""
    get = delayed(item)
    routed = [delayed(_cluster_members, nout=buckets)(get(d, 0), get(d, 1), delayed(lab, traverse=False)
                                                      if isinstance(lab, dict) else lab, lk, buckets)
              for d, lab, lk in zip(distinct, labels, linked)]
    minima = [delayed(_minima)(*[get(r, b) for r in routed]) for b in range(buckets)]
    results = dask.persist(*minima)
    out: List[Tuple[List[int], float]] = []
    giant_tables: Dict[int, Any] = {}
    # Finished clusters and the sizes of the giant ones, in one round trip.
    parts = dask.compute(*[delayed(lambda m: (m[0], {c: len(t[0]) for c, t in m[1].items()}))(m) for m in results])
    sizes = []
    for done, giant_sizes in parts:
        out.extend(done)
        sizes.append(giant_sizes)
    blocks: List[Tuple[int, Any]] = []
    for b, part_sizes in enumerate(sizes):
        for cluster, n in part_sizes.items():
            table = delayed(lambda m, c: m[1][c])(results[b], cluster)
            giant_tables[cluster] = table
            for r0 in range(0, n, MIN_BLOCK):
                for c0 in range(r0, n, MIN_BLOCK):
                    rows = (r0, min(n, r0 + MIN_BLOCK))
                    cols = (c0, min(n, c0 + MIN_BLOCK))
                    blocks.append((cluster, delayed(_block_min)(table, rows, cols)))
    if blocks:
        values = dask.compute(*[v for _, v in blocks])
        lowest: Dict[int, float] = {}
        for (cluster, _), v in zip(blocks, values):
            lowest[cluster] = min(lowest.get(cluster, 1.0), v)
        members = dask.compute(*[delayed(lambda t: t[3])(giant_tables[c]) for c in lowest])
        for cluster, m in zip(lowest, members):
            out.append((m, lowest[cluster]))
    out.sort(key=lambda c: c[0][0])
    return out


# Forest edges the client gathers for one union-find pass; above this, components are found by
# large-star/small-star rounds of dataframe joins on the workers (client memory for the
# union-find is about 200 bytes an edge, so this caps it near 2 GiB).
CLIENT_EDGES = 10_000_000


def forest_components(forests: List[Any], owners: int) -> List[Any]:
    """Components of the (persisted) forests: gathered into one union-find on the client when
    their edges number at most CLIENT_EDGES, else found by :func:`star_components`."""
    total = sum(dask.compute(*[delayed(len)(f) for f in forests]))
    if total <= CLIENT_EDGES:
        return list(components(dask.compute(*forests), owners))
    return star_components(forests, owners)


def _edge_frame(edges: List[Edge]) -> Any:
    import pandas as pd

    return pd.DataFrame({"big": pd.Series([e[1] for e in edges], dtype="int64"),
                         "small": pd.Series([e[0] for e in edges], dtype="int64")})


def _owner_frame(edges: List[Edge]) -> Any:
    import pandas as pd

    return pd.DataFrame({"node": pd.Series([e[k] for e in edges for k in (0, 1)], dtype="int64"),
                         "owner": pd.Series([e[k] for e in edges for k in (2, 3)], dtype="int64")})


def _split_labels(frame: Any, owners: int) -> List[Dict[int, int]]:
    out: List[Dict[int, int]] = [{} for _ in range(owners)]
    for node, comp, owner in zip(frame["node"].tolist(), frame["comp"].tolist(), frame["owner"].tolist()):
        out[owner][node] = comp
    return out


def _merge_labels(*pieces: Dict[int, int]) -> Dict[int, int]:
    out: Dict[int, int] = {}
    for piece in pieces:
        out.update(piece)
    return out


def star_components(forests: List[Any], owners: int, max_rounds: int = 64) -> List[Any]:
    """Components of the forest edges without gathering them: alternating large-star and
    small-star rounds (Kiveris et al.), each a groupby-min and a join of Dask DataFrames, until
    every edge points from a node to its component's smallest node. Returns per owner partition
    a delayed dict (first position -> smallest first position of its component)."""
    import dask.dataframe as dd
    import pandas as pd

    meta = pd.DataFrame({"big": pd.Series([], dtype="int64"), "small": pd.Series([], dtype="int64")})
    edges = dd.from_delayed([delayed(_edge_frame)(f) for f in forests], meta=meta, verify_meta=False)
    nodes = dd.from_delayed([delayed(_owner_frame)(f) for f in forests],
                            meta=pd.DataFrame({"node": pd.Series([], dtype="int64"),
                                               "owner": pd.Series([], dtype="int64")}),
                            verify_meta=False).drop_duplicates()
    edges = edges.persist()
    for _ in range(max_rounds):
        # Large star: every node's larger neighbours attach to the smallest node of its
        # neighbourhood (itself included).
        both = dd.concat([edges, edges.rename(columns={"big": "small", "small": "big"})])
        low = both.groupby("small")["big"].min().rename("low").reset_index()
        low["low"] = low[["small", "low"]].min(axis=1)
        large = both.merge(low, on="small")
        large = large[large["big"] > large["small"]]
        edges = large[["big", "low"]].rename(columns={"low": "small"}).drop_duplicates()
        # Small star: every node and its smaller neighbours attach to the smallest of them.
        low = edges.groupby("big")["small"].min().rename("low").reset_index()
        small = edges.merge(low, on="big")
        moved = small[small["small"] != small["low"]][["small", "low"]].rename(columns={"small": "big"})
        kept = small[["big", "low"]]
        edges = dd.concat([moved, kept]).rename(columns={"low": "small"}).drop_duplicates().persist()
        # Done when the edges are stars: no node is both the larger end of an edge and the
        # smaller end of another, and no node points to two nodes.
        roles = dd.concat([edges[["big"]].rename(columns={"big": "node"}).assign(up=1, down=0),
                           edges[["small"]].rename(columns={"small": "node"}).assign(up=0, down=1)])
        per_node = roles.groupby("node")[["up", "down"]].sum()
        stuck = ((per_node["down"] > 0) & (per_node["up"] > 0)).sum() + (per_node["up"] > 1).sum()
        stuck = int(stuck.compute())
        if stuck == 0:
            break
    else:  # pragma: no cover - the rounds converge in O(log n) on any forest
        raise RuntimeError("star_components: no convergence")
    labels = edges.rename(columns={"big": "node", "small": "comp"})
    roots = edges[["small"]].drop_duplicates().rename(columns={"small": "node"})
    roots["comp"] = roots["node"]
    labels = dd.concat([labels, roots]).merge(nodes, on="node")
    split = [delayed(_split_labels, nout=owners)(p, owners) for p in labels.to_delayed()]
    get = delayed(item)
    return [delayed(_merge_labels)(*[get(s, o) for s in split]) for o in range(owners)]
