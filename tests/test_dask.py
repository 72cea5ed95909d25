"""simsieve.dask on a two-worker LocalCluster (processes) gives exactly the single-machine results,
also when a worker dies in the middle of a run; and the batch kernels it is built from agree with
the single-machine functions."""

import math
import os
import random
from array import array
import signal
import threading
import time
from pathlib import Path

import pytest

SANITIZE = os.environ.get("SIMSIEVE_TEST_PROFILE") == "sanitize"
distributed = pytest.importorskip("dask.distributed")
db = pytest.importorskip("dask.bag")
dd = pytest.importorskip("dask.dataframe")
pd = pytest.importorskip("pandas")

import dask  # noqa: E402

import simsieve  # noqa: E402
import simsieve.dask as sd  # noqa: E402
from simsieve import _simsieve  # noqa: E402


def stdlib_lines(count, seed):
    """Lines of standard-library sources with edits, copies, empty and non-ASCII strings."""
    rng = random.Random(seed)
    root = Path(random.__file__).parent
    lines = []
    for name in ("difflib.py", "textwrap.py", "string.py", "shlex.py"):
        lines += (root / name).read_text(encoding="utf-8").splitlines()
    lines = rng.sample(lines, min(count, len(lines)))
    edited = []
    for line in lines[: count // 3]:
        if line:
            k = rng.randrange(len(line))
            edited.append(line[:k] + rng.choice("éß中x ") + line[k + 1 :])
    lines += edited + ["", "", "   ", "naïve café", "naïve cafe", "🙂🙂 smile", "🙂🙂 smiles"]
    lines += rng.sample(lines, 20)  # copies scattered through the input
    rng.shuffle(lines)
    return lines


@pytest.fixture(scope="module")
def client():
    if SANITIZE:
        # Starting worker interpreters under the sanitizer preload takes most of a minute each;
        # the pipelines run on the threaded scheduler there instead (test_pipelines_in_process).
        pytest.skip("no worker processes under the sanitizer build")
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
    ) as cluster, distributed.Client(cluster) as c:
        yield c


def bags(items):
    """The same items under several partitionings: one partition, several, empty ones."""
    third = len(items) // 3
    pieces = [[], items[:third], [], items[third : 2 * third], items[2 * third :], []]
    return {
        "one": db.from_sequence(items, npartitions=1),
        "five": db.from_sequence(items, npartitions=5),
        "with-empty": db.from_delayed([dask.delayed(p) for p in pieces]),
    }


LINES = stdlib_lines(300, seed=7)


@pytest.mark.parametrize("threshold,num_perm,band_rows", [(0.7, 64, 4), (0.5, 16, 1)])
def test_lsh_equals_single_machine(client, threshold, num_perm, band_rows):
    expected = simsieve.cluster_canonicals_lsh(LINES, threshold, num_perm, band_rows)
    assert expected  # the input has clusters to get right
    for name, bag in bags(LINES).items():
        assert sd.cluster_canonicals_lsh(bag, threshold, num_perm, band_rows) == expected, name

def test_lsh_series_and_list_inputs(client):
    expected = simsieve.cluster_canonicals_lsh(LINES, 0.9, 32, 8)
    series = dd.from_pandas(pd.Series(LINES, dtype=object), npartitions=3)
    assert sd.cluster_canonicals_lsh(series, 0.9, 32, 8) == expected
    assert sd.cluster_canonicals_lsh(LINES, 0.9, 32, 8, npartitions=4, buckets=3) == expected
    frame = sd.clusters_to_frame(expected, npartitions=2).compute()
    assert list(frame.columns) == ["cluster", "member", "min_ratio"]
    assert len(frame) == sum(len(m) for m, _ in expected)


