"""A drop-in for difflib.get_close_matches with exact, natively computed scores."""

from __future__ import annotations

import difflib
from heapq import nlargest
from typing import Any, Iterable, List

from . import _simsieve
from ._columns import is_column


def get_close_matches(word: Any, possibilities: Iterable[Any], n: int = 3, cutoff: float = 0.6) -> List[Any]:
    """Use SequenceMatcher-compatible ratios to return a list of the best "good enough" matches.

    Same arguments, checks, messages and result order as :func:`difflib.get_close_matches`:
    each possibility is scored as the first sequence against `word` as the second, the ones
    scoring at least `cutoff` are kept, and the `n` largest ``(score, possibility)`` tuples are
    returned best first. It runs on :func:`simsieve.extract`'s engine: `word` is indexed once,
    exact length and character-count bounds (difflib's real_quick_ratio and quick_ratio) rule
    out most possibilities before any ratio is computed, natively and in parallel with the
    interpreter lock released.

    Difference: difflib's get_close_matches uses ``autojunk=True``, which for a `word` of 200 or
    more characters junks its most frequent characters and changes the scores; simsieve's scores
    are always the exact ``autojunk=False`` ratios. For shorter words the results are identical.
    `possibilities` may also be an Arrow string column (pyarrow, polars, pandas), read in place.
    Possibilities that are not all ``str`` (and a non-``str`` word) are handed to difflib as they
    are, so anything difflib accepts keeps working.
    """
    if not n > 0:
        raise ValueError("n must be > 0: %r" % (n,))
    if not 0.0 <= cutoff <= 1.0:
        raise ValueError("cutoff must be in [0.0, 1.0]: %r" % (cutoff,))
    if is_column(possibilities):
        # An Arrow string column is scored in place; only the kept candidates become str.
        return [x for score, x in nlargest(n, _simsieve.close_matches_scores(word, possibilities, cutoff))]
    # A list or tuple is read as it is (the native side keeps its items alive); anything else is
    # taken into a list once, since it may be a one-shot iterator.
    candidates = possibilities if type(possibilities) in (list, tuple) else list(possibilities)
    if not isinstance(word, str) or not isinstance(n, int):
        return difflib.get_close_matches(word, candidates, n, cutoff)
    # The n best by score, plus every possibility tied with the n-th score: difflib breaks ties
    # by the possibility itself, which nlargest below does on this short list.
    limit = n if n < len(candidates) else 0
    try:
        hits = _simsieve.search_top(word, candidates, limit, cutoff, 0, True, False, True)
    except TypeError:  # a possibility that is not a str: difflib's rules apply
        return difflib.get_close_matches(word, candidates, n, cutoff)
    return [x for score, x in nlargest(n, [(score, x) for x, score, _ in hits])]
