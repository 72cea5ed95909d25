from typing import Any, Callable, List, Literal, Optional, Protocol, Sequence, Tuple, Union, overload

class _ArrowArrayExporter(Protocol):
    def __arrow_c_array__(self, requested_schema: Optional[object] = None) -> Tuple[object, object]: ...

class _ArrowStreamExporter(Protocol):
    def __arrow_c_stream__(self, requested_schema: Optional[object] = None) -> object: ...

# An Arrow column exported through the PyCapsule interface (pyarrow, polars, pandas, ...).
_ArrowColumn = Union[_ArrowArrayExporter, _ArrowStreamExporter]
_Strings = Union[Sequence[str], _ArrowColumn]
_Documents = Union[Sequence[Sequence[str]], _ArrowColumn]

class FloatArray:
    def __len__(self) -> int: ...
    def __buffer__(self, flags: int, /) -> memoryview: ...
    def tolist(self) -> List[Any]: ...
    def __arrow_c_array__(self, requested_schema: Optional[object] = None) -> Tuple[object, object]: ...
    @property
    def shape(self) -> Tuple[int, ...]: ...
    @property
    def format(self) -> str: ...

class ArrowTable:
    def __len__(self) -> int: ...
    def __arrow_c_stream__(self, requested_schema: Optional[object] = None) -> object: ...
    def __arrow_c_array__(self, requested_schema: Optional[object] = None) -> Tuple[object, object]: ...
    @property
    def column_names(self) -> List[str]: ...

class PanicException(BaseException): ...

def ratio(a: str, b: str) -> float: ...
def ratio_many(pairs: Sequence[Tuple[str, str]], threads: int = 0) -> List[float]: ...
def ratio_columns(a: _Strings, b: Union[_Strings, str], threads: int = 0) -> FloatArray: ...
def close_matches_scores(word: str, possibilities: _Strings, cutoff: float, threads: int = 0) -> List[Tuple[float, str]]: ...
def cluster_canonicals_arrow(canonicals: _Strings, threshold: float, threads: int = 0) -> ArrowTable: ...
def cluster_canonicals_lsh_arrow(
    canonicals: _Strings, threshold: float, num_perm: int, band_rows: int, threads: int = 0
) -> ArrowTable: ...
def cosine_join_arrow(docs: _Documents, threshold: float, concurrency: str = "cpu", threads: int = 0) -> ArrowTable: ...
def cluster_canonicals(canonicals: _Strings, threshold: float, threads: int = 0) -> List[Tuple[List[int], float]]: ...
def cluster_canonicals_lsh(
    canonicals: _Strings, threshold: float, num_perm: int, band_rows: int, threads: int = 0
) -> List[Tuple[List[int], float]]: ...

# The calls above with a progress callable, progress(phase, done, total), or None, and the
# as_arrow flag as their last arguments; the package-level wrappers pass their `progress=` here.
def _cluster_canonicals_progress(
    canonicals: _Strings,
    threshold: float,
    threads: int,
    progress: Optional[Callable[[str, int, int], Any]],
    as_arrow: bool,
) -> Union[List[Tuple[List[int], float]], ArrowTable]: ...
def _cluster_canonicals_lsh_progress(
    canonicals: _Strings,
    threshold: float,
    num_perm: int,
    band_rows: int,
    threads: int,
    progress: Optional[Callable[[str, int, int], Any]],
    as_arrow: bool,
) -> Union[List[Tuple[List[int], float]], ArrowTable]: ...

class CosineJoiner:
    def __new__(cls, docs: _Documents) -> "CosineJoiner": ...
    def join(self, threshold: float, concurrency: str = "cpu", threads: int = 0) -> List[Tuple[int, int, float]]: ...
    @property
    def has_gpu(self) -> bool: ...

def cosine_join(
    docs: _Documents, threshold: float, concurrency: str = "cpu", threads: int = 0
) -> List[Tuple[int, int, float]]: ...

def _cosine_join_progress(
    docs: _Documents,
    threshold: float,
    concurrency: str,
    threads: int,
    progress: Optional[Callable[[str, int, int], Any]],
    as_arrow: bool,
) -> Union[List[Tuple[int, int, float]], ArrowTable]: ...