def test_lsh_edge_cases(client):
    assert sd.cluster_canonicals_lsh(db.from_sequence([], npartitions=1), 0.5, 16, 4) == []
    same = ["x"] * 5 + ["", ""]
    for threshold in (0.5, 1.0, 1.5):
        for band_rows in (4, 0, 17):
            assert sd.cluster_canonicals_lsh(same, threshold, 16, band_rows, npartitions=3) == \
                simsieve.cluster_canonicals_lsh(same, threshold, 16, band_rows)
    with pytest.raises(TypeError):
        sd.cluster_canonicals_lsh(["a", 3], 0.5, 16, 4)


def test_giant_cluster_split_into_blocks(client, monkeypatch):
    from simsieve.dask import _common

    monkeypatch.setattr(_common, "GIANT_CLUSTER", 8)
    monkeypatch.setattr(_common, "MIN_BLOCK", 5)
    lines = [f"common prefix of every line {k % 7} {k}" for k in range(40)] + LINES[:60]
    expected = simsieve.cluster_canonicals_lsh(lines, 0.6, 32, 4)
    assert max(len(m) for m, _ in expected) > 8
    assert sd.cluster_canonicals_lsh(lines, 0.6, 32, 4, npartitions=3) == expected
    assert sd.cluster_canonicals(lines, 0.6, npartitions=3) == simsieve.cluster_canonicals(lines, 0.6)


@pytest.mark.parametrize("threshold", [0.6, 1.0])
def test_exact_equals_single_machine(client, threshold):
    expected = simsieve.cluster_canonicals(LINES, threshold)
    for name, bag in list(bags(LINES).items())[1:]:
        # Small length blocks, so that many block pairs are compared and many are ruled out.
        assert sd.cluster_canonicals(bag, threshold, groups=7) == expected, name


@pytest.mark.parametrize("threshold", [0.2, 0.9])
def test_cosine_join_equals_single_machine(client, threshold):
    docs = [line.split() for line in LINES]
    docs += [["token"] * 3, ["token"], [], ["Token", ""], ["Token", ""]]
    expected = simsieve.cosine_join(docs, threshold)
    assert expected
    for name, bag in list(bags(docs).items())[1:]:
        assert sd.cosine_join(bag, threshold) == expected, name
    assert sd.cosine_join(docs, 1.0, npartitions=3) == simsieve.cosine_join(docs, 1.0)
    assert sd.cosine_join(docs[:1], 0.1) == []


def test_worker_killed_mid_run_gives_same_result(client):
    lines = stdlib_lines(1500, seed=11)
    expected = simsieve.cluster_canonicals_lsh(lines, 0.7, 64, 4)
    before = set(client.scheduler_info()["workers"])
    pids = client.run(os.getpid)
    killed = []

    def kill_a_busy_worker():
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            busy = [w for w, keys in client.processing().items() if keys and w in pids]
            if busy:
                os.kill(pids[busy[0]], signal.SIGKILL)
                killed.append(busy[0])
                return
            time.sleep(0.005)

    killer = threading.Thread(target=kill_a_busy_worker)
    killer.start()
    clusters = sd.cluster_canonicals_lsh(lines, 0.7, 64, 4, npartitions=24)
    killer.join()
    assert killed, "the run ended before a worker could be killed"
    assert clusters == expected
    client.wait_for_workers(2, timeout=60)
    assert set(client.scheduler_info()["workers"]) != before  # the killed worker was replaced


