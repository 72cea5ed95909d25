"""The simsieve command-line tool, run as a subprocess like a user would."""

import codecs
import csv
import io
import json
import os
import random
import signal
import subprocess
import sys
import time
import tomllib
from pathlib import Path

import pytest

import simsieve

ROOT = Path(__file__).resolve().parent.parent
NAMES = ROOT / "examples" / "names.txt"
SANITIZE = os.environ.get("SIMSIEVE_TEST_PROFILE") == "sanitize"


def cli(*args, stdin=None, env=None, stdout=subprocess.PIPE):
    return subprocess.run([sys.executable, "-m", "simsieve", *map(str, args)], input=stdin, stdout=stdout,
                          stderr=subprocess.PIPE, env={**os.environ, **(env or {})}, timeout=300)


def ok(*args, **kwargs):
    done = cli(*args, **kwargs)
    assert done.returncode == 0, done.stderr.decode()
    return done


def json_clusters(*args, **kwargs):
    """Clusters as printed by --format json: sorted (line numbers, min ratio) tuples."""
    got = json.loads(ok(*args, "--format", "json", **kwargs).stdout)
    return [(tuple(m["line"] for m in c["members"]), c["min_ratio"]) for c in got]


def write(path, text, encoding="utf-8"):
    path.write_bytes(text.encode(encoding))
    return path


def test_ratio_command_and_identity():
    done = ok("ratio", "john smith", "jon smyth")
    assert float(done.stdout.decode()) == simsieve.ratio("john smith", "jon smyth")

    version = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
    assert simsieve.__version__ == version
    assert ok("--version").stdout.decode() == f"simsieve {version}\n"

    import inspect
    shown = str(inspect.signature(simsieve.ratio))
    assert "object at" not in shown and "threads=0" in shown, shown


def test_input_errors_name_the_file_and_exit_2(tmp_path):
    missing = tmp_path / "nope.txt"
    done = cli("cluster", missing)
    assert done.returncode == 2 and done.stdout == b""
    assert str(missing) in done.stderr.decode() and len(done.stderr.decode().strip().splitlines()) == 1

    bad = tmp_path / "bad.txt"
    bad.write_bytes(b"fine\nalso fine\n\xff\xfe broken\n")
    done = cli("join", bad)
    assert done.returncode == 2 and done.stdout == b""
    message = done.stderr.decode()
    assert message.startswith(f"simsieve: {bad}:3: not valid utf-8") and "--errors replace" in message

    table = write(tmp_path / "t.csv", "name,city\nann,paris\nbob\n")
    done = cli("cluster", table, "--column", "city")
    assert done.returncode == 2 and f"{table}:3:" in done.stderr.decode()
    done = cli("cluster", table, "--column", "country")
    assert done.returncode == 2 and "no column named 'country'" in done.stderr.decode()


