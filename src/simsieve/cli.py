"""The ``simsieve`` command-line tool: cluster or deduplicate lines, join token documents, match two
lists, or compare two strings.

Standard library only. The computation runs to the end before anything is written to standard
output, so a failed or interrupted run never leaves half-written results behind; the results are
then streamed out in chunks, never built as one big string.
"""

from __future__ import annotations

import argparse
import array
import codecs
import csv
import inspect
import itertools
import json
import os
import sys
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, Iterable, Iterator, List, Optional, Sequence, TextIO, Tuple, Union

EXIT_FAILURE = 1
EXIT_INPUT_ERROR = 2
EXIT_INTERRUPTED = 130  # 128 + SIGINT, as shells report a process ended by Ctrl-C
EXIT_BROKEN_PIPE = 141  # 128 + SIGPIPE, as for other tools whose reader went away

SHINGLE_BYTES = 9  # MinHash shingle length of the LSH pipeline

CLUSTER_DESCRIPTION = """\
Cluster the lines of FILE by the exact similarity ratio of difflib.SequenceMatcher (single
linkage: two lines whose ratio reaches the threshold share a cluster) and print every cluster of
two or more lines with its exact minimum pairwise ratio. Clusters are listed largest first; the
representative of a cluster is its first line in the file.

The ratio is not symmetric: ratio(a, b) can differ from ratio(b, a) (difflib breaks ties between
equally long matches by their position in the first string).
By default the lines are clustered in one canonical order, sorted by code points, so each pair is
compared in one fixed direction and reordering or sorting the file does not change the clusters.
--input-order compares every pair in file order instead (earlier line first), which is what
simsieve.cluster_canonicals does on the lines as given.
"""

INPUT_EPILOG = """\
Input: one string per line, UTF-8 by default (a byte-order mark is ignored). Blank lines are
skipped unless --keep-blank is given; reported line numbers are always those of the file.
--column reads one column of a CSV/TSV file instead (the delimiter is guessed unless --delimiter is
given, a header row is detected unless --header/--no-header says otherwise).
"""


class InputError(Exception):
    """A problem with an input file, reported as one line and exit status 2."""


# ---------------------------------------------------------------------------------------------
# Input


@dataclass
class Records:
    """The strings read from one input file.

    `texts[k]` is the original text of record k (what the output shows), `keys[k]` the string that
    is matched (after --strip/--casefold), `lines[k]` its 1-based line number in the file, and
    `spans[k]` the range of physical lines it occupies (a quoted CSV field may span several).
    `physical` keeps every line of the file with its line ending, for --dedupe.
    """

    name: str
    texts: List[str] = field(default_factory=list)
    keys: List[str] = field(default_factory=list)
    lines: List[int] = field(default_factory=list)
    spans: Optional[List[Tuple[int, int]]] = None  # None: record k is physical line lines[k]
    physical: List[str] = field(default_factory=list)
    final_newline: bool = True
    bom: bool = False
    encoding: str = "utf-8"


def _read_bytes(path: str, name: str) -> bytes:
    try:
        if path == "-":
            return sys.stdin.buffer.read()
        with open(path, "rb") as handle:
            return handle.read()
    except OSError as error:
        raise InputError(f"cannot read {name}: {error.strerror or error}") from None


def _decode(data: bytes, name: str, encoding: str, errors: str) -> Tuple[str, bool]:
    """Decodes the whole file; returns the text and whether a UTF-8 byte-order mark was removed."""
    bom = codecs.lookup(encoding).name in ("utf-8", "utf-8-sig") and data.startswith(codecs.BOM_UTF8)
    if bom:
        data = data[len(codecs.BOM_UTF8):]
    try:
        return data.decode(encoding, errors), bom
    except UnicodeDecodeError as error:
        line = data.count(b"\n", 0, error.start) + 1
        column = error.start - (data.rfind(b"\n", 0, error.start) + 1)
        raise InputError(f"{name}:{line}: not valid {encoding} ({error.reason} at byte {column}); "
                         f"--errors replace reads it anyway") from None


def _split_physical(text: str) -> Tuple[List[str], bool]:
    # Only "\n" ends a line ("\r\n" too, the "\r" is removed per record): str.splitlines would also
    # split at form feeds and Unicode separators and shift the line numbers.
    physical = text.split("\n")
    final_newline = physical[-1] == ""
    if final_newline:
        physical.pop()
    return physical, final_newline


