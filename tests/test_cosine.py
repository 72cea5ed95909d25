"""TF-IDF cosine join: cosine_join and CosineJoiner against a brute-force reference."""

import ast
import math
import random
import re
import threading
from pathlib import Path

import pytest

import simsieve
from simsieve import _simsieve as native

try:
    from simsieve import _testing
except ImportError:  # built without the private test module
    _testing = None

needs_testing = pytest.mark.skipif(_testing is None, reason="needs simsieve._testing")

# ---------------------------------------------------------------------------------------------
# Reference: TF-IDF exactly as the corpus defines it, and every pair's dot product.


def reference_rows(docs):
    """One {feature id: weight} dict per document (empty for an all-zero vector)."""
    n = len(docs)
    ids, df = {}, []
    for doc in docs:
        seen = set()
        for tok in doc:
            f = ids.setdefault(tok, len(ids))
            if f == len(df):
                df.append(0)
            if f not in seen:
                seen.add(f)
                df[f] += 1
    idf = [math.log(n / max(d, 1)) for d in df]
    rows = []
    for doc in docs:
        w = {}
        for tok in doc:
            f = ids[tok]
            w[f] = w.get(f, 0.0) + idf[f]
        s = sum(v * v for v in w.values())
        norm = math.sqrt(s)
        rows.append({f: v / norm for f, v in w.items()} if s > 0 else {})
    return rows


_ALL_PAIRS = {}


def all_pairs(docs):
    """{(j, i): cos} for every pair of rows sharing a feature (cached per corpus object)."""
    key = id(docs)
    if key not in _ALL_PAIRS:
        rows = reference_rows(docs)
        postings = {}
        for d, row in enumerate(rows):
            for f in row:
                postings.setdefault(f, []).append(d)
        out = {}
        for i, row in enumerate(rows):
            partners = set()
            for f in row:
                for d in postings[f]:
                    if d >= i:
                        break
                    partners.add(d)
            for j in partners:
                other = rows[j]
                out[(j, i)] = sum(v * other[f] for f, v in row.items() if f in other)
        _ALL_PAIRS[key] = (docs, out)  # keeps docs alive so the id stays unique
    return _ALL_PAIRS[key][1]


def reference_join(docs, t):
    """{(j, i): cos} for every pair sharing a feature with cos >= t."""
    return {k: c for k, c in all_pairs(docs).items() if t <= c}


def near_threshold(docs, t, tol=1e-9):
    """Pairs whose true cosine lies within tol of t: their membership may go either way."""
    return {k for k, c in all_pairs(docs).items() if abs(c - t) <= tol}


def check_against_reference(docs, t, result):
    assert all(isinstance(p, tuple) and len(p) == 3 for p in result)
    keys = [(j, i) for j, i, _ in result]
    assert len(set(keys)) == len(keys), "duplicate pairs"
    assert all(j < i for j, i in keys)
    assert [i for _, i in keys] == sorted(i for _, i in keys), "rows not in ascending i"
    if math.isnan(t):
        assert result == []
        return
    expected = reference_join(docs, t)
    fuzzy = near_threshold(docs, t)
    got = {(j, i): c for j, i, c in result}
    assert set(got) - fuzzy == set(expected) - fuzzy
    allc = all_pairs(docs)
    for k, c in got.items():
        assert abs(c - allc[k]) <= 1e-12, (k, c, allc[k])


# ---------------------------------------------------------------------------------------------
# Corpora.

TOKEN = re.compile(r"\w+|[^\w\s]")


def _stdlib_sources(limit):
    root = Path(ast.__file__).parent
    names = ["ast.py", "difflib.py", "textwrap.py", "argparse.py", "json/decoder.py", "csv.py",
             "shlex.py", "fractions.py", "string.py", "heapq.py", "bisect.py", "random.py"]
    for name in names[:limit]:
        path = root / name
        if path.exists():
            yield path.read_text(encoding="utf-8")


