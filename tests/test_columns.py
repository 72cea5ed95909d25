"""Arrow string columns as inputs of every entry point that takes strings: the same results as
the equivalent Python lists, for every layout a producer may export, and clear errors for nulls,
invalid UTF-8, wrong types and malformed arrays."""

import random

import pytest

import simsieve
from simsieve import _simsieve as native

pa = pytest.importorskip("pyarrow")
pl = pytest.importorskip("polars")
pd = pytest.importorskip("pandas")
np = pytest.importorskip("numpy")

TEXTS = [
    "def ratio(a, b):",
    "def ratio(a, b, c):",
    "",
    "naïve café — déjà vu",
    "naive cafe - deja vu",
    "emoji 🙂 and ✓ marks",
    "emoji 🙂 and ✓ mark",
    "return x + 1",
    "return x + 2",
    "a much longer line that does not fit into the twelve inline bytes of a view",
    "a much longer line that does not fit into the twelve inline bytes of a viewer",
    "x",
]


def padded_slice(texts):
    return pa.array(["pad", "padding line long enough to leave the inline view"] + texts + ["tail"]).slice(2, len(texts))


def chunked(texts):
    k = len(texts) // 3
    return pa.chunked_array([texts[:k], texts[k : 2 * k], [], texts[2 * k :]], type=pa.string())


# Every layout an Arrow producer may hand over for a list of strings.
LAYOUTS = {
    "pyarrow utf8": lambda t: pa.array(t, type=pa.string()),
    "pyarrow large_string": lambda t: pa.array(t, type=pa.large_string()),
    "pyarrow string_view": lambda t: pa.array(t, type=pa.string_view()),
    "pyarrow chunked": chunked,
    "pyarrow sliced": padded_slice,
    "pyarrow sliced view": lambda t: padded_slice(t).cast(pa.string_view()),
    "polars string_view": lambda t: pl.Series(t, dtype=pl.String),
    "pandas string[pyarrow]": lambda t: pd.Series(t, dtype="string[pyarrow]"),
    "pandas ArrowDtype": lambda t: pd.Series(t, dtype=pd.ArrowDtype(pa.string())),
    "pyarrow one-column table": lambda t: pa.table({"text": pa.array(t)}),
    "polars one-column frame": lambda t: pl.DataFrame({"text": t}),
}


# pandas exports a Series through the PyCapsule interface from pandas 3.
PANDAS_EXPORTS = hasattr(pd.Series, "__arrow_c_stream__")


@pytest.fixture(params=sorted(LAYOUTS))
def layout(request):
    if request.param.startswith("pandas") and not PANDAS_EXPORTS:
        pytest.skip("this pandas does not export Series through __arrow_c_stream__")
    return LAYOUTS[request.param]


def shuffled_pairs(seed=7):
    rng = random.Random(seed)
    other = TEXTS[:]
    rng.shuffle(other)
    return TEXTS, other


def test_ratio_columns_match_lists(layout):
    a, b = shuffled_pairs()
    expected = simsieve.ratio(list(zip(a, b)))
    result = simsieve.ratio(layout(a), layout(b))
    assert isinstance(result, simsieve.FloatArray)
    assert result.tolist() == expected
    assert np.asarray(result).tolist() == expected
    # Mixed: a column with a list, a column against one string.
    assert simsieve.ratio(layout(a), b, threads=1).tolist() == expected
    assert simsieve.ratio(a, layout(b)).tolist() == expected
    against = simsieve.ratio(layout(a), "def ratio(x):").tolist()
    assert against == [simsieve.ratio(t, "def ratio(x):") for t in a]


def test_clustering_matches_lists(layout):
    column = layout(TEXTS)
    expected = native.cluster_canonicals(TEXTS, 0.8)
    assert expected  # the data forms clusters
    assert native.cluster_canonicals(column, 0.8) == expected
    assert simsieve.cluster_canonicals(column, 0.8, threads=1) == expected
    assert native.Rationer(threads=2).cluster_canonicals(column, 0.8) == expected
    lsh = native.cluster_canonicals_lsh(TEXTS, 0.8, 64, 4)
    assert native.cluster_canonicals_lsh(column, 0.8, 64, 4) == lsh


def test_close_matches_match_lists(layout):
    for word in ("def ratio(a):", "emoji 🙂", "zzz"):
        for n, cutoff in ((3, 0.6), (1, 0.0), (20, 0.3)):
            assert simsieve.get_close_matches(word, layout(TEXTS), n, cutoff) == simsieve.get_close_matches(
                word, TEXTS, n, cutoff
            )


DOCS = [["import os", "x = 1"], ["import os", "x = 1", "y = 2"], [], ["naïve ✓"], ["naïve ✓", "import os"], ["y = 2"]]