def _normaliser(strip: bool, casefold: bool) -> Optional[Callable[[str], str]]:
    if strip and casefold:
        return lambda s: s.strip().casefold()
    if strip:
        return str.strip
    if casefold:
        return str.casefold
    return None


def read_records(path: str, args: argparse.Namespace) -> Records:
    name = "<stdin>" if path == "-" else path
    text, bom = _decode(_read_bytes(path, name), name, args.encoding, args.errors)
    physical, final_newline = _split_physical(text)
    del text
    records = Records(name=name, physical=physical, final_newline=final_newline, bom=bom, encoding=args.encoding)
    if args.column is None:
        _plain_records(records, args.keep_blank)
    else:
        _csv_records(records, path, args)
    normalise = _normaliser(args.strip, args.casefold)
    records.keys = records.texts if normalise is None else list(map(normalise, records.texts))
    return records


def _plain_records(records: Records, keep_blank: bool) -> None:
    texts, lines = records.texts, records.lines
    for number, raw in enumerate(records.physical, start=1):
        if raw.endswith("\r"):
            raw = raw[:-1]
        if keep_blank or (raw and not raw.isspace()):
            texts.append(raw)
            lines.append(number)


def _guess_delimiter(path: str, sample: str) -> str:
    if path.lower().endswith((".tsv", ".tab")):
        return "\t"
    try:
        return csv.Sniffer().sniff(sample, delimiters=",\t;|").delimiter
    except csv.Error:
        return ","


def _csv_records(records: Records, path: str, args: argparse.Namespace) -> None:
    physical = records.physical
    sample = "\n".join(physical[:50])
    delimiter = args.delimiter or _guess_delimiter(path, sample)
    reader = csv.reader((line + "\n" for line in physical), delimiter=delimiter)
    rows: Iterator[List[str]] = iter(reader)
    column = args.column
    by_name = not column.isdigit()
    header = args.header
    if header is None:
        try:
            header = by_name or csv.Sniffer().has_header(sample)
        except csv.Error:
            header = False
    index = 0 if by_name else int(column) - 1
    if not by_name and index < 0:
        raise InputError("--column counts from 1")
    spans: List[Tuple[int, int]] = []
    records.spans = spans
    start = 1
    try:
        if header:
            names = next(rows, None)
            start = reader.line_num + 1
            if names is None:
                raise InputError(f"{records.name}: empty file, no header row")
            if by_name:
                stripped = [n.strip() for n in names]
                if column not in names and column not in stripped:
                    raise InputError(f"{records.name}: no column named {column!r} in the header "
                                     f"({', '.join(map(repr, names))})")
                index = names.index(column) if column in names else stripped.index(column)
        elif by_name:
            raise InputError(f"--column {column!r} names a column, but --no-header says there is no header row")
        for row in rows:
            end = reader.line_num
            if not row:  # an empty physical line
                start = end + 1
                continue
            if index >= len(row):
                raise InputError(f"{records.name}:{start}: {len(row)} field(s), no column {column}")
            value = row[index]
            if args.keep_blank or (value and not value.isspace()):
                records.texts.append(value)
                records.lines.append(start)
                spans.append((start, end))
            start = end + 1
    except csv.Error as error:
        raise InputError(f"{records.name}:{reader.line_num}: {error}") from None


# ---------------------------------------------------------------------------------------------
# Progress


def _duration(seconds: float) -> str:
    seconds = int(seconds + 0.5)
    if seconds >= 3600:
        return f"{seconds // 3600}:{seconds // 60 % 60:02d}:{seconds % 60:02d}"
    return f"{seconds // 60}:{seconds % 60:02d}"


