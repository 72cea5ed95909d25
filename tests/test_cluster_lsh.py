"""cluster_canonicals_lsh against a reference written in plain Python from the definitions:
FNV-1a and the xorshift permutations on integers masked to 64 bits, nine-byte shingle sets,
signatures, band hashes, the candidate set, verification by difflib's match count against the
threshold's need, components and the minimum over all member pairs."""

import difflib
import inspect
import math
import os
import random
import string
import subprocess
import sys
import textwrap

import pytest

import simsieve
from simsieve import _simsieve as native

MASK = (1 << 64) - 1
FNV_BASIS = 0xCBF29CE484222325
FNV_PRIME = 0x100000001B3
SEED = 0x9E3779B97F4A7C15
NAN = float("nan")


# ---------------------------------------------------------------- reference


def fnv1a(values):
    h = FNV_BASIS
    for v in values:
        h = ((h ^ v) * FNV_PRIME) & MASK
    return h


def xorshift(x):
    x ^= (x << 13) & MASK
    x ^= x >> 7
    x ^= (x << 17) & MASK
    return x


def permutations(num_perm):
    x, out = SEED, []
    for _ in range(num_perm):
        x = xorshift(x)
        mul = x | 1
        x = xorshift(x)
        out.append((mul, x))
    return out


def shingles(text):
    data = text.encode()
    if len(data) <= 9:
        return {fnv1a(data)}
    return {fnv1a(data[s : s + 9]) for s in range(len(data) - 8)}


def signature(text, perms):
    values = shingles(text)
    return [min((mul * v + off) & MASK for v in values) for mul, off in perms]


def candidate_set(canonicals, num_perm, band_rows):
    n = len(canonicals)
    bands = 0 if n == 0 or band_rows == 0 else num_perm // band_rows
    perms = permutations(num_perm)
    sigs = [signature(c, perms) for c in canonicals]
    pairs = set()
    for t in range(bands):
        buckets = {}
        for i, sig in enumerate(sigs):
            buckets.setdefault(fnv1a(sig[t * band_rows : (t + 1) * band_rows]), []).append(i)
        for members in buckets.values():
            pairs.update((a, b) for x, a in enumerate(members) for b in members[x + 1 :])
    return pairs


def need_for(t, total):
    x = t * total * 0.5
    if math.isnan(x) or x <= 0:
        return 0
    if math.isinf(x) or x >= 2.0**64:
        return MASK
    return math.ceil(x)


def matches(a, b):
    return sum(block.size for block in difflib.SequenceMatcher(None, a, b, autojunk=False).get_matching_blocks())


def difflib_ratio(a, b):
    return difflib.SequenceMatcher(None, a, b, autojunk=False).ratio()


def verified_edges(canonicals, pairs, threshold):
    edges = []
    for lo, hi in pairs:
        a, b = canonicals[lo], canonicals[hi]
        total = len(a) + len(b)
        if total == 0:
            edges.append((lo, hi))
        elif not a or not b:
            if need_for(threshold, total) == 0:
                edges.append((lo, hi))
        elif matches(a, b) >= need_for(threshold, total):
            edges.append((lo, hi))
    return edges


def components(canonicals, edges):
    n = len(canonicals)
    parent = list(range(n))

    def find(x):
        while parent[x] != x:
            x = parent[x]
        return x

    for i, j in edges:
        ri, rj = find(i), find(j)
        if ri != rj:
            parent[ri] = rj
    groups = {}
    for k in range(n):
        groups.setdefault(find(k), []).append(k)
    out = []
    for members in groups.values():
        if len(members) >= 2:
            low = min(difflib_ratio(canonicals[a], canonicals[b]) for x, a in enumerate(members) for b in members[x + 1 :])
            out.append((members, low))
    return sorted(out, key=lambda c: c[0][0])


