"""Exact string similarity at scale.

``simsieve.ratio(a, b)`` returns exactly the float that
``difflib.SequenceMatcher(None, a, b, autojunk=False).ratio()`` returns, computed natively in
near-linear time with the interpreter lock released. ``simsieve.ratio(pairs)`` computes a whole
batch across all cores. ``extract``, ``extract_one``, ``match`` and ``cdist`` search with the
same exact ratio: the best matches of one string among many, or every good pair of two lists.
"""

from __future__ import annotations

import inspect
from typing import Any

from . import _simsieve
from ._close_matches import get_close_matches
from ._columns import cluster_canonicals, cluster_canonicals_lsh, cosine_join, is_column
from ._search import cdist, extract, extract_one, match
from ._simsieve import (
    ArrowTable,
    CosineJoiner,
    FloatArray,
    PanicException,
    Rationer,
    ratio_many,
)

__version__ = "0.1.0"

__all__ = [
    "ArrowTable",
    "CosineJoiner",
    "FloatArray",
    "PanicException",
    "Rationer",
    "cdist",
    "cluster_canonicals",
    "cluster_canonicals_lsh",
    "cosine_join",
    "extract",
    "extract_one",
    "get_close_matches",
    "is_column",
    "match",
    "ratio",
    "ratio_many",
]


class _Unset:
    """The default of an argument that was not given (its repr keeps signatures readable)."""

    __slots__ = ()

    def __repr__(self) -> str:
        return "<unset>"


_MISSING: Any = _Unset()


def ratio(a: Any, b: Any = _MISSING, threads: Any = _MISSING) -> Any:
    """Exact gestalt similarity ratio, as difflib computes it with ``autojunk=False``.

    Two forms:

    * ``ratio(a, b)`` -> float: the ratio of two strings.
    * ``ratio(pairs, threads=0)`` -> list of floats: one ratio per ``(a, b)`` tuple, computed in
      parallel inside the extension (``threads=0`` uses all cores, ``threads=N`` caps the call).
    * ``ratio(column_a, column_b, threads=0)`` -> FloatArray: the element-wise ratios of two
      equally long Arrow string columns (pyarrow, polars, pandas; either may also be a sequence
      of str, and `column_b` one str), read in place. The float64 result goes to numpy
      (``numpy.asarray``), pyarrow and polars without a copy.
    """
    if is_column(a) or (b is not _MISSING and is_column(b)):
        if b is _MISSING:
            raise TypeError("ratio() missing 1 required positional argument: 'b'")
        return _simsieve.ratio_columns(a, b, 0 if threads is _MISSING else threads)
    if isinstance(a, str) or isinstance(b, str):
        if threads is not _MISSING:
            raise TypeError("ratio() got an unexpected keyword argument 'threads'")
        if b is _MISSING:
            return _simsieve.ratio(a)
        return _simsieve.ratio(a, b)
    if b is not _MISSING:
        if threads is not _MISSING:
            raise TypeError("ratio() got multiple values for argument 'threads'")
        threads = b
    if threads is _MISSING:
        threads = 0
    return _simsieve.ratio_many(a, threads)


# Shown by help() and inspect.signature(): `threads` is taken by the batch and column forms, where
# it defaults to 0.
ratio.__signature__ = inspect.Signature(  # type: ignore[attr-defined]
    [inspect.Parameter("a", inspect.Parameter.POSITIONAL_OR_KEYWORD),
     inspect.Parameter("b", inspect.Parameter.POSITIONAL_OR_KEYWORD, default=_MISSING),
     inspect.Parameter("threads", inspect.Parameter.POSITIONAL_OR_KEYWORD, default=0)])

