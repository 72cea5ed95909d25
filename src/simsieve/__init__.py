"""Exact string similarity at scale.

``simsieve.ratio(a, b)`` returns exactly the float that
``difflib.SequenceMatcher(None, a, b, autojunk=False).ratio()`` returns, computed natively in
near-linear time with the interpreter lock released. ``simsieve.ratio(pairs)`` computes a whole
batch across all cores.
"""

from __future__ import annotations

from typing import Any, Callable, Optional

from . import _simsieve
from ._close_matches import get_close_matches
from ._simsieve import (
    CosineJoiner,
    PanicException,
    Rationer,
    ratio_many,
)

__all__ = [
    "CosineJoiner",
    "PanicException",
    "Rationer",
    "cluster_canonicals",
    "cluster_canonicals_lsh",
    "cosine_join",
    "get_close_matches",
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


ProgressCallback = Callable[[str, int, int], Any]

_PROGRESS_DOC = """

``progress``: ``None`` or a callable ``progress(phase, done, total)``. While the call runs, it is
called on the calling thread (with the interpreter lock held) about every 50 ms with the name of
the running phase and its counts, and once when each phase finishes, with ``done == total``.
Phases: {phases}. An exception raised by the callable stops the call and propagates.
"""


def _checked_progress(progress: Any) -> Any:
    if progress is not None and not callable(progress):
        raise TypeError(f"progress must be a callable or None, not {type(progress).__name__}")
    return progress


def cluster_canonicals(
    canonicals: Any, threshold: Any, threads: Any = 0, *, progress: Optional[ProgressCallback] = None
) -> Any:
    if _checked_progress(progress) is None:
        return _simsieve.cluster_canonicals(canonicals, threshold, threads)
    return _simsieve._cluster_canonicals_progress(canonicals, threshold, threads, progress)


def cluster_canonicals_lsh(
    canonicals: Any,
    threshold: Any,
    num_perm: Any,
    band_rows: Any,
    threads: Any = 0,
    *,
    progress: Optional[ProgressCallback] = None,
) -> Any:
    if _checked_progress(progress) is None:
        return _simsieve.cluster_canonicals_lsh(canonicals, threshold, num_perm, band_rows, threads)
    return _simsieve._cluster_canonicals_lsh_progress(canonicals, threshold, num_perm, band_rows, threads, progress)


def cosine_join(
    docs: Any, threshold: Any, concurrency: Any = "cpu", threads: Any = 0, *, progress: Optional[ProgressCallback] = None
) -> Any:
    if _checked_progress(progress) is None:
        return _simsieve.cosine_join(docs, threshold, concurrency, threads)
    return _simsieve._cosine_join_progress(docs, threshold, concurrency, threads, progress)


def _native_doc(function: Any) -> str:
    return function.__doc__ or ""


cluster_canonicals.__doc__ = _native_doc(_simsieve.cluster_canonicals) + _PROGRESS_DOC.format(
    phases='"candidates", "edges" (the exact edge search), "minima"'
)
cluster_canonicals_lsh.__doc__ = _native_doc(_simsieve.cluster_canonicals_lsh) + _PROGRESS_DOC.format(
    phases='"signatures", "candidates" (one step per band), "verify", "minima"'
)
cosine_join.__doc__ = _native_doc(_simsieve.cosine_join) + _PROGRESS_DOC.format(phases='"join" (one step per document)')