def function_docs(max_docs):
    """Token lists of standard-library functions (one document per function)."""
    docs = []
    for src in _stdlib_sources(12):
        for node in ast.walk(ast.parse(src)):
            if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
                seg = ast.get_source_segment(src, node) or ""
                docs.append(TOKEN.findall(seg))
                if len(docs) >= max_docs:
                    return docs
    return docs


def line_docs(max_docs):
    """Token lists of standard-library source lines (blank lines give empty documents)."""
    docs = []
    for src in _stdlib_sources(4):
        for line in src.splitlines():
            docs.append(TOKEN.findall(line))
            if len(docs) >= max_docs:
                return docs
    return docs


def with_duplicates(docs, rng, extra):
    """Adds exact copies, near copies (one token changed or dropped), empty documents, a token
    present in every document and documents made only of that token."""
    docs = [list(d) for d in docs]
    for _ in range(extra):
        src = list(rng.choice(docs))
        kind = rng.randrange(4)
        if kind == 1 and src:
            src[rng.randrange(len(src))] = "tok%d" % rng.randrange(50)
        elif kind == 2 and src:
            del src[rng.randrange(len(src))]
        elif kind == 3:
            src = []
        docs.insert(rng.randrange(len(docs) + 1), src)
    for d in docs:
        d.append("@everywhere")
    docs.insert(rng.randrange(len(docs) + 1), ["@everywhere"])
    docs.insert(rng.randrange(len(docs) + 1), ["@everywhere", "@everywhere"])
    return docs


def random_docs(rng, n, vocab, max_len):
    words = ["w%d" % k for k in range(vocab)]
    # Skewed draws, so some tokens are frequent and some rare.
    return [[words[min(int(rng.expovariate(4.0 / vocab)), vocab - 1)] for _ in range(rng.randrange(max_len + 1))]
            for _ in range(n)]


RNG = random.Random(20240611)
CORPORA = {
    "random": random_docs(RNG, 260, 60, 12),
    "random_wide": random_docs(RNG, 220, 400, 40),
    "functions": with_duplicates(function_docs(260), RNG, 40),
    "lines": with_duplicates(line_docs(420), RNG, 40),
}
THRESHOLDS = [0.9, 0.5, 0.2, 0.0, -0.5, 1.0, float("nan")]


@pytest.mark.parametrize("name", sorted(CORPORA))
@pytest.mark.parametrize("t", THRESHOLDS, ids=str)
def test_matches_brute_force(name, t):
    docs = CORPORA[name]
    result = native.cosine_join(docs, t)
    check_against_reference(docs, t, result)


@needs_testing
@pytest.mark.parametrize("name", sorted(CORPORA))
def test_same_list_as_direct_rank_order_search(name):
    # The candidate search over the probe-order index must reproduce the rank-order search
    # exactly: same pairs, same cosines to the bit, same order.
    docs = CORPORA[name]
    for t in (0.95, 0.9, 0.7, 0.5, 0.3, 0.1, 1e-6, 0.0, -0.5, 1.0, 1.5, float("nan")):
        assert native.cosine_join(docs, t) == _testing.cosine_join_direct(docs, t), t


@needs_testing
@pytest.mark.parametrize("t", [0.9, 0.6, 0.3], ids=str)
def test_same_list_as_direct_search_on_a_split_corpus(t):
    assert native.cosine_join(BIG, t, threads=2) == _testing.cosine_join_direct(BIG, t, 1)


