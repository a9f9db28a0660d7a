"""``python -m quelta``: the same command line as ``quelta``."""

import sys

from quelta.cli import main

if __name__ == "__main__":
    sys.exit(main())