class ProgressDisplay:
    """Renders `progress(phase, done, total)` reports on standard error.

    On a terminal each phase has one line that is rewritten in place (at most ten times a second)
    with its counts, rate and time left; the line is completed when the phase ends (done == total)
    or the next phase begins. Elsewhere (a log file, a pipe) only one summary line per phase is
    written, when the phase ends.
    """

    MIN_REDRAW = 0.1

    def __init__(self, stream: TextIO, live: bool, clock: Callable[[], float] = time.monotonic) -> None:
        self.stream = stream
        self.live = live
        self.clock = clock
        self.phase: Optional[str] = None
        self.ended: Optional[str] = None
        self.done = self.total = 0
        self.started = self.drawn = 0.0

    def __call__(self, phase: str, done: int, total: int) -> None:
        now = self.clock()
        if phase != self.phase:
            if phase == self.ended and done >= total:
                return  # a repeated end report of the phase just completed
            self.close()
            self.phase, self.ended, self.started, self.drawn = phase, None, now, float("-inf")
        self.done, self.total = done, total
        if done >= total:
            self.close()
        elif self.live and now - self.drawn >= self.MIN_REDRAW:
            self.drawn = now
            self._write("\r" + self._running(now) + "\x1b[K")

    def close(self) -> None:
        """Completes the line of the current phase, if any."""
        if self.phase is None:
            return
        elapsed = max(self.clock() - self.started, 0.0)
        line = f"simsieve: {self.phase}: {self.done:,}/{self.total:,} in {elapsed:.1f}s"
        if elapsed > 0 and self.done:
            line += f" ({self.done / elapsed:,.0f}/s)"
        if self.done < self.total:
            line += ", stopped"
        self._write(("\r" + line + "\x1b[K\n") if self.live else line + "\n")
        self.ended, self.phase = self.phase, None

    def _running(self, now: float) -> str:
        elapsed = now - self.started
        done, total = self.done, self.total
        line = f"simsieve: {self.phase}: {done:,}/{total:,}"
        if total:
            line += f" ({100.0 * done / total:.0f}%)"
        if elapsed > 0 and done:
            rate = done / elapsed
            line += f", {rate:,.0f}/s, ETA {_duration((total - done) / rate)}"
        return line

    def _write(self, text: str) -> None:
        try:
            self.stream.write(text)
            self.stream.flush()
        except (OSError, ValueError):
            pass  # progress is a courtesy: a closed standard error must not end the run


def _takes_progress(function: Callable[..., Any]) -> bool:
    try:
        return "progress" in inspect.signature(function).parameters
    except (TypeError, ValueError):
        return False


def _call(function: Callable[..., Any], phase: str, size: int, progress: Optional[ProgressDisplay],
          *args: Any, **kwargs: Any) -> Any:
    """Calls a library function, feeding `progress` from its counters when it has them, or else
    reporting the whole call as one phase of `size` items."""
    if progress is None:
        return function(*args, **kwargs)
    if _takes_progress(function):
        result = function(*args, progress=progress, **kwargs)
        progress.close()
        return result
    progress(phase, 0, size)
    result = function(*args, **kwargs)
    progress(phase, size, size)
    return result


# ---------------------------------------------------------------------------------------------
# Output


Piece = Union[str, bytes]  # a piece of output: text, or bytes already encoded as UTF-8


class Output:
    """Streams text to a binary stream in large UTF-8 chunks."""

    CHUNK = 1 << 16

    def __init__(self, stream: Any, encoding: str = "utf-8", errors: str = "surrogateescape") -> None:
        self.stream = stream
        self.encode = codecs.getincrementalencoder(encoding)(errors).encode
        self.parts: List[str] = []
        self.size = 0

    def write(self, text: Piece) -> None:
        """Writes a str, or bytes already encoded (written as they are, after the text before)."""
        if isinstance(text, bytes):
            self.flush_parts()
            self.stream.write(text)
            return
        self.parts.append(text)
        self.size += len(text)
        if self.size >= self.CHUNK:
            self.flush_parts()

    def write_all(self, texts: Iterable[Piece]) -> None:
        for text in texts:
            self.write(text)

    def flush_parts(self) -> None:
        if self.parts:
            self.stream.write(self.encode("".join(self.parts)))
            self.parts.clear()
            self.size = 0

    def close(self) -> None:
        self.flush_parts()
        self.stream.write(self.encode("", True))
        self.stream.flush()


Cluster = Tuple[List[int], float]  # member record numbers (ascending), exact minimum ratio


def _json(value: Any) -> str:
    return json.dumps(value, ensure_ascii=False)