def reference(canonicals, threshold, num_perm, band_rows):
    """(clusters, number of candidate pairs, number of verified pairs)."""
    pairs = candidate_set(canonicals, num_perm, band_rows)
    edges = verified_edges(canonicals, sorted(pairs), threshold)
    return components(canonicals, edges), len(pairs), len(edges)


def progress_counts(capfd, monkeypatch, *args, **kwargs):
    """Runs one call with progress lines on; returns its result and the three counts they show."""
    monkeypatch.setenv("SIMSIEVE_PROGRESS", "")
    capfd.readouterr()
    result = native.cluster_canonicals_lsh(*args, **kwargs)
    lines = capfd.readouterr().err.splitlines()
    monkeypatch.delenv("SIMSIEVE_PROGRESS")
    assert len(lines) == 3, lines
    words = ["signatures", "candidate pairs", "verified pairs"]
    counts = []
    for line, word in zip(lines, words):
        assert line.startswith("    [simsieve] lsh: ") and line.endswith("s"), line
        count, rest = line[len("    [simsieve] lsh: ") :].split(" ", 1)
        assert rest.startswith(word + " in ")
        seconds = rest[len(word) + 4 : -1]
        assert len(seconds.split(".")[1]) == 2 and float(seconds) >= 0
        counts.append(int(count))
    return result, counts


# ---------------------------------------------------------------- inputs


def mutate(rnd, text):
    if not text or rnd.random() < 0.3:
        pos = rnd.randint(0, len(text))
        return text[:pos] + rnd.choice(string.ascii_lowercase + " _(é") + text[pos:]
    pos = rnd.randrange(len(text))
    if rnd.random() < 0.5:
        return text[:pos] + text[pos + 1 :]
    return text[:pos] + rnd.choice(string.ascii_letters) + text[pos + 1 :]


def source_lines(seed, count):
    rnd = random.Random(seed)
    lines = sorted({line.strip() for line in inspect.getsource(difflib).splitlines() if 4 < len(line.strip()) < 70})
    out = []
    for line in rnd.sample(lines, count):
        out.append(line)
        for _ in range(rnd.randint(0, 3)):
            out.append(mutate(rnd, out[-1] if rnd.random() < 0.5 else line))
    out += ["", "", out[0]]
    rnd.shuffle(out)
    return out


FIRST = ["john", "jon", "maria", "mario", "anna", "hannah", "peter", "zoë", "chloé", "łukasz", "alexander"]
LAST = ["smith", "smyth", "schmidt", "johnson", "jonson", "garcía", "garcia", "müller", "nowakowski"]


def names_with_typos(seed, count):
    rnd = random.Random(seed)
    out = []
    for _ in range(count):
        name = f"{rnd.choice(FIRST)} {rnd.choice(LAST)}"
        for _ in range(rnd.choice([0, 0, 1, 2])):
            name = mutate(rnd, name)
        out.append(name)
    return out


def short_strings(seed, count):
    rnd = random.Random(seed)
    return ["".join(rnd.choice("ab€😀") for _ in range(rnd.randint(0, 4))) for _ in range(count)]


def unicode_text(seed, count):
    rnd = random.Random(seed)
    base = ["日本語のテキスト処理", "Straße und Brücke", "naïve café crème", "😀 emoji 🚀 line", "ёжик в тумане"]
    out = []
    for _ in range(count):
        text = rnd.choice(base)
        for _ in range(rnd.randint(0, 3)):
            text = mutate(rnd, text)
        out.append(text)
    return out


INPUTS = {
    "lines": lambda seed: source_lines(seed, 25),
    "names": lambda seed: names_with_typos(seed, 60),
    "short": lambda seed: short_strings(seed, 40),
    "unicode": lambda seed: unicode_text(seed, 40),
}

CONFIGS = [(16, 1, 0.85), (32, 1, 0.95), (16, 2, 0.6), (32, 4, 0.7), (8, 1, 0.5), (64, 8, 0.8), (7, 3, 0.5), (1, 1, 0.3), (12, 12, 0.9), (5, 2, 1.0)]


