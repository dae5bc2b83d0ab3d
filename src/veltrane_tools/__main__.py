"""``python -m veltrane_tools``: the ``veltrane`` command line."""

import sys

from veltrane_tools.cli import main

if __name__ == "__main__":
    sys.exit(main())
