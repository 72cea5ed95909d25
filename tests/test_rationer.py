"""The Rationer handle: construction and its conversions, read-only properties, equality of its
three methods with the module functions for every delta and thread budget, concurrent use of
one handle, and the life cycle of handle-owned pools."""

import difflib
import gc
import math
import os
import random
import threading
import time
import unicodedata

import pytest
from hypothesis import given, strategies as st

from simsieve import _simsieve as native
from strategies import ASCII, NON_ASCII_POOL, ascii_pairs, non_ascii_pairs, stdlib_corpus, text_from

Rationer = native.Rationer

UNKNOWN = 'unknown concurrency "{}"; expected "cpu", "gpu", or "gpu+cpu"'


def difflib_ratio(a, b):
    return difflib.SequenceMatcher(None, a, b, autojunk=False).ratio()


def same_floats(xs, ys):
    """Element-wise identity of two float lists (NaN never occurs; 0.0 and -0.0 would differ)."""
    return len(xs) == len(ys) and all(x == y and math.copysign(1, x) == math.copysign(1, y) for x, y in zip(xs, ys))


# ---------------------------------------------------------------------------------------------
# Construction and properties


class TestConstruction:
    def test_defaults(self):
        r = Rationer()
        assert r.concurrency == "cpu"
        assert r.delta == 0.0 and isinstance(r.delta, float)

    @pytest.mark.parametrize("text", ["cpu", "CPU", "gpu", "GPU", "Gpu", "gpu+cpu", "GPU+CPU", "gpu_cpu", "GpuCpu", "gpucpu"])
    def test_every_accepted_mode_runs_on_cpu(self, text):
        assert Rationer(text).concurrency == "cpu"
        assert Rationer(concurrency=text, threads=1).concurrency == "cpu"

    @pytest.mark.parametrize(
        "text, shown",
        [("tpu", "tpu"), ("TPU", "tpu"), ("gpu-cpu", "gpu-cpu"), ("gpu cpu", "gpu cpu"), (" cpu", " cpu"), ("", ""),
         ('c"p\\u', 'c\\"p\\\\u'), ("cpu\t\n", "cpu\\t\\n")],
    )
    def test_rejected_modes(self, text, shown):
        with pytest.raises(ValueError) as info:
            Rationer(text)
        assert str(info.value) == UNKNOWN.format(shown)

    def test_conversion_precedes_parsing(self):
        # threads converts before concurrency is parsed, and delta before the parse too
        with pytest.raises(OverflowError):
            Rationer("tpu", -1)
        with pytest.raises(TypeError, match=r"^argument 'delta': "):
            Rationer("tpu", 0, "x")
        with pytest.raises(ValueError, match="unknown concurrency"):
            Rationer("tpu", threads=2, delta=0.5)

    def test_argument_errors(self):
        with pytest.raises(TypeError, match=r"^argument 'concurrency': 'int' object is not an instance of 'str'$"):
            Rationer(1)
        with pytest.raises(TypeError, match=r"^argument 'threads': "):
            Rationer("cpu", 1.5)
        with pytest.raises(OverflowError):
            Rationer(threads=2**64)
        with pytest.raises(TypeError, match=r"got an unexpected keyword argument 'thread'$"):
            Rationer(thread=1)
        with pytest.raises(TypeError, match=r"takes from 0 to 3 positional arguments but 4 were given$"):
            Rationer("cpu", 0, 0.0, 1)
        with pytest.raises(TypeError, match=r"got multiple values for argument 'concurrency'$"):
            Rationer("cpu", concurrency="gpu")

    @pytest.mark.parametrize(
        "given_delta, stored",
        [(-0.5, 0.0), (7, 1.0), (0.25, 0.25), (1.0, 1.0), (0, 0.0), (True, 1.0), (-math.inf, 0.0), (math.inf, 1.0)],
    )
    def test_delta_is_clamped(self, given_delta, stored):
        value = Rationer(delta=given_delta).delta
        assert value == stored and isinstance(value, float)

    def test_nan_delta_is_kept(self):
        assert math.isnan(Rationer(delta=float("nan")).delta)

    def test_properties_are_read_only(self):
        r = Rationer()
        for name, value in (("concurrency", "gpu"), ("delta", 0.5)):
            with pytest.raises(AttributeError):
                setattr(r, name, value)
            with pytest.raises(AttributeError):
                delattr(r, name)
        assert r.concurrency == "cpu" and r.delta == 0.0

    def test_introspection(self):
        assert Rationer.ratio.__text_signature__ == "($self, a, b)"
        assert Rationer.ratio_many.__text_signature__ == "($self, pairs)"
        assert Rationer.cluster_canonicals.__text_signature__ == "($self, canonicals, threshold)"
        assert Rationer.__text_signature__ == '(concurrency="gpu+cpu", threads=0, delta=0.0)'
        assert Rationer.ratio.__doc__ == "Single-pair exact ratio (always CPU; one pair offers no GPU win)."
        assert Rationer.delta.__doc__ == "Active approximate-RO `delta` (0.0 = exact)."


