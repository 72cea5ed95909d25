"""PNG plots of the report, drawn with matplotlib (a benchmark-only dependency) from the series
the workloads recorded."""

from __future__ import annotations

import os
from typing import Any

from .common import Section

STYLE = {
    "simsieve": dict(color="#c0392b", marker="o"),
    "difflib": dict(color="#2c3e50", marker="s"),
    "difflib ≈": dict(color="#2c3e50", marker="s", linestyle="--", markerfacecolor="none"),
    "cydifflib": dict(color="#2980b9", marker="^"),
    "rapidfuzz": dict(color="#8e44ad", marker="v"),
    "sklearn": dict(color="#e67e22", marker="D"),
    "sparse_dot_topn": dict(color="#16a085", marker="P"),
    "datasketch": dict(color="#16a085", marker="P"),
}

LABEL = {
    "simsieve": "simsieve",
    "difflib": "difflib",
    "difflib ≈": "difflib, extrapolated from timed pairs",
    "cydifflib": "cydifflib",
    "rapidfuzz": "rapidfuzz cdist + union-find (other metric)",
    "sklearn": "scikit-learn TfidfVectorizer + X·Xᵀ",
    "sparse_dot_topn": "sparse_dot_topn",
}


def _style(name: str) -> dict[str, Any]:
    base = name.split(" ")[0] if name not in STYLE else name
    style = dict(STYLE.get(base, {}))
    if name.endswith(":4"):
        style["linestyle"] = ":"
    return style


def _draw(ax: Any, series: dict[str, dict[str, list[Any]]], names: list[str], labels: dict[str, str]) -> None:
    top = max((max(d["seconds"]) for d in series.values() if d["seconds"]), default=1.0)
    failures = 0
    for name in names:
        data = series.get(name)
        if not data:
            continue
        sizes, seconds = list(data["size"]), list(data["seconds"])
        if name.endswith(" ≈") and series.get(name[:-2], {}).get("size"):
            # An extrapolation continues from the last measured point of the same implementation.
            measured = series[name[:-2]]
            sizes.insert(0, measured["size"][-1])
            seconds.insert(0, measured["seconds"][-1])
        if sizes:
            ax.plot(sizes, seconds, label=labels.get(name, name), **_style(name))
        for size in data.get("failed", []):
            color = _style(name).get("color")
            y = top * 1.8 ** (failures + 1)
            ax.plot([size], [y], marker="x", color=color, markersize=9, linestyle="none")
            ax.annotate(f"{name} failed here (see the table)", (size, y), textcoords="offset points",
                        xytext=(-12, -3), ha="right", fontsize=8, color=color)
            failures += 1
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8, loc="lower right" if failures else "best")


def draw(sections: dict[str, Section], folder: str) -> list[str]:
    """Writes the plots whose sections are present; returns their file names."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    os.makedirs(folder, exist_ok=True)
    written = []

    if "ratio_by_size" in sections:
        fig, ax = plt.subplots(figsize=(7, 4.8))
        _draw(ax, sections["ratio_by_size"].series, ["simsieve", "difflib", "cydifflib"], LABEL)
        ax.set_xlabel("characters per string (near-duplicate documents)")
        ax.set_ylabel("seconds per ratio")
        ax.set_title("ratio(a, b): same result as difflib, bit for bit")
        written.append(_save(fig, folder, "ratio_by_size.png"))

    if "cosine_join" in sections:
        fig, ax = plt.subplots(figsize=(7, 4.8))
        _draw(ax, sections["cosine_join"].series, ["simsieve", "sklearn", "sparse_dot_topn"], LABEL)
        ax.set_xlabel("documents")
        ax.set_ylabel("seconds, token lists to thresholded pairs")
        ax.set_title("All-pairs TF-IDF cosine join at 0.7")
        written.append(_save(fig, folder, "cosine_by_size.png"))

    if "cluster_exact" in sections or "cluster_lsh" in sections:
        fig, axes = plt.subplots(1, 2, figsize=(12, 4.8))
        if "cluster_exact" in sections:
            _draw(axes[0], sections["cluster_exact"].series, ["simsieve", "difflib", "difflib ≈", "rapidfuzz"], LABEL)
            axes[0].set_title("Exact clustering at 0.8")
        if "cluster_lsh" in sections:
            series = sections["cluster_lsh"].series
            labels = {k: k.replace("datasketch", "datasketch + difflib") for k in series}
            _draw(axes[1], series, sorted(series, key=lambda k: (not k.startswith("simsieve"), k)), labels)
            axes[1].set_title("LSH clustering at 0.8 (num_perm:band_rows)")
        for ax in axes:
            ax.set_xlabel("strings (standard-library lines)")
            ax.set_ylabel("seconds")
        written.append(_save(fig, folder, "clustering_by_size.png"))
    return written


def _save(fig: Any, folder: str, name: str) -> str:
    fig.tight_layout()
    fig.savefig(os.path.join(folder, name), dpi=110)
    import matplotlib.pyplot as plt
    plt.close(fig)
    return name
