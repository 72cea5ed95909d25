"""Shared hypothesis strategies for string-similarity tests.

Text classes: tiny alphabets, printable ASCII, non-ASCII (accents, CJK, emoji and other astral
code points), repetitive strings (a short unit repeated, then a few edits), and real text from
the standard library's own source files (lines, whole functions, and ast.dump of functions).
Pairs come either independent or as a string and an edited copy of it, so that both dissimilar
and near-duplicate pairs are well represented.
"""

from __future__ import annotations

import ast
import functools
import os
import sysconfig

from hypothesis import strategies as st

ASCII = "".join(chr(c) for c in range(32, 127)) + "\t\n"
ACCENTS = "éèêëàâäôöûüçñÉÀßøåæœ"
CJK = "日本語中文字漢字東京大阪北京上海한국어"
ASTRAL = "😀😁😂🙂🚀🐍𝔘𝔫𝔦𝔠𝔬𝔡𝔢𐍈🀄"
NON_ASCII_POOL = "abc xyz" + ACCENTS + CJK + ASTRAL


def text_from(alphabet: str, max_size: int) -> st.SearchStrategy[str]:
    return st.text(alphabet=st.sampled_from(alphabet), max_size=max_size)


@st.composite
def edited(draw, base: str, alphabet: str, max_edits: int = 8) -> str:
    """A copy of base with a few insertions, deletions, substitutions and block moves."""
    chars = list(base)
    for _ in range(draw(st.integers(0, max_edits))):
        op = draw(st.sampled_from(["ins", "del", "sub", "move", "dup"]))
        pos = draw(st.integers(0, len(chars)))
        if op == "ins" or not chars:
            chars[pos:pos] = draw(st.text(alphabet=st.sampled_from(alphabet), min_size=1, max_size=4))
        elif op == "del":
            del chars[pos : pos + draw(st.integers(1, 5))]
        elif op == "sub":
            if pos < len(chars):
                chars[pos] = draw(st.sampled_from(alphabet))
        else:
            end = min(len(chars), pos + draw(st.integers(1, 40)))
            piece = chars[pos:end]
            if op == "move":
                del chars[pos:end]
            dest = draw(st.integers(0, len(chars)))
            chars[dest:dest] = piece
    return "".join(chars)


@st.composite
def pair_of(draw, strings: st.SearchStrategy[str], alphabet: str, max_edits: int = 8):
    """(a, b): independent strings, or a string and an edited copy in either order."""
    a = draw(strings)
    if draw(st.booleans()):
        return a, draw(strings)
    b = draw(edited(a, alphabet, max_edits))
    return (b, a) if draw(st.booleans()) else (a, b)


@st.composite
def repetitive(draw, max_size: int = 3000) -> str:
    unit = draw(st.text(alphabet=st.sampled_from("abc"), min_size=1, max_size=5))
    reps = draw(st.integers(0, max_size // len(unit)))
    base = unit * reps
    return draw(edited(base, "abcd", max_edits=4))


@st.composite
def word_soup(draw, min_words: int = 12, max_words: int = 120) -> str:
    """Words of a small vocabulary with varying separators: many equally long common runs at
    many places in both strings, where only the tie-breaks decide which one is taken."""
    vocabulary = draw(st.lists(st.text(alphabet=st.sampled_from("abcde"), min_size=2, max_size=6),
                               min_size=2, max_size=6))
    words = draw(st.lists(st.sampled_from(vocabulary), min_size=min_words, max_size=max_words))
    seps = draw(st.lists(st.sampled_from([" ", "  ", ", ", "(", ")", "="]), min_size=len(words), max_size=len(words)))
    return "".join(w + s for w, s in zip(words, seps))


def word_soup_pairs():
    return pair_of(word_soup(), "abcde ,()=", max_edits=10)


def tiny_pairs(alphabet: str, max_size: int = 300):
    return pair_of(text_from(alphabet, max_size), alphabet)


def ascii_pairs(max_size: int = 400):
    return pair_of(text_from(ASCII, max_size), ASCII)


def non_ascii_pairs(max_size: int = 300):
    return pair_of(text_from(NON_ASCII_POOL, max_size), NON_ASCII_POOL)


def repetitive_pairs(max_size: int = 3000):
    return pair_of(repetitive(max_size), "abcd", max_edits=6)


# ---------------------------------------------------------------------------------------------
# Real text from the standard library's source files.

_STDLIB_MODULES = [
    "difflib.py", "textwrap.py", "string.py", "shlex.py", "fnmatch.py", "glob.py", "heapq.py",
    "bisect.py", "statistics.py", "fractions.py", "argparse.py", "csv.py", "json/decoder.py",
    "json/encoder.py", "email/utils.py", "http/cookies.py", "urllib/parse.py", "pprint.py",
    "calendar.py", "configparser.py", "tokenize.py", "inspect.py", "dataclasses.py", "enum.py",
]


@functools.lru_cache(maxsize=None)
def stdlib_corpus(max_function_len: int = 3000):
    """(lines, functions, dumps) from a fixed set of standard-library modules present on disk."""
    root = sysconfig.get_paths()["stdlib"]
    lines: list[str] = []
    functions: list[str] = []
    dumps: list[str] = []
    for name in _STDLIB_MODULES:
        path = os.path.join(root, name)
        try:
            with open(path, encoding="utf-8") as handle:
                source = handle.read()
            tree = ast.parse(source)
        except (OSError, SyntaxError, UnicodeDecodeError):
            continue
        source_lines = source.splitlines(keepends=True)
        lines.extend(line.rstrip("\n") for line in source_lines if line.strip())
        for node in ast.walk(tree):
            if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
                segment = "".join(source_lines[node.lineno - 1 : node.end_lineno])
                if segment and len(segment) <= max_function_len:
                    functions.append(segment)
                dump = ast.dump(node)
                if len(dump) <= max_function_len:
                    dumps.append(dump)
    return lines, functions, dumps


def _sample(kind: int) -> st.SearchStrategy[str]:
    items = stdlib_corpus()[kind]
    if not items:
        return st.just("")
    return st.sampled_from(items)


def stdlib_line_pairs():
    return pair_of(_sample(0), ASCII, max_edits=4)


def stdlib_function_pairs():
    return pair_of(_sample(1), ASCII, max_edits=10)


def stdlib_dump_pairs():
    return pair_of(_sample(2), "()[]=,' abcdefgnorstx", max_edits=10)
