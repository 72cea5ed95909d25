"""The command line against the API on the same work: wall time, CPU time and peak memory of
`simsieve COMMAND ... --format F > file` beside a script that reads the same file(s) and calls the
library function, writing nothing.

    PYTHONPATH=build/dev-NAME/stage python bench/bench_cli.py [--command join] [--n 100000]
        [--threshold 0.5] [--runs 1] [--formats text csv jsonl json]

join: `simsieve join FILE --threshold T` against `cosine_join`. match: the first --queries lines of
FILE matched against all of FILE (`simsieve match Q FILE --score-cutoff T`) against `match`.
cluster: `simsieve cluster FILE --threshold T` against `cluster_canonicals` (the format `dedupe`
runs `--dedupe`). The documents are those of the cosine benchmark (standard-library functions and
lines), one per line with their tokens joined by spaces. Runs alternate API and CLI so that both
see the same load; the table shows medians.
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from cosine_corpus import stdlib_documents  # noqa: E402

READ = """
import sys, simsieve
def lines(path):
    return [l for l in open(path, encoding="utf-8").read().split("\\n") if l.strip()]
"""
API = {
    "join": READ + "print(len(simsieve.cosine_join([l.split() for l in lines(sys.argv[1])], float(sys.argv[2]))))\n",
    "match": READ + "print(len(simsieve.match(lines(sys.argv[3]), lines(sys.argv[1]), score_cutoff=float(sys.argv[2]))))\n",
    "cluster": READ + "print(len(simsieve.cluster_canonicals(lines(sys.argv[1]), float(sys.argv[2]))))\n",
}


def measure(argv, out_path):
    with open(out_path, "wb") as sink:
        start = time.perf_counter()
        proc = subprocess.Popen(argv, stdout=sink)
        _, status, usage = os.wait4(proc.pid, 0)
        elapsed = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f"failed: {argv}")
    return elapsed, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024


def cli_argv(args, docs, queries, fmt):
    base = [sys.executable, "-m", "simsieve"]
    if args.command == "join":
        argv = base + ["join", str(docs), "--threshold", str(args.threshold)]
    elif args.command == "match":
        argv = base + ["match", str(queries), str(docs), "--score-cutoff", str(args.threshold)]
    else:
        argv = base + ["cluster", str(docs), "--threshold", str(args.threshold)]
    return argv + (["--dedupe"] if fmt == "dedupe" else ["--format", fmt])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--command", choices=sorted(API), default="join")
    ap.add_argument("--n", type=int, default=100_000)
    ap.add_argument("--queries", type=int, default=1000, help="match: queries taken from the start of the file")
    ap.add_argument("--threshold", type=float, default=0.5)
    ap.add_argument("--runs", type=int, default=1)
    ap.add_argument("--formats", nargs="+", default=["text", "csv", "jsonl", "json"])
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        docs = Path(tmp) / "docs.txt"
        texts = [" ".join(d) for d in stdlib_documents(args.n)]
        docs.write_text("".join(t + "\n" for t in texts), encoding="utf-8")
        queries = Path(tmp) / "queries.txt"
        queries.write_text("".join(t + "\n" for t in texts[:args.queries]), encoding="utf-8")
        out = Path(tmp) / "out"
        api_argv = [sys.executable, "-c", API[args.command], str(docs), str(args.threshold), str(queries)]
        load = os.getloadavg()[0]
        print(f"{args.command}: {args.n} documents"
              + (f", {args.queries} queries" if args.command == "match" else "")
              + f", threshold {args.threshold}, {os.cpu_count()} cores, load average {load:.1f}, "
              f"median of {args.runs} run(s)")
        print("| format | API s | CLI s | time ratio | API CPU s | CLI CPU s | API MiB | CLI MiB | memory ratio | output MiB |")
        print("|---|---|---|---|---|---|---|---|---|---|")
        for fmt in args.formats:
            api, tool = [], []
            for _ in range(args.runs):
                api.append(measure(api_argv, out))
                tool.append(measure(cli_argv(args, docs, queries, fmt), out))
            size = out.stat().st_size / 2**20
            at, ac, am = (statistics.median(m[k] for m in api) for k in range(3))
            ct, cc, cm = (statistics.median(m[k] for m in tool) for k in range(3))
            print(f"| {fmt} | {at:.1f} | {ct:.1f} | {ct / at:.2f} | {ac:.1f} | {cc:.1f} | {am:.0f} | {cm:.0f} | "
                  f"{cm / am:.2f} | {size:.0f} |", flush=True)
        print(f"load average at the end: {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
