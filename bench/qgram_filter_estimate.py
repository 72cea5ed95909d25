"""How selective a q-gram prefix and count filter would be as the candidate search of the exact
clustering, on distinct standard-library lines (pure Python, no simsieve needed):

    python bench/qgram_filter_estimate.py 100000 0.9 4

A pair with M matched characters has at most la + lb - 2M + 1 matching blocks, so at threshold t it
shares at least tau = need - (delta_max + 1)(q - 1) q-gram occurrences (need = ceil(t (la + lb) / 2),
delta_max = la + lb - 2 need). Tokens are (q-gram, occurrence) in global rarity order; a row's
prefix holds its |Q| - tau_min + 1 rarest tokens, tau_min the least tau over its length window.
Printed: rows with no usable tau, the sampled rows' length-window pairs, how many of them share a
prefix token, and how many pass the full count filter.
"""

from __future__ import annotations

import bisect
import collections
import math
import random
import sys

from stdlib_corpus import stdlib_lines


def main() -> None:
    n, t, q = int(sys.argv[1]), float(sys.argv[2]), int(sys.argv[3])
    lines = sorted(stdlib_lines(n), key=len)
    lengths = [len(s) for s in lines]

    def tau(la: int, lb: int) -> int:
        total = la + lb
        need = math.ceil(t * total * 0.5)
        return need - (total - 2 * need + 1) * (q - 1)

    tokens, freq = [], collections.Counter()
    for s in lines:
        grams = collections.Counter(s[i:i + q] for i in range(len(s) - q + 1))
        tk = [(g, k) for g, m in grams.items() for k in range(m)]
        tokens.append(tk)
        freq.update(tk)
    prefixes, postings, unusable = [], collections.defaultdict(list), 0
    for p, tk in enumerate(tokens):
        least = tau(lengths[p], max(1, math.ceil(lengths[p] * t / (2 - t))))
        tk.sort(key=lambda x: (freq[x], x))
        if least <= 0:
            prefixes.append(None)
            unusable += 1
            continue
        prefix = tk[:max(0, len(tk) - least + 1)]
        prefixes.append(prefix)
        for x in prefix:
            postings[x].append(p)
    window = candidates = passing = 0
    for p in random.Random(1).sample(range(n), 400):
        if prefixes[p] is None:
            continue
        end = bisect.bisect_right(lengths, lengths[p] * (2 - t) / t + 1e-9)
        window += end - p - 1
        found = {r for x in prefixes[p] for r in postings[x] if p < r < end}
        candidates += len(found)
        mine = collections.Counter(tokens[p])
        passing += sum(sum((mine & collections.Counter(tokens[r])).values()) >= tau(lengths[p], lengths[r])
                       for r in found)
    print(f"n={n} t={t} q={q}: no usable tau {unusable}, window pairs {window}, share a prefix token "
          f"{candidates} ({candidates / window:.4f}), pass the count filter {passing} ({passing / window:.5f})")


if __name__ == "__main__":
    main()
