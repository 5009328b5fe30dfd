"""A signed tq-velmor.exe or .pyd without its signature, to compare with a rebuild.

  python3 -m tooling release.unsign SIGNED OUT

Writes to OUT the bytes SIGNED had before it was signed: the release signs only after padding
the file and writing its checksum, so the signature comes off exactly (osslsigncode
remove-signature gives the same bytes). It runs in the tooling's own environment (pefile).
"""

import argparse
import hashlib
import sys
from pathlib import Path

from tooling import pe


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("signed", type=Path, help="the signed file (tq-velmor.exe or the .pyd)")
    parser.add_argument("out", type=Path, help="where its unsigned bytes go")
    args = parser.parse_args(argv)
    try:
        data = args.signed.read_bytes()
        stripped = pe.unsigned(data)
        args.out.write_bytes(stripped)
    except (OSError, pe.PEError) as problem:
        print(f"unsign: {args.signed}: {problem}", file=sys.stderr)
        return 1
    print(f"{args.out}: {len(stripped):,} bytes (signature of {len(data) - len(stripped):,} bytes removed), "
          f"sha256 {hashlib.sha256(stripped).hexdigest()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
