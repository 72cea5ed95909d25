"""``python -m simsieve``: the command-line tool."""

import sys

from simsieve.cli import main

if __name__ == "__main__":
    sys.exit(main())