@needs_testing
def test_corpus_layout():
    # Every document of the "lines" corpus holds "@everywhere"; so do the added ones.
    docs = CORPORA["lines"][:200] + [["solo", "@everywhere"], ["B", "b", "b", "@everywhere"], ["b", "@everywhere"]]
    offsets, ranks, weights, max_weight, n_docs, n_features = _testing.tfidf_corpus(docs)
    ref = reference_rows(docs)
    assert n_docs == len(docs) and len(offsets) == n_docs + 1 and offsets[0] == 0
    assert len(max_weight) == n_features and sorted(set(ranks)) == list(range(n_features))
    assert all(a <= b for a, b in zip(max_weight, max_weight[1:]))
    for d in range(n_docs):
        row_r, row_w = ranks[offsets[d]:offsets[d + 1]], weights[offsets[d]:offsets[d + 1]]
        assert all(a < b for a, b in zip(row_r, row_r[1:]))
        assert sorted(row_w) == pytest.approx(sorted(ref[d].values()), abs=1e-15)
        assert all(w <= max_weight[r] for r, w in zip(row_r, row_w))
        if row_w:
            assert math.fsum(w * w for w in row_w) == pytest.approx(1.0, abs=1e-12)
    # The token present everywhere keeps explicit 0.0 entries and ranks first.
    zero = [r for r, w in zip(ranks, weights) if w == 0.0]
    assert zero and set(zero) == {0} and max_weight[0] == 0.0
    assert _testing.tfidf_corpus([]) == ([0], [], [], [], 0, 0)
    assert _testing.tfidf_corpus([["a", "b"]]) == ([0, 0], [], [], [], 1, 0)


@needs_testing
def test_equal_maximum_weights_rank_by_first_occurrence():
    # q, p weigh 1.0 and x, y 1/sqrt(2): x ranks before y and q before p, by first occurrence.
    _, ranks, _, max_weight, _, n_features = _testing.tfidf_corpus([["q"], ["p"], ["x", "y"]])
    assert n_features == 4 and ranks == [2, 3, 0, 1]
    assert max_weight == [pytest.approx(math.sqrt(0.5), abs=1e-15)] * 2 + [1.0, 1.0]


def test_nonpositive_threshold_reports_every_pair_sharing_a_feature():
    # At t <= 0, every pair of non-empty rows that shares a feature is reported, cos 0.0 included
    # (the shared token is everywhere, so its weight is 0).
    docs = [["z", "a"], ["z", "b"], ["z", "a", "c"], ["z"]]
    result = native.cosine_join(docs, -1.0)
    assert {(j, i) for j, i, _ in result} == {(0, 1), (0, 2), (1, 2)}
    cos = {(j, i): c for j, i, c in result}
    assert cos[(0, 1)] == 0.0 and cos[(1, 2)] == 0.0 and cos[(0, 2)] > 0.0
    assert native.cosine_join(docs, 0.0) == result
    # Rows that share nothing never pair up, at any threshold.
    assert native.cosine_join([["a"], ["b"], ["c"]], -math.inf) == []


def test_identical_documents_pair_with_cosine_one():
    docs = [["a", "b", "b"], ["c"], ["a", "b", "b"], ["d", "c"]]
    [(j, i, c)] = [p for p in native.cosine_join(docs, 0.99)]
    assert (j, i) == (0, 2) and abs(c - 1.0) < 1e-12
    # At exactly 1.0 the pair stays only if the computed product did not round below 1.
    at_one = native.cosine_join(docs, 1.0)
    assert at_one in ([], [(0, 2, c)]) and (not at_one or c >= 1.0)


def test_result_order_within_a_row_follows_first_touch():
    # Row 3 shares its lower-ranked feature (r1, whose maximum weight is smaller) with doc 2 and
    # its higher-ranked one (c) with doc 0: doc 2 is touched first, so (2, 3) precedes (0, 3).
    docs = [["c", "c", "r2"], ["x", "y"], ["r1", "k"], ["c", "r1"], ["x", "r2"]]
    result = native.cosine_join(docs, -1.0)
    assert [i for _, i, _ in result] == sorted(i for _, i, _ in result)
    rows = reference_rows(docs)
    maxw = {}
    for row in rows:
        for f, w in row.items():
            maxw[f] = max(maxw.get(f, 0.0), w)
    rank = {f: r for r, f in enumerate(sorted(maxw, key=lambda f: (maxw[f], f)))}
    for i in range(len(docs)):
        seen = []
        for f in sorted(rows[i], key=rank.get):
            for j in range(i):
                if f in rows[j] and j not in seen:
                    seen.append(j)
        assert [j for j, ii, _ in result if ii == i] == seen
    assert [j for j, i, _ in result if i == 3] == [2, 0]


