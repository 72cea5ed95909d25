"""Benchmark input built from the standard library's own sources: its files, and distinct lines."""

from __future__ import annotations

import glob
import os
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


def distinct_lines(packages: bool = True) -> list[str]:
    """Every distinct stripped line of 20 characters or more of the .py files under the
    interpreter's library directory, installed packages there included (unless packages is
    False), in path order: the scale series' population."""
    lines, seen = [], set()
    for path in sorted(glob.glob(os.path.join(sysconfig.get_paths()["stdlib"], "**", "*.py"), recursive=True)):
        if not packages and ("site-packages" in path or "dist-packages" in path):
            continue
        try:
            text = open(path, encoding="utf-8").read()
        except (UnicodeDecodeError, OSError):
            continue
        for line in text.splitlines():
            line = line.strip()
            if len(line) >= 20 and line not in seen:
                seen.add(line)
                lines.append(line)
    return lines


def file_paths(n: int) -> list[str]:
    """The paths of the first n files under the interpreter's library directory (installed
    packages there included), in sorted order: long strings under shared directories, which
    cluster into a few large clusters at 0.9."""
    paths = []
    for root, dirs, files in os.walk(sysconfig.get_paths()["stdlib"]):
        dirs.sort()
        paths.extend(os.path.join(root, f) for f in sorted(files))
    return paths[:n]


def lines_with_edited_copies(n: int, copies: int) -> list[str]:
    """stdlib_lines(n), each followed by `copies` copies with one to three random character edits
    (replaced, deleted or inserted; seeded): the clustering benchmarks' input with copies."""
    rnd = random.Random(1)

    def mutate(s: str) -> str:
        if not s:
            return s
        k, op, c = rnd.randrange(len(s)), rnd.random(), rnd.choice("abcdefghijklmnopqrstuvwxyz_ ().")
        return s[:k] + c + s[k + 1:] if op < 0.4 else s[:k] + s[k + 1:] if op < 0.7 else s[:k] + c + s[k:]

    lines = []
    for line in stdlib_lines(n):
        lines.append(line)
        for _ in range(copies):
            edited = line
            for _ in range(rnd.randint(1, 3)):
                edited = mutate(edited)
            lines.append(edited)
    return lines


def scale_input(lines: list[str], n: int, sampled: bool = False) -> list[str]:
    """The scale series' input of n lines: the first n of `lines`, with edited copies (one character
    replaced) beyond them; or, with sampled, n of them drawn at random (seeded)."""
    if sampled:
        return random.Random(1).sample(lines, n)
    rng = random.Random(1)

    def mutate(s: str) -> str:
        chars = list(s)
        i = rng.randrange(len(chars))
        chars[i] = rng.choice("abcdefgh ")
        return "".join(chars)

    return [lines[i % len(lines)] if i < len(lines) else mutate(lines[i % len(lines)]) for i in range(n)]
