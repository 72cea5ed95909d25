"""Progress lines of the exact edge search on standard error, switched on by SIMSIEVE_PROGRESS."""

import collections
import json
import os
import random
import re
import subprocess
import sys

import pytest

LINE = re.compile(r"^    \[simsieve\] edges: (\d+)/(\d+) candidates \((\d+)%\), (\d+) tested, (\d+) edges$")

RUNNER = """
import json, sys
from simsieve import _simsieve as native
canonicals, threshold = json.load(open(sys.argv[1]))
result = native.cluster_canonicals(canonicals, threshold)
json.dump(result, open(sys.argv[2], "w"))
"""


def run(tmp_path, canonicals, threshold, progress):
    env = dict(os.environ)
    env.pop("SIMSIEVE_PROGRESS", None)
    if progress is not None:
        env["SIMSIEVE_PROGRESS"] = progress
    src, dst = tmp_path / "in.json", tmp_path / "out.json"
    src.write_text(json.dumps([canonicals, threshold]))
    proc = subprocess.run(
        [sys.executable, "-c", RUNNER, str(src), str(dst)], env=env, capture_output=True, text=True, check=True
    )
    assert proc.stdout == ""
    return proc.stderr, json.loads(dst.read_text())


def ranked_pair_count(canonicals, threshold):
    """Pairs that survive the length and character-count bounds (the list the edge search ranks)."""
    order = sorted(range(len(canonicals)), key=lambda k: len(canonicals[k]))
    hist = [collections.Counter(s) for s in canonicals]
    count = 0
    for p, a in enumerate(order):
        for b in order[p + 1 :]:
            la, lb = len(canonicals[a]), len(canonicals[b])
            if threshold > (1.0 if la + lb == 0 else (min(la, lb) * 2.0) / (la + lb)):
                break
            overlap = sum((hist[a] & hist[b]).values())
            bound = 1.0 if la + lb == 0 else 0.0 if la == 0 or lb == 0 else (overlap * 2.0) / (la + lb)
            if not threshold > bound:
                count += 1
    return count


def batch_ends(m):
    ends, done, batch = [], 0, min(max(m // 16, 32), 256)
    while done < m:
        done = min(m, done + batch)
        ends.append(done)
        batch = min(2 * batch, 2048)
    return ends


def distinct_words(seed, n):
    rnd = random.Random(seed)
    words = set()
    while len(words) < n:
        words.add("".join(rnd.choice("abcdef") for _ in range(rnd.randint(3, 8))))
    return sorted(words)


@pytest.mark.parametrize("value", ["", "0", "yes"])
def test_lines_format_and_counts(tmp_path, value):
    canonicals = distinct_words(1, 150)
    threshold = 0.6
    stderr, result = run(tmp_path, canonicals, threshold, value)
    m = ranked_pair_count(canonicals, threshold)
    assert m >= 32
    lines = stderr.splitlines()
    assert lines and stderr.endswith("\n")
    ends = batch_ends(m)
    previous_end, previous_edges = 0, 0
    batch_size = dict(zip(ends, [b - a for a, b in zip([0] + ends, ends)]))
    for line in lines:
        match = LINE.match(line)
        assert match, line
        done, total, percent, tested, edges = map(int, match.groups())
        assert total == m
        assert done in batch_size and done > previous_end
        assert f"{done / total * 100:.0f}" == match.group(3)
        assert 1 <= tested <= batch_size[done]
        assert edges >= previous_edges
        previous_end, previous_edges = done, edges
    # The edges join every clustered canonical to its cluster.
    assert previous_edges >= sum(len(members) - 1 for members, _ in result)
    # Same clusters as a run without reporting.
    assert run(tmp_path, canonicals, threshold, None)[1] == result


def test_first_batch_fully_tested_and_percent_rounding(tmp_path):
    # At threshold 0 every pair is ranked and the first batch has nothing skipped yet.
    canonicals = distinct_words(2, 40)
    stderr, _ = run(tmp_path, canonicals, 0.0, "")
    m = 40 * 39 // 2
    first = LINE.match(stderr.splitlines()[0])
    assert first.groups()[:2] == (str(48), str(m))  # batch = 780 // 16 = 48
    assert first.group(3) == "6"  # 48 / 780 = 6.15 %
    assert first.group(4) == "48"


def test_silent_when_unset(tmp_path):
    stderr, result = run(tmp_path, distinct_words(1, 150), 0.6, None)
    assert stderr == "" and result


def test_silent_below_32_ranked_pairs(tmp_path):
    canonicals = ["john smith", "jon smith", "mary jones", "maria jones", "peter", "petra", "x" * 30]
    assert ranked_pair_count(canonicals, 0.7) < 32
    stderr, result = run(tmp_path, canonicals, 0.7, "")
    assert stderr == "" and result
    assert run(tmp_path, ["only one"], 0.0, "")[0] == ""
    assert run(tmp_path, [], 0.0, "")[0] == ""


def test_percent_rounds_half_to_even(tmp_path):
    # 253 pairs among permutations of "abcd" plus 3 among permutations of "xyz" (cross pairs share
    # no character): 256 ranked pairs, batch ends 32, 96, 224, 256 = 12.5 %, 37.5 %, 87.5 %, 100 %.
    import itertools

    canonicals = ["".join(p) for p in itertools.permutations("abcd")][:23] + ["xyz", "zyx", "yxz"]
    assert ranked_pair_count(canonicals, 0.5) == 256
    stderr, _ = run(tmp_path, canonicals, 0.5, "")
    shown = {int(m.group(1)): m.group(3) for m in map(LINE.match, stderr.splitlines())}
    assert shown[32] == "12"
    expected = {32: "12", 96: "38", 224: "88", 256: "100"}
    assert {done: expected[done] for done in shown} == shown