def test_kernels_agree_with_single_machine():
    texts = ["kitten sitting", "sitting kitten", "", "", "kitten"]
    verdicts = _simsieve.verify_pairs(texts, [0, 1, 2, 0], [1, 0, 3, 2], 0.3)
    assert verdicts[:2] == [simsieve.ratio(texts[0], texts[1]), simsieve.ratio(texts[1], texts[0])]
    assert verdicts[2:] == [1.0, None]
    with pytest.raises(IndexError):
        _simsieve.verify_pairs(texts, [9], [0], 0.5)
    pa = pytest.importorskip("pyarrow")
    column = pa.array(texts)  # an Arrow batch's column works as the batch of strings
    assert _simsieve.verify_pairs(column, [0, 1, 2, 0], [1, 0, 3, 2], 0.3) == verdicts
    assert _simsieve.lsh_band_hashes(column, 16, 4) == _simsieve.lsh_band_hashes(texts, 16, 4)

    # Minimum of a block: the smaller of `upper` and every meeting, both orientations where a
    # later first copy precedes an earlier last copy.
    words = ["abcdef", "abcxef", "fedcba", "abc"]
    first, last = [0, 1, 2, 3], [5, 1, 2, 3]
    brute = min(
        [simsieve.ratio(words[s], words[t]) for s in range(4) for t in range(s + 1, 4)]
        + [simsieve.ratio(words[t], words[0]) for t in range(1, 4)]
    )
    assert _simsieve.cluster_block_min(words, first, last, (0, 4), (0, 4)) == brute
    assert _simsieve.cluster_block_min(words, first, last, (0, 4), (0, 4), 0.01) == 0.01
    assert _simsieve.cluster_block_min(words, first, last, (1, 2), (3, 4)) == simsieve.ratio(words[1], words[3])
    with pytest.raises(ValueError):
        _simsieve.cluster_block_min(words, first, last, (0, 5), (0, 4))

    hashes = _simsieve.lsh_band_hashes(["same text!", "same text!", "other"], 16, 4)
    assert len(hashes) == 3 * 4 * 8 and hashes[:32] == hashes[32:64] != hashes[64:]
    assert _simsieve.lsh_band_hashes(["a"], 16, 0) == b"" == _simsieve.lsh_band_hashes(["a"], 16, 17)

    rows = [(0, [0, 1], [0.6, 0.8]), (4, [1], [1.0]), (9, [0, 1], [0.6, 0.8])]
    assert _simsieve.cosine_join_blocks(rows, None, [0.6, 1.0], 0.5) == [(0, 4, 0.8, 1), (0, 9, 1.0, 1), (4, 9, 0.8, 1)]
    assert _simsieve.cosine_join_blocks(rows[2:], rows[:2], [0.6, 1.0], 0.5) == [(0, 9, 1.0, 1), (4, 9, 0.8, 1)]
    with pytest.raises(ValueError):
        _simsieve.cosine_join_blocks(rows[:2], rows[2:], [0.6, 1.0], 0.5)


def partition_rows(parts):
    """The three TF-IDF passes over `parts` as the distributed join runs them, on this process:
    the concatenated (offsets, ranks, weights) of all partitions and the largest weight per rank."""
    from simsieve.dask import _cosine

    counted = [_simsieve.tfidf_count_tokens(p) for p in parts]
    n_docs = sum(len(p) for p in parts)
    features, doc_freq = _cosine._feature_numbers([_cosine._vocabulary(c) for c in counted])
    weighed = [_cosine._weigh(c, array("Q", (doc_freq[f] for f in ids)).tobytes(), n_docs)
               for c, ids in zip(counted, features)]
    ranks, max_weight = _cosine._rank_features(features, [w[3] for w in weighed], len(doc_freq))
    offsets, all_ranks, all_weights, first = [0], [], [], 0
    for k, w in enumerate(weighed):
        docs, row_offsets, row_ranks, row_weights = _cosine._rank(w, ranks[k], first)
        assert list(memoryview(docs).cast("Q")) == list(range(first, first + len(parts[k])))
        first += len(parts[k])
        offsets += [offsets[-1] + o for o in memoryview(row_offsets).cast("Q")[1:]]
        all_ranks += memoryview(row_ranks).cast("I").tolist()
        all_weights += memoryview(row_weights).cast("d").tolist()
    return offsets, all_ranks, all_weights, memoryview(max_weight).cast("d").tolist()


