"""A time-boxed differential run of the exact clustering: generated lists of addresses, paths,
codes, log lines, long lines and non-ASCII text, with edited copies, clustered at a random
threshold serially and on the pool, against union-find over every pair's ratio (the engine's
ratio, itself checked against difflib on a sample of each list's pairs).

    PYTHONPATH=build/dev-NAME/stage python tools/cluster_fuzz.py [--seconds 600] [--seed 1]

Case k uses seed + 1000 k; a mismatch prints that seed, and `--seed S --cases 1` repeats the case.
Prints the number of cases and mismatches; exits 1 on any mismatch.
"""
import argparse
import difflib
import math
import random
import string
import sys
import time

import simsieve
from simsieve import _simsieve as native


def gen_urls(r, n):
    hosts = ["https://www.example.com", "https://shop.example.org", "http://api.test.io/v2"]
    words = ["products", "category", "item", "search", "user", "orders", "blog", "post", "tag"]
    out = []
    for _ in range(n):
        path = "/".join(r.choice(words) for _ in range(r.randint(1, 4)))
        q = f"?id={r.randint(1, 99999)}" + (f"&ref={r.choice(words)}" if r.random() < 0.5 else "")
        out.append(r.choice(hosts) + "/" + path + q)
    return out


def gen_paths(r, n):
    parts = ["usr", "lib", "python3", "site-packages", "share", "doc", "src", "tests", "__pycache__",
             "node_modules", "very_long_directory_name_for_testing", "another-folder.d", "x86_64-linux-gnu"]
    out = []
    for _ in range(n):
        depth = r.randint(3, 18)
        name = "".join(r.choice(string.ascii_lowercase) for _ in range(r.randint(3, 12)))
        folders = "/".join(r.choice(parts) for _ in range(depth))
        out.append("/" + folders + "/" + name + r.choice([".py", ".txt", ".so"]))
    return out


def gen_skus(r, n):
    symbols = string.ascii_uppercase + string.digits
    return ["".join(r.choice(symbols) for _ in range(r.randint(4, 12))) for _ in range(n)]


def gen_emails(r, n):
    first = ["john", "jane", "maria", "peter", "anna", "zoë", "łukasz", "chloé"]
    dom = ["gmail.com", "example.org", "mail.co.uk", "uni-bonn.de"]
    return [f"{r.choice(first)}{r.choice(['.', '_', ''])}{r.choice(first)}{r.randint(0, 999)}@{r.choice(dom)}"
            for _ in range(n)]


def gen_logs(r, n):
    lv = ["INFO", "WARN", "ERROR", "DEBUG"]
    msgs = ["connection from {ip} closed", "user {u} logged in", "request /api/{u} took {ms} ms",
            "cache miss for key {u}:{ms}"]
    out = []
    for _ in range(n):
        ip = ".".join(str(r.randint(0, 255)) for _ in range(4))
        m = r.choice(msgs).format(ip=ip, u=r.randint(1, 5000), ms=r.randint(1, 999))
        stamp = f"2026-12-{r.randint(1, 28):02d} {r.randint(0, 23):02d}:{r.randint(0, 59):02d}:{r.randint(0, 59):02d}"
        out.append(f"{stamp} {r.choice(lv)} {m}")
    return out


def gen_unicode(r, n):
    alpha = "abcé日本語中文😀🙂ßøπΩжЖ"
    return ["".join(r.choice(alpha) for _ in range(r.randint(0, 40))) for _ in range(n)]


def gen_many_distinct(r, n):
    # Many distinct non-ASCII characters a string, at lengths on both sides of 128, 255 and 256.
    base = [chr(0x4E00 + k) for k in range(400)]
    out = []
    for _ in range(n):
        size = r.choice([100, 128, 129, 140, 200, 255, 256, 300])
        pick = [r.choice(base) if r.random() < 0.7 else r.choice(string.ascii_lowercase) for _ in range(size)]
        out.append("".join(pick))
    return out


def gen_long_lines(r, n):
    words = ["alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta", "iota", "kappa", "(", ")", "=",
             "self", "return"]
    return [" ".join(r.choice(words) for _ in range(r.randint(15, 60))) for _ in range(n)]


def gen_runs(r, n):
    return ["".join(r.choice("ab") * r.randint(1, 30) for _ in range(r.randint(1, 8))) for _ in range(n)]


GENS = [gen_urls, gen_paths, gen_skus, gen_emails, gen_logs, gen_unicode, gen_many_distinct, gen_long_lines, gen_runs]


def mutate(r, s):
    s = list(s)
    for _ in range(r.randint(1, 4)):
        op = r.random()
        pos = r.randint(0, len(s))
        if op < 0.4 or not s:
            s.insert(pos, r.choice(string.ascii_letters + "é日/ "))
        elif op < 0.7:
            del s[min(pos, len(s) - 1)]
        else:
            s[min(pos, len(s) - 1)] = r.choice(string.ascii_letters + "0123")
    return "".join(s)


def make(r):
    n = r.randint(60, 700)
    g = r.choice(GENS)
    base = g(r, n)
    if r.random() < 0.3:
        base += r.choice(GENS)(r, r.randint(10, 200))
    out = []
    for s in base:
        out.append(s)
        for _ in range(r.choice([0, 0, 1, 2, 5])):
            out.append(mutate(r, s))
    if r.random() < 0.2:
        out += ["", ""]
    if r.random() < 0.3:
        out += [r.choice(out) for _ in range(10)]
    r.shuffle(out)
    return g.__name__, out


def reference(canon, t):
    """The clusters and minima by every pair's ratio, and those ratios (lower index first)."""
    n = len(canon)
    parent = list(range(n))

    def find(x):
        while parent[x] != x:
            parent[x] = parent[parent[x]]
            x = parent[x]
        return x

    ratios = {}
    for i in range(n):
        for j in range(i + 1, n):
            ratios[i, j] = value = simsieve.ratio(canon[i], canon[j])
            if math.isnan(t) or value >= t:
                parent[find(i)] = find(j)
    groups = {}
    for k in range(n):
        groups.setdefault(find(k), []).append(k)
    out = [(m, min(ratios[a, b] for x, a in enumerate(m) for b in m[x + 1 :])) for m in groups.values() if len(m) > 1]
    out.sort(key=lambda c: c[0][0])
    return out, ratios


def run_case(seed):
    r = random.Random(seed)
    kind, data = make(r)
    canon = list(dict.fromkeys(data))[:900]
    t = r.choice([0.3, 0.5, 0.6, 0.7, 0.75, 0.8, 0.85, 0.9, 0.95, 1.0])
    expected, ratios = reference(canon, t)
    failures = 0
    for i, j in r.sample(list(ratios), min(30, len(ratios))):
        d = difflib.SequenceMatcher(None, canon[i], canon[j], autojunk=False).ratio()
        if d != ratios[i, j]:
            print("ratio mismatch: seed", seed, kind, repr(canon[i]), repr(canon[j]), d, ratios[i, j], flush=True)
            failures += 1
    for threads in (0, 1):
        if native.cluster_canonicals(canon, t, threads=threads) != expected:
            print("cluster mismatch: seed", seed, kind, len(canon), "strings at", t, "threads", threads, flush=True)
            failures += 1
    return failures


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--seconds", type=float, default=600)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--cases", type=int, default=None)
    args = ap.parse_args()
    stop = time.time() + args.seconds
    cases = failures = 0
    while time.time() < stop and (args.cases is None or cases < args.cases):
        failures += run_case(args.seed + 1000 * cases)
        cases += 1
    print("cases", cases, "mismatches", failures, flush=True)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
