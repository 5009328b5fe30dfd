"""The release's toolchain: the Debian packages checked against pins/debian.txt, and the record the
release ships (release/toolchain.py)."""

import email.parser
import re

import pytest

from release import toolchain
from tooling import ToolingError, pins

PINNED = toolchain.pinned()
WINE, HEADERS = "wine", "python3.11-dev"


def entries(value):
    """{name: version} of a field's "name (= version)" entries."""
    return dict(re.findall(r"(\S+) \(= ([^)]+)\)", value))


@pytest.mark.parametrize("found, line", [
    ({}, ""),
    ({WINE: "9.0~repack-2"}, f"{WINE} 9.0~repack-2 (pinned {PINNED[WINE]})"),
    ({HEADERS: "3.11.2-6+deb12u99", WINE: None},
     f"{HEADERS} 3.11.2-6+deb12u99 (pinned {PINNED[HEADERS]}); {WINE} not installed (pinned {PINNED[WINE]})"),
], ids=["as pinned", "another version", "another version and one missing"])
def test_a_drift_is_one_line_refused_unless_allowed_and_recorded(found, line):
    def installed(package):
        return found.get(package, PINNED[package])

    assert toolchain.check(allow_drift=True, found=installed) == line
    if line:
        with pytest.raises(ToolingError) as refusal:
            toolchain.check(found=installed)
        assert line in str(refusal.value) and "\n" not in str(refusal.value)
    else:
        assert toolchain.check(found=installed) == ""

    text = toolchain.record("1.2.3", "0123abcd" * 5, 1704067200, "CPython 3.11.9 for Windows x64",
                            {"pyinstaller": "6.22.3", "pip": "23.2.1"}, found=installed)
    # Read as Debian reads a .buildinfo: RFC 822 fields, the lists on continuation lines.
    fields = email.parser.Parser().parsestr(text)
    image, snapshot = pins.base_image()
    assert (fields["Build-Image"], fields["Build-Debian-Snapshot"]) == (image, snapshot)
    assert fields["Build-Date"] == "Mon, 01 Jan 2024 00:00:00 +0000"
    assert fields["Toolchain-Drift"] == (line or None)
    # Each package at the version that was used, not the one pinned.
    assert entries(fields["Installed-Build-Depends"]) == {
        package: installed(package) or "none" for package in PINNED}
    assert entries(fields["Tooling-Python-Packages"]) == pins.python("tooling.txt")
    assert entries(fields["Windows-Python-Packages"]) == {"pip": "23.2.1", "pyinstaller": "6.22.3"}
