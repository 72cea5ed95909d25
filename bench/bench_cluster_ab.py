"""Two builds side by side on the same clustering calls, each call in a fresh process, back to back:
wall and CPU seconds (user + system of the child), clusters, a hash of the whole result, peak RSS.

    python bench/bench_cluster_ab.py --a /path/to/old/stage --b build/dev-NAME/stage \\
        100000:0.8:exact 100000:0.9:exact 200000:0.8:lsh

Each case is lines:threshold:mode[:copies[:input]], on that many distinct standard-library lines
(bench/stdlib_corpus.py), each followed by `copies` edited copies (one to three random character
edits each, fixed seed; 200000:0.8:lsh:4 is a million lines), or with input "logs" on that many
synthetic log lines (bench/log_corpus.py), "docs" on that many documents of random words in
families and "chunks" on that many windows of source files (bench/document_corpus.py), "paths" on
the paths of that many files under the interpreter's library directory (copies ignored for all
four); mode "exact" is cluster_canonicals,
"lsh" is cluster_canonicals_lsh with 128 permutations and 4 rows a band. CPU seconds are the
steadier figure on a shared machine.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
from pathlib import Path

CHILD = r'''
import sys, time, resource, hashlib, json
sys.path.insert(0, sys.argv[4])
from stdlib_corpus import file_paths, lines_with_edited_copies
from log_corpus import log_lines
from document_corpus import documents, source_chunks
from simsieve import _simsieve as native
n, t, mode, copies = int(sys.argv[1]), float(sys.argv[2]), sys.argv[3], int(sys.argv[5])
kind = sys.argv[6] if len(sys.argv) > 6 else "lines"
make = {"logs": log_lines, "docs": documents, "chunks": source_chunks, "paths": file_paths}.get(kind)
lines = make(n) if make else lines_with_edited_copies(n, copies)
r0 = resource.getrusage(resource.RUSAGE_SELF); w = time.perf_counter()
if mode == "exact":
    r = native.cluster_canonicals(lines, t, 0)
else:
    r = native.cluster_canonicals_lsh(lines, t, 128, 4, 0)
wall = time.perf_counter() - w; r1 = resource.getrusage(resource.RUSAGE_SELF)
print(json.dumps({"wall": wall, "cpu": r1.ru_utime - r0.ru_utime + r1.ru_stime - r0.ru_stime, "clusters": len(r),
                  "hash": hashlib.sha1(repr(r).encode()).hexdigest()[:12],
                  # VmHWM is this process image's own peak; ru_maxrss can carry a large parent's over exec.
                  "rss": next(int(l.split()[1]) for l in open("/proc/self/status") if l.startswith("VmHWM:")) // 1024}))
'''


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--a", required=True, help="PYTHONPATH of the first build (e.g. the previous one)")
    ap.add_argument("--b", required=True, help="PYTHONPATH of the second build")
    ap.add_argument("cases", nargs="+", help="lines:threshold:mode[:copies[:input]]")
    args = ap.parse_args()
    here = str(Path(__file__).resolve().parent)
    for case in args.cases:
        n, t, mode, *rest = case.split(":")
        copies = rest[0] if rest else "0"
        kind = rest[1] if len(rest) > 1 else "stdlib"
        for name, path in (("a", args.a), ("b", args.b)):
            out = subprocess.run([sys.executable, "-c", CHILD, n, t, mode, here, copies, kind],
                                 env=dict(os.environ, PYTHONPATH=path), capture_output=True, text=True)
            if out.returncode:
                print(f"{case} {name}: failed\n{out.stderr[-2000:]}")
                continue
            d = json.loads(out.stdout)
            print(f"{case:>22} {name}: wall {d['wall']:7.2f} s  cpu {d['cpu']:7.2f} s  clusters {d['clusters']}  "
                  f"result {d['hash']}  peak {d['rss']} MiB", flush=True)


if __name__ == "__main__":
    main()
