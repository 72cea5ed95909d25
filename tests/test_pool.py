"""The worker pool and its parallel building blocks, through the private simsieve._testing hooks.

The hooks run in the test module's own copy of the native core (its own shared pool), so the
sizing tests that look at a shared pool run in fresh subprocesses.
"""

from __future__ import annotations

import os
import random
import subprocess
import sys
import textwrap
import threading
import time
import unicodedata

import pytest

from simsieve import PanicException
from simsieve import _testing as hooks

MASK = 2**32


def mix(i: int) -> int:
    return (i * 2654435761) % MASK


def processors() -> int:
    return len(os.sched_getaffinity(0))


def run_child(code: str, **env: str) -> str:
    """Runs code in a fresh interpreter with the given extra environment; returns its stdout."""
    child_env = {k: v for k, v in os.environ.items() if k not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
    child_env.update(env)
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], env=child_env, capture_output=True, text=True, timeout=300
    )
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


# ---- thread budget -------------------------------------------------------------------------------


def test_thread_budget_picks_the_thread_and_pool():
    shared = hooks.pool_current_worker_count()
    # threads=0: the op runs on the calling thread, which is no worker; steps use the shared pool.
    assert hooks.pool_budget_identity(0) == (True, False, shared)
    # threads=N: the op runs on a worker of a fresh pool of N workers, never on the caller.
    assert hooks.pool_budget_identity(1) == (False, True, 1)
    assert hooks.pool_budget_identity(3) == (False, True, 3)


def test_requested_sizes_are_capped_without_starting_threads():
    assert hooks.pool_requested_size(1) == 1
    assert hooks.pool_requested_size(7) == 7
    assert hooks.pool_requested_size(65535) == 65535
    assert hooks.pool_requested_size(65536) == 65535
    assert hooks.pool_requested_size(100000) == 65535
    assert hooks.pool_requested_size(2**64 - 1) == 65535


def test_per_call_pools_do_not_outlive_their_call():
    def thread_count() -> int:
        with open("/proc/self/status") as status:
            return next(int(line.split()[1]) for line in status if line.startswith("Threads:"))

    hooks.pool_map(10)  # the shared pool exists before the baseline is taken
    baseline = thread_count()
    for _ in range(30):
        assert hooks.pool_map(200, threads=4) == [mix(i) for i in range(200)]
    # Released pools' workers exit on their own; wait for them rather than for a fixed time.
    deadline = time.monotonic() + 60
    while thread_count() > baseline and time.monotonic() < deadline:
        time.sleep(0.05)
    assert thread_count() <= baseline


# ---- pool sizing ---------------------------------------------------------------------------------

PARSE_CASES = [
    ("4", 4),
    ("+4", 4),
    ("0", 0),
    ("007", 7),
    ("18446744073709551615", 2**64 - 1),
    ("18446744073709551616", None),  # overflow
    ("99999999999999999999999", None),
    (" 4", None),
    ("4 ", None),
    ("-4", None),
    ("+-4", None),
    ("++4", None),
    ("+", None),
    ("", None),
    ("x", None),
    ("4x", None),
    ("0x10", None),
    ("٤", None),  # a non-ASCII digit
]


@pytest.mark.parametrize("text,expected", PARSE_CASES)
def test_thread_count_parsing(text, expected):
    assert hooks.pool_parse_count(text) == expected


RULE_CASES = [
    # (RAYON_NUM_THREADS, RAYON_RS_NUM_CPUS, processors) -> workers
    ((None, None, 6), 6),
    (("3", None, 6), 3),
    (("3", "5", 6), 3),
    (("+4", None, 6), 4),
    (("0", "3", 6), 6),  # 0 means the processor count and stops the lookup
    (("x", "3", 6), 3),
    ((" 4", "3", 6), 3),
    (("-4", None, 6), 6),
    ((None, "5", 6), 5),
    ((None, "0", 6), 6),
    ((None, "-1", 6), 6),
    (("", "", 6), 6),
    (("100000", None, 6), 65535),
    ((None, "70000", 6), 65535),
    ((None, None, 100000), 65535),
    (("18446744073709551616", "2", 6), 2),
]


@pytest.mark.parametrize("values,expected", RULE_CASES)
def test_sizing_rule(values, expected):
    assert hooks.pool_size_rule(*values) == expected


SHARED_POOL_SIZE = "from simsieve import _testing as h; print(h.pool_current_worker_count())"


