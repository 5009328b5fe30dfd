"""A module of this checkout run in the tooling's own environment (pins/tooling.txt, made first
when missing by tooling/venvs.py), from the checkout's root, by any CPython 3.11 (Debian's own
python3 among them):

  python3 -m tooling MODULE [ARGUMENT...]     e.g. python3 -m tooling release.unsign SIGNED OUT
"""

import os
import sys

from . import ToolingError, pins, venvs


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if not argv or argv[0].startswith("-"):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    try:
        python = venvs.python(pins.path("tooling.txt"),
                              say=lambda line: print(f"venvs: {line}", file=sys.stderr, flush=True))
    except (ToolingError, OSError) as failure:
        print(f"tooling: FAILED: {failure}", file=sys.stderr)
        return 1
    os.execv(python, [str(python), "-m", *argv])


if __name__ == "__main__":
    sys.exit(main())
