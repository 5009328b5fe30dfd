"""The project's identity, each part from its one source: the version from pyproject.toml, the
copyright year and holders from LICENSE."""

import re
import tomllib
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def version(root=ROOT):
    with open(root / "pyproject.toml", "rb") as file:
        return tomllib.load(file)["project"]["version"]


def copyright_year(root=ROOT):
    found = re.search(r"^Copyright \(c\) (\d{4}) ", (root / "LICENSE").read_text(), re.M)
    if not found:
        raise ValueError(f"{root / 'LICENSE'} names no copyright year")
    return found[1]