def _cluster_object(number: int, members: List[int], min_ratio: float, records: Records) -> Dict[str, Any]:
    lines, texts = records.lines, records.texts
    return {"cluster": number, "size": len(members), "min_ratio": min_ratio,
            "representative": {"line": lines[members[0]], "text": texts[members[0]]},
            "members": [{"line": lines[m], "text": texts[m]} for m in members]}


def format_clusters(records: Records, clusters: Sequence[Cluster], fmt: str) -> Iterator[str]:
    """Yields the output text of `clusters` piece by piece. Every format names the cluster, its size,
    its exact minimum ratio, its representative (first line in the file) and every member's line
    number and text."""
    lines, texts = records.lines, records.texts
    if fmt == "json":
        yield "["
        for number, (members, min_ratio) in enumerate(clusters, start=1):
            yield ("\n  " if number == 1 else ",\n  ") + _json(_cluster_object(number, members, min_ratio, records))
        yield "\n]\n" if clusters else "]\n"
    elif fmt == "jsonl":
        for number, (members, min_ratio) in enumerate(clusters, start=1):
            yield _json(_cluster_object(number, members, min_ratio, records)) + "\n"
    elif fmt == "csv":
        out = _Lines()
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(["cluster", "size", "min_ratio", "representative", "line", "text"])
        yield out.take()
        for number, (members, min_ratio) in enumerate(clusters, start=1):
            first, size, r = lines[members[0]], len(members), repr(min_ratio)
            writer.writerows([number, size, r, first, lines[m], texts[m]] for m in members)
            yield out.take()
    else:
        width = len(str(lines[-1])) if lines else 1
        for number, (members, min_ratio) in enumerate(clusters, start=1):
            head = (f"cluster {number}: {len(members)} members, min ratio {min_ratio:.4f}, "
                    f"representative line {lines[members[0]]}\n")
            yield head + "".join(f"  {'*' if k == 0 else ' '} {lines[m]:>{width}}: {texts[m]}\n"
                                 for k, m in enumerate(members))
        if not clusters:
            yield "no clusters\n"


class _Lines:
    """A write target for csv.writer whose text is taken out in pieces."""

    def __init__(self) -> None:
        self.parts: List[str] = []

    def write(self, text: str) -> None:
        self.parts.append(text)

    def take(self) -> str:
        text = "".join(self.parts)
        self.parts.clear()
        return text


BATCH = 4096  # rows formatted per output piece
ROWS = 16384  # (a, b, score) rows laid out natively per output chunk, at most
CHUNK_BYTES = 4 << 20  # aimed-at size of such a chunk


def _csv_fields(texts: Sequence[str]) -> List[str]:
    """Each text as the csv module writes it as a field (quoted where needed)."""
    out = _Lines()
    csv.writer(out, lineterminator="\n").writerows([text, ""] for text in texts)
    return [row[:-2] for row in out.parts]  # each row is 'field,\n'


Table = Tuple[bytes, bytes]
Rows = Any  # (a, b, score) tuples, or an ArrowTable whose first columns are a, b and score


def _table(pieces: Iterable[str]) -> Table:
    """A piece table of the native row formatter: the UTF-8 bytes of the pieces end to end, and the
    len(pieces) + 1 offsets where they start and end (unsigned 64-bit, native byte order)."""
    encoded = [piece.encode("utf-8", "surrogateescape") for piece in pieces]
    offsets = array.array("Q", [0])
    offsets.extend(itertools.accumulate(map(len, encoded)))
    return b"".join(encoded), offsets.tobytes()


def _record_table(records: Records, fmt: str, line_name: str, text_name: str) -> Table:
    """One piece per record holding its line number and text as `fmt` writes them (`n,field` in csv,
    `"line_name": n, "text_name": "text"` in json), so a row costs no quoting or escaping."""
    if fmt == "csv":
        return _table(f"{n},{t}" for n, t in zip(records.lines, _csv_fields(records.texts)))
    dumps = json.JSONEncoder(ensure_ascii=False).encode
    ln, tn = dumps(line_name), dumps(text_name)
    return _table(f"{ln}: {n}, {tn}: {dumps(t)}" for n, t in zip(records.lines, records.texts))


