"""Synthetic log lines for the clustering benchmarks: a timestamp, a level, a component and one of a
few message shapes with numbers in it. Every line shares the date's head and most share a shape, so
the threshold's clusters grow large and their minima fall low: the case where a cluster's minimum
costs the most."""

from __future__ import annotations

import random

LEVELS = ["INFO", "WARN", "ERROR", "DEBUG"]
COMPONENTS = ["db", "http", "auth", "cache", "queue", "worker"]
SHAPES = [
    "request {} served in {} ms",
    "user {} logged in from 10.{}.{}.{}",
    "cache miss for key {}:{}",
    "job {} failed: timeout after {} s",
    "connection {} reset by peer",
    "retrying {} of {}",
]


def log_lines(n: int, seed: int = 7) -> list[str]:
    rnd = random.Random(seed)
    out = []
    for _ in range(n):
        shape = rnd.choice(SHAPES)
        fields = [rnd.randint(0, 99999) for _ in range(shape.count("{}"))]
        out.append(f"2026-12-{rnd.randint(1, 28):02d}T{rnd.randint(0, 23):02d}:{rnd.randint(0, 59):02d}:"
                   f"{rnd.randint(0, 59):02d} {rnd.choice(LEVELS)} [{rnd.choice(COMPONENTS)}] " + shape.format(*fields))
    return out