def test_corpus_cases_visible_in_results():
    assert native.cosine_join([], 0.0) == []
    assert native.CosineJoiner([]).join(-1.0) == []
    # One document: idf 0 everywhere, an empty row.
    assert native.cosine_join([["a", "b"]], -1.0) == []
    # All documents identical: every token has idf 0, so every row is empty.
    assert native.cosine_join([["a", "b"]] * 5, -1.0) == []
    # Tokens are compared by bytes: case matters and "" is a token.
    assert native.cosine_join([["A"], ["a"], ["q"]], -1.0) == []
    assert native.cosine_join([["a"], ["A"], ["a"]], 0.5) == [(0, 2, pytest.approx(1.0, abs=1e-12))]
    e, x = math.log(3 / 2), math.log(3)
    assert native.cosine_join([[""], ["", "x"], ["y"]], 0.1) == [(0, 1, pytest.approx(e / math.hypot(e, x), abs=1e-12))]
    assert native.cosine_join([[" a"], ["a"], ["a "], ["q"]], -1.0) == []
    # Empty documents count towards N: with them, "a" (in 2 of 4 documents) has idf ln 2.
    result = native.cosine_join([["a"], [], ["a"], []], 0.5)
    assert result == [(0, 2, pytest.approx(1.0, abs=1e-12))]
    # Repeated tokens weigh by their count.
    docs = [["a", "a", "b"], ["a", "b", "b"], ["c"]]
    check_against_reference(docs, 0.0, native.cosine_join(docs, 0.0))


def test_non_ascii_tokens():
    docs = [["é", "ß", "日本"], ["é", "日本"], ["x"], ["e", "ss"]]
    check_against_reference(docs, 0.1, native.cosine_join(docs, 0.1))


# ---------------------------------------------------------------------------------------------
# Same answers on every path: thread caps, concurrency modes, function and handle.

# Large enough that the probe phase is split into several pieces.
BIG = with_duplicates(function_docs(700), random.Random(7), 400) + line_docs(900)


@pytest.mark.parametrize("t", [0.8, 0.3], ids=str)
def test_identical_across_paths(t):
    base = native.cosine_join(BIG, t)
    assert base, "the corpus should produce pairs"
    joiner = native.CosineJoiner(BIG)
    for threads in (0, 1, 2, 3):
        for mode in ("cpu", "gpu", "gpu+cpu", "GPU_CPU"):
            assert native.cosine_join(BIG, t, mode, threads) == base
            assert joiner.join(t, concurrency=mode, threads=threads) == base


BIG_PART = BIG[:800]


@pytest.mark.parametrize("t", [0.6, 0.1], ids=str)
def test_split_corpus_against_reference(t):
    # Enough rows for the probe phase to run in several pieces on two workers.
    check_against_reference(BIG_PART, t, native.CosineJoiner(BIG_PART).join(t, threads=2))


def test_concurrent_joins_on_one_handle():
    joiner = native.CosineJoiner(BIG)
    thresholds = [0.95, 0.8, 0.5, 0.3]
    expected = {t: native.cosine_join(BIG, t) for t in thresholds}
    failures, results = [], []

    def worker(k):
        try:
            for rep in range(3):
                t = thresholds[(k + rep) % len(thresholds)]
                results.append(joiner.join(t, threads=k % 3) == expected[t])
        except BaseException as exc:  # pragma: no cover - reported below
            failures.append(exc)

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(6)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert not failures
    assert results == [True] * 18


def test_handle_outlives_its_input():
    docs = [["a", "b"], ["a", "b", "c"], ["b", "c"], ["x"]]
    joiner = native.CosineJoiner(docs)
    expected = native.cosine_join(docs, 0.1)
    docs.clear()
    assert joiner.join(0.1) == expected
    assert joiner.join(threshold=0.1, threads=1) == expected


# ---------------------------------------------------------------------------------------------
# Surface: arguments, messages, docstrings, class shape.

CONCURRENCY_MESSAGE = 'unknown concurrency "{}"; expected "cpu", "gpu", or "gpu+cpu"'

