"""Hostile input to every entry point: a clear exception or the exact result, never a crash, a
leak or a corrupted interpreter."""

import gc
import math
import os
import sys

import pytest
from hypothesis import given, strategies as st

import simsieve
from simsieve import _simsieve as native


class StrSub(str):
    pass


class Boom(Exception):
    pass


class LenRaises(list):
    def __len__(self):
        raise Boom("len")


class IterRaises:
    """A sequence whose iteration fails after `at` items with `error`."""

    def __init__(self, items, at, error):
        self.items, self.at, self.error = items, at, error

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        if i == self.at:
            raise self.error
        return self.items[i]


class BadIndex:
    def __index__(self):
        raise Boom("index")


class BadFloat:
    def __float__(self):
        raise Boom("float")


class FloatLike:
    def __float__(self):
        return 0.5


STRINGS = ["john smith", "jon smith", "", "Zürich", "日本語", "😀x"]
PAIRS = [(a, b) for a in STRINGS for b in STRINGS[:3]]
DOCS = [s.split() for s in STRINGS] + [["a", "b"], ["a", "b"]]
rationer = native.Rationer(threads=1)
joiner = native.CosineJoiner(DOCS)

# name -> (call taking the list argument, list of good items, converter of one item for mutation)
LIST_ENTRIES = {
    "ratio_many": (lambda seq: native.ratio_many(seq), PAIRS, "pairs"),
    "Rationer.ratio_many": (lambda seq: rationer.ratio_many(seq), PAIRS, "pairs"),
    "cluster_canonicals": (lambda seq: native.cluster_canonicals(seq, 0.5), STRINGS, "canonicals"),
    "Rationer.cluster_canonicals": (lambda seq: rationer.cluster_canonicals(seq, 0.5), STRINGS, "canonicals"),
    "cluster_canonicals_lsh": (lambda seq: native.cluster_canonicals_lsh(seq, 0.5, 16, 2), STRINGS, "canonicals"),
    "cosine_join": (lambda seq: native.cosine_join(seq, 0.5), DOCS, "docs"),
    "CosineJoiner": (lambda seq: native.CosineJoiner(seq), DOCS, "docs"),
}


