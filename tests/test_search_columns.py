"""Arrow string columns as the choices and queries of the search functions: every result equals
the one from the same strings in a Python list, for every layout and every threads value; nulls
among choices are skipped like None, a null query is an error naming its position."""

import random

import pytest

import simsieve
from simsieve import _simsieve as native
from test_columns import LAYOUTS, PANDAS_EXPORTS, TEXTS

pa = pytest.importorskip("pyarrow")
pl = pytest.importorskip("polars")
np = pytest.importorskip("numpy")

# Choices with gaps: None in the list, a null in the column, at the same positions.
CHOICES = TEXTS[:3] + [None] + TEXTS[3:9] + [None, None] + TEXTS[9:]
QUERIES = ["def ratio(x, y):", "naïve café", "", "emoji 🙂 and ✓", "a much longer line that does not fit", "zzz"]
THREADS = (1, 2, 0)


@pytest.fixture(params=sorted(LAYOUTS))
def layout(request):
    if request.param.startswith("pandas") and not PANDAS_EXPORTS:
        pytest.skip("this pandas does not export Series through __arrow_c_stream__")
    return LAYOUTS[request.param]


def match_rows(table):
    t = pa.table(table)
    assert t.column_names == ["query", "choice", "score"]
    assert t.schema.types == [pa.int64(), pa.int64(), pa.float64()]
    return list(zip(*(t.column(name).to_pylist() for name in t.column_names)))


def test_search_on_columns_equals_search_on_lists(layout):
    choices = layout(CHOICES)
    queries = layout(QUERIES)
    for threads in THREADS:
        for query in QUERIES:
            for limit, cutoff in ((5, 0.0), (None, 0.3), (1, 0.8)):
                expected = simsieve.extract(query, CHOICES, limit=limit, score_cutoff=cutoff, threads=threads)
                got = simsieve.extract(query, choices, limit=limit, score_cutoff=cutoff, threads=threads)
                assert got == expected
                assert all(type(choice) is str for choice, _, _ in got)
            assert simsieve.extract_one(query, choices, threads=threads) == simsieve.extract_one(query, CHOICES)
        for cutoff in (0.0, 0.5):
            dense = simsieve.cdist(QUERIES, CHOICES, score_cutoff=cutoff).tolist()
            assert simsieve.cdist(queries, choices, score_cutoff=cutoff, threads=threads).tolist() == dense
            assert simsieve.cdist(QUERIES, choices, score_cutoff=cutoff, threads=threads).tolist() == dense
            assert simsieve.cdist(queries, CHOICES, score_cutoff=cutoff, threads=threads).tolist() == dense
            pairs = simsieve.match(QUERIES, CHOICES, score_cutoff=cutoff, limit=3)
            assert pairs  # the data has matches at both cutoffs
            assert simsieve.match(queries, choices, score_cutoff=cutoff, limit=3, threads=threads) == pairs
            arrow = simsieve.match(queries, choices, score_cutoff=cutoff, limit=3, threads=threads, as_arrow=True)
            assert match_rows(arrow) == pairs
        # A column of possibilities scores like the list.
        for word in QUERIES:
            expected_close = simsieve.get_close_matches(word, TEXTS, 4, 0.3)
            assert simsieve.get_close_matches(word, layout(TEXTS), 4, 0.3) == expected_close


def test_large_columns_split_across_threads_with_the_same_answer():
    # Enough choices that the scans are cut into pieces on the pool, nulls spread through the
    # chunks, non-ASCII text, duplicates.
    rng = random.Random(16)
    alphabet = "abcdeé日 "
    base = ["".join(rng.choice(alphabet) for _ in range(rng.randint(0, 14))) for _ in range(3000)]
    choices = [None if rng.random() < 0.05 else s for s in base] + base[:50]
    queries = [rng.choice(base) for _ in range(40)] + ["abc", ""]
    chunks = pa.chunked_array([choices[:700], choices[700:701], choices[701:2900], choices[2900:]], type=pa.string())
    view = pa.array(choices, type=pa.string_view())
    polars = pl.Series(choices, dtype=pl.String)
    expected_pairs = simsieve.match(queries, choices, score_cutoff=0.6, threads=1)
    expected_top = [simsieve.extract(q, choices, limit=7, score_cutoff=0.4, threads=1) for q in queries[:8]]
    assert expected_pairs and any(expected_top)
    for column in (chunks, view, polars):
        for threads in THREADS:
            assert simsieve.match(pa.array(queries), column, score_cutoff=0.6, threads=threads) == expected_pairs
            assert match_rows(simsieve.match(queries, column, score_cutoff=0.6, threads=threads,
                                             as_arrow=True)) == expected_pairs
            top = [simsieve.extract(q, column, limit=7, score_cutoff=0.4, threads=threads) for q in queries[:8]]
            assert top == expected_top
    dense = simsieve.cdist(queries[:5], choices, score_cutoff=0.5, threads=1).tolist()
    assert simsieve.cdist(pl.Series(queries[:5]), chunks, score_cutoff=0.5, threads=2).tolist() == dense
    assert simsieve.cdist(pl.Series(queries[:5]), chunks, dtype="float32").tolist() == \
        simsieve.cdist(queries[:5], choices, dtype="float32").tolist()


