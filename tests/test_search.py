"""extract, extract_one, match and cdist: equal to a brute force over simsieve.ratio (choice first,
query second), for every cutoff, limit and thread count."""

import builtins
import difflib
import keyword
import math
import os
import random
from array import array
from collections.abc import Sequence

import pytest
from hypothesis import given, strategies as st

import simsieve
from simsieve import _simsieve as native

SANITIZE = os.environ.get("SIMSIEVE_TEST_PROFILE") == "sanitize"
WORDS = sorted(set(keyword.kwlist + dir(builtins) + dir(str) + dir(list) + dir(dict) + dir(random)))
CUTOFFS = (0.0, 0.5, 0.8, 1.0)


def brute_extract(query, choices, cutoff=0.0, limit=None):
    scored = [(simsieve.ratio(c, query), i) for i, c in enumerate(choices) if c is not None]
    scored = sorted((s, i) for s, i in scored if s >= cutoff)
    scored.sort(key=lambda t: (-t[0], t[1]))
    if limit is not None:
        scored = scored[:limit]
    return [(choices[i], s, i) for s, i in scored]


def brute_matrix(queries, choices):
    return [[0.0 if q is None or c is None else simsieve.ratio(c, q) for c in choices] for q in queries]


def misspell(word, rng):
    chars = list(word)
    for _ in range(rng.randint(1, 2)):
        i = rng.randrange(len(chars) + 1)
        op = rng.randrange(3)
        if op == 0 and i < len(chars):
            del chars[i]
        elif op == 1:
            chars.insert(i, rng.choice("aeiou_st"))
        elif i < len(chars):
            chars[i] = rng.choice("aeiou_st")
    return "".join(chars)


def random_strings(rng, count, alphabet, max_len):
    return ["".join(rng.choice(alphabet) for _ in range(rng.randint(0, max_len))) for _ in range(count)]


def check_extract(query, choices, threads=(0,)):
    for cutoff in CUTOFFS:
        full = brute_extract(query, choices, cutoff)
        for limit in (1, 5, len(choices) + 3, None):
            want = full if limit is None else full[:limit]
            for t in threads:
                assert simsieve.extract(query, choices, limit=limit, score_cutoff=cutoff, threads=t) == want, \
                    (query, cutoff, limit, t)
        assert simsieve.extract_one(query, choices, score_cutoff=cutoff) == (full[0] if full else None)


def test_extract_equals_brute_force_on_misspelt_identifiers():
    rng = random.Random(11)
    for word in rng.sample(WORDS, 20 if SANITIZE else 60):
        check_extract(misspell(word, rng), WORDS, threads=(0, 1, 3))


def test_extract_equals_brute_force_on_random_strings():
    # A small alphabet makes many equal scores (ties by index) and many near duplicates.
    rng = random.Random(5)
    for _ in range(30 if SANITIZE else 120):
        choices = random_strings(rng, rng.randint(0, 40), rng.choice(["ab", "abc", "abcdé", "日本語ab"]), 10)
        check_extract(random_strings(rng, 1, "abcdé日", 8)[0], choices)


@given(st.text(alphabet="abcé日", max_size=10),
       st.lists(st.one_of(st.none(), st.text(alphabet="abcé日", max_size=10)), max_size=25),
       st.sampled_from(CUTOFFS + (0.25, 2 / 3, 0.75)), st.sampled_from([1, 2, 5, 100, None]))
def test_extract_equals_brute_force_generated(query, choices, cutoff, limit):
    assert simsieve.extract(query, choices, limit=limit, score_cutoff=cutoff) == \
        brute_extract(query, choices, cutoff, limit)


def test_cutoff_equal_to_a_score_keeps_it():
    # The comparison is the exact one of the double ratio with the cutoff, also where
    # ceil(cutoff * total / 2) would round the other way.
    rng = random.Random(2)
    choices = random_strings(rng, 300, "abcd", 14)
    query = "abcdabcdab"
    for score in sorted({simsieve.ratio(c, query) for c in choices}):
        got = simsieve.extract(query, choices, limit=None, score_cutoff=score)
        assert got == brute_extract(query, choices, score)
        assert got[-1][1] == score
        above = math.nextafter(score, 2.0)
        assert simsieve.extract(query, choices, limit=None, score_cutoff=above) == brute_extract(query, choices, above)


def test_large_input_is_split_across_threads_with_the_same_answer():
    rng = random.Random(8)
    choices = [misspell(rng.choice(WORDS), rng) for _ in range(6000 if SANITIZE else 30000)]
    choices[::97] = [None] * len(choices[::97])
    for query in ("__getattribute__", "setdefault", "x"):
        want = brute_extract(query, choices, 0.5, 10)
        for t in (0, 1, 2, 5):
            assert simsieve.extract(query, choices, limit=10, score_cutoff=0.5, threads=t) == want
        assert simsieve.extract(query, choices, limit=3, threads=2) == brute_extract(query, choices, 0.0, 3)