@pytest.mark.parametrize("name", sorted(LIST_ENTRIES))
def test_sequence_arguments(name):
    call, items, argname = LIST_ENTRIES[name]
    reference = call(list(items))
    # Tuples, sequences whose length query fails, and str subclasses convert as the list does.
    assert call(tuple(items)) == reference or name == "CosineJoiner"
    assert call(LenRaises(items)) == reference or name == "CosineJoiner"
    for bad, kind in [(5, TypeError), (None, TypeError), ("text", TypeError), (iter(items), TypeError),
                      ((x for x in items), TypeError), ({1: 2}, TypeError), ({"a"}, TypeError)]:
        with pytest.raises(kind) as info:
            call(bad)
        assert str(info.value).startswith(f"argument '{argname}': ")
    for at in (0, len(items) // 2, len(items) - 1):
        with pytest.raises(Boom):
            call(IterRaises(items, at, Boom("mid")))
        with pytest.raises(TypeError) as info:
            call(IterRaises(items, at, TypeError("typed")))
        assert str(info.value) == f"argument '{argname}': typed"
        assert isinstance(info.value.__cause__, TypeError)


@pytest.mark.parametrize("name", sorted(LIST_ENTRIES))
def test_bad_items_at_every_position(name):
    call, items, argname = LIST_ENTRIES[name]
    kind_of_item = type(items[0])
    if kind_of_item is tuple:
        bad_items = [(("a",), ValueError), (("a", "b", "c"), ValueError), (["a", "b"], TypeError),
                     (("a", 1), TypeError), (("a", "\ud800"), UnicodeEncodeError), ((StrSub("a"), "b"), None)]
    elif kind_of_item is list:
        bad_items = [("ab", TypeError), (["a", 1], TypeError), (["\udfff"], UnicodeEncodeError), (5, TypeError),
                     ([StrSub("a")], None)]
    else:
        bad_items = [(1, TypeError), (None, TypeError), (b"a", TypeError), ("x\ud800", UnicodeEncodeError),
                     (StrSub("john smith"), None)]
    for position in range(len(items)):
        for bad, kind in bad_items:
            seq = list(items)
            seq[position] = bad
            if kind is None:
                call(seq)
                continue
            with pytest.raises(kind) as info:
                call(seq)
            assert type(info.value) is kind
            assert (kind is TypeError) == str(info.value).startswith(f"argument '{argname}': ")


COUNT_CALLS = {
    "ratio_many.threads": lambda v: native.ratio_many(PAIRS, threads=v),
    "cluster_canonicals.threads": lambda v: native.cluster_canonicals(STRINGS, 0.5, threads=v),
    "lsh.num_perm": lambda v: native.cluster_canonicals_lsh(STRINGS, 0.5, v, 2),
    "lsh.band_rows": lambda v: native.cluster_canonicals_lsh(STRINGS, 0.5, 16, v),
    "cosine_join.threads": lambda v: native.cosine_join(DOCS, 0.5, threads=v),
    "join.threads": lambda v: joiner.join(0.5, threads=v),
    "Rationer.threads": lambda v: native.Rationer(threads=v),
}


@pytest.mark.parametrize("name", sorted(COUNT_CALLS))
def test_count_arguments(name):
    call = COUNT_CALLS[name]
    argname = name.split(".")[1]
    for bad in (-1, -(2**80), 2**64, 2**200):
        with pytest.raises(OverflowError):
            call(bad)
    for bad in (1.0, 2.5, "3", None, [1], BadFloat()):
        with pytest.raises(TypeError) as info:
            call(bad)
        assert str(info.value).startswith(f"argument '{argname}': ")
    with pytest.raises(Boom):
        call(BadIndex())


REAL_CALLS = {
    "cluster_canonicals": lambda t: native.cluster_canonicals(STRINGS, t),
    "cluster_canonicals_lsh": lambda t: native.cluster_canonicals_lsh(STRINGS, t, 16, 2),
    "cosine_join": lambda t: native.cosine_join(DOCS, t),
    "join": lambda t: joiner.join(t),
    "Rationer.cluster_canonicals": lambda t: rationer.cluster_canonicals(STRINGS, t),
    "Rationer.delta": lambda t: native.Rationer(delta=t).delta,
}


@pytest.mark.parametrize("name", sorted(REAL_CALLS))
def test_real_arguments(name):
    call = REAL_CALLS[name]
    for odd in (math.nan, math.inf, -math.inf, 1e308, -1e308, 2**60, True, FloatLike()):
        call(odd)  # every real value is an input with a defined result
    for bad, kind in ((None, TypeError), ("0.5", TypeError), ([0.5], TypeError), (BadFloat(), Boom),
                      (10**400, OverflowError)):
        with pytest.raises(kind):
            call(bad)


def test_concurrency_rejection_wins_over_empty_input():
    message = 'unknown concurrency "tpu"; expected "cpu", "gpu", or "gpu+cpu"'
    for call in (lambda: native.cosine_join([], 0.5, "TPU"), lambda: native.CosineJoiner([]).join(0.5, "tpu"),
                 lambda: native.Rationer("tpu")):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == message


junk = st.one_of(st.none(), st.integers(), st.floats(), st.binary(max_size=4), st.text(max_size=4),
                 st.lists(st.text(max_size=3), max_size=3), st.tuples(st.text(max_size=3)),
                 st.tuples(st.text(max_size=3), st.text(max_size=3)))


@given(st.lists(junk, max_size=6))
def test_random_junk_never_crashes(values):
    entries = [lambda v: native.ratio_many(v), lambda v: native.cluster_canonicals(v, 0.5),
               lambda v: native.cluster_canonicals_lsh(v, 0.5, 8, 2), lambda v: native.cosine_join(v, 0.5),
               lambda v: rationer.ratio_many(v)]
    for call in entries:
        try:
            call(values)
        except (TypeError, ValueError, UnicodeEncodeError, OverflowError):
            pass


def _rss_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def test_failing_calls_keep_refcounts_and_memory_flat():
    good = "a string that is kept " * 4
    seq = [good, good, 3]
    pairs = [(good, good), (good, None)]
    docs = [[good], [good, 7]]
    before = (sys.getrefcount(good), sys.getrefcount(seq), sys.getrefcount(pairs), sys.getrefcount(docs))

    def fail_everywhere():
        for call in (lambda: native.cluster_canonicals(seq, 0.5), lambda: native.ratio_many(pairs),
                     lambda: native.cosine_join(docs, 0.5), lambda: rationer.ratio_many(pairs),
                     lambda: native.cluster_canonicals_lsh(seq, 0.5, 4, 2), lambda: native.ratio(good, None),
                     lambda: native.ratio_many(pairs, threads=-1)):
            try:
                call()
            except (TypeError, OverflowError):
                pass

    for _ in range(2000):
        fail_everywhere()
    gc.collect()
    start = _rss_kib()
    for _ in range(100_000 // 7):
        fail_everywhere()
    gc.collect()
    grown = _rss_kib() - start
    assert (sys.getrefcount(good), sys.getrefcount(seq), sys.getrefcount(pairs), sys.getrefcount(docs)) == before
    if "san.so" not in os.environ.get("LD_PRELOAD", ""):  # sanitizers quarantine freed memory
        assert grown < 20_000, f"RSS grew by {grown} KiB over 100 000 failing calls"
