"""Documents for the clustering benchmarks: strings of hundreds to thousands of characters, where
character counts tell pairs apart poorly.

- `documents(n)`: texts of random words over one alphabet, 1 000 to 2 000 characters, in families of
  five (a text and four copies with some words replaced); unrelated texts have nearly the same
  character counts.
- `source_chunks(n)`: windows of 1 000 characters of the standard library's own sources, at random
  offsets; neighbouring windows overlap.
"""

from __future__ import annotations

import glob
import os
import random
import sysconfig


def documents(n: int, seed: int = 4) -> list[str]:
    rnd = random.Random(seed)
    words = ["".join(rnd.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rnd.randint(2, 9))) for _ in range(3000)]
    out: list[str] = []
    while len(out) < n:
        base = " ".join(rnd.choice(words) for _ in range(rnd.randint(1000, 2000) // 6)).split(" ")
        for _ in range(5):
            copy = list(base)
            for _ in range(len(copy) // rnd.choice([8, 10, 12, 15])):
                copy[rnd.randrange(len(copy))] = rnd.choice(words)
            out.append(" ".join(copy))
    return out[:n]


def source_chunks(n: int, length: int = 1000, seed: int = 4) -> list[str]:
    rnd = random.Random(seed)
    paths = sorted(glob.glob(os.path.join(sysconfig.get_paths()["stdlib"], "*.py")))[:200]
    text = "".join(open(p, encoding="utf-8", errors="replace").read() for p in paths)
    return [text[s : s + length] for s in sorted(rnd.sample(range(len(text) - length), n))]