@pytest.mark.parametrize("args,message", [
    (("cluster", "-", "--threshold", "abc"), "invalid number: 'abc'"),
    (("cluster", "-", "--threshold", "1.5"), "must be between 0 and 1: 1.5"),
    (("cluster", "-", "--threshold", "-0.1"), "must be between 0 and 1: -0.1"),
    (("cluster", "-", "--threshold", "nan"), "must be between 0 and 1: nan"),
    (("join", "-", "--threshold", "2"), "must be between 0 and 1: 2"),
    (("match", "-", "x", "--score-cutoff", "1.01"), "must be between 0 and 1: 1.01"),
    (("match", "-", "x", "--limit", "0"), "must be 1 or more: 0"),
    (("match", "-", "-"), "only one of QUERIES and CHOICES"),
    (("cluster", "-", "--lsh", "--num-perm", "0"), "--num-perm: must be 1 or more: 0"),
    (("cluster", "-", "--lsh", "--band-rows", "0"), "--band-rows: must be 1 or more: 0"),
    (("cluster", "-", "--lsh", "--num-perm", "4", "--band-rows", "8"), "--band-rows 8 is larger than --num-perm 4"),
    (("cluster", "-", "--lsh", "--num-perm", "2"), None),  # the default band rows shrink to fit: not an error
    (("cluster", "-", "--num-perm", "64"), "--num-perm only apply with --lsh"),
    (("cluster", "-", "--num-perm", "64", "--band-rows", "2"), "--num-perm and --band-rows only apply with --lsh"),
    (("cluster", "-", "--threads", "-1"), "must be 0 or more: -1"),
    (("cluster", "-", "--format", "xml"), "invalid choice: 'xml'"),
    (("cluster", "-", "--encoding", "klingon"), "unknown encoding: klingon"),
    (("cluster", "-", "--errors", "skip"), "invalid choice: 'skip'"),
    (("cluster", "-", "--delimiter", ";"), "need --column"),
    (("cluster", "-", "--column", "1", "--delimiter", "ab"), "must be one character"),
    (("cluster", "-", "--dedupe", "--format", "json"), "--dedupe writes the input file itself"),
    (("bogus",), "invalid choice: 'bogus'"),
    ((), "required: COMMAND"),
])
def test_invalid_options_are_usage_errors(args, message):
    done = cli(*args, stdin=b"")
    if message is None:
        assert done.returncode == 0, done.stderr
        return
    assert done.returncode == 2 and done.stdout == b""
    err = done.stderr.decode()
    assert err.startswith("usage: simsieve") and message in err, err


def test_lsh_warns_when_most_lines_are_shorter_than_a_shingle(tmp_path):
    words = write(tmp_path / "words.txt", "".join(f"w{k}\nword {k}\n" for k in range(30)))
    done = ok("cluster", words, "--lsh")
    err = done.stderr.decode()
    assert "shorter than the 9-byte MinHash shingle" in err and "drop --lsh to use the exact mode" in err
    long_lines = write(tmp_path / "long.txt", "".join(f"a line of source code number {k}\n" for k in range(50)))
    assert ok("cluster", long_lines, "--lsh").stderr == b""
    assert ok("cluster", NAMES).stderr == b""


def asymmetric_pair():
    """Two strings whose ratio reaches 0.6 in one direction only."""
    rng = random.Random(5)
    while True:
        a = "".join(rng.choice("abc") for _ in range(rng.randint(4, 9)))
        b = "".join(rng.choice("abc") for _ in range(rng.randint(4, 9)))
        ab, ba = simsieve.ratio(a, b), simsieve.ratio(b, a)
        if min(ab, ba) < 0.6 <= max(ab, ba):
            return (a, b) if a < b else (b, a)


def test_clusters_do_not_depend_on_the_order_of_the_lines(tmp_path):
    low, high = asymmetric_pair()
    forward = write(tmp_path / "forward.txt", f"{low}\n{high}\n")
    backward = write(tmp_path / "backward.txt", f"{high}\n{low}\n")
    assert len(json_clusters("cluster", forward, "--threshold", "0.6")) == \
        len(json_clusters("cluster", backward, "--threshold", "0.6"))
    # In file order one of the two files links the pair and the other does not.
    in_order = [json_clusters("cluster", f, "--threshold", "0.6", "--input-order") for f in (forward, backward)]
    assert sorted(map(len, in_order)) == [0, 1]

    rng = random.Random(11)
    lines = ["".join(rng.choice("abcd") for _ in range(rng.randint(5, 12))) for _ in range(400)]

    def by_text(path, shuffled):
        got = json.loads(ok("cluster", path, "--threshold", "0.7", "--format", "jsonl").stdout.decode()
                         .replace("\n", ",").rstrip(",").join("[]"))
        # Identical lines are interchangeable, so clusters are compared as multisets of texts.
        return sorted((tuple(sorted(m["text"] for m in c["members"])), c["min_ratio"]) for c in got)

    reference = None
    for seed in range(3):
        shuffled = lines[:]
        random.Random(seed).shuffle(shuffled)
        path = write(tmp_path / f"s{seed}.txt", "\n".join(shuffled) + "\n")
        got = by_text(path, shuffled)
        assert got, "the input should have clusters"
        reference = reference or got
        assert got == reference


