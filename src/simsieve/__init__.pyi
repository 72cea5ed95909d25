from typing import Any, Callable, Iterable, List, Optional, Sequence, Tuple, TypeVar, overload

from ._simsieve import CosineJoiner as CosineJoiner
from ._simsieve import PanicException as PanicException
from ._simsieve import Rationer as Rationer
from ._simsieve import ratio_many as ratio_many

_T = TypeVar("_T")

# progress(phase, done, total): called on the calling thread while a long call runs.
ProgressCallback = Callable[[str, int, int], Any]

def cluster_canonicals(
    canonicals: Sequence[str], threshold: float, threads: int = 0, *, progress: Optional[ProgressCallback] = None
) -> List[Tuple[List[int], float]]: ...
def cluster_canonicals_lsh(
    canonicals: Sequence[str],
    threshold: float,
    num_perm: int,
    band_rows: int,
    threads: int = 0,
    *,
    progress: Optional[ProgressCallback] = None,
) -> List[Tuple[List[int], float]]: ...
def cosine_join(
    docs: Sequence[Sequence[str]],
    threshold: float,
    concurrency: str = "cpu",
    threads: int = 0,
    *,
    progress: Optional[ProgressCallback] = None,
) -> List[Tuple[int, int, float]]: ...

@overload
def ratio(a: str, b: str, /) -> float: ...
@overload
def ratio(pairs: Sequence[Tuple[str, str]], /, threads: int = 0) -> List[float]: ...
def get_close_matches(word: _T, possibilities: Iterable[_T], n: int = 3, cutoff: float = 0.6) -> List[_T]: ...
