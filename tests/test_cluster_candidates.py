"""The screened candidate search and the screened cluster minimum against plain references: the
plain scan of the length window (kept in the private test module), difflib pair by pair."""

import difflib
import math
import random

import pytest

import simsieve

from test_cluster_exact import Reference, mutate, names_with_typos, random_strings, source_lines

testing = pytest.importorskip("simsieve._testing")

THRESHOLDS = [0.0, 0.3, 0.5, 0.7, 0.8, 0.9, 0.95, 1.0, 1.5, -0.5, float("nan")]


def difflib_ratio(a, b):
    return difflib.SequenceMatcher(None, a, b, autojunk=False).ratio()


def edited_copies(seed, lines, copies):
    rnd = random.Random(seed)
    out = []
    for line in lines:
        out.append(line)
        for _ in range(copies):
            text = line
            for _ in range(rnd.randint(1, 3)):
                text = mutate(rnd, text)
            out.append(text)
    return out


def inputs():
    rnd = random.Random(7)
    long_lines = ["".join(rnd.choice("ab c") for _ in range(rnd.randint(260, 700))) for _ in range(12)]
    yield "source lines", source_lines(3, 40)
    yield "names", names_with_typos(4, 90)
    yield "random", random_strings(5, 80, "abcde ", 14)
    yield "non-ascii", random_strings(6, 70, "aé€𝄞bß ", 10) + ["ééé" * 90, "é" * 300]
    # Strings with more than 255 characters of one group fall back to the plain test.
    yield "long", long_lines + edited_copies(8, long_lines[:3], 2)
    # Lengths on both sides of 255, where the screen changes from byte-sized overlaps to distances.
    around = ["".join(rnd.choice("abcdefgh ") for _ in range(rnd.randint(215, 300))) for _ in range(10)]
    yield "around 255", around + edited_copies(10, around, 3)
    yield "copies and empties", ["", "", "x", "x", "ab", "ab", "ba", "", "abc" * 30, "abc" * 30]


# 0 leaves the screen's column count to its estimate; 8 and 16 fold the fine groups.
GROUPS = [0, 8, 16, 32]


@pytest.mark.parametrize("name,canonicals", list(inputs()))
def test_candidates_match_plain_scan_and_cover_every_reaching_pair(name, canonicals):
    ref = Reference(canonicals)
    for t in THRESHOLDS:
        screened = testing.candidate_pairs(canonicals, t)
        assert screened == testing.candidate_pairs(canonicals, t, True), (name, t)
        for groups in GROUPS[1:]:
            assert testing.candidate_pairs(canonicals, t, False, groups) == screened, (name, t, groups)
        found = set(screened)
        reaching = {pair for pair, r in ref.ratio.items() if math.isnan(t) or r >= t}
        assert reaching <= found, (name, t, sorted(reaching - found)[:5])


def test_candidates_on_standard_library_lines_with_edits():
    lines = edited_copies(9, sorted(set(source_lines(11, 120)))[:150], 2)
    for t in (0.5, 0.8, 0.9, 0.95):
        screened = testing.candidate_pairs(lines, t)
        assert screened == testing.candidate_pairs(lines, t, True)


def test_candidates_over_windows_longer_than_a_slice():
    # Thousands of rows per window: slices of the shared rows, tiles and their leftovers; large
    # enough for the estimate to choose a column count of its own.
    # Within one length the rows are walked by runs of keys: many rows per length and key, tiles
    # across lengths, and names whose characters vary little from one to the next.
    rnd = random.Random(14)
    around = ["".join(rnd.choice("abcdefgh (_)") for _ in range(rnd.randint(200, 300))) for _ in range(150)]
    for lines in (edited_copies(12, source_lines(13, 1000), 2), names_with_typos(15, 1200),
                  edited_copies(16, around, 3)):
        for t in (0.5, 0.8, 0.9, 0.95):
            plain = testing.candidate_pairs(lines, t, True)
            for groups in GROUPS:
                assert testing.candidate_pairs(lines, t, False, groups) == plain, (t, groups)


def plain_minimum(canonicals):
    n = len(canonicals)
    return min(difflib_ratio(canonicals[i], canonicals[j]) for i in range(n) for j in range(i + 1, n))