@pytest.mark.parametrize(
    "env,expected",
    [
        ({}, "cpus"),
        ({"RAYON_NUM_THREADS": "3"}, 3),
        ({"RAYON_NUM_THREADS": "+4"}, 4),
        ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "3"}, "cpus"),
        ({"RAYON_NUM_THREADS": "x", "RAYON_RS_NUM_CPUS": "3"}, 3),
        ({"RAYON_NUM_THREADS": " 4", "RAYON_RS_NUM_CPUS": "5"}, 5),
        ({"RAYON_NUM_THREADS": "-4"}, "cpus"),
        ({"RAYON_RS_NUM_CPUS": "5"}, 5),
        ({"RAYON_RS_NUM_CPUS": "0"}, "cpus"),
    ],
)
def test_shared_pool_sizing_from_the_environment(env, expected):
    want = processors() if expected == "cpus" else expected
    assert run_child(SHARED_POOL_SIZE, **env) == str(want)


def test_a_value_that_is_not_unicode_is_unparsable():
    env = {k: v for k, v in os.environb.items() if k not in (b"RAYON_NUM_THREADS", b"RAYON_RS_NUM_CPUS")}
    env.update({b"RAYON_NUM_THREADS": b"4\xff", b"RAYON_RS_NUM_CPUS": b"3"})
    done = subprocess.run([sys.executable, "-c", SHARED_POOL_SIZE], env=env, capture_output=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == b"3"


def test_shared_pool_reads_the_environment_once():
    code = """
        import os
        from simsieve import _testing as h
        first = h.pool_current_worker_count()
        os.environ["RAYON_NUM_THREADS"] = "5"
        print(first, h.pool_current_worker_count(), h.pool_requested_size(0))
    """
    # The running pool keeps its size; a new pool sized by the rule sees the new value.
    assert run_child(code, RAYON_NUM_THREADS="3") == "3 3 5"


def test_pools_that_cannot_start():
    code = """
        from simsieve import PanicException
        from simsieve import _testing as h
        h.pool_limit_thread_starts(1)
        try:
            h.pool_current_worker_count()
        except PanicException as e:
            print(str(e))
        h.pool_limit_thread_starts(None)
        print(h.pool_current_worker_count())
        # A per-call pool that cannot start: the op runs as for threads=0, same results.
        h.pool_limit_thread_starts(2)
        print(h.pool_budget_identity(5), h.pool_budget_identity(100000))
        print(h.pool_map(1000, threads=5) == h.pool_map(1000))
        h.pool_limit_thread_starts(None)
        print(h.pool_budget_identity(2))
    """
    lines = run_child(code, RAYON_NUM_THREADS="4").splitlines()
    assert lines[0].startswith("The global thread pool has not been initialized. ")
    assert "cannot start a worker thread" in lines[0]
    assert lines[1:] == ["4", "(True, False, 4) (True, False, 4)", "True", "(False, True, 2)"]


# ---- parallel building blocks --------------------------------------------------------------------

LENGTHS = [0, 1, 2, 3, 4, 5, 7, 8, 31, 32, 33, 100, 255, 256, 257, 1000, 4097]
MIN_LENS = [1, 2, 3, 16, 256, 5000]


@pytest.mark.parametrize("threads", [0, 1, 3])
def test_map_collect_fills_every_slot_in_order(threads):
    for n in LENGTHS:
        expected = [mix(i) for i in range(n)]
        for min_len in MIN_LENS:
            assert hooks.pool_map(n, min_len, threads) == expected, (n, min_len)


@pytest.mark.parametrize("threads", [0, 1, 3])
def test_pieces_tile_the_range_and_respect_the_minimum_length(threads):
    for n in LENGTHS:
        for min_len in MIN_LENS:
            pieces = hooks.pool_pieces(n, min_len, threads)
            if n == 0:
                assert pieces == []
                continue
            assert pieces[0][0] == 0 and pieces[-1][1] == n
            assert all(a[1] == b[0] for a, b in zip(pieces, pieces[1:])), pieces
            assert all(end - begin >= min(min_len, n) for begin, end in pieces), (n, min_len, pieces)
            if n < 2 * min_len:
                assert pieces == [(0, n)]


def test_split_budget_on_one_worker():
    # One worker and no thieves: the budget of 1 allows exactly one split, at floor(n/2).
    assert hooks.pool_pieces(1, 1, 1) == [(0, 1)]
    assert hooks.pool_pieces(2, 1, 1) == [(0, 1), (1, 2)]
    assert hooks.pool_pieces(9, 1, 1) == [(0, 4), (4, 9)]
    assert hooks.pool_pieces(100000, 1, 1) == [(0, 50000), (50000, 100000)]
    assert hooks.pool_pieces(9, 4, 1) == [(0, 4), (4, 9)]
    assert hooks.pool_pieces(9, 5, 1) == [(0, 9)]


@pytest.mark.parametrize("threads", [0, 1, 3])
def test_filters_keep_input_order(threads):
    for n in LENGTHS:
        for modulus in (1, 3, 1000):
            expected = [mix(i) for i in range(n) if mix(i) % modulus == 0]
            for min_len in (1, 3, 256):
                assert hooks.pool_filter_map(n, modulus, min_len, threads) == expected
    rng = random.Random(7)
    for n in (0, 1, 50, 3000):
        values = [rng.randrange(1000) for _ in range(n)]
        for modulus in (1, 2, 7):
            assert hooks.pool_filter(values, modulus, 1, threads) == [v for v in values if v % modulus == 0]
            assert hooks.pool_filter(values, modulus, 64, threads) == [v for v in values if v % modulus == 0]


def check_sorted(keys, key_modulus, threads):
    result = hooks.pool_sort_keyed(keys, key_modulus, threads)
    expected_keys = sorted(k % key_modulus if key_modulus else k for k in keys)
    assert [k for k, _ in result] == expected_keys
    # A permutation of the input: every position once, with its own key.
    assert sorted(pos for _, pos in result) == list(range(len(keys)))
    assert all(k == (keys[pos] % key_modulus if key_modulus else keys[pos]) for k, pos in result)


@pytest.mark.parametrize("threads", [0, 1, 3])
def test_parallel_sort_orders_by_the_comparison(threads):
    rng = random.Random(threads)
    for n in (0, 1, 2, 2047, 2048, 2049, 10000, 60000):
        keys = [rng.randrange(2**40) for _ in range(n)]
        check_sorted(keys, 0, threads)
        check_sorted(keys, 3, threads)  # many equal keys
        check_sorted(sorted(keys), 0, threads)
        check_sorted(sorted(keys, reverse=True), 0, threads)
    check_sorted([5] * 20000, 0, threads)
    organ = list(range(15000)) + list(range(15000, 0, -1))
    check_sorted(organ, 0, threads)


# ---- failures ------------------------------------------------------------------------------------


@pytest.mark.parametrize("threads", [0, 1, 3])
def test_failure_inside_a_job_reaches_python_and_the_pool_survives(threads):
    for fail_at in (0, 499, 999):
        with pytest.raises(PanicException, match=f"^element {fail_at} failed$"):
            hooks.pool_fail_at(1000, fail_at, threads)
        assert hooks.pool_fail_at(1000, 1000, threads) == 1000
        assert hooks.pool_map(500, 1, threads) == [mix(i) for i in range(500)]


@pytest.mark.parametrize("threads", [0, 1, 2])
def test_fork_join_failures_wait_for_the_other_side(threads):
    # (message caught after fork_join returned, whether the other side had finished by then)
    assert hooks.pool_fork_join_failure("a", threads) == ("side a failed", True)
    assert hooks.pool_fork_join_failure("b", threads) == ("side b failed", True)
    assert hooks.pool_fork_join_failure("both", threads) == ("side a failed", False)
    assert hooks.pool_fork_join_failure("none", threads) == ("", True)


def test_own_queue_is_last_in_first_out():
    # On a single worker nothing is stolen: every fork runs a, then takes b back, depth first.
    for depth in range(6):
        assert hooks.pool_fork_order(depth) == list(range(2**depth))


def run_with_deadline(fn, seconds=240):
    """Runs fn on a daemon thread; fails (instead of hanging) if it does not return in time."""
    outcome = {}

    def body():
        try:
            outcome["value"] = fn()
        except BaseException as e:  # noqa: BLE001 - re-raised below
            outcome["error"] = e

    worker = threading.Thread(target=body, daemon=True)
    worker.start()
    worker.join(seconds)
    assert not worker.is_alive(), "deadlock: the call did not return"
    if "error" in outcome:
        raise outcome["error"]
    return outcome["value"]


@pytest.mark.parametrize("outer,inner", [(0, 2), (1, 1), (2, 3), (3, 1)])
def test_install_into_another_pool_from_workers(outer, inner):
    n = 40
    expected = [(inner, sum(mix(i + k) for k in range(64))) for i in range(n)]
    assert run_with_deadline(lambda: hooks.pool_nested_install(outer, inner, n)) == expected


def test_many_python_threads_share_pools():
    n = 3000
    expected = [mix(i) for i in range(n)]
    errors = []

    def client(k: int):
        try:
            for rep in range(6):
                assert hooks.pool_install_held(n) == expected
                assert hooks.pool_map(n, 1, (k + rep) % 4) == expected
                assert hooks.pool_filter_map(n, 3, 1, k % 3) == [v for v in expected if v % 3 == 0]
        except BaseException as e:  # noqa: BLE001 - reported by the main thread
            errors.append(e)

    def run_all():
        clients = [threading.Thread(target=client, args=(k,)) for k in range(8)]
        for c in clients:
            c.start()
        for c in clients:
            c.join()

    run_with_deadline(run_all)
    assert errors == []


# ---- concurrency argument ------------------------------------------------------------------------

ACCEPTED = [
    ("cpu", "cpu"),
    ("CPU", "cpu"),
    ("Cpu", "cpu"),
    ("gpu", "gpu"),
    ("Gpu", "gpu"),
    ("GPU+CPU", "gpu+cpu"),
    ("gpu+cpu", "gpu+cpu"),
    ("gpu_cpu", "gpu+cpu"),
    ("GPU_CPU", "gpu+cpu"),
    ("GpuCpu", "gpu+cpu"),
    ("gpucpu", "gpu+cpu"),
]


@pytest.mark.parametrize("text,mode", ACCEPTED)
def test_accepted_concurrency_spellings(text, mode):
    assert hooks.pool_concurrency(text) == mode


def test_concurrency_defaults_when_not_given():
    assert hooks.pool_concurrency() == "cpu"


REJECTED = [
    # (input, text shown inside the quotes of the message)
    ("gpu-cpu", "gpu-cpu"),
    ("gpu cpu", "gpu cpu"),
    (" cpu", " cpu"),
    ("cpu ", "cpu "),
    ("", ""),
    ("TPU", "tpu"),
    ("ÇPU", "Çpu"),  # only ASCII letters are lowered
    ('say "hi"', 'say \\"hi\\"'),
    ("back\\slash", "back\\\\slash"),
    ("a\tb\rc\nd\0e", "a\\tb\\rc\\nd\\0e"),
    ("\x01\x1f\x7f", "\\u{1}\\u{1f}\\u{7f}"),
    ("\x85\xa0\xad", "\\u{85}\\u{a0}\\u{ad}"),  # a C1 control, no-break space, soft hyphen
    ("\u200b\u2028\ufeff", "\\u{200b}\\u{2028}\\u{feff}"),
    ("\ue000\U0010fffd", "\\u{e000}\\u{10fffd}"),  # private use
    ("\uffff", "\\u{ffff}"),  # a noncharacter
    ("日本 é 😀", "日本 é 😀"),  # printable non-ASCII stays as it is
]


@pytest.mark.parametrize("text,shown", REJECTED)
def test_rejected_concurrency_message(text, shown):
    with pytest.raises(ValueError) as info:
        hooks.pool_concurrency(text)
    assert str(info.value) == f'unknown concurrency "{shown}"; expected "cpu", "gpu", or "gpu+cpu"'


def test_concurrency_must_be_a_string():
    with pytest.raises(TypeError, match="^argument 'concurrency': 'int' object is not an instance of 'str'$"):
        hooks.pool_concurrency(3)


def test_escaping_follows_the_unicode_categories():
    # Every non-ASCII character is shown as itself exactly when Python calls it printable
    # (categories Other and Separator, except the space, are escaped).
    # The native table follows Unicode 14.0; other interpreters check long-assigned characters only.
    rng = random.Random(3)
    sample = [0xA0, 0xAD, 0x378, 0x600, 0x1680, 0x2000, 0x3000, 0xD7FF, 0xFFFD, 0x1F600]
    if unicodedata.unidata_version == "14.0.0":
        sample += [rng.randrange(0x80, 0x30000) for _ in range(300)]
    for cp in sample:
        if 0xD800 <= cp <= 0xDFFF:
            continue
        ch = chr(cp)
        with pytest.raises(ValueError) as info:
            hooks.pool_concurrency("x" + ch)
        shown = ch if ch.isprintable() else "\\u{%x}" % cp
        assert str(info.value) == f'unknown concurrency "x{shown}"; expected "cpu", "gpu", or "gpu+cpu"', hex(cp)