def test_long_lists_are_scanned_while_they_are_read():
    """Lists and tuples of many choices are read on the calling thread while the pool already
    scans what has been read: same answers, a failure anywhere in the list raised as for short
    lists, and the pool usable afterwards."""
    rng = random.Random(9)
    n = 9000 if SANITIZE else 40000
    choices = [misspell(rng.choice(WORDS), rng) for _ in range(n)]
    choices[::113] = [None] * len(choices[::113])
    choices[5] = "caf\u00e9_\U0001f600"
    for query in ("__getattribute__", "setdefault", "caf\u00e9_\U0001f600", ""):
        full = brute_extract(query, choices, 0.6)
        for t in (0, 1, 3):
            assert simsieve.extract(query, choices, limit=None, score_cutoff=0.6, threads=t) == full
            assert simsieve.extract(query, tuple(choices), limit=4, score_cutoff=0.6, threads=t) == full[:4]
        words = [c for c in choices if c is not None]
        assert simsieve.get_close_matches(query, words, 5, 0.6) == difflib.get_close_matches(query, words, 5, 0.6)
    for position in (0, n // 2, n - 1):
        broken = list(choices)
        broken[position] = 7
        with pytest.raises(TypeError, match="argument 'choices': 'int' object is not an instance of 'str'"):
            simsieve.extract("setdefault", broken, threads=2)
    with pytest.raises(TypeError, match="argument 'choices'"):
        native.search_top("a", choices, 5, 0.0, 0, False, False)  # None is no str without skip_none
    assert simsieve.extract("setdefault", choices, limit=1) == brute_extract("setdefault", choices, 0.0, 1)


def test_edge_cases():
    # Empty query: only empty choices score (1.0); everything else is 0.0.
    assert simsieve.extract("", ["a", "", None, "bc", ""], limit=None) == \
        [("", 1.0, 1), ("", 1.0, 4), ("a", 0.0, 0), ("bc", 0.0, 3)]
    assert simsieve.extract("", ["a", "", "bc"], score_cutoff=0.5, limit=None) == [("", 1.0, 1)]
    # Empty choices, only None, nothing reaching the cutoff.
    assert simsieve.extract("abc", []) == []
    assert simsieve.extract_one("abc", []) is None
    assert simsieve.extract("abc", [None, None]) == []
    assert simsieve.extract_one("abc", ["xyz"], score_cutoff=0.1) is None
    # Duplicates tie and keep input order; None keeps the index of what follows.
    assert simsieve.extract("apple", [None, "apple", "appel", "apple"], limit=2) == \
        [("apple", 1.0, 1), ("apple", 1.0, 3)]
    assert simsieve.extract_one("apple", [None, "appel", "apple"]) == ("apple", 1.0, 2)
    # Direction: the choice is the first sequence (the ratio is asymmetric).
    a, b = "tide", "diet"
    assert (simsieve.ratio(a, b), simsieve.ratio(b, a)) == (0.25, 0.5)
    assert simsieve.extract(b, [a])[0][1] == simsieve.ratio(a, b)
    assert simsieve.match([b], [a], score_cutoff=0.0)[0][2] == simsieve.ratio(a, b)
    # Cutoffs outside [0, 1]: everything or nothing.
    assert len(simsieve.extract("ab", ["ab", "cd", ""], score_cutoff=-3, limit=None)) == 3
    assert simsieve.extract("ab", ["ab"], score_cutoff=1.5) == []


def test_inputs_other_than_lists():
    class Seq(Sequence):
        def __init__(self, items):
            self.items = items

        def __len__(self):
            return len(self.items)

        def __getitem__(self, i):
            return self.items[i]

    words = ["apple", "ape", None, "appel"]
    want = brute_extract("apple", words)
    assert simsieve.extract("apple", tuple(words)) == want
    assert simsieve.extract("apple", Seq(words)) == want
    assert simsieve.extract("apple", (w for w in words)) == want
    assert simsieve.match(Seq(["apple"]), iter(words), score_cutoff=0.5) == \
        [(0, i, s) for _, s, i in brute_extract("apple", words, 0.5)]


def test_argument_errors():
    with pytest.raises(TypeError, match="argument 'choices': 'int' object is not an instance of 'str'"):
        simsieve.extract("a", ["a", 3])
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
        simsieve.extract("a", "abc")
    with pytest.raises(TypeError, match="argument 'query'"):
        simsieve.extract(None, ["a"])
    with pytest.raises(ValueError, match="score_cutoff must not be NaN"):
        simsieve.extract("a", ["a"], score_cutoff=float("nan"))
    for bad in (0, -2):
        with pytest.raises(ValueError, match="limit must be a positive int or None"):
            simsieve.extract("a", ["a"], limit=bad)
    with pytest.raises(ValueError, match="dtype must be 'float64' or 'float32'"):
        simsieve.cdist(["a"], ["a"], dtype="int8")
    with pytest.raises(OverflowError):
        simsieve.match(["a"], ["a"], score_cutoff=0.5, threads=-1)
    with pytest.raises(TypeError):
        simsieve.extract("a", ["a"], 5)  # keywords only


def test_cdist_equals_nested_loops():
    rng = random.Random(3)
    queries = [misspell(w, rng) for w in rng.sample(WORDS, 12)] + ["", None, "日本"]
    choices = rng.sample(WORDS, 150) + [None, "", "日本語"]
    full = brute_matrix(queries, choices)
    for cutoff in CUTOFFS:
        want = [[v if v >= cutoff else 0.0 for v in row] for row in full]
        for t in (0, 1, 3):
            got = simsieve.cdist(queries, choices, score_cutoff=cutoff, threads=t)
            assert len(got) == len(queries)
            assert got.tolist() == want
    single = simsieve.cdist(queries, choices, dtype="float32", score_cutoff=0.5)
    view = memoryview(single)
    assert (view.format, view.shape, view.readonly, view.itemsize) == ("f", (len(queries), len(choices)), True, 4)
    assert single.tolist() == [array("f", [v if v >= 0.5 else 0.0 for v in row]).tolist() for row in full]
    empty = simsieve.cdist([], choices)
    assert memoryview(empty).shape == (0, len(choices)) and empty.tolist() == []


def test_cdist_is_taken_by_numpy_without_a_copy():
    np = pytest.importorskip("numpy")
    result = simsieve.cdist(["apple", "pear"], ["ape", "apple", "peach"], dtype=np.float64)
    array = np.asarray(result)
    assert array.dtype == np.float64 and array.shape == (2, 3) and not array.flags.writeable
    assert array.base is not None and np.shares_memory(array, np.asarray(result))
    assert array.tolist() == result.tolist()
    assert np.asarray(simsieve.cdist(["a"], ["a"], dtype=np.float32)).dtype == np.float32


def test_match_equals_cdist_filtered():
    rng = random.Random(4)
    queries = [misspell(w, rng) for w in rng.sample(WORDS, 40)] + [None, ""]
    choices = rng.sample(WORDS, 300) + [None, "", "apend"]
    matrix = brute_matrix(queries, choices)
    for cutoff in (0.0, 0.5, 0.8, 1.0):
        by_query = {}
        for qi, row in enumerate(matrix):
            if queries[qi] is None:
                continue
            hits = sorted(((-v, ci) for ci, v in enumerate(row) if choices[ci] is not None and v >= cutoff))
            by_query[qi] = [(qi, ci, -nv) for nv, ci in hits]
        for limit in (None, 1, 5):
            want = [t for qi in sorted(by_query) for t in (by_query[qi] if limit is None else by_query[qi][:limit])]
            for t in (0, 1, 4):
                assert simsieve.match(queries, choices, score_cutoff=cutoff, limit=limit, threads=t) == want
    assert simsieve.match([], choices, score_cutoff=0.5) == []
    assert simsieve.match(queries, [], score_cutoff=0.0) == []


INTERRUPT = r"""
import json, os, random, signal, threading, time
import simsieve
rng = random.Random(1)
strings = [format(rng.getrandbits(40), "b") for _ in range(100_000)]
def interrupt():
    time.sleep(1.0)
    os.kill(os.getpid(), signal.SIGINT)
threading.Thread(target=interrupt, daemon=True).start()
start = time.monotonic()
try:
    CALL
    outcome = "finished"
except KeyboardInterrupt:
    outcome = "interrupted"
after = simsieve.extract("apple", ["appel", "apple"], limit=1, threads=THREADS)
print(json.dumps({"outcome": outcome, "seconds": time.monotonic() - start, "after": after}))
"""


LONG_CALLS = {
    "match": "simsieve.match(strings[:5000], strings, score_cutoff=0.3, threads=THREADS)",
    # One query against a long list of long strings, scanned while the list is still being read.
    "extract": "simsieve.extract('01' * 1000, [s * 50 for s in strings[:30000]], limit=None, threads=THREADS)",
}


@pytest.mark.parametrize("call", sorted(LONG_CALLS))
@pytest.mark.parametrize("threads", [0, 2])
def test_ctrl_c_stops_a_long_search(call, threads):
    import json
    import subprocess
    import sys
    script = INTERRUPT.replace("CALL", LONG_CALLS[call]).replace("THREADS", str(threads))
    done = subprocess.run([sys.executable, "-c", script], capture_output=True,
                          text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    report = json.loads(done.stdout)
    assert report["outcome"] == "interrupted" and report["seconds"] < 30, report
    assert report["after"] == [["apple", 1.0, 1]]
