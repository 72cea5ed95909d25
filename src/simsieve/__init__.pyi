from typing import Any, Callable, Iterable, List, Literal, Optional, Sequence, Tuple, TypeVar, Union, overload

from ._simsieve import ArrowTable as ArrowTable
from ._simsieve import CosineJoiner as CosineJoiner
from ._simsieve import FloatArray as FloatArray
from ._simsieve import PanicException as PanicException
from ._simsieve import Rationer as Rationer
from ._simsieve import _ArrowColumn, _Documents, _Strings
from ._simsieve import ratio_many as ratio_many

__version__: str

_T = TypeVar("_T")

# progress(phase, done, total): called on the calling thread while a long call runs.
ProgressCallback = Callable[[str, int, int], Any]

@overload
def ratio(a: str, b: str, /) -> float: ...
@overload
def ratio(pairs: Sequence[Tuple[str, str]], /, threads: int = 0) -> List[float]: ...
@overload
def ratio(a: _ArrowColumn, b: Union[_Strings, str], /, threads: int = 0) -> FloatArray: ...
@overload
def ratio(a: Sequence[str], b: _ArrowColumn, /, threads: int = 0) -> FloatArray: ...
@overload
def get_close_matches(word: str, possibilities: _ArrowColumn, n: int = 3, cutoff: float = 0.6) -> List[str]: ...
@overload
def get_close_matches(word: _T, possibilities: Iterable[_T], n: int = 3, cutoff: float = 0.6) -> List[_T]: ...
def is_column(obj: Any) -> bool: ...
@overload
def cluster_canonicals(
    canonicals: _Strings, threshold: float, threads: int = 0, *, as_arrow: Literal[False] = False, progress: Optional[ProgressCallback] = None
) -> List[Tuple[List[int], float]]: ...
@overload
def cluster_canonicals(canonicals: _Strings, threshold: float, threads: int = 0, *, as_arrow: Literal[True], progress: Optional[ProgressCallback] = None) -> ArrowTable: ...
@overload
def cluster_canonicals_lsh(
    canonicals: _Strings,
    threshold: float,
    num_perm: int,
    band_rows: int,
    threads: int = 0,
    *,
    as_arrow: Literal[False] = False,
    progress: Optional[ProgressCallback] = None,
) -> List[Tuple[List[int], float]]: ...
@overload
def cluster_canonicals_lsh(
    canonicals: _Strings, threshold: float, num_perm: int, band_rows: int, threads: int = 0, *, as_arrow: Literal[True], progress: Optional[ProgressCallback] = None
) -> ArrowTable: ...
@overload
def cosine_join(
    docs: _Documents, threshold: float, concurrency: str = "cpu", threads: int = 0, *, as_arrow: Literal[False] = False, progress: Optional[ProgressCallback] = None
) -> List[Tuple[int, int, float]]: ...
@overload
def cosine_join(
    docs: _Documents, threshold: float, concurrency: str = "cpu", threads: int = 0, *, as_arrow: Literal[True], progress: Optional[ProgressCallback] = None
) -> ArrowTable: ...

_Choices = Union[Iterable[Optional[str]], _ArrowColumn]

def extract(
    query: str, choices: _Choices, *, limit: Optional[int] = 5, score_cutoff: float = 0.0,
    threads: int = 0
) -> List[Tuple[str, float, int]]: ...
def extract_one(
    query: str, choices: _Choices, *, score_cutoff: float = 0.0, threads: int = 0
) -> Optional[Tuple[str, float, int]]: ...
def cdist(
    queries: _Choices, choices: _Choices, *, score_cutoff: float = 0.0,
    dtype: Union[Literal["float64", "float32"], object] = "float64", threads: int = 0
) -> FloatArray: ...
@overload
def match(
    queries: _Choices, choices: _Choices, *, score_cutoff: float,
    limit: Optional[int] = None, threads: int = 0, as_arrow: Literal[False] = False
) -> List[Tuple[int, int, float]]: ...
@overload
def match(
    queries: _Choices, choices: _Choices, *, score_cutoff: float,
    limit: Optional[int] = None, threads: int = 0, as_arrow: Literal[True]
) -> ArrowTable: ...
