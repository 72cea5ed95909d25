"""Exact string similarity at scale.

``simsieve.ratio(a, b)`` returns exactly the float that
``difflib.SequenceMatcher(None, a, b, autojunk=False).ratio()`` returns, computed natively in
near-linear time with the interpreter lock released. ``simsieve.ratio(pairs)`` computes a whole
batch across all cores. ``extract``, ``extract_one``, ``match`` and ``cdist`` search with the
same exact ratio: the best matches of one string among many, or every good pair of two lists.
"""

from __future__ import annotations

from typing import Any

from . import _simsieve
from ._close_matches import get_close_matches
from ._search import cdist, extract, extract_one, match
from ._simsieve import (
    CosineJoiner,
    FloatArray,
    PanicException,
    Rationer,
    cluster_canonicals,
    cluster_canonicals_lsh,
    cosine_join,
    ratio_many,
)

__all__ = [
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
    "match",
    "ratio",
    "ratio_many",
]

_MISSING: Any = object()


def ratio(a: Any, b: Any = _MISSING, threads: Any = _MISSING) -> Any:
    """Exact gestalt similarity ratio, as difflib computes it with ``autojunk=False``.

    Two forms:

    * ``ratio(a, b)`` -> float: the ratio of two strings.
    * ``ratio(pairs, threads=0)`` -> list of floats: one ratio per ``(a, b)`` tuple, computed in
      parallel inside the extension (``threads=0`` uses all cores, ``threads=N`` caps the call).
    """
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