@pytest.mark.parametrize("parallel", [False, True])
@pytest.mark.parametrize("seed", range(5))
def test_block_minimum_equals_plain_minimum(seed, parallel):
    rnd = random.Random(seed)
    pools = [
        random_strings(seed, 30, "abc", 9),
        random_strings(seed, 30, "abcdefgh ", 25),
        random_strings(seed, 20, "aé€ b", 8),
        names_with_typos(seed, 25),
        edited_copies(seed, ["def __init__(self, name):", "return self._value", "x"], 4),
        # Disjoint characters somewhere: the minimum is 0.0.
        ["abc", "abd", "xyz"],
        # Non-ASCII strings without common ASCII characters but sharing a non-ASCII one.
        ["é1", "é2", "éé"],
        ["", ""],
        ["", "a"],
    ]
    for block in pools:
        block = list(block)
        rnd.shuffle(block)
        expected = plain_minimum(block)
        assert testing.block_minimum(block, 1.0, parallel) == expected, block
        # A start below the true minimum stays; one above it is lowered to it.
        assert testing.block_minimum(block, expected / 2, parallel) == expected / 2
        assert testing.block_minimum(block, min(1.0, expected + 0.01), parallel) == expected


def test_block_minimum_of_fewer_than_two():
    assert testing.block_minimum([], 1.0) == 1.0
    assert testing.block_minimum(["abc"], 0.75) == 0.75


@pytest.mark.parametrize("threshold", [0.5, 0.8])
def test_large_cluster_minimum_through_all_workers(threshold):
    # One big cluster of edited copies; its minimum is searched by all workers together once its
    # pairs exceed the (tiny) size given, and by one worker otherwise.
    lines = edited_copies(12, ["for key, value in sorted(items.items()):", "    return self._cache[key]"], 14)
    edges = [(i, i + 1, None) for i in range(len(lines) - 1)]
    expected = plain_minimum(lines)
    for size in (1, 100, 10**6):
        assert testing.form_clusters(lines, edges, False, size) == [(list(range(len(lines))), expected)]


def plain_lcs(a, b):
    row = [0] * (len(b) + 1)
    for x in a:
        prev = 0
        for j, y in enumerate(b, 1):
            prev, row[j] = row[j], prev + 1 if x == y else max(row[j], row[j - 1])
    return row[-1]


def test_longest_common_subsequence_bounds_every_ratio():
    # The edge search drops a candidate when this length cannot reach the threshold, so it must be
    # exact, and never below difflib's match count, across word boundaries and for any alphabet.
    rnd = random.Random(15)
    cases = [("", ""), ("", "abc"), ("abc", "abc"), ("a" * 64, "a" * 64), ("a" * 65, "a" * 63 + "b")]
    for _ in range(300):
        alphabet = rnd.choice(["ab", "abcd ", "aé€𝄞b", "abcdefghijklmnopqrstuvwxyz"])
        la, lb = rnd.choice([(5, 9), (40, 44), (63, 66), (64, 64), (130, 120), (200, 260), (200, 260), (700, 600)])
        a = "".join(rnd.choice(alphabet) for _ in range(rnd.randint(0, la)))
        b = mutate(rnd, a) if rnd.random() < 0.5 else "".join(rnd.choice(alphabet) for _ in range(rnd.randint(0, lb)))
        cases.append((a, b))
    for a, b in cases:
        lcs = testing.lcs_length(a, b)
        assert lcs == plain_lcs(a, b) == testing.lcs_length(b, a), (a, b)
        blocks = difflib.SequenceMatcher(None, a, b, autojunk=False).get_matching_blocks()
        assert sum(size for _, _, size in blocks) <= lcs
        # The test that leaves early, at needs around the length (in both orders, so that either
        # string may be the pattern, kept from the previous pair or built anew).
        for need in {0, 1, max(0, lcs - 9), max(0, lcs - 1), lcs, lcs + 1, lcs + 8, len(a) + len(b) + 1}:
            assert testing.lcs_reaches(a, b, need) == (lcs >= need), (a, b, need)
            assert testing.lcs_reaches(b, a, need) == (lcs >= need), (a, b, need)


def plain_longest_run(a, b):
    best, row = 0, [0] * (len(b) + 1)
    for x in a:
        for j in range(len(b), 0, -1):
            row[j] = row[j - 1] + 1 if x == b[j - 1] else 0
            best = max(best, row[j])
    return best


