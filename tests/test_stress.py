"""Many Python threads calling every entry point and shared handles at once, with mixed thread
budgets: every result equals the single-threaded reference and nothing deadlocks."""

import os
import random
import threading
import time

from simsieve import _simsieve as native

ROUNDS = int(os.environ.get("SIMSIEVE_STRESS_ROUNDS", "25"))


def _workload():
    rng = random.Random(11)
    words = ["alpha", "beta", "gamma", "delta", "epsilon", "zeta", "theta", "Zürich", "日本語", "naïve"]
    strings = []
    for _ in range(120):
        base = rng.choice(words) + " " + rng.choice(words)
        chars = list(base)
        if rng.random() < 0.6:
            chars[rng.randrange(len(chars))] = rng.choice("aeiouxyz")
        strings.append("".join(chars))
    strings += ["", "", strings[0], strings[1]]
    pairs = [(rng.choice(strings), rng.choice(strings)) for _ in range(300)]
    docs = [s.split() for s in strings]
    return strings, pairs, docs


def test_sixteen_threads_every_entry_point():
    strings, pairs, docs = _workload()
    rationer = native.Rationer(threads=2)
    rationer_shared = native.Rationer()
    joiner = native.CosineJoiner(docs)
    calls = {
        "ratio": lambda k: [native.ratio(a, b) for a, b in pairs[:40]],
        "ratio_many": lambda k: native.ratio_many(pairs, threads=k % 4),
        "cluster": lambda k: native.cluster_canonicals(strings, 0.7, threads=k % 3),
        "lsh": lambda k: native.cluster_canonicals_lsh(strings, 0.7, 32, 2, threads=k % 3),
        "cosine_join": lambda k: native.cosine_join(docs, 0.5, threads=k % 3),
        "joiner": lambda k: joiner.join(0.5, threads=k % 2),
        "rationer.ratio": lambda k: [rationer.ratio(a, b) for a, b in pairs[:40]],
        "rationer.ratio_many": lambda k: (rationer if k % 2 else rationer_shared).ratio_many(pairs),
        "rationer.cluster": lambda k: (rationer if k % 2 else rationer_shared).cluster_canonicals(strings, 0.7),
    }
    reference = {name: call(1) for name, call in calls.items()}
    reference["ratio"] = reference["rationer.ratio"] = [native.ratio(a, b) for a, b in pairs[:40]]
    assert reference["rationer.ratio_many"] == reference["ratio_many"]
    assert reference["rationer.cluster"] == reference["cluster"]

    failures = []
    names = sorted(calls)

    def worker(index):
        rng = random.Random(index)
        try:
            for round_ in range(ROUNDS):
                for name in rng.sample(names, len(names)):
                    got = calls[name](index + round_)
                    if got != reference[name]:
                        failures.append((index, name))
        except BaseException as error:  # noqa: BLE001 - report anything, the test must not hang
            failures.append((index, repr(error)))

    threads = [threading.Thread(target=worker, args=(i,), daemon=True) for i in range(16)]
    start = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=max(1.0, 240 - (time.monotonic() - start)))
    assert not any(t.is_alive() for t in threads), "a thread is stuck: deadlock"
    assert failures == []
