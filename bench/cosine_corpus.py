"""Real token documents for the cosine_join benchmark: functions and source lines of the Python
standard library, split into word and punctuation tokens. Deterministic for one interpreter."""

import ast
import os
import re

from stdlib_corpus import stdlib_sources

TOKEN = re.compile(r"\w+|[^\w\s]")


def stdlib_documents(n):
    """n documents: every other one a function's tokens, the rest single source lines
    (at least two tokens each), in source order."""
    half = n // 2
    functions, lines = [], []
    for src in stdlib_sources():
        src_lines = src.splitlines()
        line_tokens = [TOKEN.findall(line) for line in src_lines]
        lines.extend(toks for toks in line_tokens if len(toks) >= 2)
        try:
            tree = ast.parse(src)
        except (SyntaxError, ValueError):
            continue
        for node in ast.walk(tree):
            if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
                body = line_tokens[node.lineno - 1:node.end_lineno]
                functions.append([tok for toks in body for tok in toks])
        if len(functions) >= half and len(lines) >= n:
            break
    if len(functions) < half:
        raise SystemExit("not enough functions in the standard library for %d documents" % n)
    docs = []
    for k in range(half):
        docs.append(functions[k])
        docs.append(lines[k])
    docs.extend(lines[half:half + n - len(docs)])
    return docs[:n]


if __name__ == "__main__":
    import sys
    docs = stdlib_documents(int(sys.argv[1]) if len(sys.argv) > 1 else 20000)
    print(len(docs), sum(map(len, docs)), os.cpu_count())
