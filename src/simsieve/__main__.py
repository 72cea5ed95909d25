"""Command-line entry point of simsieve."""

from __future__ import annotations

import sys
from typing import List, Optional


def main(argv: Optional[List[str]] = None) -> int:
    import difflib

    import simsieve

    pairs = [
        ("john smith", "jon smyth"),
        ("Acme Corporation", "ACME Corp."),
        ("def parse(self, text):", "def parse(self, data):"),
        ("Zürich", "Zurich"),
    ]
    for a, b in pairs:
        ours = simsieve.ratio(a, b)
        ref = difflib.SequenceMatcher(None, a, b, autojunk=False).ratio()
        print(f"{ours:.6f}  {a!r} ~ {b!r}  (difflib agrees: {ours == ref})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