# ---------------------------------------------------------------------------------------------
# Method argument handling mirrors the module functions


class TestMethodArguments:
    def test_ratio_errors(self):
        r = Rationer()
        with pytest.raises(TypeError, match=r"^argument 'a': 'int' object is not an instance of 'str'$"):
            r.ratio(1, "a")
        with pytest.raises(TypeError, match=r"^argument 'b': 'None' is not an instance of 'str'$"):
            r.ratio("a", None)
        with pytest.raises(TypeError, match=r"^Rationer\.ratio\(\) missing 1 required positional argument: 'b'$"):
            r.ratio("a")
        with pytest.raises(TypeError, match=r"^Rationer\.ratio\(\) takes 2 positional arguments but 3 were given$"):
            r.ratio("a", "b", "c")
        with pytest.raises(UnicodeEncodeError):
            r.ratio("\ud800", "a")

    def test_ratio_many_errors(self):
        r = Rationer(threads=2)
        with pytest.raises(TypeError, match=r"^argument 'pairs': Can't extract `str` to `Vec`$"):
            r.ratio_many("ab")
        with pytest.raises(ValueError, match=r"^expected tuple of length 2, but got tuple of length 3$"):
            r.ratio_many([("a", "b", "c")])
        with pytest.raises(TypeError, match=r"^argument 'pairs': 'list' object is not an instance of 'tuple'$"):
            r.ratio_many([["a", "b"]])
        with pytest.raises(TypeError, match=r"^Rationer\.ratio_many\(\) got an unexpected keyword argument 'threads'$"):
            r.ratio_many([], threads=1)
        assert r.ratio_many([]) == []
        assert r.ratio_many(()) == []

    def test_cluster_errors(self):
        r = Rationer()
        with pytest.raises(TypeError, match=r"^argument 'canonicals': "):
            r.cluster_canonicals("abc", 0.5)
        with pytest.raises(TypeError, match=r"^argument 'threshold': "):
            r.cluster_canonicals(["a"], "x")
        with pytest.raises(TypeError, match=r"^argument 'canonicals': "):
            r.cluster_canonicals(["a", 3], "x")  # canonicals fail first
        with pytest.raises(
            TypeError, match=r"^Rationer\.cluster_canonicals\(\) missing 1 required positional argument: 'threshold'$"
        ):
            r.cluster_canonicals(["a"])
        assert r.cluster_canonicals([], 0.5) == []


# ---------------------------------------------------------------------------------------------
# Equality with the module functions


HANDLE_CONFIGS = [(0, 0.0), (1, 0.0), (3, 0.5), (2, float("nan")), (0, 7.0)]


@pytest.fixture(scope="module", params=HANDLE_CONFIGS, ids=lambda c: f"threads={c[0]}-delta={c[1]}")
def handle(request):
    threads, delta = request.param
    return Rationer("gpu+cpu", threads, delta)


def random_words(rng, count, alphabet="abcde", lo=0, hi=12):
    return ["".join(rng.choice(alphabet) for _ in range(rng.randint(lo, hi))) for _ in range(count)]


def repeated_batch(rng, strings, count):
    """Pairs drawn from a small pool so that strings repeat, on both sides, and whole pairs repeat."""
    return [(rng.choice(strings), rng.choice(strings)) for _ in range(count)]


