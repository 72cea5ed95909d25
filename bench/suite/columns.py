"""Columns in, columns out: the same pairs and lines given as Python lists, pyarrow columns and
polars Series (bench_columns.py measures; this part lays its figures out in the report)."""

from __future__ import annotations

import importlib.util

import bench_columns

from .common import Context, Section, Table, cell, fmt_seconds, median


def columns(ctx: Context) -> Section:
    section = Section("columns", "columns: Arrow and polars inputs against lists")
    if importlib.util.find_spec("pyarrow") is None or importlib.util.find_spec("polars") is None:
        section.text.append("Not measured: pyarrow and polars are not installed in this environment.")
        return section
    n_pairs = 50_000 if ctx.quick else 1_000_000
    n_lines = 20_000 if ctx.quick else 1_000_000
    ratio = bench_columns.ratio_part(n_pairs, ctx.runs)
    seconds = ratio["seconds"]
    section.text.append(
        f"First table: `simsieve.ratio(a, b)` over {n_pairs:,} pairs of stripped standard-library code lines (mean "
        f"{ratio['mean_len']:.0f} characters; half a line and an edited copy, half two random lines), "
        f"given as a list of pairs, as two pyarrow `string` columns and as two polars Series (exported "
        f"as `string_view`). The conversion alone is timed by a call that fails after it: columns of "
        f"unequal length (both imported and checked, every offset and every byte for UTF-8), and a "
        f"list whose last item is not a tuple. {ctx.runs} runs, all ways interleaved run by run; "
        f"the ratio is each way's time over the list path's, run by run.")
    table = Table(["input", "call (vs list, threads=2)", "conversion only", "conversion share"])
    ours = seconds["list of pairs, threads=2"]
    for kind, whole in (("list of pairs", "threads=2"), ("pyarrow columns", "threads=1"),
                        ("pyarrow columns", "threads=2"), ("polars columns", "threads=2")):
        call = seconds[f"{kind}, {whole}"]
        conversion = seconds[f"{kind}, conversion only"]
        share = median(conversion) / median(call)
        table.add(f"{kind}, {whole}", cell(call, None if kind == "list of pairs" else ours),
                  fmt_seconds(median(conversion)), f"{share:.1%}")
    section.tables.append(table)
    one, two = median(seconds["pyarrow columns, threads=1"]), median(seconds["pyarrow columns, threads=2"])
    section.text.append(
        f"1 → 2 threads on pyarrow columns: {one / two:.2f}×. Python allocations during the call "
        f"(tracemalloc peak): {ratio['tracemalloc peak, columns']:,} bytes from columns, "
        f"{ratio['tracemalloc peak, list']:,} bytes from the list (a Python float per result).")

    out = ratio["output"]
    onward = Table(["float64 results taken by", "from the FloatArray (columns)", "from the list of floats"])
    for target in ("numpy.asarray", "pyarrow.array", "polars.Series"):
        onward.add(target, fmt_seconds(out[f"{target}(FloatArray)"]), fmt_seconds(out[f"{target}(list)"]))
    section.text.append(
        f"Second table: the {n_pairs:,} results taken onward (median of {ctx.runs}): a column input returns a float64 "
        f"`FloatArray` that numpy, pyarrow and polars take without a copy; a list input returns a list "
        f"of Python floats that each of them converts.")
    section.tables.append(onward)

    cluster = bench_columns.cluster_part(n_lines)
    memory = Table(["input", "RSS before the call (input held)", "peak RSS", "seconds", "clusters"])
    for kind, label in (("list", "list of str"), ("polars", "polars column")):
        c = cluster[kind]
        memory.add(label, f"{c['before'] / 2**20:.0f} MiB", f"{c['peak'] / 2**20:.0f} MiB", f"{c['seconds']:.1f}",
                   f"{c['clusters']:,}")
    section.text.append(
        f"Third table: LSH clustering (threshold 0.9, num_perm 32, band_rows 4) of {cluster['list']['n']:,} code lines, "
        f"each input in a fresh process: a list of str read from a text file, and a polars column read "
        f"from Parquet. One run each.")
    section.tables.append(memory)
    section.raw = {"ratio": ratio, "cluster": cluster}
    return section
