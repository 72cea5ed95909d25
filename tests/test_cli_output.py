"""The command line's native row output: byte for byte what per-row Python formatting writes."""

import csv
import io
import json
import math
import struct

import pytest
from hypothesis import given
from hypothesis import strategies as st

import simsieve
from simsieve import _simsieve, cli

TRICKY = [
    "plain",
    'say "hi", then leave',
    "tab\there",
    "new\nline and \r carriage",
    "trailing space ",
    "",
    "naïve café – 東京 😀",
    "ctrl \x00 \x01 \x1f \x7f bell\x07",
    "back\\slash / slash",
    "\u2028 line sep \u2029 and \ufeff bom",
    "lone surrogate escape \udcff\udc80",
    ",",
    '"',
]
SCORES = [1.0, 0.5, 1.0000000000000002, 0.1, 2 / 3, 1e-05, 1.5e-7, 5e-324, 0.0, 0.0078125, 0.9999995, 1e16, 0.30000000000000004]


def records(texts, first_line=1):
    return cli.Records(name="t", texts=list(texts), keys=list(texts),
                       lines=[first_line + 3 * k for k in range(len(texts))])


# The per-row Python formatting the native layouts must reproduce.

def csv_field(text):
    out = io.StringIO()
    csv.writer(out, lineterminator="\n").writerow([text, ""])
    return out.getvalue()[:-2]


def reference_rows(left, right, rows, fmt, names):
    if fmt == "csv":
        yield ",".join(names) + "\n"
        for a, b, score in rows:
            yield (f"{left.lines[a]},{csv_field(left.texts[a])},{right.lines[b]},{csv_field(right.texts[b])},"
                   f"{score!r}\n")
        return
    objects = [json.dumps({names[0]: left.lines[a], names[1]: left.texts[a], names[2]: right.lines[b],
                           names[3]: right.texts[b], names[4]: score}, ensure_ascii=False) for a, b, score in rows]
    if fmt == "jsonl":
        yield "".join(o + "\n" for o in objects)
    else:
        yield "[\n  " + ",\n  ".join(objects) + "\n]\n" if objects else "[]\n"


def reference_pairs(recs, pairs, fmt):
    if fmt != "text":
        yield from reference_rows(recs, recs, pairs, fmt, ("line_a", "text_a", "line_b", "text_b", "cosine"))
        return
    for j, i, cos in pairs:
        yield (f"lines {recs.lines[j]} and {recs.lines[i]}: cosine {cos:.6f}\n"
               f"  {recs.lines[j]}: {recs.texts[j]}\n  {recs.lines[i]}: {recs.texts[i]}\n")
    if not pairs:
        yield "no pairs\n"


def reference_matches(queries, choices, matches, fmt):
    if fmt != "text":
        yield from reference_rows(queries, choices, matches, fmt, ("query_line", "query", "choice_line", "choice", "score"))
        return
    current = -1
    for q, c, score in matches:
        if q != current:
            yield f"query line {queries.lines[q]}: {queries.texts[q]}\n"
        current = q
        yield f"  {score:.6f}  line {choices.lines[c]}: {choices.texts[c]}\n"
    if not matches:
        yield "no matches\n"


def written(pieces):
    sink = io.BytesIO()
    out = cli.Output(sink)
    out.write_all(pieces)
    out.close()
    return sink.getvalue()


@pytest.mark.parametrize("rows_per_chunk", [3, 16384])
@pytest.mark.parametrize("fmt", ["text", "csv", "jsonl", "json"])
def test_join_and_match_output_equal_per_row_formatting(monkeypatch, fmt, rows_per_chunk):
    # Chunks of 3 rows put chunk boundaries inside groups of a query's matches and between json
    # objects; the real chunk size puts every row in one chunk.
    monkeypatch.setattr(cli, "ROWS", rows_per_chunk)
    recs = records(TRICKY)
    n = len(TRICKY)
    pairs = [(j, i, SCORES[(j * n + i) % len(SCORES)]) for i in range(n) for j in range(i)]
    assert written(cli.format_pairs(recs, pairs, fmt)) == written(reference_pairs(recs, pairs, fmt))
    assert written(cli.format_pairs(recs, [], fmt)) == written(reference_pairs(recs, [], fmt))

    queries, choices = records(TRICKY[:5], 7), records(TRICKY[3:], 1000)
    matches = [(q, c, SCORES[(q + c) % len(SCORES)]) for q in (0, 0, 1, 3, 4) for c in range(len(TRICKY) - 3)
               if (q + c) % 3]
    matches.sort(key=lambda m: m[0])
    assert written(cli.format_matches(queries, choices, matches, fmt)) == \
        written(reference_matches(queries, choices, matches, fmt))
    assert written(cli.format_matches(queries, choices, [], fmt)) == written(reference_matches(queries, choices, [], fmt))


