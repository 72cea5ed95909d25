"""The report: the machine and versions at the top, then one part per workload, in markdown."""

from __future__ import annotations

import importlib.metadata
import os
import platform
import subprocess
from pathlib import Path
from typing import Any

from .common import Section

PACKAGES = ["simsieve", "cydifflib", "cdifflib", "rapidfuzz", "datasketch", "scikit-learn", "sparse_dot_topn",
            "pyarrow", "polars",
            "numpy", "scipy", "matplotlib"]


def _first(path: str, prefix: str) -> str:
    try:
        with open(path) as handle:
            for line in handle:
                if line.startswith(prefix):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "unknown"


def machine(root: Path) -> dict[str, Any]:
    versions = {}
    for name in PACKAGES:
        try:
            versions[name] = importlib.metadata.version(name)
        except importlib.metadata.PackageNotFoundError:
            versions[name] = "not installed"
    if versions["simsieve"] == "not installed":
        import simsieve
        versions["simsieve"] = f"{simsieve.__file__} (not installed)"
    try:
        commit = subprocess.run(["git", "-C", str(root), "rev-parse", "--short", "HEAD"], capture_output=True,
                                text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", str(root), "status", "--porcelain", "--untracked-files=no"],
                               capture_output=True, text=True, check=True).stdout.strip()
        commit += " (with uncommitted changes)" if dirty else ""
    except (OSError, subprocess.CalledProcessError):
        commit = "unknown"
    mem = _first("/proc/meminfo", "MemTotal")
    return {
        "cpu": _first("/proc/cpuinfo", "model name"),
        "cores": os.cpu_count(),
        "memory": f"{int(mem.split()[0]) / 2**20:.1f} GiB" if mem != "unknown" else mem,
        "os": platform.platform(),
        "python": f"{platform.python_implementation()} {platform.python_version()}",
        "commit": commit,
        "versions": versions,
    }


def render(info: dict[str, Any], sections: list[Section], plots: list[str], plot_note: str) -> str:
    m = info["machine"]
    out = ["# simsieve benchmark report", ""]
    out.append(f"Written by `{info['command']}` on {info['started']} in {info['seconds'] / 60:.0f} min.")
    out.append("Every comparison is taken in this one run, side by side on the same inputs; every figure is a "
               "median of several runs, and a cell names its runs when they are fewer. Machines are noisy: read the ratios "
               f"rather than the absolute times. Load average (1 min) at the start {info['load'][0]:.2f}, "
               f"at the end {info['load'][1]:.2f}.")
    for merge in info.get("merged", []):
        out.append("")
        out.append(f"Measured again, by `{merge['command']}` on {merge['started']} at commit {merge['commit']}: "
                   + ", ".join(f"`{k}`" for k in merge["keys"]) + ". Those parts replace the ones of the "
                   "first run; each part's own start is given at its end.")
    out += ["", "| machine | |", "|---|---|"]
    for key in ("cpu", "cores", "memory", "os", "python", "commit"):
        out.append(f"| {key} | {m[key]} |")
    out += ["", "| package | version |", "|---|---|"]
    out += [f"| {name} | {version} |" for name, version in m["versions"].items()]
    out += ["", "Contents: " + ", ".join(f"[{s.title.split(':')[0]}](#{anchor(s.title)})" for s in sections), ""]
    if plots:
        out += ["## Plots", ""]
        out += [f"![{name[:-4]}](plots/{name})" for name in plots]
        out.append("")
    elif plot_note:
        out += [plot_note, ""]
    for s in sections:
        out += [f"## {s.title}", ""]
        for paragraph in s.text:
            out += [paragraph, ""]
        for table in s.tables:
            out += [table.markdown(), ""]
        since = f", measured from {s.started}" if s.started else ""
        out += [f"({s.seconds:.0f} s for this part{since}.)", ""]
    out += ["## Reproducing", "",
            "    python3 bench/run.py            # the whole report, about 40 minutes on 2 cores",
            "    python3 bench/run.py --quick    # smaller inputs, a few minutes, written to build/bench-quick",
            "",
            "The first command creates `bench/.venv`, installs the pinned peers of `bench/requirements.txt` and "
            "this checkout of simsieve into it, and runs every workload there. `--only KEY ...` runs some "
            "workloads (keys: " + ", ".join(f"`{s.key}`" for s in sections) + "); `--from-json` redraws the report "
            "and plots from `results.json` without measuring.", ""]
    return "\n".join(out)


def anchor(title: str) -> str:
    keep = [c for c in title.lower() if c.isalnum() or c in " -_"]
    return "".join(keep).replace(" ", "-")
