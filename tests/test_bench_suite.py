"""The benchmark report's own correctness: its difference counts must catch a wrong result, its
budget must leave out what would not fit, and one command must produce the report."""

from __future__ import annotations

import difflib
import json
import math
import os
import subprocess
import sys
from pathlib import Path

import pytest

BENCH = Path(__file__).resolve().parent.parent / "bench"
sys.path.insert(0, str(BENCH))

from suite import cluster, ratio  # noqa: E402
from suite.common import Budget, Context, count_differences  # noqa: E402


def test_a_wrong_peer_is_counted_pair_by_pair():
    pairs = [("abcd", "abcd"), ("kitten", "sitting"), ("", ""), ("abc", "abd"), ("x" * 50, "x" * 49 + "y")]

    def off_by_one_bit(a, b):
        r = ratio.difflib_ratio(a, b)
        return math.nextafter(r, 0.0) if a == b else r

    impls = [("simsieve", ratio.native.ratio), ("difflib", ratio.difflib_ratio), ("faulty", off_by_one_bit)]
    _, _, values = ratio.measure_pairs(Context(runs=1), impls, pairs, runs=1, min_seconds=0.0)
    truth = values["difflib"]
    assert count_differences(values["simsieve"], truth) == 0
    assert count_differences(values["faulty"], truth) == 2
    assert ratio.differences("faulty", values["faulty"], truth) == "faulty 2"
    assert count_differences([math.nan], [math.nan]) == 1
    with pytest.raises(ValueError):
        count_differences([1.0], [1.0, 1.0])


def test_cluster_check_sees_members_and_minimum():
    lines = ["john smith", "jon smith", "john smyth", "mary jones", "mary jane", "zzz"]
    truth = cluster.difflib_clusters(lines, 0.7)
    ours = ratio.native.cluster_canonicals(lines, 0.7)
    assert cluster.clusters_differing(ours, truth) == 0
    members, low = ours[0]
    assert cluster.clusters_differing([(members, math.nextafter(low, 2.0))] + ours[1:], truth) == 2
    assert cluster.clusters_differing([(members[:-1], low)] + ours[1:], truth) == 2
    a, b = lines[0], lines[1]
    assert truth[0][1] == min(difflib.SequenceMatcher(None, x, y, autojunk=False).ratio()
                              for x, y in [(a, b), (a, lines[2]), (b, lines[2])])


def test_budget_shrinks_runs_then_leaves_out():
    budget = Budget(100.0, runs=5)
    assert budget.plan("peer", 1000) == (5, None)
    budget.record("peer", 1000, 4.0)
    assert budget.plan("peer", 2000) == (5, 16.0)      # 16 s a run, 5 runs fit
    assert budget.plan("peer", 4000) == (1, 64.0)      # one run fits
    assert budget.plan("peer", 8000) == (0, 256.0)     # one run alone is over budget
    assert budget.plan("peer", 2000, exponent=1.0) == (5, 8.0)


@pytest.mark.skipif(os.environ.get("SIMSIEVE_TEST_PROFILE") == "sanitize",
                    reason="runs the whole benchmark driver: minutes under sanitizers, and no native code of its own")
def test_one_command_writes_the_report(tmp_path):
    out = tmp_path / "report"
    cmd = [sys.executable, str(BENCH / "run.py"), "--no-venv", "--quick", "--runs", "1", "--peers", "difflib",
           "--only", "ratio_by_size", "cluster_exact", "--out", str(out)]
    subprocess.run(cmd, check=True, capture_output=True, text=True, timeout=600)
    report = (out / "RESULTS.md").read_text()
    data = json.loads((out / "results.json").read_text())
    assert [s["key"] for s in data["sections"]] == ["ratio_by_size", "cluster_exact"]

    by_size = data["sections"][0]["tables"][0]
    assert [row[0] for row in by_size["rows"]] == ["100", "1,000", "10,000"]
    # The time budget may leave difflib out of the largest size on a slow (sanitizer) build; every
    # size it did run must agree with simsieve, and the smallest always runs.
    verdicts = [row[-1] for row in by_size["rows"]]
    assert verdicts[0] == "simsieve 0" and set(verdicts) <= {"simsieve 0", "difflib not run"}, by_size["rows"]
    assert by_size["columns"][2:4] == ["simsieve", "difflib"]

    exact = data["sections"][1]["tables"][0]
    checked = [row for row in exact["rows"] if row[-1] != "not checked"]
    assert checked and all(row[-1] == "0" for row in checked), exact["rows"]
    assert "| cores |" in report and "## ratio against document size" in report

    # The report is redrawn from its numbers alone.
    again = tmp_path / "again"
    subprocess.run([sys.executable, str(BENCH / "run.py"), "--from-json", str(out / "results.json"),
                    "--out", str(again)], check=True, capture_output=True, timeout=120)
    assert (again / "RESULTS.md").read_text() == report

    # Measuring one workload again replaces only that part, and the report says so.
    subprocess.run(cmd[:cmd.index("--only")] + ["--merge", "--only", "ratio_by_size", "--out", str(out)],
                   check=True, capture_output=True, timeout=600)
    merged = json.loads((out / "results.json").read_text())
    assert [s["key"] for s in merged["sections"]] == ["ratio_by_size", "cluster_exact"]
    assert merged["sections"][1] == data["sections"][1]
    assert merged["sections"][0]["started"] != "" and merged["info"]["merged"][0]["keys"] == ["ratio_by_size"]
    assert "Measured again" in (out / "RESULTS.md").read_text()


@pytest.mark.skipif(os.environ.get("SIMSIEVE_TEST_PROFILE") == "sanitize", reason="reads the whole standard library")
def test_columns_part_times_every_input_on_the_same_pairs():
    pytest.importorskip("pyarrow")
    pytest.importorskip("polars")
    import bench_columns

    # ratio_part checks that lists, pyarrow and polars give the same ratios before it times them.
    figures = bench_columns.ratio_part(300, 2)
    assert set(figures["seconds"]) == {
        f"{kind}, {what}" for kind in ("list of pairs", "pyarrow columns", "polars columns")
        for what in ("threads=2", "conversion only")} | {"pyarrow columns, threads=1"}
    assert all(len(times) == 2 for times in figures["seconds"].values())
    assert figures["tracemalloc peak, list"] > 300 * 24 > figures["tracemalloc peak, columns"]
    assert len(figures["output"]) == 6