def test_every_format_carries_the_same_clusters(tmp_path):
    text = NAMES.read_text(encoding="utf-8")
    lines = text.splitlines()
    from_json = json.loads(ok("cluster", NAMES, "--format", "json").stdout)
    assert from_json, "the sample has clusters"
    sizes = [c["size"] for c in from_json]
    assert sizes == sorted(sizes, reverse=True)
    for number, c in enumerate(from_json, start=1):
        assert c["cluster"] == number and c["size"] == len(c["members"])
        assert all(m["text"] == lines[m["line"] - 1] for m in c["members"])
        assert c["representative"] == c["members"][0] == min(c["members"], key=lambda m: m["line"])
        texts = [m["text"] for m in c["members"]]
        assert c["min_ratio"] == min(simsieve.ratio(a, b) if a < b else simsieve.ratio(b, a)
                                     for k, a in enumerate(texts) for b in texts[k + 1:])

    from_jsonl = [json.loads(line) for line in ok("cluster", NAMES, "--format", "jsonl").stdout.decode().splitlines()]
    assert from_jsonl == from_json

    rows = list(csv.DictReader(io.StringIO(ok("cluster", NAMES, "--format", "csv").stdout.decode())))
    assert [(int(r["cluster"]), int(r["line"]), r["text"], float(r["min_ratio"]), int(r["representative"]))
            for r in rows] == [(c["cluster"], m["line"], m["text"], c["min_ratio"], c["representative"]["line"])
                               for c in from_json for m in c["members"]]

    out = ok("cluster", NAMES).stdout.decode()
    assert out.count("cluster ") == len(from_json)
    for c in from_json:
        assert f"cluster {c['cluster']}: {c['size']} members, min ratio {c['min_ratio']:.4f}, " \
               f"representative line {c['representative']['line']}" in out
    assert f": {from_json[0]['members'][1]['text']}\n" in out

    empty = write(tmp_path / "empty.txt", "")
    assert ok("cluster", empty).stdout == b"no clusters\n"
    assert json.loads(ok("cluster", empty, "--format", "json").stdout) == []
    assert ok("cluster", empty, "--format", "jsonl").stdout == b""


def test_dedupe_keeps_one_line_per_cluster_and_the_rest_of_the_file(tmp_path):
    source = "\ufeffJohn Smith\r\n\r\nMary Jones\r\njohn smith\r\nJon Smith\r\nacme\r\nMarie Jones"
    path = write(tmp_path / "names.txt", source)
    out = ok("cluster", path, "--dedupe", "--casefold").stdout
    assert out == "\ufeffJohn Smith\r\n\r\nMary Jones\r\nacme\r\n".encode()
    # The last line stays without its newline when it is kept.
    assert ok("cluster", write(tmp_path / "b.txt", "abcdef\nxyz\nabcdeg"), "--dedupe").stdout == b"abcdef\nxyz\n"
    assert ok("cluster", write(tmp_path / "c.txt", "abcdef\nabcdeg\nxyz"), "--dedupe").stdout == b"abcdef\nxyz"

    table = 'id,name\n1,"John\nSmith"\n2,Mary\n3,"John\nSmyth"\n'
    out = ok("cluster", write(tmp_path / "t.csv", table), "--column", "name", "--dedupe", "--threshold", "0.8").stdout
    assert out == b'id,name\n1,"John\nSmith"\n2,Mary\n'

    latin = write(tmp_path / "latin.txt", "café noir\ncafé noire\nthé\n", "latin-1")
    assert ok("cluster", latin, "--encoding", "latin-1", "--dedupe").stdout == "café noir\nthé\n".encode("latin-1")


