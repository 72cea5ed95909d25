"""Argument binding, conversion, error mapping and the package surface of the call frame."""

import gc
import inspect
import random
import sys

import pytest

import simsieve
from simsieve import _simsieve as native


class StrSub(str):
    pass


BINDING_CASES = [
    (lambda: native.ratio("a"), "ratio() missing 1 required positional argument: 'b'"),
    (lambda: native.ratio(), "ratio() missing 2 required positional arguments: 'a' and 'b'"),
    (lambda: native.ratio("a", "b", "c"), "ratio() takes 2 positional arguments but 3 were given"),
    (lambda: native.ratio("a", b="b", c=1), "ratio() got an unexpected keyword argument 'c'"),
    (lambda: native.ratio("a", a="b"), "ratio() got multiple values for argument 'a'"),
    (lambda: native.ratio_many([], 1, 2), "ratio_many() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: native.ratio_many(threads=1), "ratio_many() missing 1 required positional argument: 'pairs'"),
    (lambda: native.ratio_many([], 0, threads=1), "ratio_many() got multiple values for argument 'threads'"),
]


@pytest.mark.parametrize("call,message", BINDING_CASES)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keywords_bind_by_name():
    assert native.ratio(b="bcde", a="abcd") == 0.75
    assert native.ratio_many(pairs=[("ab", "ba")], threads=1) == [0.5]


CONVERSION_CASES = [
    (lambda: native.ratio(1, "a"), TypeError, "argument 'a': 'int' object is not an instance of 'str'"),
    (lambda: native.ratio(None, "a"), TypeError, "argument 'a': 'None' is not an instance of 'str'"),
    (lambda: native.ratio("a", b"b"), TypeError, "argument 'b': 'bytes' object is not an instance of 'str'"),
    (lambda: native.ratio_many("ab"), TypeError, "argument 'pairs': Can't extract `str` to `Vec`"),
    (lambda: native.ratio_many([("a", "b", "c")]), ValueError, "expected tuple of length 2, but got tuple of length 3"),
    (lambda: native.ratio_many([("a",)]), ValueError, "expected tuple of length 2, but got tuple of length 1"),
    (lambda: native.ratio_many([["a", "b"]]), TypeError, "argument 'pairs': 'list' object is not an instance of 'tuple'"),
    (lambda: native.ratio_many([("a", 3)]), TypeError, "argument 'pairs': 'int' object is not an instance of 'str'"),
    (lambda: native.ratio_many(5), TypeError, "argument 'pairs': 'int' object is not an instance of 'Sequence'"),
    (lambda: native.ratio_many({"a": 1}), TypeError, "argument 'pairs': 'dict' object is not an instance of 'Sequence'"),
    (lambda: native.ratio_many(x for x in []), TypeError, "argument 'pairs': 'generator' object is not an instance of 'Sequence'"),
    (lambda: native.ratio_many([], threads=1.5), TypeError, "argument 'threads': 'float' object cannot be interpreted as an integer"),
    (lambda: native.ratio_many([], threads="1"), TypeError, "argument 'threads': 'str' object cannot be interpreted as an integer"),
]


@pytest.mark.parametrize("call,kind,message", CONVERSION_CASES)
def test_conversion_errors(call, kind, message):
    with pytest.raises(kind) as info:
        call()
    assert type(info.value) is kind
    assert str(info.value) == message
    if kind is TypeError and message.startswith("argument"):
        cause = info.value.__cause__
        assert isinstance(cause, TypeError)
        assert message.endswith(str(cause))


def test_counts_overflow_unprefixed():
    for bad in (-1, 2**64, -(2**70)):
        with pytest.raises(OverflowError) as info:
            native.ratio_many([], threads=bad)
        assert not str(info.value).startswith("argument")


def test_counts_accept_index_objects():
    class Four:
        def __index__(self):
            return 4

    assert native.ratio_many([("a", "a")], threads=Four()) == [1.0]
    assert native.ratio_many([("a", "a")], threads=True) == [1.0]

    class Broken:
        def __index__(self):
            raise RuntimeError("no index")

    with pytest.raises(RuntimeError, match="no index"):
        native.ratio_many([], threads=Broken())


def test_strings_surrogates_and_subclasses():
    lone = "ab\ud800c"
    for call in (lambda: native.ratio(lone, "a"), lambda: native.ratio("a", lone),
                 lambda: native.ratio_many([("x", lone)])):
        with pytest.raises(UnicodeEncodeError) as info:
            call()
        assert not str(info.value).startswith("argument")
    assert native.ratio(StrSub("abcd"), StrSub("bcde")) == 0.75
    assert native.ratio_many([(StrSub("ab"), "ba")]) == [0.5]


def test_sequences_of_every_kind():
    pairs = [("abcd", "bcde"), ("", ""), ("abc", "")]
    expected = [0.75, 1.0, 0.0]
    assert native.ratio_many(pairs) == expected
    assert native.ratio_many(tuple(pairs)) == expected
    assert native.ratio_many([]) == []

    class NoLen:
        """A sequence whose length query fails: conversion goes on without pre-sizing."""

        def __getitem__(self, i):
            if i < len(pairs):
                return pairs[i]
            raise IndexError(i)

        def __len__(self):
            raise RuntimeError("length unknown")

    assert native.ratio_many(NoLen()) == expected

    class FailsMidway:
        def __init__(self, error):
            self.error = error

        def __len__(self):
            return 3

        def __getitem__(self, i):
            if i == 1:
                raise self.error
            return pairs[i]

    with pytest.raises(KeyError):
        native.ratio_many(FailsMidway(KeyError("mid")))
    with pytest.raises(TypeError) as info:
        native.ratio_many(FailsMidway(TypeError("bad item")))
    assert str(info.value) == "argument 'pairs': bad item"


def test_failures_leave_reference_counts_alone():
    a, b = "some string " * 3, "another one " * 3
    pairs = [(a, b)] * 5 + [(a, 1)]
    before = (sys.getrefcount(a), sys.getrefcount(b), sys.getrefcount(pairs))
    for _ in range(1000):
        with pytest.raises(TypeError):
            native.ratio_many(pairs)
        with pytest.raises(TypeError):
            native.ratio(a, None)
        native.ratio(a, b)
    assert (sys.getrefcount(a), sys.getrefcount(b), sys.getrefcount(pairs)) == before


def test_module_surface():
    assert native.__name__.endswith("_simsieve")
    assert native.__doc__ == "Compiled core of the `simsieve` Python package (re-exported by `simsieve/__init__.py`)."
    assert str(inspect.signature(native.ratio)) == "(a, b)"
    assert str(inspect.signature(native.ratio_many)) == "(pairs, threads=0)"
    assert "difflib.SequenceMatcher(None, a, b, autojunk=False).ratio()" in native.ratio.__doc__
    assert issubclass(native.PanicException, BaseException)
    assert not issubclass(native.PanicException, Exception)
    assert simsieve.PanicException is native.PanicException
    assert "BaseException" in native.PanicException.__doc__


def test_package_ratio_two_forms():
    assert simsieve.ratio("abcd", "bcde") == 0.75
    assert simsieve.ratio([("abcd", "bcde"), ("ab", "ba")]) == [0.75, 0.5]
    assert simsieve.ratio([("abcd", "bcde")], threads=2) == [0.75]
    assert simsieve.ratio([("abcd", "bcde")], 1) == [0.75]
    assert simsieve.ratio([]) == []
    with pytest.raises(TypeError, match=r"ratio\(\) missing 1 required positional argument: 'b'"):
        simsieve.ratio("a")
    with pytest.raises(TypeError, match="argument 'a': 'int' object is not an instance of 'str'"):
        simsieve.ratio(1, "a")
    with pytest.raises(TypeError, match="unexpected keyword argument 'threads'"):
        simsieve.ratio("a", "b", threads=2)


def test_core_failures_map_to_python_exceptions():
    from simsieve import _testing

    with pytest.raises(native.PanicException) as info:
        _testing.fail_in_core("internal")
    assert str(info.value) == "broken invariant"
    with pytest.raises(native.PanicException) as info:
        _testing.fail_in_core("empty")
    assert str(info.value)  # a generic text, never empty
    with pytest.raises(native.PanicException):
        _testing.fail_in_core("other")
    with pytest.raises(MemoryError):
        _testing.fail_in_core("alloc")
    # The interpreter lock was taken back on every path: the interpreter goes on normally.
    assert _testing.fail_in_core("fine") == "fine"
    assert native.ratio("abcd", "bcde") == 0.75


def test_large_results_leave_the_collector_as_they_found_it():
    # Results of a thousand items or more are built with the cyclic collector paused: it must be
    # back on afterwards, still off when the caller had turned it off, and the result whole.
    rnd = random.Random(3)
    lines = []
    for _ in range(1200):
        word = "".join(rnd.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(16))
        lines += [word, word[:7] + "#" + word[8:]]
    expected = [([2 * k, 2 * k + 1], simsieve.ratio(lines[2 * k], lines[2 * k + 1])) for k in range(1200)]
    was_enabled = gc.isenabled()
    try:
        for enabled in (True, False, True):
            gc.enable() if enabled else gc.disable()
            assert native.cluster_canonicals(lines, 0.9) == expected
            assert gc.isenabled() is enabled
    finally:
        gc.enable() if was_enabled else gc.disable()
