"""Every benchmark workload in one command, side by side with the peers, into one report.

    python3 bench/run.py [--quick] [--only KEY ...] [--runs N] [--peer-budget SECONDS]

Creates the benchmark's own environment (bench/.venv: the pinned peers of bench/requirements.txt
and this checkout of simsieve), re-runs itself there and writes RESULTS.md, results.json and the
PNG plots of plots/ (into bench/, or build/bench-quick with --quick). --no-venv runs in the current
interpreter with whatever peers it has; --from-json redraws the report without measuring.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time
from datetime import datetime, timezone
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
KEYS = ["ratio", "ratio_by_size", "ratio_many", "close_matches", "search", "cluster_exact", "cluster_lsh",
        "cosine_join", "rationer", "scale", "columns", "dask"]
PEERS = ["difflib", "cydifflib", "cdifflib", "rapidfuzz", "datasketch", "scikit-learn", "sparse_dot_topn"]


def parse(argv: list[str]) -> argparse.Namespace:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--quick", action="store_true", help="small inputs: a smoke run of every workload")
    ap.add_argument("--only", nargs="+", choices=KEYS, metavar="KEY", help="workloads to run: " + ", ".join(KEYS))
    ap.add_argument("--runs", type=int, help="timed runs per measurement (default 5, 3 with --quick)")
    ap.add_argument("--peer-budget", type=float, default=600.0,
                    help="seconds a slow peer may spend on one input over all its runs (default 600)")
    ap.add_argument("--peers", nargs="+", choices=PEERS, metavar="PEER",
                    help="peers to measure (default: all installed): " + ", ".join(PEERS))
    ap.add_argument("--out", type=Path, help="folder of the report (default bench/, build/bench-quick with --quick)")
    ap.add_argument("--venv", type=Path, default=HERE / ".venv", help="the benchmark's environment")
    ap.add_argument("--no-venv", action="store_true", help="run in this interpreter as it is")
    ap.add_argument("--skip-install", action="store_true", help="keep the simsieve already in the environment")
    ap.add_argument("--from-json", type=Path, help="redraw RESULTS.md and the plots from a results.json")
    ap.add_argument("--merge", action="store_true",
                    help="replace the workloads run now in the report's results.json, keep the others")
    args = ap.parse_args(argv)
    if args.out is None:
        args.out = ROOT / "build" / "bench-quick" if args.quick else HERE
    if args.runs is None:
        args.runs = 3 if args.quick else 5
    return args


def bootstrap(args: argparse.Namespace, argv: list[str]) -> None:
    """Creates and fills the benchmark's environment, then replaces this process by a run in it."""
    python = args.venv / "bin" / "python"
    env = dict(os.environ, PIP_DISABLE_PIP_VERSION_CHECK="1")
    if not python.exists():
        print(f"creating {args.venv}", file=sys.stderr, flush=True)
        subprocess.run([sys.executable, "-m", "venv", str(args.venv)], check=True)
    subprocess.run([str(python), "-m", "pip", "install", "-q", "-r", str(HERE / "requirements.txt")],
                   check=True, env=env)
    if not args.skip_install:
        print("installing this checkout of simsieve into the benchmark environment", file=sys.stderr, flush=True)
        subprocess.run([str(python), "-m", "pip", "install", "-q", str(ROOT)], check=True, env=env)
    os.execv(str(python), [str(python), str(Path(__file__).resolve()), *argv, "--no-venv"])


def main(argv: list[str]) -> int:
    args = parse(argv)
    if args.from_json is None and not args.no_venv:
        bootstrap(args, argv)

    sys.path.insert(0, str(HERE))
    from suite.common import Context, Section
    from suite.report import machine, render

    args.out.mkdir(parents=True, exist_ok=True)
    if args.from_json is not None:
        data = json.loads(args.from_json.read_text())
        sections = [Section.from_json(s) for s in data["sections"]]
        info = data["info"]
    else:
        from suite import cluster, columns, cosine, own, ratio, scaleout, search
        workloads = {
            "ratio": ratio.datasets, "ratio_by_size": ratio.by_size, "ratio_many": ratio.batch,
            "close_matches": ratio.close_matches, "search": search.search, "cluster_exact": cluster.exact, "cluster_lsh": cluster.lsh,
            "cosine_join": cosine.join, "rationer": own.rationer, "scale": own.scale, "columns": columns.columns,
            "dask": scaleout.dask,
        }
        ctx = Context(runs=args.runs, quick=args.quick, peer_budget=args.peer_budget,
                      peers=set(args.peers) | {"difflib"} if args.peers else None)
        command = "python3 bench/run.py" + "".join(f" {a}" for a in argv if a != "--no-venv")
        now = lambda: datetime.now(timezone.utc).strftime("%Y-%m-%d %H:%M UTC")  # noqa: E731
        info = {"command": command, "started": now(), "machine": machine(ROOT),
                "load": [os.getloadavg()[0], 0.0], "seconds": 0.0}
        kept: list[Section] = []
        if args.merge:
            # Earlier sections stay as measured; the report says which ones were measured again.
            earlier = json.loads((args.out / "results.json").read_text())
            kept = [Section.from_json(s) for s in earlier["sections"]]
            merged = earlier["info"].setdefault("merged", [])
            merged.append({"command": command, "started": info["started"], "keys": args.only or KEYS,
                           "commit": info["machine"]["commit"]})
            info = earlier["info"]
        start = time.perf_counter()
        done: dict[str, Section] = {}
        for key in args.only or KEYS:
            ctx.log(f"{key}")
            began = time.perf_counter()
            stamp = now()
            section = workloads[key](ctx)
            section.seconds = time.perf_counter() - began
            section.started = stamp
            done[key] = section
            if not args.merge:
                info["seconds"] = time.perf_counter() - start
                info["load"][1] = os.getloadavg()[0]
            by_key = {s.key: s for s in kept} | done
            order = [s.key for s in kept] + [k for k in done if k not in {s.key for s in kept}]
            sections = [by_key[k] for k in order]
            (args.out / "results.json").write_text(json.dumps(
                {"info": info, "sections": [s.to_json() for s in sections]}, indent=1, ensure_ascii=False))
    plots: list[str] = []
    note = ""
    try:
        from suite.plots import draw
        plots = draw({s.key: s for s in sections}, str(args.out / "plots"))
    except ImportError:
        note = "(No plots: matplotlib is not installed in this environment.)"
        print("warning: matplotlib is not installed, so RESULTS.md is written without its plots "
              "(install it and redraw with --from-json)", file=sys.stderr)
    (args.out / "RESULTS.md").write_text(render(info, sections, plots, note) + "\n")
    print(f"wrote {args.out / 'RESULTS.md'}" + (f" and {len(plots)} plots" if plots else ""), file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