class TestSameAsModule:
    def test_edge_pairs(self, handle):
        pairs = [("", ""), ("", "a"), ("a", ""), ("abc", "abc"), ("abc", ""), ("", "abc"), ("a", "a")] * 3
        assert same_floats(handle.ratio_many(pairs), native.ratio_many(pairs))
        assert handle.ratio_many(pairs)[:3] == [1.0, 0.0, 0.0]
        for a, b in pairs:
            assert handle.ratio(a, b) == native.ratio(a, b)

    def test_repetition_and_both_sides(self, handle):
        rng = random.Random(7)
        pool = random_words(rng, 25) + [""]
        pairs = repeated_batch(rng, pool, 2000)
        got = handle.ratio_many(pairs)
        assert same_floats(got, native.ratio_many(pairs))
        # every occurrence of a pair has its lone value, whichever side its strings were seen on
        for (a, b), r in zip(pairs, got):
            assert r == native.ratio(a, b)

    def test_order_is_input_order(self, handle):
        rng = random.Random(11)
        pool = random_words(rng, 40, hi=20)
        pairs = sorted(repeated_batch(rng, pool, 600), key=lambda p: (p[1], p[0]), reverse=True)
        assert same_floats(handle.ratio_many(pairs), [difflib_ratio(a, b) for a, b in pairs])
        assert same_floats(handle.ratio_many(pairs[::-1]), handle.ratio_many(pairs)[::-1])

    def test_one_query_against_many(self, handle):
        lines = stdlib_corpus()[0][:400]
        query = lines[17]
        for pairs in ([(query, c) for c in lines], [(c, query) for c in lines]):
            assert same_floats(handle.ratio_many(pairs), native.ratio_many(pairs))

    @pytest.mark.parametrize("repeats", [1, 3])
    @pytest.mark.parametrize("distinct", [1, 2, 3, 4, 5, 8])
    def test_second_strings_met_by_few_or_many_pairs(self, handle, distinct, repeats):
        # a second string met by few or by many distinct pairs, each pair repeated or not, takes
        # different routes; every one must stay exact, ASCII or not, short or long, similar or not
        rng = random.Random(distinct * 10 + repeats)
        base = "".join(rng.choice("abc") for _ in range(300))
        seconds = ["kitten", "sitting on the mat", "caf\u00e9 \U0001f600 na\u00efve", base, base[::-1] + "\u00e9", ""]
        firsts = ["sitting", "kitchen", "cafe naive", base[:200] + "d" + base[200:], "\u00e9\u00e9abc", "",
                  "the cat sat on the mat", base[100:250]]
        pairs = [(f, b) for b in seconds for f in rng.sample(firsts, distinct) for _ in range(repeats)]
        rng.shuffle(pairs)
        assert same_floats(handle.ratio_many(pairs), [difflib_ratio(a, b) for a, b in pairs])

    def test_unicode_normalisation_gives_distinct_strings(self, handle):
        composed = "caf\u00e9 cr\u00e8me br\u00fbl\u00e9e"
        decomposed = unicodedata.normalize("NFD", composed)
        assert composed != decomposed
        pairs = [(composed, decomposed), (decomposed, composed), (composed, composed), (decomposed, "cafe")]
        got = handle.ratio_many(pairs)
        assert got == [difflib_ratio(a, b) for a, b in pairs]
        assert got[0] < 1.0 and got[2] == 1.0

    def test_real_text(self, handle):
        lines, functions, _ = stdlib_corpus()
        rng = random.Random(3)
        sample = rng.sample(lines, 150) + rng.sample(functions, 30)
        pairs = repeated_batch(rng, sample, 1500)
        assert same_floats(handle.ratio_many(pairs), native.ratio_many(pairs))

    @pytest.mark.parametrize("threshold", [0.0, 0.5, 0.8, 1.0, -0.5, 1.5, float("nan")])
    def test_cluster_canonicals(self, handle, threshold):
        rng = random.Random(5)
        words = random_words(rng, 80, alphabet="abc", lo=0, hi=8)
        assert handle.cluster_canonicals(words, threshold) == native.cluster_canonicals(words, threshold)

    def test_cluster_real_text(self, handle):
        lines = stdlib_corpus()[0]
        rng = random.Random(9)
        sample = rng.sample(lines, 300)
        # near-duplicates so that clusters of several sizes form
        sample += [line[:-1] + "x" for line in sample[:60]] + sample[:20]
        for threshold in (0.6, 0.9):
            got = handle.cluster_canonicals(sample, threshold)
            assert got == native.cluster_canonicals(sample, threshold)
        assert got  # the duplicates do cluster


@given(st.lists(st.one_of(ascii_pairs(60), non_ascii_pairs(60)), max_size=30), st.integers(0, 3))
def test_random_batches_match_difflib(pairs, threads):
    # re-use strings across pairs: swap and repeat some of them
    batch = pairs + [(b, a) for a, b in pairs[::2]] + pairs[:3]
    expected = [difflib_ratio(a, b) for a, b in batch]
    assert same_floats(Rationer(threads=threads).ratio_many(batch), expected)
    assert same_floats(native.ratio_many(batch), expected)


