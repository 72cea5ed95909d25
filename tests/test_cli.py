"""The simsieve command-line tool, run as a subprocess like a user would."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import simsieve

ROOT = Path(__file__).resolve().parent.parent
NAMES = ROOT / "examples" / "names.txt"


def cli(*args, stdin=None, env=None):
    return subprocess.run([sys.executable, "-m", "simsieve", *args], input=stdin, capture_output=True,
                          env={**os.environ, **(env or {})}, timeout=120)


def test_ratio_command_prints_the_exact_ratio():
    done = cli("ratio", "john smith", "jon smyth")
    assert done.returncode == 0
    assert float(done.stdout.decode()) == simsieve.ratio("john smith", "jon smyth")


def test_input_errors_name_the_file_and_exit_2(tmp_path):
    missing = tmp_path / "nope.txt"
    done = cli("cluster", str(missing))
    assert done.returncode == 2
    assert done.stdout == b""
    assert str(missing) in done.stderr.decode() and len(done.stderr.decode().strip().splitlines()) == 1

    bad = tmp_path / "bad.txt"
    bad.write_bytes(b"fine\nalso fine\n\xff\xfe broken\n")
    done = cli("join", str(bad))
    assert done.returncode == 2
    assert done.stdout == b""
    assert f"{bad}:3:" in done.stderr.decode()


def test_invalid_option_values_are_usage_errors():
    for args in (("cluster", "-", "--threshold", "abc"), ("cluster", "-", "--threads", "-1"),
                 ("cluster", "-", "--format", "xml"), ("bogus",)):
        done = cli(*args, stdin=b"")
        assert done.returncode == 2
        assert b"usage:" in done.stderr


needs_cluster = pytest.mark.skipif(not hasattr(simsieve, "cluster_canonicals"), reason="clustering not built")


@needs_cluster
def test_cluster_formats_agree_with_the_library():
    lines = NAMES.read_text(encoding="utf-8").splitlines()
    expected = simsieve.cluster_canonicals(lines, 0.8)
    done = cli("cluster", str(NAMES), "--format", "json")
    assert done.returncode == 0, done.stderr
    got = json.loads(done.stdout)
    assert sorted((tuple(m["line"] - 1 for m in c["members"]), c["min_ratio"]) for c in got) == \
        sorted((tuple(m), r) for m, r in expected)
    sizes = [c["size"] for c in got]
    assert sizes == sorted(sizes, reverse=True)
    for c in got:
        assert all(m["text"] == lines[m["line"] - 1] for m in c["members"])

    text = cli("cluster", str(NAMES)).stdout.decode()
    assert text.count("cluster ") == len(expected)
    rows = cli("cluster", str(NAMES), "--format", "csv").stdout.decode().splitlines()
    assert rows[0] == "cluster,size,min_ratio,line,text"
    assert len(rows) - 1 == sum(len(m) for m, _ in expected)


@needs_cluster
def test_cluster_reads_stdin_and_reports_progress():
    data = NAMES.read_bytes()
    done = cli("cluster", "-", "--threshold", "0.7", "--progress", stdin=data)
    assert done.returncode == 0
    assert b"cluster 1:" in done.stdout
    assert done.stderr.strip(), "progress lines expected on standard error"
    quiet = cli("cluster", "-", "--threshold", "0.7", stdin=data)
    assert quiet.stderr == b"" and quiet.stdout == done.stdout


@pytest.mark.skipif(not hasattr(simsieve, "cluster_canonicals_lsh"), reason="LSH not built")
def test_cluster_lsh_matches_the_library():
    lines = NAMES.read_text(encoding="utf-8").splitlines()
    expected = simsieve.cluster_canonicals_lsh(lines, 0.7, 64, 2)
    done = cli("cluster", str(NAMES), "--lsh", "--num-perm", "64", "--band-rows", "2", "--threshold", "0.7",
               "--format", "json")
    assert done.returncode == 0, done.stderr
    got = json.loads(done.stdout)
    assert sorted(tuple(m["line"] - 1 for m in c["members"]) for c in got) == sorted(tuple(m) for m, _ in expected)


@pytest.mark.skipif(not hasattr(simsieve, "cosine_join"), reason="cosine join not built")
def test_join_matches_the_library(tmp_path):
    docs = ["the quick brown fox", "the quick brown dog", "a slow green turtle", "the quick brown fox", ""]
    path = tmp_path / "docs.txt"
    path.write_text("\n".join(docs) + "\n", encoding="utf-8")
    expected = simsieve.cosine_join([d.split() for d in docs], 0.5)
    done = cli("join", str(path), "--threshold", "0.5", "--format", "json")
    assert done.returncode == 0, done.stderr
    got = json.loads(done.stdout)
    assert [(p["line_a"] - 1, p["line_b"] - 1, p["cosine"]) for p in got] == [tuple(p) for p in expected]
    text = cli("join", str(path), "--threshold", "0.5").stdout.decode()
    assert text.count("cosine") == len(expected)