def test_common_run_screen_against_longest_common_substring():
    # The cluster minimum settles a pair as "not below" when this says yes, so it must never claim
    # a run that is not there, and it must find every one that is: patterns of one and two machine
    # words, runs that cross the word boundary, non-ASCII characters, runs at either end.
    rnd = random.Random(21)
    cases = [("", "abc"), ("abc", ""), ("a" * 64, "a" * 64), ("a" * 128, "a" * 70), ("x" * 63 + "abc", "abcx")]
    for _ in range(400):
        alphabet = rnd.choice(["ab", "abcd ", "aé€𝄞b", "abcdefghijklmnopqrstuvwxyz"])
        a = "".join(rnd.choice(alphabet) for _ in range(rnd.randint(0, rnd.choice([10, 64, 128]))))
        if rnd.random() < 0.5 and a:
            b = mutate(rnd, mutate(rnd, a))
        else:
            b = "".join(rnd.choice(alphabet) for _ in range(rnd.randint(0, 150)))
        cases.append((a, b))
    for a, b in cases:
        longest = plain_longest_run(a, b)
        for run in {0, 1, 2, longest - 1, longest, longest + 1, longest + 5}:
            if run >= 0:
                assert testing.shares_run(a, b, run) == (run <= longest), (a, b, run)
        # From a start on, in both: runs that begin before it, in either string, must not count.
        for start in {1, 2, len(a) // 2, len(a), len(a) + 3}:
            longest = plain_longest_run(a[start:], b[start:])
            for run in {0, 1, longest, longest + 1}:
                assert testing.shares_run(a, b, run, start) == (run <= longest), (a, b, run, start)


@pytest.mark.parametrize("parallel", [False, True])
def test_block_minimum_where_screens_settle_most_pairs(parallel):
    # Source lines with edited copies: most pairs share a run long enough to settle them, a few
    # need the full comparison, and the seeds must not change which minimum is found. Members
    # longer than one and two machine words and non-ASCII ones take the other paths.
    rnd = random.Random(31)
    lines = edited_copies(31, sorted(set(source_lines(17, 60)))[:30], 2)
    lines += ["é" + line + "€" for line in lines[:10]]
    lines += [lines[k] * 3 for k in range(3)] + [lines[4] + lines[5]]
    rnd.shuffle(lines)
    expected = plain_minimum(lines)
    assert testing.block_minimum(lines, 1.0, parallel) == expected
    assert testing.block_minimum(lines, min(1.0, expected + 0.05), parallel) == expected
    edges = [(i, i + 1, None) for i in range(len(lines) - 1)]
    assert testing.form_clusters(lines, edges, False, 1) == [(list(range(len(lines))), expected)]


def indexed_block(seed):
    # Source lines that all hold "self." somewhere, some with non-ASCII characters and some random
    # ones: every pair shares a character, the minimum is near 0.06, and the pairs' limits range
    # over runs of 1 to 9 characters.
    rnd = random.Random(seed)
    lines = [line for line in source_lines(seed, 300) if line]
    lines = [line + " é€" if k % 7 == 0 else line for k, line in enumerate(lines)]
    lines += ["".join(rnd.choice("abc de(é") for _ in range(rnd.randint(3, 150))) for _ in range(60)]
    placed = []
    for line in lines:
        k = rnd.randint(0, len(line))
        placed.append(line[:k] + "self." + line[k:])
    rnd.shuffle(placed)
    return placed


@pytest.mark.parametrize("parallel", [False, True])
def test_edge_search_takes_candidates_by_bound_then_pair(parallel):
    # Small lists are sorted whole. Larger ones are spread into buckets of neighbouring bounds and
    # each bucket sorted on its own; a bound most candidates share (one dominant fraction, or all
    # of them equal) fills one bucket, sorted across the workers. Bounds are the fractions the
    # scan produces, 2 * overlap / total, with 0.0 and 1.0 at the ends of the key range.
    rnd = random.Random(43)
    for size, totals, dominant in [(300, 20, None), (40_000, 300, None), (70_000, 80, 0.9), (50_000, 1, 1.0)]:
        bounds = []
        for _ in range(size):
            if dominant is not None and rnd.random() < 0.6:
                bounds.append(dominant)
            else:
                total = rnd.randint(1, totals)
                bounds.append(2 * rnd.randint(0, total // 2) / total if totals > 1 else 1.0)
        pairs = [(rnd.randrange(5000), rnd.randrange(5000)) for _ in range(size)]
        expected = [p for _, p in sorted(zip(bounds, pairs), key=lambda x: (-x[0], x[1]))]
        assert testing.rank_order(bounds, pairs, parallel) == expected, (size, totals, dominant)


@pytest.mark.parametrize("parallel", [False, True])
@pytest.mark.parametrize("seed", range(3))
def test_block_minimum_with_indexed_common_runs(seed, parallel):
    # Blocks of this size index their members' short runs once and settle a pair by one bit of its
    # row when both hold a run of the pair's limit; a run reported that is not there would settle
    # the minimum's pair. The reference is the engine's ratio (equal to difflib's) over all pairs.
    block = indexed_block(seed)
    assert len(block) > 600
    expected = min(simsieve.ratio(block[i], block[j]) for i in range(len(block)) for j in range(i + 1, len(block)))
    assert 0.0 < expected < 0.1
    assert testing.block_minimum(block, 1.0, parallel) == expected
    assert testing.block_minimum(block, min(1.0, expected + 0.02), parallel) == expected
    assert testing.block_minimum(block, expected / 2, parallel) == expected / 2


@pytest.mark.parametrize("seed", range(2))
def test_block_minimum_with_long_indexed_runs(seed):
    # Heavily edited copies of one line: every pair is alike but none closely, so the minimum is
    # near 0.3 and the pairs' limits are runs of 10 to 20 characters, indexed in two words. The
    # ASCII pairs the index finds without such a run go straight to the match count; non-ASCII
    # members and members too long for a run pattern take the other paths.
    rnd = random.Random(seed)
    base = "for key, value in sorted(self.items.items(), reverse=True):"
    block = []
    for k in range(560):
        chars = list(base)
        for _ in range(rnd.randint(8, 16)):
            chars[rnd.randrange(len(chars))] = rnd.choice("abcdefgh ()é" if k % 9 == 0 else "abcdefgh ()")
        block.append("".join(chars) + (base[:75] if k % 50 == 0 else ""))
    expected = min(simsieve.ratio(block[i], block[j]) for i in range(len(block)) for j in range(i + 1, len(block)))
    assert 0.1 < expected < 0.6
    for parallel in (False, True):
        assert testing.block_minimum(block, 1.0, parallel) == expected
        assert testing.block_minimum(block, min(1.0, expected + 0.05), parallel) == expected


def templated_lines(seed, n):
    # Lines of a few templates with varying fields, like log lines of one service: the pairs'
    # limits are runs far longer than any they share, so nearly every pair goes to the match
    # count, through several matching blocks; edited copies of some lines share long runs.
    rnd = random.Random(seed)
    templates = [
        "{ts} {level} [{part}] job {n} failed: timeout after {m} s",
        "{ts} {level} [{part}] cache miss for key {n}:{m}",
        "{ts} {level} [{part}] request {n} served in {m} ms",
    ]
    lines = []
    for k in range(n):
        ts = "2026-12-{:02}T{:02}:{:02}:{:02}".format(rnd.randint(1, 28), rnd.randrange(24), rnd.randrange(60), rnd.randrange(60))
        line = rnd.choice(templates).format(
            ts=ts, level=rnd.choice(["INFO", "WARN", "DEBUG"]), part=rnd.choice(["auth", "queue", "http", "é€"]),
            n=rnd.randrange(10**rnd.randint(1, 5)), m=rnd.randrange(10**rnd.randint(1, 5)))
        lines.append(line)
        if k % 10 == 0:
            chars = list(line)
            chars[rnd.randrange(len(chars))] = "#"
            lines.append("".join(chars))
    return lines


@pytest.mark.parametrize("parallel", [False, True])
def test_block_minimum_of_templated_lines(parallel):
    # Below the size that indexes runs, every pair the ends do not settle searches for a common run
    # of its limit before it is counted, and rows where that search keeps failing stop making it:
    # each pair must still be counted. Blocks of one template, and of all three.
    lines = templated_lines(5, 260)
    for block in (lines, [line for line in lines if "cache" in line], lines[:40]):
        expected = min(simsieve.ratio(block[i], block[j]) for i in range(len(block)) for j in range(i + 1, len(block)))
        assert testing.block_minimum(block, 1.0, parallel) == expected
        assert testing.block_minimum(block, min(1.0, expected + 0.03), parallel) == expected


def path_block(seed, n):
    # Paths under a few long shared directories, with file names that recur in several of them:
    # pairs are alike enough that their limits are longer than the run index reaches, most share
    # a start (or an end) at least that long, and some fall just short.
    rnd = random.Random(seed)
    roots = ["/usr/lib/python3.11/site-packages/pkg/", "/usr/lib/python3.12/site-packages/pkg/", "/usr/lib/pypy3.10/é/pkg/"]
    dirs = ["core/", "core/arch/", "tests/", "docs/html/", ""]
    names = ["".join(rnd.choice("abcdefghij_") for _ in range(rnd.randint(6, 12))) for _ in range(n // 4)]
    paths = {rnd.choice(roots) + rnd.choice(dirs) + rnd.choice(names) + rnd.choice([".py", ".pyi", ""]) for _ in range(n)}
    return sorted(paths, key=lambda _: rnd.random())


def test_shared_ends_report_exactly_the_common_starts_and_ends():
    # Every member sharing its first (last) L characters with x, and no other: classes of several
    # lengths made in turn on one index, bitsets for large ones, lists for small ones, members
    # shorter than L, copies, empty strings and non-ASCII characters.
    block = path_block(7, 500) + ["", "/", "/srv/www/", "/srv/www/", "x" * 40, "é/données", "é/donnéesé"]
    block += [p[::-1] for p in path_block(8, 60)]
    random.Random(9).shuffle(block)
    lengths = [1, 2, 9, 10, 17, 30, 31, 200, 5000, 0]
    for from_end in (False, True):
        texts = [t[::-1] for t in block] if from_end else block
        for parallel in (False, True):
            found = testing.shared_ends(block, lengths, from_end, parallel)
            for length, rows in zip(lengths, found):
                if length == 0 or length > 4096:
                    assert rows is None
                    continue
                starts = [t[:length] if len(t) >= length else None for t in texts]
                expected = [[y for y in range(x + 1, len(block)) if starts[x] is not None and starts[y] == starts[x]]
                            for x in range(len(block))]
                assert rows == expected, (length, from_end)


@pytest.mark.parametrize("parallel", [False, True])
def test_block_minimum_of_paths_settled_by_common_ends(parallel):
    # Large blocks settle the pairs whose common start or end reaches their limit a word of members
    # at a time, from the members ordered by their characters; a class one character too wide
    # would settle a pair that falls short, too narrow only costs time.
    block = path_block(3, 900)
    assert len(block) > 600
    expected = min(simsieve.ratio(block[i], block[j]) for i in range(len(block)) for j in range(i + 1, len(block)))
    for start in (1.0, min(1.0, expected + 0.01), min(1.0, expected + 0.2)):
        assert testing.block_minimum(block, start, parallel) == expected, start
    # Only the pairs under one directory: the minimum is higher, and so are the limits.
    under = [p for p in block if p.startswith("/usr/lib/python3.12")]
    if len(under) > 1:
        expected = min(simsieve.ratio(under[i], under[j]) for i in range(len(under)) for j in range(i + 1, len(under)))
        assert testing.block_minimum(under, 1.0, parallel) == expected


@pytest.mark.parametrize("parallel", [False, True])
def test_block_minimum_of_paths_longer_than_the_run_search(parallel):
    # Rows of 129 to 255 characters are counted by run lengths alone, without the searches for a
    # common run; rows whose characters do not all get bytes, or that are longer, go to the
    # indexed search. Paths under one long root, so that the limits are long, with a few that are
    # alike in their middles only.
    rnd = random.Random(12)
    root = "/home/builder/checkouts/" + "/".join("".join(rnd.choice("abcdefgh") for _ in range(9)) for _ in range(7))
    block = [p.replace("/usr/lib", root) for p in path_block(5, 320)]
    block += ["x" + p[1:-2] + "é" for p in block[:20]]
    block += [root[::-1] + "/tail", "".join(chr(0x400 + k) for k in range(130)) + root, root * 3]
    assert sum(129 <= len(p) <= 255 for p in block) > 250
    rnd.shuffle(block)
    expected = min(simsieve.ratio(block[i], block[j]) for i in range(len(block)) for j in range(i + 1, len(block)))
    for start in (1.0, min(1.0, expected + 0.01), min(1.0, expected + 0.2)):
        assert testing.block_minimum(block, start, parallel) == expected, start
    # Without the odd members the minimum is higher, and so are the limits.
    alike = [p for p in block if p.startswith(root) and len(p) <= 255][:200]
    expected = min(simsieve.ratio(alike[i], alike[j]) for i in range(len(alike)) for j in range(i + 1, len(alike)))
    assert testing.block_minimum(alike, 1.0, parallel) == expected


def common_ends(a, b):
    shorter = min(len(a), len(b))
    p = 0
    while p < shorter and a[p] == b[p]:
        p += 1
    s = 0
    while s < shorter - p and a[-1 - s] == b[-1 - s]:
        s += 1
    return p, s


def test_pair_minimum_by_common_prefix_and_suffix():
    # A common prefix and suffix prove P + S matched characters only when no common run is longer
    # than the prefix. Pairs where the run is longer and the count falls short of P + S are
    # collected on purpose; each pair is asked against a start just above its ratio, where
    # "not below" is one character too many.
    rnd = random.Random(3)
    pairs, short_of_ends = [], 0
    while short_of_ends < 40:
        head = "".join(rnd.choice("ab") for _ in range(rnd.randint(1, 3)))
        a = head + "".join(rnd.choice("ab") for _ in range(rnd.randint(1, 7)))
        b = head + "".join(rnd.choice("ab") for _ in range(rnd.randint(1, 7)))
        p, s = common_ends(a, b)
        if p < s:
            continue
        matched = sum(m.size for m in difflib.SequenceMatcher(None, a, b, autojunk=False).get_matching_blocks())
        if matched < p + s:
            short_of_ends += 1
        elif len(pairs) > 1500:
            continue
        pairs.append((a, b))
    for a, b in pairs:
        expected = difflib_ratio(a, b)
        assert testing.block_minimum([a, b], 1.0) == expected, (a, b)
        assert testing.block_minimum([a, b], min(1.0, expected + 1e-9)) == expected, (a, b)


def test_pair_minimum_at_every_limit_after_a_common_prefix():
    # A common prefix that is the longest common run is the first matching block, and then a
    # common run of the two rests after it proves the rest of the count. Each pair is asked against
    # every running minimum between two match counts, so every limit is tried: a rule that counts a
    # run reaching back into the prefix, or a prefix that is not the first block, gets a pair wrong.
    rnd = random.Random(8)
    pairs = [("abcab", "abcba"), ("xay", "xya"), ("aab", "aba"), ("ab" + "ba", "ab" + "aab")]
    for _ in range(500):
        alphabet = rnd.choice(["ab", "abc", "ab é"])
        head = "".join(rnd.choice(alphabet) for _ in range(rnd.randint(1, 5)))
        a = head + "".join(rnd.choice(alphabet) for _ in range(rnd.randint(0, 9)))
        b = head + "".join(rnd.choice(alphabet) for _ in range(rnd.randint(0, 9)))
        pairs.append((a, b))
    for a, b in pairs:
        expected = difflib_ratio(a, b)
        total = len(a) + len(b)
        for k in range(min(len(a), len(b)) + 1):
            start = (2 * k + 1) / total
            assert testing.block_minimum([a, b], start) == min(start, expected), (a, b, k)


@pytest.mark.parametrize("parallel", [False, True])
def test_block_minimum_of_log_lines(parallel):
    # Log lines of a few shapes: every pair shares the date's head, so at a low running minimum
    # most pairs are settled by that prefix and a run of what follows it; large enough for the
    # run index.
    rnd = random.Random(12)
    shapes = ["request {} served in {} ms", "user {} logged in from 10.{}.{}", "cache miss for key {}:{}",
              "job {} failed: timeout after {} s", "retrying {} of {}"]
    block = set()
    while len(block) < 700:
        shape = rnd.choice(shapes)
        fields = [rnd.randint(0, 99999) for _ in range(shape.count("{}"))]
        block.add(f"2026-12-{rnd.randint(1, 28):02d}T{rnd.randint(0, 23):02d}:{rnd.randint(0, 59):02d} "
                  f"{rnd.choice(['INFO', 'WARN', 'ERROR'])} " + shape.format(*fields))
    block = sorted(block)
    rnd.shuffle(block)
    expected = min(simsieve.ratio(block[i], block[j]) for i in range(len(block)) for j in range(i + 1, len(block)))
    assert testing.block_minimum(block, 1.0, parallel) == expected
    for start in (expected + 0.01, expected + 0.1):
        assert testing.block_minimum(block, start, parallel) == expected


@pytest.mark.parametrize("parallel", [False, True])
def test_block_minimum_of_records_with_common_ends(parallel):
    # Records of one shape (a key, a timestamp, a fixed tail): most pairs share a long prefix and
    # suffix but no long run, so the minimum rests on which pairs the ends settle. Large enough
    # for the run index, which answers whether a run longer than the prefix exists.
    rnd = random.Random(11)
    block = set()
    while len(block) < 600:
        key = rnd.choice(["CreateDate", "UpdateDate", "Created"])
        stamp = (f"20{rnd.randint(10, 26)}-{rnd.randint(1, 12):02d}-{rnd.randint(1, 28):02d}T"
                 f"{rnd.randint(0, 23):02d}:{rnd.randint(0, 59):02d}:{rnd.randint(0, 59):02d}")
        block.add(f'"{key}":"{stamp}+00:00"' + ("," if rnd.random() < 0.5 else "") + ("é" if rnd.random() < 0.05 else ""))
    block = sorted(block)
    rnd.shuffle(block)
    expected = min(simsieve.ratio(block[i], block[j]) for i in range(len(block)) for j in range(i + 1, len(block)))
    assert testing.block_minimum(block, 1.0, parallel) == expected
    assert testing.block_minimum(block, min(1.0, expected + 0.03), parallel) == expected
    small = block[:40]
    assert testing.block_minimum(small, 1.0, parallel) == plain_minimum(small)


@pytest.mark.parametrize("parallel", [False, True])
def test_indexed_block_minimum_where_a_longer_run_breaks_the_ends(parallel):
    # a and b share a prefix of 5 and a suffix of 2, but also a run of 6, and match only 6
    # characters: their ends prove nothing. Copies of both make the block large enough for the
    # run index, which must report that run; the other members (edited copies, all pairs above
    # the pair's ratio in both orders) lower the running minimum to where the ends would settle it.
    a, b = "xyyxyxzzxxyyxyy", "xyyxyyzyxzzyy"
    low = difflib_ratio(a, b)
    assert common_ends(a, b) == (5, 2) and low * (len(a) + len(b)) / 2 == 6
    rnd = random.Random(4)
    others = []
    while len(others) < 40:
        chars = list(rnd.choice([a, b]))
        for _ in range(3):
            chars[rnd.randrange(len(chars))] = rnd.choice("wv")
        s = "".join(chars)
        if all(simsieve.ratio(u, v) > low for g in others + [a, b] for u, v in ((s, g), (g, s))):
            others.append(s)
    block = [a] * 290 + [b] * 290 + others
    assert testing.block_minimum(block, 1.0, parallel) == low
    assert testing.block_minimum(block, low + 1e-9, parallel) == low


def test_indexed_cluster_minimum_skips_known_pairs_and_copies():
    # A cluster large enough for the run index, settled a word of members at a time: pairs whose
    # ratio the edges give are not compared again (here the lowest pair's is given, too high on
    # purpose, so comparing it would show), and copies of one string are never compared.
    block = indexed_block(7)[:560]
    ratios = {(i, j): simsieve.ratio(block[i], block[j]) for i in range(len(block)) for j in range(i + 1, len(block))}
    low_pair = min(ratios, key=ratios.get)
    lines = block + [block[k] for k in range(0, 560, 40) if k not in low_pair]
    edges = [(i, i + 1, None) for i in range(len(lines) - 1)] + [(*low_pair, 1.0)]
    expected = min(min(r for pair, r in ratios.items() if pair != low_pair), 1.0)
    # The copies pair with every member in both orders.
    copies = range(len(block), len(lines))
    expected = min([expected] + [simsieve.ratio(lines[i], lines[j]) for j in copies for i in range(j) if lines[i] != lines[j]])
    assert expected > ratios[low_pair]
    assert testing.form_clusters(lines, edges, False, 1) == [(list(range(len(lines))), expected)]


def test_run_index_reports_exactly_the_ascii_common_runs():
    # The index may miss runs with non-ASCII characters (those pairs go to the exact tests), but
    # every run it reports must be there, and it must report every ASCII one: rows with one
    # member's runs unioned as bitsets (common runs) and member by member (rare ones), across
    # word boundaries of the bitsets, with repeated runs and strings shorter than q.
    rnd = random.Random(43)
    block = indexed_block(5)[:150] + ["", "ab", "aaaaaaaaaaaa", "é€aé€", "selfé.", "x" * 200]
    block += ["".join(rnd.choice("ab é") for _ in range(rnd.randint(0, 30))) for _ in range(120)]
    rnd.shuffle(block)

    def ascii_runs(text, q):
        return {text[k : k + q] for k in range(len(text) - q + 1) if all(ord(c) < 128 for c in text[k : k + q])}

    for q in (1, 2, 3, 5, 9, 10, 18):
        runs = [ascii_runs(text, q) for text in block]
        expected = [[y for y in range(x + 1, len(block)) if runs[x] & runs[y]] for x in range(len(block))]
        for parallel in (False, True):
            assert testing.shared_runs(block, q, parallel) == expected, q


@pytest.mark.parametrize("path", ["fastest", "sse2", "bitwise"])
def test_bit_parallel_match_count_equals_difflib(path):
    # Short members are compared by this count instead of the indexed search; it must follow
    # difflib's recursion exactly, tie-breaks included (earliest in the first string, then in the
    # second), in one and two machine words (or one to sixteen vectors of run lengths in bytes, 16
    # or, where the processor has AVX2, 32 lanes a pass, whatever characters either string
    # holds), and stop only once the limit is certain. Patterns of 129 to 255 characters are
    # counted by the run lengths alone (9 to 16 vectors), whatever the path asked for.
    rnd = random.Random(41)
    for _ in range(3000):
        alphabet = rnd.choice(["ab", "abc ", "aé€𝄞b", "abcdefghij klmnop"])
        a = "".join(rnd.choice(alphabet) for _ in range(rnd.randint(0, rnd.choice([8, 40, 64, 65, 128, 200, 255]))))
        b = mutate(rnd, a) if rnd.random() < 0.3 else "".join(
            rnd.choice(alphabet) for _ in range(rnd.randint(0, rnd.choice([8, 40, 90, 150, 300]))))
        if rnd.random() < 0.2:
            b = "".join(c if rnd.random() < 0.8 else rnd.choice("é\x7f\xfe\xff") for c in b)
        blocks = difflib.SequenceMatcher(None, a, b, autojunk=False).get_matching_blocks()
        matched = sum(size for _, _, size in blocks)
        assert testing.run_match_count(a, b, 10**9, path) == matched, (a, b)
        limit = rnd.randint(0, matched + 2)
        got = testing.run_match_count(a, b, limit, path)
        assert got >= limit if matched >= limit else got == matched, (a, b, limit)
    # Many distinct non-ASCII characters: up to 126 of them get bytes of their own, more do not,
    # and a pattern longer than 128 characters is then not counted at all.
    for distinct, ascii in ((126, 0), (127, 0), (128, 0), (126, 120), (127, 1)):
        a = "".join(chr(0x100 + k) for k in range(distinct))
        a = a + a[-1] if distinct < 128 else a
        a += "".join(rnd.choice("abc/") for _ in range(ascii))
        for b in [a[::-1], a[40:] + a[:40], mutate(rnd, a) + "é" + a[:50], "ééé€", "é" + a[-1] + "é"]:
            matched = sum(size for _, _, size in difflib.SequenceMatcher(None, a, b, autojunk=False).get_matching_blocks())
            expected = None if len(a) > 128 and distinct > 126 else matched
            assert testing.run_match_count(a, b, 10**9, path) == expected, (a, b)
    # Runs of every length around the powers of two the longest match is assembled from.
    for length in [1, 2, 3, 4, 7, 8, 9, 31, 32, 33, 63, 64, 65, 100, 127, 128, 129, 160, 240, 254, 255]:
        a = "".join(rnd.choice("abcdefgh") for _ in range(length))
        for b in [a, a[: length // 2] + "#" + a[length // 2 + 1 :], "xy" + a[1:], a[:-1] + "#" + a]:
            matched = sum(size for _, _, size in difflib.SequenceMatcher(None, a, b, autojunk=False).get_matching_blocks())
            assert testing.run_match_count(a, b, 10**9, path) == matched, (a, b)
            assert testing.run_match_count(a, b, matched, path) >= matched, (a, b)