def test_null_choices_are_skipped_and_null_queries_named():
    choices = pa.chunked_array([["abc", None], [None, "abd", "abc"]])
    # Nulls never match, even an empty query at cutoff 0; indices stay input positions.
    assert simsieve.extract("abc", choices, limit=None) == [("abc", 1.0, 0), ("abc", 1.0, 4), ("abd", 2 / 3, 3)]
    assert simsieve.extract("", choices, limit=None) == [("abc", 0.0, 0), ("abd", 0.0, 3), ("abc", 0.0, 4)]
    dense = simsieve.cdist(["abc"], choices).tolist()
    assert dense == [[1.0, 0.0, 0.0, 2 / 3, 1.0]]
    all_null = pa.array([None, None], type=pa.string())
    assert simsieve.extract_one("a", all_null) is None
    assert simsieve.cdist(["a"], all_null).tolist() == [[0.0, 0.0]]
    with pytest.raises(ValueError, match=r"^argument 'queries': item 2 is null$"):
        simsieve.match(pa.chunked_array([["a"], ["b", None]]), ["a"], score_cutoff=0.5)
    with pytest.raises(ValueError, match=r"^argument 'queries': item 1 is null$"):
        simsieve.cdist(pl.Series(["a", None]), choices)
    # Where None is an error, so is a null.
    with pytest.raises(ValueError, match=r"^argument 'choices': item 1 is null$"):
        native.search_top("a", choices, 5, 0.0, 0, False, False)
    with pytest.raises(TypeError, match=r"^argument 'choices': 'None' is not an instance of 'str'$"):
        native.search_top("a", ["a", None], 5, 0.0, 0, False, False)


def test_bad_columns_raise_with_the_argument_named():
    offsets = pa.py_buffer(np.array([0, 1, 4], dtype=np.int32).tobytes())
    bad = pa.Array.from_buffers(pa.string(), 2, [None, offsets, pa.py_buffer(b"a\xed\xa0\x80")])
    with pytest.raises(ValueError, match=r"^argument 'choices': item 1 is not valid UTF-8$"):
        simsieve.extract("a", bad)
    with pytest.raises(ValueError, match=r"^argument 'queries': item 1 is not valid UTF-8$"):
        simsieve.match(bad, ["a"], score_cutoff=0.5)
    with pytest.raises(TypeError, match=r"^argument 'choices': expected an Arrow column of strings"):
        simsieve.cdist(["a"], pa.array([1, 2]))
    with pytest.raises(TypeError, match=r"^argument 'queries': expected an Arrow column of strings"):
        simsieve.match(pa.array([["a"]]), ["a"], score_cutoff=0.5)


def test_empty_columns_and_empty_results():
    empty = pa.array([], type=pa.string())
    assert simsieve.extract("a", empty) == []
    assert simsieve.extract_one("a", empty) is None
    assert np.asarray(simsieve.cdist(empty, ["a", "b"])).shape == (0, 2)
    assert np.asarray(simsieve.cdist(["a"], empty)).shape == (1, 0)
    assert simsieve.match(empty, empty, score_cutoff=0.0) == []
    table = pa.table(simsieve.match(["a"], pl.Series(["b"]), score_cutoff=0.9, as_arrow=True))
    assert table.num_rows == 0 and table.column_names == ["query", "choice", "score"]


def test_match_as_arrow_from_lists_and_for_polars():
    queries = ["apple", "apply", None, "maple"]
    choices = ["apple", None, "ample", "apples", "maple"]
    pairs = simsieve.match(queries, choices, score_cutoff=0.6)
    result = simsieve.match(queries, choices, score_cutoff=0.6, as_arrow=True)
    assert len(result) == len(pairs)
    assert match_rows(result) == pairs
    frame = pl.DataFrame(simsieve.match(queries, choices, score_cutoff=0.6, as_arrow=True))
    assert frame.rows() == pairs


def test_imported_columns_are_released_once_on_success_and_failure():
    from test_columns_hostile import GOOD, HOSTILE, Producer

    calls = [
        lambda q, c: simsieve.match(q, c, score_cutoff=0.5, as_arrow=True),
        lambda q, c: simsieve.match(q, c, score_cutoff=0.5),
        lambda q, c: simsieve.cdist(q, c, dtype="float32"),
    ]
    for call in calls:
        queries, choices = Producer(**GOOD), Producer(**GOOD)
        call(queries, choices)
        assert queries.releases == choices.releases == {"schema": 1, "array": 1}
    # Good queries, malformed choices: the queries already imported are released too.
    queries, choices = Producer(**GOOD), Producer(**HOSTILE["decreasing offsets"][0])
    with pytest.raises(ValueError, match=r"^argument 'choices': .*offsets decrease at item 1"):
        simsieve.match(queries, choices, score_cutoff=0.5)
    assert queries.releases == choices.releases == {"schema": 1, "array": 1}
    assert simsieve.extract("abc", Producer(**GOOD)) == [("ab", 0.8, 0), ("cde", 1 / 3, 1)]


def test_columns_are_read_without_a_python_object_per_string():
    import tracemalloc

    column = pa.array([f"line {i} of the column" for i in range(200_000)])
    queries = pa.array(["line 7 of the column", "line 123456 of the column"])
    simsieve.extract("line 7", column, limit=3)  # warm up: imports, caches
    tracemalloc.start()
    try:
        top = simsieve.extract("line 7 of the column", column, limit=3)
        table = simsieve.match(queries, column, score_cutoff=0.99, as_arrow=True)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert top[0] == ("line 7 of the column", 1.0, 7)
    assert match_rows(table) == [(0, 7, 1.0), (1, 123456, 1.0)]
    # 200 000 str objects would take over 10 MB; the calls allocate a few small results.
    assert peak < 200_000