@given(text_from(NON_ASCII_POOL, 40), text_from(ASCII, 40))
def test_ratio_matches_difflib(a, b):
    r = Rationer()
    assert r.ratio(a, b) == difflib_ratio(a, b)
    assert r.ratio(b, a) == difflib_ratio(b, a)


# ---------------------------------------------------------------------------------------------
# Concurrency and life cycle


def thread_count():
    return len(os.listdir("/proc/self/task"))


def settle_threads(limit=None, timeout=20.0):
    """The thread count once it is at most `limit` (or, without a limit, once it has stopped
    changing): workers of released pools exit asynchronously."""
    deadline = time.monotonic() + timeout
    last, stable_since = thread_count(), time.monotonic()
    while time.monotonic() < deadline:
        time.sleep(0.02)
        now = thread_count()
        if limit is not None and now <= limit:
            return now
        if now != last:
            last, stable_since = now, time.monotonic()
        elif limit is None and time.monotonic() - stable_since > 0.3:
            return now
    return thread_count()


def rss_bytes():
    with open("/proc/self/statm") as handle:
        return int(handle.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class TestConcurrencyAndLifecycle:
    @pytest.mark.parametrize("threads", [0, 2])
    def test_many_python_threads_share_one_handle(self, threads):
        r = Rationer(threads=threads)
        rng = random.Random(1)
        pool = random_words(rng, 30, hi=30)
        words = random_words(rng, 60, alphabet="abc", hi=6)
        batches = [repeated_batch(random.Random(s), pool, 300) for s in range(6)]
        expected_pairs = [native.ratio_many(b) for b in batches]
        expected_clusters = native.cluster_canonicals(words, 0.6)
        failures = []

        def work(k):
            try:
                for _ in range(5):
                    if r.ratio_many(batches[k]) != expected_pairs[k]:
                        failures.append(("ratio_many", k))
                    if r.cluster_canonicals(words, 0.6) != expected_clusters:
                        failures.append(("cluster", k))
                    a, b = batches[k][0]
                    if r.ratio(a, b) != expected_pairs[k][0]:
                        failures.append(("ratio", k))
            except BaseException as exc:  # noqa: BLE001 - reported below
                failures.append(exc)

        workers = [threading.Thread(target=work, args=(k,)) for k in range(len(batches))]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        assert failures == []

    def test_handle_pool_is_started_once_and_released(self):
        baseline = settle_threads()
        r = Rationer(threads=3)
        assert thread_count() == baseline + 3  # started at construction
        r.ratio_many([("abc", "abd")] * 100)
        r.cluster_canonicals(["abc", "abd", "xyz"], 0.5)
        assert thread_count() == baseline + 3  # calls reuse the handle's workers
        del r
        gc.collect()
        assert settle_threads(baseline) == baseline

    def test_no_pool_without_thread_budget(self):
        native.ratio_many([("abc", "abd")] * 100)  # the shared pool exists from here on
        baseline = settle_threads()
        handles = [Rationer(threads=0) for _ in range(10)]
        assert thread_count() == baseline
        del handles

    def test_handles_created_and_dropped_in_a_loop(self):
        pairs = [("kitten", "sitting"), ("flaw", "lawn")] * 20
        expected = native.ratio_many(pairs)
        for _ in range(10):  # warm-up: allocator caches, the shared pool
            Rationer(threads=2).ratio_many(pairs)
        baseline_threads = settle_threads()
        baseline_rss = rss_bytes()
        for k in range(300):
            r = Rationer(threads=2, delta=0.1)
            if k % 10 == 0:
                assert r.ratio_many(pairs) == expected
            del r
        assert settle_threads(baseline_threads) <= baseline_threads
        # 300 pools of two 2 MiB-stack workers: leaked stacks or pools would show as tens of MiB
        assert rss_bytes() - baseline_rss < 16 * 2**20

    def test_call_in_flight_keeps_pool_alive(self):
        r = Rationer(threads=2)
        big = [(s, t) for s in stdlib_corpus()[0][:60] for t in stdlib_corpus()[0][:60]]
        expected = native.ratio_many(big)
        result = []
        method = r.ratio_many

        def run():
            result.append(method(big))

        runner = threading.Thread(target=run)
        runner.start()
        del r  # the running call still holds the handle and its pool
        method = None
        runner.join()
        assert result == [expected]