def test_input_handling(tmp_path):
    def clusters(path, *args):
        got = json.loads(ok("cluster", path, "--format", "json", *args).stdout)
        return [[(m["line"], m["text"]) for m in c["members"]] for c in got]

    # A byte-order mark is not part of the first line; blank lines are skipped, numbers stay the file's.
    path = write(tmp_path / "bom.txt", "\ufeffjohn smith\n\n   \njon smith\n")
    assert clusters(path) == [[(1, "john smith"), (4, "jon smith")]]
    blanks = write(tmp_path / "blank.txt", "\n\nx\n\n")
    assert clusters(blanks) == []
    assert clusters(blanks, "--keep-blank") == [[(1, ""), (2, ""), (4, "")]]

    # Other encodings, and undecodable bytes replaced or ignored on request.
    for encoding in ("latin-1", "utf-16", "cp1252"):
        path = write(tmp_path / f"{encoding}.txt", "Zürich\nZurich\nGenève\n", encoding)
        assert clusters(path, "--encoding", encoding, "--threshold", "0.8") == [[(1, "Zürich"), (2, "Zurich")]]
    broken = tmp_path / "broken.txt"
    broken.write_bytes(b"caf\xe9 noir\ncaf\xe9 noir!\n")
    assert cli("cluster", broken).returncode == 2
    assert clusters(broken, "--errors", "replace") == [[(1, "caf\ufffd noir"), (2, "caf\ufffd noir!")]]
    assert clusters(broken, "--errors", "ignore") == [[(1, "caf noir"), (2, "caf noir!")]]

    # Normalisation changes what matches, never what is shown.
    loud = write(tmp_path / "loud.txt", "  JOHN SMITH\njohn smith  \nmary\n")
    assert clusters(loud, "--threshold", "1") == []
    assert clusters(loud, "--threshold", "1", "--casefold", "--strip") == [[(1, "  JOHN SMITH"), (2, "john smith  ")]]


def test_csv_and_tsv_columns(tmp_path):
    def members(path, *args):
        got = json.loads(ok("cluster", path, "--format", "json", "--threshold", "0.8", *args).stdout)
        return [[(m["line"], m["text"]) for m in c["members"]] for c in got]

    expected = [[(2, "John Smith"), (4, "Jon Smith")]]
    table = write(tmp_path / "people.csv", "id,name,city\n1,John Smith,Paris\n2,Mary Jones,Oslo\n3,Jon Smith,Rome\n")
    assert members(table, "--column", "name") == expected
    assert members(table, "--column", "2") == expected  # header detected and skipped
    semicolons = write(tmp_path / "people.txt", "id;name\n1;John Smith\n2;Mary Jones\n3;Jon Smith\n")
    assert members(semicolons, "--column", "name") == expected  # delimiter guessed
    tsv = write(tmp_path / "people.tsv", "1\tJohn Smith\n2\tMary Jones\n3\tJon Smith\n")
    assert members(tsv, "--column", "2", "--no-header") == [[(1, "John Smith"), (3, "Jon Smith")]]
    piped = ok("cluster", "-", "--column", "2", "--delimiter", "tab", "--format", "jsonl", stdin=tsv.read_bytes())
    assert [m["line"] for m in json.loads(piped.stdout)["members"]] == [1, 3]
    # A quoted field over two lines is one record, numbered by its first line; blank fields are skipped.
    multi = write(tmp_path / "multi.csv", 'k,v\n1,"John\nSmith"\n2,\n3,"Jon\nSmith"\n')
    assert members(multi, "--column", "v") == [[(2, "John\nSmith"), (5, "Jon\nSmith")]]