# ---------------------------------------------------------------- differential tests


@pytest.mark.parametrize("kind", sorted(INPUTS))
@pytest.mark.parametrize("seed", range(2))
def test_against_reference(kind, seed, capfd, monkeypatch):
    canonicals = INPUTS[kind](seed)
    for num_perm, band_rows, threshold in CONFIGS:
        clusters, candidates, verified = reference(canonicals, threshold, num_perm, band_rows)
        got, counts = progress_counts(capfd, monkeypatch, canonicals, threshold, num_perm, band_rows)
        assert got == clusters, (num_perm, band_rows, threshold)
        assert counts == [len(canonicals), candidates, verified], (num_perm, band_rows, threshold)


@pytest.mark.parametrize("threshold", [1.5, 1.0000001, 0.0, -2.0, NAN, float("-inf"), float("inf")])
def test_thresholds_outside_the_unit_interval(threshold, capfd, monkeypatch):
    canonicals = ["", "abc", "", "abd", "abc", "x" * 12, "x" * 11 + "y", "", "q"]
    for num_perm, band_rows in [(4, 1), (1, 1), (6, 2)]:
        clusters, candidates, verified = reference(canonicals, threshold, num_perm, band_rows)
        got, counts = progress_counts(capfd, monkeypatch, canonicals, threshold, num_perm, band_rows)
        assert got == clusters
        assert counts == [len(canonicals), candidates, verified]
    # Empty strings are linked at every threshold; above 1 nothing else is.
    if threshold > 1:
        assert native.cluster_canonicals_lsh(canonicals, threshold, 4, 1) == [([0, 2, 7], 1.0)]


@pytest.mark.parametrize("num_perm,band_rows", [(8, 0), (4, 5), (0, 1), (0, 0), (3, 2**63)])
def test_no_bands(num_perm, band_rows, capfd, monkeypatch):
    canonicals = ["same", "same", "", "", "other"]
    got, counts = progress_counts(capfd, monkeypatch, canonicals, 0.0, num_perm, band_rows)
    assert got == [] and counts == [5, 0, 0]


def test_empty_input_prints_three_lines(capfd, monkeypatch):
    got, counts = progress_counts(capfd, monkeypatch, [], 0.5, 16, 4)
    assert got == [] and counts == [0, 0, 0]
    got, counts = progress_counts(capfd, monkeypatch, ["alone"], 0.5, 16, 4)
    assert got == [] and counts == [1, 0, 0]


def test_no_output_without_the_variable(capfd, monkeypatch):
    monkeypatch.delenv("SIMSIEVE_PROGRESS", raising=False)
    native.cluster_canonicals_lsh(names_with_typos(1, 50), 0.7, 16, 2)
    captured = capfd.readouterr()
    assert captured.err == "" and captured.out == ""


def test_oriented_ratios_of_copies(capfd, monkeypatch):
    # difflib's ratio depends on argument order for this pair (which shares shingles, so it can
    # become a candidate); whichever copy comes first decides which orientation is compared, for
    # linking and for the minimum.
    x, y = "abbbabbabbabb", "abbabbabbaab"
    assert difflib_ratio(x, y) == 0.88 and difflib_ratio(y, x) == 0.72
    shapes = ([x, y, x], [y, x, x], [x, x, y], [x] * 5 + [y] + [x] * 4, [y] * 3 + [x] * 3 + [y], [x, y] * 4)
    for canonicals in shapes:
        for threshold in (0.5, 0.8, 0.9, 1.0, 1.5, NAN):
            for num_perm, band_rows in [(64, 1), (3, 1), (8, 2)]:
                clusters, candidates, verified = reference(canonicals, threshold, num_perm, band_rows)
                got, counts = progress_counts(capfd, monkeypatch, canonicals, threshold, num_perm, band_rows)
                assert got == clusters, (canonicals, threshold, num_perm)
                assert counts == [len(canonicals), candidates, verified]
    # At 0.8 only the orientation x before y links them; the minimum then counts y before x too.
    assert native.cluster_canonicals_lsh([x, y], 0.8, 64, 1) == [([0, 1], 0.88)]
    assert native.cluster_canonicals_lsh([y, x], 0.8, 64, 1) == []
    assert native.cluster_canonicals_lsh([x, y, x], 0.8, 64, 1) == [([0, 1, 2], 0.72)]


