"""The ``simsieve`` command-line tool: cluster lines, join token documents, or compare two strings.

Standard library only. Output is produced only after the computation has succeeded, so a failed
run never leaves half-written results behind.
"""

from __future__ import annotations

import argparse
import csv
import io
import json
import os
import sys
from contextlib import contextmanager
from typing import Iterator, List, Optional, Sequence, Tuple

EXIT_INPUT_ERROR = 2


class InputError(Exception):
    """A problem with an input file, reported as one line and exit status 2."""


def read_lines(path: str) -> List[str]:
    """Reads one string per line (without the line ending) from `path`, or standard input for '-'."""
    name = "<stdin>" if path == "-" else path
    try:
        if path == "-":
            data = sys.stdin.buffer.read()
        else:
            with open(path, "rb") as handle:
                data = handle.read()
    except OSError as error:
        raise InputError(f"cannot read {name}: {error.strerror or error}") from None
    lines = data.split(b"\n")
    if lines and lines[-1] == b"":
        lines.pop()
    out = []
    for number, raw in enumerate(lines, start=1):
        if raw.endswith(b"\r"):
            raw = raw[:-1]
        try:
            out.append(raw.decode("utf-8"))
        except UnicodeDecodeError as error:
            raise InputError(f"{name}:{number}: not valid UTF-8 ({error.reason} at byte {error.start})") from None
    return out


@contextmanager
def progress_enabled(enabled: bool) -> Iterator[None]:
    """Sets SIMSIEVE_PROGRESS for the duration of one call when `enabled`."""
    if not enabled:
        yield
        return
    previous = os.environ.get("SIMSIEVE_PROGRESS")
    os.environ["SIMSIEVE_PROGRESS"] = "1"
    try:
        yield
    finally:
        if previous is None:
            del os.environ["SIMSIEVE_PROGRESS"]
        else:
            os.environ["SIMSIEVE_PROGRESS"] = previous


def _threshold(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid threshold: {text!r}") from None
    if value != value:
        raise argparse.ArgumentTypeError("threshold must be a number, not NaN")
    return value


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid count: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more: {value}")
    return value


def format_clusters(lines: Sequence[str], clusters: Sequence[Tuple[List[int], float]], fmt: str) -> str:
    # Largest clusters first; equal sizes keep the library's order (by smallest member).
    ordered = sorted(clusters, key=lambda c: -len(c[0]))
    out = io.StringIO()
    if fmt == "json":
        payload = [
            {"size": len(members), "min_ratio": min_ratio,
             "members": [{"line": m + 1, "text": lines[m]} for m in members]}
            for members, min_ratio in ordered
        ]
        json.dump(payload, out, ensure_ascii=False, indent=2)
        out.write("\n")
    elif fmt == "csv":
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(["cluster", "size", "min_ratio", "line", "text"])
        for number, (members, min_ratio) in enumerate(ordered, start=1):
            for m in members:
                writer.writerow([number, len(members), repr(min_ratio), m + 1, lines[m]])
    else:
        for number, (members, min_ratio) in enumerate(ordered, start=1):
            out.write(f"cluster {number}: {len(members)} members, min ratio {min_ratio:.4f}\n")
            for m in members:
                out.write(f"  {m + 1:>6}: {lines[m]}\n")
        if not ordered:
            out.write("no clusters\n")
    return out.getvalue()


def format_pairs(lines: Sequence[str], pairs: Sequence[Tuple[int, int, float]], fmt: str) -> str:
    out = io.StringIO()
    if fmt == "json":
        payload = [{"line_a": j + 1, "line_b": i + 1, "cosine": cos} for j, i, cos in pairs]
        json.dump(payload, out, indent=2)
        out.write("\n")
    elif fmt == "csv":
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(["line_a", "line_b", "cosine", "text_a", "text_b"])
        for j, i, cos in pairs:
            writer.writerow([j + 1, i + 1, repr(cos), lines[j], lines[i]])
    else:
        for j, i, cos in pairs:
            out.write(f"lines {j + 1} and {i + 1}: cosine {cos:.6f}\n  {j + 1:>6}: {lines[j]}\n  {i + 1:>6}: {lines[i]}\n")
        if not pairs:
            out.write("no pairs\n")
    return out.getvalue()


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="simsieve",
        description="Exact string similarity at scale: difflib's ratio, clustering and TF-IDF cosine joins.",
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def common(sub: argparse.ArgumentParser) -> None:
        sub.add_argument("--threads", type=_count, default=0, help="worker threads (0 = all cores)")
        sub.add_argument("--format", choices=("text", "json", "csv"), default="text", help="output format")
        sub.add_argument("--progress", action="store_true", help="print progress lines on standard error")

    cluster = commands.add_parser("cluster", help="cluster the lines of FILE by exact similarity ratio")
    cluster.add_argument("file", metavar="FILE", help="one string per line ('-' for standard input)")
    cluster.add_argument("--threshold", type=_threshold, default=0.8, help="minimum ratio of a link (default 0.8)")
    cluster.add_argument("--lsh", action="store_true", help="find candidate pairs by MinHash/LSH (for large inputs)")
    cluster.add_argument("--num-perm", type=_count, default=128, help="MinHash permutations with --lsh (default 128)")
    cluster.add_argument("--band-rows", type=_count, default=4, help="rows per LSH band with --lsh (default 4)")
    common(cluster)

    join = commands.add_parser("join", help="all pairs of lines of FILE with TF-IDF cosine at or above a threshold")
    join.add_argument("file", metavar="FILE", help="one document per line, tokens split on whitespace ('-' for stdin)")
    join.add_argument("--threshold", type=_threshold, default=0.8, help="minimum cosine (default 0.8)")
    common(join)

    ratio = commands.add_parser("ratio", help="print the exact ratio of two strings")
    ratio.add_argument("a")
    ratio.add_argument("b")
    return parser


def run(args: argparse.Namespace) -> str:
    import simsieve

    if args.command == "ratio":
        return f"{simsieve.ratio(args.a, args.b)!r}\n"
    lines = read_lines(args.file)
    if args.command == "cluster":
        with progress_enabled(args.progress):
            if args.lsh:
                clusters = simsieve.cluster_canonicals_lsh(
                    lines, args.threshold, args.num_perm, args.band_rows, threads=args.threads)
            else:
                clusters = simsieve.cluster_canonicals(lines, args.threshold, threads=args.threads)
        return format_clusters(lines, clusters, args.format)
    docs = [line.split() for line in lines]
    with progress_enabled(args.progress):
        pairs = simsieve.cosine_join(docs, args.threshold, threads=args.threads)
    return format_pairs(lines, pairs, args.format)


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        output = run(args)
    except InputError as error:
        print(f"simsieve: {error}", file=sys.stderr)
        return EXIT_INPUT_ERROR
    except (MemoryError, ValueError, OverflowError) as error:
        print(f"simsieve: {error}", file=sys.stderr)
        return 1
    sys.stdout.write(output)
    sys.stdout.flush()
    return 0
