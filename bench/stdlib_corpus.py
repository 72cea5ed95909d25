"""Benchmark input shared by the clustering benchmarks: distinct lines of the standard library."""

from __future__ import annotations

import random
import sysconfig
from pathlib import Path


def stdlib_lines(n: int, seed: int = 0) -> list[str]:
    """n distinct stripped non-empty lines of the standard library's .py files (fixed sample)."""
    root = Path(sysconfig.get_paths()["stdlib"])
    seen: dict[str, None] = {}
    for path in sorted(root.rglob("*.py")):
        if "site-packages" in path.parts or "test" in path.parts:
            continue
        try:
            text = path.read_text(encoding="utf-8")
        except (UnicodeDecodeError, OSError):
            continue
        for line in text.splitlines():
            line = line.strip()
            if line:
                seen.setdefault(line, None)
    lines = list(seen)
    if len(lines) < n:
        raise SystemExit(f"only {len(lines)} distinct lines available")
    return random.Random(seed).sample(lines, n)
