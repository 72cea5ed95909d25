"""get_close_matches is a drop-in for difflib.get_close_matches."""

import difflib
import keyword
import random

import pytest
from hypothesis import given, strategies as st

import simsieve

WORDS = sorted(set(keyword.kwlist + dir(__builtins__) + dir(str) + dir(list) + dir(dict) + dir(random)))


def typos(word, rng):
    out = list(word)
    for _ in range(rng.randint(1, 2)):
        if not out:
            break
        i = rng.randrange(len(out))
        op = rng.randrange(3)
        if op == 0:
            del out[i]
        elif op == 1:
            out.insert(i, rng.choice("aeiourst"))
        else:
            out[i] = rng.choice("aeiourst")
    return "".join(out)


def test_matches_difflib_on_real_words_with_typos():
    rng = random.Random(7)
    for word in rng.sample(WORDS, 150):
        query = typos(word, rng)
        for n, cutoff in ((3, 0.6), (1, 0.0), (10, 0.8), (5, 1.0)):
            assert simsieve.get_close_matches(query, WORDS, n, cutoff) == \
                difflib.get_close_matches(query, WORDS, n, cutoff)


def test_ties_and_duplicates_keep_difflib_order():
    possibilities = ["abcd", "abce", "abcf", "abcd", "bcda", "dcba", "abc", "abcde"]
    for n in (1, 2, 3, 8, 20):
        assert simsieve.get_close_matches("abcx", possibilities, n, 0.0) == \
            difflib.get_close_matches("abcx", possibilities, n, 0.0)


@given(st.text(alphabet="abcé日", max_size=12), st.lists(st.text(alphabet="abcé日", max_size=12), max_size=30),
       st.integers(1, 5), st.floats(0.0, 1.0))
def test_matches_difflib_on_generated_words(word, possibilities, n, cutoff):
    assert simsieve.get_close_matches(word, possibilities, n, cutoff) == \
        difflib.get_close_matches(word, possibilities, n, cutoff)


def test_argument_checks_and_fallbacks():
    for bad_n in (0, -1):
        with pytest.raises(ValueError) as info:
            simsieve.get_close_matches("a", ["a"], n=bad_n)
        assert str(info.value) == f"n must be > 0: {bad_n!r}"
    for bad_cutoff in (-0.1, 1.5, float("nan")):
        with pytest.raises(ValueError) as info:
            simsieve.get_close_matches("a", ["a"], cutoff=bad_cutoff)
        assert str(info.value) == f"cutoff must be in [0.0, 1.0]: {bad_cutoff!r}"
    # Non-str possibilities are difflib's business, as before.
    seqs = [("a", "b", "c"), ("a", "b"), ("x",)]
    assert simsieve.get_close_matches(("a", "b", "c"), seqs) == difflib.get_close_matches(("a", "b", "c"), seqs)
    # Any iterable works, generators included.
    assert simsieve.get_close_matches("appel", (w for w in ["ape", "apple", "peach"])) == ["apple", "ape"]


def test_none_large_n_and_ties_at_the_nth_score_as_in_difflib():
    # A None possibility is difflib's TypeError, not skipped as extract skips it.
    for fn in (simsieve.get_close_matches, difflib.get_close_matches):
        with pytest.raises(TypeError):
            fn("abc", ["abd", None])
    # Equal scores at the n-th place are settled by the possibility itself, as difflib does.
    possibilities = ["zab", "aab", "mab", "ab", "zab", "bab", "abz"]
    for n in range(1, 9):
        for cutoff in (0.0, 0.6, 0.8):
            assert simsieve.get_close_matches("xab", possibilities, n, cutoff) == \
                difflib.get_close_matches("xab", possibilities, n, cutoff)
    assert simsieve.get_close_matches("ab", ["ab"] * 3, n=10**30) == ["ab"] * 3