# The command line's row output: rows[start:stop] laid out from piece tables ((pieces, offsets)).
def _format_rows(
    layout: Sequence[Union[bytes, int, Tuple[int, int], Tuple[int, int, bool]]],
    tables: Sequence[Tuple[bytes, bytes]],
    rows: Union[Sequence[Tuple[int, int, float]], ArrowTable],
    start: int,
    stop: int,
    separator: bytes,
) -> bytes: ...

class Rationer:
    def __new__(cls, concurrency: str = "gpu+cpu", threads: int = 0, delta: float = 0.0) -> "Rationer": ...
    def ratio(self, a: str, b: str) -> float: ...
    def ratio_many(self, pairs: Sequence[Tuple[str, str]]) -> List[float]: ...
    def cluster_canonicals(self, canonicals: _Strings, threshold: float) -> List[Tuple[List[int], float]]: ...
    @property
    def concurrency(self) -> str: ...
    @property
    def delta(self) -> float: ...

# Batch kernels of distributed pipelines (see simsieve.dask).
def lsh_band_hashes(strings: Sequence[str], num_perm: int, band_rows: int, threads: int = 0) -> bytes: ...
def verify_pairs(
    strings: Sequence[str], lo: Sequence[int], hi: Sequence[int], threshold: float, threads: int = 0
) -> List[Optional[float]]: ...
def cluster_block_min(
    strings: Sequence[str],
    first: Sequence[int],
    last: Sequence[int],
    rows: Tuple[int, int],
    cols: Tuple[int, int],
    upper: float = 1.0,
    threads: int = 0,
) -> float: ...
def cosine_join_blocks(
    probe: Sequence[Tuple[int, Sequence[int], Sequence[float]]],
    indexed: Optional[Sequence[Tuple[int, Sequence[int], Sequence[float]]]],
    max_weight: Sequence[float],
    threshold: float,
    threads: int = 0,
) -> List[Tuple[int, int, float, int]]: ...

# The TF-IDF rows of one partition in three passes, and the join of two blocks of those rows;
# arrays are flat buffers of native-order values (bytes out, any contiguous buffer in).
_Buffer = Union[bytes, bytearray, memoryview, Any]
def tfidf_count_tokens(docs: _Documents) -> Tuple[List[str], bytes, bytes, bytes, bytes]: ...
def tfidf_weigh_rows(
    offsets: _Buffer, ids: _Buffer, counts: _Buffer, doc_freq: _Buffer, n_docs: int
) -> Tuple[bytes, bytes, bytes, bytes]: ...
def tfidf_rank_rows(offsets: _Buffer, ids: _Buffer, weights: _Buffer, rank: _Buffer) -> Tuple[bytes, bytes]: ...
def cosine_join_row_blocks(
    probe: Tuple[_Buffer, _Buffer, _Buffer, _Buffer],
    indexed: Optional[Tuple[_Buffer, _Buffer, _Buffer, _Buffer]],
    max_weight: _Buffer,
    threshold: float,
    threads: int = 0,
) -> List[Tuple[int, int, float, int]]: ...

_SearchStrings = Union[Sequence[Optional[str]], _ArrowColumn]

@overload
def search_top(
    query: str, choices: _SearchStrings, limit: int = 5, score_cutoff: float = 0.0, threads: int = 0,
    keep_ties: bool = False, skip_none: bool = True, with_choice: Literal[False] = False
) -> List[Tuple[int, float]]: ...
@overload
def search_top(
    query: str, choices: _SearchStrings, limit: int = 5, score_cutoff: float = 0.0, threads: int = 0,
    keep_ties: bool = False, skip_none: bool = True, *, with_choice: Literal[True]
) -> List[Tuple[str, float, int]]: ...
@overload
def search_pairs(
    queries: _SearchStrings, choices: _SearchStrings, score_cutoff: float, limit: int = 0,
    threads: int = 0, as_arrow: Literal[False] = False
) -> List[Tuple[int, int, float]]: ...
@overload
def search_pairs(
    queries: _SearchStrings, choices: _SearchStrings, score_cutoff: float, limit: int,
    threads: int, as_arrow: Literal[True]
) -> ArrowTable: ...
def search_dense(
    queries: _SearchStrings, choices: _SearchStrings, score_cutoff: float = 0.0,
    dtype: str = "float64", threads: int = 0
) -> FloatArray: ...
