"""cosine_join against scikit-learn and sparse_dot_topn on real token documents.

Every measurement runs in a fresh child process, so its peak memory is its own: the figure is the
growth of the child's peak resident set over the call, the loaded corpus excluded. Times are
medians of --repeats runs (the pipeline from token lists to the thresholded pair list, each
method timed the same way). The peers are benchmark-only:

    python -m venv /tmp/bench-venv && /tmp/bench-venv/bin/pip install scikit-learn sparse_dot_topn
    PYTHONPATH=build/dev-NAME/stage /tmp/bench-venv/bin/python bench/bench_cosine.py

scikit-learn's TfidfVectorizer smooths its idf (and keeps tokens present everywhere), so its
cosines differ from cosine_join's: its pair counts are a sanity check only, not a target.
"""

import argparse
import json
import os
import pickle
import resource
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

METHODS = ("simsieve", "sparse_dot_topn", "sklearn")
SWEEP = [0.95, 0.9, 0.85, 0.8, 0.75, 0.7, 0.65, 0.6, 0.55, 0.5]


MEMORY_CAP = 12 << 30  # address-space cap of a child, so a peer that explodes fails alone


def status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(field)


def reset_peak():
    """Resets the peak resident set (VmHWM) to the current one; returns the current one."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    return status_kib("VmRSS")


def sklearn_matrix(docs):
    from sklearn.feature_extraction.text import TfidfVectorizer

    return TfidfVectorizer(analyzer=lambda d: d, lowercase=False).fit_transform(docs).tocsr()


def upper_pairs(product, t):
    import scipy.sparse as sp

    upper = sp.triu(product, 1).tocoo()
    return int((upper.data >= t).sum())


def run_simsieve(docs, t):
    import simsieve

    return len(simsieve.cosine_join(docs, t))


def run_sklearn(docs, t):
    x = sklearn_matrix(docs)
    return upper_pairs(x @ x.T, t)


TOPN_CAP = None  # --topn-top-n: keep at most this many results per row (None: every row)


def run_topn(docs, t):
    from sparse_dot_topn import sp_matmul_topn

    x = sklearn_matrix(docs)
    # Strictly-greater threshold just below t, then the same >= t filter as the others. top_n is
    # every row, so nothing above t is cut; a low density guess keeps the first allocation
    # small (its default reserves room for top_n results per row), growing as needed.
    n = min(x.shape[0], TOPN_CAP or x.shape[0])
    product = sp_matmul_topn(x, x.T, top_n=n, threshold=t - 1e-12, n_threads=os.cpu_count(),
                             density=min(1.0, 2e7 / (n * x.shape[0])))
    return upper_pairs(product, t)


def run_sweep(docs, mode):
    import simsieve

    counts = []
    if mode == "joiner":
        joiner = simsieve.CosineJoiner(docs)
        for t in SWEEP:
            counts.append(len(joiner.join(t)))
    else:
        for t in SWEEP:
            counts.append(len(simsieve.cosine_join(docs, t)))
    return counts


def child(args):
    with open(args.corpus, "rb") as f:
        docs = pickle.load(f)
    fn = {"simsieve": run_simsieve, "sklearn": run_sklearn, "sparse_dot_topn": run_topn}.get(args.method)
    resource.setrlimit(resource.RLIMIT_AS, (MEMORY_CAP, MEMORY_CAP))
    times, result, peak = [], None, 0
    for _ in range(args.repeats):
        base = reset_peak()
        t0 = time.perf_counter()
        result = run_sweep(docs, args.method[6:]) if args.method.startswith("sweep:") else fn(docs, args.threshold)
        times.append(time.perf_counter() - t0)
        peak = max(peak, status_kib("VmHWM") - base)
    print(json.dumps({"times": times, "result": result, "peak_mib": peak / 1024}))


def measure(python, corpus, method, threshold, repeats, timeout):
    cmd = [python, os.path.abspath(__file__), "--child", method, "--corpus", corpus,
           "--threshold", repr(threshold), "--repeats", str(repeats)]
    if TOPN_CAP:
        cmd += ["--topn-top-n", str(TOPN_CAP)]
    try:
        out = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, check=True).stdout
    except subprocess.TimeoutExpired:
        return None
    except subprocess.CalledProcessError as exc:
        sys.stderr.write(exc.stderr)
        return {"error": exc.stderr.strip().splitlines()[-1] if exc.stderr.strip() else "failed"}
    return json.loads(out.strip().splitlines()[-1])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--sizes", type=int, nargs="+", default=[20000, 100000])
    ap.add_argument("--thresholds", type=float, nargs="+", default=[0.9, 0.7, 0.5])
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--peer-repeats", type=int, default=1, help="repeats for the (slow) peers")
    ap.add_argument("--timeout", type=float, default=1800, help="seconds per measurement")
    ap.add_argument("--methods", nargs="+", default=list(METHODS))
    ap.add_argument("--peer-thresholds", type=float, nargs="+",
                    help="thresholds at which the peers run (default: all); their cost hardly depends on it")
    ap.add_argument("--sweep-sizes", type=int, nargs="*", default=[20000], help="sizes that get the sweep")
    ap.add_argument("--sweep", action="store_true", help="also run the threshold sweep")
    ap.add_argument("--topn-top-n", type=int, help="cap sparse_dot_topn's results per row (then not exact)")
    ap.add_argument("--child")
    ap.add_argument("--corpus")
    ap.add_argument("--threshold", type=float)
    args = ap.parse_args()
    global TOPN_CAP
    TOPN_CAP = args.topn_top_n
    if args.child:
        args.method = args.child
        return child(args)

    from cosine_corpus import stdlib_documents

    print("python %s, %d cores" % (sys.version.split()[0], os.cpu_count()))
    tmp = tempfile.mkdtemp(prefix="bench-cosine-")
    for n in args.sizes:
        docs = stdlib_documents(n)
        corpus = os.path.join(tmp, "docs%d.pkl" % n)
        with open(corpus, "wb") as f:
            pickle.dump(docs, f)
        print("\n### %d documents, %d tokens\n" % (len(docs), sum(map(len, docs))))
        print("| threshold | method | median s | peak MiB | pairs | time vs simsieve |")
        print("|---|---|---|---|---|---|")
        for t in args.thresholds:
            base = None
            for method in args.methods:
                if method != "simsieve" and args.peer_thresholds and t not in args.peer_thresholds:
                    continue
                reps = args.repeats if method == "simsieve" else args.peer_repeats
                r = measure(sys.executable, corpus, method, t, reps, args.timeout)
                if r is None:
                    print("| %.2f | %s | > %.0f (timed out) | | | |" % (t, method, args.timeout), flush=True)
                    continue
                if "error" in r:
                    print("| %.2f | %s | failed: %s | | | |" % (t, method, r["error"]), flush=True)
                    continue
                med = statistics.median(r["times"])
                if method == "simsieve":
                    base = med
                ratio = "%.1fx" % (med / base) if base else ""
                print("| %.2f | %s | %.3f | %.0f | %d | %s |" % (t, method, med, r["peak_mib"], r["result"], ratio),
                      flush=True)
        if args.sweep and n in args.sweep_sizes:
            print("\nThreshold sweep %s:\n" % ", ".join(map(str, SWEEP)))
            print("| way | median s | peak MiB | ratio |")
            print("|---|---|---|---|")
            res = {m: measure(sys.executable, corpus, "sweep:" + m, 0.0, args.repeats, args.timeout)
                   for m in ("joiner", "free")}
            assert res["joiner"]["result"] == res["free"]["result"]
            j = statistics.median(res["joiner"]["times"])
            for m, label in (("joiner", "one CosineJoiner, 10 joins"), ("free", "10 cosine_join calls")):
                med = statistics.median(res[m]["times"])
                print("| %s | %.3f | %.0f | %.2fx |" % (label, med, res[m]["peak_mib"], med / j), flush=True)


if __name__ == "__main__":
    main()