def _laid_out(layout: List[Any], tables: List[Table], rows: Rows,
              separator: bytes = b"") -> Iterator[bytes]:
    """The rows laid out by `layout` in chunks of output bytes, rows within a chunk separated by
    `separator`. Layout items: bytes (literal text), (table, side) (the piece of the row's first
    (side 0) or second (side 1) record in that table; (table, 0, True) only when the first record
    differs from the previous row's) and an int (the score with that many decimals, -1 for repr).

    The next chunk is laid out on a worker thread while the current one is written (both release
    the interpreter lock), so formatting and writing overlap."""
    from concurrent.futures import ThreadPoolExecutor

    from simsieve import _simsieve

    # Rows per chunk: ROWS, fewer where the records are long, so that a chunk stays near CHUNK_BYTES.
    row_bytes = 64 + sum(len(pieces) // max(1, len(offsets) // 8 - 1) for pieces, offsets in tables)
    step = max(1, min(ROWS, CHUNK_BYTES // row_bytes))

    def chunk(start: int) -> bytes:
        return _simsieve._format_rows(layout, tables, rows, start, start + step, separator)

    if len(rows) <= step:
        if rows:
            yield chunk(0)
        return
    with ThreadPoolExecutor(1, thread_name_prefix="simsieve-output") as pool:
        ahead = pool.submit(chunk, 0)
        for start in range(0, len(rows), step):
            current = ahead.result()
            if start + step < len(rows):
                ahead = pool.submit(chunk, start + step)
            yield current


def _pair_rows(left: Records, right: Records, rows: Rows, fmt: str,
               names: Tuple[str, str, str, str, str]) -> Iterator[Piece]:
    """json, jsonl or csv rows of (left record, right record, score) triples, in pieces. `names` are
    the field names: left line, left text, right line, right text, score."""
    if fmt == "csv":
        lt = _record_table(left, fmt, names[0], names[1])
        rt = lt if right is left else _record_table(right, fmt, names[2], names[3])
        yield ",".join(names) + "\n"
        yield from _laid_out([(0, 0), b",", (1, 1), b",", -1, b"\n"], [lt, rt], rows)
        return
    tables = [_record_table(left, fmt, names[0], names[1]), _record_table(right, fmt, names[2], names[3])]
    layout = [b"{", (0, 0), b", ", (1, 1), f", {json.dumps(names[4])}: ".encode(), -1, b"}"]
    if fmt == "jsonl":
        yield from _laid_out(layout + [b"\n"], tables, rows)
        return
    if not rows:
        yield "[]\n"
        return
    yield "[\n  "
    for k, chunk in enumerate(_laid_out(layout, tables, rows, b",\n  ")):
        if k:
            yield ",\n  "
        yield chunk
    yield "\n]\n"


def format_pairs(records: Records, pairs: Rows, fmt: str) -> Iterator[Piece]:
    """Yields the output of the cosine join: each pair's two line numbers, texts and cosine. `pairs`
    are (j, i, cos) tuples or cosine_join's Arrow result."""
    if fmt != "text":
        yield from _pair_rows(records, records, pairs, fmt, ("line_a", "text_a", "line_b", "text_b", "cosine"))
        return
    numbers = _table(map(str, records.lines))
    shown = _table(f"  {n}: {t}\n" for n, t in zip(records.lines, records.texts))
    yield from _laid_out([b"lines ", (0, 0), b" and ", (0, 1), b": cosine ", 6, b"\n", (1, 0), (1, 1)],
                         [numbers, shown], pairs)
    if not pairs:
        yield "no pairs\n"


def format_matches(queries: Records, choices: Records, matches: Sequence[Tuple[int, int, float]],
                   fmt: str) -> Iterator[Piece]:
    """Yields the output of `match`: each query's line and text with the matching choices."""
    if fmt != "text":
        yield from _pair_rows(queries, choices, matches, fmt, ("query_line", "query", "choice_line", "choice", "score"))
        return
    heads = _table(f"query line {n}: {t}\n" for n, t in zip(queries.lines, queries.texts))
    shown = _table(f"{n}: {t}\n" for n, t in zip(choices.lines, choices.texts))
    yield from _laid_out([(0, 0, True), b"  ", 6, b"  line ", (1, 1)], [heads, shown], matches)
    if not matches:
        yield "no matches\n"


def format_dedupe(records: Records, clusters: Sequence[Cluster]) -> Iterator[str]:
    """Yields the input file with every cluster reduced to its representative: the physical lines of
    all other members are left out, everything else (blank lines, a CSV header) stays as it was."""
    drop = bytearray(len(records.physical) + 1)
    for members, _ in clusters:
        for m in members[1:]:
            first, last = records.spans[m] if records.spans is not None else (records.lines[m], records.lines[m])
            drop[first:last + 1] = b"\x01" * (last - first + 1)
    kept = [line for number, line in enumerate(records.physical, start=1) if not drop[number]]
    # The file's last line keeps its missing newline, if it had none and is kept.
    last_open = bool(kept) and not records.final_newline and not drop[len(records.physical)]
    if records.bom:
        yield "\ufeff"
    for start in range(0, len(kept), BATCH):
        batch = kept[start:start + BATCH]
        end = start + len(batch) == len(kept)
        yield "\n".join(batch) + ("" if end and last_open else "\n")


# ---------------------------------------------------------------------------------------------
# Commands


def _clusters_in_file_order(clusters: Sequence[Cluster], order: Optional[List[int]]) -> List[Cluster]:
    """Maps members back to record numbers and orders the clusters largest first, then by their
    representative (first member)."""
    if order is None:
        mapped = [(list(members), min_ratio) for members, min_ratio in clusters]
    else:
        mapped = [(sorted(order[m] for m in members), min_ratio) for members, min_ratio in clusters]
    mapped.sort(key=lambda c: (-len(c[0]), c[0][0]))
    return mapped


def _warn_short_lines(keys: Sequence[str]) -> None:
    if not keys:
        return
    short = sum(1 for key in keys if len(key.encode("utf-8", "surrogatepass")) < SHINGLE_BYTES)
    if short * 2 > len(keys):
        print(f"simsieve: warning: {short} of {len(keys)} lines are shorter than the {SHINGLE_BYTES}-byte "
              f"MinHash shingle, so --lsh finds almost no pairs among them; drop --lsh to use the exact mode",
              file=sys.stderr)


def run_cluster(args: argparse.Namespace, progress: Optional[ProgressDisplay]) -> Tuple[Records, List[Cluster]]:
    import simsieve

    records = _read(args.file, args, progress)
    keys = records.keys
    order: Optional[List[int]] = None
    if not args.input_order:
        order = sorted(range(len(keys)), key=keys.__getitem__)
        keys = [keys[k] for k in order]
    if args.lsh:
        _warn_short_lines(keys)
        clusters = _call(simsieve.cluster_canonicals_lsh, "lsh", len(keys), progress, keys, args.threshold,
                         args.num_perm, args.band_rows, threads=args.threads)
    else:
        clusters = _call(simsieve.cluster_canonicals, "cluster", len(keys), progress, keys, args.threshold,
                         threads=args.threads)
    del keys
    return records, _clusters_in_file_order(clusters, order)


def _read(path: str, args: argparse.Namespace, progress: Optional[ProgressDisplay]) -> Records:
    if progress is not None:
        progress("read", 0, 1)
    records = read_records(path, args)
    if progress is not None:
        progress("read", len(records.texts), len(records.texts))
    return records


def command_output(args: argparse.Namespace, progress: Optional[ProgressDisplay]) -> Tuple[Iterator[Piece], str]:
    """Runs the command to the end, then returns the generator of its output text and the encoding
    to write it in (UTF-8, or the input's own encoding for --dedupe)."""
    import simsieve

    if args.command == "ratio":
        return iter([f"{simsieve.ratio(args.a, args.b)!r}\n"]), "utf-8"
    if args.command == "cluster":
        records, clusters = run_cluster(args, progress)
        if args.dedupe:
            return format_dedupe(records, clusters), records.encoding
        return format_clusters(records, clusters, args.format), "utf-8"
    if args.command == "join":
        records = _read(args.file, args, progress)
        docs = [key.split() for key in records.keys]
        # As columns: the output reads them in place, without a Python tuple per pair.
        pairs = _call(simsieve.cosine_join, "join", len(docs), progress, docs, args.threshold, threads=args.threads,
                      as_arrow=True)
        del docs
        return format_pairs(records, pairs, args.format), "utf-8"
    queries = _read(args.queries, args, progress)
    choices = _read(args.choices, args, progress)
    match = getattr(simsieve, "match", None)
    if match is None:
        raise ValueError("this build of simsieve has no simsieve.match, which the match command needs")
    matches = _call(match, "match", len(queries.keys), progress, queries.keys, choices.keys,
                    score_cutoff=args.score_cutoff, limit=args.limit, threads=args.threads)
    return format_matches(queries, choices, matches, args.format), "utf-8"


# ---------------------------------------------------------------------------------------------
# Arguments


def _unit(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid number: {text!r}") from None
    if not 0.0 <= value <= 1.0:  # also rejects NaN
        raise argparse.ArgumentTypeError(f"must be between 0 and 1: {text}")
    return value


def _integer(text: str, least: int) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid count: {text!r}") from None
    if value < least:
        raise argparse.ArgumentTypeError(f"must be {least} or more: {value}")
    return value


def _count(text: str) -> int:
    return _integer(text, 0)


def _positive(text: str) -> int:
    return _integer(text, 1)


def _encoding(text: str) -> str:
    try:
        codecs.lookup(text)
    except LookupError:
        raise argparse.ArgumentTypeError(f"unknown encoding: {text}") from None
    return text


def _delimiter(text: str) -> str:
    value = {"\\t": "\t", "tab": "\t", "TAB": "\t"}.get(text, text)
    if len(value) != 1:
        raise argparse.ArgumentTypeError(f"must be one character (or 'tab'): {text!r}")
    return value


def build_parser() -> argparse.ArgumentParser:
    from simsieve import __version__

    parser = argparse.ArgumentParser(
        prog="simsieve",
        description="Exact string similarity at scale: difflib's ratio, clustering and deduplication, "
                    "TF-IDF cosine joins and matching.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    formats = ("text", "json", "jsonl", "csv")

    def common(sub: argparse.ArgumentParser) -> None:
        sub.add_argument("--threads", type=_count, default=0, help="worker threads (0 = all cores)")
        sub.add_argument("--format", choices=formats, default=None,
                         help="output format: text (default), json, jsonl (one record per line) or csv")
        sub.add_argument("--progress", action="store_true",
                         help="show the progress of each phase on standard error")
        group = sub.add_argument_group("input")
        group.add_argument("--encoding", type=_encoding, default="utf-8", help="input encoding (default utf-8)")
        group.add_argument("--errors", choices=("strict", "replace", "ignore"), default="strict",
                           help="what to do with bytes that are not valid in the encoding (default strict: "
                                "stop with an error)")
        group.add_argument("--keep-blank", action="store_true", help="keep blank lines (skipped by default)")
        group.add_argument("--strip", action="store_true",
                           help="ignore leading and trailing whitespace when matching")
        group.add_argument("--casefold", action="store_true", help="ignore case when matching")
        group.add_argument("--column", metavar="NAME|N",
                           help="read this column of a CSV/TSV file (a header name, or a number from 1)")
        group.add_argument("--delimiter", type=_delimiter, help="CSV field delimiter (default: guessed; 'tab' for TSV)")
        header = group.add_mutually_exclusive_group()
        header.add_argument("--header", dest="header", action="store_true", default=None,
                            help="the first CSV row is a header (default: detected)")
        header.add_argument("--no-header", dest="header", action="store_false", help="there is no header row")

    cluster = commands.add_parser(
        "cluster", help="cluster (or deduplicate) the lines of FILE by exact similarity ratio",
        description=CLUSTER_DESCRIPTION, epilog=INPUT_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    cluster.add_argument("file", metavar="FILE", help="one string per line ('-' for standard input)")
    cluster.add_argument("--threshold", type=_unit, default=0.8, help="minimum ratio of a link, 0 to 1 (default 0.8)")
    cluster.add_argument("--input-order", action="store_true",
                         help="compare each pair in file order instead of the canonical sorted order")
    cluster.add_argument("--dedupe", action="store_true",
                         help="write the input with every cluster reduced to its representative (its first line)")
    cluster.add_argument("--lsh", action="store_true",
                         help="find candidate pairs by MinHash/LSH over 9-byte shingles (for large inputs of "
                              "longer lines; may miss links, never invents one)")
    cluster.add_argument("--num-perm", type=_positive, default=None, help="MinHash permutations with --lsh (default 128)")
    cluster.add_argument("--band-rows", type=_positive, default=None, help="rows per LSH band with --lsh (default 4)")
    common(cluster)

    join = commands.add_parser(
        "join", help="all pairs of lines of FILE with TF-IDF cosine at or above a threshold", epilog=INPUT_EPILOG,
        description="Every pair of documents of FILE (one per line, tokens split on whitespace) whose TF-IDF "
                    "cosine reaches the threshold.")
    join.add_argument("file", metavar="FILE", help="one document per line ('-' for standard input)")
    join.add_argument("--threshold", type=_unit, default=0.8, help="minimum cosine, 0 to 1 (default 0.8)")
    common(join)

    match = commands.add_parser(
        "match", help="the best matches of each line of QUERIES among the lines of CHOICES", epilog=INPUT_EPILOG,
        description="For every line of QUERIES, the lines of CHOICES whose exact ratio reaches the cutoff, best "
                    "first. The ratio is asymmetric: as in difflib.get_close_matches, the choice is the first "
                    "sequence and the query the second.")
    match.add_argument("queries", metavar="QUERIES", help="one query per line ('-' for standard input)")
    match.add_argument("choices", metavar="CHOICES", help="one choice per line")
    match.add_argument("--score-cutoff", type=_unit, default=0.8, help="minimum ratio, 0 to 1 (default 0.8)")
    match.add_argument("--limit", type=_positive, default=None, help="at most K matches per query (default: all)")
    common(match)

    ratio = commands.add_parser("ratio", help="print the exact ratio of two strings")
    ratio.add_argument("a")
    ratio.add_argument("b")
    return parser


def parse_args(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command == "ratio":
        return args
    if args.command == "cluster":
        if not args.lsh:
            given = [flag for flag, value in (("--num-perm", args.num_perm), ("--band-rows", args.band_rows))
                     if value is not None]
            if given:
                parser.error(f"{' and '.join(given)} only apply with --lsh")
        else:
            args.num_perm = 128 if args.num_perm is None else args.num_perm
            args.band_rows = min(4, args.num_perm) if args.band_rows is None else args.band_rows
            if args.band_rows > args.num_perm:
                parser.error(f"--band-rows {args.band_rows} is larger than --num-perm {args.num_perm}")
        if args.dedupe and args.format is not None:
            parser.error("--dedupe writes the input file itself; it takes no --format")
    if args.column is None and (args.delimiter is not None or args.header is not None):
        parser.error("--delimiter, --header and --no-header need --column")
    if args.command == "match" and args.queries == "-" and args.choices == "-":
        parser.error("only one of QUERIES and CHOICES can be standard input")
    args.format = args.format or "text"
    return args


# ---------------------------------------------------------------------------------------------
# Entry point


def _detach_stdout() -> None:
    """Points standard output at /dev/null so that the interpreter's final flush cannot fail again."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass


def _write_output(pieces: Iterator[Piece], encoding: str) -> None:
    out = Output(sys.stdout.buffer, encoding, "surrogateescape" if encoding == "utf-8" else "replace")
    out.write_all(pieces)
    out.close()


def main(argv: Optional[Sequence[str]] = None) -> int:
    progress: Optional[ProgressDisplay] = None
    try:
        args = parse_args(argv)
        if getattr(args, "progress", False):
            progress = ProgressDisplay(sys.stderr, live=sys.stderr.isatty())
        try:
            pieces, encoding = command_output(args, progress)
        except InputError as error:
            print(f"simsieve: {error}", file=sys.stderr)
            return EXIT_INPUT_ERROR
        except (MemoryError, ValueError, OverflowError) as error:
            print(f"simsieve: {error}", file=sys.stderr)
            return EXIT_FAILURE
        finally:
            if progress is not None:
                progress.close()
        try:
            _write_output(pieces, encoding)
        except BrokenPipeError:
            _detach_stdout()
            return EXIT_BROKEN_PIPE
        except OSError as error:
            _detach_stdout()
            print(f"simsieve: cannot write the output: {error.strerror or error}", file=sys.stderr)
            return EXIT_FAILURE
        return 0
    except KeyboardInterrupt:
        if progress is not None:
            progress.close()
        _detach_stdout()
        print("simsieve: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
