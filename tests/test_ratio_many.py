"""ratio_many: one exact ratio per pair, in input order, whatever the thread budget."""

from __future__ import annotations

import difflib
import random
import threading

import pytest
from hypothesis import given
from hypothesis import strategies as st

from simsieve import _simsieve as native

from strategies import non_ascii_pairs, stdlib_corpus


def reference(a: str, b: str) -> float:
    return difflib.SequenceMatcher(None, a, b, autojunk=False).ratio()


def mixed_batch(count: int, seed: int) -> list[tuple[str, str]]:
    """ASCII, non-ASCII, empty, repetitive and real source pairs, near-duplicates and unrelated ones."""
    rng = random.Random(seed)
    lines, functions, _ = stdlib_corpus()
    alphabet = "abcde éü日本😀"
    pairs = [("", ""), ("abc", ""), ("", "xyz"), ("é", "é")]
    while len(pairs) < count:
        kind = rng.randrange(4)
        if kind == 0:
            a = rng.choice(lines)
            b = rng.choice(lines) if rng.random() < 0.5 else a.replace(" ", "", 1) + rng.choice("xyz")
        elif kind == 3:
            sources = functions or lines
            a = rng.choice(sources)
            b = rng.choice(sources) if rng.random() < 0.5 else a.replace("self", "this", 2)
        elif kind == 1:
            a = "".join(rng.choice(alphabet) for _ in range(rng.randrange(40)))
            b = "".join(rng.choice(alphabet) for _ in range(rng.randrange(40)))
        elif kind == 2:
            a = "".join(rng.choice("ab") for _ in range(rng.randrange(200)))
            b = a[: len(a) // 2] + "ba" + a[len(a) // 2 :]
        pairs.append((a, b))
    rng.shuffle(pairs)
    return pairs


@pytest.fixture(scope="module")
def batch():
    pairs = mixed_batch(1500, seed=11)
    return pairs, [native.ratio(a, b) for a, b in pairs]


@pytest.mark.parametrize("threads", [0, 1, 2, 7])
def test_ratio_many_equals_ratio_for_every_budget(batch, threads):
    pairs, expected = batch
    assert native.ratio_many(pairs, threads) == expected
    assert native.ratio_many(pairs, threads=threads) == expected
    assert native.ratio_many(pairs[:1], threads) == expected[:1]


def test_ratio_many_matches_difflib(batch):
    pairs, _ = batch
    sample = pairs[:300]
    assert native.ratio_many(sample, 2) == [reference(a, b) for a, b in sample]


@pytest.mark.parametrize("threads", [0, 1, 7])
def test_empty_batch(threads):
    assert native.ratio_many([], threads) == []
    assert native.ratio_many((), threads) == []


def test_input_order_is_kept():
    # Pairs with distinct, known ratios: i matching characters out of 20 give 2*i/40.
    pairs = [("a" * i + "b" * (20 - i), "a" * 20) for i in range(21)] * 50
    want = [i / 20 for i in range(21)] * 50
    for threads in (0, 1, 3):
        assert native.ratio_many(pairs, threads) == want


def test_many_python_threads_at_once(batch):
    pairs, expected = batch
    errors = []

    def client(k: int):
        try:
            for rep in range(3):
                threads = (0, 1, 2, 7)[(k + rep) % 4]
                assert native.ratio_many(pairs, threads) == expected
        except BaseException as e:  # noqa: BLE001 - reported by the main thread
            errors.append(e)

    clients = [threading.Thread(target=client, args=(k,)) for k in range(8)]
    for c in clients:
        c.start()
    for c in clients:
        c.join(300)
    assert not any(c.is_alive() for c in clients), "ratio_many did not return"
    assert errors == []


@given(st.lists(non_ascii_pairs(max_size=60), max_size=40), st.sampled_from([0, 1, 2]))
def test_ratio_many_property(pairs, threads):
    assert native.ratio_many(pairs, threads) == [native.ratio(a, b) for a, b in pairs]


def test_bad_thread_budget_is_rejected_before_any_work():
    with pytest.raises(OverflowError):
        native.ratio_many([("a", "b")], -1)
    with pytest.raises(OverflowError):
        native.ratio_many([("a", "b")], 2**64)
    with pytest.raises(TypeError, match="^argument 'threads': "):
        native.ratio_many([("a", "b")], "2")