@pytest.mark.skipif(not hasattr(simsieve, "cluster_canonicals_lsh"), reason="LSH not built")
def test_cluster_lsh_matches_the_library():
    lines = sorted(NAMES.read_text(encoding="utf-8").splitlines())
    expected = simsieve.cluster_canonicals_lsh(lines, 0.7, 64, 2)
    got = json.loads(ok("cluster", NAMES, "--lsh", "--num-perm", "64", "--band-rows", "2", "--threshold", "0.7",
                        "--format", "json").stdout)
    assert sorted(tuple(sorted(m["text"] for m in c["members"])) for c in got) == \
        sorted(tuple(sorted(lines[k] for k in m)) for m, _ in expected)


def test_join_formats(tmp_path):
    docs = ["the quick brown fox", "", "the quick brown dog", "a slow green turtle", "the quick brown fox"]
    path = write(tmp_path / "docs.txt", "\n".join(docs) + "\n")
    kept = [d for d in docs if d]
    numbers = [k + 1 for k, d in enumerate(docs) if d]
    expected = [(numbers[j], numbers[i], cos, kept[j], kept[i])
                for j, i, cos in simsieve.cosine_join([d.split() for d in kept], 0.5)]
    assert expected
    got = json.loads(ok("join", path, "--threshold", "0.5", "--format", "json").stdout)
    assert [(p["line_a"], p["line_b"], p["cosine"], p["text_a"], p["text_b"]) for p in got] == expected
    lines = ok("join", path, "--threshold", "0.5", "--format", "jsonl").stdout.decode().splitlines()
    assert [json.loads(line) for line in lines] == got
    rows = list(csv.DictReader(io.StringIO(ok("join", path, "--threshold", "0.5", "--format", "csv").stdout.decode())))
    assert [(int(r["line_a"]), int(r["line_b"]), float(r["cosine"]), r["text_a"], r["text_b"]) for r in rows] == expected
    text = ok("join", path, "--threshold", "0.5").stdout.decode()
    assert text.count("cosine") == len(expected) and f"lines 1 and 5: cosine {expected[0][2]:.6f}" in text
    assert ok("join", path, "--threshold", "1", "--format", "json").stdout == b"[]\n"


@pytest.mark.skipif(not hasattr(simsieve, "match"), reason="simsieve.match not built yet")
def test_match_command(tmp_path):
    queries = ["jon smith", "", "mary jones", "nobody at all"]
    choices = ["john smith", "joan smith", "marie jones", "jon smyth", "zzz"]
    qpath = write(tmp_path / "q.txt", "\n".join(queries) + "\n")
    cpath = write(tmp_path / "c.txt", "\n".join(choices) + "\n")
    kept = [q for q in queries if q]
    qlines = [k + 1 for k, q in enumerate(queries) if q]
    for limit in (None, 1):
        expected = simsieve.match(kept, choices, score_cutoff=0.7, limit=limit)
        args = ["match", qpath, cpath, "--score-cutoff", "0.7"] + ([] if limit is None else ["--limit", limit])
        got = [json.loads(line) for line in ok(*args, "--format", "jsonl").stdout.decode().splitlines()]
        assert [(g["query_line"], g["choice_line"], g["score"]) for g in got] == \
            [(qlines[q], c + 1, s) for q, c, s in expected]
        assert all(g["query"] == queries[g["query_line"] - 1] and g["choice"] == choices[g["choice_line"] - 1]
                   for g in got)
        assert json.loads(ok(*args, "--format", "json").stdout) == got
    assert all(s == simsieve.ratio(choices[c], kept[q]) for q, c, s in expected)
    assert "query line 1: jon smith" in ok("match", qpath, cpath, "--score-cutoff", "0.7").stdout.decode()


