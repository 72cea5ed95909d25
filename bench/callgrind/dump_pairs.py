"""Writes the pairs of the ratio benchmark (bench_ratio.py's datasets and near-duplicates of 100 to
3162 characters, as in the report's size sweep) into OUT/NAME.bin for ratio_driver.cpp.

    PYTHONPATH=build/dev-NAME/stage python bench/callgrind/dump_pairs.py OUT
"""

import os
import random
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import bench_ratio  # noqa: E402

NAMES = {"short": "names", "code": "lines", "whole": "funcs", "ast.dump": "ast", "10k": "10k", "3k": "dna"}


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    sets = [(NAMES[title.split()[0]], pairs) for title, pairs, _ in bench_ratio.datasets(False)]
    corpus = bench_ratio.stdlib_text()[4]
    rnd = random.Random(7)
    for n in (100, 316, 1000, 3162):
        pairs = []
        for _ in range(max(1, min(40, 20000 // n))):
            start = rnd.randrange(len(corpus) - n)
            a = corpus[start:start + n]
            pairs.append((a, bench_ratio.edit(rnd, a, max(1, n // 500), "abcdefghijklmnopqrstuvwxyz_ ()\n")))
        sets.append((f"size{n}", pairs))
    for name, pairs in sets:
        with open(os.path.join(out, name + ".bin"), "wb") as handle:
            for a, b in pairs:
                for s in (a, b):
                    data = s.encode()
                    handle.write(struct.pack("<I", len(data)))
                    handle.write(data)
        print(name, len(pairs))


if __name__ == "__main__":
    main()
