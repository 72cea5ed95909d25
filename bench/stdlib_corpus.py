"""Benchmark input built from the standard library's own sources: its files, and distinct lines."""

from __future__ import annotations

import random
import sysconfig
from pathlib import Path
from typing import Iterator


def stdlib_sources(skip_tests: bool = False) -> Iterator[str]:
    """The text of every readable .py file of the standard library, in path order (installed
    packages left out, and the test suites too with skip_tests)."""
    root = Path(sysconfig.get_paths()["stdlib"])
    for path in sorted(root.rglob("*.py")):
        if "site-packages" in path.parts or (skip_tests and "test" in path.parts):
            continue
        try:
            yield path.read_text(encoding="utf-8")
        except (UnicodeDecodeError, OSError):
            continue


def stdlib_lines(n: int, seed: int = 0) -> list[str]:
    """n distinct stripped non-empty lines of the standard library's .py files (fixed sample)."""
    seen: dict[str, None] = {}
    for text in stdlib_sources(skip_tests=True):
        for line in text.splitlines():
            line = line.strip()
            if line:
                seen.setdefault(line, None)
    lines = list(seen)
    if len(lines) < n:
        raise SystemExit(f"only {len(lines)} distinct lines available")
    return random.Random(seed).sample(lines, n)
