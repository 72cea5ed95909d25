"""The command line against the API on the same cosine join: wall time and peak memory of
`simsieve join FILE --format F > file` beside a script that reads the file and calls cosine_join.

    PYTHONPATH=build/dev-NAME/stage python bench/bench_cli.py [--n 100000] [--threshold 0.5] [--runs 1]

The documents are those of the cosine benchmark (standard-library functions and lines), one per
line with their tokens joined by spaces. Runs alternate API and CLI so that both see the same load.
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

API = """
import sys, simsieve
lines = [l for l in open(sys.argv[1], encoding="utf-8").read().split("\\n") if l.strip()]
pairs = simsieve.cosine_join([l.split() for l in lines], float(sys.argv[2]))
print(len(pairs))
"""


def measure(argv, out_path):
    with open(out_path, "wb") as sink:
        start = time.perf_counter()
        proc = subprocess.Popen(argv, stdout=sink)
        _, status, usage = os.wait4(proc.pid, 0)
        elapsed = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f"failed: {argv}")
    return elapsed, usage.ru_maxrss / 1024


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=100_000)
    ap.add_argument("--threshold", type=float, default=0.5)
    ap.add_argument("--runs", type=int, default=1)
    ap.add_argument("--formats", nargs="+", default=["text", "csv", "jsonl", "json"])
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        docs = Path(tmp) / "docs.txt"
        docs.write_text("".join(" ".join(d) + "\n" for d in stdlib_documents(args.n)), encoding="utf-8")
        out = Path(tmp) / "out"
        api_argv = [sys.executable, "-c", API, str(docs), str(args.threshold)]
        print(f"{args.n} documents, threshold {args.threshold}, {os.cpu_count()} cores")
        print("| format | API s | CLI s | time ratio | API MiB | CLI MiB | memory ratio | output MiB |")
        print("|---|---|---|---|---|---|---|---|")
        for fmt in args.formats:
            api, tool = [], []
            for _ in range(args.runs):
                api.append(measure(api_argv, out))
                tool.append(measure([sys.executable, "-m", "simsieve", "join", str(docs), "--threshold",
                                     str(args.threshold), "--format", fmt], out))
            size = out.stat().st_size / 2**20
            at, am = statistics.median(t for t, _ in api), statistics.median(m for _, m in api)
            ct, cm = statistics.median(t for t, _ in tool), statistics.median(m for _, m in tool)
            print(f"| {fmt} | {at:.1f} | {ct:.1f} | {ct / at:.2f} | {am:.0f} | {cm:.0f} | {cm / am:.2f} | {size:.0f} |",
                  flush=True)


if __name__ == "__main__":
    main()
