from typing import Iterable, List, Literal, Optional, Sequence, Tuple, TypeVar, Union, overload

from ._simsieve import CosineJoiner as CosineJoiner
from ._simsieve import FloatArray as FloatArray
from ._simsieve import PanicException as PanicException
from ._simsieve import Rationer as Rationer
from ._simsieve import cluster_canonicals as cluster_canonicals
from ._simsieve import cluster_canonicals_lsh as cluster_canonicals_lsh
from ._simsieve import cosine_join as cosine_join
from ._simsieve import ratio_many as ratio_many

_T = TypeVar("_T")

@overload
def ratio(a: str, b: str, /) -> float: ...
@overload
def ratio(pairs: Sequence[Tuple[str, str]], /, threads: int = 0) -> List[float]: ...
def get_close_matches(word: _T, possibilities: Iterable[_T], n: int = 3, cutoff: float = 0.6) -> List[_T]: ...

def extract(
    query: str, choices: Iterable[Optional[str]], *, limit: Optional[int] = 5, score_cutoff: float = 0.0,
    threads: int = 0
) -> List[Tuple[str, float, int]]: ...
def extract_one(
    query: str, choices: Iterable[Optional[str]], *, score_cutoff: float = 0.0, threads: int = 0
) -> Optional[Tuple[str, float, int]]: ...
def cdist(
    queries: Iterable[Optional[str]], choices: Iterable[Optional[str]], *, score_cutoff: float = 0.0,
    dtype: Union[Literal["float64", "float32"], object] = "float64", threads: int = 0
) -> FloatArray: ...
def match(
    queries: Iterable[Optional[str]], choices: Iterable[Optional[str]], *, score_cutoff: float,
    limit: Optional[int] = None, threads: int = 0
) -> List[Tuple[int, int, float]]: ...