def test_copies_mixed_with_near_duplicates(capfd, monkeypatch):
    rnd = random.Random(5)
    base = source_lines(3, 12) + ["", "q"]
    canonicals = [rnd.choice(base) for _ in range(150)]
    for threshold in (0.5, 0.8, 1.0, 1.2):
        clusters, candidates, verified = reference(canonicals, threshold, 24, 2)
        got, counts = progress_counts(capfd, monkeypatch, canonicals, threshold, 24, 2)
        assert got == clusters
        assert counts == [150, candidates, verified]


@pytest.mark.parametrize("text", ["john smith", "", "x" * 40])
def test_many_copies(text):
    n = 20000
    every = list(range(n))
    assert native.cluster_canonicals_lsh([text] * n, 0.8, 128, 4) == [(every, 1.0)]
    assert native.cluster_canonicals_lsh([text] * n, NAN, 16, 16, threads=2) == [(every, 1.0)]
    assert native.cluster_canonicals_lsh([text] * n, 1.5, 16, 4) == ([(every, 1.0)] if text == "" else [])
    assert native.cluster_canonicals_lsh([text] * n, 0.8, 16, 0) == []


def test_many_copies_among_other_strings():
    names = ["john smith", "jon smith", "john smyth", "mary jones", ""]
    canonicals = [names[k % 5] for k in range(10000)]
    groups = {s: [k for k, t in enumerate(canonicals) if t == s] for s in names}
    # The names share no nine-byte shingle, so their signatures differ at every position (each
    # permutation is a bijection) and only copies meet.
    got = native.cluster_canonicals_lsh(canonicals, 0.8, 32, 2)
    assert got == [(groups[s], 1.0) for s in names]
    assert native.cluster_canonicals_lsh(canonicals, 0.0, 64, 1) == got
    mixed = canonicals[:40] + ["john smithe", "john smithy"] * 3
    assert native.cluster_canonicals_lsh(mixed, 0.7, 64, 1) == reference(mixed, 0.7, 64, 1)[0]


# ---------------------------------------------------------------- relation to the exact pipeline, threads, processes


@pytest.mark.parametrize("kind", sorted(INPUTS))
def test_clusters_lie_inside_exact_clusters(kind):
    canonicals = INPUTS[kind](7)
    for threshold in (0.5, 0.7, 0.9, 1.0):
        exact = native.cluster_canonicals(canonicals, threshold)
        owner = {k: c for c, (members, _) in enumerate(exact) for k in members}
        for num_perm, band_rows in [(32, 2), (64, 1), (16, 4)]:
            for members, low in native.cluster_canonicals_lsh(canonicals, threshold, num_perm, band_rows):
                assert len({owner.get(k) for k in members}) == 1 and members[0] in owner
                # A cluster's minimum is over all its member pairs, so it is never below the
                # minimum of the exact cluster that holds it.
                assert low >= exact[owner[members[0]]][1]


def test_same_result_for_every_thread_count():
    canonicals = source_lines(11, 200) * 2 + names_with_typos(4, 300)
    expected = native.cluster_canonicals_lsh(canonicals, 0.6, 32, 2)
    assert expected and any(len(m) > 2 for m, _ in expected)
    for threads in (1, 3):
        assert native.cluster_canonicals_lsh(canonicals, 0.6, 32, 2, threads=threads) == expected