@pytest.mark.parametrize("fmt", ["text", "csv", "jsonl", "json"])
def test_join_output_from_arrow_columns_equals_tuples(monkeypatch, fmt):
    monkeypatch.setattr(cli, "ROWS", 4)
    texts = [f"shared {t} {k % 3}" for k, t in enumerate(TRICKY * 2)]
    recs = records(texts)
    docs = [[w for w in t.split() if not any(0xD800 <= ord(c) <= 0xDFFF for c in w)] for t in texts]  # no surrogates
    pairs = simsieve.cosine_join(docs, 0.1)
    columns = simsieve.cosine_join(docs, 0.1, as_arrow=True)
    assert len(pairs) > 20
    expected = written(reference_pairs(recs, pairs, fmt))
    assert written(cli.format_pairs(recs, columns, fmt)) == expected
    assert written(cli.format_pairs(recs, pairs, fmt)) == expected
    # Out-of-range rows are refused, never read past the tables.
    with pytest.raises(IndexError):
        written(cli.format_pairs(records(texts[:3]), columns, fmt))


def test_csv_and_json_output_read_back():
    recs = records(TRICKY)
    pairs = [(0, k, 0.25) for k in range(1, len(TRICKY))]
    text = written(cli.format_pairs(recs, pairs, "csv")).decode("utf-8", "surrogateescape")
    rows = list(csv.reader(io.StringIO(text, newline="")))
    assert [r[3] for r in rows[1:]] == TRICKY[1:]
    text = written(cli.format_pairs(recs, pairs, "json")).decode("utf-8", "surrogateescape")
    assert [o["text_b"] for o in json.loads(text)] == TRICKY[1:]


def shortest(values):
    rows = [(0, 0, x) for x in values]
    return _simsieve._format_rows([-1], [], rows, 0, len(rows), b"\n").decode().split("\n") if rows else []


def fixed(values, decimals):
    rows = [(0, 0, x) for x in values]
    return _simsieve._format_rows([decimals], [], rows, 0, len(rows), b"|").decode().split("|")


EDGE_FLOATS = [0.0, -0.0, math.inf, -math.inf, math.nan, -math.nan, 5e-324, -5e-324, 2.2250738585072014e-308,
               1.7976931348623157e308, 1e-5, 1e-4, 0.0001234, 1e15, 1e16, 9999999999999998.0, 1.2345e16, 1e22,
               123456789012345678.0, 0.1, 0.5, 2.5, 0.0078125, 0.0000005, 1.0000000000000002, 0.9999999999999999,
               100.0, 1e100, 1.5e-310]


def test_scores_read_as_python_formats_them():
    assert shortest(EDGE_FLOATS) == [repr(x) for x in EDGE_FLOATS]
    for decimals in (0, 4, 6, 17, 30):
        assert fixed(EDGE_FLOATS, decimals) == [format(x, f".{decimals}f") for x in EDGE_FLOATS]


@given(st.lists(st.floats() | st.integers(0, 2**64 - 1).map(lambda b: struct.unpack("<d", b.to_bytes(8, "little"))[0]),
                min_size=1, max_size=50))
def test_any_double_reads_as_repr_and_fixed(values):
    assert shortest(values) == [repr(x) for x in values]
    assert fixed(values, 6) == [format(x, ".6f") for x in values]


def test_format_rows_rejects_what_it_cannot_lay_out():
    table = (b"abcdef", struct.pack("=3Q", 0, 2, 6))
    rows = [(0, 1, 0.5), (1, 0, 0.25)]
    assert _simsieve._format_rows([(0, 0), b"-", (0, 1), b":", -1], [table], rows, 0, 2, b";") == b"ab-cdef:0.5;cdef-ab:0.25"
    assert _simsieve._format_rows([(0, 0, True), b"+"], [table], rows + [(1, 1, 0.0)], 1, 3, b"") == b"cdef++"
    assert _simsieve._format_rows([b"x"], [table], rows, 5, 9, b"") == b""
    with pytest.raises(IndexError):
        _simsieve._format_rows([(0, 1)], [table], [(0, 2, 0.5)], 0, 1, b"")
    with pytest.raises(IndexError):
        _simsieve._format_rows([(1, 0)], [table], rows, 0, 1, b"")
    with pytest.raises(TypeError, match="floats"):
        _simsieve._format_rows([-1], [table], [(0, 1, 1)], 0, 1, b"")
    with pytest.raises(TypeError):
        _simsieve._format_rows([-1], [table], [(0, 1)], 0, 1, b"")
    for offsets in (struct.pack("=3Q", 0, 4, 2), struct.pack("=3Q", 1, 2, 6), struct.pack("=3Q", 0, 2, 7), b"\0" * 7):
        with pytest.raises(ValueError):
            _simsieve._format_rows([(0, 0)], [(b"abcdef", offsets)], rows, 0, 1, b"")
    for layout in ([-2], [31], [(0, 2)], [1.5]):
        with pytest.raises((ValueError, TypeError)):
            _simsieve._format_rows(layout, [table], rows, 0, 1, b"")