ERROR_CASES = [
    (lambda: native.cosine_join("ab", 0.5), TypeError, "argument 'docs': Can't extract `str` to `Vec`"),
    (lambda: native.cosine_join(["ab"], 0.5), TypeError, "argument 'docs': Can't extract `str` to `Vec`"),
    (lambda: native.cosine_join([[1]], 0.5), TypeError, "argument 'docs': 'int' object is not an instance of 'str'"),
    (lambda: native.cosine_join([None], 0.5), TypeError, "argument 'docs': 'NoneType' object is not an instance of 'Sequence'"),
    (lambda: native.cosine_join(5, 0.5), TypeError, "argument 'docs': 'int' object is not an instance of 'Sequence'"),
    (lambda: native.cosine_join([], "x"), TypeError, "argument 'threshold': must be real number, not str"),
    (lambda: native.cosine_join([], 0.5, 5), TypeError, "argument 'concurrency': 'int' object is not an instance of 'str'"),
    (lambda: native.cosine_join([], 0.5, "cpu", 1.5), TypeError, "argument 'threads': 'float' object cannot be interpreted as an integer"),
    (lambda: native.cosine_join([], 0.5, threads=-1), OverflowError, None),
    (lambda: native.cosine_join([], 0.5, "TPU"), ValueError, CONCURRENCY_MESSAGE.format("tpu")),
    (lambda: native.cosine_join([], 0.5, ""), ValueError, CONCURRENCY_MESSAGE.format("")),
    (lambda: native.cosine_join([], 0.5, "gpu-cpu"), ValueError, CONCURRENCY_MESSAGE.format("gpu-cpu")),
    (lambda: native.cosine_join([], 0.5, " cpu"), ValueError, CONCURRENCY_MESSAGE.format(" cpu")),
    # Conversion order: docs, threshold, concurrency, threads, then the concurrency parse.
    (lambda: native.cosine_join("ab", "x", 5, -1), TypeError, "argument 'docs': Can't extract `str` to `Vec`"),
    (lambda: native.cosine_join([], "x", 5, -1), TypeError, "argument 'threshold': must be real number, not str"),
    (lambda: native.cosine_join([], 0.5, 5, -1), TypeError, "argument 'concurrency': 'int' object is not an instance of 'str'"),
    (lambda: native.cosine_join([], 0.5, "tpu", -1), OverflowError, None),
    (lambda: native.cosine_join(), TypeError, "cosine_join() missing 2 required positional arguments: 'docs' and 'threshold'"),
    (lambda: native.cosine_join([], 0.5, "cpu", 0, 1), TypeError, "cosine_join() takes from 2 to 4 positional arguments but 5 were given"),
    (lambda: native.cosine_join([], 0.5, gpu=True), TypeError, "cosine_join() got an unexpected keyword argument 'gpu'"),
    (lambda: native.CosineJoiner(), TypeError, "CosineJoiner.__new__() missing 1 required positional argument: 'docs'"),
    (lambda: native.CosineJoiner("ab"), TypeError, "argument 'docs': Can't extract `str` to `Vec`"),
    (lambda: native.CosineJoiner([["a"]], 1), TypeError, "CosineJoiner.__new__() takes 1 positional arguments but 2 were given"),
    (lambda: native.CosineJoiner([]).join(), TypeError, "CosineJoiner.join() missing 1 required positional argument: 'threshold'"),
    (lambda: native.CosineJoiner([]).join(None), TypeError, "argument 'threshold': must be real number, not NoneType"),
    (lambda: native.CosineJoiner([]).join(0.5, "cpu", 0, 1), TypeError, "CosineJoiner.join() takes from 1 to 3 positional arguments but 4 were given"),
    (lambda: native.CosineJoiner([]).join(0.5, b"cpu"), TypeError, "argument 'concurrency': 'bytes' object is not an instance of 'str'"),
    (lambda: native.CosineJoiner([]).join(0.5, "metal"), ValueError, CONCURRENCY_MESSAGE.format("metal")),
    (lambda: native.CosineJoiner([]).join(0.5, threads=-2), OverflowError, None),
    (lambda: native.CosineJoiner([]).join(0.5, "tpu", -2), OverflowError, None),
]


