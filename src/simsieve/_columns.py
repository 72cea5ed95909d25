"""Columns in, columns out: the package-level forms of the clustering and join functions that can
return Arrow record batches, and the test that tells an Arrow column from a Python sequence."""

from __future__ import annotations

from typing import Any, Callable, Optional

from . import _simsieve


def is_column(obj: Any) -> bool:
    """Whether `obj` exports Arrow data through the PyCapsule interface (pyarrow arrays and chunked
    arrays, polars and pandas Series, one-column tables, simsieve's own FloatArray)."""
    if isinstance(obj, (str, list, tuple)):
        return False
    return hasattr(obj, "__arrow_c_stream__") or hasattr(obj, "__arrow_c_array__")


ProgressCallback = Callable[[str, int, int], Any]

_PROGRESS_DOC = """

    ``progress``: ``None`` or a callable ``progress(phase, done, total)``. While the call runs, it
    is called on the calling thread (with the interpreter lock held) about every 50 ms with the
    name of the running phase and its counts, and once when each phase finishes, with
    ``done == total``. Phases: {phases}. An exception raised by the callable stops the call and
    propagates.
    """


def _checked_progress(progress: Any) -> Any:
    if progress is not None and not callable(progress):
        raise TypeError(f"progress must be a callable or None, not {type(progress).__name__}")
    return progress


def cluster_canonicals(
    canonicals: Any,
    threshold: Any,
    threads: Any = 0,
    *,
    as_arrow: bool = False,
    progress: Optional[ProgressCallback] = None,
) -> Any:
    """Exact single-linkage clusters of `canonicals` at `threshold`.

    `canonicals` is a sequence of str or an Arrow string column (pyarrow, polars, pandas), read in
    place. Returns a list of ``(member indices, minimum pairwise ratio)`` tuples, or with
    ``as_arrow=True`` an Arrow record batch with one row per member: ``cluster``, ``member``,
    ``min_ratio`` (take it with ``pyarrow.table(result)`` or ``polars.DataFrame(result)``).
    """
    if _checked_progress(progress) is not None:
        return _simsieve._cluster_canonicals_progress(canonicals, threshold, threads, progress, bool(as_arrow))
    if as_arrow:
        return _simsieve.cluster_canonicals_arrow(canonicals, threshold, threads)
    return _simsieve.cluster_canonicals(canonicals, threshold, threads)


def cluster_canonicals_lsh(
    canonicals: Any,
    threshold: Any,
    num_perm: Any,
    band_rows: Any,
    threads: Any = 0,
    *,
    as_arrow: bool = False,
    progress: Optional[ProgressCallback] = None,
) -> Any:
    """MinHash/LSH clustering of `canonicals` (a sequence of str or an Arrow string column), with
    exact verification of every candidate pair; as a list of ``(members, min ratio)`` tuples, or
    with ``as_arrow=True`` an Arrow record batch of ``cluster``, ``member``, ``min_ratio``."""
    if _checked_progress(progress) is not None:
        return _simsieve._cluster_canonicals_lsh_progress(
            canonicals, threshold, num_perm, band_rows, threads, progress, bool(as_arrow)
        )
    if as_arrow:
        return _simsieve.cluster_canonicals_lsh_arrow(canonicals, threshold, num_perm, band_rows, threads)
    return _simsieve.cluster_canonicals_lsh(canonicals, threshold, num_perm, band_rows, threads)


def cosine_join(
    docs: Any,
    threshold: Any,
    concurrency: Any = "cpu",
    threads: Any = 0,
    *,
    as_arrow: bool = False,
    progress: Optional[ProgressCallback] = None,
) -> Any:
    """Exact all-pairs TF-IDF cosine join of token documents (a sequence of sequences of str, or an
    Arrow ``list<string>`` column); a list of ``(j, i, cos)`` tuples, or with ``as_arrow=True`` an
    Arrow record batch of ``j``, ``i``, ``cos``."""
    if _checked_progress(progress) is not None:
        return _simsieve._cosine_join_progress(docs, threshold, concurrency, threads, progress, bool(as_arrow))
    if as_arrow:
        return _simsieve.cosine_join_arrow(docs, threshold, concurrency, threads)
    return _simsieve.cosine_join(docs, threshold, concurrency, threads)



cluster_canonicals.__doc__ = (cluster_canonicals.__doc__ or "").rstrip() + _PROGRESS_DOC.format(
    phases='"candidates" (one step per canonical), "edges" (the exact edge search over the ranked '
    'candidates; on inputs with more than about 16 million candidates, most of it runs inside '
    '"candidates" and "edges" covers the last part), "minima"'
)
cluster_canonicals_lsh.__doc__ = (cluster_canonicals_lsh.__doc__ or "").rstrip() + _PROGRESS_DOC.format(
    phases='"signatures", "candidates" (one step per band), "verify", "minima"'
)
cosine_join.__doc__ = (cosine_join.__doc__ or "").rstrip() + _PROGRESS_DOC.format(phases='"join" (one step per document)')