TOKEN_DOCS = (
    [line.split() for line in stdlib_lines(120, seed=5)]
    + [["token"] * 3, ["token"], [], ["Token", ""], ["Token", ""], ["é", "中文", "é", "é"], ["中文", "🙂"]]
    + [["a", "a", "b"], ["b", "a", "a"], ["a", "b", "a"]]  # same counts met in different orders
)


def test_partition_passes_rebuild_the_corpus():
    """Counted, weighed and ranked partition by partition, the rows are those of the
    single-machine corpus: same offsets and ranks, weights and maxima bit for bit. Tokens met
    first in a later partition, a document of one token held by every document (all-zero
    weights: an empty row), and any partitioning, empty partitions included."""
    _testing = pytest.importorskip("simsieve._testing")
    everywhere = [doc + ["@all"] for doc in TOKEN_DOCS] + [["@all"], ["@all", "@all"]]
    for docs in (TOKEN_DOCS, everywhere, [[], []], [["x"]]):
        offsets, ranks, weights, max_weight, _, _ = _testing.tfidf_corpus(docs)
        n = len(docs)
        for cuts in ([], [n // 2], [0, min(1, n), n // 3, n // 3, n - 1, n], list(range(1, n))):
            bounds = [0] + sorted(cuts) + [n]
            parts = [docs[a:b] for a, b in zip(bounds, bounds[1:])]
            assert partition_rows(parts) == (offsets, ranks, weights, max_weight), (len(docs), cuts)


def test_buffer_kernels_check_their_inputs():
    tokens, doc_freq, offsets, ids, counts = _simsieve.tfidf_count_tokens([["b", "a", "b"], [], ["a"]])
    assert tokens == ["b", "a"]
    assert memoryview(doc_freq).cast("I").tolist() == [1, 2]
    assert memoryview(offsets).cast("Q").tolist() == [0, 2, 2, 3]
    assert memoryview(ids).cast("I").tolist() == [0, 1, 1]
    assert memoryview(counts).cast("I").tolist() == [2, 1, 1]
    with pytest.raises(TypeError):
        _simsieve.tfidf_count_tokens([["a", 1]])
    df = array("Q", [1, 2])  # any contiguous buffer is read, not only bytes
    w_offsets, w_ids, weights, largest = _simsieve.tfidf_weigh_rows(offsets, ids, counts, df, 3)
    assert memoryview(w_offsets).cast("Q").tolist() == [0, 2, 2, 3]
    wb, wa = math.log(3 / 1) + math.log(3 / 1), math.log(3 / 2)  # "b" twice, "a" once
    norm = math.sqrt(0.0 + wb * wb + wa * wa)
    assert memoryview(weights).cast("d").tolist() == [wb / norm, wa / norm, 1.0]
    assert memoryview(largest).cast("d").tolist() == [wb / norm, 1.0]
    for bad in ((offsets[:-1], ids, counts, df, 3), (offsets, ids, counts[:4], df, 3),
                (offsets, ids, counts, df[:1], 3), (offsets[8:], ids, counts, df, 3),
                (offsets, ids, counts, df, 1)):
        with pytest.raises(ValueError):
            _simsieve.tfidf_weigh_rows(*bad)
    with pytest.raises(TypeError):
        _simsieve.tfidf_weigh_rows("offsets", ids, counts, df, 3)
    with pytest.raises(ValueError):
        _simsieve.tfidf_rank_rows(w_offsets, w_ids, weights, array("I", [0]))

    docs, row_offsets = array("Q", [0, 4, 9]), array("Q", [0, 2, 3, 5])
    ranks, row_weights = array("I", [0, 1, 1, 0, 1]), array("d", [0.6, 0.8, 1.0, 0.6, 0.8])
    block = (docs, row_offsets, ranks, row_weights)
    max_weight = array("d", [0.6, 1.0])
    expected = [(0, 4, 0.8, 1), (0, 9, 1.0, 1), (4, 9, 0.8, 1)]
    assert _simsieve.cosine_join_row_blocks(block, None, max_weight, 0.5) == expected
    head = (docs[:2], row_offsets[:3], ranks[:3], row_weights[:3])
    tail = (docs[2:], array("Q", [0, 2]), ranks[3:], row_weights[3:])
    assert _simsieve.cosine_join_row_blocks(tail, head, max_weight.tobytes(), 0.5) == expected[1:]
    bad_blocks = [
        (docs, row_offsets, array("I", [1, 0, 1, 0, 1]), row_weights),  # ranks not ascending
        (docs, row_offsets, array("I", [0, 2, 1, 0, 1]), row_weights),  # rank without a maximum
        (docs[::-1], row_offsets, ranks, row_weights),  # documents not ascending
        (docs, row_offsets[:-1], ranks, row_weights),  # offsets do not cover the rows
        (docs, row_offsets, ranks, row_weights[:4]),
        (docs, row_offsets, ranks, row_weights.tobytes()[:-1]),
    ]
    for bad in bad_blocks:
        with pytest.raises(ValueError):
            _simsieve.cosine_join_row_blocks(bad, None, max_weight, 0.5)
    with pytest.raises(ValueError):  # indexed documents after the probe's
        _simsieve.cosine_join_row_blocks(head, tail, max_weight, 0.5)
    with pytest.raises(TypeError):
        _simsieve.cosine_join_row_blocks([docs, row_offsets, ranks, row_weights], None, max_weight, 0.5)


def test_pipelines_in_process(monkeypatch):
    """Every pipeline on Dask's threaded scheduler, also under the sanitizer build: copies met in
    both orientations, empty strings, and components found by star contraction instead of the
    client's union-find."""
    from simsieve.dask import _common

    lines = stdlib_lines(80, seed=3)
    lines += ["late copy first", "abc", "late copy first", "", "abc"]
    with dask.config.set({"scheduler": "threads", "dataframe.shuffle.method": "tasks"}):
        expected = simsieve.cluster_canonicals_lsh(lines, 0.6, 32, 4)
        assert sd.cluster_canonicals_lsh(lines, 0.6, 32, 4, npartitions=3) == expected
        assert sd.cluster_canonicals(lines, 0.6, npartitions=3, groups=5) == simsieve.cluster_canonicals(lines, 0.6)
        monkeypatch.setattr(_common, "CLIENT_EDGES", 0)  # components by star contraction
        assert sd.cluster_canonicals_lsh(lines, 0.6, 32, 4, npartitions=3) == expected
        docs = [line.split() for line in lines]
        assert sd.cosine_join(docs, 0.3, npartitions=3) == simsieve.cosine_join(docs, 0.3)


def test_prefix_bound_never_drops_a_pair():
    """Every pair that reaches the threshold shares a token of the prefixes the exact pipeline
    routes by, for any token order: short strings, repeated characters, and thresholds where the
    overlap bound is a whole number."""
    from simsieve.dask._exact import _tokens, prefix_length

    rng = random.Random(9)
    strings = {"".join(rng.choice("aab c") for _ in range(rng.randint(1, 9))) for _ in range(300)}
    strings = sorted(strings) + ["ab", "ba", "aaaa", "aaa", "abcabc", "cbacba"]
    tokens = sorted({tok for s in strings for tok in _tokens(s)})
    for t in (0.5, 2 / 3, 0.75, 0.8, 6 / 7, 0.9, 1.0):
        for _ in range(2):
            order = tokens[:]
            rng.shuffle(order)
            rank = {tok: r for r, tok in enumerate(order)}
            prefix = {s: set(sorted(_tokens(s), key=rank.get)[:prefix_length(len(s), t)]) for s in strings}
            for a in strings:
                for b in strings:
                    if a != b and simsieve.ratio(a, b) >= t:
                        assert prefix[a] & prefix[b], (a, b, t)
