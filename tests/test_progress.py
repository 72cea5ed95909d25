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


def run(tmp_path, canonicals, threshold, progress, runner=RUNNER):
    env = dict(os.environ)
    env.pop("SIMSIEVE_PROGRESS", None)
    if progress is not None:
        env["SIMSIEVE_PROGRESS"] = progress
    src, dst = tmp_path / "in.json", tmp_path / "out.json"
    src.write_text(json.dumps([canonicals, threshold]))
    proc = subprocess.run(
        [sys.executable, "-c", runner, str(src), str(dst)], env=env, capture_output=True, text=True, check=True
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


# ---------------------------------------------------------------- progress= callbacks

import simsieve  # noqa: E402


class Recorder:
    def __init__(self, fail_on=None):
        self.calls = []
        self.fail_on = fail_on

    def __call__(self, phase, done, total):
        assert isinstance(phase, str) and isinstance(done, int) and isinstance(total, int)
        self.calls.append((phase, done, total))
        if self.fail_on and phase == self.fail_on:
            raise RuntimeError(f"stop at {phase}")

    def finished(self):
        return [phase for phase, done, total in self.calls if done == total]

    def check_counts(self):
        last = {}
        for phase, done, total in self.calls:
            assert 0 <= done <= total
            # Within one phase, counts only grow.
            if phase in last and last[phase][1] == total:
                assert done >= last[phase][0] or done == total
            last[phase] = (done, total)


def lines(n, seed=0):
    rnd = random.Random(seed)
    words = ["self", "return", "value", "items", "key", "def", "for", "in", "None", "if", "(", ")", ":"]
    out = []
    for _ in range(n):
        out.append(" ".join(rnd.choice(words) for _ in range(rnd.randint(2, 7))))
    return out


def test_cluster_canonicals_reports_each_phase_once_finished():
    canonicals = lines(400)
    recorder = Recorder()
    result = simsieve.cluster_canonicals(canonicals, 0.7, progress=recorder)
    assert result == simsieve.cluster_canonicals(canonicals, 0.7)
    assert recorder.finished() == ["candidates", "edges", "minima"]
    recorder.check_counts()
    # One candidate step per canonical (the third and later copies of a string are set aside).
    assert any(phase == "candidates" and len(set(canonicals)) <= total <= 400 for phase, _, total in recorder.calls)
    # On a pool of its own (threads=N), the call reports the same phases.
    recorder = Recorder()
    assert simsieve.cluster_canonicals(canonicals, 0.7, threads=2, progress=recorder) == result
    assert recorder.finished() == ["candidates", "edges", "minima"]
    recorder = Recorder()
    simsieve.cosine_join([line.split() for line in canonicals], 0.6, threads=3, progress=recorder)
    assert recorder.finished() == ["join"]


def test_lsh_and_join_report_their_phases():
    canonicals = lines(300, 1)
    recorder = Recorder()
    result = simsieve.cluster_canonicals_lsh(canonicals, 0.7, 64, 4, progress=recorder)
    assert result == simsieve.cluster_canonicals_lsh(canonicals, 0.7, 64, 4)
    assert recorder.finished() == ["signatures", "candidates", "verify", "minima"]
    recorder.check_counts()

    docs = [line.split() for line in canonicals]
    recorder = Recorder()
    assert simsieve.cosine_join(docs, 0.6, progress=recorder) == simsieve.cosine_join(docs, 0.6)
    assert recorder.calls[-1] == ("join", 300, 300)
    recorder.check_counts()


def word_lines(n, seed=5):
    rnd = random.Random(seed)
    words = ["self", "return", "value", "items", "key", "def", "for", "in", "None", "if", "(", ")", ":",
             "data", "name", "x", "y", "=", "+", "len", "range", "print", "result", "append"]
    return [" ".join(rnd.choice(words) for _ in range(rnd.randint(4, 12))) for _ in range(n)]


@pytest.mark.parametrize("threads", [0, 2])
def test_running_phase_reported_across_many_short_parallel_steps(threads):
    # The candidate scan of 200 000 lines is a long run of parallel steps, each far shorter than the
    # interval between reports; the caller still hears of the running phase while the scan goes on,
    # as it must to see Ctrl-C in time.
    recorder = Recorder()
    simsieve.cluster_canonicals(word_lines(200_000), 0.9, threads=threads, progress=recorder)
    recorder.check_counts()
    running = [done for phase, done, total in recorder.calls if phase == "candidates" and done < total]
    assert running, recorder.calls


def test_lsh_reports_its_signatures_and_banding_while_they_run():
    # Signatures are counted as they are made, and the banding, a loop on the calling thread with no
    # wait in it, still lets the caller report (and see Ctrl-C) on time.
    recorder = Recorder()
    simsieve.cluster_canonicals_lsh(word_lines(200_000), 0.9, 128, 4, progress=recorder)
    recorder.check_counts()
    running = {phase for phase, done, total in recorder.calls if 0 < done < total}
    assert running & {"signatures", "candidates"}, recorder.calls


@pytest.mark.parametrize("phase", ["candidates", "minima"])
def test_callback_exception_aborts_the_call(phase):
    with pytest.raises(RuntimeError, match=f"stop at {phase}"):
        simsieve.cluster_canonicals(lines(300, 2), 0.7, progress=Recorder(fail_on=phase))
    with pytest.raises(RuntimeError, match="stop at join"):
        simsieve.cosine_join([line.split() for line in lines(50)], 0.5, progress=Recorder(fail_on="join"))


def test_progress_none_and_not_callable():
    assert simsieve.cluster_canonicals(["ab", "ab"], 0.5, progress=None) == [([0, 1], 1.0)]
    with pytest.raises(TypeError, match="progress must be a callable or None"):
        simsieve.cluster_canonicals(["ab", "ab"], 0.5, progress=3)
    with pytest.raises(TypeError):
        simsieve.cluster_canonicals(["ab"], 0.5, 0, print)  # progress is keyword-only


def test_progress_lines_unchanged_with_callback(tmp_path):
    # The SIMSIEVE_PROGRESS lines do not depend on whether a callback listens.
    runner = RUNNER.replace(
        "native.cluster_canonicals(canonicals, threshold)",
        "__import__('simsieve').cluster_canonicals(canonicals, threshold, progress=lambda *a: None)",
    )
    canonicals = distinct_words(1, 150)
    env = dict(os.environ, SIMSIEVE_PROGRESS="1")
    src, dst = tmp_path / "in.json", tmp_path / "out.json"
    src.write_text(json.dumps([canonicals, 0.6]))
    proc = subprocess.run([sys.executable, "-c", runner, str(src), str(dst)], env=env, capture_output=True, text=True, check=True)
    assert proc.stderr == run(tmp_path, canonicals, 0.6, "1")[0]


def test_progress_with_arrow_results():
    pa = pytest.importorskip("pyarrow")
    recorder = Recorder()
    table = pa.table(simsieve.cluster_canonicals(["ab", "ab", "cd"], 0.5, as_arrow=True, progress=recorder))
    assert table.column("member").to_pylist() == [0, 1]
    assert recorder.finished()[-1] == "minima"
    docs = [["a", "b"], ["a", "b"], ["c"]]
    pairs = pa.table(simsieve.cosine_join(docs, 0.5, as_arrow=True, progress=Recorder()))
    assert [tuple(r.values()) for r in pairs.to_pylist()] == simsieve.cosine_join(docs, 0.5)


HOLDING_RUNNER = """
import json, sys
from simsieve import _testing as testing
canonicals, threshold = json.load(open(sys.argv[1]))
result = testing.cluster_holding(canonicals, threshold, 40, 8)
json.dump([[list(m), r] for m, r in result], open(sys.argv[2], "w"))
"""


def test_lines_count_one_ranked_list_when_the_scan_could_hand_over(tmp_path):
    # Without lines, the scan hands its waiting candidates to the edge search as soon as more than
    # the hold are waiting (40 here); with lines on, it keeps holding them, so that the lines count
    # every candidate as one ranked list, as without any hold. The clusters are the same either way.
    pytest.importorskip("simsieve._testing")
    canonicals = distinct_words(3, 150)
    threshold = 0.6
    m = ranked_pair_count(canonicals, threshold)
    assert m > 40
    with_lines, clusters = run(tmp_path, canonicals, threshold, "1", HOLDING_RUNNER)
    silent, clusters_silent = run(tmp_path, canonicals, threshold, None, HOLDING_RUNNER)
    lines = with_lines.splitlines()
    assert lines and silent == ""
    totals = {int(LINE.match(line).group(2)) for line in lines}
    assert totals == {m}
    assert clusters == clusters_silent
    assert [[list(mm), r] for mm, r in run(tmp_path, canonicals, threshold, None)[1]] == clusters