@pytest.mark.parametrize("call,kind,message", ERROR_CASES)
def test_argument_errors(call, kind, message):
    with pytest.raises(kind) as info:
        call()
    if message is not None:
        assert str(info.value) == message


def test_type_error_prefix_keeps_cause():
    with pytest.raises(TypeError) as info:
        native.cosine_join([["a", 3]], 0.5)
    assert isinstance(info.value.__cause__, TypeError)
    assert str(info.value.__cause__) == "'int' object is not an instance of 'str'"


def test_accepted_arguments():
    docs = [("a", "b"), ["a", "b", "c"], ("b", "c")]
    expected = native.cosine_join([list(d) for d in docs], 0.1)
    assert expected
    assert native.cosine_join(docs, 0.1) == expected  # tuples are sequences
    assert native.cosine_join(docs, 1 / 10) == expected
    assert native.cosine_join(threads=True, threshold=0.1, docs=docs) == expected

    class Real:
        def __float__(self):
            return 0.1

    class Count:
        def __index__(self):
            return 2

    class Tok(str):
        pass

    assert native.cosine_join([[Tok(t) for t in d] for d in docs], Real(), threads=Count()) == expected
    for mode in ("CPU", "Gpu", "GPU+CPU", "gpu_cpu", "GpuCpu", "gpucpu"):
        assert native.cosine_join(docs, 0.1, mode) == expected
    assert native.cosine_join(docs, 0.1, threads=7) == expected
    with pytest.raises(UnicodeEncodeError):
        native.cosine_join([["\ud800"]], 0.1)


def test_docstrings_and_signatures():
    doc = native.cosine_join.__doc__
    assert native.cosine_join.__text_signature__ == '(docs, threshold, concurrency="cpu", threads=0)'
    assert "CosineJoiner" in doc and "(j, i, cos)" in doc
    cls = native.CosineJoiner
    assert cls.__text_signature__ == "(docs)"
    assert cls.__doc__ == (
        "`CosineJoiner(docs)` — stateful similarity-join handle that builds the TF-IDF corpus and (on a\n"
        "macOS `gpu` wheel) acquires the Metal device + uploads the corpus **once**, then answers\n"
        "repeated `join(threshold, concurrency=...)` calls reusing them. The free `cosine_join` rebuilds\n"
        "everything per call; a `CosineJoiner` pays it once — use it to sweep thresholds."
    )
    assert cls.join.__text_signature__ == '($self, threshold, concurrency="cpu", threads=0)'
    assert cls.join.__doc__ == (
        'Join at `threshold` under `concurrency` (`"cpu" | "gpu" | "gpu+cpu"`), reusing the handle\'s\n'
        "resources. Returns `(j, i, cos)` pairs with `j < i`. GIL released for the compute."
    )
    assert cls.has_gpu.__doc__ == (
        "Whether a Metal GPU backend was acquired (always `False` off a macOS `gpu` wheel). When\n"
        "`False`, every `join` runs on CPU regardless of the `concurrency` argument."
    )


def test_class_shape():
    joiner = native.CosineJoiner(docs=[["a"], ["b"]])
    assert joiner.has_gpu is False
    with pytest.raises(AttributeError):
        joiner.has_gpu = True
    public = {name for name in vars(native.CosineJoiner) if not name.startswith("__")}
    assert public == {"join", "has_gpu"}
    assert simsieve.CosineJoiner is native.CosineJoiner
    # The package form adds only the as_arrow keyword (tests/test_columns.py).
    assert simsieve.cosine_join([["a"], ["a"]], 0.5) == native.cosine_join([["a"], ["a"]], 0.5)
    names = [n for n in vars(native) if n in ("ratio", "ratio_many", "cluster_canonicals",
                                                "cluster_canonicals_lsh", "cosine_join")]
    assert names[-1] == "cosine_join"