@pytest.mark.parametrize(
    "make",
    [
        lambda d: pa.array(d, type=pa.list_(pa.string())),
        lambda d: pa.array(d, type=pa.large_list(pa.large_string())),
        lambda d: pa.array([["pad"]] + d, type=pa.list_(pa.string_view())).slice(1),
        lambda d: pa.chunked_array([d[:2], d[2:]], type=pa.list_(pa.string())),
        lambda d: pl.Series(d, dtype=pl.List(pl.String)),
    ],
    ids=["list<utf8>", "large_list<large_string>", "sliced list<string_view>", "chunked", "polars"],
)
def test_cosine_documents_match_lists(make):
    for threshold in (0.0, 0.3, 0.9):
        expected = native.cosine_join(DOCS, threshold)
        assert native.cosine_join(make(DOCS), threshold) == expected
        assert simsieve.cosine_join(make(DOCS), threshold, threads=1) == expected
        assert native.CosineJoiner(make(DOCS)).join(threshold) == expected


def test_empty_columns():
    empty = pa.array([], type=pa.string())
    assert simsieve.ratio(empty, empty).tolist() == []
    assert native.cluster_canonicals(empty, 0.5) == []
    assert native.cluster_canonicals(pa.chunked_array([], type=pa.string()), 0.5) == []
    assert native.cluster_canonicals_lsh(pl.Series([], dtype=pl.String), 0.5, 16, 2) == []
    assert simsieve.get_close_matches("a", empty) == []
    assert native.cosine_join(pa.array([], type=pa.list_(pa.string())), 0.5) == []
    assert len(simsieve.cluster_canonicals(empty, 0.5, as_arrow=True)) == 0


def test_nulls_name_argument_and_position():
    # Position counts across chunks and inside slices.
    with_null = pa.chunked_array([["a", "b"], ["c", None, "d"]])
    cases = [
        (lambda: native.cluster_canonicals(with_null, 0.5), "canonicals", 3),
        (lambda: native.cluster_canonicals(pa.array(["x", None, "a", None]).slice(2), 0.5), "canonicals", 1),
        (lambda: native.cluster_canonicals_lsh(pl.Series(["a", None]), 0.5, 16, 2), "canonicals", 1),
        (lambda: native.Rationer().cluster_canonicals(pl.Series(["a", None, "b"]), 0.5), "canonicals", 1),
        (lambda: simsieve.ratio(pa.array(["a", "b"]), pa.array(["a", None])), "b", 1),
        (lambda: simsieve.get_close_matches("a", pa.array([None, "a"])), "possibilities", 0),
        (lambda: native.cosine_join(pa.array([["a"], None]), 0.5), "docs", 1),
        (lambda: native.cosine_join(pa.array([["a"], ["b", None]]), 0.5), "docs", 1),
    ]
    for call, name, index in cases:
        with pytest.raises(ValueError) as raised:
            call()
        assert str(raised.value) == f"argument '{name}': item {index} is null"
    # A pandas object Series with a missing value goes through Arrow too and names the item.
    if not PANDAS_EXPORTS:
        return
    with pytest.raises(ValueError, match=r"^argument 'canonicals': item 17 is null$"):
        native.cluster_canonicals(pd.Series(["a"] * 17 + [None] + ["b"], dtype=object), 0.5)


def test_invalid_utf8_raises_clearly():
    offsets = pa.py_buffer(np.array([0, 1, 4, 7], dtype=np.int32).tobytes())
    # A lone surrogate as UTF-8 bytes (ED A0 80) and an overlong slash (E0 80 AF).
    for bad in (b"\xed\xa0\x80", b"\xe0\x80\xaf", b"\xff\xfe\xfd"):
        column = pa.Array.from_buffers(pa.string(), 3, [None, offsets, pa.py_buffer(b"a" + bad + b"ok!")])
        with pytest.raises(ValueError, match=r"^argument 'canonicals': item 1 is not valid UTF-8$"):
            native.cluster_canonicals(column, 0.5)
        with pytest.raises(ValueError, match=r"^argument 'a': item 1 is not valid UTF-8$"):
            simsieve.ratio(column, column)
    # Each string cut inside a character although the bytes run together are valid UTF-8 ("é"
    # split over two strings), in both offset widths and behind a slice offset.
    for kind, width in ((pa.string(), np.int32), (pa.large_string(), np.int64)):
        split = pa.Array.from_buffers(kind, 3, [None, pa.py_buffer(np.array([0, 1, 3, 5], dtype=width).tobytes()),
                                                pa.py_buffer(b"xa\xc3\xa9b")])
        with pytest.raises(ValueError, match=r"^argument 'canonicals': item 1 is not valid UTF-8$"):
            native.cluster_canonicals(split, 0.5)
        with pytest.raises(ValueError, match=r"^argument 'canonicals': item 0 is not valid UTF-8$"):
            native.cluster_canonicals(split.slice(1), 0.5)
        # A null may hold any bytes: the strings around it are still checked one by one.
        masked = pa.Array.from_buffers(kind, 3, [pa.py_buffer(bytes([0b101])), split.buffers()[1],
                                                 pa.py_buffer(b"x\xff\xfeab")], null_count=1)
        assert simsieve.extract("xb", masked, limit=None) == [("x", 2 / 3, 0), ("ab", 0.5, 2)]
        with pytest.raises(ValueError, match=r"^argument 'canonicals': item 1 is null$"):
            native.cluster_canonicals(masked, 0.5)


