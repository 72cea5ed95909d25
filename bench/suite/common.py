"""What every workload shares: the run context, timing, the run budget of slow peers, formatting
and the report's building blocks (sections and tables)."""

from __future__ import annotations

import importlib
import statistics
import sys
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Iterable


@dataclass
class Context:
    runs: int = 5                 # timed runs of every measurement (fewer only for budgeted peers)
    quick: bool = False           # smaller inputs: a smoke run of the whole suite
    peer_budget: float = 600.0    # seconds one implementation may spend on one input, all runs
    peers: set[str] | None = None  # peers to measure (None: every installed one)
    log: Callable[[str], None] = lambda text: print(text, file=sys.stderr, flush=True)

    def wants(self, peer: str) -> bool:
        return self.peers is None or peer in self.peers


@dataclass
class Table:
    columns: list[str]
    rows: list[list[str]] = field(default_factory=list)

    def add(self, *cells: Any) -> None:
        self.rows.append([str(c) for c in cells])

    def markdown(self) -> str:
        head = "| " + " | ".join(self.columns) + " |"
        rule = "|" + "---|" * len(self.columns)
        body = ["| " + " | ".join(row) + " |" for row in self.rows]
        return "\n".join([head, rule, *body])


@dataclass
class Section:
    """One workload's part of the report. `series` holds the numbers the plots are drawn from."""
    key: str
    title: str
    text: list[str] = field(default_factory=list)
    tables: list[Table] = field(default_factory=list)
    series: dict[str, Any] = field(default_factory=dict)
    raw: dict[str, Any] = field(default_factory=dict)  # every timed run behind the tables
    seconds: float = 0.0
    started: str = ""

    def to_json(self) -> dict[str, Any]:
        return {"key": self.key, "title": self.title, "text": self.text, "seconds": self.seconds,
                "tables": [{"columns": t.columns, "rows": t.rows} for t in self.tables],
                "series": self.series, "raw": self.raw,
                "started": self.started}

    @classmethod
    def from_json(cls, data: dict[str, Any]) -> "Section":
        return cls(data["key"], data["title"], data["text"],
                   [Table(t["columns"], t["rows"]) for t in data["tables"]], data["series"], data.get("raw", {}),
                   data["seconds"], data.get("started", ""))


def optional(module: str, ctx: Context, peer: str | None = None) -> Any:
    """The peer's module, or None when it is not installed or not asked for."""
    if not ctx.wants(peer or module):
        return None
    try:
        return importlib.import_module(module)
    except ImportError:
        return None


def seconds_per_call(fn: Callable[[], Any], min_seconds: float = 0.0) -> float:
    """Wall seconds of one call of fn, repeating whole calls until min_seconds have passed."""
    calls = 0
    start = time.perf_counter()
    while True:
        fn()
        calls += 1
        elapsed = time.perf_counter() - start
        if elapsed >= min_seconds:
            return elapsed / calls


def paired_ratio(peer: list[float], ours: list[float]) -> float:
    """Median over the runs of peer time / our time, each run's pair taken together."""
    return statistics.median(p / o for p, o in zip(peer, ours))


class Budget:
    """How many runs a slow implementation gets on its next, larger input.

    Its cost is predicted from its last measured size and a growth exponent (2 for the quadratic
    peers); it gets as many runs as fit into the budget, at most `runs`, and none when one run
    alone would exceed the budget."""

    def __init__(self, budget: float, runs: int) -> None:
        self.budget = budget
        self.runs = runs
        self.last: dict[str, tuple[float, float]] = {}

    def plan(self, name: str, size: float, exponent: float = 2.0) -> tuple[int, float | None]:
        if name not in self.last:
            return self.runs, None
        last_size, last_seconds = self.last[name]
        predicted = last_seconds * (size / last_size) ** exponent
        if predicted > self.budget:
            return 0, predicted
        return max(1, min(self.runs, int(self.budget // max(predicted, 1e-9)))), predicted

    def record(self, name: str, size: float, seconds_per_run: float) -> None:
        self.last[name] = (size, seconds_per_run)


def fmt_seconds(seconds: float) -> str:
    if seconds < 1e-6:
        return f"{seconds * 1e9:.0f} ns"
    if seconds < 1e-3:
        return f"{seconds * 1e6:.1f} µs"
    if seconds < 1:
        return f"{seconds * 1e3:.1f} ms"
    return f"{seconds:.2f} s"


def fmt_ratio(x: float) -> str:
    if x >= 100:
        return f"{x:,.0f}×"
    return f"{x:.1f}×" if x >= 10 else f"{x:.2f}×"


def cell(times: list[float], ours: list[float] | None, scale: float = 1.0, planned: int = 0) -> str:
    """A median time (per `scale` units), against ours the same-run ratio, and the number of runs
    when it is fewer than the `planned` ones."""
    text = fmt_seconds(statistics.median(times) / scale)
    if ours is not None:
        text += f" ({fmt_ratio(paired_ratio(times, ours))})"
    if len(times) < planned:
        text += f", {len(times)} run" + ("s" if len(times) > 1 else "")
    return text


def count_differences(values: Iterable[float], truth: Iterable[float]) -> int:
    """How many values are not bit for bit the reference's (NaN never equals anything)."""
    return sum(1 for v, t in zip(values, truth, strict=True) if v != t)


def median(values: Iterable[float]) -> float:
    return statistics.median(list(values))
