from typing import Iterable, List, Sequence, Tuple, TypeVar, overload

from ._simsieve import CosineJoiner as CosineJoiner
from ._simsieve import PanicException as PanicException
from ._simsieve import Rationer as Rationer
from ._simsieve import cluster_canonicals as cluster_canonicals
from ._simsieve import cluster_canonicals_lsh as cluster_canonicals_lsh
from ._simsieve import cosine_join as cosine_join
from ._simsieve import ratio_many as ratio_many

__version__: str

_T = TypeVar("_T")

@overload
def ratio(a: str, b: str, /) -> float: ...
@overload
def ratio(pairs: Sequence[Tuple[str, str]], /, threads: int = 0) -> List[float]: ...
def get_close_matches(word: _T, possibilities: Iterable[_T], n: int = 3, cutoff: float = 0.6) -> List[_T]: ...