def test_progress_lines(tmp_path):
    done = ok("cluster", NAMES, "--threshold", "0.7", "--progress")
    quiet = ok("cluster", NAMES, "--threshold", "0.7")
    assert quiet.stderr == b"" and quiet.stdout == done.stdout
    lines = done.stderr.decode().splitlines()
    # Not a terminal: one finished line per phase, none of the module's own per-batch lines.
    assert lines and all(line.startswith("simsieve: ") for line in lines), lines
    assert lines[0].startswith("simsieve: read: ")
    assert "\r" not in done.stderr.decode() and len(lines) == len({line.split(":")[1] for line in lines})
    # With a pool of its own the call reports the same phases.
    threaded = ok("cluster", NAMES, "--threshold", "0.7", "--progress", "--threads", "2").stderr.decode().splitlines()
    assert [line.split(":")[1] for line in threaded] == [line.split(":")[1] for line in lines]
    docs = write(tmp_path / "docs.txt", "a b c\na b d\n")
    assert ok("join", docs, "--progress").stderr.decode().count("simsieve: ") >= 2


def big_input(path, n=60_000, seed=1, vocabulary=300):
    rng = random.Random(seed)
    words = ["".join(rng.choice("abcdefgh") for _ in range(5)) for _ in range(vocabulary)]
    path.write_text("".join(" ".join(rng.choice(words) for _ in range(8)) + "\n" for _ in range(n)))
    return path


@pytest.mark.skipif(SANITIZE, reason="slow under sanitizers")
def test_ctrl_c_exits_130_with_one_line(tmp_path):
    path = big_input(tmp_path / "big.txt", 300_000)
    proc = subprocess.Popen([sys.executable, "-m", "simsieve", "cluster", path, "--threshold", "0.3"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    time.sleep(2.5)
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=120)
    assert proc.returncode == 130
    assert err == b"simsieve: interrupted\n" and out == b""


def test_closed_pipe_exits_quietly(tmp_path):
    path = big_input(tmp_path / "big.txt", 1_000, vocabulary=60)
    proc = subprocess.Popen([sys.executable, "-m", "simsieve", "join", path, "--threshold", "0.2"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert proc.stdout.readline().startswith(b"lines ")
    proc.stdout.close()
    err = proc.stderr.read()
    assert proc.wait(timeout=120) == 141
    assert err == b""


def test_write_error_is_one_line_and_exit_1():
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    with open("/dev/full", "wb") as full:
        done = cli("cluster", NAMES, stdout=full)
    assert done.returncode == 1
    assert done.stderr.decode() == "simsieve: cannot write the output: No space left on device\n"


def peak_rss_kib(argv, stdout):
    proc = subprocess.Popen(argv, stdout=stdout, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    assert proc.returncode == 0, proc.stderr.read().decode()
    return usage.ru_maxrss


API_JOIN = """
import sys, simsieve
lines = [l for l in open(sys.argv[1], encoding="utf-8").read().split("\\n") if l.strip()]
pairs = simsieve.cosine_join([l.split() for l in lines], float(sys.argv[2]))
print(len(pairs))
"""


@pytest.fixture(scope="module")
def dense_join(tmp_path_factory):
    """Documents with about half a million pairs at cosine 0.2, and the API's peak memory on them."""
    path = big_input(tmp_path_factory.mktemp("join") / "docs.txt", 2_000, seed=2, vocabulary=60)
    with open(path.with_suffix(".count"), "wb") as sink:
        api = peak_rss_kib([sys.executable, "-c", API_JOIN, str(path), "0.2"], sink)
    pairs = int(path.with_suffix(".count").read_text())
    assert pairs > 300_000
    return path, api


@pytest.mark.skipif(SANITIZE, reason="memory is not comparable under sanitizers")
@pytest.mark.parametrize("fmt", ["text", "csv", "jsonl", "json"])
def test_output_is_streamed(dense_join, tmp_path, fmt):
    path, api = dense_join
    with open(tmp_path / "out", "wb") as sink:
        tool = peak_rss_kib([sys.executable, "-m", "simsieve", "join", str(path), "--threshold", "0.2",
                             "--format", fmt], sink)
    size = (tmp_path / "out").stat().st_size
    # Tens of megabytes of output: holding it whole (as text, then encoded) would cost more than the bound.
    assert size > 20 * 2**20
    assert tool < 1.5 * api + 20 * 1024, (tool, api, size)
