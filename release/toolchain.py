"""The pinned toolchain (constraints.txt): PyInstaller and what the build's pip installs, by version."""

import re
from pathlib import Path

CONSTRAINTS = Path(__file__).resolve().parent / "constraints.txt"


def canonical(name):
    return re.sub(r"[-_.]+", "-", name).lower()


def pins(path=CONSTRAINTS):
    """{canonical name: version} of every "name==version" line."""
    found = {}
    for line in path.read_text().splitlines():
        line = line.split("#")[0].strip()
        if line:
            name, version = line.split("==")
            found[canonical(name)] = version
    return found
