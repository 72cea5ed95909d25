"""simsieve's ratio against difflib.SequenceMatcher(None, a, b, autojunk=False), compared with ==.

Every example also checks that both exact algorithms agree on the match count: the sparse
position index (ASCII only) and the suffix-automaton index, through the private test module.
"""

import difflib
import json
import os
import random
import subprocess
import sys

import pytest
from hypothesis import given, settings

import strategies as S
from simsieve import _simsieve as native
from simsieve import _testing as hooks


def budget(fraction):
    return max(10, int(settings().max_examples * fraction))


def difflib_matches(a, b):
    sm = difflib.SequenceMatcher(None, a, b, autojunk=False)
    return sum(block.size for block in sm.get_matching_blocks()), sm.ratio()


def check_pair(a, b):
    matches, expected = difflib_matches(a, b)
    assert native.ratio(a, b) == expected
    assert hooks.indexed_ratio(a, b) == expected
    if a and b:
        assert hooks.count_matches(a, b) == matches
        sparse = hooks.sparse_match_count(a, b)
        if sparse is not None:
            assert sparse == matches


@settings(max_examples=budget(1.0))
@given(S.tiny_pairs("ab"))
def test_alphabet_ab(pair):
    check_pair(*pair)


@settings(max_examples=budget(1.0))
@given(S.tiny_pairs("abc"))
def test_alphabet_abc(pair):
    check_pair(*pair)


@settings(max_examples=budget(1.0))
@given(S.ascii_pairs())
def test_ascii_text(pair):
    check_pair(*pair)


@settings(max_examples=budget(1.0))
@given(S.word_soup_pairs())
def test_word_soup_ties(pair):
    # Long ASCII strings whose longest runs tie at many places: the sampled longest-match search
    # of the sparse path must take difflib's run (first in a, then first in b) every time.
    check_pair(*pair)


@settings(max_examples=budget(1.0))
@given(S.non_ascii_pairs())
def test_non_ascii_text(pair):
    check_pair(*pair)


@settings(max_examples=budget(0.25))
@given(S.repetitive_pairs(max_size=700))
def test_repetitive(pair):
    check_pair(*pair)


@settings(max_examples=budget(1.0))
@given(S.stdlib_line_pairs())
def test_stdlib_lines(pair):
    check_pair(*pair)


@settings(max_examples=budget(0.5))
@given(S.stdlib_function_pairs())
def test_stdlib_functions(pair):
    check_pair(*pair)


@settings(max_examples=budget(0.4))
@given(S.stdlib_dump_pairs())
def test_stdlib_ast_dumps(pair):
    check_pair(*pair)


# ---------------------------------------------------------------------------------------------
# Both algorithms under every accepted and rejected spelling of the work factor. The work factor
# is read once per process, so each spelling runs in its own interpreter.


def corpus_pairs():
    """A fixed mix of pairs whose sparse work estimate falls on both sides of every threshold."""
    rnd = random.Random(20240611)
    lines, functions, dumps = S.stdlib_corpus()
    pairs = [("", ""), ("a", ""), ("", "é"), ("ab", "ba"), ("abcd", "bcde")]

    def mutate(s, alphabet, edits):
        chars = list(s)
        for _ in range(edits):
            pos = rnd.randint(0, len(chars))
            if rnd.random() < 0.5 and chars:
                del chars[min(pos, len(chars) - 1)]
            else:
                chars.insert(pos, rnd.choice(alphabet))
        return "".join(chars)

    for _ in range(60):
        n = rnd.randint(0, 200)
        a = "".join(rnd.choice("abc") for _ in range(n))
        pairs.append((a, mutate(a, "abcd", rnd.randint(0, 10))))
        pairs.append((a, "".join(rnd.choice("abc") for _ in range(rnd.randint(0, 200)))))
    for _ in range(40):
        f = rnd.choice(functions)
        pairs.append((f, mutate(f, S.ASCII, rnd.randint(0, 8))))
        pairs.append((rnd.choice(lines), rnd.choice(lines)))
        d = rnd.choice(dumps)
        pairs.append((d, rnd.choice(dumps)))
    for _ in range(20):
        unit = "".join(rnd.choice("ab") for _ in range(rnd.randint(1, 3)))
        a = unit * rnd.randint(100, 400)
        pairs.append((a, mutate(a, "abc", 3)))
        pairs.append((rnd.choice(S.NON_ASCII_POOL) * 30, mutate(S.CJK * 5, S.NON_ASCII_POOL, 5)))
    return pairs


CHILD = r"""
import json, sys
from simsieve import _simsieve as native
from simsieve import _testing as hooks
pairs = json.load(sys.stdin)
json.dump({"factor": hooks.work_factor(), "ratios": [native.ratio(a, b) for a, b in pairs]}, sys.stdout)
"""

FACTOR_SPELLINGS = [
    ("0", 0),
    ("1", 1),
    ("34", 34),
    ("18446744073709551615", 18446744073709551615),
    ("+5", 5),
    ("0007", 7),
    (None, 34),
    ("", 34),
    ("+", 34),
    ("-", 34),
    ("-1", 34),
    ("++3", 34),
    (" 3", 34),
    ("3 ", 34),
    ("3.0", 34),
    ("1e3", 34),
    ("18446744073709551616", 34),
    ("\u0663", 34),  # a non-ASCII digit
    (b"\xff3", 34),  # not valid Unicode
]


@pytest.fixture(scope="module")
def factor_corpus():
    pairs = corpus_pairs()
    return pairs, [difflib_matches(a, b)[1] for a, b in pairs]


@pytest.mark.parametrize("spelling,factor", FACTOR_SPELLINGS, ids=lambda v: repr(v))
def test_every_work_factor_gives_difflib(factor_corpus, spelling, factor):
    pairs, expected = factor_corpus
    env = {os.fsencode(k): os.fsencode(v) for k, v in os.environ.items() if k != "SV_WORK_FACTOR"}
    if spelling is not None:
        env[b"SV_WORK_FACTOR"] = spelling if isinstance(spelling, bytes) else spelling.encode()
    done = subprocess.run(
        [sys.executable, "-c", CHILD],
        input=json.dumps(pairs),
        env=env,
        capture_output=True,
        text=True,
        check=True,
        timeout=300,
    )
    result = json.loads(done.stdout)
    assert result["factor"] == factor
    mismatches = [i for i, (got, want) in enumerate(zip(result["ratios"], expected)) if got != want]
    assert not mismatches
    assert len(result["ratios"]) == len(pairs)
