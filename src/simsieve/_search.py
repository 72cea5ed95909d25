"""Search by the exact gestalt ratio: the best matches of one string among many, and every good
pair between two lists.

Direction: the ratio is asymmetric. As in :func:`difflib.get_close_matches`, each *choice* is the
first sequence and the *query* the second, so a score is exactly
``difflib.SequenceMatcher(None, choice, query, autojunk=False).ratio()`` (the same as
``simsieve.ratio(choice, query)``). Each query is indexed once and every choice is compared
against that index, after exact length and character-count bounds have ruled most of them out.

Choices and queries may be a list, a tuple or any other sequence of strings (other iterables are
read into a list first), or an Arrow string column: any object exporting ``__arrow_c_stream__``
or ``__arrow_c_array__`` (pyarrow arrays and chunked arrays, polars Series, pandas Series with
Arrow strings), read in place without a Python object per string. ``None`` (or a null) among the
choices is skipped; indices always refer to input positions. A null among column queries is an
error naming its position.
All work runs natively with the interpreter lock released, across all cores for ``threads=0`` or
on ``threads=N`` threads; the results are the same for every ``threads`` value.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Any, Iterable, List, Optional, Tuple

from . import _simsieve
from ._columns import is_column

__all__ = ["cdist", "extract", "extract_one", "match"]


def _as_sequence(items: Any) -> Any:
    """The input as something the native layer reads in order and Python can index.

    This is the one place that accepts other containers: lists and tuples pass as they are,
    other sequences and Arrow columns too, and any other iterable (a generator, a pandas Series
    of Python objects, dict keys) is read into a list once. A ``str`` is not a list of choices and
    is left for the native layer to reject.
    """
    if isinstance(items, (list, tuple, str)) or isinstance(items, Sequence) or is_column(items):
        return items
    if hasattr(items, "__iter__"):
        return list(items)
    return items


def _check_cutoff(score_cutoff: Any) -> float:
    value = float(score_cutoff)
    if math.isnan(value):
        raise ValueError("score_cutoff must not be NaN")
    return value


def _check_limit(limit: Any) -> int:
    """The native limit: 0 stands for no limit."""
    if limit is None:
        return 0
    if isinstance(limit, bool) or not isinstance(limit, int):
        limit = limit.__index__() if hasattr(limit, "__index__") else limit
        if not isinstance(limit, int):
            raise TypeError("limit must be an int or None")
    if limit < 1:
        raise ValueError(f"limit must be a positive int or None: {limit!r}")
    return limit


_DTYPES = {"float64": "float64", "f8": "float64", "d": "float64", "double": "float64",
           "float32": "float32", "f4": "float32", "f": "float32", "single": "float32"}


def _check_dtype(dtype: Any) -> str:
    name = dtype if isinstance(dtype, str) else getattr(dtype, "name", getattr(dtype, "__name__", None))
    if name is None and dtype is float:
        name = "float64"
    canonical = _DTYPES.get(str(name)) if name is not None else None
    if canonical is None:
        raise ValueError(f"dtype must be 'float64' or 'float32': {dtype!r}")
    return canonical


def extract(query: str, choices: Iterable[Optional[str]], *, limit: Optional[int] = 5, score_cutoff: float = 0.0,
            threads: int = 0) -> List[Tuple[str, float, int]]:
    """The best `limit` choices for `query` as ``(choice, score, index)`` tuples, best first.

    Only scores at or above `score_cutoff` count; ties go by ascending index; ``limit=None``
    returns every choice that reaches the cutoff. The score of a choice is
    ``simsieve.ratio(choice, query)`` (the choice is difflib's first sequence). ``None`` choices
    are skipped and `index` is always the input position.
    """
    return _simsieve.search_top(query, _as_sequence(choices), _check_limit(limit), _check_cutoff(score_cutoff),
                                threads, with_choice=True)


def extract_one(query: str, choices: Iterable[Optional[str]], *, score_cutoff: float = 0.0,
                threads: int = 0) -> Optional[Tuple[str, float, int]]:
    """The best ``(choice, score, index)`` for `query` (the lowest index among equal scores), or
    ``None`` when no choice reaches `score_cutoff`. Scores as in :func:`extract`."""
    hits = _simsieve.search_top(query, _as_sequence(choices), 1, _check_cutoff(score_cutoff), threads,
                                with_choice=True)
    return hits[0] if hits else None


def cdist(queries: Iterable[Optional[str]], choices: Iterable[Optional[str]], *, score_cutoff: float = 0.0,
          dtype: Any = "float64", threads: int = 0) -> Any:
    """The ``len(queries) x len(choices)`` matrix of scores, row per query.

    Entry ``[q][c]`` is ``simsieve.ratio(choices[c], queries[q])``, or 0 when it is below
    `score_cutoff` (or either entry is ``None``). The result is a read-only ``FloatArray`` of
    ``dtype`` "float64" or "float32" that exposes the buffer protocol: ``numpy.asarray(result)``
    and ``memoryview(result)`` use its memory without a copy; ``result.tolist()`` gives nested
    lists. numpy is not needed.
    """
    return _simsieve.search_dense(_as_sequence(queries), _as_sequence(choices), _check_cutoff(score_cutoff),
                                  _check_dtype(dtype), threads)


def match(queries: Iterable[Optional[str]], choices: Iterable[Optional[str]], *, score_cutoff: float,
          limit: Optional[int] = None, threads: int = 0, as_arrow: bool = False) -> Any:
    """Every ``(query index, choice index, score)`` with score at or above `score_cutoff`.

    The sparse form of :func:`cdist`: with ``limit=k`` only the best k choices of each query are
    kept (ties by ascending choice index). Triples come ordered by query index, then score
    descending, then choice index. ``None`` queries and choices are skipped. With
    ``as_arrow=True`` the same rows come as an Arrow record batch of the columns ``query``,
    ``choice`` (int64) and ``score`` (float64), without a Python object per row (take it with
    ``pyarrow.table(result)`` or ``polars.DataFrame(result)``).
    """
    return _simsieve.search_pairs(_as_sequence(queries), _as_sequence(choices), _check_cutoff(score_cutoff),
                                  _check_limit(limit), threads, bool(as_arrow))
