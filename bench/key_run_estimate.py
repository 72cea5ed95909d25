"""How much of the length window the key runs of the exact candidate scan leave, on distinct
standard-library lines (pure Python and numpy, no simsieve needed):

    python bench/key_run_estimate.py 50000

The scan orders rows by length and, within a length, by a key: the count of their characters in
one half of the character set. For lengths la <= lb and keys differing by d, the L1 distance of
the character counts is at least |d| + |lb - la - d|, so only keys within a run can reach the
histogram bound. Printed: the share of the window's pairs inside the run, for the half along which
the characters' shares vary most (the leading principal direction, as the scan chooses it, here
over single characters instead of the scan's 32 groups) and for the lowercase letters.
"""

import sys

import numpy as np

from stdlib_corpus import stdlib_lines


def main() -> None:
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 50000
    lines = [s for s in stdlib_lines(n) if 0 < len(s) <= 255]
    counts = np.zeros((len(lines), 129), np.int16)
    for i, s in enumerate(lines):
        for ch in s:
            counts[i, min(ord(ch), 128)] += 1
    lengths = counts.sum(1)
    shares = counts / lengths[:, None]
    rng = np.random.default_rng(1)
    sample = shares[rng.choice(len(lines), min(20000, len(lines)), replace=False)]
    _, _, vt = np.linalg.svd(sample - sample.mean(0), full_matrices=False)
    halves = {"most varying half": np.nonzero(vt[0] > 0)[0],
              "lowercase letters": np.array([ord(c) for c in "abcdefghijklmnopqrstuvwxyz"])}
    probes = rng.choice(len(lines), 400, replace=False)
    for t in (0.8, 0.9):
        for name, half in halves.items():
            key = counts[:, half].sum(1)
            total = inside = 0
            for p in probes:
                la = lengths[p]
                window = (lengths >= la) & (2 * np.minimum(lengths, la) / (lengths + la) >= t)
                window[p] = False
                lb = lengths[window]
                need = np.ceil(t * (la + lb) / 2 - 1e-9)
                limit = la + lb - 2 * need
                grow = lb - la
                d = key[window] - key[p]
                inside += ((d <= (limit + grow) // 2) & (d >= -((limit - grow) // 2))).sum()
                total += window.sum()
            print(f"threshold {t}, {name}: {inside / total:.1%} of the window's pairs in the key run")


if __name__ == "__main__":
    main()