def test_same_result_in_another_process():
    script = textwrap.dedent(
        """
        import sys
        sys.path[:0] = {path!r}
        from test_cluster_lsh import source_lines, names_with_typos
        from simsieve import _simsieve as native
        canonicals = source_lines(2, 150) + names_with_typos(9, 200)
        print(repr(native.cluster_canonicals_lsh(canonicals, 0.65, 48, 3, threads=2)))
        """
    ).format(path=[os.path.dirname(__file__)] + sys.path)
    canonicals = source_lines(2, 150) + names_with_typos(9, 200)
    expected = native.cluster_canonicals_lsh(canonicals, 0.65, 48, 3)
    env = dict(os.environ, PYTHONHASHSEED="12345")
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, check=True).stdout
    assert out.strip() == repr(expected)


# ---------------------------------------------------------------- interface


def test_signature_and_reexport():
    # The package form adds only the as_arrow keyword (tests/test_columns.py).
    assert simsieve.cluster_canonicals_lsh(["ab", "ab"], 0.5, 16, 2) == native.cluster_canonicals_lsh(["ab", "ab"], 0.5, 16, 2)
    assert str(inspect.signature(native.cluster_canonicals_lsh)) == "(canonicals, threshold, num_perm, band_rows, threads=0)"
    doc = native.cluster_canonicals_lsh.__doc__
    assert "LSH" in doc and "`threads=0` means all cores and `threads=N` caps this call to N threads." in doc
    kwargs = dict(canonicals=("ab", "ab"), threshold=1, num_perm=2, band_rows=1, threads=1)
    assert native.cluster_canonicals_lsh(**kwargs) == [([0, 1], 1.0)]
    names = [attr for attr in dir(native) if not attr.startswith("_")]
    assert names.index("cluster_canonicals_lsh") > names.index("cluster_canonicals")


@pytest.mark.parametrize(
    "call,error,message",
    [
        (lambda: native.cluster_canonicals_lsh("abc", 0.5, 8, 2), TypeError, "argument 'canonicals': Can't extract `str` to `Vec`"),
        (lambda: native.cluster_canonicals_lsh(["a", None], 0.5, 8, 2), TypeError, "argument 'canonicals': 'None' is not an instance of 'str'"),
        (lambda: native.cluster_canonicals_lsh(["a"], "x", 8, 2), TypeError, "argument 'threshold': "),
        (lambda: native.cluster_canonicals_lsh(["a"], 0.5, 1.5, 2), TypeError, "argument 'num_perm': "),
        (lambda: native.cluster_canonicals_lsh(["a"], 0.5, -1, 2), OverflowError, ""),
        (lambda: native.cluster_canonicals_lsh(["a"], 0.5, 8, -1), OverflowError, ""),
        (lambda: native.cluster_canonicals_lsh(["a"], 0.5, 8, 2, threads=-1), OverflowError, ""),
        (lambda: native.cluster_canonicals_lsh(["a"], 0.5, 8), TypeError, "cluster_canonicals_lsh() missing 1 required positional argument: 'band_rows'"),
        (lambda: native.cluster_canonicals_lsh(["a"], 0.5, 8, 2, 0, 1), TypeError, "cluster_canonicals_lsh() takes from 4 to 5 positional arguments but 6 were given"),
    ],
)
def test_argument_errors(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert str(info.value).startswith(message)


@pytest.mark.parametrize("num_perm,band_rows", [(2**62, 4), (2**62, 0), (2**64 - 1, 1), (2**40, 2**40), (2**40, 0)])
def test_num_perm_beyond_memory_raises(num_perm, band_rows):
    with pytest.raises((ValueError, MemoryError), match="num_perm") as info:
        native.cluster_canonicals_lsh(["john smith", "jon smith"], 0.5, num_perm, band_rows)
    assert str(num_perm) in str(info.value)
    # The module stays usable.
    assert native.cluster_canonicals_lsh(["john smith"] * 2, 0.5, 4, 2) == [([0, 1], 1.0)]