def test_wrong_column_types():
    with pytest.raises(TypeError, match=r"^argument 'canonicals': expected an Arrow column of strings .*got Arrow format 'l'$"):
        native.cluster_canonicals(pa.array([1, 2]), 0.5)
    with pytest.raises(TypeError, match=r"^argument 'canonicals': expected an Arrow column of strings, got a column of string lists$"):
        native.cluster_canonicals(pa.array([["a"]]), 0.5)
    with pytest.raises(TypeError, match=r"^argument 'docs': expected an Arrow column of string lists, got a column of strings$"):
        native.cosine_join(pa.array(["a"]), 0.5)
    with pytest.raises(TypeError, match="dictionary-encoded"):
        native.cluster_canonicals(pa.array(["a", "b", "a"]).dictionary_encode(), 0.5)
    with pytest.raises(TypeError, match="record batch of 2 columns"):
        native.cluster_canonicals(pa.table({"a": ["x"], "b": ["y"]}), 0.5)
    with pytest.raises(ValueError, match="differ in length: 2 and 1"):
        simsieve.ratio(pa.array(["a", "b"]), pa.array(["a"]))


def test_plain_sequences_keep_their_rules():
    # Lists keep today's conversion and messages; a numpy array of str is a sequence, not a column.
    with pytest.raises(TypeError, match=r"^argument 'canonicals': 'int' object is not an instance of 'str'$"):
        native.cluster_canonicals(["a", 1], 0.5)
    with pytest.raises(TypeError, match=r"^argument 'canonicals': Can't extract `str` to `Vec`$"):
        native.cluster_canonicals("ab", 0.5)
    assert native.cluster_canonicals(np.array(["ab", "ab"]), 0.5) == [([0, 1], 1.0)]
    assert simsieve.ratio([("ab", "ab")]) == [1.0]
    assert simsieve.get_close_matches("ab", ("ab", "ac"), 3, 0.5) == ["ab", "ac"]


def test_arrow_results_round_trip():
    expected = native.cluster_canonicals(TEXTS, 0.8)
    result = simsieve.cluster_canonicals(pa.array(TEXTS), 0.8, as_arrow=True)
    assert isinstance(result, simsieve.ArrowTable) and result.column_names == ["cluster", "member", "min_ratio"]
    table = pa.table(result)
    assert table.schema.types == [pa.int64(), pa.int64(), pa.float64()]
    rebuilt = {}
    for row in table.to_pylist():
        members, ratio = rebuilt.setdefault(row["cluster"], ([], row["min_ratio"]))
        members.append(row["member"])
    assert [rebuilt[k] for k in sorted(rebuilt)] == [(m, r) for m, r in expected]
    assert len(result) == sum(len(m) for m, _ in expected)
    # The same object exports again, and to polars, pandas and a record batch.
    assert pl.DataFrame(result).to_dicts() == table.to_pylist()
    assert pa.record_batch(result).to_pylist() == table.to_pylist()
    lsh = simsieve.cluster_canonicals_lsh(TEXTS, 0.8, 64, 4, as_arrow=True)
    assert pa.table(lsh).num_rows == sum(len(m) for m, _ in native.cluster_canonicals_lsh(TEXTS, 0.8, 64, 4))
    pairs = simsieve.cosine_join(DOCS, 0.3, as_arrow=True)
    assert [tuple(r.values()) for r in pa.table(pairs).to_pylist()] == native.cosine_join(DOCS, 0.3)
    assert pa.table(pairs).column_names == ["j", "i", "cos"]


def test_float_result_zero_copy():
    a, b = shuffled_pairs()
    result = simsieve.ratio(pa.array(a), pa.array(b))
    as_np = np.asarray(result)
    as_pa = pa.array(result)
    assert as_pa.buffers()[1].address == as_np.ctypes.data
    series = pl.Series(result)
    assert series.to_list() == result.tolist()
    assert series.to_numpy().ctypes.data == as_np.ctypes.data  # polars took our buffer in place


def test_sequence_whose_export_needs_a_missing_library_is_read_as_a_sequence():
    class Series:
        """A sequence whose Arrow export needs a library that is not installed."""

        def __init__(self, items):
            self.items = items

        def __len__(self):
            return len(self.items)

        def __getitem__(self, k):
            return self.items[k]

        def __arrow_c_stream__(self, requested_schema=None):
            raise ImportError("pyarrow is required")

    assert native.cluster_canonicals(Series(["ab", "ab"]), 0.5) == [([0, 1], 1.0)]
    assert native.cosine_join(Series([["a"], ["a"], ["b"]]), 0.5) == native.cosine_join([["a"], ["a"], ["b"]], 0.5)

    class NotASequence:
        def __arrow_c_stream__(self, requested_schema=None):
            raise ImportError("pyarrow is required")

    with pytest.raises(ImportError):
        native.cluster_canonicals(NotASequence(), 0.5)
