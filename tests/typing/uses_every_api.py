"""Type-checked with mypy --strict by tests/test_typing.py: uses the whole public API."""

from typing import List, Optional, Tuple

import simsieve

one: float = simsieve.ratio("john smith", "jon smyth")
many: List[float] = simsieve.ratio([("a", "b"), ("c", "d")], threads=2)
batch: List[float] = simsieve.ratio_many([("a", "b")], threads=0)

clusters: List[Tuple[List[int], float]] = simsieve.cluster_canonicals(["a", "b"], 0.8, threads=1)
lsh: List[Tuple[List[int], float]] = simsieve.cluster_canonicals_lsh(["a", "b"], 0.8, 64, 4, threads=0)
for members, min_ratio in clusters + lsh:
    first: int = members[0]
    lowest: float = min_ratio

pairs: List[Tuple[int, int, float]] = simsieve.cosine_join([["a", "b"], ["b"]], 0.5, "cpu", threads=0)
joiner = simsieve.CosineJoiner([["a", "b"], ["b"]])
again: List[Tuple[int, int, float]] = joiner.join(0.5, concurrency="gpu", threads=1)
gpu: bool = joiner.has_gpu

rationer = simsieve.Rationer(concurrency="cpu", threads=2, delta=0.1)
mode: str = rationer.concurrency
delta: float = rationer.delta
r1: float = rationer.ratio("a", "b")
r2: List[float] = rationer.ratio_many([("a", "b")])
r3: List[Tuple[List[int], float]] = rationer.cluster_canonicals(["a", "b"], 0.5)

close: List[str] = simsieve.get_close_matches("appel", ["ape", "apple"], n=2, cutoff=0.5)

found: List[Tuple[str, float, int]] = simsieve.extract("appel", ["ape", None], limit=None, score_cutoff=0.5, threads=1)
best: Optional[Tuple[str, float, int]] = simsieve.extract_one("appel", ["ape", "apple"], score_cutoff=0.5)
matrix: simsieve.FloatArray = simsieve.cdist(["appel"], ["ape"], score_cutoff=0.5, dtype="float32", threads=0)
rows: int = len(matrix)
good: List[Tuple[int, int, float]] = simsieve.match(["appel"], ["ape"], score_cutoff=0.5, limit=2, threads=0)

try:
    simsieve.ratio("a", "b")
except simsieve.PanicException as failure:
    text: str = str(failure)


class Column:
    """Stands in for any Arrow string column (pyarrow, polars, pandas)."""

    def __arrow_c_stream__(self, requested_schema: object = None) -> object:
        return None


column = Column()
ratios: simsieve.FloatArray = simsieve.ratio(column, column, threads=2)
against: simsieve.FloatArray = simsieve.ratio(column, "word")
size: int = len(ratios) + len(memoryview(ratios))
values: List[float] = ratios.tolist()
shape: Tuple[int, ...] = ratios.shape
table: simsieve.ArrowTable = simsieve.cluster_canonicals(column, 0.8, as_arrow=True)
table_lsh: simsieve.ArrowTable = simsieve.cluster_canonicals_lsh(column, 0.8, 64, 4, as_arrow=True)
joined: simsieve.ArrowTable = simsieve.cosine_join(column, 0.5, as_arrow=True)
names: List[str] = table.column_names + table_lsh.column_names + joined.column_names
from_column: List[str] = simsieve.get_close_matches("appel", column)
column_clusters: List[Tuple[List[int], float]] = simsieve.cluster_canonicals(column, 0.8)
is_col: bool = simsieve.is_column(column)
found_in_column: List[Tuple[str, float, int]] = simsieve.extract("appel", column, limit=3)
best_in_column: Optional[Tuple[str, float, int]] = simsieve.extract_one("appel", column)
column_matrix: simsieve.FloatArray = simsieve.cdist(column, column, score_cutoff=0.5)
column_pairs: List[Tuple[int, int, float]] = simsieve.match(column, ["ape"], score_cutoff=0.5)
pairs_table: simsieve.ArrowTable = simsieve.match(["appel"], column, score_cutoff=0.5, as_arrow=True)
