"""Memory stays flat over many calls and handle lifetimes (generous bounds: RSS is coarse)."""

import gc
import os

import pytest

from simsieve import _simsieve as native

# Sanitizer runtimes keep freed memory in quarantine, so RSS says nothing about leaks there.
pytestmark = pytest.mark.skipif("san.so" in os.environ.get("LD_PRELOAD", ""), reason="RSS is meaningless under sanitizers")


def rss_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS")


def growth_kib(step, warmup, repeats):
    for _ in range(warmup):
        step()
    gc.collect()
    start = rss_kib()
    for _ in range(repeats):
        step()
    gc.collect()
    return rss_kib() - start


def test_million_ratio_calls():
    pairs = [("john smith", "jon smyth"), ("Zürich straße", "Zurich strasse"), ("", "x"), ("a" * 300, "a" * 299 + "b")]

    def step():
        for a, b in pairs:
            native.ratio(a, b)

    assert growth_kib(step, 20_000, 250_000) < 8_000


def test_many_clustering_and_join_calls():
    names = ["john smith", "jon smith", "john smyth", "mary jones", "marie jones", "", "", "acme"] * 5
    docs = [n.split() for n in names]

    def step():
        native.cluster_canonicals(names, 0.8)
        native.cluster_canonicals_lsh(names, 0.8, 16, 2)
        native.cosine_join(docs, 0.5)

    assert growth_kib(step, 500, 10_000) < 8_000


def test_many_handles_created_and_dropped():
    docs = [["a", "b"], ["a", "c"], ["b", "c", "d"]]

    def step():
        r = native.Rationer(threads=1)
        r.ratio_many([("ab", "ba")])
        native.Rationer().cluster_canonicals(["abc", "abd"], 0.5)
        native.CosineJoiner(docs).join(0.1)

    assert growth_kib(step, 300, 10_000) < 16_000
